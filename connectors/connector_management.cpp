#include "connectors/connector_management.h"

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>
#include <vector>

#include "common/agent_settings.h"
#include "common/file_helpers.h"
#include "common/process_state.h"
#include "connectors/connector.h"
#include "connectors/connector_catalog.h"
#include "connectors/connector_registry.h"

namespace {

constexpr const char* node_site = "https://nodejs.org/en/download";

bool executable_on_search_path(const std::string& program) {
    const std::string path = connector_search_path();
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find(':', begin);
        if (end == std::string::npos) end = path.size();
        std::string folder = path.substr(begin, end - begin);
        if (folder.empty()) folder = ".";
        std::string file = folder + "/" + program;
        struct stat info {};
        if (::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(file.c_str(), X_OK) == 0)
            return true;
        begin = end + 1;
    }
    return false;
}

}  // namespace

bool connector_server_address_allowed(const std::string& url) {
    if (url.rfind("https://", 0) == 0) return true;
    for (const std::string host : {"http://localhost", "http://127.0.0.1"}) {
        if (url.rfind(host, 0) != 0) continue;
        if (url.size() == host.size()) return true;
        char next = url[host.size()];
        if (next == ':' || next == '/' || next == '?' || next == '#') return true;
    }
    return false;
}

namespace {

void validate_config(const nlohmann::json& config) {
    auto command = config.find("command");
    if (command == config.end() || !command->is_string() || command->get<std::string>().empty())
        throw std::runtime_error("a connector needs a command (for example npx or uvx)");
    auto args = config.find("args");
    if (args != config.end()) {
        if (!args->is_array()) throw std::runtime_error("args must be a list of strings");
        for (const auto& arg : *args) {
            if (!arg.is_string()) throw std::runtime_error("args must be a list of strings");
        }
    }
    auto env = config.find("env");
    if (env != config.end()) {
        if (!env->is_object()) throw std::runtime_error("env must be an object of strings");
        for (const auto& [name, value] : env->items()) {
            if (!value.is_string()) throw std::runtime_error("env values must be strings");
        }
    }
}

// The settings' "mcpServers" object, made one when it is missing or of another type. REQUIRES: agent_mutex.
nlohmann::json& servers_in_settings() {
    nlohmann::json& servers = agent_state.settings["mcpServers"];
    if (!servers.is_object()) servers = nlohmann::json::object();
    return servers;
}

// Forgets the secrets that could not be decrypted and were kept for the entry `name`: they belong to an entry that
// is gone or replaced. REQUIRES: agent_mutex.
void forget_kept_secrets(const std::string& name) {
    std::string escaped;
    for (char c : name) escaped += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
    const std::string prefix = "/mcpServers/" + escaped + "/";
    auto& kept = agent_state.kept_secrets;
    for (auto it = kept.begin(); it != kept.end();) it = it->first.rfind(prefix, 0) == 0 ? kept.erase(it) : std::next(it);
}

// Takes the connector of that name out of the registry and its tool keys out of the index. REQUIRES: agent_mutex.
connector_ptr unregister_connector(const std::string& name) {
    auto& registry = agent_connectors().connectors;
    connector_ptr dropped;
    auto found = registry.find(name);
    if (found != registry.end()) {
        dropped = std::move(found->second);
        registry.erase(found);
    }
    index_connector_tools(name);
    return dropped;
}

nlohmann::json save_connector_entry(const std::string& name, nlohmann::json config, bool new_entry) {
    validate_config(config);
    config.erase("disabled");
    connector_ptr conn = new_connector(name, connector_log_path(name));
    start_connector(*conn, config);

    connector_ptr replaced;  // declared before the lock: let go of after it is released
    std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
    servers_in_settings()[name] = config;
    if (new_entry) forget_kept_secrets(name);
    save_settings();
    if (agent_state.connectors_started) {
        auto& slot = agent_connectors().connectors[name];
        replaced = std::move(slot);
        slot = std::move(conn);
        index_connector_tools(name);
        return connector_status(name);
    }
    nlohmann::json reply = {{"name", name}, {"connected", conn->error.empty()}};
    if (!conn->error.empty()) reply["error"] = conn->error;
    return reply;
}

}  // namespace

nlohmann::json find_runtimes() {
    return {{"node", executable_on_search_path("npx")}, {"uv", executable_on_search_path("uvx")}};
}

std::string normalise_connector_name(const std::string& text) {
    std::string name;
    for (char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
            name += c;
        } else if (c >= 'A' && c <= 'Z') {
            name += char(c - 'A' + 'a');
        } else if (c == ' ') {
            name += '-';
        }
    }
    if (name.empty() || name.size() > 40)
        throw std::runtime_error("give the connector a short name (letters, digits, - or _)");
    return name;
}

nlohmann::json add_connector_from_request(const nlohmann::json& request) {
    std::string id = json_string_or_empty(request, "id");
    std::string url = json_string_or_empty(request, "url");
    std::string command = json_string_or_empty(request, "command");
    std::string name = json_string_or_empty(request, "name");
    nlohmann::json config;
    if (!id.empty()) {
        nlohmann::json entry = find_catalog_connector(id);
        std::string runtime = json_string_or_empty(entry, "runtime");
        nlohmann::json runtimes = find_runtimes();
        if (runtime == "node" && !runtimes["node"].get<bool>()) {
            throw std::runtime_error(std::string("this connector needs Node.js, which is not installed. Install it from ") +
                                     node_site +
                                     " (LTS) or with: sudo apt install nodejs npm, then add the connector again");
        }
        if (runtime == "python" && !runtimes["uv"].get<bool>()) {
            throw std::runtime_error(
                "this connector needs uv (Python), which is not installed. Install it with: "
                "sudo apt install pipx && pipx install uv, then add the connector again");
        }
        auto values = request.find("values");
        config = connector_from_catalog(entry, values != request.end() ? *values : nlohmann::json::object());
        if (name.empty()) name = id;
    } else if (!url.empty()) {
        if (!connector_server_address_allowed(url)) throw std::runtime_error("the server address must start with https://");
        if (!find_runtimes()["node"].get<bool>())
            throw std::runtime_error(std::string("remote connectors need Node.js (") + node_site + ")");
        config = {{"command", "npx"}, {"args", {"-y", "mcp-remote", url}}};
        if (name.empty()) name = "remote";
    } else if (!command.empty()) {
        auto args = request.find("args");
        config = {{"command", command}, {"args", args != request.end() ? *args : nlohmann::json::array()}};
        auto env = request.find("env");
        if (env != request.end()) config["env"] = *env;
        if (name.empty()) name = command;
    } else {
        throw std::runtime_error("give either id (from find_connectors), url (a remote server), or command (+ args, env)");
    }
    return save_connector(normalise_connector_name(name), config);
}

nlohmann::json save_connector(const std::string& name, const nlohmann::json& config) {
    return save_connector_entry(name, config, true);
}

nlohmann::json delete_connector(const std::string& name) {
    connector_ptr dropped;  // let go of after the lock is released
    std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
    nlohmann::json& servers = agent_state.settings["mcpServers"];
    if (!servers.is_object() || !servers.contains(name)) throw std::runtime_error("no connector named " + name);
    servers.erase(name);
    forget_kept_secrets(name);
    save_settings();
    dropped = unregister_connector(name);
    return {{"removed", name}};
}

nlohmann::json set_connector_enabled(const std::string& name, bool enabled) {
    nlohmann::json entry;
    {
        connector_ptr dropped;
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        nlohmann::json& servers = agent_state.settings["mcpServers"];
        if (!servers.is_object() || !servers.contains(name)) throw std::runtime_error("no connector named " + name);
        if (!enabled) {
            servers[name]["disabled"] = true;
            save_settings();
            dropped = unregister_connector(name);
            return {{"name", name}, {"enabled", false}};
        }
        entry = servers[name];
    }
    return save_connector_entry(name, entry, false);
}
