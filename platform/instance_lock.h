// One running copy of a program per user: an exclusive lock on a file, held for the life of the process, and a
// local (Unix) socket beside it on which the first copy hears short messages from later ones.
//
// Every descriptor is close-on-exec. The functions keep no state; they may be called from any thread, but the
// listening descriptor is meant to be served by one thread (the one that runs the program's main loop).
#pragma once

#include <string>

#include "platform/files.h"

enum class lock_outcome {
    acquired,         // this process holds the lock now
    held_elsewhere,   // another process holds it
    failed,           // the file could not be opened or locked for another reason
};

struct instance_lock_result {
    lock_outcome outcome = lock_outcome::failed;
    file_descriptor lock;  // open (and locked) only when `outcome` is acquired; keep it for the process's life
};

// Opens (creating with mode 0600) the file at `path` and takes flock(LOCK_EX | LOCK_NB) on it. The lock goes
// with the descriptor: it is released when the descriptor is closed or the process ends, however it ends.
instance_lock_result acquire_instance_lock(const std::string& path);

// Binds a listening stream socket at `path` (a file left by an earlier process is removed first: call this only
// while holding the instance lock), mode 0600, non-blocking. Invalid on failure (a path longer than a socket
// address holds, a folder that cannot be written).
file_descriptor listen_local_socket(const std::string& path);

// Connects to the socket at `path`, writes `message` and closes. False when nothing listens there or the write
// fails. Waits at most about a second in all.
bool send_local_message(const std::string& path, const std::string& message);

// Accepts one waiting connection on `listen_fd` (from listen_local_socket) and reads what the peer writes until it
// closes, at most `max_bytes` bytes and at most `timeout_ms` in all. "" when no connection was waiting.
std::string receive_local_message(int listen_fd, size_t max_bytes, int timeout_ms);
