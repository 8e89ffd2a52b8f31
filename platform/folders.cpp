#include "platform/folders.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/user_dirs.h"

namespace fs = std::filesystem;

namespace {

// An XDG base folder: the variable when it holds an absolute path, else home / fallback.
fs::path xdg_folder(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value && value[0] == '/') return fs::path(value);
    return home_folder() / fallback;
}

} // namespace

fs::path executable_path() {
    std::string buffer(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return {};
    buffer.resize(static_cast<size_t>(n));
    return fs::path(buffer);
}

fs::path home_folder() {
    const char* home = std::getenv("HOME");
    if (home && home[0]) return fs::path(home);
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::string buffer(16384, '\0');
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0]) {
        return fs::path(found->pw_dir);
    }
    return fs::path("/");
}

bool create_private_folders(const fs::path& folder, std::error_code& error) {
    error.clear();
    if (folder.empty()) {
        error = std::make_error_code(std::errc::no_such_file_or_directory);
        return false;
    }
    std::error_code ec;
    if (fs::is_directory(folder, ec)) return true;
    const fs::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !create_private_folders(parent, error)) return false;
    if (mkdir(folder.c_str(), 0700) == 0) {
        // The umask may have taken bits away (0277 leaves 0500): a folder of ours must be usable by its owner.
        if (chmod(folder.c_str(), 0700) != 0) {
            error = std::error_code(errno, std::generic_category());
            return false;
        }
        return true;
    }
    const int mkdir_error = errno;
    if (mkdir_error == EEXIST && fs::is_directory(folder, ec)) return true;
    error = std::error_code(mkdir_error == EEXIST ? ENOTDIR : mkdir_error, std::generic_category());
    return false;
}

bool create_private_folders(const fs::path& folder) {
    std::error_code error;
    return create_private_folders(folder, error);
}

fs::path app_data_folder_path() {
    fs::path folder = xdg_folder("XDG_DATA_HOME", ".local/share") / "Mivra";
    create_private_folders(folder);
    return folder;
}

fs::path local_app_data_folder_path() { return xdg_folder("XDG_STATE_HOME", ".local/state") / "Mivra"; }

fs::path user_config_home() { return xdg_folder("XDG_CONFIG_HOME", ".config"); }

fs::path user_data_home() { return xdg_folder("XDG_DATA_HOME", ".local/share"); }

fs::path config_folder_path() { return xdg_folder("XDG_CONFIG_HOME", ".config") / "mivra"; }

fs::path documents_folder_path() {
    const char* value = std::getenv("XDG_DOCUMENTS_DIR");
    if (value && value[0] == '/') return fs::path(value);
    return xdg_user_dir("DOCUMENTS", "Documents");
}
