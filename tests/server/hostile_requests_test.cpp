// A real `serve` (mivra-test-server, scripted output) against requests an attacker would send: bodies nested deep in
// any member, large bodies, clients that never read, connections that send a byte at a time, and requests from web
// pages under a foreign Host or Origin. After each, the server is still up and GET /health answers within a second.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "serve_process.h"

using json = nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

// A server that answers a large body early (413) and closes may do so while a client still writes it: that must be
// an error on the write, not the end of the test program.
const bool sigpipe_ignored = [] { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

// Nests `inner` (a JSON text) inside `levels` objects.
std::string nested(size_t levels, const std::string& inner = "1") {
    std::string text;
    text.reserve(levels * 6 + inner.size());
    for (size_t i = 0; i < levels; ++i) text += "{\"a\":";
    return text + inner + std::string(levels, '}');
}

// A chat body with `member` (a JSON text) added at the end of the body's object; its script answers "ok", or as
// `content` says.
std::string chat_with(const std::string& member, const std::string& content = "[[script:ok]]") {
    return R"({"messages":[{"role":"user","content":")" + content + R"("}],"max_tokens":4)" +
           (member.empty() ? "" : "," + member) + "}";
}

// GET /health on a fresh connection answers {"status":"ok"} within a second.
void expect_health_within_a_second(const serve_process& server) {
    httplib::Client c("127.0.0.1", server.port());
    c.set_connection_timeout(std::chrono::seconds(1));
    c.set_read_timeout(std::chrono::seconds(1));
    c.set_write_timeout(std::chrono::seconds(1));
    const auto start = steady_clock::now();
    auto res = c.Get("/health");
    const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
    ASSERT_TRUE(res) << "no answer from /health: " << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, R"({"status":"ok"})");
    EXPECT_LT(took, milliseconds(1000));
}

// A client connection of its own making: a small receive buffer, bytes sent when the test says, nothing read unless
// asked. Closed when it goes.
class raw_connection {
public:
    explicit raw_connection(int port, int receive_buffer = 4096) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(uint16_t(port));
        if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~raw_connection() {
        if (fd_ >= 0) close(fd_);
    }
    raw_connection(const raw_connection&) = delete;
    raw_connection& operator=(const raw_connection&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send_text(const std::string& text) const {
        return fd_ >= 0 && ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    }
    // Reads until the server closes the connection or 5 s pass; everything received.
    std::string read_reply() const {
        std::string out;
        char buf[4096];
        const auto end = steady_clock::now() + std::chrono::seconds(5);
        while (steady_clock::now() < end) {
            const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0) break;
            if (n > 0) {
                out.append(buf, size_t(n));
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) break;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return out;
    }
    // Whether the server has closed the connection (reads and drops what is waiting, without blocking).
    bool closed_by_server() const {
        char buf[4096];
        for (;;) {
            const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0) return true;
            if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
        }
    }

private:
    int fd_ = -1;
};

std::string post_request(int port, const std::string& path, const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

// The whole body is measured before anything parses it: past 128 levels in any member (template arguments, a member
// no route reads) is the nesting error of the dialect; 128 levels and brackets inside strings pass.
TEST(HostileRequests, BodiesNestedPastTheLimitAreRefusedWhateverTheMember) {
    serve_process server(serve_options{});
    const std::string too_deep = "messages or tools nested deeper than 128 levels";
    const std::string brackets(100000, '[');
    const struct {
        std::string path;
        std::string body;
        int status;
    } cases[] = {
        // Before the scan, this one ended the server inside the template engine.
        {"/v1/chat/completions", chat_with(R"("chat_template_kwargs":{"deep":)" + nested(60000) + "}"), 400},
        {"/v1/chat/completions", chat_with(R"("metadata":)" + nested(100000)), 400},
        {"/v1/chat/completions", chat_with(R"("metadata":)" + std::string(200000, '[')), 400},
        {"/v1/chat/completions", chat_with(R"("metadata":)" + nested(127)), 200},  // 128 with the body's object
        {"/v1/chat/completions", chat_with(R"("metadata":)" + nested(128)), 400},
        {"/v1/chat/completions", chat_with(R"("metadata":")" + brackets + R"(\"[")"), 200},
        {"/v1/messages", chat_with(R"("metadata":)" + nested(60000)), 400},
        {"/v1/messages", chat_with(R"("metadata":")" + brackets + R"(")"), 200},
        {"/v1/messages/count_tokens", chat_with(R"("metadata":)" + nested(60000)), 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.body.substr(0, 120));
        auto res = server.client()->Post(c.path, c.body, "application/json");
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, c.status) << res->body;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
        if (c.status == 400) {
            const json error = json::parse(res->body);
            EXPECT_EQ(error["error"]["message"], too_deep) << res->body;
            EXPECT_EQ(error["error"]["type"], "invalid_request_error");
        }
        expect_health_within_a_second(server);
    }
}

// On the loopback address, the API routes answer only requests that name this server by a loopback name in Host
// and come from no page or from one of this server's own pages: a page elsewhere cannot make the model run with a
// simple text/plain POST, nor read replies through a rebound DNS name. The refusal is a JSON 403 in the route's
// dialect, before the body is read; the chat page at "/" is the agent backend's and stays as it was.
TEST(HostileRequests, ForeignHostsAndOriginsAreRefusedOnLoopback) {
    serve_process server(serve_options{});
    const std::string port = std::to_string(server.port());
    const std::string body = chat_with("");
    const struct {
        std::string path;
        httplib::Headers headers;
        int status;
    } cases[] = {
        {"/v1/chat/completions", {{"Host", "rebound.example:" + port}}, 403},
        {"/v1/chat/completions", {{"Host", "127.0.0.1.rebound.example:" + port}}, 403},
        {"/v1/chat/completions", {{"Origin", "http://evil.example"}}, 403},
        {"/v1/chat/completions", {{"Origin", "null"}}, 403},
        {"/v1/chat/completions", {{"Origin", "http://127.0.0.1:3000"}}, 403},
        {"/v1/messages", {{"Origin", "https://evil.example"}}, 403},
        {"/v1/messages/count_tokens", {{"Host", "evil.example"}}, 403},
        {"/v1/models", {{"Host", "evil.example:" + port}}, 403},
        {"/health", {{"Host", "evil.example:" + port}}, 403},
        {"/v1/chat/completions", {}, 200},
        {"/v1/chat/completions", {{"Origin", "http://localhost:" + port}}, 200},
        {"/v1/chat/completions", {{"Origin", "http://127.0.0.1:" + port}, {"Host", "LOCALHOST:" + port}}, 200},
        {"/v1/messages", {{"Host", "localhost:" + port}}, 200},
        {"/v1/models", {{"Host", "[::1]:" + port}}, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + (c.headers.empty() ? "" : c.headers.begin()->first + ": " + c.headers.begin()->second));
        auto client = server.client();
        auto res = c.path == "/health" || c.path == "/v1/models"
                       ? client->Get(c.path, c.headers)
                       : client->Post(c.path, c.headers, body, "text/plain");  // a simple request, as a page sends it
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, c.status) << res->body;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
        if (c.status != 403) continue;
        const json error = json::parse(res->body);
        EXPECT_NE(error["error"]["message"].get<std::string>().find("only requests for 127.0.0.1 or localhost"),
                  std::string::npos);
        EXPECT_EQ(error.contains("type"), c.path.starts_with("/v1/messages")) << res->body;  // the Anthropic form
    }
    // Nothing refused took a request number or ran the model.
    EXPECT_EQ(count_of(server.err(), "request chatcmpl-"), 3) << server.err();
    EXPECT_EQ(count_of(server.err(), "request msg_"), 1) << server.err();

    auto page = server.client()->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
    expect_health_within_a_second(server);
}

// Four clients ask for long streams and never read. The engine writes no socket, so another client's streamed
// 8-token request is served while they stream, and /health answers all along; when they hang up, their requests end
// like those of clients that went away (each with its statistics line, far short of max_tokens). The time of the
// short request is printed (bench/slow_reader_bench.py measures it once every buffer on the way is full).
TEST(HostileRequests, ClientsThatNeverReadDoNotHoldUpOthers) {
    serve_options o;
    o.n_parallel = 8;
    o.n_ctx = 8192;
    serve_process server(o);
    const std::string slow_body =
        json({{"messages", json::array({{{"role", "user"}, {"content", "[[loop:Never read me, a long line. ]]"}}})},
              {"stream", true},
              {"max_tokens", 8000}})
            .dump();
    std::vector<std::unique_ptr<raw_connection>> slow;
    for (int i = 0; i < 4; ++i) {
        slow.push_back(std::make_unique<raw_connection>(server.port()));
        ASSERT_TRUE(slow.back()->send_text(post_request(server.port(), "/v1/chat/completions", slow_body)));
    }
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(milliseconds(250));
        expect_health_within_a_second(server);
    }
    const auto start = steady_clock::now();
    auto res = server.client()->Post("/v1/chat/completions", chat_with(R"("stream":true,"max_tokens":8)", "[[loop:ab]]"),
                                     "application/json");
    const double seconds = std::chrono::duration<double>(steady_clock::now() - start).count();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(count_of(res->body, "[DONE]"), 1);
    std::printf("[slow readers] an 8-token request took %.3f s beside 4 clients that never read\n", seconds);
    ASSERT_TRUE(server.wait_for_err("request chatcmpl-5: ")) << server.err();
    EXPECT_NE(server.err().find(", 8 generated ("), std::string::npos) << server.err();
    const std::string before_hangup = server.err();
    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(before_hangup.find("request chatcmpl-" + std::to_string(i) + ": "), std::string::npos);

    slow.clear();  // they hang up
    EXPECT_TRUE(server.wait_for_err("request chatcmpl-", 5, std::chrono::seconds(30))) << server.err();
    expect_health_within_a_second(server);
    const std::string err = server.err();
    for (int i = 1; i <= 4; ++i) {
        const size_t at = err.find("request chatcmpl-" + std::to_string(i) + ": ");
        ASSERT_NE(at, std::string::npos) << err;
        const std::string line = err.substr(at, err.find('\n', at) - at);
        const size_t generated = line.find(" generated (");
        ASSERT_NE(generated, std::string::npos) << line;
        EXPECT_LT(std::stoi(line.substr(line.rfind(' ', generated - 1) + 1)), 8000) << line;
    }
}

namespace {

// The server's peak resident memory so far, in MB (VmHWM).
long peak_rss_mb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6)) / 1024;
    return -1;
}

// A chat body with `member` holding an array of `count` zeros.
std::string zeros_body(const std::string& member, size_t count) {
    std::string text = "[0";
    text.reserve(count * 2 + 2);
    for (size_t i = 1; i < count; ++i) text += ",0";
    return chat_with("\"" + member + "\":" + text + "]");
}

}  // namespace

// Large bodies at once: each is parsed once, a member that no route reads is never built, and the bodies being read
// and parsed share one budget, so the server's memory stays far below the full trees of the bodies sent at once. A
// body past the limit is refused with a JSON 413 on every route.
TEST(HostileRequests, LargeBodiesAreParsedOnceWithinABudget) {
    serve_process server(serve_options{});
    const long base = peak_rss_mb(server.pid());
    const auto at_once = [&](int count, const std::string& body, int status) {
        std::vector<std::thread> clients;
        for (int i = 0; i < count; ++i)
            clients.emplace_back([&] {
                auto c = server.client();
                c->set_write_timeout(std::chrono::seconds(120));  // a body waits, unread, for room in the budget
                auto res = c->Post("/v1/chat/completions", body, "application/json");
                ASSERT_TRUE(res) << httplib::to_string(res.error());
                EXPECT_EQ(res->status, status) << res->body.substr(0, 300);
            });
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(milliseconds(100));
            expect_health_within_a_second(server);
        }
        for (std::thread& t : clients) t.join();
    };
    // 40 MB of zeros each: a full tree of one is some 600 MB (a value of 16 bytes per 2-byte number, and the
    // array's spare room); before, every body was parsed twice and all of them at once. Only one such body fits in
    // the budget, so the others wait their turn: two bodies whose tree is built (some 5 s each here) keep the last
    // one's wait well inside the server's 30 s on a slow, busy machine, and still show one tree at a time.
    at_once(3, zeros_body("metadata", 20'000'000), 200);
    at_once(2, zeros_body("stop", 20'000'000), 400);  // read, and refused: a stop entry must be a string
    const long peak = peak_rss_mb(server.pid());
    std::printf("[large bodies] peak resident memory %ld MB (%ld MB before the bodies)\n", peak, base);
    EXPECT_LT(peak - base, 1200);

    // Past the limit: a JSON 413 in the route's form, before the body is read.
    raw_connection big(server.port());
    ASSERT_TRUE(big.send_text("POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                              "\r\nContent-Type: application/json\r\nContent-Length: 200000000\r\n\r\n{"));
    const std::string reply = big.read_reply();
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 413 ")) << reply;
    EXPECT_NE(reply.find(R"({"error":{"message":"request body larger than 100 MB","type":"invalid_request_error"}})"),
              std::string::npos)
        << reply;
    expect_health_within_a_second(server);
}

// Connections that send a byte every 2 s, in their headers or in their bodies, thirteen of them beside -np 4: each
// one is closed once its request is late (headers within 10 s of their first byte, a small body within about 10 s
// of the headers), and /health answers within a second all along.
TEST(HostileRequests, SlowSendersAreCutOffAndHealthKeepsAnswering) {
    serve_options o;
    o.n_parallel = 4;
    serve_process server(o);
    const std::string head = post_request(server.port(), "/v1/chat/completions", chat_with(""));
    const size_t header_end = head.find("\r\n\r\n") + 4;
    std::vector<std::unique_ptr<raw_connection>> slow;
    for (int i = 0; i < 13; ++i) {
        slow.push_back(std::make_unique<raw_connection>(server.port()));
        ASSERT_TRUE(slow.back()->connected());
        // Nine trickle their headers, four send the headers at once and trickle the body.
        if (i >= 9) ASSERT_TRUE(slow.back()->send_text(head.substr(0, header_end)));
    }
    const auto start = steady_clock::now();
    size_t sent = 0;
    bool all_closed = false;
    while (!all_closed && steady_clock::now() - start < std::chrono::seconds(16)) {
        for (int i = 0; i < 13; ++i) {
            const size_t at = i < 9 ? sent : header_end + sent;
            slow[size_t(i)]->send_text(head.substr(at, 1));
        }
        ++sent;
        for (int step = 0; step < 4; ++step) {
            std::this_thread::sleep_for(milliseconds(500));
            expect_health_within_a_second(server);
        }
        all_closed = true;
        for (const auto& c : slow) all_closed = all_closed && c->closed_by_server();
    }
    const double seconds = std::chrono::duration<double>(steady_clock::now() - start).count();
    EXPECT_TRUE(all_closed) << "after " << seconds << " s";
    EXPECT_GT(seconds, 9.0);  // not before their time
    // A prompt request still gets its answer.
    auto res = server.client()->Post("/v1/chat/completions", chat_with(""), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}
