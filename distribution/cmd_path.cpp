#include "distribution/cmd_path.h"

#include <cstdio>
#include <string>

#include "distribution/user_path.h"

int cmd_path(int argc, char** argv) {
    const std::string word = argc > 1 ? argv[1] : "";
    if (word == "on" || word == "off") {
        std::string error;
        set_user_path(word == "on", true, &error);
        if (!error.empty()) {
            std::fprintf(stderr, "error: %s\n", error.c_str());
            return 1;
        }
        std::fputs(word == "on" ? "  Done. In a new terminal window, `mivra start` now works from any folder.\n"
                                : "  Done. `mivra` is no longer on your PATH; run it as ./mivra from its folder.\n",
                   stdout);
        std::fflush(stdout);
        return 0;
    }
    std::fputs("usage: mivra path on    let `mivra` work in any terminal, from any folder\n"
               "       mivra path off   take this Mivra folder out of your PATH\n",
               stdout);
    return word.empty() ? 0 : 1;
}
