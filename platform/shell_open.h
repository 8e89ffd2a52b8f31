// Opening a web address in the user's browser: `xdg-open` started as a detached process.
#pragma once

#include <string>

// Starts `xdg-open url` in its own session with its standard streams on /dev/null, detached from this process (it
// is not left as a child to be reaped, and it writes nothing on this process's stdout). Returns at once; failures
// (no xdg-open, no desktop) are silent. Safe from any thread.
void open_url(const std::string& url);
