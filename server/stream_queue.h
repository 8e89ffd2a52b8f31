// The way a streamed reply reaches its client without the engine ever writing to a socket. A stream's provider (the
// generation with its piece callback, which the engine calls on its worker thread) writes its events into a
// bounded queue of bytes; the request's own HTTP worker takes them out and writes them to the client. A client that
// reads slowly or not at all then holds only its own HTTP worker, never the engine and the other requests.
//
// Threads and locking
// - `mutex_` guards every member below it; `cv_` wakes the HTTP worker when bytes arrive or the producer ends.
// - push(), mark_done() and finish() are the producer's (the engine worker and the generating thread, one at a time,
//   ordered by engine::generate); drain_into() is the HTTP worker's. close() may come from either.
// - push() never blocks: the engine's pass over all requests must not wait for one client.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "httplib.h"

// Bytes a stream may have waiting for its client before it counts as full.
inline constexpr size_t stream_queue_capacity = 256 * 1024;
// How long a stream may stay full before its client is treated as gone.
inline constexpr std::chrono::milliseconds stream_queue_full_limit{10000};

class stream_queue {
public:
    explicit stream_queue(size_t capacity = stream_queue_capacity,
                          std::chrono::milliseconds full_limit = stream_queue_full_limit);
    stream_queue(const stream_queue&) = delete;
    stream_queue& operator=(const stream_queue&) = delete;

    // Appends bytes for the client. False once the queue is closed: the client went away (a failed write), or the
    // queue has been full for longer than the limit, or holds four times its capacity. Never blocks.
    bool push(const char* data, size_t size);
    // The producer asked to end the chunked body (DataSink::done).
    void mark_done();
    // The producer has returned; nothing more will be pushed.
    void finish();
    // Refuses every later push.
    void close();
    bool closed() const;

    // Writes queued bytes with `write` (outside the lock) until the producer has finished and the queue is empty.
    // A failed write closes the queue and drops what is left; draining then only waits for the producer to finish.
    // Returns whether the producer asked to end the body and every byte reached the client.
    bool drain_into(const std::function<bool(const char*, size_t)>& write);

private:
    const size_t capacity_;
    const std::chrono::milliseconds full_limit_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::string pending_;                                 // [mutex_] bytes not yet taken by the HTTP worker
    std::chrono::steady_clock::time_point full_since_{};  // [mutex_] when pending_ last reached capacity_; 0: not full
    bool closed_ = false;                                 // [mutex_]
    bool done_ = false;                                   // [mutex_]
    bool finished_ = false;                               // [mutex_]
};

// Runs a stream's provider on a thread of its own with a sink whose writes go through a stream_queue, while the
// calling HTTP worker writes the queued bytes to `sink` (and ends the chunked body when the provider did). Returns
// the provider's result, or false when the body could not be ended (the client went away or stayed full too long);
// an exception of the provider is rethrown here once everything it wrote was sent.
bool run_queued_stream(httplib::DataSink& sink, const std::function<bool(httplib::DataSink&)>& provider,
                       size_t capacity = stream_queue_capacity,
                       std::chrono::milliseconds full_limit = stream_queue_full_limit);
