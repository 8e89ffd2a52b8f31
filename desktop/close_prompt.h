// What closing the window means: hide it and keep the model loaded, or quit; and the notice that the launcher still
// runs. UI thread only.
//
// The remembered answer lives in $XDG_CONFIG_HOME/mivra/desktop.json as {"on_close": "tray" | "quit"}, a file of
// the launcher's own (mivra keeps its values in another), replaced through a .tmp file and a rename.
#pragma once

#include <filesystem>

// The launcher's settings file.
std::filesystem::path desktop_settings_file();

// True when the window is to be hidden and the engine kept running, false when the launcher is to quit. A stored
// "tray" or "quit" (exactly) answers at once; otherwise the close prompt asks: "Keep running in the background" or
// "Stop Mivra", with "Don't ask again" to store the answer. Esc or the prompt's close box keep the launcher running
// and store nothing, even with the box ticked. A value that cannot be stored is reported on stderr only.
bool ask_keep_running();

// Tells the user through the desktop's notifications (org.freedesktop.Notifications) that the launcher still runs
// and where its icon is. Best effort and asynchronous: without a notification service nothing shows.
void show_still_running_balloon();
