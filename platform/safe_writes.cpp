#include "platform/safe_writes.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

namespace fs = std::filesystem;

namespace {

std::error_code errno_code(int number) { return {number, std::generic_category()}; }

// The errno of a failed step, or EIO when the step failed without setting one.
std::error_code last_error() { return errno_code(errno != 0 ? errno : EIO); }

bool within(const fs::path& folder, const fs::path& path) {
    if (folder.empty()) return true;
    const fs::path rel = path.lexically_relative(folder);
    return !rel.empty() && *rel.begin() != "..";
}

// The real path of an open folder (its links resolved when it was opened, so a link swapped in later is not seen).
fs::path path_of_folder(int fd) {
    std::error_code ignored;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ignored);
}

// 16 hex digits for a temporary name; the name is created exclusively, so a clash only costs another try.
std::string random_suffix() {
    uint64_t value = 0;
    if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
        value = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                (static_cast<uint64_t>(::getpid()) << 32);
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

bool rename_into_place(int folder, const std::string& from, const std::string& to, bool replace) {
    if (replace) return ::renameat(folder, from.c_str(), folder, to.c_str()) == 0;
    if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: a hard link refuses an existing name just the same.
    if (::linkat(folder, from.c_str(), folder, to.c_str(), 0) != 0) return false;
    ::unlinkat(folder, from.c_str(), 0);
    return true;
}

}  // namespace

fs::path write_destination(const fs::path& path, const fs::path& boundary, std::error_code& error) {
    error.clear();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return path;
        error = last_error();
        return {};
    }
    if (!S_ISLNK(st.st_mode)) return path;
    std::error_code resolve_error;
    const fs::path target = fs::canonical(path, resolve_error);
    if (resolve_error || !within(boundary, target)) {
        error = errno_code(ELOOP);
        return {};
    }
    return target;
}

bool replace_file_contents(const fs::path& path, std::string_view data, const fs::path& boundary,
                           std::error_code& error) {
    const fs::path destination = write_destination(path, boundary, error);
    if (error) return false;
    file_descriptor folder(::open(destination.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        error = last_error();
        return false;
    }
    if (!within(boundary, path_of_folder(folder.get()))) {
        error = errno_code(ELOOP);
        return false;
    }
    const std::string name = destination.filename().string();

    struct stat old {};
    bool existed = false;
    if (::fstatat(folder.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(old.st_mode)) {  // swapped in since write_destination looked
            error = errno_code(ELOOP);
            return false;
        }
        if (!S_ISREG(old.st_mode)) {
            error = errno_code(EISDIR);
            return false;
        }
        existed = true;
    } else if (errno != ENOENT) {
        error = last_error();
        return false;
    }

    std::string temp;
    file_descriptor out;
    for (int attempt = 0; attempt < 8 && !out.valid(); ++attempt) {
        temp = ".mivra-" + random_suffix() + ".tmp";
        // A new file gets the usual mode through the umask; a replaced one gets its old mode below.
        out = file_descriptor(::openat(folder.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                       existed ? 0600 : 0666));
        if (!out.valid() && errno != EEXIST) break;
    }
    if (!out.valid()) {
        error = last_error();
        return false;
    }
    auto fail = [&](std::error_code why) {
        out.close();
        ::unlinkat(folder.get(), temp.c_str(), 0);
        error = why;
        return false;
    };
    errno = 0;
    if (!write_all(out.get(), data.data(), data.size())) return fail(last_error());
    if (existed) {
        // Owner first: changing it may clear set-id bits that the mode then puts back. Only root may give a file
        // away, so a failure to keep another owner is not an error.
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) (void)::fchown(out.get(), old.st_uid, old.st_gid);
        if (::fchmod(out.get(), old.st_mode & 07777) != 0) return fail(last_error());
    }
    errno = 0;
    if (!sync_file(out.get())) return fail(last_error());
    if (!out.close()) return fail(last_error());
    if (!rename_into_place(folder.get(), temp, name, existed)) return fail(last_error());
    ::fsync(folder.get());  // the rename itself on the disk; a failure here changes nothing the caller can mend
    error.clear();
    return true;
}

fs::path write_new_file(const fs::path& folder, const std::function<std::string(int)>& name_for,
                        std::string_view data, const fs::path& boundary, int max_names, std::error_code& error) {
    error.clear();
    file_descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        error = last_error();
        return {};
    }
    const fs::path real_folder = path_of_folder(dir.get());
    if (!within(boundary, real_folder)) {
        error = errno_code(ELOOP);
        return {};
    }
    for (int n = 1; n <= max_names; ++n) {
        const std::string name = name_for(n);
        file_descriptor out(
            ::openat(dir.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out.valid()) {
            if (errno == EEXIST || errno == ELOOP) continue;  // taken, by a file, a folder or a link
            error = last_error();
            return {};
        }
        errno = 0;
        bool ok = write_all(out.get(), data.data(), data.size()) && sync_file(out.get());
        if (ok) errno = 0;
        ok = out.close() && ok;
        if (!ok) {
            error = last_error();
            ::unlinkat(dir.get(), name.c_str(), 0);
            return {};
        }
        return folder / name;
    }
    error = errno_code(EEXIST);
    return {};
}
