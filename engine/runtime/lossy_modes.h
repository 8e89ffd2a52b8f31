// Lossy mode presets and the engine's default knobs from the command line.
#pragma once

#include <string>

#include "engine/runtime/engine_options.h"
#include "engine/runtime/lossy_params.h"

// The preset of "exact", "balanced" or "fast" (exact, case-sensitive); anything else throws
// "mode must be exact, balanced or fast".
lossy_params parse_lossy_mode(const std::string& mode);

// The --mode preset, with --skip-below, --prefer-cached and --expert-mass replacing their field when above 0, and
// lowbit on when the preset or --lowbit asks for it.
lossy_params lossy_params_from_options(const engine_options& options);
