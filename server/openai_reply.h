// The OpenAI form of a finished completion: the assistant message, the finish reason, the whole reply object and the
// error body. Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/runtime/chat_session.h"
#include "engine/runtime/generation.h"

// The message in OpenAI form, its "role" always "assistant".
nlohmann::json openai_message_json(const common_chat_msg& msg);
// "tool_calls" when the message has a tool call, else the generation's "stop" or "length".
std::string openai_finish_reason(const common_chat_msg& msg, const generation_stats& stats);
// {"error":{"message":text,"type":"invalid_request_error"}}.
nlohmann::json openai_error_body(const std::string& text);
// The "chat.completion" object of a reply that is not streamed.
nlohmann::json openai_reply(const std::string& id, int64_t created, const std::string& model,
                            const common_chat_msg& msg, const generation_stats& stats);
