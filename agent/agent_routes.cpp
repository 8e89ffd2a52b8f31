#include "agent/agent_routes.h"

#include <filesystem>
#include <mutex>
#include <thread>

#include "common/file_helpers.h"
#include "common/process_state.h"
#include "common/text_helpers.h"
#include "distribution/update_notice.h"
#include "platform/folders.h"

namespace {

// settings.json as the agent backend keeps it: an object (empty when the file is missing or unreadable).
void load_agent_settings() {
    nlohmann::json settings = read_json_file(agent_state.settings_path);
    if (!settings.is_object()) settings = nlohmann::json::object();
    std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
    agent_state.settings = std::move(settings);
}

}  // namespace

void setup_agent_routes(httplib::Server& server, const std::string& bind_host, int32_t port, const char* chat_page) {
    (void)server;  // the agent backend's pages and /agent routes are registered here once it has them
    (void)chat_page;
    agent_state.bind_host = bind_host;
    agent_state.port = port;
    agent_state.served_locally = bind_host == "127.0.0.1" || bind_host == "localhost";
    agent_state.page_token = random_hex_id();

    const std::string settings = env_path_or_default("MIVRA_SETTINGS", "");
    agent_state.settings_path =
        settings.empty() ? app_data_folder_path() / "settings.json" : std::filesystem::path(settings);
    const std::string ui = env_path_or_default("MIVRA_UI_DIR", "");
    agent_state.ui_dir = ui.empty() ? program_folder() / "ui" : std::filesystem::path(ui);
    load_agent_settings();

    std::thread(update_check_thread).detach();
}
