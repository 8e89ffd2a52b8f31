// The launcher's window: its size and place, showing it again, and what closing and destroying it do.
// UI thread only.
#pragma once

struct window_rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The window's first place in a work area (logical pixels): width the smaller of (area width - 40) and 1280, height
// the smaller of (area height - 40) and 820, centred (each half truncated toward zero).
window_rect initial_window_rect(const window_rect& work_area);

// Creates the main window into launcher.window (not shown): title "Mivra", the launcher's WM_CLASS (set by the
// start-up through the program name), initial_window_rect of the primary monitor's work area, minimum size 520 x 460,
// background #F5F3EE. Closing it goes to on_close_requested, its destruction to on_window_destroyed.
void create_launcher_window();

// Shows the window (restored when minimised) and raises it. Nothing without a window.
void bring_to_front();

// The user asked to close the window: unless quitting, when ask_keep_running answers true the window is hidden and
// the engine keeps running (the "still running" notice once per run); otherwise quitting is set and the window
// destroyed.
void on_close_requested();

// Ends the launcher: quitting is set and the window destroyed (which stops the engine). Nothing without a window.
void quit_launcher();

// The window is being destroyed: quitting is set, the web view closed, the engine stopped, the main loop ended.
void on_window_destroyed();
