// Putting the program's folder on the user's PATH and taking it off again (`mivra path on|off`, and the automatic
// call of `start`). The user's PATH additions are the managed line of ~/.profile (platform/login_path.h); two values
// in the program's settings file remember what was done: "PathDir" (the folder put on the PATH, "" after off) and
// "PathOff" ("1" after off, "0" after on; "1" stops the automatic call).
//
// Runs on the thread of the command; reads the environment, never changes it.
#pragma once

#include <string>
#include <vector>

// Name of the program's settings file (common/user_settings.h).
inline constexpr const char* mivra_settings_program = "mivra";

// The comparison key of a PATH entry or folder: the text without its trailing '/' characters (a lone "/" stays).
// Case counts, as it does in Linux file names.
std::string path_entry_key(const std::string& entry);

// The result of edit_user_path: the new value and whether it differs from the old one in substance.
struct user_path_edit {
    std::string path;
    bool changed = false;
};

// The user's PATH value (entries separated by ':') after putting `dir` on it (on) or taking it off (off). `old` is
// the folder recorded by an earlier `path on` (removed when it differs from dir). Empty entries are dropped; that
// alone is no change. With on, dir is appended unless the value or `system_entries` (entry by entry) already hold
// it. Every other entry keeps its text and order.
user_path_edit edit_user_path(const std::string& path, const std::string& dir, const std::string& old, bool on,
                              const std::vector<std::string>& system_entries);

// Puts the program's folder on the user's PATH (on) or takes it off. With on and not explicit_request (the
// automatic call of start) nothing happens after an earlier `path off`. Returns true when the PATH line was
// rewritten. The first failure to read or write (the profile or the settings file) goes to *error when given (the
// other steps still run); a PATH that could not be rewritten counts as unchanged.
bool set_user_path(bool on, bool explicit_request, std::string* error = nullptr);
