#include "cli/parse_number.h"

#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <stdexcept>

int32_t parse_i32(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(begin, &end, 10);
    if (end == begin) throw std::invalid_argument("invalid stoi argument");
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) throw std::out_of_range("stoi argument out of range");
    return static_cast<int32_t>(v);
}

uint64_t parse_u64(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(begin, &end, 10);
    if (end == begin) throw std::invalid_argument("invalid stoull argument");
    const char* p = begin;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    // strtoull negates "-5" into a huge value; a size option must not wrap around.
    if (errno == ERANGE || (*p == '-' && v != 0)) throw std::out_of_range("stoull argument out of range");
    return v;
}

float parse_f32(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(begin, &end);
    if (end == begin) throw std::invalid_argument("invalid stof argument");
    if (errno == ERANGE) throw std::out_of_range("stof argument out of range");
    return v;
}
