#include "server/anthropic_request.h"

#include <exception>
#include <mutex>

#include "engine/runtime/engine.h"
#include "server/anthropic_reply.h"
#include "server/completion_request.h"
#include "server/reply_helpers.h"
#include "server/request_body.h"
#include "server/request_nesting.h"

using ordered_json = nlohmann::ordered_json;

namespace {

// Keys of an Anthropic body that pass into the chat-completions body unchanged, in this order.
constexpr const char* anthropic_copied_keys[] = {"model", "max_tokens", "temperature", "top_p",
                                                 "top_k", "stream",     "mode"};

std::string system_text(const ordered_json& system) {
    std::string text;
    if (system.is_string()) {
        text = system.get<std::string>();
        blank_billing_hash(text);
        return text;
    }
    for (const ordered_json& element : system) {
        if (element.value("type", "") != "text") continue;
        std::string piece = element.value("text", "");
        blank_billing_hash(piece);
        text += piece;
    }
    return text;
}

// One Anthropic message with content blocks: its own message (when it has text, reasoning or tool calls) and the
// tool messages of its tool_result blocks. The tool messages keep their place relative to the text: they come
// first when a tool_result block precedes every text block, which is how a user turn answers the tool calls of
// the assistant turn before it; a tool message must follow those calls directly.
void push_block_message(const std::string& role, const ordered_json& content, ordered_json& messages) {
    std::string text, reasoning;
    ordered_json tool_calls = ordered_json::array();
    ordered_json tool_messages = ordered_json::array();
    bool results_first = false;
    bool text_seen = false;
    for (const ordered_json& block : content) {
        const std::string kind = block.value("type", "");
        if (kind == "text") {
            text += block.value("text", "");
            text_seen = true;
        } else if (kind == "thinking") {
            reasoning += block.value("thinking", "");
        } else if (kind == "tool_use") {
            const auto input = block.find("input");
            ordered_json call;
            call["id"] = block.value("id", "");
            call["type"] = "function";
            call["function"]["name"] = block.value("name", "");
            call["function"]["arguments"] = input == block.end() ? std::string("{}") : input->dump();
            tool_calls.push_back(std::move(call));
        } else if (kind == "tool_result") {
            const auto result = block.find("content");
            ordered_json message;
            message["role"] = "tool";
            message["tool_call_id"] = block.value("tool_use_id", "");
            message["content"] = result == block.end() ? std::string() : content_text(*result);
            if (tool_messages.empty() && !text_seen) results_first = true;
            tool_messages.push_back(std::move(message));
        }
    }

    const auto push_tool_messages = [&] {
        for (ordered_json& m : tool_messages) messages.push_back(std::move(m));
    };
    if (results_first) push_tool_messages();
    if (!text.empty() || !tool_calls.empty() || !reasoning.empty()) {
        ordered_json message;
        message["role"] = role;
        message["content"] = text;
        if (!tool_calls.empty()) message["tool_calls"] = std::move(tool_calls);
        if (!reasoning.empty()) message["reasoning_content"] = reasoning;
        messages.push_back(std::move(message));
    }
    if (!results_first) push_tool_messages();
}

ordered_json map_tools(const ordered_json& tools) {
    ordered_json mapped = ordered_json::array();
    for (const ordered_json& tool : tools) {
        if (tool.is_object()) {
            const auto type = tool.find("type");
            const bool custom = type != tool.end() && type->is_string() && type->get<std::string>() == "custom";
            if (type != tool.end() && !custom && !tool.contains("input_schema")) continue;  // a server tool
        }
        ordered_json function;
        function["name"] = tool.value("name", "");
        function["description"] = tool.value("description", "");
        function["parameters"] = tool.value("input_schema", ordered_json::object());
        mapped.push_back({{"type", "function"}, {"function", std::move(function)}});
    }
    return mapped;
}

std::string map_tool_choice(const ordered_json& choice) {
    const std::string type = choice.value("type", "auto");
    if (type == "any" || type == "tool") return "required";
    if (type == "none") return "none";
    return "auto";
}

}  // namespace

std::string content_text(const ordered_json& content) {
    if (content.is_string()) return content.get<std::string>();
    std::string text;
    if (!content.is_array()) return text;
    for (const ordered_json& element : content)
        if (element.value("type", "") == "text") text += element.value("text", "");
    return text;
}

void blank_billing_hash(std::string& text) {
    static const std::string prefix = "x-anthropic-billing-header:";
    if (!text.starts_with(prefix)) return;
    const size_t p = text.find("cch=");
    if (p == std::string::npos || p + 9 >= text.size() || text[p + 9] != ';') return;
    text.replace(p + 4, 5, "fffff");
}

std::string anthropic_to_openai_request(const std::string& text) {
    check_body_nesting(text);
    return anthropic_to_openai_body(parse_request_body(text, anthropic_body_keys)).dump();
}

ordered_json anthropic_to_openai_body(const ordered_json& body) {
    ordered_json messages = ordered_json::array();

    if (const auto system = body.find("system"); system != body.end())
        messages.push_back({{"role", "system"}, {"content", system_text(*system)}});

    for (const ordered_json& message : body.at("messages")) {
        const std::string role = message.at("role").get<std::string>();
        const ordered_json& content = message.at("content");
        if (content.is_string())
            messages.push_back({{"role", role}, {"content", content}});
        else
            push_block_message(role, content, messages);
    }

    ordered_json out;
    out["messages"] = std::move(messages);
    if (const auto tools = body.find("tools"); tools != body.end()) {
        ordered_json mapped = map_tools(*tools);
        if (!mapped.empty()) out["tools"] = std::move(mapped);
    }
    if (const auto choice = body.find("tool_choice"); choice != body.end() && choice->is_object())
        out["tool_choice"] = map_tool_choice(*choice);
    for (const char* key : anthropic_copied_keys)
        if (const auto it = body.find(key); it != body.end()) out[key] = *it;
    if (const auto stop = body.find("stop_sequences"); stop != body.end()) out["stop"] = *stop;
    return out;
}

namespace {

// The translated body of an Anthropic request's text, parsed once; the nesting is checked on the text first.
ordered_json translated_body(std::string& text) {
    check_body_nesting(text);
    ordered_json body = parse_request_body(text, anthropic_body_keys);
    text = std::string();
    return anthropic_to_openai_body(body);
}

void refuse(httplib::Response& res, const std::exception& e) {
    res.status = 400;
    res.set_content(api_json_text(anthropic_error_body(e.what()), true), "application/json");
}

}  // namespace

void handle_messages(const completion_route& route, std::string body, httplib::Response& res, body_budget_hold hold) {
    ordered_json translated;
    try {
        translated = translated_body(body);
    } catch (const std::exception& e) {
        refuse(res, e);
        return;
    }
    handle_completion(route, std::move(translated), res, api_dialect::anthropic, std::move(hold));
}

void handle_count_tokens(const engine& eng, std::string text, httplib::Response& res, body_budget_hold hold) {
    try {
        const ordered_json body = translated_body(text);
        check_request_nesting(body);
        common_chat_templates_inputs inputs;
        inputs.messages = common_chat_msgs_parse_oaicompat(chat_library_view(body).at("messages"));
        if (body.contains("tools")) inputs.tools = common_chat_tools_parse_oaicompat(chat_library_view(body.at("tools")));
        {
            const std::lock_guard<std::mutex> lock(chat_template_mutex());
            inputs.enable_thinking = common_chat_templates_support_enable_thinking(eng.templates.get());
        }
        const chat_session session(eng.templates.get(), eng.vocab, inputs, chat_session_params{});
        hold.release();
        const size_t n = eng.tokenize(session.prompt().str()).size();
        res.set_content(api_json_text(nlohmann::json{{"input_tokens", n}}), "application/json");
    } catch (const std::exception& e) {
        refuse(res, e);
    }
}
