// Files that only their owner may read: the agent backend's settings, chats, backups, logs and temporary files.
//
// Every file made here is created with mode 0600 and every folder with mode 0700, whatever the process's umask,
// and every descriptor is close-on-exec. Failures come back as std::error_code (the system's errno); callers turn
// them into their own texts. Safe to call from any thread; nothing here keeps state.
#pragma once

#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/files.h"

// Creates `path` (or truncates an existing file to zero) for writing, mode 0600 whatever the umask; an existing
// file is set to 0600 too. A symbolic link at `path` is refused (ELOOP) rather than followed. An invalid
// descriptor on failure, with `error` set.
file_descriptor create_private_file(const std::filesystem::path& path, std::error_code& error);

// Writes `data` as the whole content of `path` (created or truncated as by create_private_file) and flushes it to
// disk. False when any step fails, with `error` set; the file may then hold part of the data, so callers write to
// a temporary name and rename it only after a success.
bool write_private_file(const std::filesystem::path& path, std::string_view data, std::error_code& error);

// Renames `from` to `to` only when nothing exists at `to` (never replaces). False with `error` set otherwise
// (EEXIST when `to` is taken).
bool rename_without_replacing(const std::filesystem::path& from, const std::filesystem::path& to,
                              std::error_code& error);

// Swaps what `a` and `b` name in one step (renameat2 RENAME_EXCHANGE): both must exist, and every reader sees the
// one or the other, never neither. False with `error` set otherwise (EINVAL or ENOSYS where the file system or the
// kernel cannot exchange; the caller then moves one aside first).
bool exchange_paths(const std::filesystem::path& a, const std::filesystem::path& b, std::error_code& error);
