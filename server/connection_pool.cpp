#include "server/connection_pool.h"

#include <chrono>
#include <system_error>
#include <thread>

connection_pool::connection_pool(size_t idle_threads, size_t max_threads)
    : idle_threads_(idle_threads), max_threads_(max_threads < 1 ? 1 : max_threads) {}

connection_pool::~connection_pool() { shutdown(); }

bool connection_pool::enqueue(std::function<void()> fn) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (shutdown_ || jobs_.size() >= max_threads_) return false;
    jobs_.push_back(std::move(fn));
    // Every queued job needs an idle thread of its own; one that was only notified still counts as idle until it
    // takes its job, so this compares like with like.
    if (jobs_.size() > idle_ && threads_ < max_threads_) {
        try {
            std::thread([this] { worker(); }).detach();
            ++threads_;
        } catch (const std::system_error&) {
            // No thread to be had now: the job waits for a running one.
        }
    }
    cv_.notify_one();
    return true;
}

void connection_pool::shutdown() {
    std::unique_lock<std::mutex> lock(mutex_);
    shutdown_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return threads_ == 0; });
}

void connection_pool::worker() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++idle_;
        const bool woken = cv_.wait_for(lock, std::chrono::seconds(3), [this] { return !jobs_.empty() || shutdown_; });
        --idle_;
        if (jobs_.empty()) {
            // Beyond the threads kept, an idle thread ends after a while; all end at shutdown.
            if (shutdown_ || (!woken && idle_ >= idle_threads_)) break;
            continue;
        }
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
    }
    --threads_;
    cv_.notify_all();
}
