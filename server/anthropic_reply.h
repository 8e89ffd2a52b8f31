// The Anthropic Messages dialect on the way out: the content blocks and stop reason of a reply, the reply object of
// a non-streamed request and the error body of every failed Anthropic request. Pure functions; safe from any
// thread.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "engine/runtime/chat_session.h"
#include "engine/runtime/generation.h"

// The "content" of a reply: a thinking block ({"signature":"","thinking",...}) when the message has reasoning, a
// text block when it has content, then one tool_use block per tool call, whose "input" is the call's arguments
// parsed as JSON, or {} when they do not parse.
nlohmann::json anthropic_content_blocks(const common_chat_msg& msg);

// "tool_use" when the message has a tool call, else "max_tokens" when the generation ran out of tokens, else
// "end_turn".
std::string anthropic_stop_reason(const common_chat_msg& msg, const generation_stats& stats);

// {"error":{"message":text,"type":"invalid_request_error"},"type":"error"}.
nlohmann::json anthropic_error_body(const std::string& text);

// The reply of a non-streamed request: {"content","id","model","role":"assistant","stop_reason",
// "stop_sequence":null,"type":"message","usage":{"input_tokens","output_tokens"}}.
nlohmann::json anthropic_reply(const std::string& id, const std::string& model, const common_chat_msg& msg,
                               const generation_stats& stats);
