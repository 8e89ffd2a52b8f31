// The inference API routes of `serve` and what they share: the served model's name and the two simple handlers.
// `serve` itself (cli/cmd_serve.cpp) builds the engine and the server and registers these routes.
//
// Handlers run on the HTTP library's worker threads, several at a time. They read only the engine's immutable
// members (its copy of the options, its templates and vocabulary) and enter the engine through generate() and
// tokenize(), which are safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "httplib.h"

class engine;

// The model id of every API reply: the pack path's last component, the text after the last '/' or '\'. Trailing
// separators are ignored, so "/packs/model-x/" gives "model-x" like "/packs/model-x".
std::string served_model_name(const std::string& pack_path);

// GET /health: {"status":"ok"}. Touches nothing, so it answers while generation runs.
void handle_health(const httplib::Request& req, httplib::Response& res);
// GET /v1/models: the one served model, {"data":[{"id":...,"object":"model","owned_by":"mivra"}],"object":"list"}.
void handle_models(const engine& eng, const httplib::Request& req, httplib::Response& res);

// Registers the API routes in their order: GET /health, GET /v1/models, POST /v1/chat/completions,
// POST /v1/messages, POST /v1/messages/count_tokens, with the loopback guard (loopback_guard.h) for the options'
// host and port in the server's pre-routing handler. The handlers keep references to `eng` and
// `request_counter`, which must outlive the server's listening.
void register_api_routes(httplib::Server& server, engine& eng, std::atomic<uint64_t>& request_counter);
