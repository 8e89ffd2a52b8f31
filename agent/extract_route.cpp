#include "agent/extract_route.h"

#include <filesystem>
#include <mutex>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "agent/agent_reply.h"
#include "agent/document_extraction.h"
#include "agent/project_paths.h"
#include "agent/request_guard.h"
#include "common/agent_settings.h"
#include "common/process_state.h"

namespace fs = std::filesystem;

void handle_agent_extract(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        const fs::path tmp = app_data_folder() / "tmp";
        nlohmann::json result;
        if (req.has_param("path")) {
            fs::path file;
            bool inside = false;
            {
                std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
                file = resolve_in_project(req.get_param_value("path"), inside);
            }
            if (!inside) throw std::runtime_error("outside the project folder");
            result = extract_document_text(file, tmp);
            result["name"] = file.filename().string();
        } else {
            const std::string name = req.has_param("name") ? req.get_param_value("name") : std::string();
            result = extract_posted_document(name, req.body, tmp);
        }
        reply_json(res, 200, result, utf8_check::replacing);
    } catch (const std::exception& e) {
        reply_json_error(req, res, e);
    }
}
