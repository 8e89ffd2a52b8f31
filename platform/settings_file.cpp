#include "platform/settings_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/folders.h"

namespace fs = std::filesystem;

namespace {

// Whole file into `out`; false when it cannot be opened or read.
bool read_whole(const fs::path& file, std::string& out) {
    file_descriptor f(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.get() < 0) return false;
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(f.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

[[noreturn]] void fail(const fs::path& file, int err) {
    throw std::runtime_error("cannot write " + file.string() + ": " + std::strerror(err));
}

}  // namespace

fs::path user_settings_folder() { return config_folder_path(); }

fs::path user_settings_file(const std::string& program) {
    return user_settings_folder() / (program + ".json");
}

std::string read_settings_text(const fs::path& file) {
    std::string text;
    if (!read_whole(file, text)) return "";
    return text;
}

void replace_settings_text(const fs::path& file, const std::function<std::string(const std::string& current)>& edit) {
    const fs::path folder = file.parent_path();
    std::error_code ec;
    if (!folder.parent_path().empty()) fs::create_directories(folder.parent_path(), ec);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) fail(file, errno);

    // Held until the rename is done, so two writers never lose each other's values.
    fs::path lock_name = file;
    lock_name += ".lock";
    file_descriptor lock(::open(lock_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.get() < 0) fail(file, errno);
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) fail(file, errno);
    }

    const std::string text = edit(read_settings_text(file));

    fs::path tmp = file;
    tmp += ".tmp";
    file_descriptor out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (out.get() < 0) fail(file, errno);
    try {
        if (!write_all(out.get(), text.data(), text.size())) fail(file, errno);
        if (::fsync(out.get()) != 0) fail(file, errno);
        int fd = out.release();
        if (::close(fd) != 0) fail(file, errno);
        if (::rename(tmp.c_str(), file.c_str()) != 0) fail(file, errno);
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
}
