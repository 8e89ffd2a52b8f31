// Paths of the user's project: resolving a tool's or route's path against the project folder (and telling whether
// it stays inside), the bounded walk over the project's files, and the folder names no walk enters.
//
// The project folder is project_folder() (common/agent_settings.h): this thread's project_override, or else the
// settings' "workspace". None of these functions takes a lock; resolve_in_project reads the settings when this
// thread has no project_override, so its caller then holds agent_state.agent_mutex.
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The ten folder names that no walk enters, compared byte for byte with a folder's own name, case-sensitive:
// ".git", "node_modules", "__pycache__", ".venv", "venv", ".mivra", ".next", ".cache", ".idea", ".vs".
extern const char* const skipped_folders[10];

// True when the last component of `path` is one of skipped_folders.
bool is_skipped_folder(const std::filesystem::path& path);

// `path` (UTF-8) made absolute against the project folder and weakly canonical (the existing part resolved to its
// real form, links followed, the rest normalised). `inside` tells whether the result is the project folder itself
// or lies below it (its path relative to the folder is not empty and does not begin with ".."); a name below the
// folder that merely begins with two dots ("..cache") lies inside.
// Throws std::filesystem::filesystem_error for "weakly_canonical" when the project folder or the path cannot be
// made canonical, and when the path holds a NUL byte (the system would cut it short there).
// REQUIRES: agent_state.agent_mutex held, unless this thread's project_override is set.
std::filesystem::path resolve_in_project(std::string_view path, bool& inside);

// Makes project_folder() safe to call for code that runs without agent_state.agent_mutex (the tools): while it
// lives it holds that mutex when this thread has no project_override (the project folder is then the settings'
// "workspace", which another request may be changing); otherwise it holds nothing. Never hold it while a tool does
// its work: only around resolve_in_project, walk_boundary and the like.
class project_folder_lock {
public:
    project_folder_lock();
    project_folder_lock(const project_folder_lock&) = delete;
    project_folder_lock& operator=(const project_folder_lock&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
};

// True when `path` is `folder` or lies below it, both taken lexically (callers pass canonical paths).
bool path_within(const std::filesystem::path& folder, const std::filesystem::path& path);

// The regular files below `root` (links followed), as paths relative to `root`, at most `max` of them, depth first
// in the order the file system lists each folder. Folders named in skipped_folders are not entered; folders that
// cannot be opened for lack of permission are skipped; any other walking error ends the list early. A symbolic link
// is followed only when its target lies within `boundary` (canonical; an empty boundary means `root`) and is not a
// folder that holds the link itself (a loop): a link in a cloned repository cannot lead a walk out of the project.
// A root that cannot be opened gives an empty list. Never throws (except std::bad_alloc).
std::vector<std::filesystem::path> list_project_files(const std::filesystem::path& root, size_t max,
                                                      const std::filesystem::path& boundary = {});

// The boundary a walk of `folder` keeps to: the project folder when `folder` lies inside it, else `folder` itself
// (a folder outside the project that the user approved). Both canonical.
// REQUIRES: as resolve_in_project.
std::filesystem::path walk_boundary(const std::filesystem::path& folder);

// True when the symbolic link `link` may be followed by a walk that keeps to `boundary` (see list_project_files).
// False for a dangling link. Never throws.
bool link_followable(const std::filesystem::path& link, const std::filesystem::path& boundary);
