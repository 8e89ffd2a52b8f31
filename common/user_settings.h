// Small per-user string values of one program (what Windows keeps under HKEY_CURRENT_USER\Software\<program>): a
// JSON object of string members in the program's settings file (platform/settings_file.h says where the file lives
// and how it is replaced safely).
//
// Safe to call from any thread; concurrent writers of the same file (threads or processes) never lose each other's
// values.
#pragma once

#include <filesystem>
#include <string>

#include "platform/settings_file.h"

// The string value `name` of the file; "" when the file or the value is missing, the file is unreadable or not a
// JSON object, or the value is not a string (a value that cannot be read counts as empty). Never throws.
std::string read_user_setting(const std::filesystem::path& file, const std::string& name);

// Sets the string value `name`, creating the folder (mode 0700) and the file as needed and keeping every other
// member. Throws std::runtime_error with a text for the user ("cannot write <file>: <reason>") when the value could
// not be stored; the old file is then left as it was. A file that holds something other than a JSON object is
// replaced by an object holding only the new value.
void write_user_setting(const std::filesystem::path& file, const std::string& name, const std::string& value);
