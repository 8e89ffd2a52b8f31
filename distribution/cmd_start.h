// `mivra start`: the one-step way to get a model running. Reads the catalog, finds packs already on the PC, offers
// a menu (numbered on the console, or JSON event lines for the desktop launcher with --gui, answered by command
// lines on stdin), downloads or updates the chosen pack, remembers the choice in last.txt and then serves the pack
// in this process on port 8080 with a context of 12288 tokens.
//
// Runs on the main thread; the only other thread it starts is the detached browser opener of the console mode.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

// The serve step that start ends with: runs `serve` in this process with the command line it is given ("mivra",
// "serve", the pack folder, "-c", "12288") and returns its exit code. The command line (cli) passes it down, since
// serving needs layers above this one.
using serve_command_fn = std::function<int(int argc, char** argv)>;

// argv[0] is "start"; the options --gui and --menu follow in any order (others are ignored). Returns the exit
// code: 0 when a server already answers on port 8080 (console), after "q", "quit" or the end of input; 1 when no
// model can be offered or a download fails; otherwise what `serve` returns. Filesystem errors while listing the
// models folder leave it for main.
int cmd_start(int argc, char** argv, const serve_command_fn& serve);

// MIVRA_MODELS_DIR when set and not empty, else the folder "models" beside the program.
std::filesystem::path start_models_dir();

// Under the launcher writes the event line; otherwise prints the console text on stdout. Flushes either way.
void emit_message(const std::string& console_text, const nlohmann::json& event);

// Body of the browser thread: polls GET /health on 127.0.0.1:port once a second, at most 900 times, and opens
// "http://127.0.0.1:<port>" in the browser when it answers 200. Owns everything it uses.
void open_browser_when_ready(int port);
