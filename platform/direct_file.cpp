#include "platform/direct_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

constexpr uint64_t direct_align = 4096;

bool aligned(uint64_t v) { return v % direct_align == 0; }

// One pread, through the test seam when a test program installed one.
ssize_t transfer(int fd, uint8_t* buf, uint64_t length, uint64_t offset) {
    if (mivra_read_hook != nullptr) {
        long cap = mivra_read_hook(offset, length);
        if (cap < 0) {
            errno = static_cast<int>(-cap);
            return -1;
        }
        if (static_cast<uint64_t>(cap) < length) length = static_cast<uint64_t>(cap);
        if (length == 0) return 0;
    }
    // Linux transfers at most 0x7ffff000 bytes per call; larger requests simply come back partial.
    return pread(fd, buf, static_cast<size_t>(length), static_cast<off_t>(offset));
}

void drop_cached_pages(int fd, uint64_t offset, uint64_t length) {
    posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_DONTNEED);
}

}  // namespace

direct_file::~direct_file() { close(); }

direct_file::direct_file(direct_file&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      buffered_fd_(std::exchange(other.buffered_fd_, -1)),
      direct_(std::exchange(other.direct_, false)) {}

direct_file& direct_file::operator=(direct_file&& other) noexcept {
    if (this != &other) {
        close();
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
        buffered_fd_ = std::exchange(other.buffered_fd_, -1);
        direct_ = std::exchange(other.direct_, false);
    }
    return *this;
}

void direct_file::close() {
    if (buffered_fd_ >= 0) ::close(buffered_fd_);
    if (fd_ >= 0 && fd_ != buffered_fd_) ::close(fd_);
    fd_ = buffered_fd_ = -1;
    direct_ = false;
}

bool direct_file::open(const std::string& path) {
    close();
    path_ = path;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (fd >= 0) {
        fd_ = fd;
        direct_ = true;
        return true;
    }
    // EINVAL is how a file system says it has no unbuffered access; any other error is final.
    if (errno != EINVAL) return false;
    if (!open_buffered()) return false;
    fd_ = buffered_fd_;
    return true;
}

bool direct_file::open_buffered() {
    if (buffered_fd_ >= 0) return true;
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    buffered_fd_ = fd;
    return true;
}

uint64_t direct_file::read_at(void* buf, uint64_t bytes, uint64_t offset) {
    auto* out = static_cast<uint8_t*>(buf);
    uint64_t done = 0;
    bool used_buffered = false;
    while (done < bytes) {
        uint64_t at = offset + done;
        bool direct = direct_ && aligned(reinterpret_cast<uintptr_t>(out + done)) && aligned(at) &&
                      aligned(bytes - done);
        if (!direct) {
            if (!open_buffered()) break;
            used_buffered = true;
        }
        int fd = direct ? fd_ : buffered_fd_;
        ssize_t got = transfer(fd, out + done, bytes - done, at);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EINVAL && direct && open_buffered()) {
                // The descriptor opened with O_DIRECT but the file system rejects unbuffered reads:
                // read this file through the page cache from now on.
                ::close(fd_);
                fd_ = buffered_fd_;
                direct_ = false;
                continue;
            }
            break;
        }
        if (got == 0) break;  // end of file
        done += static_cast<uint64_t>(got);
    }
    if ((used_buffered || !direct_) && done > 0) drop_cached_pages(buffered_fd_, offset, done);
    return done;
}
