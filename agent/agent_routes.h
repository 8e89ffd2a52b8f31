// The agent backend's start-up on the HTTP server of `serve`: agent_state, the settings, the update check and the
// pages and /agent routes.
#pragma once

#include <cstdint>
#include <string>

#include "httplib.h"

// Called once by `serve` after its server is constructed and its socket options are set, before the API routes and
// before listening. In this order: records `bind_host` (the --host text, unchanged) and `port` in agent_state; sets
// served_locally when the host is exactly "127.0.0.1" or "localhost"; makes a new page token (random_hex_id); sets
// settings_path (MIVRA_SETTINGS when set and not empty, else settings.json in the app data folder) and ui_dir
// (MIVRA_UI_DIR, else "ui" beside the program); loads the settings (load_settings); copies `chat_page` (the
// built-in chat page, UTF-8) for the page routes; starts update_check_thread on a new thread and detaches it; then
// registers the routes of the agent route table in their order (GET and POST only; it configures nothing else).
// Routes whose handlers are not built yet pass the guard and then answer as an unknown route does: 404, empty body.
// Throws nlohmann::json's type error when the settings' "workspace" is not a string, std::system_error when the
// thread cannot be started. Main thread, before listening.
void setup_agent_routes(httplib::Server& server, const std::string& bind_host, int32_t port, const char* chat_page);
