// The launcher's icon in the system tray (an Ayatana AppIndicator: a StatusNotifierItem where the desktop has a
// host for it, else an icon in the XEmbed tray) with its menu. A click on the icon opens the menu (both buttons):
//   Open Mivra
//   Open in browser                                    greyed until the chat page is shown
//   ---
//   Switch model…                                      greyed while a server that was running at start is shown
//   Start at login (loads the model at sign-in)        checked while the autostart entry is on
//   ---
//   Stop Mivra and quit | Close Mivra Desktop          (the latter while that server is shown)
// The menu is exported to the desktop, so its rows are kept current: update_tray_menu runs whenever `ready` or
// `external_server` change, after each autostart toggle, and whenever the menu is shown. UI thread only.
#pragma once

// Creates the icon and its menu (once); the icon shows as long as the launcher runs.
void add_tray_icon();

// Brings the rows' states and texts in line with the launcher's state. Nothing before add_tray_icon.
void update_tray_menu();

// Takes the icon away (when the window goes).
void remove_tray_icon();
