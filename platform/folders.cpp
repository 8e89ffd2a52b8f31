#include "platform/folders.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

bool create_private_folders(const fs::path& folder) {
    if (folder.empty()) return false;
    std::error_code ec;
    if (fs::is_directory(folder, ec)) return true;
    const fs::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder) create_private_folders(parent);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    return fs::is_directory(folder, ec);
}

fs::path app_data_folder_path() {
    fs::path folder = xdg_folder("XDG_DATA_HOME", ".local/share") / "Mivra";
    create_private_folders(folder);
    return folder;
}

fs::path local_app_data_folder_path() { return xdg_folder("XDG_STATE_HOME", ".local/state") / "Mivra"; }

fs::path config_folder_path() { return xdg_folder("XDG_CONFIG_HOME", ".config") / "mivra"; }

fs::path documents_folder_path() {
    // user-dirs.dirs holds shell assignments such as XDG_DOCUMENTS_DIR="$HOME/Documents".
    std::ifstream in(xdg_folder("XDG_CONFIG_HOME", ".config") / "user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOCUMENTS_DIR=\"";
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        const size_t end = line.find('"', key.size());
        if (end == std::string::npos) break;
        std::string value = line.substr(key.size(), end - key.size());
        if (value.compare(0, 5, "$HOME") == 0) {
            value = home_folder().string() + value.substr(5);
        }
        if (!value.empty() && value[0] == '/') return fs::path(value);
        break;
    }
    return home_folder() / "Documents";
}
