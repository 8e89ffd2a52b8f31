#include "agent/agent_routes.h"

#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "agent/chat_store.h"
#include "agent/connector_routes.h"
#include "agent/extract_route.h"
#include "agent/page_routes.h"
#include "agent/project_file_routes.h"
#include "agent/provider_relay.h"
#include "agent/request_guard.h"
#include "agent/skill_routes.h"
#include "agent/state_routes.h"
#include "agent/tool_gate.h"
#include "agent/undo_backups.h"
#include "common/agent_settings.h"
#include "common/file_helpers.h"
#include "common/process_state.h"
#include "common/text_helpers.h"
#include "distribution/update_notice.h"

namespace {

using route_handler = std::function<void(const httplib::Request&, httplib::Response&)>;

enum class route_method { get, post };

struct agent_route {
    route_method method;
    const char* pattern;  // a regular expression over the whole request path (the server's own matching)
    route_handler handler;
};

// A route whose handler is still to come: the guard with the token, then what the server answers for a path it
// does not know.
void handle_unbuilt_route(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    res.status = 404;
}

// The agent route table in registration order; the first route that matches a path wins. Each handler runs its
// own guard: none for the pages and /ui, without the token for /preview, with the token for every /agent route.
std::vector<agent_route> agent_route_table(const std::string& chat_page) {
    using m = route_method;
    const route_handler unbuilt = handle_unbuilt_route;
    return {
        {m::get, "/", [chat_page](const auto& req, auto& res) { handle_root_page(chat_page, req, res); }},
        {m::get, "/simple", [chat_page](const auto& req, auto& res) { handle_simple_page(chat_page, req, res); }},
        {m::get, "/ui/(.+)", handle_ui_file},
        {m::get, "/preview/(.*)", handle_preview_file},
        {m::get, "/agent/state", handle_agent_state},
        {m::post, "/agent/settings", handle_agent_settings},
        {m::post, "/agent/undo", handle_agent_undo},
        {m::post, "/agent/upload", handle_agent_upload},
        {m::get, "/agent/chats", handle_agent_chats},
        {m::post, "/agent/chat", handle_agent_chat},
        {m::post, "/agent/chat_delete", handle_agent_chat_delete},
        {m::post, "/agent/extract", handle_agent_extract},
        {m::get, "/agent/files", handle_agent_files},
        {m::get, "/agent/file", handle_agent_file},
        {m::post, "/agent/pick_folder", handle_agent_pick_folder},
        {m::post, "/agent/llm", handle_agent_llm},
        {m::get, "/agent/llm/models", handle_agent_llm_models},
        {m::get, "/agent/market", handle_agent_market},
        {m::get, "/agent/skill_market", handle_agent_skill_market},
        {m::post, "/agent/connector", handle_agent_connector},
        {m::post, "/agent/skill", handle_agent_skill},
        {m::post, "/agent/tool", handle_agent_tool},
    };
}

}  // namespace

void setup_agent_routes(httplib::Server& server, const std::string& bind_host, int32_t port, const char* chat_page) {
    agent_state.bind_host = bind_host;
    agent_state.port = port;
    agent_state.served_locally = bind_host == "127.0.0.1" || bind_host == "localhost";
    agent_state.page_token = random_hex_id();
    agent_state.settings_path =
        env_path_or_default("MIVRA_SETTINGS", (app_data_folder() / "settings.json").string());
    agent_state.ui_dir = env_path_or_default("MIVRA_UI_DIR", (program_folder() / "ui").string());
    load_settings();
    const std::string page = chat_page;
    std::thread(update_check_thread).detach();

    for (agent_route& route : agent_route_table(page)) {
        if (route.method == route_method::get) {
            server.Get(route.pattern, std::move(route.handler));
        } else {
            server.Post(route.pattern, std::move(route.handler));
        }
    }
}
