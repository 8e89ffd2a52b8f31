#include "engine/runtime/read_gate.h"

read_gate& gate() {
    static read_gate g;
    return g;
}

extern "C" long mivra_read_hook(uint64_t offset, uint64_t length) { return gate().on_read(offset, length); }

void read_gate::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
}

void read_gate::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
    cv_.notify_all();
}

void read_gate::wait_held(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return held_ >= n; });
}

std::vector<uint64_t> read_gate::log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void read_gate::set_fault(std::function<long(uint64_t, uint64_t)> fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = std::move(fault);
}

void read_gate::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
    log_.clear();
    fault_ = nullptr;
    cv_.notify_all();
}

long read_gate::on_read(uint64_t offset, uint64_t length) {
    std::unique_lock<std::mutex> lock(mutex_);
    log_.push_back(offset);
    if (closed_) {
        ++held_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return !closed_; });
        --held_;
    }
    return fault_ ? fault_(offset, length) : static_cast<long>(length);
}
