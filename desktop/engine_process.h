// The engine: the launcher's one child process of `mivra start --gui`, its stdout reader and its /health poller.
//
// The generation rule: `launcher.generation` rises by one at every stop_engine, and start_engine takes the value
// after one more rise as the new engine's generation (so a start makes it old + 2). Each worker thread keeps the
// generation it was started for and compares it with the current one right before every message it posts; the UI
// thread compares once more when it handles the message, so nothing of an engine that was stopped or replaced
// reaches the page, not even a message that was already on its way.
//
// Threads: start_engine, stop_engine and the send functions run on the UI thread only. Each engine has one reader
// thread; at most one /health poller exists. See launcher_state.h for what the workers may touch.
#pragma once

#include <cstdint>
#include <string>

// The page message of a failed start.
extern const char* const engine_start_failure_text;

// Stops any engine, then starts `mivra start --gui` (plus "--menu" when `menu`) from the launcher folder, in that
// folder, with the launcher's environment: its own process group, killed when the UI thread ends; stdin and stdout
// pipes whose launcher ends are close-on-exec; stderr to engine.log (mode 0600, truncated; without a log when it
// cannot be opened). A program that cannot be started is known at once: the page then gets the start-failure
// error message and no engine is set. Otherwise the engine's reader thread starts.
void start_engine(bool menu);

// Ends the engine and both worker threads, and returns when they are gone: the generation rises, the whole process
// group is killed, stdin is closed, the engine is waited for (at most 5000 ms; one that takes longer is reaped
// later off the UI thread), the reader is woken (even if a descendant outside the group still holds the pipe) and
// joined, the poller joined. Does nothing harmful without an engine.
void stop_engine();

// Starts the /health poller for the current generation (on "starting"). A poller of the current generation that
// still runs makes this do nothing; an older one is joined first.
void start_health_poller();

// Writes `id` + "\n" to the engine's stdin (the user's choice of model). Ignored without an engine, and when the id
// holds a control character (a line feed would add commands); a failed write is ignored.
void send_engine_choice(const std::string& id);
// Writes "locate " + id + "\t" + folder + "\n" to the engine's stdin, under the same rules for id and folder.
void send_engine_locate(const std::string& id, const std::string& folder);

// True when the text holds a byte below 0x20 or the byte 0x7F.
bool has_control_characters(const std::string& text);
