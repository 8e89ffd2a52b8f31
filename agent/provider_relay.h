// The relay to an external OpenAI-compatible provider: POST /agent/llm forwards the agent page's chat-completions
// request to the provider named in the settings (its address, model and key) and passes the answer back as it
// arrives, streaming included; GET /agent/llm/models lists the provider's models.
//
// Threads and locking: both handlers run on HTTP worker threads, several at once. agent_mutex is held only around
// read_provider_config, never while a request to the provider runs. The relay itself runs in the server's chunked
// content provider on the request's worker thread after the handler has returned, holding no lock and working on
// its own copies of the configuration and the request body, so a settings change does not touch a running relay.
#pragma once

#include <string>

#include "httplib.h"

struct provider_config {
    std::string base_url; // settings "provider"."base_url" without trailing '/'
    std::string key;      // settings "provider_keys"[base_url] when that is a string, else ""
    std::string model;    // settings "provider"."model"
};

// Reads the provider's configuration from agent_state.settings ("provider" missing counts as an empty object).
// Throws nlohmann::json's type error when "provider" is not an object or "base_url" or "model" is not a string.
// REQUIRES: agent_state.agent_mutex held.
provider_config read_provider_config();

// The request header lines for the provider, each ended by "\r\n": "Content-Type: application/json",
// "Accept: text/event-stream, application/json", then "Authorization: Bearer " + key when there is a key, then
// "X-Title: Mivra" when the base address contains "openrouter.ai".
std::string provider_headers(const provider_config& config);

// "the provider answered " + status + ": " + the provider's message + "." + a hint for 401, 403, 404 and 429. The
// message is the body's "error"."message" (or the "error" value, or a top-level "message"), or the body itself cut
// to 300 bytes when it is not such JSON; trailing blanks and full stops removed; "no details" when nothing is left.
std::string provider_error_text(int status, const std::string& body);

// Throws std::runtime_error "the provider address must start with https:// (or http:// for a program on this PC)"
// when `base_url` starts with "http://" and its host is not this machine (127.0.0.0/8, localhost, ::1): the API key
// must never cross the network in clear text. Any other address passes (the callers check the scheme themselves).
void check_provider_address(const std::string& base_url);

// POST /agent/llm: guard with the token; then 400 {"error": {"message": text}} for a body that is not a JSON object
// (or null), a "stream" that is not a boolean, a provider address that is not http(s) ("set the provider's address
// in Settings → Model") or plain http to another machine (check_provider_address), or no model ("set the model name
// in Settings → Model"). Otherwise 200 with a chunked body (text/event-stream when "stream" is true, else
// application/json): the provider's body exactly as it arrives when it answers 200, else its error as
// "\n\ndata: " + {"error": {"message": text}} + "\n\n" (streamed) or that object alone.
void handle_agent_llm(const httplib::Request& req, httplib::Response& res);

// GET /agent/llm/models: guard with the token; then 200 {"models": [ids]} with "error" added on any failure.
void handle_agent_llm_models(const httplib::Request& req, httplib::Response& res);
