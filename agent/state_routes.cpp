#include "agent/state_routes.h"

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>

#include "agent/agent_reply.h"
#include "agent/provider_relay.h"
#include "agent/request_guard.h"
#include "agent/tool_table.h"
#include "common/agent_settings.h"
#include "common/file_helpers.h"
#include "common/process_state.h"
#include "common/program_version.h"
#include "connectors/connector_registry.h"
#include "connectors/skill_folder.h"

using nlohmann::json;

namespace {

// Tried in this order in the project folder; the first regular file is the project's instructions.
const char* const instruction_files[] = {"MIVRA.md", "AGENTS.md", "CLAUDE.md"};
constexpr size_t instruction_bytes = 8000;

json project_instructions() {
    const std::filesystem::path folder = project_folder();
    for (const char* name : instruction_files) {
        const std::filesystem::path path = folder / name;
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error)) continue;
        return {{"file", name}, {"text", read_file_text(path, instruction_bytes)}};
    }
    return nullptr;
}

// "command" followed, for every string element of "args", by one space and that element.
std::string connector_command_line(const json& config) {
    std::string line = json_string_or_empty(config, "command");
    const auto args = config.find("args");
    if (args != config.end() && args->is_array()) {
        for (const json& arg : *args) {
            if (arg.is_string()) line += " " + arg.get<std::string>();
        }
    }
    return line;
}

json connector_entries() {
    json entries = json::array();
    const auto servers = agent_state.settings.find("mcpServers");
    if (servers == agent_state.settings.end() || !servers->is_object()) return entries;
    const auto& registry = agent_connectors().connectors;
    for (const auto& [name, config] : servers->items()) {
        const bool enabled = connector_entry_enabled(config);
        const auto found = registry.find(name);
        const connector* running = found == registry.end() ? nullptr : found->second.get();
        std::string error;
        if (enabled) error = running ? running->error : "not started";
        json entry = {{"name", name},
                      {"market", json_string_or_empty(config, "market")},
                      {"enabled", enabled},
                      {"command", connector_command_line(config)},
                      {"starting", enabled && !running && agent_state.connectors_starting},
                      {"ok", enabled && running && running->error.empty()},
                      {"error", error},
                      {"tools", running && running->tools.is_array() ? running->tools.size() : 0},
                      {"tool_names", connector_tool_names(running, !enabled)}};
        entries.push_back(std::move(entry));
    }
    return entries;
}

// The settings as the page may see them: no provider keys, the search key blanked with a flag telling whether one
// is stored, and whether the provider's address has a key.
json settings_view() {
    json view = agent_state.settings;
    view.erase("provider_keys");
    const auto key = agent_state.settings.find("brave_api_key");
    view["brave_key_set"] = key != agent_state.settings.end() && key->is_string() && !key->get<std::string>().empty();
    view["brave_api_key"] = "";
    view["provider"]["has_key"] = !read_provider_config().key.empty();
    return view;
}

json agent_state_reply() {
    json reply;
    reply["version"] = program_version;
    reply["update"] = agent_state.update_notice;
    reply["skills"] = json::array();
    for (const skill_info& skill : list_installed_skills(skills_folder_in(agent_state.settings))) {
        reply["skills"].push_back({{"name", skill.name}, {"description", skill.description}});
    }
    reply["tools"] = agent_tool_definitions();
    reply["connectors"] = connector_entries();
    reply["instructions"] = project_instructions();
    reply["settings"] = settings_view();
    reply["settings_file"] = agent_state.settings_path.string();
    return reply;
}

// The place of a secret in the settings as common/agent_settings.h names it (a JSON pointer).
std::string provider_key_place(const std::string& base) {
    return (json::json_pointer("/provider_keys") / base).to_string();
}

// The provider part of a settings request: the address trimmed and checked, the key stored or cleared.
void merge_provider(const json& body) {
    json& provider = agent_state.settings["provider"];
    provider.erase("has_key");  // the JSON library's type error when "provider" is not an object
    std::string base = json_string_or_empty(provider, "base_url");
    while (!base.empty() && (base.back() == '/' || base.back() == ' ')) base.pop_back();
    base.erase(0, std::min(base.find_first_not_of(' '), base.size()));
    provider["base_url"] = base;
    const std::string kind = provider.contains("kind") ? provider["kind"].get<std::string>() : "mivra";
    if (kind != "mivra" && !base.empty() && base.rfind("http://", 0) != 0 && base.rfind("https://", 0) != 0) {
        throw std::runtime_error("the provider address must start with https:// (or http:// for a program on this PC)");
    }
    json& keys = agent_state.settings["provider_keys"];
    if (!keys.is_object()) keys = json::object();
    const auto new_key = body.find("provider_key");
    if (new_key != body.end() && new_key->is_string() && !new_key->get<std::string>().empty() && !base.empty()) {
        keys[base] = *new_key;
    }
    const auto clear = body.find("provider_key_clear");
    if (clear != body.end() && *clear == true) {
        keys.erase(base);
        agent_state.kept_secrets.erase(provider_key_place(base));
    }
}

void merge_settings_request(const json& body) {
    if (body.is_null()) return;
    if (!body.is_object()) throw std::runtime_error("the settings must be a JSON object");
    const json defaults = default_settings();
    const std::string kept_search_key = json_string_or_empty(agent_state.settings, "brave_api_key");
    for (const auto& [key, value] : body.items()) {
        if (key != "provider_keys" && defaults.contains(key)) agent_state.settings[key] = value;
    }
    const auto search_key = body.find("brave_api_key");
    if (search_key != body.end() && *search_key == "") {
        const auto clear = body.find("brave_key_clear");
        if (clear != body.end() && *clear == true) {
            agent_state.kept_secrets.erase("/brave_api_key");
        } else {
            agent_state.settings["brave_api_key"] = kept_search_key;
        }
    }
    if (body.contains("provider")) merge_provider(body);
    const auto permissions = agent_state.settings.find("permissions");
    if (permissions != agent_state.settings.end() && permissions->is_object()) {
        for (auto& [group, value] : permissions->items()) {
            if (value != "allow" && value != "ask" && value != "deny") value = "ask";
        }
    }
}

void make_project_folder() {
    const std::filesystem::path folder = project_folder();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!std::filesystem::is_directory(folder, error)) {
        throw std::runtime_error("the project folder doesn't exist and can't be created");
    }
}

}  // namespace

void handle_agent_state(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    json reply;
    try {
        std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
        reply = agent_state_reply();
    } catch (const std::exception& error) {
        reply_json(res, 500, json{{"error", error.what()}}, utf8_check::replacing);
        return;
    }
    reply_json(res, 200, reply, utf8_check::replacing);
}

void handle_agent_settings(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        const json body = json::parse(req.body);
        std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
        const json saved = agent_state.settings;
        const auto saved_secrets = agent_state.kept_secrets;
        const json servers_before = agent_state.settings.value("mcpServers", json::object());
        try {
            merge_settings_request(body);
            make_project_folder();
            save_settings();
        } catch (...) {
            agent_state.settings = saved;
            agent_state.kept_secrets = saved_secrets;
            throw;
        }
        if (agent_state.settings.value("mcpServers", json::object()) != servers_before) {
            agent_state.connectors_started = false;
        }
    } catch (const std::exception& error) {
        reply_json(res, 400, json{{"error", error.what()}}, utf8_check::strict);
        return;
    }
    reply_json(res, 200, json{{"ok", true}}, utf8_check::strict);
}
