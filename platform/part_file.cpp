#include "platform/part_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

file_descriptor open_write_keep(const std::string& path) {
    return file_descriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
}

file_descriptor open_append(const std::string& path) {
    return file_descriptor(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
}

file_descriptor open_write_fresh(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return file_descriptor(-1);
    return file_descriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
}

bool truncate_open_file(int fd, uint64_t size) {
    for (;;) {
        if (::ftruncate(fd, static_cast<off_t>(size)) == 0) return true;
        if (errno != EINTR) return false;
    }
}

bool sync_file_data(int fd) {
    for (;;) {
        if (::fdatasync(fd) == 0) return true;
        // A file system that cannot sync this kind of file has nothing to flush.
        if (errno == EINVAL || errno == EROFS) return true;
        if (errno != EINTR) return false;
    }
}
