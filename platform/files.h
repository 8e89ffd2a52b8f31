// Plain file I/O: owned descriptors, positioned reads, whole writes and atomic replacement of small files.
// Every descriptor is opened close-on-exec. Paths are UTF-8 strings. Functions report failure through their
// result (documented per function) and never print; callers turn failures into their own user texts.
// All functions are safe to call from any thread; a descriptor shared by threads may be read with read_at
// concurrently (pread does not move the file position).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Owns one file descriptor; closes it on destruction. Movable, not copyable.
class file_descriptor {
public:
    file_descriptor() = default;
    explicit file_descriptor(int fd) : fd_(fd) {}
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    file_descriptor(file_descriptor&& other) noexcept : fd_(other.release()) {}
    file_descriptor& operator=(file_descriptor&& other) noexcept;
    ~file_descriptor();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    // Closes the descriptor; returns false when close reported an error (a delayed write error).
    bool close();

private:
    int fd_ = -1;
};

// Opens an existing file for reading; an invalid descriptor on failure (errno set).
file_descriptor open_read(const std::string& path);
// Opens an existing regular file (not a folder) for reading; an invalid descriptor when it cannot be opened or is a
// folder.
file_descriptor open_read_file(const std::string& path);
// Creates the file or truncates it to zero, for writing; an invalid descriptor on failure.
file_descriptor open_write_truncate(const std::string& path);
// Opens an existing file for reading and writing without truncating it; an invalid descriptor on failure.
file_descriptor open_read_write(const std::string& path);

// Reads up to `count` bytes at `offset`, looping over partial reads and EINTR. Returns the number of bytes read:
// less than `count` only at end of file or on an error.
size_t read_at(int fd, uint64_t offset, void* buffer, size_t count);
// Appends what follows the current position to `out`, in blocks of up to 64 KiB, until `out` holds `max_bytes`
// bytes or more, the file ends or a read fails (an error only ends the text early).
void read_rest(int fd, std::string& out, size_t max_bytes);
// Writes all `count` bytes at the current position (looping over partial writes and EINTR); false on error.
bool write_all(int fd, const void* data, size_t count);
// Writes all `count` bytes at `offset`; false on error.
bool write_at(int fd, uint64_t offset, const void* data, size_t count);

// Flushes the file's data and metadata to the disk (fsync); false on error (a delayed write error shows here).
bool sync_file(int fd);
// Size of an open file in bytes, or -1.
int64_t file_size(int fd);
// Size of the file at `path` in bytes, or -1 when it cannot be examined.
int64_t file_size(const std::string& path);
// True when something (file, folder, link target) exists at `path`.
bool path_exists(const std::string& path);

// Writes `data` to path + ".tmp", flushes it to disk and renames it over `path`, so readers see the old file or
// the whole new one. False on any failure (the .tmp file is removed then).
bool write_file_atomic(const std::string& path, std::string_view data);

// Fault-injection seam for tests: the one place where a test makes file writes fail. A test program may define this
// function; the program itself does not, so the weak reference is null there and costs one comparison per write.
// write_at and write_all (and so write_file_atomic) call it once per call, before writing, with the file offset the
// write starts at and its length (write_all: the descriptor's current position; descriptors without a position,
// such as pipes and sockets, are not reported). A value in [0, length) makes that write store only so many bytes
// and then fail with ENOSPC, as on a full disk; any other value changes nothing. It may block.
extern "C" long mivra_write_hook(uint64_t offset, uint64_t length) __attribute__((weak));
