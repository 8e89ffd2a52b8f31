// Number parsing of option values with fixed error texts, whatever the C++ runtime would say.
// Leading white space is skipped, the longest number is read and the rest of the text is ignored ("12x" is 12).
#pragma once

#include <cstdint>
#include <string>

// Base-10 int32. No digits: std::invalid_argument "invalid stoi argument"; outside int32:
// std::out_of_range "stoi argument out of range".
int32_t parse_i32(const std::string& text);
// Base-10 uint64 ("invalid stoull argument", "stoull argument out of range"); a negative value is out of range.
uint64_t parse_u64(const std::string& text);
// Decimal or exponent float ("invalid stof argument", "stof argument out of range"). Expects the "C" numeric
// locale, which main sets.
float parse_f32(const std::string& text);
