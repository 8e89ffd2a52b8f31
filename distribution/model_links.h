// links.json in the models folder: where packs of catalog models live when they are not in the models folder
// itself (found on the PC, or picked by the user in the launcher). One JSON object mapping a catalog id to the
// UTF-8 path of a pack folder. Used by the thread that runs `start` only.
#pragma once

#include <filesystem>
#include <map>
#include <string>

// id -> UTF-8 path of the pack folder, in ascending order of the ids.
using model_links = std::map<std::string, std::string>;

inline constexpr char model_links_name[] = "links.json";

// The links of models_dir/links.json: every member whose value is a string. Empty when the file is missing, cannot
// be read or parsed, or is not an object. Never throws except on memory exhaustion.
model_links read_links(const std::filesystem::path& models_dir);

// Replaces models_dir/links.json with the map: an object indented by 2 blanks, members in ascending order of their
// names, line ends "\r\n", no line end after the closing brace; bytes that are not valid UTF-8 become U+FFFD. The
// file is written to links.json.tmp and renamed over the old one. A file that cannot be written is left as it was,
// silently (the links still hold for this run).
void write_links(const std::filesystem::path& models_dir, const model_links& links);
