// Test driver: runs the pull code in a process of its own, with the retry seam of download_file.h and the platform's
// write seam defined, so that tests can drive retries without waiting and make part-file writes fail.
//   pull_driver pull ARGS...                the pull command (argv from "pull" on); exit code is its result
//   pull_driver start SPEC OUT_DIR [--lowbit]
//                                           pull_pack as start calls it: launcher events on, from_start set; then
//                                           one more line {"type": "result", "code": result, "error": last_pull_error}
// Environment of the seams:
//   MIVRA_TEST_WRITE_FAULT=N[,once]         a part-file write that reaches past byte N stores the bytes up to N and
//                                           fails as on a full disk (only the first such write with ",once"); each
//                                           fault prints "write fault at <offset>" on stderr
//   MIVRA_TEST_LISTING_SECONDS=N            the time limit of the repo listing (instead of 120 s)
// Waits between attempts are not slept; each prints "wait <seconds>" on stderr.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/process_state.h"
#include "distribution/cmd_pull.h"
#include "distribution/launcher_events.h"
#include "platform/files.h"
#include "platform/signals.h"

namespace {

long long write_fault_at = -1;
bool write_fault_once = false;

}  // namespace

extern "C" void mivra_retry_wait_hook(int seconds) { std::fprintf(stderr, "wait %d\n", seconds); }

extern "C" int mivra_listing_time_limit_hook() {
    const char* seconds = std::getenv("MIVRA_TEST_LISTING_SECONDS");
    return seconds ? std::atoi(seconds) : 120;
}

// Only part files grow past a few kilobytes in a pull, so a fault point of some megabytes hits only them.
extern "C" long mivra_write_hook(uint64_t offset, uint64_t length) {
    if (write_fault_at < 0 || offset + length <= static_cast<uint64_t>(write_fault_at)) return -1;
    const long cap = offset >= static_cast<uint64_t>(write_fault_at) ? 0 : static_cast<long>(write_fault_at - offset);
    std::fprintf(stderr, "write fault at %llu\n", static_cast<unsigned long long>(offset));
    if (write_fault_once) write_fault_at = -1;
    return cap;
}

int main(int argc, char** argv) {
    std::setlocale(LC_NUMERIC, "C");
    ignore_sigpipe();
    if (const char* fault = std::getenv("MIVRA_TEST_WRITE_FAULT")) {
        write_fault_at = std::atoll(fault);
        write_fault_once = std::strstr(fault, ",once") != nullptr;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "pull") return cmd_pull(argc - 1, argv + 1);
    if (mode == "start" && argc >= 4) {
        set_gui_progress(true);
        const bool lowbit = argc > 4 && std::string(argv[4]) == "--lowbit";
        const int code = pull_pack(argv[2], argv[3], lowbit, false, true);
        emit_json_line({{"type", "result"}, {"code", code}, {"error", last_pull_error}});
        return code;
    }
    std::fprintf(stderr, "usage: pull_driver pull ARGS... | start SPEC OUT_DIR [--lowbit]\n");
    return 2;
}
