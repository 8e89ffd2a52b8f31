#include "server/request_nesting.h"

#include <stdexcept>
#include <string>

#include "common/json_nesting_guard.h"

namespace {

[[noreturn]] void too_deep() {
    throw std::runtime_error("messages or tools nested deeper than " + std::to_string(request_nesting_limit) +
                             " levels");
}

// Refuses the JSON text of one tool call's arguments when it nests too deep (text that is no JSON stays text for the
// chat library and counts the same way).
template <typename Json>
void check_arguments(const Json& call) {
    if (!call.is_object()) return;
    const auto function = call.find("function");
    if (function == call.end() || !function->is_object()) return;
    const auto arguments = function->find("arguments");
    if (arguments == function->end() || !arguments->is_string()) return;
    check_body_nesting(arguments->template get_ref<const std::string&>());
}

template <typename Json>
void check_nesting(const Json& body) {
    if (!body.is_object()) return;
    for (const char* key : {"messages", "tools"}) {
        const auto it = body.find(key);
        if (it != body.end() && json_nesting_depth(*it) > request_nesting_limit) too_deep();
    }
    const auto messages = body.find("messages");
    if (messages == body.end() || !messages->is_array()) return;
    for (const Json& message : *messages) {
        if (!message.is_object()) continue;
        const auto calls = message.find("tool_calls");
        if (calls == message.end() || !calls->is_array()) continue;
        for (const Json& call : *calls) check_arguments(call);
    }
}

}  // namespace

void check_body_nesting(std::string_view text) {
    size_t depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;  // the escaped character cannot end the string
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > request_nesting_limit) too_deep();
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
}

void check_request_nesting(const nlohmann::json& body) { check_nesting(body); }
void check_request_nesting(const nlohmann::ordered_json& body) { check_nesting(body); }
