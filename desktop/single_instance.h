// One launcher per user: the first holds a lock for its whole life and listens on a socket beside it; a later one
// asks the first to show its window and ends. UI thread only.
#pragma once

#include <filesystem>

enum class instance_role { first, second };

// The folder of the lock and the socket: $XDG_RUNTIME_DIR when it is an absolute path, else the data folder.
std::filesystem::path instance_folder();

// Takes flock(LOCK_EX | LOCK_NB) on mivra-desktop.lock in instance_folder(). When another launcher holds it, sends
// "activate" to mivra-desktop.sock beside it (nothing when that one does not listen yet) and returns second.
// Otherwise keeps the lock in launcher.instance_lock, listens on the socket (launcher.activation_socket) and returns
// first; a lock that cannot be taken for any other reason counts as first as well. Call before GTK is initialised:
// a second instance never opens the display.
instance_role claim_single_instance();

// Serves the activation socket from the GLib main loop: every "activate" brings the window to the front.
void serve_activation_requests();
