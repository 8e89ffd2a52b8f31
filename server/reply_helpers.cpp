#include "server/reply_helpers.h"

#include <algorithm>
#include <cstdio>

using json = nlohmann::json;

std::string make_tool_call_id(const tool_id_state& state) {
    return (state.anthropic ? "toolu_" : "call_") + state.number + "_" + std::to_string(state.ids->size());
}

void assign_tool_call_ids(const tool_id_state& state, common_chat_msg& msg) {
    msg.set_tool_call_ids(*state.ids, [&state] { return make_tool_call_id(state); });
}

common_chat_msg parse_chat_output(const tool_id_state& state, const token_text& text, bool final) {
    common_chat_msg msg = final ? state.session->finish(text) : state.session->feed(text);
    assign_tool_call_ids(state, msg);
    return msg;
}

void log_request_stats(const std::string& id, const generation_stats& stats) {
    std::fprintf(stderr,
                 "request %s: %d prompt tokens (%d reused, %d from disk), prefill %.1f s, %d generated "
                 "(%d of %d drafts accepted), %.2f tok/s\n",
                 id.c_str(), stats.prompt_tokens, stats.reused_tokens, stats.disk_tokens, stats.prefill_seconds,
                 stats.generated_tokens, stats.accepted_tokens, stats.drafted_tokens,
                 double(stats.generated_tokens) / std::max(stats.generate_seconds, 1e-9));
}

std::string log_detail(std::string_view message) {
    const size_t line_end = message.find_first_of("\r\n");
    size_t end = std::min({line_end, message.size(), log_detail_limit});
    if (message.find_first_not_of("\r\n", end) == std::string_view::npos) return std::string(message.substr(0, end));
    // Back to the first byte of a character: UTF-8 continuation bytes are 10xxxxxx.
    while (end > 0 && end < message.size() && (static_cast<unsigned char>(message[end]) & 0xC0) == 0x80) --end;
    return std::string(message.substr(0, end)) + "...";
}

std::string api_json_text(const json& value, bool replace_invalid) {
    return value.dump(-1, ' ', false,
                      replace_invalid ? json::error_handler_t::replace : json::error_handler_t::strict);
}
