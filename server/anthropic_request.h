// The Anthropic Messages dialect on the way in: the translation of a /v1/messages body into the chat-completions
// form that the completion handler reads, and the two Anthropic routes, POST /v1/messages and
// POST /v1/messages/count_tokens.
//
// The translation is a pure function of the body text and touches nothing shared; safe from any thread. The route
// handlers run on the HTTP library's worker threads, several at a time.
#pragma once

#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

#include "httplib.h"
#include "server/chat_completion.h"
#include "server/request_body.h"

class engine;

// The chat-completions body (compact JSON, members in the order they are added) of an Anthropic request body:
// "messages" (system first when the body has "system"; content blocks turned into text, reasoning, tool calls and
// tool messages), "tools", "tool_choice", the copied keys "model", "max_tokens", "temperature", "top_p", "top_k",
// "stream", "mode", and "stop" from "stop_sequences". Every other key is dropped.
// Throws the nesting error of request_nesting.h for a body nested too deep (checked before parsing), and the JSON
// library's parse, type and out-of-range errors on malformed input.
std::string anthropic_to_openai_request(const std::string& body);
// The same translation of a body parsed once (parse_request_body with anthropic_body_keys, its text's nesting
// checked).
nlohmann::ordered_json anthropic_to_openai_body(const nlohmann::ordered_json& body);

// The members of an Anthropic body that the translation uses; the others are dropped while parsing.
inline constexpr std::initializer_list<const char*> anthropic_body_keys = {
    "system", "messages", "tools", "tool_choice", "model", "max_tokens", "temperature", "top_p",
    "top_k",  "stream",   "mode",  "stop_sequences"};

// The text of an Anthropic content value: a string as it is; for an array, the "text" of its "type": "text"
// elements joined with nothing between; "" for anything else. Throws the JSON library's type error for an array
// element that is not an object, or whose "type" or "text" is not a string.
std::string content_text(const nlohmann::ordered_json& content);

// A system text that starts with "x-anthropic-billing-header:" has the five bytes after its first "cch=" replaced
// by "fffff" when a ';' follows them, so that the per-request hash does not change the prompt from call to call.
// Any other text is left as it is.
void blank_billing_hash(std::string& text);

// POST /v1/messages: translates the body (a failure is status 400 with the Anthropic error body) and hands the
// result to handle_completion in the Anthropic dialect, with the body's share of the read budget.
void handle_messages(const completion_route& route, std::string body, httplib::Response& res,
                     body_budget_hold hold = {});

// POST /v1/messages/count_tokens: {"input_tokens": n}, n the token count of the prompt that the chat template
// renders for the translated messages and tools. Reads only the engine's templates and vocabulary and never
// enters its queue, so it answers while generation runs. Any failure is status 400 with the Anthropic error body.
void handle_count_tokens(const engine& eng, std::string body, httplib::Response& res, body_budget_hold hold = {});
