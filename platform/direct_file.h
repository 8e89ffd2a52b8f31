// A file opened for unbuffered positioned reads (the expert files of a pack). Linux: O_RDONLY | O_DIRECT |
// O_CLOEXEC and pread into page-aligned memory. Where the file system refuses O_DIRECT (tmpfs, some others) the
// file is read through an ordinary descriptor instead, and the pages just read are dropped from the page cache
// (posix_fadvise DONTNEED) so the data is not held twice in RAM.
#pragma once

#include <cstdint>
#include <string>

class direct_file {
public:
    direct_file() = default;
    ~direct_file();
    direct_file(direct_file&& other) noexcept;
    direct_file& operator=(direct_file&& other) noexcept;
    direct_file(const direct_file&) = delete;
    direct_file& operator=(const direct_file&) = delete;

    // Opens `path` (UTF-8) for reading; false (errno set) when it cannot be opened. Any file previously open in
    // this object is closed first.
    bool open(const std::string& path);
    void close();
    bool is_open() const { return fd_ >= 0; }
    // True while reads bypass the page cache.
    bool is_direct() const { return direct_; }

    // Reads `bytes` at `offset` into `buf`, retrying interrupted and partial transfers; returns the number of bytes
    // delivered, which is less than `bytes` only when the file ends first or the system reports an error.
    // Unbuffered reads need buf, bytes and offset to be multiples of 4096; anything else (or a file system that
    // rejects unbuffered reads) goes through the buffered descriptor.
    // One thread at a time per object; different objects on the same file may read in parallel.
    uint64_t read_at(void* buf, uint64_t bytes, uint64_t offset);

private:
    bool open_buffered();

    std::string path_;
    int fd_ = -1;           // O_DIRECT when direct_, else the buffered descriptor
    int buffered_fd_ = -1;  // opened on first need while direct_
    bool direct_ = false;
};

// Fault-injection seam for tests. A test program may define this function; the program itself does not, so the
// weak reference is null there and costs one comparison per read. It is called before every transfer inside
// read_at with the offset and length about to be read and returns: a value >= 0 to cap that transfer at so many
// bytes (0 acts as an end of file; a value >= length changes nothing), or a negative errno to make the transfer
// fail with it (-EINTR is retried like a real interruption). It may block.
extern "C" long mivra_read_hook(uint64_t offset, uint64_t length) __attribute__((weak));
