// The pull state of a pack folder: the file ".mivra-pull.json", a JSON object
//   {"files": {<path>: {"id": <expected id>, "size": <bytes>}, ...}, "repo": "<owner>/<name>@<revision>"}
// that lists every file downloaded and verified (or found correct on disk), so a later pull trusts those files by
// their size and recorded id without reading them. Entries are added or replaced, never removed. Written with
// sorted keys and two-space indentation.
//
// Rewriting that file after every file would make a pull of n files cost n^2, so during a pull each file is
// recorded by appending one line to ".mivra-pull.log" ({"id", "path", "size"} on one line, synced before the next
// file starts), and the whole state is written once at the end, which removes the log. Reading the state applies
// the log's complete lines on top of the file, so a pull that was cut off (even by kill -9) resumes with every
// recorded file. Used by the thread that runs the pull only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

inline constexpr char pull_state_name[] = ".mivra-pull.json";
inline constexpr char pull_log_name[] = ".mivra-pull.log";

// The parsed state file of `pack_dir` whatever its JSON type, with the entries of the log applied when it is an
// object; an empty object (plus the log's entries) when the file is missing, cannot be read or does not parse.
// A log line that is cut off or malformed is skipped. Never throws.
nlohmann::json read_pull_state(const std::filesystem::path& pack_dir);

// Writes the state to ".mivra-pull.json.tmp" (a fresh file: a symbolic link there is replaced, never followed),
// flushes it, renames it over ".mivra-pull.json" and removes the log, whose entries the state must hold. Throws
// std::runtime_error "cannot write " + .tmp path when the .tmp file cannot be written, and the filesystem error
// "rename" when it cannot be renamed.
void write_pull_state(const std::filesystem::path& pack_dir, const nlohmann::json& state);

// Sets state["files"][path] to {"id", "size"} and appends the entry to the log, synced to the disk. Throws
// std::runtime_error "cannot write " + log path.
void record_pulled_file(const std::filesystem::path& pack_dir, nlohmann::json& state, const std::string& path,
                        const std::string& id, uint64_t size);

// Writes the state (write_pull_state) when the log holds entries not yet in the state file.
void compact_pull_state(const std::filesystem::path& pack_dir, const nlohmann::json& state);
