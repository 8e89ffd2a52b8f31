// The pull state of a pack folder: the file ".mivra-pull.json", a JSON object
//   {"files": {<path>: {"id": <expected id>, "size": <bytes>}, ...}, "repo": "<owner>/<name>@<revision>"}
// that lists every file downloaded and verified (or found correct on disk), so a later pull trusts those files by
// their size and recorded id without reading them. Entries are added or replaced, never removed. Written with
// sorted keys and two-space indentation. Used by the thread that runs the pull only.
#pragma once

#include <filesystem>

#include <nlohmann/json.hpp>

inline constexpr char pull_state_name[] = ".mivra-pull.json";

// The parsed state file of `pack_dir` whatever its JSON type; an empty object when the file is missing, cannot be
// read or does not parse. Never throws.
nlohmann::json read_pull_state(const std::filesystem::path& pack_dir);

// Writes the state to ".mivra-pull.json.tmp", flushes it and renames it over ".mivra-pull.json". Throws
// std::runtime_error "cannot write " + .tmp path when the .tmp file cannot be written, and the filesystem error
// "rename" when it cannot be renamed.
void write_pull_state(const std::filesystem::path& pack_dir, const nlohmann::json& state);
