// Outgoing HTTP requests over libcurl, shaped after WinHTTP's synchronous model: start a request, wait for the
// head of the response, then pull the body in pieces of the caller's size.
//
// Redirects are never followed here; the caller sees every 3xx answer with its Location. Proxies come from the
// usual environment variables (https_proxy, http_proxy, all_proxy, no_proxy) unless a request asks to go direct;
// certificates are checked against the system's CA store plus, when given, one extra CA file. TLS 1.2 is the
// lowest version offered.
//
// Time limits as WinHTTP's: connecting (name resolution and TLS handshake included) at most connect_timeout_ms;
// while the request body is being sent, a stall of more than send_timeout_ms; once it is sent, a wait of more than
// receive_timeout_ms for the next bytes of the head or the body. Each fails the transfer with
// CURLE_OPERATION_TIMEDOUT.
//
// Error codes are libcurl's CURLcode numbers (7: cannot connect, 28: timed out, 35 and 60: TLS failures,
// 18 and 56: connection ended or broken during the body, 42: stopped because the caller no longer wanted it ...).
//
// Threads: an http_transport and its transfers are used by one thread at a time; different transports may be used
// by different threads at once.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct http_transport_options {
    std::string user_agent;
    std::string extra_ca_file; // PEM file of certificates trusted besides the system's; empty for none
    long connect_timeout_ms = 30000;
    long send_timeout_ms = 30000;
    long receive_timeout_ms = 60000;
};

// What one request sends.
struct http_request_spec {
    std::string method = "GET";            // any method but HEAD
    std::string url;                       // absolute http or https URL with only valid URL characters
    std::vector<std::string> header_lines; // extra request header lines, without line ends
    std::string body;                      // sent (with its length) unless the method is GET and the body empty
    bool direct = false;                   // never through a proxy (for addresses of this machine)
    // When set, asked at most every 100 ms while the transfer waits for the head or for body bytes; false ends the
    // transfer with CURLE_ABORTED_BY_CALLBACK. Called on the thread that waits.
    std::function<bool()> still_wanted;
};

// The connections and name lookups that the transfers of one session share (kept alive between requests).
class http_transport {
public:
    explicit http_transport(http_transport_options options); // throws std::runtime_error when libcurl fails
    ~http_transport();
    http_transport(const http_transport&) = delete;
    http_transport& operator=(const http_transport&) = delete;

    const http_transport_options& options() const { return options_; }
    void* share_handle() const { return share_; }

private:
    http_transport_options options_;
    void* share_ = nullptr;
};

// One request and its response.
class http_transfer {
public:
    // Prepares the request. Nothing is sent until wait_for_head.
    http_transfer(http_transport& transport, http_request_spec spec);
    // Prepares a GET of `url` (an absolute http or https URL with only valid URL characters) with the given extra
    // request header lines (without line ends).
    http_transfer(http_transport& transport, const std::string& url, const std::vector<std::string>& header_lines);
    ~http_transfer();
    http_transfer(const http_transfer&) = delete;
    http_transfer& operator=(const http_transfer&) = delete;

    // True when the handles could be created and set up; otherwise error_code() tells why.
    bool ready() const;

    // Sends the request and waits for the status line and headers of the final (non-1xx) response. False when the
    // transfer failed before that (error_code() tells why).
    bool wait_for_head();

    long status() const;
    // The value of a header of the response (case-blind name, surrounding blanks removed); false when absent.
    bool header(std::string_view name, std::string& value) const;

    // Reads up to `capacity` body bytes into `buffer`, waiting until at least one is there. Returns the count read,
    // 0 when the body has ended, or -1 when the transfer failed (error_code() tells why). Bytes that arrived before
    // a failure are returned first.
    long read_some(char* buffer, size_t capacity);

    int error_code() const;

    struct state;

private:
    std::unique_ptr<state> state_;
};
