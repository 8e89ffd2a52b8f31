#include "platform/socket_io.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

void address_of(const sockaddr_storage& addr, socklen_t len, std::string& ip, int& port) {
    ip.clear();
    port = 0;
    if (addr.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
    else if (addr.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
    else
        return;
    char host[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
        ip = host;
}

}  // namespace

int wait_socket(int sock, bool for_write, long timeout_ms) {
    pollfd pfd{sock, short(for_write ? POLLOUT : POLLIN), 0};
    int rc;
    do {
        rc = poll(&pfd, 1, int(timeout_ms < 0 ? 0 : timeout_ms));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return -1;
    if (rc == 0) return 0;
    // A hang-up or error still lets the next read or write report it.
    return 1;
}

ssize_t socket_receive(int sock, char* data, size_t size) {
    ssize_t n;
    do {
        n = recv(sock, data, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t socket_send(int sock, const char* data, size_t size) {
    ssize_t n;
    do {
        n = send(sock, data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool socket_peer_alive(int sock) {
    const int ready = wait_socket(sock, false, 0);
    if (ready == 0) return true;
    if (ready < 0) return false;
    char byte;
    return recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

void socket_addresses(int sock, std::string& remote_ip, int& remote_port, std::string& local_ip, int& local_port) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    remote_ip.clear();
    remote_port = 0;
    local_ip.clear();
    local_port = 0;
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0) address_of(addr, len, remote_ip, remote_port);
    len = sizeof addr;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0) address_of(addr, len, local_ip, local_port);
}

void drain_and_close_socket(int sock) {
    shutdown(sock, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    char buf[4096];
    for (size_t total = 0; total < (size_t(1) << 20);) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || wait_socket(sock, false, long(left)) <= 0) break;
        const ssize_t n = socket_receive(sock, buf, sizeof buf);
        if (n <= 0) break;
        total += size_t(n);
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
}
