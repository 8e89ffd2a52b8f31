// The launcher's two entries for the desktop, which stand for the Start-menu shortcut and the Run value: the
// applications-menu entry ($XDG_DATA_HOME/applications/mivra-desktop.desktop) and the autostart entry
// ($XDG_CONFIG_HOME/autostart/mivra-desktop.desktop). Both start this very program file (its full path, quoted as
// the Desktop Entry format says, so a folder with blanks, quotes, $ or % works). UI thread only.
#pragma once

#include <filesystem>
#include <string>

// The description of both entries.
extern const char* const entry_description;

std::filesystem::path menu_entry_file();
std::filesystem::path autostart_entry_file();

// The text of an entry that starts `program` (with " --tray" when `tray`), with the icon file `icon`.
std::string menu_entry_text(const std::filesystem::path& program, const std::filesystem::path& icon);
std::string autostart_entry_text(const std::filesystem::path& program, const std::filesystem::path& icon);

// Writes the applications-menu entry when it is missing, cannot be read, or its Exec starts another program than
// this one (exact comparison: a moved or copied launcher takes the entry over). Best effort: failures are silent.
void ensure_menu_entry();

// Starting at login is on when the autostart entry exists and is not marked Hidden=true.
bool autostart_enabled();

// Writes the autostart entry (on) or removes it (off). Best effort: failures are silent.
void set_autostart(bool on);
