// The permission gate: POST /agent/tool, the one door through which the agent page runs a tool on the user's PC.
//
// The handler sets the chat's project folder for the request (this thread's project_override), finds the tool's
// permission group, decides from the settings whether the call runs, needs the user's approval or is refused,
// summarises the call, and runs an allowed call through execute_agent_tool on the same thread. It keeps no memory of
// approvals: a call answered "needs_approval" comes back unchanged but with "approved": true.
//
// Threads: runs on an HTTP worker thread; several calls run at once. It holds agent_state.agent_mutex only while it
// reads the settings and resolves the "path" argument, never while the tool runs.
#pragma once

#include <string>

#include "httplib.h"

// The permission group of a tool name: "read" (list_dir, read_file, preview_url, search_files, read_document,
// connector_tools), "write" (write_file, edit_file), "command" (run_command), "web" (web_search, fetch_url,
// find_connectors, find_skills), "skills" (load_skill), "setup" (add_connector, remove_connector, install_skill),
// "mcp" (use_connector and every name that begins with "mcp__"), "" for any other name. Names are compared whole
// and case-sensitively.
std::string tool_permission_group(const std::string& name);

// The blocked message for a group: "This tool is blocked in Mivra's settings (" + group + "). Tell the user what
// you wanted to do instead."
std::string blocked_message(const std::string& group);

// POST /agent/tool. After the request guard (which answers 403 itself), always status 200 with a compact JSON
// object: "status" ("ok", "needs_approval", "blocked" or "error"), "result" (all but "needs_approval": the tool's
// result, the blocked message, or "error: " + text), and once the decision is made "summary", "group" and, when
// the "path" argument lies outside the project folder, "outside_project": true. Text that is not valid UTF-8 is
// written as U+FFFD. project_override is cleared on every way out, so the next request on this worker thread
// starts without it.
void handle_agent_tool(const httplib::Request& req, httplib::Response& res);
