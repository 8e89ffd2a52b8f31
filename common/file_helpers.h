// Small file, folder and environment helpers shared by every front end. No state between calls; reentrant.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

// The folder that holds the running program file (the parent of /proc/self/exe).
std::filesystem::path program_folder();

// The whole file parsed as one JSON document (comments not allowed); null when the file cannot be opened or does
// not parse (empty, broken, trailing garbage). Never throws.
nlohmann::json read_json_file(const std::filesystem::path& path);

// The file's bytes, at most `max_bytes` of them (SIZE_MAX: the whole file). Reads in 64 KiB blocks; a read error
// after opening ends the text early without an error. Throws std::runtime_error "cannot read " + path when the
// file (or a folder of that name) cannot be opened for reading.
std::string read_file_text(const std::filesystem::path& path, size_t max_bytes = static_cast<size_t>(-1));

// The value of the environment variable `name` when it is set and not empty, otherwise `fallback`. Never fails.
std::string env_path_or_default(const char* name, const std::string& fallback);

// The member's string when `value` is an object holding member `name` as a string; "" in every other case.
std::string json_string_or_empty(const nlohmann::json& value, const std::string& name);
// The same test; throws std::runtime_error `missing "name"` when the member is absent or not a string.
std::string json_string_required(const nlohmann::json& value, const std::string& name);
