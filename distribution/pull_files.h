// The file-system calls of the pull, each failing with a std::filesystem::filesystem_error that names its operation
// ("exists", "file_size", "remove", "rename", "create_directories", "space") and the paths involved, so a failed
// pull says which step could not be done. Safe from any thread.
#pragma once

#include <cstdint>
#include <filesystem>

// True when anything (file, folder, link target) is at `path`; false when nothing is there.
bool checked_exists(const std::filesystem::path& path);
uint64_t checked_file_size(const std::filesystem::path& path);
// Removes the file or empty folder at `path`; nothing there is not an error.
void checked_remove(const std::filesystem::path& path);
// Renames `from` to `to`, replacing a file at `to` in one step.
void checked_rename(const std::filesystem::path& from, const std::filesystem::path& to);
void checked_create_directories(const std::filesystem::path& path);
// The bytes available to this user on the file system that holds `path`.
uint64_t checked_free_space(const std::filesystem::path& path);
