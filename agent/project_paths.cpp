#include "agent/project_paths.h"

#include <cstring>
#include <system_error>

#include "common/agent_settings.h"
#include "common/process_state.h"

namespace fs = std::filesystem;

const char* const skipped_folders[10] = {".git", "node_modules", "__pycache__", ".venv", "venv",
                                         ".mivra", ".next", ".cache", ".idea", ".vs"};

bool is_skipped_folder(const fs::path& path) {
    const std::string name = path.filename().string();
    for (const char* skipped : skipped_folders) {
        if (name == skipped) return true;
    }
    return false;
}

project_folder_lock::project_folder_lock() {
    if (project_override.empty()) lock_ = std::unique_lock<std::mutex>(agent_state.agent_mutex);
}

bool path_within(const fs::path& folder, const fs::path& path) {
    const fs::path rel = path.lexically_relative(folder);
    return !rel.empty() && *rel.begin() != "..";
}

fs::path resolve_in_project(std::string_view text, bool& inside) {
    const fs::path root = fs::weakly_canonical(project_folder());
    if (text.find('\0') != std::string_view::npos) {
        throw fs::filesystem_error("weakly_canonical", fs::path(std::string(text)),
                                   std::make_error_code(std::errc::invalid_argument));
    }
    fs::path path(std::string{text});
    if (!path.is_absolute()) path = root / path;
    path = fs::weakly_canonical(path);
    inside = path_within(root, path);
    return path;
}

fs::path walk_boundary(const fs::path& folder) {
    std::error_code error;
    const fs::path root = fs::weakly_canonical(project_folder(), error);
    if (!error && !root.empty() && path_within(root, folder)) return root;
    return folder;
}

bool link_followable(const fs::path& link, const fs::path& boundary) {
    std::error_code error;
    const fs::path target = fs::canonical(link, error);
    if (error || !path_within(boundary, target)) return false;
    if (!fs::is_directory(target, error)) return true;
    // A folder that holds the link would be walked again and again, each time one level deeper.
    const fs::path home = fs::canonical(link.parent_path(), error);
    return !error && !path_within(target, home);
}

namespace {

struct project_walk {
    const fs::path& root;
    const fs::path& boundary;
    size_t max;
    std::vector<fs::path> files;
    bool stopped = false;

    void visit(const fs::path& folder) {
        std::error_code error;
        fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
        if (error) {
            stopped = true;
            return;
        }
        for (; it != fs::directory_iterator(); it.increment(error)) {
            if (error) break;
            const fs::directory_entry& entry = *it;
            std::error_code ignored;
            if (entry.is_symlink(ignored) && !link_followable(entry.path(), boundary)) continue;
            if (entry.is_directory(ignored)) {
                if (is_skipped_folder(entry.path())) continue;
                visit(entry.path());
            } else if (entry.is_regular_file(ignored)) {
                files.push_back(entry.path().lexically_relative(root));
            }
            if (stopped || files.size() >= max) {
                stopped = true;
                return;
            }
        }
        if (error) stopped = true;
    }
};

}  // namespace

std::vector<fs::path> list_project_files(const fs::path& root, size_t max, const fs::path& boundary) {
    if (max == 0) return {};
    std::error_code error;
    fs::path limit = boundary.empty() ? fs::weakly_canonical(root, error) : boundary;
    if (error) return {};
    project_walk walk{root, limit, max, {}};
    walk.visit(root);
    return std::move(walk.files);
}
