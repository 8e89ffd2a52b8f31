#include "server/anthropic_stream.h"

#include <exception>

#include "engine/runtime/engine.h"
#include "server/anthropic_reply.h"

using json = nlohmann::json;

namespace {

bool write_event(httplib::DataSink& sink, const std::string& name, const std::string& data) {
    const std::string event = "event: " + name + "\ndata: " + data + "\n\n";
    return sink.write(event.data(), event.size());
}

}  // namespace

bool send_sse_event(httplib::DataSink& sink, const std::string& name, const json& data) {
    return write_event(sink, name, api_json_text(data));
}

bool anthropic_block_writer::open_block(const std::string& kind, const json& block) {
    if (!close_block()) return false;
    open_type = kind;
    ++index;
    return send_sse_event(sink, "content_block_start",
                          {{"type", "content_block_start"}, {"index", index}, {"content_block", block}});
}

bool anthropic_block_writer::close_block() {
    if (open_type.empty()) return true;
    open_type.clear();
    return send_sse_event(sink, "content_block_stop", {{"type", "content_block_stop"}, {"index", index}});
}

bool anthropic_block_writer::send_delta(const json& delta) {
    return send_sse_event(sink, "content_block_delta",
                          {{"type", "content_block_delta"}, {"index", index}, {"delta", delta}});
}

bool anthropic_block_writer::flush_arguments(const common_chat_msg& msg) {
    if (open_type != "tool" || tools_opened == 0 || tools_opened > msg.tool_calls.size()) return true;
    const std::string& arguments = msg.tool_calls[tools_opened - 1].arguments;
    if (arguments_sent >= arguments.size()) return true;
    if (!send_delta({{"type", "input_json_delta"}, {"partial_json", arguments.substr(arguments_sent)}})) return false;
    arguments_sent = arguments.size();
    return true;
}

bool anthropic_block_writer::advance(const common_chat_msg& msg, bool final) {
    // The open tool call's arguments go first: once reasoning or text opens a block of its own, the tool block is
    // closed, and a delta sent under another block's index would be lost to the client.
    if (!flush_arguments(msg)) return false;

    if (reasoning_sent < msg.reasoning_content.size()) {
        if (open_type != "thinking" && !open_block("thinking", {{"type", "thinking"}, {"thinking", ""}})) return false;
        if (!send_delta({{"type", "thinking_delta"}, {"thinking", msg.reasoning_content.substr(reasoning_sent)}}))
            return false;
        reasoning_sent = msg.reasoning_content.size();
    }
    if (text_sent < msg.content.size()) {
        if (open_type != "text" && !open_block("text", {{"type", "text"}, {"text", ""}})) return false;
        if (!send_delta({{"type", "text_delta"}, {"text", msg.content.substr(text_sent)}})) return false;
        text_sent = msg.content.size();
    }

    // The call opened last is visited again, so that its arguments can still grow.
    for (size_t i = tools_opened == 0 ? 0 : tools_opened - 1; i < msg.tool_calls.size(); ++i) {
        const common_chat_tool_call& call = msg.tool_calls[i];
        if (i == tools_opened) {
            if (call.name.empty()) break;
            if (call.arguments.empty() && i + 1 == msg.tool_calls.size() && !final) return true;
            if (!open_block("tool", {{"type", "tool_use"}, {"id", call.id}, {"name", call.name},
                                     {"input", json::object()}}))
                return false;
            ++tools_opened;
            arguments_sent = 0;
        }
        if (!flush_arguments(msg)) return false;  // only while the call's own block is open
    }
    return final ? close_block() : true;
}

bool on_anthropic_piece(anthropic_block_writer& writer, const tool_id_state& ids, const token_text& piece) {
    if (piece.empty()) return send_sse_event(writer.sink, "ping", {{"type", "ping"}});
    return writer.advance(parse_chat_output(ids, piece.with_valid_utf8(), false), false);
}

bool stream_anthropic(completion_stream& state, httplib::DataSink& sink) {
    anthropic_block_writer writer{sink};
    const json start = {{"type", "message_start"},
                        {"message",
                         {{"id", state.id},
                          {"type", "message"},
                          {"role", "assistant"},
                          {"model", state.request.model},
                          {"content", json::array()},
                          {"stop_reason", nullptr},
                          {"stop_sequence", nullptr},
                          {"usage", {{"input_tokens", state.request.prompt.size()}, {"output_tokens", 0}}}}}};
    if (!send_sse_event(sink, "message_start", start)) return false;

    generation_stats stats;
    common_chat_msg msg;
    try {
        // Runs on the engine worker thread.
        const on_text_fn on_piece = [&writer, &state](const token_text& piece) {
            return on_anthropic_piece(writer, state.ids, piece);
        };
        const completion_request& r = state.request;
        stats = state.eng->generate(r.prompt, r.n_predict, r.sampling, r.stop, on_piece, &r.lossy);
        msg = parse_chat_output(state.ids, token_text(), true);
        writer.advance(msg, true);
    } catch (const std::exception& e) {
        write_event(sink, "error", api_json_text(anthropic_error_body(e.what()), true));
        sink.done();
        return false;
    }

    send_sse_event(sink, "message_delta",
                   {{"type", "message_delta"},
                    {"delta", {{"stop_reason", anthropic_stop_reason(msg, stats)}, {"stop_sequence", nullptr}}},
                    {"usage", {{"output_tokens", stats.generated_tokens}}}});
    send_sse_event(sink, "message_stop", {{"type", "message_stop"}});
    sink.done();
    log_request_stats(state.id, stats);
    return true;
}
