// The outgoing GET client: fetches a URL, follows redirects itself, sends the Hugging Face access token only to the
// Hub's hosts, can resume from a byte offset, and turns every failure into one std::runtime_error with a text for
// the user. Built on platform/http_transport.h (libcurl).
//
// Environment, read when a session is made:
//   HF_TOKEN, else HUGGING_FACE_HUB_TOKEN   the Hub token (a variable set to "" counts as set)
//   HF_ENDPOINT                             the Hub's base URL, default "https://huggingface.co"; its host is the
//                                           Hub host that receives the token (exactly, or any subdomain of it)
//   MIVRA_CA_FILE                           a PEM file of certificates to trust besides the system's CA store
//   https_proxy, http_proxy, no_proxy ...   as libcurl reads them
//
// Threads: a session and its requests belong to one thread at a time; every thread may have its own. The
// convenience calls http_get_text and http_get_capped make a session per call and may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/http_transport.h"

// Owns the transport of a series of requests (connections are kept for reuse) and the Hub token.
struct http_session {
    // Throws std::runtime_error "libcurl init failed" when no transport can be made.
    http_session();
    http_session(const http_session&) = delete;
    http_session& operator=(const http_session&) = delete;

    std::unique_ptr<http_transport> transport;
    std::string hub_token;    // empty when none was found
    std::string hub_endpoint; // the Hub's base URL without a trailing '/'
    std::string hub_host;     // the host of hub_endpoint
};

// One GET whose status was 200 or 206 and whose body is still to be read.
struct http_request {
    std::unique_ptr<http_transfer> transfer;
    uint32_t status = 0;
};

// True when `host` is the Hub host or a subdomain of it (byte for byte, case included).
bool is_hub_host(const std::string& host, const std::string& hub);

// GETs `url` (UTF-8), following up to 9 redirects (301, 302, 303, 307, 308) by hand; `url` then holds the URL finally
// fetched. offset > 0 asks for the bytes from there on ("Range: bytes=offset-", asked again after a redirect).
// extra_headers: request header lines, each ended by "\r\n" (may be empty). Plain http:// is refused, on every hop,
// unless allow_http. Returns with status 200 or 206; throws std::runtime_error otherwise:
//   "bad URL " + url, "refusing non-HTTPS URL " + url, "cannot open request (error N)",
//   "request to " + host + " failed (error N)", "redirect without Location", "too many redirects",
//   "HTTP 401: no such repo, or it is private/gated (then set HF_TOKEN to a Hugging Face access token)" (also 403;
//   Hub hosts only), "HTTP 404, not found: " + url, "HTTP " + status + " from " + host + ": " + first 300 body bytes.
// Error numbers are libcurl's codes (see platform/http_transport.h).
// origin_headers: header lines like extra_headers (sent after them) that carry a secret for the first URL's
// service: they go only with requests to the first URL's scheme, host and port, never to a host (or scheme or port)
// that a redirect leads to.
http_request http_get(http_session& session, std::string& url, uint64_t offset, const std::string& extra_headers,
                      bool allow_http, const std::string& origin_headers = "");

// Reads up to `capacity` body bytes: the count read, 0 at the end of the body, -1 when the connection failed (the
// code is then the thread's last error, see last_error_code). Waits until at least one byte is there.
long read_response_some(http_request& request, char* buffer, size_t capacity);

// The whole remaining body, read in 64 KiB blocks; a failing read ends it without an error.
std::string read_response_body(http_request& request);

// The calling thread's last HTTP error code, and " (error N)" made of it.
int last_error_code();
std::string last_error_suffix();

// HTTPS only: the whole body of `url` into `body` and true; on any failure the error text into `error` and false
// (`body` then left as it was). Never throws.
bool http_get_text(const std::string& url, std::string& body, std::string& error);

// http and https: at most `max_bytes` bytes of the body of `url` into `body` and true (reaching the cap is not an
// error); `headers` are extra request header lines, each ended by "\r\n". On failure the error text into `error`
// and false. Never throws. origin_headers as for http_get: kept from every host but the first URL's.
bool http_get_capped(const std::string& url, const std::string& headers, std::string& body, std::string& error,
                     size_t max_bytes, const std::string& origin_headers = "");
