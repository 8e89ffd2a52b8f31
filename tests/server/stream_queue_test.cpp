// The queue between a stream's generation and its client, in process with real threads: everything written reaches
// the client in order; a client that is gone, or that takes nothing while the queue stays full, makes the next write
// fail; and the writer never waits for the client.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "server/stream_queue.h"

using std::chrono::milliseconds;

namespace {

// The client side: a sink whose writes go to `received`, fail when `gone`, and wait while `blocked`.
struct test_client {
    std::string received;
    bool done = false;
    std::atomic<bool> gone{false};
    std::atomic<bool> blocked{false};
    httplib::DataSink sink;

    test_client() {
        sink.write = [this](const char* data, size_t size) {
            while (blocked) std::this_thread::sleep_for(milliseconds(5));
            if (gone) return false;
            received.append(data, size);
            return true;
        };
        sink.done = [this] { done = true; };
    }
};

std::string event(int i) { return "data: {\"n\":" + std::to_string(i) + "}\n\n"; }

}  // namespace

TEST(StreamQueue, EverythingWrittenArrivesInOrder) {
    test_client client;
    std::string sent;
    const bool result = run_queued_stream(client.sink, [&](httplib::DataSink& queued) {
        for (int i = 0; i < 5000; ++i) {
            sent += event(i);
            EXPECT_TRUE(queued.write(event(i).data(), event(i).size()));
        }
        queued.done();
        return true;
    });
    EXPECT_TRUE(result);
    EXPECT_TRUE(client.done);
    EXPECT_EQ(client.received, sent);
}

// The writer (the engine's piece callback) must never wait for the client: while the client takes nothing, the
// writes return at once, until the queue has been full for longer than its limit; then they fail, as for a client
// that went away, and the body is not ended.
TEST(StreamQueue, AClientThatTakesNothingFailsTheWritesWithoutHoldingTheWriter) {
    test_client client;
    client.blocked = true;
    std::thread release([&] {
        std::this_thread::sleep_for(milliseconds(1500));
        client.blocked = false;
    });
    int accepted = 0;
    double longest_write = 0;
    const auto start = std::chrono::steady_clock::now();
    const bool result = run_queued_stream(
        client.sink,
        [&](httplib::DataSink& queued) {
            for (int i = 0; i < 200; ++i) {
                const auto t = std::chrono::steady_clock::now();
                const std::string e(1000, 'x');
                if (!queued.write(e.data(), e.size())) break;
                longest_write =
                    std::max(longest_write, std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
                ++accepted;
                std::this_thread::sleep_for(milliseconds(2));  // a token at a time
            }
            queued.done();
            return true;
        },
        16 * 1024, milliseconds(200));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    release.join();
    EXPECT_FALSE(result);
    EXPECT_FALSE(client.done);
    EXPECT_LT(accepted, 200);                  // the writes failed once the queue stayed full
    EXPECT_GE(accepted, 16);                   // not before it was full
    EXPECT_LT(longest_write, 0.05);            // and none of them waited for the client
    EXPECT_LT(client.received.size(), 70000u); // what got through is bounded by the queue
    EXPECT_GE(seconds, 1.4);                   // the client's stuck write was waited for by its own worker only
}

// A failed write to the client (it went away) fails the next write of the generation.
TEST(StreamQueue, AClientThatWentAwayFailsTheNextWrite) {
    test_client client;
    client.gone = true;
    int accepted = 0;
    const bool result = run_queued_stream(client.sink, [&](httplib::DataSink& queued) {
        for (int i = 0; i < 100 && queued.write(event(i).data(), event(i).size()); ++i) {
            ++accepted;
            std::this_thread::sleep_for(milliseconds(5));
        }
        queued.done();
        return true;
    });
    EXPECT_FALSE(result);
    EXPECT_FALSE(client.done);
    EXPECT_LT(accepted, 100);
}
