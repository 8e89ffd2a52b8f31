#include "agent/connector_tools.h"

#include <map>
#include <mutex>
#include <stdexcept>

#include "agent/tool_arguments.h"
#include "agent/tool_search.h"
#include "common/file_helpers.h"
#include "common/process_state.h"
#include "common/text_helpers.h"
#include "connectors/connector_catalog.h"
#include "connectors/connector_management.h"
#include "connectors/connector_registry.h"

using nlohmann::json;

namespace {

constexpr size_t tool_description_bytes = 1200;
constexpr size_t connector_result_bytes = 20000;
constexpr int32_t connector_call_seconds = 300;

// The text of a tools/call reply: text items as they are, every other item as "[type content]", one per line.
std::string rendered_content(const json& reply) {
    std::string text;
    const auto content = reply.find("content");
    if (content == reply.end()) return text;
    for (const json& item : *content) {
        const std::string type = item.value("type", "");
        if (type == "text") {
            text += item.value("text", "") + "\n";
        } else {
            text += "[" + type + " content]\n";
        }
    }
    return text;
}

}  // namespace

json find_connectors_tool(const json& arguments) {
    const std::string query = optional_text(arguments, "query", "");
    std::map<std::string, std::string> installed;  // catalog id (or name) -> configured name
    {
        std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
        const auto servers = agent_state.settings.find("mcpServers");
        if (servers != agent_state.settings.end() && servers->is_object()) {
            for (const auto& [name, entry] : servers->items()) {
                const auto market = entry.find("market");
                const bool has_market = entry.is_object() && market != entry.end() && market->is_string();
                installed[has_market ? market->get<std::string>() : name] = name;
            }
        }
    }
    const json catalog = load_connector_catalog();
    const json list = catalog.value("connectors", json::array());
    json found = json::array();
    for (const json& entry : list) {
        if (!matches_any_word(entry, query)) continue;
        json item = {{"id", entry.value("id", "")},
                     {"name", entry.value("name", "")},
                     {"about", entry.value("about", "")},
                     {"runtime", entry.value("runtime", "")},
                     {"needs", json::array()}};
        for (const json& field : entry.value("fields", json::array())) {
            item["needs"].push_back(
                {{"key", field.value("key", "")}, {"label", field.value("label", "")}, {"kind", field.value("kind", "")}});
        }
        const auto match = installed.find(item["id"].get<std::string>());
        if (match != installed.end()) item["installed_as"] = match->second;
        found.push_back(std::move(item));
    }
    const char* note = found.empty() ? "nothing matched; any MCP server can still be added with command/args or url" : "";
    return {{"connectors", std::move(found)}, {"installed_programs", find_runtimes()}, {"note", note}};
}

json add_connector_tool(const json& arguments) { return add_connector_from_request(arguments); }

json remove_connector_tool(const json& arguments) { return delete_connector(required_text(arguments, "name")); }

json connector_tools_tool(const json& arguments) {
    const std::string name = required_text(arguments, "connector");
    const std::string tool = optional_text(arguments, "tool", "");
    std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
    const auto& registry = agent_connectors().connectors;
    const auto found = registry.find(name);
    if (found != registry.end() && found->second && found->second->error.empty()) {
        json tools = json::array();
        for (const json& t : found->second->tools) {
            const std::string tool_name = t.value("name", "");
            if (!tool.empty() && tool_name != tool) continue;
            tools.push_back({{"tool", tool_name},
                             {"description", cut_middle(t.value("description", ""), tool_description_bytes)},
                             {"inputSchema", t.value("inputSchema", json::object())}});
        }
        if (tools.empty()) throw std::runtime_error(name + " has no tool named " + tool);
        return {{"connector", name}, {"tools", std::move(tools)}};
    }
    std::string text = "no running connector named " + name;
    std::string running;
    for (const auto& [other, conn] : registry) {
        if (conn && conn->error.empty()) running += (running.empty() ? "" : ", ") + other;
    }
    if (!running.empty()) text += "; running: " + running;
    throw std::runtime_error(text);
}

json call_connector_tool(const std::string& name, const json& arguments) {
    json call_arguments = arguments;
    tool_ref target;
    // Declared before the lock's scope, so the connector is let go only after the lock is released, on every way
    // out: the last owner tears it down, which must never happen under agent_mutex.
    connector_ptr conn;
    {
        std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
        if (name == "use_connector") {
            target = {required_text(arguments, "connector"), required_text(arguments, "tool")};
            conn = find_registered_connector(target.server);
            if (!conn || !conn->error.empty()) {
                throw std::runtime_error("no running connector named " + target.server);
            }
            bool listed = false;
            for (const json& t : conn->tools) listed = listed || t.value("name", "") == target.tool;
            if (!listed) {
                throw std::runtime_error(target.server + " has no tool named " + target.tool + "; see connector_tools");
            }
            call_arguments = arguments.value("arguments", json::object());
            if (call_arguments.is_string()) call_arguments = json::parse(call_arguments.get<std::string>());
        } else {
            const auto& index = agent_connectors().index;
            const auto key = index.find(name);
            if (key == index.end()) throw std::runtime_error("unknown connector tool " + name);
            target = key->second;
            conn = find_registered_connector(target.server);
            if (!conn) throw std::runtime_error("no running connector named " + target.server);
        }
    }
    json reply;
    try {
        reply = connector_request(*conn, "tools/call", {{"name", target.tool}, {"arguments", call_arguments}},
                                  connector_call_seconds);
    } catch (const std::exception& error) {
        conn.reset();
        return {{"is_error", true},
                {"result", std::string("error: ") + error.what()},
                {"arguments_it_takes", connector_tool_schema(target)}};
    }
    conn.reset();
    json result = {{"result", cut_middle(rendered_content(reply), connector_result_bytes)}};
    if (reply.value("isError", false)) {
        result["is_error"] = true;
        result["arguments_it_takes"] = connector_tool_schema(target);
    }
    return result;
}
