#include "common/http_url.h"

#include <cctype>

#include "common/text_helpers.h"

namespace {

size_t utf16_units(const std::string& text) { return wide_from_utf8(text).size(); }

// Escapes the bytes that may not stand in a URL as they are (as WinHTTP does by default); '%' is left alone.
std::string escape_request_target(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= ' ' || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}') {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// One part of a dotted IPv4 address: 1 to 3 decimal digits without a leading zero, at most 255.
bool ipv4_part(const std::string& part) {
    if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos) return false;
    if (part.size() > 1 && part[0] == '0') return false;
    return std::stoi(part) <= 255;
}

} // namespace

bool split_http_url(const std::string& url, url_parts& out, size_t host_limit, size_t part_limit) {
    const size_t colon = url.find("://");
    if (colon == std::string::npos) return false;
    std::string scheme = url.substr(0, colon);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http" && scheme != "https") return false;
    const size_t start = colon + 3;
    const size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (const size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    std::string host, port;
    bool ipv6 = false;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        host = authority.substr(1, close - 1);
        const std::string rest = authority.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return false;
        if (!rest.empty()) port = rest.substr(1);
        ipv6 = true;
    } else {
        const size_t port_colon = authority.find(':');
        host = authority.substr(0, port_colon);
        if (port_colon != std::string::npos) port = authority.substr(port_colon + 1);
    }
    if (host.empty() || utf16_units(host) >= host_limit) return false;
    for (unsigned char c : host) {
        if (c <= ' ' || c == 0x7F || c == '/' || c == '\\' || c == '?' || c == '#' || c == '@') return false;
    }
    unsigned port_number = scheme == "https" ? 443 : 80;
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
        const unsigned long value = std::stoul(port);
        if (value == 0 || value > 65535) return false;
        port_number = static_cast<unsigned>(value);
    }
    std::string rest = end == std::string::npos ? std::string() : url.substr(end);
    if (const size_t hash = rest.find('#'); hash != std::string::npos) rest.erase(hash);
    const size_t question = rest.find('?');
    std::string path = rest.substr(0, question);
    std::string query = question == std::string::npos ? std::string() : rest.substr(question);
    if (utf16_units(path) >= part_limit || utf16_units(query) >= part_limit) return false;
    out.scheme = scheme;
    out.host = host;
    out.ipv6 = ipv6;
    out.port = port_number;
    out.path = path;
    out.query = query;
    return true;
}

std::string transport_url(const url_parts& u) {
    const std::string host = u.ipv6 ? "[" + u.host + "]" : u.host;
    const std::string object = u.path.empty() ? "/" + u.query : u.path + u.query;
    return u.scheme + "://" + host + ":" + std::to_string(u.port) + escape_request_target(object);
}

bool is_loopback_host(const std::string& host) {
    if (host == "::1") return true;
    if (host.size() == 9) {
        std::string lower = host;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "localhost") return true;
    }
    std::string parts[4];
    size_t count = 0, start = 0;
    for (;;) {
        const size_t dot = host.find('.', start);
        if (count == 4) return false;
        parts[count++] = host.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (count != 4 || parts[0] != "127") return false;
    for (const std::string& part : parts) {
        if (!ipv4_part(part)) return false;
    }
    return true;
}

std::vector<std::string> header_block_lines(const std::string& block) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < block.size()) {
        size_t end = block.find('\n', start);
        if (end == std::string::npos) end = block.size();
        std::string line = block.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}
