// Desktop entry files (the freedesktop.org Desktop Entry format), which stand for the Start-menu shortcut and the
// Run value here: the applications-menu entry and the autostart entry. Texts only; no state, safe from any thread.
//
// An Exec value is read in two steps, as desktops do: first the string escapes of the file format (\\ \s \n \t \r),
// then the command line's own rules (arguments split at unquoted blanks; inside double quotes a backslash escapes
// " ` $ and \; "%%" is a literal %, and other %-codes stand for files or URLs to open).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// One argument of an Exec line, always in double quotes, with " ` $ \ escaped by a backslash and % doubled, so a
// path with blanks, quotes, $ or % runs as written. Not yet escaped for the file (see entry_string).
std::string exec_argument(const std::string& argument);

// A value escaped for the file: \ as \\, line feed, tab and carriage return as \n \t \r, and a leading blank as \s.
std::string entry_string(const std::string& value);

// The arguments of an Exec value as it stands in the file (both steps undone); %-codes other than %% are dropped.
// nullopt for a value a desktop would refuse: an unfinished quote or escape, or a quote inside a word.
std::optional<std::vector<std::string>> parse_exec(const std::string& file_value);

// The value of `key` in the [Desktop Entry] group of a file's text, as written (string escapes kept); nullopt when
// the key is missing or the text is no key file.
std::optional<std::string> entry_value(const std::string& file_text, const std::string& key);

// Writes the text to the file through "<file>.tmp" and a rename, creating the folder (and its parents) first. False
// when it could not be written.
bool write_entry_file(const std::filesystem::path& file, const std::string& text);
