#include "platform/shell_open.h"

#include "platform/child_process.h"

void start_detached(const std::vector<std::string>& argv) {
    if (argv.empty()) return;
    // A short-lived shell in a session of its own puts the program in the background and ends, so the program
    // (xdg-open may wait for the browser) is adopted by init and this process only reaps the shell. Reaping the shell
    // first keeps the group alive: nothing signals it afterwards. The arguments reach the program as they are.
    child_spec spec;
    spec.argv = {"/bin/sh", "-c", "\"$@\" </dev/null >/dev/null 2>&1 &", "sh"};
    spec.argv.insert(spec.argv.end(), argv.begin(), argv.end());
    spec.env = current_environment();
    spec.new_session = true;
    try {
        spawn_child(spec).reap();
    } catch (const std::exception&) {
        // No shell: nothing is started, as when the program itself is missing.
    }
}

void open_url(const std::string& url) { start_detached({"xdg-open", url}); }
