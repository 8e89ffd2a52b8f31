// Test driver: runs one distribution routine in a process of its own, so a test can give it another HOME or
// catalog source through the child's environment instead of changing its own.
//   distribution_driver auto-path     the automatic PATH call of start; prints 1 when the PATH line changed
//   distribution_driver update-check  runs the update check on its own thread, waits for it, prints the notice
//   distribution_driver update-source prints the catalog source the update check reads
//   distribution_driver load-catalog  prints {"ids": the catalog's ids, "note": catalog_update_info}
//   distribution_driver start-note [--gui]  load_catalog, then print_update_note (under the launcher with --gui)
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "common/process_state.h"
#include "distribution/launcher_events.h"
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
    if (mode == "load-catalog") {
        nlohmann::json ids = nlohmann::json::array();
        for (const catalog_entry& e : load_catalog()) ids.push_back(e.id);
        std::printf("%s\n", nlohmann::json({{"ids", ids}, {"note", catalog_update_info}}).dump().c_str());
        return 0;
    }
    if (mode == "start-note") {
        gui_mode = argc > 2 && std::string(argv[2]) == "--gui";
        load_catalog();
        print_update_note();
        return 0;
    }
    std::fprintf(stderr, "usage: distribution_driver auto-path|update-check|update-source|load-catalog|start-note\n");
    return 2;
}
