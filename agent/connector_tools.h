// The connector tools of the agent: find_connectors, add_connector, remove_connector, connector_tools, and the
// connector call behind use_connector and the "mcp__" tool keys. Each takes the call's arguments and returns the
// result for the model, or throws with a text meant for it. They take agent_state.agent_mutex only for short reads
// of the settings, the registry and the tool index; a connector call runs without it, on a connector kept alive
// for the length of the call. The caller must not hold the lock.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

nlohmann::json find_connectors_tool(const nlohmann::json& arguments);
nlohmann::json add_connector_tool(const nlohmann::json& arguments);
nlohmann::json remove_connector_tool(const nlohmann::json& arguments);
nlohmann::json connector_tools_tool(const nlohmann::json& arguments);

// use_connector (name "use_connector") or a tool key beginning with "mcp__": {"result": the rendered content cut to
// 20000 bytes}, with "is_error" and "arguments_it_takes" when the call failed or the server says it did.
nlohmann::json call_connector_tool(const std::string& name, const nlohmann::json& arguments);
