#include "platform/instance_lock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// The socket address for `path`; false when the path does not fit.
bool local_address(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

}  // namespace

instance_lock_result acquire_instance_lock(const std::string& path) {
    instance_lock_result result;
    file_descriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid()) return result;
    int rc;
    while ((rc = ::flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc == 0) {
        result.outcome = lock_outcome::acquired;
        result.lock = std::move(fd);
    } else if (errno == EWOULDBLOCK) {
        result.outcome = lock_outcome::held_elsewhere;
    }
    return result;
}

file_descriptor listen_local_socket(const std::string& path) {
    sockaddr_un address;
    if (!local_address(path, address)) return {};
    file_descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return {};
    ::unlink(path.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return {};
    // Connecting needs write permission on the socket file; the umask never grants it to others, and this takes
    // it from the group as well (the process-wide umask is not touched: other threads may be creating files).
    ::chmod(path.c_str(), 0600);
    if (::listen(fd.get(), 8) != 0) return {};
    return fd;
}

bool send_local_message(const std::string& path, const std::string& message) {
    sockaddr_un address;
    if (!local_address(path, address)) return false;
    file_descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return false;
    timeval limit{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int rc;
    while ((rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address)) != 0 &&
           errno == EINTR) {
    }
    if (rc != 0) return false;
    return write_all(fd.get(), message.data(), message.size());
}

std::string receive_local_message(int listen_fd, size_t max_bytes, int timeout_ms) {
    file_descriptor peer(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!peer.valid()) return {};
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char chunk[256];
    while (text.size() < max_bytes) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{peer.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        const ssize_t n = ::read(peer.get(), chunk, std::min(sizeof chunk, max_bytes - text.size()));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}
