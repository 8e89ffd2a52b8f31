#include "agent/tool_arguments.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/file_helpers.h"

using nlohmann::json;

std::string required_text(const json& arguments, const std::string& key) {
    return json_string_required(arguments, key);
}

std::string optional_text(const json& arguments, const std::string& key, const std::string& fallback) {
    return arguments.value(key, fallback);
}

bool optional_flag(const json& arguments, const std::string& key, bool fallback) {
    return arguments.value(key, fallback);
}

int64_t optional_integer(const json& arguments, const std::string& key, int64_t fallback) {
    if (!arguments.is_object()) return arguments.value(key, fallback);  // the library's "cannot use value() with"
    const auto it = arguments.find(key);
    if (it == arguments.end()) return fallback;
    constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
    constexpr int64_t highest = std::numeric_limits<int64_t>::max();
    if (it->is_number_unsigned()) {
        const uint64_t value = it->get<uint64_t>();
        return value > static_cast<uint64_t>(highest) ? highest : static_cast<int64_t>(value);
    }
    if (it->is_number_float()) {
        const double value = std::trunc(it->get<double>());
        if (std::isnan(value)) return 0;
        if (value <= -9.2233720368547758e18) return lowest;
        if (value >= 9.2233720368547758e18) return highest;
        return static_cast<int64_t>(value);
    }
    return it->get<int64_t>();  // an integer; anything else throws the library's type error
}

int64_t clamp_integer(int64_t value, int64_t low, int64_t high) { return std::clamp(value, low, high); }
