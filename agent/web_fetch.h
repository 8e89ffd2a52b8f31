// The agent's page fetch: one address over http or https, turned into readable text.
//
// Threads: any thread, several at once; no state, no lock.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// {"text": the readable text, "url": url as given}. The body (read up to 3 MiB, the rest dropped) counts as HTML
// when it holds "<html", "<HTML", "<!DOCTYPE" or "<!doctype" anywhere: then html_to_text with a limit of 20000
// bytes; any other body is cut in the middle to 20000 bytes (cut_middle). Throws std::runtime_error "the address
// must start with http:// or https://" (scheme compared exactly, letter case included), or the HTTP client's error
// text unchanged.
nlohmann::json fetch_url_text(const std::string& url);
