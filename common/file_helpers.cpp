#include "common/file_helpers.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/folders.h"

namespace {

// Opens a regular file (not a folder) for reading; -1 on failure.
int open_for_reading(const std::filesystem::path& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Appends blocks of up to 64 KiB until `max_bytes` are read, the file ends or a read fails.
void read_blocks(int fd, std::string& out, size_t max_bytes) {
    char block[65536];
    while (out.size() < max_bytes) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(block, static_cast<size_t>(n));
    }
}

} // namespace

std::filesystem::path program_folder() { return executable_path().parent_path(); }

nlohmann::json read_json_file(const std::filesystem::path& path) {
    const int fd = open_for_reading(path);
    if (fd < 0) return nullptr;
    std::string text;
    try {
        read_blocks(fd, text, static_cast<size_t>(-1));
    } catch (...) {
        close(fd);
        return nullptr;
    }
    close(fd);
    try {
        return nlohmann::json::parse(text, nullptr, true, false);
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::string read_file_text(const std::filesystem::path& path, size_t max_bytes) {
    const int fd = open_for_reading(path);
    if (fd < 0) throw std::runtime_error("cannot read " + path.string());
    std::string text;
    try {
        if (max_bytes > 0) read_blocks(fd, text, max_bytes);
    } catch (...) {
        close(fd);
        throw;
    }
    close(fd);
    if (text.size() > max_bytes) text.resize(max_bytes);
    return text;
}

std::string env_path_or_default(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    if (value && value[0]) return value;
    return fallback;
}

std::string json_string_or_empty(const nlohmann::json& value, const std::string& name) {
    if (!value.is_object()) return "";
    const auto it = value.find(name);
    if (it == value.end() || !it->is_string()) return "";
    return it->get<std::string>();
}

std::string json_string_required(const nlohmann::json& value, const std::string& name) {
    if (value.is_object()) {
        const auto it = value.find(name);
        if (it != value.end() && it->is_string()) return it->get<std::string>();
    }
    throw std::runtime_error("missing \"" + name + "\"");
}
