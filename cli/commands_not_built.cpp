// Commands that this build does not have yet: each fails through main's error path. A command's own source
// file replaces its line here.
#include "cli/commands.h"

#include <stdexcept>
#include <string>

namespace {

[[noreturn]] void not_built(const char* command) {
    throw std::runtime_error(std::string(command) + " is not available in this build");
}

}  // namespace

int cmd_start(int, char**) { not_built("start"); }
