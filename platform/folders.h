// Where the program and the user's data live on this system.
//
// Windows folder          here
//   program folder        folder of /proc/self/exe
//   %APPDATA%\Mivra       $XDG_DATA_HOME/Mivra   (default ~/.local/share/Mivra), created with mode 0700
//   %LOCALAPPDATA%\Mivra  $XDG_STATE_HOME/Mivra  (default ~/.local/state/Mivra)
//   HKCU\Software\Mivra   $XDG_CONFIG_HOME/mivra (default ~/.config/mivra)
//   %USERPROFILE%         $HOME
//   Documents             $XDG_DOCUMENTS_DIR, else XDG_DOCUMENTS_DIR of user-dirs.dirs, else ~/Documents
//
// An XDG variable that is unset, empty or not an absolute path counts as unset (as the XDG rules say). HOME that is
// unset or empty falls back to the password database. These functions read the environment but never change it;
// they are safe from any thread as long as nobody calls setenv.
#pragma once

#include <filesystem>
#include <system_error>

// The full path of the running program file; empty when /proc/self/exe cannot be read.
std::filesystem::path executable_path();

// The user's home folder ($HOME, else the password database's entry, else "/").
std::filesystem::path home_folder();

// The application-data folder, $XDG_DATA_HOME/Mivra. Creates it (and missing parents) with mode 0700 when it does
// not exist yet; a failure to create is ignored here and shows up when a caller writes into it.
std::filesystem::path app_data_folder_path();

// The launcher's local application-data folder, $XDG_STATE_HOME/Mivra. Not created.
std::filesystem::path local_app_data_folder_path();

// The XDG base folders themselves: $XDG_CONFIG_HOME (default ~/.config), where the desktop looks for autostart
// entries, and $XDG_DATA_HOME (default ~/.local/share), where it looks for application entries. Not created.
std::filesystem::path user_config_home();
std::filesystem::path user_data_home();

// The folder of per-user configuration files, $XDG_CONFIG_HOME/mivra. Not created.
std::filesystem::path config_folder_path();

// The user's documents folder: $XDG_DOCUMENTS_DIR when it is an absolute path, else XDG_DOCUMENTS_DIR from
// $XDG_CONFIG_HOME/user-dirs.dirs (xdg_user_dir), else $HOME/Documents. Not created.
std::filesystem::path documents_folder_path();

// Creates `folder` and its missing parents, each new one with mode 0700 whatever the umask (existing ones are left
// as they are). False when the folder does not exist afterwards; `error` then says why (ENOTDIR when a file is in
// the way), and is cleared on success.
bool create_private_folders(const std::filesystem::path& folder, std::error_code& error);
bool create_private_folders(const std::filesystem::path& folder);
