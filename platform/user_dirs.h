// The user's well-known folders (Downloads, Desktop, Documents ...) as the desktop's XDG user-dirs file names them.
// Reads the environment and one file on every call, never changes either; safe from any thread as long as nobody
// calls setenv.
#pragma once

#include <filesystem>
#include <string>

// The folder that $XDG_CONFIG_HOME/user-dirs.dirs (default ~/.config/user-dirs.dirs) assigns to XDG_<name>_DIR
// (name such as "DOWNLOAD", "DESKTOP", "DOCUMENTS"), with a leading $HOME replaced by the home folder; home /
// `fallback` when the file, the line or an absolute value is missing. Not created.
std::filesystem::path xdg_user_dir(const std::string& name, const std::string& fallback);
