#include "server/anthropic_reply.h"

using json = nlohmann::json;

json anthropic_content_blocks(const common_chat_msg& msg) {
    json blocks = json::array();
    if (!msg.reasoning_content.empty())
        blocks.push_back({{"type", "thinking"}, {"thinking", msg.reasoning_content}, {"signature", ""}});
    if (!msg.content.empty()) blocks.push_back({{"type", "text"}, {"text", msg.content}});
    for (const common_chat_tool_call& call : msg.tool_calls) {
        json input = json::parse(call.arguments, nullptr, false);
        if (input.is_discarded()) input = json::object();
        blocks.push_back({{"type", "tool_use"}, {"id", call.id}, {"name", call.name}, {"input", std::move(input)}});
    }
    return blocks;
}

std::string anthropic_stop_reason(const common_chat_msg& msg, const generation_stats& stats) {
    if (!msg.tool_calls.empty()) return "tool_use";
    return stats.finish_reason == "length" ? "max_tokens" : "end_turn";
}

json anthropic_error_body(const std::string& text) {
    return {{"type", "error"}, {"error", {{"type", "invalid_request_error"}, {"message", text}}}};
}

json anthropic_reply(const std::string& id, const std::string& model, const common_chat_msg& msg,
                     const generation_stats& stats) {
    return {{"id", id},
            {"type", "message"},
            {"role", "assistant"},
            {"model", model},
            {"content", anthropic_content_blocks(msg)},
            {"stop_reason", anthropic_stop_reason(msg, stats)},
            {"stop_sequence", nullptr},
            {"usage", {{"input_tokens", stats.prompt_tokens}, {"output_tokens", stats.generated_tokens}}}};
}
