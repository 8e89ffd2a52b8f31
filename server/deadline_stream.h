// One server connection as the HTTP library's stream, with a deadline on reading: the request being read must have
// arrived by then, however its bytes trickle in. Each single wait is also bounded by the read or write time-out.
// Used by one thread (the connection's) at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "httplib.h"

class deadline_stream final : public httplib::Stream {
public:
    deadline_stream(socket_t sock, std::chrono::milliseconds read_timeout, std::chrono::milliseconds write_timeout);

    // From now on reads fail once `limit` has passed from this moment.
    void set_read_deadline(std::chrono::milliseconds limit);
    // Whether the last failed read failed because the deadline had passed.
    bool deadline_passed() const;

    bool is_readable() const override;
    bool wait_readable() const override;
    bool wait_writable() const override;
    bool is_peer_alive() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return sock_; }
    time_t duration() const override;
    void set_read_timeout(time_t sec, time_t usec) override;
    const char* buffered_data(size_t& size) const override;
    void consume_buffered(size_t size) override;

private:
    using clock = std::chrono::steady_clock;

    socket_t sock_;
    std::chrono::milliseconds read_timeout_;
    std::chrono::milliseconds write_timeout_;
    clock::time_point start_ = clock::now();
    clock::time_point deadline_ = clock::time_point::max();
    std::vector<char> buffer_ = std::vector<char>(4096);
    size_t buffer_begin_ = 0;
    size_t buffer_end_ = 0;
};
