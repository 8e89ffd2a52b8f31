#include "platform/user_dirs.h"

#include <cstdlib>
#include <fstream>

#include "platform/folders.h"

namespace fs = std::filesystem;

fs::path xdg_user_dir(const std::string& name, const std::string& fallback) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const fs::path config_dir = config && config[0] == '/' ? fs::path(config) : home_folder() / ".config";
    // The file holds shell assignments such as XDG_DOWNLOAD_DIR="$HOME/Downloads"; the last one counts.
    std::ifstream in(config_dir / "user-dirs.dirs");
    const std::string key = "XDG_" + name + "_DIR=\"";
    fs::path found;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) != 0) continue;
        const size_t end = line.find('"', key.size());
        if (end == std::string::npos) continue;
        std::string value = line.substr(key.size(), end - key.size());
        if (value.compare(0, 5, "$HOME") == 0) value = home_folder().string() + value.substr(5);
        if (!value.empty() && value[0] == '/') found = fs::path(value);
    }
    return found.empty() ? home_folder() / fallback : found;
}
