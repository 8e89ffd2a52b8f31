// Small per-user string values of one program (what Windows keeps under HKEY_CURRENT_USER\Software\<program>).
//
// Each program has its own JSON file, $XDG_CONFIG_HOME/mivra/<program>.json (default ~/.config/mivra/...), so two
// programs never overwrite each other's values. The file is one JSON object of string members. Writes are
// read-modify-write under an advisory lock on "<program>.json.lock" and go to "<program>.json.tmp", which is then
// renamed over the file, so a crash or a full disk never leaves a half-written file in its place.
//
// Reads the environment (XDG_CONFIG_HOME, HOME) but never changes it. Safe to call from any thread; concurrent
// writers of the same file (threads or processes) are serialised by the lock.
#pragma once

#include <filesystem>
#include <string>

// Folder of the settings files: $XDG_CONFIG_HOME/mivra when XDG_CONFIG_HOME is an absolute path, else
// $HOME/.config/mivra (the password database's home folder when HOME is unset or empty). Never fails.
std::filesystem::path user_settings_folder();

// The settings file of one program: user_settings_folder() / (program + ".json").
std::filesystem::path user_settings_file(const std::string& program);

// The string value `name` of the file; "" when the file or the value is missing, the file is unreadable or not a
// JSON object, or the value is not a string (a value that cannot be read counts as empty). Never throws.
std::string read_user_setting(const std::filesystem::path& file, const std::string& name);

// Sets the string value `name`, creating the folder (mode 0700) and the file as needed and keeping every other
// member. Throws std::runtime_error with a text for the user ("cannot write <file>: <reason>") when the value could
// not be stored; the old file is then left as it was. A file that holds something other than a JSON object is
// replaced by an object holding only the new value.
void write_user_setting(const std::filesystem::path& file, const std::string& name, const std::string& value);
