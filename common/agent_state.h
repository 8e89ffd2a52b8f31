// The agent backend's process-wide state, `agent_state` (defined in process_state.cpp), and its lock.
//
// It lives in common/ because subsystems below the agent backend touch it: the model distribution's update check
// leaves `update_notice` here, and the connectors read and save the settings (common/agent_settings.h). It holds
// plain values only. The connector registry and the tool index hold the connectors' own types, which common/ cannot
// name: the connectors keep them beside their code, guarded by this same `agent_mutex`.
// The constructor sets in-memory defaults only: it reads no file and no environment variable.
//
// Threads and locking:
// - `agent_mutex` is a plain mutex, not recursive: a function that runs with it held never takes it again. It is
//   never held while a tool runs, an outbound HTTP request is under way or a connector is called.
// - `agent_mutex` guards settings, kept_secrets, connectors_started, connectors_starting and update_notice: every
//   access to them after start-up happens with it held (load_settings runs before any other thread and takes none).
// - page_token, bind_host, port, served_locally, settings_path and ui_dir are written once by setup_agent_routes
//   before the update-check thread starts and before the server accepts connections, and are read without the lock
//   afterwards.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

struct agent_backend_state {
    std::mutex agent_mutex;
    std::string page_token;          // 32 lower-case hex characters, new at every start
    std::string bind_host;           // the --host text, unchanged
    int32_t port = 8080;
    bool served_locally = true;      // bind_host is exactly "127.0.0.1" or "localhost"
    std::filesystem::path settings_path;
    std::filesystem::path ui_dir;    // the agent page's folder
    nlohmann::json settings;         // agent_settings; null until loaded
    // Secrets of the settings file that cannot be decrypted here, by their place in the settings (a JSON pointer
    // such as "/brave_api_key"), in their stored "dpapi:" form. In `settings` such a secret reads as ""; while it
    // stays "" the save writes the stored form back, so a file copied from elsewhere does not lose its keys.
    std::map<std::string, std::string> kept_secrets;
    bool connectors_started = false;
    bool connectors_starting = false;
    nlohmann::json update_notice;    // null, or {"latest", "url", "notes"} from the update check
};
