// list_dir: a folder of the project as an indented tree.
#include <algorithm>
#include <vector>

#include "agent/file_tools.h"
#include "agent/project_paths.h"
#include "agent/tool_arguments.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t max_entry_lines = 400;

struct dir_listing {
    int64_t depth;
    fs::path boundary;  // links to folders outside it are shown but not entered
    size_t counter = 0;
    json entries = json::array();
};

struct listed_entry {
    fs::directory_entry entry;
    bool folder;
    std::string name;
};

// Appends the lines of `folder` and, below the depth limit, of its subfolders.
void list_dir_visit(const fs::path& folder, int64_t level, const std::string& indentation, dir_listing& listing) {
    // Once the note is written nothing more is listed; a folder past it need not even be opened.
    if (listing.counter > max_entry_lines) return;
    std::vector<listed_entry> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        std::error_code ignored;
        found.push_back({entry, entry.is_directory(ignored), entry.path().filename().string()});
    }
    std::sort(found.begin(), found.end(), [](const listed_entry& a, const listed_entry& b) {
        if (a.folder != b.folder) return a.folder;
        return a.name < b.name;
    });
    for (const listed_entry& item : found) {
        if (++listing.counter > max_entry_lines) {
            if (listing.counter == max_entry_lines + 1) listing.entries.push_back("... more entries not shown");
            return;
        }
        if (item.folder) {
            std::error_code ignored;
            const bool enter = !is_skipped_folder(item.entry.path()) &&
                               (!item.entry.is_symlink(ignored) ||
                                link_followable(item.entry.path(), listing.boundary));
            listing.entries.push_back(indentation + item.name + "/" + (enter ? "" : "  (not listed)"));
            if (enter && level < listing.depth) {
                list_dir_visit(item.entry.path(), level + 1, indentation + "  ", listing);
            }
        } else {
            std::error_code error;
            const uintmax_t size = item.entry.file_size(error);  // all bits set when it cannot be read
            listing.entries.push_back(indentation + item.name + "  (" + std::to_string(size) + " bytes)");
        }
    }
}

}  // namespace

json list_dir_tool(const json& arguments) {
    bool inside = false;
    fs::path folder;
    dir_listing listing{0, {}};
    {
        project_folder_lock lock;
        folder = resolve_in_project(optional_text(arguments, "path", "."), inside);
        listing.boundary = walk_boundary(folder);
    }
    listing.depth = clamp_integer(optional_integer(arguments, "depth", 1), 1, 4);
    list_dir_visit(folder, 1, "", listing);
    return {{"path", folder.string()}, {"entries", std::move(listing.entries)}};
}
