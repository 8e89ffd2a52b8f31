#include "agent/project_file_routes.h"

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

#include "agent/agent_reply.h"
#include "agent/project_paths.h"
#include "agent/request_guard.h"
#include "agent/upload_names.h"
#include "common/agent_settings.h"
#include "common/file_helpers.h"
#include "common/process_state.h"
#include "common/text_helpers.h"
#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/folder_dialog.h"
#include "platform/folders.h"
#include "platform/safe_writes.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t max_file_bytes = 600000;
constexpr size_t binary_probe_bytes = 8000;
constexpr size_t max_listed_files = 3000;
// Far more clash names than a folder ever needs; a bound keeps a full folder from looping without end.
constexpr int max_upload_names = 100000;

std::string query_value(const httplib::Request& req, const char* name, const std::string& fallback) {
    return req.has_param(name) ? req.get_param_value(name) : fallback;
}

}  // namespace

void handle_agent_upload(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        const std::string name = clean_upload_name(query_value(req, "name", ""));
        const std::string dir = query_value(req, "dir", "uploads");
        fs::path folder;
        fs::path root;
        bool inside = false;
        {
            std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
            folder = resolve_in_project(dir, inside);
            root = fs::weakly_canonical(project_folder());
        }
        if (!inside) throw std::runtime_error("uploads go inside the project folder");
        std::error_code error;
        if (!create_private_folders(folder, error)) throw fs::filesystem_error("create_directories", folder, error);
        const fs::path stored = write_new_file(
            folder, [&name](int n) { return upload_clash_name(name, n); }, req.body, root, max_upload_names, error);
        if (error) throw std::runtime_error("cannot write " + (folder / name).string());
        reply_json(res, 200, {{"path", stored.lexically_relative(root).generic_string()}, {"bytes", req.body.size()}},
                   utf8_check::replacing);
    } catch (const std::exception& e) {
        reply_json_error(req, res, e);
    }
}

void handle_agent_file(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        const std::string path_text = query_value(req, "path", "");
        fs::path path;
        bool inside = false;
        {
            std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
            path = resolve_in_project(path_text, inside);
        }
        if (!inside) throw std::runtime_error("outside the project folder");
        const std::string content = read_file_text(path, max_file_bytes);
        if (contains_nul(std::string_view(content).substr(0, binary_probe_bytes))) {
            throw std::runtime_error("binary file");
        }
        reply_json(res, 200, {{"path", path_text}, {"content", content}}, utf8_check::replacing);
    } catch (const std::exception& e) {
        reply_json_error(req, res, e);
    }
}

void handle_agent_files(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    fs::path root;
    {
        std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
        root = project_folder();
    }
    json files = json::array();
    for (const fs::path& rel : list_project_files(root, max_listed_files)) {
        const int64_t size = file_size((root / rel).string());
        files.push_back({rel.generic_string(), size < 0 ? UINT64_MAX : static_cast<uint64_t>(size)});
    }
    reply_json(res, 200, {{"root", root.string()}, {"files", std::move(files)}}, utf8_check::replacing);
}

void handle_agent_pick_folder(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    const std::string path = pick_folder_dialog("Mivra: choose the project folder", current_environment());
    if (path.empty()) {
        reply_json(res, 200, {{"cancelled", true}}, utf8_check::strict);
    } else {
        reply_json(res, 200, {{"path", path}}, utf8_check::replacing);
    }
}
