#include "agent/undo_backups.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "agent/agent_reply.h"
#include "agent/request_guard.h"
#include "common/agent_settings.h"
#include "common/file_helpers.h"
#include "common/text_helpers.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/private_files.h"
#include "platform/safe_writes.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t undo_id_length = 16;

// Copies the regular file at `from` to the new private file `to`, flushed to the disk. False on any failure.
bool copy_to_private_file(const fs::path& from, const fs::path& to) {
    file_descriptor in = open_read_file(from.string());
    if (!in.valid()) return false;
    std::error_code error;
    file_descriptor out = create_private_file(to, error);
    if (!out.valid()) return false;
    static constexpr size_t block_size = 65536;
    std::string block(block_size, '\0');
    for (uint64_t offset = 0;; offset += block_size) {
        const size_t got = read_at(in.get(), offset, block.data(), block_size);
        if (got > 0 && !write_all(out.get(), block.data(), got)) return false;
        if (got < block_size) break;
    }
    // A read that ended early because of an error would leave a short copy: compare with what the file holds.
    if (file_size(out.get()) != file_size(in.get())) return false;
    return sync_file(out.get()) && out.close();
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The id as the backups are named: 16 hex digits, small letters (the file names are case-sensitive here).
std::string checked_undo_id(const std::string& id) {
    if (id.size() != undo_id_length) throw std::runtime_error("bad undo id");
    std::string lower = id;
    for (char& c : lower) {
        if (!is_hex_digit(c)) throw std::runtime_error("bad undo id");
        if (c >= 'A' && c <= 'F') c = char(c - 'A' + 'a');
    }
    return lower;
}

}  // namespace

std::string backup_before_write(const fs::path& path) {
    const fs::path folder = backups_folder();
    const std::string id = random_hex_id().substr(0, undo_id_length);
    const fs::path copy = folder / (id + ".bak");
    const fs::path record = folder / (id + ".json");
    const fs::path staging = folder / (id + ".json.tmp");
    auto refuse = [&] {
        std::error_code ignored;
        fs::remove(copy, ignored);
        fs::remove(staging, ignored);
        throw std::runtime_error("cannot back up " + path.string());
    };

    std::error_code error;
    if (!create_private_folders(folder, error)) refuse();
    const bool existed = fs::is_regular_file(fs::status(path, error));
    if (existed && !copy_to_private_file(path, copy)) refuse();
    // The record appears whole or not at all: an undo never reads half a record.
    const std::string text = json{{"existed", existed}, {"path", path.string()}}.dump(
        -1, ' ', false, json::error_handler_t::replace);
    if (!write_private_file(staging, text, error)) refuse();
    fs::rename(staging, record, error);
    if (error) refuse();
    return id;
}

undo_outcome undo_change(const std::string& undo_id) {
    const std::string id = checked_undo_id(undo_id);
    const fs::path folder = backups_folder();
    const json record = json::parse(read_file_text(folder / (id + ".json")));
    undo_outcome outcome;
    outcome.path = fs::path(record.at("path").get<std::string>());
    outcome.restored = record.value("existed", false);

    if (outcome.restored) {
        const fs::path copy = folder / (id + ".bak");
        std::error_code error;
        if (!fs::is_regular_file(fs::status(copy, error))) {
            throw fs::filesystem_error("copy_file", copy, outcome.path,
                                       error ? error : std::make_error_code(std::errc::no_such_file_or_directory));
        }
        const std::string old_content = read_file_text(copy);
        outcome.undo_id = backup_before_write(outcome.path);
        // A link put at the path since may lead only within the file's own folder.
        if (!replace_file_contents(outcome.path, old_content, outcome.path.parent_path(), error)) {
            throw std::runtime_error("cannot write " + outcome.path.string());
        }
    } else {
        outcome.undo_id = backup_before_write(outcome.path);
        fs::remove(outcome.path);  // a link is removed itself, never its target
    }
    return outcome;
}

void handle_agent_undo(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        const json body = json::parse(req.body);
        const undo_outcome outcome = undo_change(body.at("undo_id").get<std::string>());
        reply_json(res, 200,
                   {{"ok", true}, {"path", outcome.path.string()}, {"restored", outcome.restored},
                    {"undo_id", outcome.undo_id}},
                   utf8_check::replacing);
    } catch (const std::exception& e) {
        reply_json_error(req, res, e);
    }
}
