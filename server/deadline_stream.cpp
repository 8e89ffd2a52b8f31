#include "server/deadline_stream.h"

#include <algorithm>
#include <cstring>

#include "platform/socket_io.h"

using std::chrono::milliseconds;

deadline_stream::deadline_stream(socket_t sock, milliseconds read_timeout, milliseconds write_timeout)
    : sock_(sock), read_timeout_(read_timeout), write_timeout_(write_timeout) {}

void deadline_stream::set_read_deadline(milliseconds limit) { deadline_ = clock::now() + limit; }

bool deadline_stream::deadline_passed() const { return clock::now() >= deadline_; }

bool deadline_stream::is_readable() const { return buffer_begin_ < buffer_end_; }

bool deadline_stream::wait_readable() const {
    const auto now = clock::now();
    if (now >= deadline_) return false;
    const milliseconds left = std::chrono::duration_cast<milliseconds>(deadline_ - now) + milliseconds(1);
    return wait_socket(sock_, false, long(std::min(read_timeout_, left).count())) > 0;
}

bool deadline_stream::wait_writable() const { return wait_socket(sock_, true, long(write_timeout_.count())) > 0; }

bool deadline_stream::is_peer_alive() const { return socket_peer_alive(sock_); }

ssize_t deadline_stream::read(char* ptr, size_t size) {
    if (buffer_begin_ < buffer_end_) {
        const size_t n = std::min(size, buffer_end_ - buffer_begin_);
        std::memcpy(ptr, buffer_.data() + buffer_begin_, n);
        buffer_begin_ += n;
        return ssize_t(n);
    }
    if (!wait_readable()) {
        error_ = httplib::Error::Timeout;
        return -1;
    }
    if (size >= buffer_.size()) {
        const ssize_t n = socket_receive(sock_, ptr, size);
        if (n <= 0) error_ = n == 0 ? httplib::Error::ConnectionClosed : httplib::Error::Read;
        return n;
    }
    const ssize_t n = socket_receive(sock_, buffer_.data(), buffer_.size());
    if (n <= 0) {
        error_ = n == 0 ? httplib::Error::ConnectionClosed : httplib::Error::Read;
        return n;
    }
    buffer_begin_ = 0;
    buffer_end_ = size_t(n);
    const size_t taken = std::min(size, buffer_end_);
    std::memcpy(ptr, buffer_.data(), taken);
    buffer_begin_ = taken;
    return ssize_t(taken);
}

ssize_t deadline_stream::write(const char* ptr, size_t size) {
    if (!wait_writable()) return -1;
    return socket_send(sock_, ptr, size);
}

void deadline_stream::get_remote_ip_and_port(std::string& ip, int& port) const {
    std::string local_ip;
    int local_port = 0;
    socket_addresses(sock_, ip, port, local_ip, local_port);
}

void deadline_stream::get_local_ip_and_port(std::string& ip, int& port) const {
    std::string remote_ip;
    int remote_port = 0;
    socket_addresses(sock_, remote_ip, remote_port, ip, port);
}

time_t deadline_stream::duration() const {
    return std::chrono::duration_cast<milliseconds>(clock::now() - start_).count();
}

void deadline_stream::set_read_timeout(time_t sec, time_t usec) {
    read_timeout_ = milliseconds(sec * 1000 + usec / 1000);
}

const char* deadline_stream::buffered_data(size_t& size) const {
    size = buffer_end_ - buffer_begin_;
    return size ? buffer_.data() + buffer_begin_ : nullptr;
}

void deadline_stream::consume_buffered(size_t size) { buffer_begin_ += std::min(size, buffer_end_ - buffer_begin_); }
