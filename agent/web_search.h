// The agent's web search: the Brave Search API when the user has stored a key, otherwise DuckDuckGo's lite result
// page read as HTML. Never one after the other: a failed Brave search is an error.
//
// The services' addresses can be moved (tests point them at a server of their own):
//   MIVRA_BRAVE_SEARCH_URL   scheme, host and port of the Brave Search API, default "https://api.search.brave.com"
//   MIVRA_DUCKDUCKGO_URL     scheme, host and port of the lite page, default "https://lite.duckduckgo.com"
// The paths ("/res/v1/web/search", "/lite/") and query keys are fixed.
//
// Threads: any thread, several at once; nothing is shared and no lock is held. The caller copies the key out of
// the settings (under agent_mutex) before calling.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

struct web_search_services {
    std::string brave_api_key; // the setting "brave_api_key"; "" searches DuckDuckGo
    std::string brave_url;     // without a trailing '/'
    std::string duckduckgo_url;
};

// The key given, the addresses from the environment (read now; a variable that is unset or "" gives the default;
// trailing '/' removed).
web_search_services web_search_services_from_environment(const std::string& brave_api_key);

// The web_search result: {"engine": "brave" | "duckduckgo", "results": [{"title", "url", "snippet"} ...]} and,
// when DuckDuckGo gave nothing usable, "note". Throws std::runtime_error "Brave Search: " + the client's error, or
// "search failed: " + the client's error; a Brave reply that is not JSON or not shaped as expected throws the JSON
// library's exception.
nlohmann::json run_web_search(const std::string& query, const web_search_services& services);
