#include "agent/call_summary.h"

#include "common/file_helpers.h"

using nlohmann::json;

namespace {

// " · ": a blank, U+00B7 MIDDLE DOT and a blank.
constexpr const char* middle_dot = " \xC2\xB7 ";

// Compact JSON, keys in ascending order (the library's object keeps them so).
std::string compact(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string first_bytes(const std::string& text, size_t count) { return text.substr(0, count); }

std::string arg(const json& arguments, const char* key) { return json_string_or_empty(arguments, key); }

std::string add_connector_summary(const json& arguments) {
    std::string target = arg(arguments, "id");
    if (target.empty()) target = arg(arguments, "url");
    if (target.empty()) {
        target = arg(arguments, "command") + " ";
        if (arguments.is_object() && arguments.contains("args")) target += compact(arguments["args"]);
    }
    std::string summary = "add connector " + target;
    if (arguments.is_object()) {
        const auto values = arguments.find("values");
        if (values != arguments.end() && values->is_object() && !values->empty()) {
            summary += " with ";
            for (const auto& [key, ignored] : values->items()) summary += key + " ";
        }
    }
    return summary;
}

std::string use_connector_summary(const json& arguments) {
    std::string summary = arg(arguments, "connector") + middle_dot + arg(arguments, "tool") + " ";
    if (arguments.is_object()) {
        const auto inner = arguments.find("arguments");
        if (inner != arguments.end()) summary += first_bytes(compact(*inner), 260);
    }
    return summary;
}

}  // namespace

std::string describe_tool_call(const std::string& name, const json& arguments) {
    if (name == "run_command") return arg(arguments, "command");
    if (name == "write_file") {
        return "write " + arg(arguments, "path") + " (" + std::to_string(arg(arguments, "content").size()) +
               " characters)";
    }
    if (name == "edit_file") return "edit " + arg(arguments, "path");
    if (name == "read_file" || name == "list_dir" || name == "read_document") return arg(arguments, "path");
    if (name == "web_search" || name == "find_connectors" || name == "find_skills") return arg(arguments, "query");
    if (name == "fetch_url") return arg(arguments, "url");
    if (name == "add_connector") return add_connector_summary(arguments);
    if (name == "remove_connector") return "remove connector " + arg(arguments, "name");
    if (name == "use_connector") return use_connector_summary(arguments);
    if (name == "connector_tools") {
        const std::string tool = arg(arguments, "tool");
        return arg(arguments, "connector") + (tool.empty() ? "" : middle_dot + tool);
    }
    if (name == "install_skill") {
        const std::string url = arg(arguments, "url");
        return "install skill " + (url.empty() ? arg(arguments, "name") : url);
    }
    return first_bytes(compact(arguments), 300);
}
