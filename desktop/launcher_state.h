// The launcher's process-wide state: one window hosting one web view, at most one engine process (`mivra start
// --gui`) with its output reader and /health poller, and the launcher page's message queue.
//
// Threads and locking
// - One UI thread (the main thread, which runs the GTK main loop and lives as long as the process) owns every field
//   of `launcher` and is the only thread that reads or writes them, with two exceptions:
//   - `generation` is atomic: worker threads read it before every message they post;
//   - `engine` (the child-process handle) is used by the reader thread through a pointer, for waiting and reaping,
//     which the handle allows from any thread; the UI thread destroys or replaces it only after joining that reader.
// - Worker threads never touch anything else here: whatever they have for the UI thread goes through post_to_ui.
// - Every function of the launcher that takes no note otherwise is for the UI thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/child_process.h"
#include "platform/files.h"

struct _GtkWidget;
struct _WebKitWebView;

// What the engine relay and the page messages need of the web view and its window; the web view host fills it in
// once the view exists, and clears it when the view goes. All are called on the UI thread.
struct page_host {
    std::function<void(const std::string& json_text)> post;  // one message to the launcher page (validated JSON)
    std::function<void()> load_launcher_page;                 // load the built-in launcher page
    std::function<void(const std::string& address)> navigate; // load an address (the chat page of the server)
    // Asks the user for the folder of a model (a modal dialog; the main loop runs meanwhile); "" when cancelled.
    std::function<std::string()> choose_folder;

    bool exists() const { return static_cast<bool>(post); }
};

struct launcher_state {
    _GtkWidget* window = nullptr;         // the main window (a GtkWindow); null before it exists and after it went
    _WebKitWebView* web_view = nullptr;   // the web view in it; null while it does not exist
    page_host page;                       // the web view's side of the relay; empty while the view does not exist

    bool page_ready = false;       // the launcher page said "hello" since it was last loaded
    bool ready = false;            // the chat page is shown (the engine answered /health, or a server already ran)
    bool external_server = false;  // /health answered at start-up: this launcher never starts an engine
    bool quitting = false;         // shutting down; set before the window is destroyed
    bool balloon_shown = false;    // the "still running" notice was shown in this run
    bool page_said_hello = false;  // the launcher page said "hello" at least once in this run
    bool launcher_page_shown = false;  // the view was last sent to the launcher page (not to the chat page)

    // The engine: its process (own process group, killed with it), this side of its stdin pipe, and the wake-up of
    // its reader. `engine` is null when no engine was started or after stop_engine; an engine that ended by itself
    // keeps its (reaped) handle until the next stop_engine.
    std::unique_ptr<child_process> engine;
    file_descriptor engine_stdin;
    std::shared_ptr<wake_event> reader_wake;

    std::atomic<uint32_t> generation{0};  // the engine generation; see engine_process.h
    std::thread reader_thread;            // the current engine's stdout reader, or empty
    std::thread health_thread;            // the /health poller, or empty
    uint32_t health_generation = 0;       // the generation the poller was started for
    std::shared_ptr<std::atomic<bool>> health_running;  // set by the poller while it runs

    std::deque<std::string> pending_page_messages;  // page messages waiting for "hello", oldest first

    std::filesystem::path launcher_folder;  // the launcher's own folder: `mivra` lies there and runs there
    std::filesystem::path data_folder;      // the launcher's data folder (engine.log, the web view's data)

    file_descriptor instance_lock;    // held for the life of the first instance
    file_descriptor activation_socket; // where later instances say "activate"
};

extern launcher_state launcher;

// The folder of the launcher's own program file.
std::filesystem::path launcher_dir();
// $XDG_STATE_HOME/Mivra (default ~/.local/state/Mivra), created with its missing parents (mode 0700) whenever it is
// asked for, creation errors ignored; the launcher folder when no such folder can be named.
std::filesystem::path data_dir();
// engine.log in launcher.data_folder.
std::filesystem::path engine_log_path();
