// The HTTP server of `serve`: cpp-httplib's server, with every connection served under time limits and on a thread
// of its own, so that connections which send slowly or not at all never keep /health (or anything else) waiting.
//
// The library alone limits each single read to 5 s, so a client that sends a byte every 2 s holds its worker for
// ever, and its pool grows only when no thread looks idle at the moment a connection arrives, so a burst of such
// connections leaves later ones queued behind them. Here a request's line and headers must arrive within
// `request_header_time_limit` of its first byte, and its body within `request_body_time_limit` plus one second per
// `request_body_min_rate` bytes of its declared length; a connection past its limit is closed. The pool starts a
// thread for every connection that finds no idle thread, up to `connection_thread_limit`.
//
// Threads and locking
// - The listening thread accepts and hands each connection to the pool; one pool thread serves a connection from its
//   first request to its close. The pool's mutex guards its job list and counts.
// - The deadlines of a connection live in its stream, used only by its own thread.
#pragma once

#include <chrono>
#include <cstddef>

#include "httplib.h"

inline constexpr std::chrono::seconds request_header_time_limit{10};
inline constexpr std::chrono::seconds request_body_time_limit{10};
inline constexpr size_t request_body_min_rate = 256 * 1024;  // bytes per second
inline constexpr size_t connection_thread_limit = 512;

// The body's time limit for a declared length (a chunked body counts as the largest body the routes accept).
std::chrono::milliseconds request_body_time(size_t declared_length);

class bounded_http_server : public httplib::Server {
public:
    // `idle_threads`: threads kept waiting for connections (more are started as connections need them).
    explicit bounded_http_server(size_t idle_threads);

private:
    // Serves one connection like the library does (keep-alive, up to the library's count of requests), through a
    // stream that enforces the request's time limits.
    bool process_and_close_socket(socket_t sock) override;
};
