#include "platform/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int set_exclusive_address(int sock) {
    const int one = 1;
    return setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

bool port_can_be_bound(const std::string& host, int32_t port) {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0) return true;
    set_exclusive_address(sock);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const std::string text = host == "localhost" ? "127.0.0.1" : host;
    if (inet_pton(AF_INET, text.c_str(), &addr.sin_addr) != 1) addr.sin_addr.s_addr = htonl(INADDR_ANY);
    const int rc = bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    close(sock);
    return rc == 0;
}
