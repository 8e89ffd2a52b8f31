// mivra-test-server: the `mivra` program built with the scripted engine (scripted_output.cpp). In an ASan build a
// line "leak-check" on stdin runs LeakSanitizer on the live process and answers "leak-check N" on stdout, N being
// non-zero when leaked memory was found; the report itself goes to stderr.
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "cli/mivra_main.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>

namespace {

void answer_leak_checks() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line != "leak-check") continue;
        const int leaks = __lsan_do_recoverable_leak_check();
        std::printf("leak-check %d\n", leaks);
        std::fflush(stdout);
    }
}

}  // namespace
#endif

int main(int argc, char** argv) {
#if defined(__SANITIZE_ADDRESS__)
    std::thread(answer_leak_checks).detach();
#endif
    return mivra_main(argc, argv);
}
