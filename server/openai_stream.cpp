#include "server/openai_stream.h"

#include <cstdio>
#include <exception>

#include "engine/runtime/engine.h"
#include "server/openai_reply.h"

using json = nlohmann::json;

namespace {

constexpr char keep_alive[] = ": ping\n\n";
constexpr char done_marker[] = "data: [DONE]\n\n";

bool write_text(httplib::DataSink& sink, const std::string& text) { return sink.write(text.data(), text.size()); }

// What a stream sends as text once its output stopped parsing: from the first "<tool_call>" on when the output
// holds one, else what follows the content already sent, else all of it.
std::string fallback_text(const std::string& raw_output, const common_chat_msg& last_sent) {
    const std::string marker = "<tool_call>";
    if (raw_output.size() >= marker.size()) {
        const size_t at = raw_output.find(marker);
        if (at != std::string::npos) return raw_output.substr(at);
    }
    if (raw_output.starts_with(last_sent.content)) return raw_output.substr(last_sent.content.size());
    return raw_output;
}

}  // namespace

json openai_delta(const common_chat_msg_diff& diff) {
    json delta = json::object();
    if (!diff.reasoning_content_delta.empty()) delta["reasoning_content"] = diff.reasoning_content_delta;
    if (!diff.content_delta.empty()) delta["content"] = diff.content_delta;
    if (diff.tool_call_index != std::string::npos) {
        json call = {{"index", uint64_t(diff.tool_call_index)}};
        const common_chat_tool_call& fragment = diff.tool_call_delta;
        if (!fragment.id.empty()) {
            call["id"] = fragment.id;
            call["type"] = "function";
        }
        json function = json::object();
        if (!fragment.name.empty()) function["name"] = fragment.name;
        if (!fragment.arguments.empty()) function["arguments"] = fragment.arguments;
        if (!function.empty()) call["function"] = std::move(function);
        delta["tool_calls"] = json::array({std::move(call)});
    }
    return delta;
}

bool send_openai_chunk(const openai_chunk_context& ctx, const json& delta, const json& finish_reason) {
    const json chunk = {{"id", ctx.id},
                        {"object", "chat.completion.chunk"},
                        {"created", ctx.created},
                        {"model", ctx.model},
                        {"choices", json::array({{{"index", 0}, {"delta", delta}, {"finish_reason", finish_reason}}})}};
    return write_text(ctx.sink, "data: " + api_json_text(chunk) + "\n\n");
}

bool send_openai_diffs(common_chat_msg& last_sent, const openai_chunk_context& ctx, const common_chat_msg& msg) {
    for (const common_chat_msg_diff& diff : common_chat_msg_diff::compute_diffs(last_sent, msg))
        if (!send_openai_chunk(ctx, openai_delta(diff), nullptr)) return false;
    last_sent = msg;
    return true;
}

bool stream_openai(completion_stream& state, httplib::DataSink& sink) {
    const openai_chunk_context ctx{state.id, state.created, state.request.model, sink};
    if (!send_openai_chunk(ctx, {{"role", "assistant"}}, nullptr)) return false;

    common_chat_msg last_sent = state.ids.session->message();
    std::string raw_output;
    bool text_fallback = false;
    const auto fall_back = [&](const std::exception& e) {
        std::fprintf(stderr, "request %s: output not in the tool-call format (%s); sending it as text\n",
                     state.id.c_str(), log_detail(e.what()).c_str());
        text_fallback = true;
    };
    // Runs on the engine worker thread.
    const on_text_fn on_openai_piece = [&](const token_text& generated) -> bool {
        if (generated.empty()) return sink.write(keep_alive, sizeof keep_alive - 1);
        const token_text piece = generated.with_valid_utf8();
        raw_output += piece.str();
        if (text_fallback) return true;
        try {
            common_chat_msg msg = state.ids.session->feed(piece);
            assign_tool_call_ids(state.ids, msg);
            return send_openai_diffs(last_sent, ctx, msg);
        } catch (const std::exception& e) {
            fall_back(e);
            return true;
        }
    };

    generation_stats stats;
    try {
        const completion_request& r = state.request;
        stats = state.eng->generate(r.prompt, r.n_predict, r.sampling, r.stop, on_openai_piece, &r.lossy);
        if (!text_fallback) {
            try {
                send_openai_diffs(last_sent, ctx, parse_chat_output(state.ids, token_text(), true));
            } catch (const std::exception& e) {
                fall_back(e);
            }
        }
        if (text_fallback) {
            const std::string rest = fallback_text(raw_output, last_sent);
            const std::string prefix = last_sent.content.empty() ? "" : "\n";
            if (!rest.empty() && !send_openai_chunk(ctx, {{"content", prefix + rest}}, nullptr)) return false;
        }
    } catch (const std::exception& e) {
        write_text(sink, "data: " + api_json_text(openai_error_body(e.what()), true) + "\n\n");
        sink.done();
        return false;
    }

    send_openai_chunk(ctx, json::object(), openai_finish_reason(last_sent, stats));
    sink.write(done_marker, sizeof done_marker - 1);
    sink.done();
    log_request_stats(state.id, stats);
    return true;
}
