#include "server/request_nesting.h"

#include <stdexcept>
#include <string>

#include "common/json_nesting_guard.h"

using json = nlohmann::json;

namespace {

[[noreturn]] void too_deep() {
    throw std::runtime_error("messages or tools nested deeper than " + std::to_string(request_nesting_limit) +
                             " levels");
}

// The depth of the JSON text of one tool call's arguments; 0 when it is no JSON (the chat library keeps it as text).
size_t arguments_depth(const json& call) {
    if (!call.is_object()) return 0;
    const auto function = call.find("function");
    if (function == call.end() || !function->is_object()) return 0;
    const auto arguments = function->find("arguments");
    if (arguments == function->end() || !arguments->is_string()) return 0;
    const json parsed = json::parse(arguments->get_ref<const std::string&>(), nullptr, false);
    return parsed.is_discarded() ? 0 : json_nesting_depth(parsed);
}

}  // namespace

void check_request_nesting(const json& body) {
    if (!body.is_object()) return;
    for (const char* key : {"messages", "tools"}) {
        const auto it = body.find(key);
        if (it != body.end() && json_nesting_depth(*it) > request_nesting_limit) too_deep();
    }
    const auto messages = body.find("messages");
    if (messages == body.end() || !messages->is_array()) return;
    for (const json& message : *messages) {
        if (!message.is_object()) continue;
        const auto calls = message.find("tool_calls");
        if (calls == message.end() || !calls->is_array()) continue;
        for (const json& call : *calls)
            if (arguments_depth(call) > request_nesting_limit) too_deep();
    }
}
