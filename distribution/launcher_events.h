// Event lines for the desktop launcher: when `start` runs with --gui, everything it has to tell the user becomes one
// JSON object per line on stdout (compact, keys in ascending byte order, raw UTF-8, invalid UTF-8 written as
// U+FFFD), flushed at once. This file holds the one writer of those lines and a builder for every event type.
//
// All events are written by the thread that runs `start` (the pull code reports on that same thread), so lines
// never interleave; nothing here takes a lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "distribution/menu_item.h"

// True under the launcher (`start --gui`). Written once, before any other thread exists; read by the messages of
// start, the locate step and the update notice.
extern bool gui_mode;

// The text of one event line without its line end: compact, sorted keys, non-ASCII as raw UTF-8, byte sequences
// that are not valid UTF-8 replaced by U+FFFD. Never throws on bad text.
std::string json_line_text(const nlohmann::json& event);

// Writes json_line_text(event) and "\n" on stdout and flushes stdout. Write failures are ignored.
void emit_json_line(const nlohmann::json& event);

// "models": the menu rows in menu order (the row at `choice` is the default), the names of the catalog models that
// need a newer program, and the program version.
nlohmann::json gui_models_event(const std::vector<menu_item>& items, size_t choice,
                                const std::vector<std::string>& too_new);
// "auto": the model that start chose by itself.
nlohmann::json gui_auto_event(const std::string& id);
// "located": the answer to a locate command.
nlohmann::json gui_located_event(bool ok, const std::string& id, const std::string& text);
// "note": information only.
nlohmann::json gui_note_event(const std::string& text);
// "status": checking or downloading the chosen pack; "downloading": true only when a download begins.
nlohmann::json gui_status_event(const std::string& id, const std::string& text, bool downloading);
// "download": the number of files and bytes a pull run fetches.
nlohmann::json gui_download_event(uint64_t files, uint64_t need);
// "progress": one file's transfer and the whole run's.
nlohmann::json gui_progress_event(const std::string& file, uint64_t done, uint64_t total, uint64_t rate,
                                  uint64_t all_done, uint64_t all_total);
// "starting": the server is about to load the model.
nlohmann::json gui_starting_event(const std::string& id, const std::string& name);
// "error": a failure that ends the run.
nlohmann::json gui_error_event(const std::string& text);
