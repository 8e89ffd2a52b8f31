#include "common/http_client.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "common/http_url.h"
#include "common/program_version.h"
#include "common/text_helpers.h"

namespace {

thread_local int last_http_error = 0;

constexpr char default_hub_endpoint[] = "https://huggingface.co";
constexpr size_t host_limit = 256;   // units, terminator included, as the URL splitter's buffers
constexpr size_t part_limit = 8192;
constexpr size_t location_limit = 4096;
constexpr int max_redirect_answers = 10; // the 10th redirect answer fails
constexpr size_t error_body_limit = 300;

bool split_url(const std::string& url, url_parts& out) { return split_http_url(url, out, host_limit, part_limit); }

size_t utf16_units(const std::string& text) { return wide_from_utf8(text).size(); }

std::string error_suffix(int code) {
    last_http_error = code;
    return last_error_suffix();
}

// Up to `limit` bytes of the body (what the error texts quote); the rest is never read.
std::string body_head(http_transfer& transfer, size_t limit) {
    std::string body;
    char block[4096];
    while (body.size() < limit) {
        const long n = transfer.read_some(block, sizeof block);
        if (n <= 0) break;
        body.append(block, static_cast<size_t>(n));
    }
    if (body.size() > limit) body.resize(limit);
    return body;
}

std::string host_of(const std::string& url) {
    url_parts u;
    return split_url(url, u) ? u.host : std::string();
}

} // namespace

http_session::http_session() {
    http_transport_options options;
    // The same user agent as the Windows program on purpose, although this build runs on Linux: the Hub, GitHub and
    // web sites answer by it, and servers that expect this agent (or count it) treat every copy of Mivra alike.
    options.user_agent = std::string("Mozilla/5.0 (Windows NT 10.0; Win64; x64) Mivra/") + program_version;
    if (const char* ca = std::getenv("MIVRA_CA_FILE")) options.extra_ca_file = ca;
    try {
        transport = std::make_unique<http_transport>(options);
    } catch (const std::exception&) {
        throw std::runtime_error("libcurl init failed");
    }
    if (const char* token = std::getenv("HF_TOKEN")) {
        hub_token = token;
    } else if (const char* old_token = std::getenv("HUGGING_FACE_HUB_TOKEN")) {
        hub_token = old_token;
    }
    const char* endpoint = std::getenv("HF_ENDPOINT");
    hub_endpoint = endpoint && endpoint[0] ? endpoint : default_hub_endpoint;
    while (!hub_endpoint.empty() && hub_endpoint.back() == '/') hub_endpoint.pop_back();
    hub_host = host_of(hub_endpoint);
}

bool is_hub_host(const std::string& host, const std::string& hub) {
    if (hub.empty()) return false;
    if (host == hub) return true;
    return host.size() > hub.size() + 1 && host.compare(host.size() - hub.size(), hub.size(), hub) == 0 &&
           host[host.size() - hub.size() - 1] == '.';
}

http_request http_get(http_session& session, std::string& url, uint64_t offset, const std::string& extra_headers,
                      bool allow_http, const std::string& origin_headers) {
    const std::vector<std::string> extra = header_block_lines(extra_headers);
    const std::vector<std::string> secret = header_block_lines(origin_headers);
    url_parts origin;
    for (int redirect_answers = 0;;) {
        url_parts u;
        if (!split_url(url, u)) throw std::runtime_error("bad URL " + url);
        if (redirect_answers == 0) origin = u;
        if (u.scheme != "https" && (!allow_http || u.scheme != "http")) {
            throw std::runtime_error("refusing non-HTTPS URL " + url);
        }
        std::vector<std::string> lines;
        if (is_hub_host(u.host, session.hub_host) && !session.hub_token.empty()) {
            lines.push_back("Authorization: Bearer " + session.hub_token);
        }
        if (offset > 0) lines.push_back("Range: bytes=" + std::to_string(offset) + "-");
        lines.insert(lines.end(), extra.begin(), extra.end());
        if (u.scheme == origin.scheme && u.host == origin.host && u.port == origin.port) {
            lines.insert(lines.end(), secret.begin(), secret.end());
        }

        auto transfer = std::make_unique<http_transfer>(*session.transport, transport_url(u), lines);
        if (!transfer->ready()) throw std::runtime_error("cannot open request" + error_suffix(transfer->error_code()));
        if (!transfer->wait_for_head()) {
            throw std::runtime_error("request to " + u.host + " failed" + error_suffix(transfer->error_code()));
        }
        const long status = transfer->status();
        if (status == 200 || status == 206) return http_request{std::move(transfer), static_cast<uint32_t>(status)};

        if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
            std::string location;
            if (!transfer->header("Location", location) || utf16_units(location) >= location_limit) {
                throw std::runtime_error("redirect without Location");
            }
            if (!location.empty() && location[0] == '/') {
                const bool http = u.scheme == "http";
                const bool default_port = u.port == (http ? 80u : 443u);
                url = (http ? "http://" : "https://") + (u.ipv6 ? "[" + u.host + "]" : u.host) +
                      (default_port ? std::string() : ":" + std::to_string(u.port)) + location;
            } else {
                url = location;
            }
            transfer.reset();
            if (++redirect_answers == max_redirect_answers) throw std::runtime_error("too many redirects");
            continue;
        }

        const std::string body = body_head(*transfer, error_body_limit);
        if ((status == 401 || status == 403) && is_hub_host(u.host, session.hub_host)) {
            throw std::runtime_error("HTTP " + std::to_string(status) +
                                     ": no such repo, or it is private/gated (then set HF_TOKEN to a Hugging Face "
                                     "access token)");
        }
        if (status == 404) throw std::runtime_error("HTTP 404, not found: " + url);
        throw std::runtime_error("HTTP " + std::to_string(status) + " from " + u.host + ": " + body);
    }
}

long read_response_some(http_request& request, char* buffer, size_t capacity) {
    if (!request.transfer) return 0;
    const long n = request.transfer->read_some(buffer, capacity);
    if (n < 0) last_http_error = request.transfer->error_code();
    return n;
}

std::string read_response_body(http_request& request) {
    std::string body;
    std::vector<char> block(65536);
    for (;;) {
        const long n = read_response_some(request, block.data(), block.size());
        if (n <= 0) break;
        body.append(block.data(), static_cast<size_t>(n));
    }
    return body;
}

int last_error_code() { return last_http_error; }

std::string last_error_suffix() { return " (error " + std::to_string(last_http_error) + ")"; }

bool http_get_text(const std::string& url, std::string& body, std::string& error) {
    try {
        http_session session;
        std::string current = url;
        http_request request = http_get(session, current, 0, "", false);
        body = read_response_body(request);
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

bool http_get_capped(const std::string& url, const std::string& headers, std::string& body, std::string& error,
                     size_t max_bytes, const std::string& origin_headers) {
    try {
        http_session session;
        std::string current = url;
        http_request request = http_get(session, current, 0, headers, true, origin_headers);
        body.clear();
        std::vector<char> block(65536);
        while (body.size() < max_bytes) {
            const long n = read_response_some(request, block.data(), block.size());
            if (n <= 0) break;
            body.append(block.data(), static_cast<size_t>(n));
        }
        if (body.size() > max_bytes) body.resize(max_bytes);
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}
