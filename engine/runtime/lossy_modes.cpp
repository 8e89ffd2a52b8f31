#include "engine/runtime/lossy_modes.h"

#include <stdexcept>

lossy_params parse_lossy_mode(const std::string& mode) {
    lossy_params p;
    if (mode == "exact") return p;
    if (mode == "balanced" || mode == "fast") {
        p.expert_mass = 0.9f;
        p.lowbit = mode == "fast";
        return p;
    }
    throw std::runtime_error("mode must be exact, balanced or fast");
}

lossy_params lossy_params_from_options(const engine_options& options) {
    lossy_params p = parse_lossy_mode(options.mode);
    if (options.skip_below > 0.0f) p.skip_below = options.skip_below;
    if (options.prefer_cached > 0.0f) p.prefer_cached = options.prefer_cached;
    if (options.expert_mass > 0.0f) p.expert_mass = options.expert_mass;
    p.lowbit = p.lowbit || options.lowbit;
    return p;
}
