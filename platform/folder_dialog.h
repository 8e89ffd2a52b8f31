// The desktop's folder chooser, for the agent page's "choose the project folder": zenity's directory selection,
// started as an argument list (no shell) through the child-process layer.
//
// Safe to call from any number of threads at once; each call shows its own dialog and blocks its thread until the
// user closes it, with no time limit. The dialog ends with the calling thread (parent death signal).
#pragma once

#include <string>
#include <vector>

// Shows `zenity --file-selection --directory --title=<title>` (zenity looked up along the PATH of `env`) and returns
// the chosen folder without zenity's final line break. Returns "" when the user cancels, when zenity exits with any
// other code or cannot be started (not installed), and without a display (neither DISPLAY nor WAYLAND_DISPLAY set
// and non-empty in `env`), in which case zenity is not started at all. Never throws (except std::bad_alloc).
std::string pick_folder_dialog(const std::string& title, const std::vector<std::string>& env);
