// Test driver: runs one distribution routine in a process of its own, so a test can give it another HOME or
// catalog source through the child's environment instead of changing its own.
//   distribution_driver auto-path     the automatic PATH call of start; prints 1 when the PATH line changed
#include <cstdio>
#include <string>

#include "distribution/user_path.h"

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "auto-path") {
        std::printf("%d\n", set_user_path(true, false) ? 1 : 0);
        return 0;
    }
    std::fprintf(stderr, "usage: distribution_driver auto-path\n");
    return 2;
}
