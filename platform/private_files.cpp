#include "platform/private_files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::error_code last_error() { return std::error_code(errno, std::generic_category()); }

}  // namespace

file_descriptor create_private_file(const std::filesystem::path& path, std::error_code& error) {
    error.clear();
    file_descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid()) {
        error = last_error();
        return fd;
    }
    // The umask may have taken bits away, and an existing file may have had wider ones.
    if (::fchmod(fd.get(), 0600) != 0) {
        error = last_error();
        return file_descriptor();
    }
    return fd;
}

bool write_private_file(const std::filesystem::path& path, std::string_view data, std::error_code& error) {
    file_descriptor fd = create_private_file(path, error);
    if (!fd.valid()) return false;
    if (!write_all(fd.get(), data.data(), data.size()) || ::fsync(fd.get()) != 0) {
        error = last_error();
        if (!error) error = std::make_error_code(std::errc::io_error);
        return false;
    }
    if (!fd.close()) {
        error = last_error();
        return false;
    }
    return true;
}

bool rename_without_replacing(const std::filesystem::path& from, const std::filesystem::path& to,
                              std::error_code& error) {
    error.clear();
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) {
        error = last_error();
        return false;
    }
    // File systems without RENAME_NOREPLACE: a hard link fails with EEXIST just the same.
    if (::link(from.c_str(), to.c_str()) != 0) {
        error = last_error();
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

bool exchange_paths(const std::filesystem::path& a, const std::filesystem::path& b, std::error_code& error) {
    error.clear();
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return true;
    error = last_error();
    return false;
}
