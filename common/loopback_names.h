// What counts as this machine's loopback address in a bind host, a Host header and an Origin header. Shared by the
// guard of the API routes (server/loopback_guard.h) and the agent backend's request guard, so that both accept the
// same pages. Pure functions; safe from any thread.
#pragma once

#include <string>

// Whether a --host text is a loopback address: "localhost", "::1" or a dotted IPv4 address in 127.0.0.0/8.
bool is_loopback_bind_host(const std::string& host);

// Whether a Host header names this server by a loopback name: "localhost", "127.0.0.1" or "[::1]" (the name
// compared without regard to case), alone or followed by ":<port>".
bool is_loopback_host_header(const std::string& host, int port);

// Whether an Origin header is absent (empty) or a loopback origin of this server: "http://localhost:<port>",
// "http://127.0.0.1:<port>" or "http://[::1]:<port>" (without regard to case). "null" (sandboxed pages, local files)
// is a browser origin like any other, and fails.
bool is_loopback_origin(const std::string& origin, int port);
