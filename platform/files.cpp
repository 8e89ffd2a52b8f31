#include "platform/files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

file_descriptor& file_descriptor::operator=(file_descriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

file_descriptor::~file_descriptor() { close(); }

int file_descriptor::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

bool file_descriptor::close() {
    if (fd_ < 0) return true;
    int rc = ::close(fd_);
    fd_ = -1;
    // After EINTR the descriptor is already released on Linux; a retry could close someone else's.
    return rc == 0 || errno == EINTR;
}

file_descriptor open_read(const std::string& path) {
    return file_descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

file_descriptor open_read_file(const std::string& path) {
    file_descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return fd;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
        fd.close();
        errno = EISDIR;
    }
    return fd;
}

file_descriptor open_write_truncate(const std::string& path) {
    return file_descriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

file_descriptor open_read_write(const std::string& path) {
    return file_descriptor(::open(path.c_str(), O_RDWR | O_CLOEXEC));
}

size_t read_at(int fd, uint64_t offset, void* buffer, size_t count) {
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

namespace {

// The byte count the test seam lets a write of `count` bytes at `offset` store before it fails; `count` when no
// test program asks for a fault.
size_t write_allowance(uint64_t offset, size_t count) {
    if (mivra_write_hook == nullptr) return count;
    const long cap = mivra_write_hook(offset, count);
    return cap >= 0 && static_cast<uint64_t>(cap) < count ? static_cast<size_t>(cap) : count;
}

bool write_all_unchecked(int fd, const char* in, size_t count) {
    while (count > 0) {
        ssize_t n = ::write(fd, in, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        in += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool write_at_unchecked(int fd, uint64_t offset, const char* in, size_t count) {
    while (count > 0) {
        ssize_t n = ::pwrite(fd, in, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        in += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool write_all(int fd, const void* data, size_t count) {
    const auto* in = static_cast<const char*>(data);
    if (mivra_write_hook != nullptr) {
        const off_t position = ::lseek(fd, 0, SEEK_CUR);
        const size_t allowed = position < 0 ? count : write_allowance(static_cast<uint64_t>(position), count);
        if (allowed < count) {
            write_all_unchecked(fd, in, allowed);
            errno = ENOSPC;
            return false;
        }
    }
    return write_all_unchecked(fd, in, count);
}

bool write_at(int fd, uint64_t offset, const void* data, size_t count) {
    const auto* in = static_cast<const char*>(data);
    const size_t allowed = write_allowance(offset, count);
    if (allowed < count) {
        write_at_unchecked(fd, offset, in, allowed);
        errno = ENOSPC;
        return false;
    }
    return write_at_unchecked(fd, offset, in, count);
}

void read_rest(int fd, std::string& out, size_t max_bytes) {
    char block[65536];
    while (out.size() < max_bytes) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(block, static_cast<size_t>(n));
    }
}

bool sync_file(int fd) {
    for (;;) {
        if (::fsync(fd) == 0) return true;
        if (errno != EINTR) return false;
    }
}

int64_t file_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

int64_t file_size(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool path_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool write_file_atomic(const std::string& path, std::string_view data) {
    const std::string tmp = path + ".tmp";
    file_descriptor fd = open_write_truncate(tmp);
    if (!fd.valid()) return false;
    bool ok = write_all(fd.get(), data.data(), data.size()) && sync_file(fd.get());
    ok = fd.close() && ok;
    if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
    ::unlink(tmp.c_str());
    return false;
}
