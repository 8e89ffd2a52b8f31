// The agent backend's process-wide state, `agent_state` (defined in process_state.cpp), and its lock.
//
// Only what other subsystems touch today is here; the agent backend adds its connector registry and tool index
// when it is built. The constructor sets in-memory defaults only: it reads no file and no environment variable.
//
// Locking: `agent_mutex` (plain, not recursive) guards settings, connectors_started, connectors_starting and
// update_notice. page_token, bind_host, port, served_locally, settings_path and ui_dir are written once by the
// agent backend's start-up before other threads read them, and are read without the lock afterwards.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

struct agent_backend_state {
    std::mutex agent_mutex;
    std::string page_token;
    std::string bind_host;
    int32_t port = 8080;
    bool served_locally = true;
    std::filesystem::path settings_path;
    std::filesystem::path ui_dir;
    nlohmann::json settings;       // agent_settings; null until loaded
    bool connectors_started = false;
    bool connectors_starting = false;
    nlohmann::json update_notice;  // null, or {"latest", "url", "notes"} from the update check
};
