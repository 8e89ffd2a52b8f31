#include "agent/page_routes.h"

#include <filesystem>
#include <mutex>

#include "agent/request_guard.h"
#include "agent/static_files.h"
#include "common/agent_settings.h"
#include "common/file_helpers.h"
#include "common/process_state.h"

namespace fs = std::filesystem;

const char page_token_placeholder[] = "{{MIVRA_TOKEN}}";

namespace {

const char html_type[] = "text/html; charset=utf-8";
const char preview_policy[] = "sandbox allow-scripts allow-forms allow-popups allow-modals allow-downloads";

std::string fill_placeholder(std::string page, const std::string& token) {
    const std::string placeholder = page_token_placeholder;
    for (size_t at = page.find(placeholder); at != std::string::npos; at = page.find(placeholder, at + token.size())) {
        page.replace(at, placeholder.size(), token);
    }
    return page;
}

}  // namespace

std::string page_token_for(const httplib::Request& req) {
    return agent_state.served_locally && agent_host_ok(req) ? agent_state.page_token : std::string();
}

std::string render_chat_page(const std::string& page, const httplib::Request& req) {
    return fill_placeholder(page, page_token_for(req));
}

void handle_root_page(const std::string& chat_page, const httplib::Request& req, httplib::Response& res) {
    if (agent_state.served_locally) {
        const fs::path index = agent_state.ui_dir / "index.html";
        std::error_code error;
        if (fs::exists(index, error)) {
            res.set_content(fill_placeholder(read_file_text(index), page_token_for(req)), html_type);
            res.set_header("Cache-Control", "no-store");
            return;
        }
    }
    res.set_content(render_chat_page(chat_page, req), html_type);
}

void handle_simple_page(const std::string& chat_page, const httplib::Request& req, httplib::Response& res) {
    res.set_content(render_chat_page(chat_page, req), html_type);
    res.set_header("Cache-Control", "no-store");
}

void handle_ui_file(const httplib::Request& req, httplib::Response& res) {
    serve_file_below(agent_state.ui_dir, req.matches[1].str(), res);
}

void handle_preview_file(const httplib::Request& req, httplib::Response& res) {
    res.set_header("Content-Security-Policy", preview_policy);
    res.set_header("X-Content-Type-Options", "nosniff");
    if (!check_agent_request(req, res, false)) return;
    if (req.get_header_value("Sec-Fetch-Site") == "cross-site") return refuse_agent_request(res);
    std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
    serve_file_below(project_folder(), req.matches[1].str(), res);
}
