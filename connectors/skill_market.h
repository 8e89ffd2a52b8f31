// The skill market: every skill folder found in the GitHub folders that the connector catalog names as skill sources
// ("skill_sources"), each with the name and description of its SKILL.md and a link that installs it. Built at most
// once an hour while builds succeed.
//
// A market entry is {"name", "folder", "description", "by", "license", "url"}: the front matter's name (the folder
// name when the SKILL.md has no name line or cannot be fetched), the folder's last component, the front matter's
// description or "", the source's "by" (else the repository owner), its "license" (else "") and
// github_web_prefix() + owner/repo/tree/branch/ + the folder's path, percent-encoded segment by segment.
//
// Threads and locking: skill_market holds the market mutex for the whole build (a second caller waits and gets the
// cached list); inside it the catalog's and the tree cache's mutexes are taken and released in turn. The SKILL.md
// files of one source are fetched by at most 8 threads at once, all of them joined before the list is read or an
// error passed on. Callers must not hold agent_state.agent_mutex.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "connectors/skill_folder.h"
#include "connectors/skill_github.h"

// The last list built and when (steady clock). Empty (null list) until the first successful build.
struct skill_market_cache {
    std::mutex mutex;
    nlohmann::json list;                              // [mutex]
    std::chrono::steady_clock::time_point stored_at;  // [mutex]
};

// The market list (a copy of the cached one, built anew when the cache is an hour old or empty) from the
// "skill_sources" of load_connector_catalog() (no sources when it has none). Throws std::runtime_error with the
// collected error texts (each followed by a space) when no skill was found and at least one source failed; nothing
// is cached then. The process-wide cache and catalog unless others are given.
nlohmann::json skill_market();
nlohmann::json skill_market(skill_market_cache& cache, const std::function<nlohmann::json()>& load_catalog);

// One build of the list from `sources` (elements of "skill_sources": "repo", "path", "branch", "by", "license"),
// without the cache: the entries of every source in order, and in `errors` each failing source's text followed by a
// space. Never throws for a source's failure.
nlohmann::json collect_skill_market(const nlohmann::json& sources, std::string& errors);

// Fills slots[index] with the market entry of folders[index] of the source `source` parsed as `link`, fetching its
// SKILL.md (at most 16384 bytes) from the raw-file host; a failed fetch gives the folder's name and an empty
// description. Never throws.
void skill_market_fetch_thread(size_t index, const std::vector<std::string>& folders, const github_link& link,
                               std::vector<nlohmann::json>& slots, const nlohmann::json& source);

// Copies of the market entries, each with "installed": whether one of `installed` has a folder named exactly as
// the entry's "folder" (find_skills).
nlohmann::json mark_installed_skills(const nlohmann::json& market, const std::vector<skill_info>& installed);
