// Process-wide signal set-up: the console stop handler and SIGPIPE.
// Call these from the main thread at start, before other threads exist.
#pragma once

// Ignores SIGPIPE, so that a write to a closed pipe or socket fails with EPIPE instead of ending the process.
void ignore_sigpipe();

// Unblocks and handles SIGINT (Ctrl-C), SIGTERM and SIGHUP (terminal closed): the handler writes `message`
// (a string that lives for the whole process) to stderr and ends the process at once with the current stop
// exit code, running no destructors and no exit handlers. The handler is async-signal-safe (write(2), _exit).
void install_stop_handler(const char* message);

// The exit code the stop handler ends the process with (0 until set). Safe to call at any time from any thread.
void set_stop_exit_code(int code);
