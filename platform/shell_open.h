// Starting programs that live on their own: a web address in the user's browser (`xdg-open`), or any program that
// is not this process's business afterwards (a terminal window).
#pragma once

#include <string>
#include <vector>

// Starts `argv` (argv[0] looked up along this process's PATH) in a session of its own with its standard streams on
// /dev/null, detached from this process: it is not left as a child to be reaped, it is not ended with this process,
// and it writes nothing on this process's stdout. Returns at once; failures (no such program) are silent. Safe from
// any thread.
void start_detached(const std::vector<std::string>& argv);

// start_detached({"xdg-open", url}). Failures (no xdg-open, no desktop) are silent. Safe from any thread.
void open_url(const std::string& url);
