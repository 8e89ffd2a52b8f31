#include "common/text_helpers.h"

#include <cctype>
#include <random>

namespace {

constexpr char16_t replacement_char = 0xFFFD;

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void append_utf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// Percent-encodes one byte string; `space` is what a space becomes.
void encode_bytes(std::string& out, std::string_view text, const char* space) {
    static const char digits[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (unreserved(c)) {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += space;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
}

constexpr char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_index(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

} // namespace

std::string utf8_from_wide(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            append_utf8(out, replacement_char);
        } else {
            append_utf8(out, u);
        }
    }
    return out;
}

std::u16string wide_from_utf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b0 = s[i];
        if (b0 < 0x80) {
            out += static_cast<char16_t>(b0);
            ++i;
            continue;
        }
        // Length of the sequence and the range its second byte must fall in (excludes overlongs and surrogates).
        size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) len = 2;
        else if (b0 == 0xE0) len = 3, lo = 0xA0;
        else if (b0 >= 0xE1 && b0 <= 0xEC) len = 3;
        else if (b0 == 0xED) len = 3, hi = 0x9F;
        else if (b0 >= 0xEE && b0 <= 0xEF) len = 3;
        else if (b0 == 0xF0) len = 4, lo = 0x90;
        else if (b0 >= 0xF1 && b0 <= 0xF3) len = 4;
        else if (b0 == 0xF4) len = 4, hi = 0x8F;
        if (len == 0) {
            out += replacement_char;
            ++i;
            continue;
        }
        char32_t cp = b0 & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
        size_t k = 1;
        for (; k < len; ++k) {
            if (i + k >= n) break;
            const unsigned char b = s[i + k];
            const unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
            if (b < min || b > max) break;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (k == len) {
            append_utf16(out, cp);
        } else {
            out += replacement_char; // the maximal subpart s[i, i+k) is replaced as one
        }
        i += k;
    }
    return out;
}

std::string random_hex_id() {
    static const char digits[] = "0123456789abcdef";
    std::random_device device;
    std::string id;
    id.reserve(32);
    for (int i = 0; i < 32; ++i) id += digits[device() & 15];
    return id;
}

std::string base64_encode(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        out += base64_alphabet[v >> 18];
        out += base64_alphabet[(v >> 12) & 63];
        out += base64_alphabet[(v >> 6) & 63];
        out += base64_alphabet[v & 63];
    }
    if (size - i == 1) {
        const unsigned v = p[i] << 16;
        out += base64_alphabet[v >> 18];
        out += base64_alphabet[(v >> 12) & 63];
        out += "==";
    } else if (size - i == 2) {
        const unsigned v = (p[i] << 16) | (p[i + 1] << 8);
        out += base64_alphabet[v >> 18];
        out += base64_alphabet[(v >> 12) & 63];
        out += base64_alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string base64_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    unsigned accumulator = 0;
    int pending = 0;
    for (unsigned char c : text) {
        const int index = base64_index(c);
        if (index < 0) continue;
        accumulator = ((accumulator << 6) | static_cast<unsigned>(index)) & 0xFFFFFF;
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            out += static_cast<char>((accumulator >> pending) & 0xFF);
        }
    }
    return out;
}

std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else if (c == '+') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string query_encode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    encode_bytes(out, text, "+");
    return out;
}

std::string encode_url_path(std::string_view text) {
    std::string out;
    for (const std::string& part : split_slash(text)) {
        if (!out.empty()) out += '/';
        encode_bytes(out, part, "%20");
    }
    return out;
}

std::string cut_middle(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    const size_t half = limit / 2;
    return text.substr(0, half) + "\n[... " + std::to_string(text.size() - 2 * half) + " characters cut ...]\n" +
           text.substr(text.size() - half);
}

bool glob_match(std::string_view pattern, std::string_view name) {
    auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    constexpr size_t none = static_cast<size_t>(-1);
    size_t p = 0, n = 0, star = none, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '?') {
            ++p, ++n;
        } else if (p < pattern.size() && lower(pattern[p]) == lower(name[n])) {
            ++p, ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (star == none) {
            return false;
        } else {
            n = ++mark;
            p = star + 1;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool contains_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

std::vector<std::string> split_slash(std::string_view text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < text.size()) {
        const size_t slash = text.find('/', start);
        if (slash == std::string_view::npos) {
            parts.emplace_back(text.substr(start));
            break;
        }
        parts.emplace_back(text.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

void split_slash_nonempty(std::string_view text, std::vector<std::string>& parts) {
    for (std::string& part : split_slash(text)) {
        if (!part.empty()) parts.push_back(std::move(part));
    }
}
