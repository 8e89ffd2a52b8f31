// Concurrent streams on a real `serve` (mivra-test-server, scripted output): with one slot the waiting stream gets
// keep-alive comments, with two slots both streams advance together, and a client that goes away ends its request
// without leaving anything behind (in an ASan build the live server is checked for leaks).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "serve_process.h"

using json = nlohmann::json;

namespace {

// The events of several streams in the order the client received them.
class event_log {
public:
    void add(int stream, const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back({stream, event});
        cv_.notify_all();
    }
    // Index in the log of the first (or last) event of `stream` that satisfies `pred`; -1 when none.
    template <typename Pred>
    int find(int stream, Pred pred, bool last = false) const {
        std::lock_guard<std::mutex> lock(mutex_);
        int found = -1;
        for (size_t i = 0; i < events_.size(); ++i) {
            if (events_[i].first != stream || !pred(events_[i].second)) continue;
            found = int(i);
            if (!last) break;
        }
        return found;
    }
    template <typename Pred>
    bool wait_for(int stream, Pred pred) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(120), [&] {
            for (const auto& e : events_)
                if (e.first == stream && pred(e.second)) return true;
            return false;
        });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::pair<int, std::string>> events_;
};

bool is_content(const std::string& event) { return event.find("\"content\":") != std::string::npos; }
bool is_ping(const std::string& event) { return event == ": ping"; }
bool is_done(const std::string& event) { return event == "[DONE]"; }

std::string stream_body(const std::string& script, int max_tokens) {
    return json({{"messages", json::array({{{"role", "user"}, {"content", script}}})},
                 {"stream", true},
                 {"max_tokens", max_tokens}})
        .dump();
}

// Posts a streamed request and logs its events as they arrive. After `keep` content events the client hangs up
// (negative: reads to the end). Returns whether the transfer completed.
bool run_stream(const serve_process& server, int stream, const std::string& body, event_log& log, int keep = -1) {
    std::string pending;
    int contents = 0;
    auto res = server.client()->Post("/v1/chat/completions", {}, body, "application/json",
                                     [&](const char* data, size_t size) {
                                         pending.append(data, size);
                                         for (size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
                                             std::string e = pending.substr(0, end);
                                             pending.erase(0, end + 2);
                                             if (e.starts_with("data: ")) e.erase(0, 6);
                                             if (is_content(e)) ++contents;
                                             log.add(stream, e);
                                         }
                                         return keep < 0 || contents < keep;
                                     });
    return bool(res);
}

// The generated-token count of the statistics line of `id`, or -1 when it has not been printed.
int generated_tokens(const std::string& err, const std::string& id) {
    const size_t line = err.find("request " + id + ": ");
    if (line == std::string::npos) return -1;
    const size_t end = err.find(" generated", line);
    const size_t start = err.rfind(' ', end - 1) + 1;
    return std::stoi(err.substr(start, end - start));
}

}  // namespace

TEST(Streams, WaitingStreamGetsKeepAlives) {
    serve_process server(serve_options{});  // -np 1
    event_log log;
    std::thread first([&] { EXPECT_TRUE(run_stream(server, 1, stream_body("[[loop:tick ]]", 400), log)); });
    ASSERT_TRUE(log.wait_for(1, is_content));
    std::thread second([&] { EXPECT_TRUE(run_stream(server, 2, stream_body("[[script:done]]", 50), log)); });

    // The health route answers while the generation runs.
    auto health = server.client()->Get("/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->body, "{\"status\":\"ok\"}");

    first.join();
    second.join();
    const int ping = log.find(2, is_ping);
    ASSERT_GE(ping, 0) << "the waiting stream got no keep-alive";
    EXPECT_LT(ping, log.find(2, is_content));
    EXPECT_LT(ping, log.find(1, is_content, true));  // it came while the first stream was still generating
    EXPECT_GE(log.find(1, is_done), 0);
    EXPECT_GE(log.find(2, is_done), 0);
    EXPECT_TRUE(server.wait_for_err("request chatcmpl-2: "));
    EXPECT_EQ(generated_tokens(server.err(), "chatcmpl-1"), 400);
}

TEST(Streams, TwoSlotsAdvanceTogether) {
    serve_options o;
    o.n_parallel = 2;
    serve_process server(o);
    event_log log;
    std::thread first([&] { EXPECT_TRUE(run_stream(server, 1, stream_body("[[loop:one ]]", 600), log)); });
    ASSERT_TRUE(log.wait_for(1, is_content));
    std::thread second([&] { EXPECT_TRUE(run_stream(server, 2, stream_body("[[loop:two ]]", 600), log)); });
    first.join();
    second.join();
    // The second stream produced text before the first one had finished its own.
    EXPECT_LT(log.find(2, is_content), log.find(1, is_content, true));
    EXPECT_TRUE(server.wait_for_err("request chatcmpl-2: "));
    EXPECT_EQ(generated_tokens(server.err(), "chatcmpl-1"), 600);
    EXPECT_EQ(generated_tokens(server.err(), "chatcmpl-2"), 600);
}

// A streamed request whose client hangs up ends early and frees its slot; a plain request runs to its end even so.
TEST(Streams, ClientThatGoesAwayEndsItsRequest) {
    serve_options o;
    o.stdin_pipe = true;
    serve_process server(o);
    event_log log;
    EXPECT_FALSE(run_stream(server, 1, stream_body("[[loop:tick ]]", 1500), log, 5));
    ASSERT_TRUE(server.wait_for_err("request chatcmpl-1: "));
    const int generated = generated_tokens(server.err(), "chatcmpl-1");
    EXPECT_GE(generated, 5);
    EXPECT_LT(generated, 1500);

    // The slot is free again.
    auto next = server.client()->Post("/v1/chat/completions", stream_body("[[script:ok]]", 10), "application/json");
    ASSERT_TRUE(next);
    EXPECT_NE(next->body.find("data: [DONE]"), std::string::npos);

    // A plain request keeps generating after its client timed out.
    auto impatient = server.client();
    impatient->set_read_timeout(std::chrono::milliseconds(20));
    const std::string plain =
        json({{"messages", json::array({{{"role", "user"}, {"content", "[[loop:tick ]]"}}})}, {"max_tokens", 300}})
            .dump();
    EXPECT_FALSE(impatient->Post("/v1/chat/completions", plain, "application/json"));
    ASSERT_TRUE(server.wait_for_err("request chatcmpl-3: "));
    EXPECT_EQ(generated_tokens(server.err(), "chatcmpl-3"), 300);

#if defined(__SANITIZE_ADDRESS__)
    server.send_line("leak-check");
    for (int i = 0; i < 600 && server.out().find("leak-check") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(server.out(), "leak-check 0\n") << server.err();
#endif
}

// As many streams as slots run at once: each of 16 clients gets text before the first of them has finished, so no
// stream waits for a free HTTP worker behind the others.
TEST(Streams, EverySlotServesAStreamAtOnce) {
    constexpr int n = 16;
    serve_options o;
    o.n_parallel = n;
    serve_process server(o);
    event_log log;
    std::vector<std::thread> clients;
    for (int i = 0; i < n; ++i)
        clients.emplace_back([&, i] {
            EXPECT_TRUE(run_stream(server, i, stream_body("[[loop:client " + std::to_string(i) + " ]]", 100), log));
        });
    for (auto& c : clients) c.join();
    int first_done = -1;
    for (int i = 0; i < n; ++i) {
        const int done = log.find(i, is_done);
        ASSERT_GE(done, 0) << i;
        first_done = first_done < 0 ? done : std::min(first_done, done);
    }
    for (int i = 0; i < n; ++i) EXPECT_LT(log.find(i, is_content), first_done) << "stream " << i << " waited";
}
