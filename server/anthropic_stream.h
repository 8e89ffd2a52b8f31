// Anthropic streaming: the chunked content provider of a streamed /v1/messages request. It runs the whole
// generation and writes named server-sent events: message_start, then content blocks (thinking, text, tool_use)
// opened, grown by deltas and closed in the order the parsed assistant message grows, then message_delta with the
// stop reason and message_stop. Empty pieces from the engine become ping events; a failure once the stream has
// started becomes an error event.
//
// Threads: stream_anthropic runs on the stream's generating thread (run_queued_stream) and blocks in
// engine::generate; the piece callback runs on the engine worker thread meanwhile and writes through the block
// writer. The sink is the stream's queue, so neither ever writes to the socket. The writer, the
// chat session and the sink are touched by one of the two at a time (ordered by engine::generate's completion), so
// the writer has no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "httplib.h"
#include "server/reply_helpers.h"

// Writes "event: NAME\ndata: JSON\n\n" in one write; returns the write's result (false when the client is gone).
bool send_sse_event(httplib::DataSink& sink, const std::string& name, const nlohmann::json& data);

// Brings an Anthropic client up to date with the assistant message parsed so far, by byte counts of what has been
// sent. Blocks get indices 0, 1, 2 ... in the order they are opened; a thinking or text block stays open while its
// kind grows, every tool call gets a block of its own, and a tool call's argument deltas are only ever sent inside
// its own block (they are flushed before any other block opens). Counts only grow: a message that the parser
// revises to something shorter sends nothing until it grows past what was sent.
// One writer per stream; used by one thread at a time.
struct anthropic_block_writer {
    explicit anthropic_block_writer(httplib::DataSink& out) : sink(out) {}

    httplib::DataSink& sink;
    int32_t index = -1;           // the open (or last) block
    std::string open_type;        // "", "thinking", "text" or "tool"
    uint64_t reasoning_sent = 0;  // bytes of the message's reasoning sent
    uint64_t text_sent = 0;       // bytes of the message's content sent
    uint64_t arguments_sent = 0;  // bytes of the open tool call's arguments sent
    uint64_t tools_opened = 0;    // tool calls that have had a block opened

    // Sends the events that the growth of `msg` calls for; `final` closes the open block at the end. A tool call
    // is opened only once its name is known and either its arguments have begun, a later call exists or the output
    // is final. Returns false as soon as a write fails.
    bool advance(const common_chat_msg& msg, bool final);
    // Closes the open block, if any, then opens the next with `block` as its content_block.
    bool open_block(const std::string& kind, const nlohmann::json& block);
    // Sends content_block_stop for the open block; the block counts as closed even when the write fails.
    bool close_block();
    bool send_delta(const nlohmann::json& delta);

private:
    // The open tool block's argument growth, sent as an input_json_delta.
    bool flush_arguments(const common_chat_msg& msg);
};

// The piece callback: a ping event for an empty piece; otherwise the session's feed of the piece (bytes that are not
// UTF-8 written as U+FFFD), with tool-call
// ids, handed to the writer. False (a failed write) makes the engine end the request. The chat library's parse
// errors propagate and end the generation with that error.
bool on_anthropic_piece(anthropic_block_writer& writer, const tool_id_state& ids, const token_text& piece);

// The content provider: true after a stream that ran its generation to the end (also when the client went away
// meanwhile); false when message_start could not be written (nothing generated) or after an error event, which
// ends the stream without message_delta, message_stop or statistics line.
bool stream_anthropic(completion_stream& state, httplib::DataSink& sink);
