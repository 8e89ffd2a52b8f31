// The provider relay's own HTTP client: one request with any method and a body, whose response body is handed to
// a callback block by block as it arrives, never gathered in memory here. It is separate from the shared GET client
// (common/http_client.h): its own user agent, time limits and error texts, and it follows no redirects, so a key
// sent to the provider's address never travels on to another host.
//
// Time limits: connecting (name resolution included) 30 s, a stalled request body 30 s, and every wait for the
// answer (the first byte of the head included) 600 s. Addresses of this machine go direct, never through a proxy.
// TLS certificates are verified against the system's CA store (plus MIVRA_CA_FILE when set).
//
// Threads: any thread, several requests at once; each request owns its connection. No lock is taken.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Receives one block of the response body (at most 16 KiB); false stops the transfer.
using body_block_handler = std::function<bool(const char* data, size_t length)>;

// Sends `method` to `url` with `headers` (lines each ended by "\r\n"; may be empty) and `body` (sent unless the
// method is GET and the body empty), then reads the body in blocks of at most 16 KiB and hands each to `on_block`
// until the body ends, on_block returns false, or a read fails (a failed read after the head is not reported: the
// body simply ends). The HTTP status is stored in *status_out (when given) before the first block is handed over.
// `still_wanted`, when set, is asked about every 100 ms while waiting; false ends the transfer as on_block's false
// does.
// Returns the status, or 0 when no HTTP answer was received; `error` then holds why:
//   "not a valid address: " + url   (not an http or https address, or a host, path or query too long)
//   "cannot open a connection"
//   "cannot connect to " + host     (the request could not be prepared)
//   or provider_connection_error's text.
int stream_http_request(const std::string& method, const std::string& url, const std::string& headers,
                        const std::string& body, const body_block_handler& on_block, std::string& error,
                        int* status_out, const std::function<bool()>& still_wanted = {});

// The text of a request to `host` (the host name alone, without scheme or port) that got no answer, by the
// transport's error code (platform/http_transport.h):
//   6 (name not resolved)  "cannot find " + host + " (offline, or a wrong address?)"
//   7 (cannot connect)     "cannot connect to " + host, + " (is that program running?)" when not `secure`
//   28 (time-out)          "no answer from " + host + " in time"
//   any other              "connection to " + host + " failed (" + code + ")"
std::string provider_connection_error(int code, const std::string& host, bool secure);
