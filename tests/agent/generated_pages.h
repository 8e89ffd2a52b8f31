// Small pages made of random runs of fragments, for comparing a scanner with the regular expression it stands for.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

// `count` pages, each of 0 to max_fragments fragments drawn from `fragments`, the same for the same seed.
inline std::vector<std::string> generated_pages(const std::vector<std::string>& fragments, size_t count,
                                                uint32_t seed, size_t max_fragments = 24) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<size_t> length(0, max_fragments);
    std::uniform_int_distribution<size_t> pick(0, fragments.size() - 1);
    std::vector<std::string> pages;
    for (size_t i = 0; i < count; ++i) {
        std::string page;
        for (size_t n = length(random); n > 0; --n) page += fragments[pick(random)];
        pages.push_back(page);
    }
    return pages;
}

// The text with control bytes shown, for failure messages.
inline std::string visible(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            static const char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
