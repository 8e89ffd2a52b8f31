// write_file and edit_file: the two tools that change the user's files, each after an undo backup.
#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <system_error>

#include "agent/file_tools.h"
#include "agent/project_paths.h"
#include "agent/tool_arguments.h"
#include "agent/undo_backups.h"
#include "common/agent_settings.h"
#include "common/file_helpers.h"
#include "platform/safe_writes.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A resolved "path" argument and the folder that a symbolic link at it may lead into: the project folder for a
// path inside it, the path's own folder for a path outside (which the user approved as it is, not what a link
// there might point to).
struct write_target {
    fs::path path;
    bool inside = false;
    fs::path boundary;
};

// Throws "cannot write " + the resolved path when a symbolic link leads a path that names a place inside the project
// out of it: the user approves the paths that are outside as written, not those that a link makes so.
write_target resolve_write_target(const json& arguments) {
    const std::string text = required_text(arguments, "path");
    write_target target;
    project_folder_lock lock;
    target.path = resolve_in_project(text, target.inside);
    const fs::path root = fs::weakly_canonical(project_folder());
    if (!target.inside) {
        const fs::path written(text);
        const fs::path lexical = (written.is_absolute() ? written : root / written).lexically_normal();
        if (path_within(root, lexical)) throw std::runtime_error("cannot write " + target.path.string());
    }
    target.boundary = target.inside ? root : target.path.parent_path();
    return target;
}

// Backs up the file that a write to target.path changes, then writes `content` there. Returns the undo id.
std::string write_with_backup(const write_target& target, const std::string& content) {
    std::error_code error;
    const fs::path destination = write_destination(target.path, target.boundary, error);
    if (error) throw std::runtime_error("cannot write " + target.path.string());
    const std::string undo_id = backup_before_write(destination);
    if (!replace_file_contents(destination, content, target.boundary, error)) {
        throw std::runtime_error("cannot write " + target.path.string());
    }
    return undo_id;
}

bool has_extension(const fs::path& path, std::initializer_list<const char*> extensions) {
    const std::string extension = path.extension().string();
    for (const char* e : extensions) {
        if (extension == e) return true;
    }
    return false;
}

}  // namespace

json write_file_tool(const json& arguments) {
    const write_target target = resolve_write_target(arguments);
    fs::create_directories(target.path.parent_path());
    const std::string content = required_text(arguments, "content");
    std::error_code error;
    const bool existed = fs::exists(fs::symlink_status(target.path, error));
    const std::string undo_id = write_with_backup(target, content);

    json result = {{"path", target.path.string()},
                   {"bytes", content.size()},
                   {"created", !existed},
                   {"undo_id", undo_id}};
    if (target.inside && has_extension(target.path, {".html", ".htm"})) {
        project_folder_lock lock;
        result["preview"] = preview_url_for(target.path);
    }
    return result;
}

json edit_file_tool(const json& arguments) {
    const write_target target = resolve_write_target(arguments);
    std::string text = read_file_text(target.path);
    const std::string old_text = required_text(arguments, "old_text");
    const std::string new_text = required_text(arguments, "new_text");
    if (old_text.empty()) throw std::runtime_error("old_text is empty");
    const size_t pos = text.find(old_text);
    if (pos == std::string::npos) {
        throw std::runtime_error("old_text was not found in the file; read the file again and copy the text exactly");
    }
    if (text.find(old_text, pos + 1) != std::string::npos) {
        throw std::runtime_error("old_text appears more than once; include more surrounding lines");
    }
    const int64_t line = 1 + static_cast<int64_t>(std::count(text.begin(), text.begin() + pos, '\n'));
    text.replace(pos, old_text.size(), new_text);
    const std::string undo_id = write_with_backup(target, text);

    json result = {{"path", target.path.string()}, {"replaced", true}, {"line", line}, {"undo_id", undo_id}};
    if (target.inside && has_extension(target.path, {".html", ".htm", ".css", ".js"})) {
        result["changed_web_file"] = true;
    }
    return result;
}
