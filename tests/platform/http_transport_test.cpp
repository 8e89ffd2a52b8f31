// Requests with a method and a body through the HTTP transport, against servers on 127.0.0.1: what a server
// receives, a body that the server stops taking (the send limit, not the receive limit, ends it), and a caller
// that stops wanting the answer while the server is silent.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "httplib.h"
#include "platform/http_transport.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A socket on 127.0.0.1 that accepts one connection and then neither reads nor writes until it is destroyed.
class silent_peer {
public:
    silent_peer() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            throw std::runtime_error("silent peer: cannot listen");
        }
        port_ = ntohs(addr.sin_port);
    }
    ~silent_peer() { close(listener_); }
    silent_peer(const silent_peer&) = delete;
    silent_peer& operator=(const silent_peer&) = delete;
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    int listener_ = -1;  // connections wait in its backlog, accepted by the kernel, never read
    int port_ = 0;
};

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

}  // namespace

TEST(HttpTransport, MethodsAndBodies) {
    std::signal(SIGPIPE, SIG_IGN);
    httplib::Server server;
    const auto echo = [](const httplib::Request& req, httplib::Response& res) {
        std::string seen = req.method + " " + req.get_header_value("Content-Length") + " " +
                           req.get_header_value("Content-Type") + " [" + req.get_header_value("Expect") + "] " +
                           req.body;
        res.set_content(seen, "text/plain");
    };
    server.Post("/echo", echo);
    server.Put("/echo", echo);
    server.Get("/echo", echo);
    server.Delete("/echo", echo);
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    server.wait_until_ready();

    http_transport transport(http_transport_options{"test", "", 5000, 5000, 5000});
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/echo";
    const std::string big(3 << 20, 'b');  // past the size at which libcurl would ask to continue first
    struct row {
        std::string method, body, expected;
    };
    const row rows[] = {
        {"POST", R"({"a":1})", R"(POST 7 application/json [] {"a":1})"},
        {"POST", "", "POST 0 application/json [] "},
        {"PUT", "put body", "PUT 8 application/json [] put body"},
        {"DELETE", "", "DELETE 0 application/json [] "},
        {"GET", "", "GET   [] "},
        {"POST", big, "POST " + std::to_string(big.size()) + " application/json [] " + big},
    };
    for (const row& r : rows) {
        http_request_spec spec;
        spec.method = r.method;
        spec.url = url;
        spec.body = r.body;
        if (r.method != "GET") spec.header_lines = {"Content-Type: application/json"};
        http_transfer transfer(transport, spec);
        ASSERT_TRUE(transfer.ready());
        ASSERT_TRUE(transfer.wait_for_head()) << r.method << " " << transfer.error_code();
        EXPECT_EQ(transfer.status(), 200);
        std::string answer;
        char block[65536];
        for (long n; (n = transfer.read_some(block, sizeof block)) > 0;) answer.append(block, static_cast<size_t>(n));
        EXPECT_EQ(answer.size(), r.expected.size()) << r.method;
        EXPECT_TRUE(answer == r.expected) << r.method << ": " << answer.substr(0, 80);
    }
    server.stop();
    serving.join();
}

// A peer that stops taking the body: the send limit (here 0.3 s) ends the transfer, long before the receive limit.
TEST(HttpTransport, AStalledBodyEndsAtTheSendLimit) {
    silent_peer peer;
    http_transport transport(http_transport_options{"test", "", 5000, 300, 60000});
    http_request_spec spec;
    spec.method = "POST";
    spec.url = peer.url();
    spec.body.assign(64 << 20, 'x');  // more than the socket buffers of both sides hold
    http_transfer transfer(transport, spec);
    const auto start = clock_type::now();
    EXPECT_FALSE(transfer.wait_for_head());
    EXPECT_EQ(transfer.error_code(), 28);
    EXPECT_LT(seconds_since(start), 30.0);
}

// A caller that no longer wants the answer ends the wait within about 0.1 s of saying so.
TEST(HttpTransport, ACallerThatStopsWantingEndsTheWait) {
    silent_peer peer;
    http_transport transport(http_transport_options{"test", "", 5000, 5000, 60000});
    std::atomic<bool> wanted{true};
    http_request_spec spec;
    spec.method = "POST";
    spec.url = peer.url();
    spec.body = "{}";
    spec.still_wanted = [&] { return wanted.load(); };
    http_transfer transfer(transport, spec);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        wanted = false;
    });
    const auto start = clock_type::now();
    EXPECT_FALSE(transfer.wait_for_head());
    later.join();
    EXPECT_EQ(transfer.error_code(), 42);
    EXPECT_LT(seconds_since(start), 30.0);
}
