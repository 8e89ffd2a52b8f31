#include "distribution/pull_state.h"

#include <stdexcept>
#include <string>
#include <system_error>

#include "common/file_helpers.h"
#include "distribution/pull_files.h"
#include "platform/files.h"
#include "platform/part_file.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Applies the complete, well-formed lines of the log to state["files"].
void apply_log(const fs::path& log, json& state) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(log, ec);
    if (!fs::exists(status)) return;
    // Our log is a plain file; a symbolic link there is not followed but removed, so appends create a new log.
    if (fs::is_symlink(status)) {
        fs::remove(log, ec);
        return;
    }
    file_descriptor fd = open_read(log.string());
    if (!fd.valid()) return;
    std::string text;
    char block[65536];
    for (uint64_t offset = 0;;) {
        const size_t got = read_at(fd.get(), offset, block, sizeof block);
        if (got == 0) break;
        text.append(block, got);
        offset += got;
    }
    if (!state.contains("files") || !state["files"].is_object()) state["files"] = json::object();
    json& files = state["files"];
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const json entry = json::parse(text.begin() + std::ptrdiff_t(start), text.begin() + std::ptrdiff_t(end),
                                       nullptr, false);
        if (!entry.is_object()) continue;
        const auto path = entry.find("path"), id = entry.find("id"), size = entry.find("size");
        if (path == entry.end() || id == entry.end() || size == entry.end() || !path->is_string() ||
            !id->is_string() || !size->is_number_unsigned())
            continue;
        files[path->get<std::string>()] = {{"id", *id}, {"size", *size}};
    }
}

}  // namespace

json read_pull_state(const fs::path& pack_dir) {
    json state = read_json_file(pack_dir / pull_state_name);
    // A missing or broken file and a file holding null all read as "nothing recorded".
    if (state.is_null()) state = json::object();
    if (state.is_object()) apply_log(pack_dir / pull_log_name, state);
    return state;
}

void write_pull_state(const fs::path& pack_dir, const json& state) {
    const fs::path tmp = pack_dir / (std::string(pull_state_name) + ".tmp");
    const std::string text = state.dump(2);
    file_descriptor fd = open_write_fresh(tmp.string());
    bool ok = fd.valid() && write_all(fd.get(), text.data(), text.size()) && sync_file_data(fd.get());
    ok = fd.close() && ok;
    if (!ok) throw std::runtime_error("cannot write " + tmp.string());
    checked_rename(tmp, pack_dir / pull_state_name);
    std::error_code ignored;  // a log left behind only repeats entries the state file now holds
    fs::remove(pack_dir / pull_log_name, ignored);
}

void record_pulled_file(const fs::path& pack_dir, json& state, const std::string& path, const std::string& id,
                        uint64_t size) {
    state["files"][path] = {{"id", id}, {"size", size}};
    const fs::path log = pack_dir / pull_log_name;
    const std::string line = json{{"path", path}, {"id", id}, {"size", size}}.dump() + "\n";
    file_descriptor fd = open_append(log.string());
    bool ok = fd.valid() && write_all(fd.get(), line.data(), line.size()) && sync_file_data(fd.get());
    ok = fd.close() && ok;
    if (!ok) throw std::runtime_error("cannot write " + log.string());
}

void compact_pull_state(const fs::path& pack_dir, const json& state) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(pack_dir / pull_log_name, ec))) write_pull_state(pack_dir, state);
}
