// Where the catalog text comes from: an https address fetched with the program's HTTP client, or a local file.
// Used by the catalog and by the update check; both may run on any thread, neither keeps state.
#pragma once

#include <string>

// The Hub's base URL as the HTTP client uses it: HF_ENDPOINT when set and not empty, else
// "https://huggingface.co"; no trailing '/'. Reads the environment, never changes it.
std::string catalog_hub_endpoint();

// GET of an https address with the program's client: true with the whole body, or false with the error text.
// Never throws.
bool fetch_catalog_text(const std::string& url, std::string& body, std::string& error);

// The whole file at `path` (UTF-8); false when it cannot be opened. A read error after opening ends the text
// early. Never throws.
bool read_catalog_file(const std::string& path, std::string& body);
