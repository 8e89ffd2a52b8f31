// The request reader of the completion routes: a chat request's body turned into a rendered, tokenised prompt and
// the values a generation needs. Shared by /v1/chat/completions and /v1/messages (which maps its body to this form
// first) and by /v1/messages/count_tokens.
//
// Threads: safe from any thread; the chat template is entered under chat_template_mutex().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <initializer_list>

#include <nlohmann/json.hpp>

#include "engine/runtime/chat_session.h"
#include "engine/runtime/generation.h"
#include "engine/runtime/lossy_params.h"

class engine;

// Which API a completion answers in. Requests of both dialects share one numbering.
enum class api_dialect : uint8_t { openai = 0, anthropic = 1 };

// A chat request read from its body and rendered, ready for engine::generate.
struct completion_request {
    std::shared_ptr<chat_session> session;  // the rendered prompt and the output parser
    std::vector<int32_t> prompt;                    // the prompt's tokens, fewer than the context
    std::vector<std::string> stop;                  // the template's stop strings, then the request's
    int32_t n_predict = 1;                          // at least 1, at most the room left in the context
    sampling_params sampling;
    bool stream = false;
    lossy_params lossy;                             // the engine's defaults, or the preset of "mode"
    std::string model;                              // the reply's "model"
};

// Reads the body's fields, renders the messages and tools through the model's chat template and tokenises the
// prompt. Throws the nesting error of request_nesting.h (checked before anything parses the body), the JSON
// library's parse and type errors, the chat library's errors, "messages is empty", the
// prompt-does-not-fit text and the unknown-mode text.
completion_request read_completion_request(const engine& eng, const std::string& body, api_dialect dialect);
// The same for a body parsed once (parse_request_body with completion_body_keys), whose "messages" and "tools" the
// chat library reads in place. The nesting of the body's text must have been checked before it was parsed.
completion_request read_completion_request(const engine& eng, const nlohmann::ordered_json& body,
                                           api_dialect dialect);

// The chat library's view of a value of the parsed body, read in place (no copy, no second parse).
const common_json& chat_library_view(const nlohmann::ordered_json& value);

// The members of a chat-completions body that the reader uses; the others are dropped while parsing.
inline constexpr std::initializer_list<const char*> completion_body_keys = {
    "messages",    "tools",       "tool_choice", "parallel_tool_calls",   "reasoning_format", "chat_template_kwargs",
    "stop",        "max_tokens",  "max_completion_tokens",               "temperature",      "top_p",
    "top_k",       "seed",        "stream",      "mode",                  "model"};
