// Reading and writing one connected socket with time limits, for the server's own connection loop
// (server/http_server.h). No state; safe from any thread, one thread per socket at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// Waits until the socket can be read (or written, with `for_write`), at most `timeout_ms` milliseconds (0: only
// looks). Returns 1 when it can, 0 at the time limit, -1 on an error of the socket or the wait. Retries on EINTR.
int wait_socket(int sock, bool for_write, long timeout_ms);

// recv() without flags; n > 0 bytes, 0 when the peer closed, -1 on an error. Retries on EINTR.
ssize_t socket_receive(int sock, char* data, size_t size);
// send() with MSG_NOSIGNAL (a closed peer is an error, never SIGPIPE); the bytes sent or -1. Retries on EINTR.
ssize_t socket_send(int sock, const char* data, size_t size);
// Whether the peer is still connected: nothing to read, or unread bytes waiting (a peek, nothing consumed).
bool socket_peer_alive(int sock);

// The numeric address and port of the peer and of this end ("" and 0 when unknown).
void socket_addresses(int sock, std::string& remote_ip, int& remote_port, std::string& local_ip, int& local_port);

// Ends the connection gracefully: shuts the sending side, reads and drops what the peer still sends for at most
// 100 ms (and 1 MiB), so that closing sends no reset over unread bytes, then closes the socket.
void drain_and_close_socket(int sock);
