#include "agent/chat_store.h"

#include <algorithm>
#include <exception>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/agent_reply.h"
#include "agent/request_guard.h"
#include "common/agent_settings.h"
#include "common/file_helpers.h"
#include "common/text_helpers.h"
#include "platform/folders.h"
#include "platform/private_files.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t max_chat_id_bytes = 40;
constexpr size_t max_chat_bytes = 67108864;
constexpr size_t max_listed_chats = 300;

bool chat_id_byte_ok(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// The "id" of a posted body, checked; it becomes a file name. Throws the JSON library's errors for a body that is
// not JSON, not an object, or whose "id" is not a string, and "bad chat id" for anything but 1 to 40 safe bytes.
std::string checked_chat_id(const json& body) {
    const std::string id = body.value("id", std::string());
    if (id.empty() || id.size() > max_chat_id_bytes || !std::all_of(id.begin(), id.end(), chat_id_byte_ok)) {
        throw std::runtime_error("bad chat id");
    }
    return id;
}

void reply_ok(httplib::Response& res) { reply_json(res, 200, {{"ok", true}}, utf8_check::strict); }

// Writes `body` as <folder>/<id>.json through a temporary file that belongs to this save alone.
void store_chat(const fs::path& folder, const std::string& id, const std::string& body) {
    std::error_code error;
    if (!create_private_folders(folder, error)) throw fs::filesystem_error("create_directories", folder, error);
    const fs::path target = folder / (id + ".json");
    const fs::path temp = folder / (id + ".json." + random_hex_id() + ".tmp");
    auto remove_temp = [&] {
        std::error_code ignored;
        if (fs::is_regular_file(fs::symlink_status(temp, ignored))) fs::remove(temp, ignored);
    };
    if (!write_private_file(temp, body, error)) {
        remove_temp();
        throw std::runtime_error("cannot write the chat");
    }
    try {
        fs::rename(temp, target);
    } catch (const fs::filesystem_error&) {
        remove_temp();
        throw;
    }
}

}  // namespace

fs::path chats_folder(const httplib::Request& req) {
    const bool simple = req.has_param("kind") && req.get_param_value("kind") == "simple";
    return app_data_folder() / "chats" / (simple ? "simple" : "agent");
}

void handle_agent_chat(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        const json body = json::parse(req.body);
        const std::string id = checked_chat_id(body);
        if (req.body.size() > max_chat_bytes) throw std::runtime_error("chat too large");
        store_chat(chats_folder(req), id, req.body);
        reply_ok(res);
    } catch (const std::exception& e) {
        reply_json_error(req, res, e);
    }
}

void handle_agent_chats(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    const fs::path folder = chats_folder(req);
    std::vector<std::pair<double, json>> chats;
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (!error) {
        // A failure to advance throws (directory_iterator::operator++) and is left to the server.
        for (; it != fs::directory_iterator(); ++it) {
            const fs::path& path = it->path();
            if (path.extension() != ".json") continue;
            try {
                json chat = json::parse(read_file_text(path));
                if (!chat.is_object()) continue;
                const auto updated = chat.find("updated");
                if (updated != chat.end() && !updated->is_number()) continue;
                chats.emplace_back(updated == chat.end() ? 0.0 : updated->get<double>(), std::move(chat));
            } catch (const std::exception&) {
                // An unreadable or broken chat file is left out of the list.
            }
        }
    }
    std::sort(chats.begin(), chats.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    json list = json::array();
    for (size_t i = 0; i < chats.size() && i < max_listed_chats; ++i) list.push_back(std::move(chats[i].second));
    reply_json(res, 200, {{"chats", std::move(list)}}, utf8_check::replacing);
}

void handle_agent_chat_delete(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        const std::string id = checked_chat_id(json::parse(req.body));
        std::error_code ignored;
        fs::remove(chats_folder(req) / (id + ".json"), ignored);
        reply_ok(res);
    } catch (const std::exception& e) {
        reply_json_error(req, res, e);
    }
}
