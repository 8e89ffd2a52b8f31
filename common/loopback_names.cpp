#include "common/loopback_names.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr const char* loopback_names[] = {"localhost", "127.0.0.1", "[::1]"};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool all_digits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Whether `text` is a dotted IPv4 address (four decimal parts up to 255) whose first part is 127.
bool is_ipv4_loopback(const std::string& text) {
    int parts = 0;
    for (size_t at = 0; at <= text.size();) {
        const size_t end = std::min(text.find('.', at), text.size());
        const std::string part = text.substr(at, end - at);
        if (part.empty() || part.size() > 3 || !all_digits(part) || std::stoi(part) > 255) return false;
        if (parts == 0 && part != "127") return false;
        ++parts;
        at = end + 1;
    }
    return parts == 4;
}

}  // namespace

bool is_loopback_bind_host(const std::string& host) {
    return host == "localhost" || host == "::1" || is_ipv4_loopback(host);
}

bool is_loopback_host_header(const std::string& host, int port) {
    const std::string h = lower(host);
    const std::string with_port = ":" + std::to_string(port);
    for (const std::string name : loopback_names)
        if (h == name || h == name + with_port) return true;
    return false;
}

bool is_loopback_origin(const std::string& origin, int port) {
    if (origin.empty()) return true;
    const std::string o = lower(origin);
    for (const std::string name : loopback_names)
        if (o == "http://" + name + ":" + std::to_string(port)) return true;
    return false;
}
