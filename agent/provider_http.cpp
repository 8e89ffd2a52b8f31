#include "agent/provider_http.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include "common/http_url.h"
#include "common/program_version.h"
#include "platform/http_transport.h"

namespace {

constexpr size_t block_size = 16384;
constexpr size_t host_limit = 256; // UTF-16 units with the terminating null, as the address splitter's buffers
constexpr size_t part_limit = 4096;

constexpr long connect_timeout_ms = 30000; // name resolution and connecting, 15 s each
constexpr long send_timeout_ms = 30000;
constexpr long receive_timeout_ms = 600000;

constexpr int code_not_resolved = 6;
constexpr int code_cannot_connect = 7;
constexpr int code_timed_out = 28;

} // namespace

std::string provider_connection_error(int code, const std::string& host, bool secure) {
    switch (code) {
    case code_not_resolved:
        return "cannot find " + host + " (offline, or a wrong address?)";
    case code_cannot_connect:
        return "cannot connect to " + host + (secure ? "" : " (is that program running?)");
    case code_timed_out:
        return "no answer from " + host + " in time";
    default:
        return "connection to " + host + " failed (" + std::to_string(code) + ")";
    }
}

int stream_http_request(const std::string& method, const std::string& url, const std::string& headers,
                        const std::string& body, const body_block_handler& on_block, std::string& error,
                        int* status_out, const std::function<bool()>& still_wanted) {
    url_parts parts;
    if (!split_http_url(url, parts, host_limit, part_limit)) {
        error = "not a valid address: " + url;
        return 0;
    }
    const bool secure = parts.scheme == "https";

    std::unique_ptr<http_transport> transport;
    try {
        http_transport_options options;
        options.user_agent = std::string("Mivra/") + program_version;
        if (const char* ca = std::getenv("MIVRA_CA_FILE")) options.extra_ca_file = ca;
        options.connect_timeout_ms = connect_timeout_ms;
        options.send_timeout_ms = send_timeout_ms;
        options.receive_timeout_ms = receive_timeout_ms;
        transport = std::make_unique<http_transport>(std::move(options));
    } catch (const std::exception&) {
        error = "cannot open a connection";
        return 0;
    }

    http_request_spec spec;
    spec.method = method;
    spec.url = transport_url(parts);
    spec.header_lines = header_block_lines(headers);
    spec.body = body;
    spec.direct = is_loopback_host(parts.host);
    spec.still_wanted = still_wanted;
    http_transfer transfer(*transport, std::move(spec));
    if (!transfer.ready()) {
        error = "cannot connect to " + parts.host;
        return 0;
    }
    if (!transfer.wait_for_head()) {
        error = provider_connection_error(transfer.error_code(), parts.host, secure);
        return 0;
    }
    const int status = static_cast<int>(transfer.status());
    if (status_out) *status_out = status;

    std::vector<char> block(block_size);
    for (;;) {
        const long n = transfer.read_some(block.data(), block.size());
        if (n <= 0 || !on_block(block.data(), static_cast<size_t>(n))) break;
    }
    return status;
}
