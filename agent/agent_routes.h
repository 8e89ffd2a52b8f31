// The agent backend's start-up on the HTTP server of `serve`.
#pragma once

#include <cstdint>
#include <string>

#include "httplib.h"

// Called by `serve` once the engine is built and the server's socket options are set, before the API routes.
// Records `bind_host` (the --host text, unchanged) and `port` in agent_state, sets served_locally when the host is
// exactly "127.0.0.1" or "localhost" (clears it otherwise), makes a new page token, sets the settings path
// (MIVRA_SETTINGS, else settings.json in the application-data folder) and the UI folder (MIVRA_UI_DIR, else ui
// beside the program), loads the settings, then starts update_check_thread on a new thread and detaches it.
// Last it registers the agent backend's pages and /agent routes (GET and POST only), GET "/" first; it configures
// nothing else on the server. `chat_page` is the built-in chat page, kept for those pages.
// Throws std::system_error when the update-check thread cannot be started. Main thread, before listening.
void setup_agent_routes(httplib::Server& server, const std::string& bind_host, int32_t port, const char* chat_page);
