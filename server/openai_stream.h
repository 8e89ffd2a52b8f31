// OpenAI streaming: the chunked content provider of a streamed /v1/chat/completions request. It runs the whole
// generation and writes server-sent events in the chat-completion-chunk form: a role chunk, one chunk per change of
// the parsed assistant message (reasoning, content, tool-call fragments), a text fallback when the output does not
// parse as the template's tool-call format, a final chunk with the finish reason and "data: [DONE]". Empty pieces
// from the engine become ": ping" comments.
//
// Threads: stream_openai runs on the stream's generating thread (run_queued_stream) and blocks in
// engine::generate; the piece callback runs on the engine worker thread meanwhile. The sink is the stream's queue,
// so neither ever writes to the socket. The state of one call (raw output, fallback flag, last message sent, chat
// session) is touched by one of them at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "httplib.h"
#include "server/reply_helpers.h"

// What every chunk carries besides its delta, and where it goes.
struct openai_chunk_context {
    const std::string& id;
    int64_t created;
    const std::string& model;
    httplib::DataSink& sink;
};

// The content provider: true after a complete reply; false when the first write failed, when the fallback chunk
// could not be written, or after an error event (an exception of the generation), which ends the stream without
// final chunk, "data: [DONE]" or statistics line.
bool stream_openai(completion_stream& state, httplib::DataSink& sink);

// One diff as a chunk delta: "reasoning_content", "content" and "tool_calls" ([{"index", "id" and "type" when the
// fragment has an id, "function" with the non-empty of name and arguments}]), each only when not empty.
nlohmann::json openai_delta(const common_chat_msg_diff& diff);

// Writes "data: " + the chunk {"choices":[{"delta","finish_reason","index":0}],"created","id","model",
// "object":"chat.completion.chunk"} + "\n\n" in one write; returns the write's result.
bool send_openai_chunk(const openai_chunk_context& ctx, const nlohmann::json& delta, const nlohmann::json& finish_reason);

// Writes one chunk per diff from `last_sent` to `msg`; on success `last_sent` becomes `msg`. At the first failed
// write returns false and leaves `last_sent` unchanged. The chat library's diff errors and JSON errors propagate.
bool send_openai_diffs(common_chat_msg& last_sent, const openai_chunk_context& ctx, const common_chat_msg& msg);
