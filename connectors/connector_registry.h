// The running connectors and the index of their tools. The connectors configured in the settings' "mcpServers"
// start lazily: the first build of the agent's tool table calls start_all_connectors, which starts every enabled
// one in parallel on a pass thread and then swaps them into the registry at once. Each later pass (after the
// settings' "mcpServers" changed) starts every enabled connector anew and replaces the running ones.
//
// Tool keys: "mcp__" + clean(server) + "__" + clean(tool), cut to 64 bytes, where clean replaces every byte other
// than an ASCII letter, digit, '_' or '-' by '_'. Keys that come out equal share one entry: the one indexed last
// wins.
//
// Threads and locking:
// - agent_connectors() (the registry and the index) is guarded by agent_state.agent_mutex, with the connector flags
//   connectors_started and connectors_starting of agent_state.
// - A caller that runs a connector's tool takes a connector_ptr with find_registered_connector under agent_mutex,
//   releases the lock and calls connector_request on it: the connector stays valid for that call even when a pass,
//   a save, a delete or a disable drops it from the registry meanwhile; its teardown runs when the last owner lets
//   go. Code here never lets go of a connector while it holds agent_mutex, so teardowns (which wait for the child
//   and the reader) never hold up the agent's other requests.
// - Malformed settings never stop the program: an "mcpServers" member that is not an object is skipped, a
//   "disabled" that is not true counts as false, and tool elements without a string "name" are skipped.
#pragma once

#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "connectors/connector.h"

// One tool of one connector: the connector's registry name and the tool's name as its server reported it.
struct tool_ref {
    std::string server;
    std::string tool;
};

struct connector_registry_state {
    std::map<std::string, connector_ptr> connectors;  // by name, as keyed in "mcpServers"; failed starts included
    std::map<std::string, tool_ref> index;            // tool key -> tool
};

// The process-wide registry and tool index. REQUIRES: agent_state.agent_mutex held for every access.
connector_registry_state& agent_connectors();

// The tool key of a server's tool (see above).
std::string connector_tool_key(const std::string& server, const std::string& tool);

// True when a settings entry counts as enabled: an object whose "disabled" is not true.
bool connector_entry_enabled(const nlohmann::json& entry);

// The registered connector of that name, or null. The returned owner keeps it alive after the lock is released.
// REQUIRES: agent_state.agent_mutex held.
connector_ptr find_registered_connector(const std::string& name);

// Launches a start-all pass over a copy of the settings' "mcpServers" on a detached thread and returns at once;
// does nothing while a pass runs. Sets connectors_started and connectors_starting; the pass clears
// connectors_starting when it has swapped its connectors in. When the thread cannot be created both flags are
// cleared (so a later call tries again) and std::system_error is thrown.
// REQUIRES: agent_state.agent_mutex held.
void start_all_connectors();

// Rebuilds the tool keys of one connector: drops every key of that server, then, when it is registered and healthy,
// indexes each of its tools. REQUIRES: agent_state.agent_mutex held.
void index_connector_tools(const std::string& server);

// The "inputSchema" of a tool ({} when it has none, or when there is no such connector or tool). Takes
// agent_state.agent_mutex itself: the caller must not hold it.
nlohmann::json connector_tool_schema(const tool_ref& ref);

// The tool names of a registry entry (null: none) for the agent state: [] when disabled, unregistered or failed.
// REQUIRES: agent_state.agent_mutex held.
nlohmann::json connector_tool_names(const connector* entry, bool disabled);

// {"name", "connected": false, "error": "not running"} without a registry entry; else {"name", "connected": error
// empty, "error" (only when not empty), "tools": the tool names}. REQUIRES: agent_state.agent_mutex held.
nlohmann::json connector_status(const std::string& name);
