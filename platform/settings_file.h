// The files of small per-user values, one per program (what Windows keeps under HKEY_CURRENT_USER\Software\<program>):
// where they live, and the locked read-modify-write that replaces one. What the text holds is the caller's business
// (common/user_settings.h keeps a JSON object of strings in it).
//
// Each program has its own file, $XDG_CONFIG_HOME/mivra/<program>.json (default ~/.config/mivra/...), so two programs
// never overwrite each other's values. A replacement runs under an advisory lock on "<file>.lock" and goes to
// "<file>.tmp", which is flushed and then renamed over the file, so a crash or a full disk never leaves a
// half-written file in its place.
//
// Reads the environment (XDG_CONFIG_HOME, HOME) but never changes it. Safe to call from any thread; concurrent
// replacements of the same file (threads or processes) are serialised by the lock.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

// Folder of the settings files: $XDG_CONFIG_HOME/mivra when XDG_CONFIG_HOME is an absolute path, else
// $HOME/.config/mivra (the password database's home folder when HOME is unset or empty). Never fails.
std::filesystem::path user_settings_folder();

// The settings file of one program: user_settings_folder() / (program + ".json").
std::filesystem::path user_settings_file(const std::string& program);

// The whole text of the file; "" when it is missing or cannot be read. Never throws.
std::string read_settings_text(const std::filesystem::path& file);

// Replaces the file's text by edit(current text) ("" for a missing or unreadable file), creating the folder (mode
// 0700) and the file (mode 0600) as needed; the lock is held from the read to the rename, so two writers never lose
// each other's changes. Throws std::runtime_error with a text for the user ("cannot write <file>: <reason>") when
// the text could not be stored, or what `edit` throws; the old file is then left as it was.
void replace_settings_text(const std::filesystem::path& file,
                          const std::function<std::string(const std::string& current)>& edit);
