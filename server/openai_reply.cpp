#include "server/openai_reply.h"

using json = nlohmann::json;

json openai_message_json(const common_chat_msg& msg) {
    json out = json::parse(msg.to_json_oaicompat(false).dump());
    out["role"] = "assistant";
    return out;
}

std::string openai_finish_reason(const common_chat_msg& msg, const generation_stats& stats) {
    return msg.tool_calls.empty() ? stats.finish_reason : "tool_calls";
}

json openai_error_body(const std::string& text) {
    return {{"error", {{"message", text}, {"type", "invalid_request_error"}}}};
}

json openai_reply(const std::string& id, int64_t created, const std::string& model, const common_chat_msg& msg,
                  const generation_stats& stats) {
    json choice = {{"index", 0}, {"message", openai_message_json(msg)},
                   {"finish_reason", openai_finish_reason(msg, stats)}};
    return {{"id", id},
            {"object", "chat.completion"},
            {"created", created},
            {"model", model},
            {"choices", json::array({choice})},
            {"usage",
             {{"prompt_tokens", stats.prompt_tokens},
              {"completion_tokens", stats.generated_tokens},
              {"total_tokens", stats.prompt_tokens + stats.generated_tokens}}}};
}
