// The option parser of the engine commands.
#pragma once

#include "engine/runtime/engine_options.h"

// Parses argv[first] .. argv[argc - 1] into engine_options (defaults for what is not given). Options are matched
// as whole words; every option but --lowbit takes the next argument as its value whatever it looks like; other
// words are positional (pack_dir, then input_path; more are ignored). -np is raised to 1, --draft clamped to 0..6.
// Throws std::runtime_error "missing value for " + option, "-t must be between 1 and 512", and the number texts
// of parse_number.h.
engine_options parse_options(int argc, char** argv, int first);
