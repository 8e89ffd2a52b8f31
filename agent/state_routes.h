// GET /agent/state and POST /agent/settings: what the agent page needs to draw its settings and status views, and
// the way it changes the settings.
//
// Threads and locking: both handlers run on HTTP worker threads and hold agent_state.agent_mutex for all their work
// on the settings (file reads and the save included); neither makes an outbound request or a connector call.
#pragma once

#include "httplib.h"

// GET /agent/state: guard with the token; then 200 with {"connectors", "instructions", "settings", "settings_file",
// "skills", "tools", "update", "version"} (replacing invalid UTF-8), or 500 {"error": text} on any failure. The
// settings view hides the search and provider keys ("brave_key_set" and "provider"."has_key" tell whether one is
// stored). Building "tools" may launch the start of the configured connectors.
void handle_agent_state(const httplib::Request& req, httplib::Response& res);

// POST /agent/settings: guard with the token; merge the known keys of the body into the settings, keep the stored
// search key unless "brave_key_clear" is true, trim and check the provider address, store or clear the provider's
// key ("provider_key", "provider_key_clear"), turn invalid permissions into "ask", create the project folder and
// save. All or nothing: on any failure the settings stay as they were and 400 {"error": text} is answered.
// A changed "mcpServers" makes the next state request start the connectors again.
void handle_agent_settings(const httplib::Request& req, httplib::Response& res);
