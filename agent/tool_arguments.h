// Reading a tool call's arguments, the same way for every tool (the text of each failure goes to the model):
// - a required text: json_string_required (common/file_helpers.h): `missing "key"` when the arguments are not an
//   object, lack the key or hold something other than a string there;
// - an optional value with a default: the default when the key is missing; the JSON library's type error when the
//   key holds a value of another type; the library's "cannot use value() with <type>" when the arguments are not an
//   object at all.
// Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

std::string required_text(const nlohmann::json& arguments, const std::string& key);
std::string optional_text(const nlohmann::json& arguments, const std::string& key, const std::string& fallback);
bool optional_flag(const nlohmann::json& arguments, const std::string& key, bool fallback);

// An optional integer. A number that is not whole is cut toward zero (as the JSON library converts it), and one
// beyond the range of int64 becomes the nearest end of that range, so a clamp after reading always sees the sign
// the model meant (1e300 is large, not undefined).
int64_t optional_integer(const nlohmann::json& arguments, const std::string& key, int64_t fallback);

// `value` clamped to [low, high].
int64_t clamp_integer(int64_t value, int64_t low, int64_t high);
