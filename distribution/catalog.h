// The model catalog: the list of models that `start` offers, read from the Hub, another HTTPS address or a local
// file, with a built-in fallback so there is always something to offer; and the dotted-version comparison used for
// its version fields.
//
// Everything here runs on the thread of the command that calls it; `catalog_update_info` has no lock and is written
// and read only by that thread (the start command).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// One model of the catalog.
struct catalog_entry {
    std::string id;
    std::string name;
    std::string repo;       // Hugging Face repository "owner/name" of the pack
    std::string about;      // one-line description, may be empty
    std::string min_mivra = "0";  // oldest program version that runs the model
    double download_gb = 0;
    double min_ram_gb = 0;  // 0: not stated
    bool recommended = false;
};

// The catalog's "mivra" object (the note about the newest program) as last read by load_catalog; null until then.
extern nlohmann::json catalog_update_info;

// The catalog built into the program.
extern const char* const default_catalog_text;

// The catalog's default address on the Hub (the Hub that HF_ENDPOINT names, as for downloads).
std::string default_catalog_source();

// Fetches an https address: true with the body, or false with an error text. Never throws.
using catalog_fetcher = std::function<bool(const std::string& url, std::string& body, std::string& error)>;

// Parses a catalog text (a leading UTF-8 byte order mark is ignored). Throws std::runtime_error
// "unknown catalog format" when "format" is not "mivra-catalog-1" and "catalog lists no models" when no entry
// passes the id and repo rules; JSON errors (syntax, missing "models", a value of the wrong type in an entry that
// is read, an element that is not an object) pass unchanged. Entries with a bad id or repo are skipped.
std::vector<catalog_entry> parse_catalog(std::string text);

// The catalog from MIVRA_CATALOG when that variable is set, else from the default address. Never fails, never
// returns an empty list and prints nothing: any failure gives the built-in catalog. On success the catalog's
// "mivra" object, when it is one, becomes catalog_update_info.
std::vector<catalog_entry> load_catalog();

// load_catalog with the source and the fetcher given: a source that begins with "https://" is fetched, anything
// else is read as a file path.
std::vector<catalog_entry> load_catalog_from(const std::string& source, const catalog_fetcher& fetch);

// -1 when version a is older than b, 0 when they are equal, 1 when a is newer. Fields are split at '.', each read
// as its leading decimal integer (white space and a sign allowed, no digits gives 0); a missing field counts 0.
int compare_versions(const std::string& a, const std::string& b);
