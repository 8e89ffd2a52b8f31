// The few socket calls the server makes itself (the HTTP library owns its listening socket and connections).
// No state; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

// Sets SO_REUSEADDR to 1 on the socket and nothing else: on Linux the HTTP library's default would add
// SO_REUSEPORT, which lets a second server share the port. Returns setsockopt's result (0 on success).
int set_exclusive_address(int sock);

// Whether an IPv4 TCP socket with SO_REUSEADDR can be bound to `host`:`port` now ("localhost" probes 127.0.0.1, a
// text that is no dotted IPv4 address probes the any address). True when no socket can be made at all, so that
// the real bind reports the problem. The probe socket is closed before returning.
bool port_can_be_bound(const std::string& host, int32_t port);
