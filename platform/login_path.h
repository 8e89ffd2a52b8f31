// The user's own PATH additions, the ones a new login shell picks up (what Windows keeps as the "Path" value under
// HKEY_CURRENT_USER\Environment), and the PATH every process already gets (the machine Path there).
//
// The user's additions live in one managed, clearly marked line of ~/.profile:
//
//     PATH="${PATH:+$PATH:}"'/opt/mivra'; export PATH  # added by mivra: "mivra path off" removes this line
//
// Its value is the single-quoted word: entries separated by ':', appended to whatever PATH the shell has. Only that
// line is ever rewritten; every other line of the file keeps its exact bytes and order.
//
// All functions read the environment (HOME) but never change it; they keep no state and may be called from
// any thread. Concurrent writers of one profile are not serialised: the caller (a command run by the user) is the
// only writer.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// $HOME/.profile (the password database's home folder when HOME is unset or empty).
std::filesystem::path login_profile_file();

// The value of the managed line(s) of `profile`, entries joined with ':' in file order; "" when the file or the
// line is missing. Throws std::runtime_error "cannot read <file>: <reason>" when the file exists but cannot be read,
// so that no caller rewrites a profile it could not see.
std::string read_login_path(const std::filesystem::path& profile);

// Makes `value` (entries joined with ':') the managed line's value: the first managed line is replaced in place,
// further ones are removed, and without one the line is appended at the end; an empty value removes the line. When
// nothing changes the file is not touched. The new text goes to a temporary file beside the real file (the target
// of a symbolic link) that keeps its mode and is then renamed over it. Throws std::runtime_error
// "cannot write <file>: <reason>" on failure (a value holding a line break included), leaving the file as it was.
void write_login_path(const std::filesystem::path& profile, const std::string& value);

// Entries of the PATH that every login of this user gets without the managed line (what Windows calls the machine
// Path): the PATH of /etc/environment, then the PATH that login gives (ENV_SUPATH of /etc/login.defs for the
// superuser, ENV_PATH for everyone else; "/usr/local/bin:/usr/bin:/bin" when the file names none). This process's
// own PATH is not used: it may still hold the folder from a login made before `path off`. Empty entries are left
// out. Never throws.
std::vector<std::string> system_path_entries();

// The entries of the PATH assignment in the text of an environment file (lines "KEY=value", an optional
// "export " before the key, a value optionally in single or double quotes, '#' lines ignored; the last PATH line
// wins). Empty entries are left out.
std::vector<std::string> environment_file_path_entries(const std::string& text);

// The entries of ENV_SUPATH (superuser) or ENV_PATH in the text of a login.defs file (lines "NAME value", the value
// with or without a leading "PATH="); empty when the setting is missing.
std::vector<std::string> login_defs_path_entries(const std::string& text, bool superuser);
