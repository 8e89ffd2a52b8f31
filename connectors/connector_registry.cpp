#include "connectors/connector_registry.h"

#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "common/agent_state.h"
#include "common/process_state.h"

namespace {

constexpr size_t max_tool_key_bytes = 64;

std::string clean(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!keep) c = '_';
    }
    return out;
}

// The names of a connector's tools that have a string name, in order.
std::vector<std::string> tool_names(const connector& conn) {
    std::vector<std::string> names;
    if (!conn.tools.is_array()) return names;
    for (const auto& tool : conn.tools) {
        if (!tool.is_object()) continue;
        auto name = tool.find("name");
        if (name != tool.end() && name->is_string()) names.push_back(name->get<std::string>());
    }
    return names;
}

// The settings' "mcpServers" when it is an object; null otherwise (then no entry is configured).
nlohmann::json configured_servers() {
    const nlohmann::json& settings = agent_state.settings;
    if (!settings.is_object()) return nullptr;
    auto servers = settings.find("mcpServers");
    return servers != settings.end() && servers->is_object() ? *servers : nlohmann::json();
}

// The body of the pass thread: starts every enabled entry in parallel, then swaps the connectors in.
void start_connectors_thread(nlohmann::json servers) {
    std::vector<connector_ptr> started;
    std::vector<nlohmann::json> entries;
    for (const auto& [name, entry] : servers.items()) {
        if (!connector_entry_enabled(entry)) continue;
        started.push_back(new_connector(name, connector_log_path(name)));
        entries.push_back(entry);
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < started.size(); ++i) {
        try {
            threads.emplace_back([conn = started[i].get(), &entry = entries[i]] { start_connector(*conn, entry); });
        } catch (const std::exception& e) {
            started[i]->error = e.what();
        }
    }
    for (auto& thread : threads) thread.join();

    std::vector<connector_ptr> dropped;  // let go of after the lock is released
    {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        auto& registry = agent_connectors().connectors;
        nlohmann::json current = configured_servers();
        for (size_t i = 0; i < started.size(); ++i) {
            const std::string& name = started[i]->name;
            // An entry saved, edited or removed while this pass ran is not undone by it: a connector started from
            // an entry that is no longer the configured one is not put in.
            if (!current.is_object() || !current.contains(name) || current[name] != entries[i]) {
                dropped.push_back(std::move(started[i]));
                continue;
            }
            connector_ptr& slot = registry[name];
            if (slot) dropped.push_back(std::move(slot));
            slot = std::move(started[i]);
        }
        for (auto it = registry.begin(); it != registry.end();) {
            bool keep = current.is_object() && current.contains(it->first) &&
                        connector_entry_enabled(current[it->first]);
            if (keep) {
                ++it;
                continue;
            }
            dropped.push_back(std::move(it->second));
            it = registry.erase(it);
        }
        agent_connectors().index.clear();
        for (const auto& [name, conn] : registry) index_connector_tools(name);
        agent_state.connectors_starting = false;
    }
}

}  // namespace

connector_registry_state& agent_connectors() {
    static connector_registry_state state;
    return state;
}

std::string connector_tool_key(const std::string& server, const std::string& tool) {
    std::string key = "mcp__" + clean(server) + "__" + clean(tool);
    if (key.size() > max_tool_key_bytes) key.resize(max_tool_key_bytes);
    return key;
}

bool connector_entry_enabled(const nlohmann::json& entry) {
    if (!entry.is_object()) return false;
    auto disabled = entry.find("disabled");
    return disabled == entry.end() || *disabled != true;
}

connector_ptr find_registered_connector(const std::string& name) {
    auto& registry = agent_connectors().connectors;
    auto found = registry.find(name);
    return found != registry.end() ? found->second : nullptr;
}

void start_all_connectors() {
    if (agent_state.connectors_starting) return;
    agent_state.connectors_started = true;
    agent_state.connectors_starting = true;
    nlohmann::json servers = configured_servers();
    if (!servers.is_object()) servers = nlohmann::json::object();
    try {
        std::thread(start_connectors_thread, std::move(servers)).detach();
    } catch (...) {
        agent_state.connectors_started = false;
        agent_state.connectors_starting = false;
        throw;
    }
}

void index_connector_tools(const std::string& server) {
    auto& index = agent_connectors().index;
    for (auto it = index.begin(); it != index.end();) {
        it = it->second.server == server ? index.erase(it) : std::next(it);
    }
    connector_ptr conn = find_registered_connector(server);
    if (!conn || !conn->error.empty()) return;
    for (const std::string& tool : tool_names(*conn)) index[connector_tool_key(server, tool)] = {server, tool};
}

nlohmann::json connector_tool_schema(const tool_ref& ref) {
    std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
    connector_ptr conn = find_registered_connector(ref.server);
    if (!conn || !conn->tools.is_array()) return nlohmann::json::object();
    for (const auto& tool : conn->tools) {
        if (!tool.is_object()) continue;
        auto name = tool.find("name");
        if (name == tool.end() || !name->is_string() || *name != ref.tool) continue;
        auto schema = tool.find("inputSchema");
        return schema != tool.end() ? *schema : nlohmann::json::object();
    }
    return nlohmann::json::object();
}

nlohmann::json connector_tool_names(const connector* entry, bool disabled) {
    nlohmann::json names = nlohmann::json::array();
    if (disabled || !entry || !entry->error.empty()) return names;
    for (const std::string& name : tool_names(*entry)) names.push_back(name);
    return names;
}

nlohmann::json connector_status(const std::string& name) {
    connector_ptr conn = find_registered_connector(name);
    if (!conn) return {{"name", name}, {"connected", false}, {"error", "not running"}};
    nlohmann::json status = {{"name", name}, {"connected", conn->error.empty()}, {"tools", nlohmann::json::array()}};
    if (!conn->error.empty()) status["error"] = conn->error;
    for (const std::string& tool : tool_names(*conn)) status["tools"].push_back(tool);
    return status;
}
