// The project file tools of the agent: list_dir, search_files, read_file, write_file, edit_file and preview_url.
// Each takes the call's arguments (read as agent/tool_arguments.h says) and returns its result as a JSON object,
// or throws an exception whose text the permission gate hands to the model as "error: " + text.
//
// Every path argument is resolved with resolve_in_project against the project folder of the request; a path
// outside the folder is served like any other (the gate has asked the user), except by preview_url. Every result
// is bounded and every cut is marked in the text.
//
// Threads: called on the request's HTTP worker thread, normally with project_override set by the gate; each takes
// agent_state.agent_mutex only for a moment to read the project folder when this thread has none (see
// project_folder_lock), never while it reads files.
#pragma once

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

// list_dir: "path" (default "."), "depth" (default 1, clamped to 1..4). Returns {"path", "entries"}: one line per
// entry, depth first, each folder's own entries folders first (links followed) and then by name in byte order,
// indented by two blanks per level: "name/" for a folder ("name/  (not listed)" for a skipped folder and for a link
// to a folder outside the project, neither of which is entered), "name  (N bytes)" for anything else. At most 400
// entry lines, then "... more entries not shown". Throws the file system library's error for a folder (or
// subfolder) that cannot be listed.
nlohmann::json list_dir_tool(const nlohmann::json& arguments);

// search_files: "path" (default "."), "query" (required), "glob" (default ""), "regex" (default false). Searches
// the files of list_project_files (at most 5000) whose name or relative path matches the glob, skipping files above
// 1 MiB, unreadable ones and binary ones (a NUL in the first 8000 bytes); plain queries match ASCII case-blind,
// regular expressions (PCRE2, caseless, bounded work per line: a line that exhausts it counts as no match) anywhere
// in a line. Returns {"matches": ["rel/path:N: line"...], "files_searched": count}, or at the 150th match
// {"matches", "note": "stopped at 150 matches; search more narrowly"}. Lines longer than 200 bytes are cut to 200
// bytes and "...". Throws PCRE2's message for an invalid pattern.
nlohmann::json search_files_tool(const nlohmann::json& arguments);

// read_file: "path" (required), "offset" (default 1, raised to 1), "limit" (default 400, clamped to 1..2000).
// Returns {"path", "content": "N\tline\n"... cut in the middle to 24000 bytes, "total_lines"} and a "note" when
// lines follow the part shown ("more lines after N; read again with offset") or when the file is larger than the
// 4 MiB that read_file reads (which says so). Throws "cannot read " + path.
nlohmann::json read_file_tool(const nlohmann::json& arguments);

// write_file: "path" (required), "content" (required). Makes the parent folder with its missing ancestors (the file
// system library's "create_directories" error on failure; before "content" is read), backs the file up
// (agent/undo_backups.h) and writes the content, never leaving half a file (platform/safe_writes.h). Returns
// {"path", "bytes", "created": nothing was at the path, "undo_id"} and, for a path inside the project whose extension
// is exactly ".html" or ".htm", "preview": preview_url_for(path). Throws "cannot back up " + path, and "cannot write "
// + path when the file cannot be written (a folder is there, the disk is full, or a symbolic link at the path is
// dangling or leads out of the project, or out of the path's folder for a path outside the project).
nlohmann::json write_file_tool(const nlohmann::json& arguments);

// edit_file: "path", "old_text", "new_text" (all required). Replaces the one occurrence of old_text in the file
// (overlapping occurrences count: "aa" occurs twice in "aaa"), then backs up and writes as write_file does. Returns
// {"path", "replaced": true, "line": 1 + the line breaks before the replaced text, "undo_id"} and, for a path inside
// the project ending exactly in ".html", ".htm", ".css" or ".js", "changed_web_file": true. Checks everything before
// the backup, so a refused edit changes nothing: "cannot read " + path, "old_text is empty", "old_text was not found
// in the file; read the file again and copy the text exactly", "old_text appears more than once; include more
// surrounding lines"; then the failures of write_file.
nlohmann::json edit_file_tool(const nlohmann::json& arguments);

// preview_url: "path" (required). Returns {"url": preview_url_for(path)}. Throws "only files inside the project
// folder can be previewed" (without looking at the file) and "no such file: " + path.
nlohmann::json preview_url_tool(const nlohmann::json& arguments);

// "http://127.0.0.1:<port>/preview/" + `path` relative to the project folder, with every blank written "%20" (and
// a backslash, which is part of a name here, "%5C"). Throws the file system library's error when the project folder
// cannot be made canonical.
// REQUIRES: as resolve_in_project.
std::string preview_url_for(const std::filesystem::path& path);
