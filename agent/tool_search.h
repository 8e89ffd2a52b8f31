// The word match of find_connectors and find_skills.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// True when the query is empty, or when one of its words (split at white space, ASCII letters compared without
// case) occurs in the compact JSON text of `entry` (member names included). A query of white space only matches
// nothing.
bool matches_any_word(const nlohmann::json& entry, const std::string& query);
