// The HTTP server's task queue: one thread per connection being served, started as soon as a connection finds no
// idle thread, so a connection never waits behind others that are slow (the library's own pool starts a thread only
// when no thread looks idle, and a burst of connections can leave later ones queued behind slow ones).
//
// Threads and locking: `mutex_` guards every member below it; `cv_` wakes idle threads for a job or the shutdown,
// and wakes shutdown() when the last thread ends. enqueue() is called by the listening thread, shutdown() once by it
// after the accept loop.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "httplib.h"

class connection_pool final : public httplib::TaskQueue {
public:
    // Keeps up to `idle_threads` threads waiting between connections; runs at most `max_threads` at once, and
    // queues at most as many more connections beyond those (enqueue refuses the rest).
    connection_pool(size_t idle_threads, size_t max_threads);
    ~connection_pool() override;
    connection_pool(const connection_pool&) = delete;
    connection_pool& operator=(const connection_pool&) = delete;

    bool enqueue(std::function<void()> fn) override;
    // Lets queued jobs finish, then waits until every thread has ended.
    void shutdown() override;

private:
    void worker();

    const size_t idle_threads_;
    const size_t max_threads_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;  // [mutex_]
    size_t threads_ = 0;                      // [mutex_] running threads
    size_t idle_ = 0;                         // [mutex_] threads waiting for a job
    bool shutdown_ = false;                   // [mutex_]
};
