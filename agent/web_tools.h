// The tool executor's entries for the two web tools: each reads its arguments as the executor's rules ask and
// returns the tool's result unchanged; errors pass through as exceptions whose text is meant for the model.
//
// Threads: the HTTP worker thread of the tool call; several at once. Neither takes agent_mutex: the executor copies
// the Brave Search key out of the settings under it and passes the copy.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// web_search: "query" required (a string; else `missing "query"`); searches with the key given (the setting
// "brave_api_key", "" when unset) and the services' addresses from the environment (see web_search.h).
nlohmann::json web_search_tool(const nlohmann::json& arguments, const std::string& brave_api_key);

// fetch_url: "url" required (a string; else `missing "url"`).
nlohmann::json fetch_url_tool(const nlohmann::json& arguments);
