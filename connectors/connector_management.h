// Adding, saving, removing, enabling and disabling connectors at run time, and the runtimes they need. Each change
// is written to the settings' "mcpServers" and applied to the running registry at once, so the reply tells how the
// connector's start went. Callers: POST /agent/connector and the agent's add_connector and remove_connector tools.
//
// Threads and locking: every function here runs on an HTTP worker thread and must be called without
// agent_state.agent_mutex held. save_connector starts its connector with no lock held (up to 240 s + 60 s), then
// takes agent_mutex for the settings change, the save and the registry change; delete and disable hold it
// throughout. Connectors dropped from the registry are let go of after agent_mutex is released.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// {"node": an executable file named npx lies along connector_search_path(), "uv": the same for uvx}. Looked up at
// each call, so a runtime installed after the program started is found. Takes no lock.
nlohmann::json find_runtimes();

// ASCII letters (lower-cased), digits, '-' and '_' kept, a space made '-', every other byte dropped ("My Server" ->
// "my-server"). Throws std::runtime_error "give the connector a short name (letters, digits, - or _)" when the
// result is empty or longer than 40 bytes.
std::string normalise_connector_name(const std::string& text);

// True when a remote server's address may be used: "https://...", or "http://localhost" and "http://127.0.0.1" as
// whole hosts (followed by the end, ':', '/', '?' or '#'; so not http://localhost.example.com).
bool connector_server_address_allowed(const std::string& url);

// Adds a connector from a request: "id" (+ "values") from the catalog, else "url" of a remote server (run through
// `npx -y mcp-remote URL`; https://, or http:// to localhost or 127.0.0.1 only), else "command" (+ "args", "env")
// by hand; "name" optional. The catalog lookup, the runtime check and the filling of the values come before the
// name check. Returns save_connector's reply; throws std::runtime_error with the user's text.
nlohmann::json add_connector_from_request(const nlohmann::json& request);

// Validates a settings entry, starts a new connector from it (a failed start does not stop the save), stores it in
// the settings under `name` (without "disabled") and saves them; when connectors have been started, it replaces the
// registry's connector of that name and the reply is connector_status(name); otherwise the new connector is ended
// again and the reply is {"name", "connected", "error" (when the start failed)}. When the settings cannot be saved
// the new connector is ended, the registry is left as it was and the error is thrown.
nlohmann::json save_connector(const std::string& name, const nlohmann::json& config);

// Removes the entry `name` (unchanged, not normalised) from the settings, with the secrets kept for it, and its
// connector from the registry: {"removed": name}. Throws "no connector named " + name when there is none.
nlohmann::json delete_connector(const std::string& name);

// Enabling saves the entry again (save_connector's reply); disabling marks it "disabled": true, removes its
// connector from the registry and answers {"name", "enabled": false}. Throws "no connector named " + name.
nlohmann::json set_connector_enabled(const std::string& name, bool enabled);
