// Test driver: runs one distribution routine in a process of its own, so a test can give it another HOME or
// catalog source through the child's environment instead of changing its own.
//   distribution_driver auto-path     the automatic PATH call of start; prints 1 when the PATH line changed
//   distribution_driver update-check  runs the update check on its own thread, waits for it, prints the notice
//   distribution_driver update-source prints the catalog source the update check reads
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "common/process_state.h"
#include "distribution/update_notice.h"
#include "distribution/user_path.h"

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "auto-path") {
        std::printf("%d\n", set_user_path(true, false) ? 1 : 0);
        return 0;
    }
    if (mode == "update-check") {
        std::thread(update_check_thread).join();
        std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
        std::printf("%s\n", agent_state.update_notice.dump().c_str());
        return 0;
    }
    if (mode == "update-source") {
        std::printf("%s\n", update_check_source().c_str());
        return 0;
    }
    std::fprintf(stderr, "usage: distribution_driver auto-path|update-check|update-source\n");
    return 2;
}
