// POST /v1/chat/completions: one chat request turned into one generation, answered as one JSON object or streamed
// as server-sent events (openai_stream.h); and what the reply paths share: tool-call ids, the parsing of the
// model's output into an assistant message, the OpenAI message, finish reason and error body, the statistics line.
//
// Threads: the handler runs on an HTTP worker thread. The chat session and the id list are shared (reference
// counted) by the handler, the id state and a stream provider; one thread uses them at a time (the engine worker
// during generation, the HTTP worker before and after), ordered by engine::generate's completion.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/runtime/chat_session.h"
#include "engine/runtime/generation.h"
#include "engine/runtime/lossy_params.h"
#include "httplib.h"

class engine;

// Which API a completion answers in. Requests of both dialects share one numbering.
enum class api_dialect : uint8_t { openai = 0, anthropic = 1 };

// What a completion route holds: the engine and the request counter of this run of `serve`.
struct completion_route {
    engine& host;
    std::atomic<uint64_t>& request_counter;
};

// A chat request read from its body and rendered, ready for engine::generate.
struct completion_request {
    std::shared_ptr<common_chat_session> session;  // the rendered prompt and the output parser
    std::vector<int32_t> prompt;                    // the prompt's tokens, fewer than the context
    std::vector<std::string> stop;                  // the template's stop strings, then the request's
    int32_t n_predict = 1;                          // at least 1, at most the room left in the context
    sampling_params sampling;
    bool stream = false;
    lossy_params lossy;                             // the engine's defaults, or the preset of "mode"
    std::string model;                              // the reply's "model"
};

// Reads the body's fields, renders the messages and tools through the model's chat template and tokenises the
// prompt. Throws the JSON library's parse and type errors, the chat library's errors, "messages is empty", the
// prompt-does-not-fit text and the unknown-mode text. Safe from any thread.
completion_request read_completion_request(const engine& host, const std::string& body, api_dialect dialect);

// What the tool-call id generator and the output parser share within one request.
struct tool_id_state {
    std::shared_ptr<common_chat_session> session;
    std::shared_ptr<std::vector<std::string>> ids;  // ids handed out so far, in call order
    std::string number;                             // the request number, decimal
    bool anthropic = false;
};

// "call_N_K" ("toolu_N_K" in the Anthropic dialect): N the request number, K the number of ids given so far.
std::string make_tool_call_id(const tool_id_state& state);
// Gives tool call i of `msg` the i-th id of the list, adding an id to the list first when the call is new (the
// parser's own id when it gave one, else a generated one), so a call keeps its id through the whole request.
void assign_tool_call_ids(const tool_id_state& state, common_chat_msg& msg);
// The assistant message of the output so far: the session's finish (final) or feed of `text`, with tool-call ids.
// The chat library's exceptions pass through (output not in the template's tool-call format).
common_chat_msg parse_chat_output(const tool_id_state& state, const common_chat_input& text, bool final);

// The message in OpenAI form, its "role" always "assistant".
nlohmann::json openai_message_json(const common_chat_msg& msg);
// "tool_calls" when the message has a tool call, else the generation's "stop" or "length".
std::string openai_finish_reason(const common_chat_msg& msg, const generation_stats& stats);
// {"error":{"message":text,"type":"invalid_request_error"}}.
nlohmann::json openai_error_body(const std::string& text);
// The per-request statistics line on stderr.
void log_request_stats(const std::string& id, const generation_stats& stats);

// Compact JSON with non-ASCII text as raw UTF-8. Throws the JSON library's error on invalid UTF-8 unless
// `replace_invalid`, which writes U+FFFD in place of each invalid byte (error bodies, which quote arbitrary text).
std::string api_json_text(const nlohmann::json& value, bool replace_invalid = false);

// The completion handler: status, content type and body, or a chunked event stream that runs the generation
// after the handler returns (on the same worker thread). Any failure before the reply is status 400 with the
// dialect's error body; a request takes its number only once its body has been read without error.
void handle_completion(const completion_route& route, const std::string& body, httplib::Response& res,
                       api_dialect dialect);
