#include "distribution/pull_files.h"

namespace fs = std::filesystem;

namespace {

void throw_if(const char* operation, const fs::path& path, const std::error_code& ec) {
    if (ec) throw fs::filesystem_error(operation, path, ec);
}

}  // namespace

bool checked_exists(const fs::path& path) {
    std::error_code ec;
    const bool found = fs::exists(path, ec);
    throw_if("exists", path, ec);
    return found;
}

uint64_t checked_file_size(const fs::path& path) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    throw_if("file_size", path, ec);
    return size;
}

void checked_remove(const fs::path& path) {
    std::error_code ec;
    fs::remove(path, ec);
    throw_if("remove", path, ec);
}

void checked_rename(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec) throw fs::filesystem_error("rename", from, to, ec);
}

void checked_create_directories(const fs::path& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    throw_if("create_directories", path, ec);
}

uint64_t checked_free_space(const fs::path& path) {
    std::error_code ec;
    const fs::space_info info = fs::space(path, ec);
    throw_if("space", path, ec);
    return info.available;
}
