// The connector catalog: the list of ready-made MCP connectors that can be added with one request, each saying
// which runtime it needs ("node" for npx, "python" for uvx), which command and arguments start it, which environment
// variables it gets and which values (a folder, a token) the user supplies.
//
// The document ("format" "mivra-connectors-1", "connectors", "skill_sources") comes from MIVRA_CONNECTORS when that
// is set and not empty, else from the Hub dataset file (HF_ENDPOINT, default https://huggingface.co, +
// "/datasets/Pellbrook1/mivra-catalog/resolve/main/connectors.json"). A source beginning with "https://" is fetched;
// anything else is read as a local file (so an "http://" source is tried as a file name and fails). Whatever cannot
// be used (unreachable, unreadable, not JSON, wrong "format", no "connectors") gives the built-in catalog. The
// result, good or not, is cached for one hour.
//
// Threads and locking: the process-wide cache has a mutex of its own, held through the fetch, so concurrent callers
// wait for one load and then share its document. Callers must not hold agent_mutex (the fetch may take long), and
// when the skill market's cache lock is also taken, it is taken before this one. The other functions use only their
// arguments and are safe from any thread.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

// The built-in catalog as JSON text: 21 connectors and one skill source.
extern const char* const default_connector_catalog_text;

// A catalog document with the time it was stored (steady clock). Empty (null document) until the first load.
struct connector_catalog_cache {
    std::mutex mutex;
    nlohmann::json document;  // [mutex]
    std::chrono::steady_clock::time_point stored_at;  // [mutex]
};

// The source of the catalog: MIVRA_CONNECTORS when set and not empty, else the Hub dataset address.
std::string connector_catalog_source();

// The catalog document read from `source` (never throws: the built-in catalog when the source cannot be used).
nlohmann::json read_connector_catalog(const std::string& source);

// A copy of the cached document when it is less than an hour old, else reads connector_catalog_source() into the
// cache first. Never fails on a bad or unreachable source. The process-wide cache unless another is given.
nlohmann::json load_connector_catalog();
nlohmann::json load_connector_catalog(connector_catalog_cache& cache);

// A copy of the first element of the catalog's "connectors" (array elements, or an object's member values) whose
// "id" equals `id` byte for byte. Throws std::runtime_error
// "no connector \"<id>\" in the list; use find_connectors to see what there is" when there is none.
nlohmann::json find_catalog_connector(const std::string& id);
nlohmann::json find_catalog_connector(const nlohmann::json& catalog, const std::string& id);

// The settings entry ("mcpServers" member) made from a catalog entry and the user's values (field key -> string;
// anything but an object counts as no values): {"command", "args", "market": the entry's id} and "env" when the
// entry has one with members, every argument and environment value filled by fill_catalog_fields. Throws the errors
// of fill_catalog_fields, and nlohmann::json's errors for a malformed entry (no "command", a non-string argument or
// environment value).
nlohmann::json connector_from_catalog(const nlohmann::json& entry, const nlohmann::json& values);

// `text` with each placeholder "{KEY}" of the entry's "fields" that occurs in it replaced by the user's value for
// KEY, trimmed of spaces, tabs, CR and LF. Throws std::runtime_error "needs <label> (\"<key>\")" when that value is
// missing or blank, and "<label>: no such folder: <value>" when a field of kind "folder" names no existing folder.
// A value holding its own placeholder is inserted once, not expanded again.
std::string fill_catalog_fields(const nlohmann::json& entry, const nlohmann::json& values, const std::string& text);
