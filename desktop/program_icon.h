// The program's icon: a rounded square in the launcher page's green with a white "m", drawn at 256 x 256 pixels.
// It serves the window, the tray icon and the applications-menu entry. UI thread only.
#pragma once

#include <filesystem>
#include <string>

struct _GdkPixbuf;

// The icon as PNG file bytes.
std::string program_icon_png();

// The icon file in the launcher's data folder (mivra-desktop.png), written when it is missing or differs, so the
// desktop and the tray find it by path. Its path; the path even when it could not be written (shown as no icon).
std::filesystem::path ensure_program_icon_file();

// The icon as a new pixbuf (the caller unrefs it); null when it cannot be drawn.
_GdkPixbuf* program_icon_pixbuf();
