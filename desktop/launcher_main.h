// The launcher's start-up, main loop and end.
#pragma once

// The program's entry: one launcher per user (a second start shows the first one's window and returns 0 without
// opening a window or starting an engine), then the window, the web view and the main loop until the window is
// destroyed. "--tray" anywhere in any argument keeps the window hidden (the page still loads and starts the engine).
// SIGHUP, SIGINT and SIGTERM end it as its quit command does (the engine's whole process group goes with it).
// Returns 0; 1 only when the display cannot be opened or the start-up fails (with a message on stderr).
int launcher_main(int argc, char** argv);
