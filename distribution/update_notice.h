// The update notice: when the catalog's "mivra" object names a program version newer than this one, `start` tells
// the user (print_update_note) and the server's agent page learns it (update_check_thread).
//
// A "latest", "url" or "notes" that is not a string counts as absent.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "distribution/catalog.h"

// Reads catalog_update_info and gui_mode. When "latest" is newer than the program: under the launcher a "note"
// event, otherwise two lines and an empty line on stdout (flushed). Otherwise nothing. Called on the thread of
// start; never throws except on memory exhaustion.
void print_update_note();

// The notice {"latest", "url", "notes"} that the catalog text `body` calls for, or null when it names no newer
// version. A leading byte order mark is ignored. Throws on a body that is not JSON.
nlohmann::json update_notice_from_catalog(std::string body);

// The notice from the catalog at `source` (an https address fetched with `fetch`, anything else a file path), or
// null when the source cannot be read or parsed or names no newer version. Never throws; prints nothing.
nlohmann::json check_catalog_for_update(const std::string& source, const catalog_fetcher& fetch);

// The catalog source of the update check: MIVRA_CATALOG when set and not empty, else the default address.
std::string update_check_source();

// Body of the detached update-check thread that the server starts: reads the catalog named by MIVRA_CATALOG (set
// and not empty) or the default address and, when it names a newer version, stores the notice in
// agent_state.update_notice, holding agent_mutex for that assignment only. Reports no failure and never throws.
void update_check_thread();
