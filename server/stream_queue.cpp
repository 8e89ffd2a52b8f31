#include "server/stream_queue.h"

#include <exception>
#include <thread>

stream_queue::stream_queue(size_t capacity, std::chrono::milliseconds full_limit)
    : capacity_(capacity), full_limit_(full_limit) {}

bool stream_queue::push(const char* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (pending_.size() >= capacity_) {
        if (full_since_ == std::chrono::steady_clock::time_point{}) full_since_ = now;
        if (now - full_since_ >= full_limit_ || pending_.size() + size > 4 * capacity_) {
            closed_ = true;
            pending_.clear();
            cv_.notify_all();
            return false;
        }
    }
    pending_.append(data, size);
    cv_.notify_all();
    return true;
}

void stream_queue::mark_done() {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
}

void stream_queue::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    cv_.notify_all();
}

void stream_queue::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    pending_.clear();
    cv_.notify_all();
}

bool stream_queue::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

bool stream_queue::drain_into(const std::function<bool(const char*, size_t)>& write) {
    std::string batch;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [&] { return finished_ || !pending_.empty(); });
        if (pending_.empty()) return done_ && !closed_;  // finished, and everything sent
        batch.swap(pending_);
        pending_.clear();
        if (pending_.capacity() > capacity_) pending_.shrink_to_fit();
        full_since_ = {};
        lock.unlock();
        const bool ok = write(batch.data(), batch.size());
        batch.clear();
        lock.lock();
        if (!ok) {
            closed_ = true;
            pending_.clear();
        }
    }
}

bool run_queued_stream(httplib::DataSink& sink, const std::function<bool(httplib::DataSink&)>& provider,
                       size_t capacity, std::chrono::milliseconds full_limit) {
    stream_queue queue(capacity, full_limit);
    httplib::DataSink queued;
    queued.write = [&queue](const char* data, size_t size) { return queue.push(data, size); };
    queued.is_writable = [&queue] { return !queue.closed(); };
    queued.done = [&queue] { queue.mark_done(); };

    bool result = false;
    std::exception_ptr error;
    std::thread producer([&] {
        try {
            result = provider(queued);
        } catch (...) {
            error = std::current_exception();
        }
        queue.finish();
    });
    const bool end_body = queue.drain_into([&sink](const char* data, size_t size) { return sink.write(data, size); });
    producer.join();
    if (end_body) sink.done();
    if (error) std::rethrow_exception(error);
    // A body that could not be ended (the client went away or stayed full too long) must not make the library call
    // the provider again.
    return end_body && result;
}
