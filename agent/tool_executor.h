// The tool executor: runs one tool call of the agent by name and returns the tool's result as one JSON value.
// It answers no HTTP, asks no permission (the gate, agent/tool_gate.h, has decided) and keeps no state; everything
// it returns or throws is addressed to the language model that made the call.
//
// Threads: called on the request's HTTP worker thread with project_override set by the gate; several calls run at
// once. The caller must not hold agent_state.agent_mutex: a tool takes it itself for short reads of shared state.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Runs the handler (a table in tool_executor.cpp, in dispatch order; a tool is added by adding its entry) whose name
// equals `name` (whole, byte for byte) with `arguments`. Throws std::runtime_error
// "unknown tool " + name when no tool has that name; otherwise whatever the handler throws passes through.
nlohmann::json execute_agent_tool(const std::string& name, const nlohmann::json& arguments);
