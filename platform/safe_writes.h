// Writes of whole files that the user's programs and folders depend on (the agent's write_file and edit_file, the
// restore of an undo): a write never leaves half a file and never follows a symbolic link out of the folder it is
// meant for.
//
// - The new content goes to a temporary file beside the target (created O_CREAT|O_EXCL|O_NOFOLLOW), is flushed to
//   the disk and renamed over the target, which keeps its permission bits (and, where allowed, its owner). A reader
//   sees the old file or the whole new one; a failed write leaves the old file as it was and removes the temporary.
// - A new file is put in place with a rename that never replaces, so a file that appears meanwhile is not lost.
// - A symbolic link at the target is followed only when its target exists and lies within the caller's boundary
//   folder (a link inside a project to another file of the project); a dangling link, or one that leads out, is
//   refused with ELOOP. The folder that holds the target must lie within the boundary too, once its links are
//   resolved.
//
// Writes go through write_all, so the test seam of platform/files.h can make them fail midway. Failures come back
// as std::error_code (the system's errno); callers turn them into their own texts. Safe to call from any thread; two
// writes of one file at once each rename their own temporary, and the last rename wins.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

// The file that a write to `path` changes: `path` itself when no symbolic link is there (or nothing is), else the
// canonical target of the link when that target exists and lies within `boundary` (a canonical folder; an empty
// boundary allows any existing target). An empty path with `error` set (ELOOP) for a dangling link or one that
// leads out of the boundary, or with the system's error when `path` cannot be examined.
std::filesystem::path write_destination(const std::filesystem::path& path, const std::filesystem::path& boundary,
                                        std::error_code& error);

// Makes the regular file at write_destination(path, boundary) hold exactly `data`, as described above. False with
// `error` set when anything fails: ELOOP for a refused link or a folder outside the boundary, EISDIR when a folder
// (or another non-regular file) is there, EEXIST when a new file appeared at the target during the write, the
// system's error otherwise (ENOSPC, EFBIG, EACCES ...). Nothing at the target has changed then.
bool replace_file_contents(const std::filesystem::path& path, std::string_view data,
                           const std::filesystem::path& boundary, std::error_code& error);

// Stores `data` as a new file in `folder` (which, once its links are resolved, must lie within `boundary`) under the
// first of name_for(1), name_for(2), ... (at most `max_names` of them) that nothing holds, not even a dangling link.
// Each candidate is created exclusively (O_CREAT|O_EXCL|O_NOFOLLOW, mode 0600), so two writers at once never pick
// the same name and nothing is ever overwritten. Returns the new file's path. An empty path with `error` set when
// the folder cannot be opened, lies outside the boundary (ELOOP), a candidate cannot be created for another reason
// than being taken, every name is taken (EEXIST), or the write fails: the partial file is removed then.
std::filesystem::path write_new_file(const std::filesystem::path& folder,
                                     const std::function<std::string(int)>& name_for, std::string_view data,
                                     const std::filesystem::path& boundary, int max_names, std::error_code& error);
