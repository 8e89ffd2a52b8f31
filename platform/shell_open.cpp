#include "platform/shell_open.h"

#include "platform/child_process.h"

void open_url(const std::string& url) {
    // A short-lived shell in a session of its own puts xdg-open in the background and ends, so xdg-open (which may
    // wait for the browser) is adopted by init and this process only reaps the shell. Reaping the shell first keeps
    // the group alive: nothing signals it afterwards.
    child_spec spec;
    spec.argv = {"/bin/sh", "-c", "xdg-open \"$1\" </dev/null >/dev/null 2>&1 &", "sh", url};
    spec.env = current_environment();
    spec.new_session = true;
    try {
        spawn_child(spec).reap();
    } catch (const std::exception&) {
        // No shell: the address is not opened, as when xdg-open or a desktop is missing.
    }
}
