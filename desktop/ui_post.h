// Handing work from worker threads to the UI thread, and keeping exceptions out of C frames.
//
// The UI thread is the thread that runs GLib's default main context: the launcher's main thread, inside the GTK main
// loop. Worker threads (the engine's output reader and the /health poller) reach it only through post_to_ui.
#pragma once

#include <functional>

// Queues `task` to run once on the UI thread, at GLib's default priority, after every task queued before it. The
// queue owns the closure: it is freed after it ran, or unrun when the main context goes away first. An exception
// leaving `task` is caught and written to stderr. Safe from any thread.
void post_to_ui(std::function<void()> task);

// Writes "mivra-desktop: " + the exception's text to stderr. For catch blocks of callbacks.
void report_callback_error(const char* where) noexcept;

// Runs `body`, catching every exception: none may cross a GTK, GLib or WebKit C frame (that ends the program). Every
// signal handler and callback of the launcher runs its body through this.
template <class F>
void run_guarded(const char* where, F&& body) noexcept {
    try {
        body();
    } catch (...) {
        report_callback_error(where);
    }
}
