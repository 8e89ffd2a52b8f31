#include "agent/tool_gate.h"

#include <filesystem>
#include <mutex>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "agent/agent_reply.h"
#include "agent/call_summary.h"
#include "agent/project_paths.h"
#include "agent/request_guard.h"
#include "agent/tool_executor.h"
#include "common/process_state.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// This thread's project_override for one request: set by the gate, cleared when the request is done however it
// ends. The server's worker threads are pooled, so a folder left behind would serve the next request of another
// chat.
class project_override_scope {
public:
    project_override_scope() = default;
    ~project_override_scope() { project_override.clear(); }
    project_override_scope(const project_override_scope&) = delete;
    project_override_scope& operator=(const project_override_scope&) = delete;
    void set(const std::string& folder) { project_override = folder; }
};

// Step "folder": a non-empty "folder" string must name an existing folder (links followed).
void take_chat_folder(const json& body, project_override_scope& scope) {
    if (!body.is_object()) return;
    const auto folder = body.find("folder");
    if (folder == body.end() || !folder->is_string()) return;
    const std::string& text = folder->get_ref<const std::string&>();
    if (text.empty()) return;
    std::error_code error;
    if (!fs::is_directory(fs::path(text), error)) {
        throw std::runtime_error("this chat's project folder no longer exists: " + text);
    }
    scope.set(text);
}

// The settings' decision for a group: "allow", "ask" or "deny"; any other stored value reads as "ask".
std::string stored_decision(const json& settings, const std::string& group) {
    if (group == "skills") return "allow";
    const auto permissions = settings.find("permissions");
    if (permissions == settings.end()) return "ask";
    const std::string value = permissions->value(group, std::string("ask"));
    return value == "allow" || value == "deny" ? value : "ask";
}

}  // namespace

std::string tool_permission_group(const std::string& name) {
    static const std::pair<const char*, const char*> groups[] = {
        {"list_dir", "read"},        {"read_file", "read"},          {"preview_url", "read"},
        {"search_files", "read"},    {"read_document", "read"},      {"connector_tools", "read"},
        {"write_file", "write"},     {"edit_file", "write"},         {"run_command", "command"},
        {"web_search", "web"},       {"fetch_url", "web"},           {"find_connectors", "web"},
        {"find_skills", "web"},      {"load_skill", "skills"},       {"add_connector", "setup"},
        {"remove_connector", "setup"}, {"install_skill", "setup"},   {"use_connector", "mcp"},
    };
    for (const auto& [tool, group] : groups) {
        if (name == tool) return group;
    }
    if (name.compare(0, 5, "mcp__") == 0) return "mcp";
    return "";
}

std::string blocked_message(const std::string& group) {
    return "This tool is blocked in Mivra's settings (" + group + "). Tell the user what you wanted to do instead.";
}

void handle_agent_tool(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    project_override_scope scope;
    json reply = json::object();
    try {
        const json body = json::parse(req.body);
        take_chat_folder(body, scope);
        const std::string name = body.at("name").get<std::string>();
        json arguments = body.value("arguments", json::object());
        if (arguments.is_string()) arguments = json::parse(arguments.get<std::string>());
        const bool approved = body.value("approved", false);
        const std::string group = tool_permission_group(name);

        std::string decision;
        bool outside = false;
        {
            std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
            if (group.empty()) throw std::runtime_error("unknown tool " + name);
            const json& settings = agent_state.settings;
            const bool full = settings.value("full_permission", false);
            decision = stored_decision(settings, group);
            if (full && decision != "deny") decision = "allow";
            // The tool runs without the lock: it finds the project folder through project_override, so the
            // settings' "workspace" is pinned here, as the decision saw it.
            if (project_override.empty()) {
                const auto workspace = settings.find("workspace");
                if (workspace != settings.end() && workspace->is_string()) scope.set(workspace->get<std::string>());
            }
            if (arguments.is_object()) {
                const auto path = arguments.find("path");
                if (path != arguments.end() && path->is_string()) {
                    bool inside = false;
                    resolve_in_project(path->get_ref<const std::string&>(), inside);
                    outside = !inside;
                    if (outside && !full && decision == "allow") decision = "ask";
                }
            }
        }

        reply["summary"] = describe_tool_call(name, arguments);
        reply["group"] = group;
        if (outside) reply["outside_project"] = true;
        if (decision == "deny") {
            reply["status"] = "blocked";
            reply["result"] = blocked_message(group);
        } else if (decision == "ask" && !approved) {
            reply["status"] = "needs_approval";
        } else {
            reply["result"] = execute_agent_tool(name, arguments);
            reply["status"] = "ok";
        }
    } catch (const std::exception& error) {
        reply["status"] = "error";
        reply["result"] = std::string("error: ") + error.what();
    }
    reply_json(res, 200, reply, utf8_check::replacing);
}
