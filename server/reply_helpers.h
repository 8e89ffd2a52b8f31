// What the reply paths of both dialects share, streamed or not: tool-call ids, the parsing of the model's output
// into an assistant message, the compact JSON text of a reply, the statistics line, and the state a stream's content
// provider captures from the handler.
//
// Threads: the chat session and the id list are shared (reference counted) by the handler, the id state and a stream
// provider; one thread uses them at a time (the engine worker during generation, the HTTP worker before and after),
// ordered by engine::generate's completion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/runtime/chat_session.h"
#include "engine/runtime/generation.h"
#include "server/completion_request.h"

class engine;

// What the tool-call id generator and the output parser share within one request.
struct tool_id_state {
    std::shared_ptr<chat_session> session;
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
common_chat_msg parse_chat_output(const tool_id_state& state, const token_text& text, bool final);

// The per-request statistics line on stderr.
void log_request_stats(const std::string& id, const generation_stats& stats);

// Longest quote of a library's message in a log line.
inline constexpr size_t log_detail_limit = 160;
// What a log line quotes of a library's message, which may carry the model's output or the request's text: its first
// line (without "\r"), cut to log_detail_limit bytes at a character boundary, "..." added when anything was left out.
std::string log_detail(std::string_view message);

// Compact JSON with non-ASCII text as raw UTF-8. Throws the JSON library's error on invalid UTF-8 unless
// `replace_invalid`, which writes U+FFFD in place of each invalid byte (error bodies, which quote arbitrary text).
std::string api_json_text(const nlohmann::json& value, bool replace_invalid = false);

// What a stream's content provider captures from the handler, in either dialect. The request's session is the
// one in `ids`.
struct completion_stream {
    engine* eng = nullptr;
    completion_request request;
    tool_id_state ids;
    std::string id;        // "chatcmpl-N" or "msg_N"
    int64_t created = 0;   // seconds since 1970 (OpenAI chunks only)
};
