// The tool table: the function tools the agent backend offers to the model that drives the agent, as OpenAI-style
// function definitions. The agent page hands the array to the model and sends each call back to POST /agent/tool.
// A tool's name selects its permission group and its handler; its parameter names are the argument keys the
// handler reads.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// {"function": {"description", "name", "parameters": {"properties", "required", "type": "object"}},
//  "type": "function"}; `required` becomes an array of strings, [] when empty.
nlohmann::json make_tool_definition(const std::string& name, const std::string& description,
                                    const nlohmann::json& properties, const std::vector<std::string>& required);

// The table, built anew at every call: the fifteen fixed tools, load_skill when at least one skill is installed,
// then connector_tools and use_connector when the connector tool index has an entry. When the connectors have not
// been started since the last change of their configuration, this launches the start pass (a thread; it does not
// wait for it), so a build sees the index as it was before.
// REQUIRES: agent_state.agent_mutex held.
nlohmann::json agent_tool_definitions();
