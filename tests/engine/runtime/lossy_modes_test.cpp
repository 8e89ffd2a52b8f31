// The lossy mode presets and the command line's overrides of them.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "engine/runtime/lossy_modes.h"

TEST(LossyModes, PresetsAndOverrides) {
    struct row {
        const char* what;
        std::string mode;
        float skip_below, prefer_cached, expert_mass;  // options
        bool lowbit_option;
        lossy_params want;
    };
    const row rows[] = {
        {"exact", "exact", 0, 0, 0, false, {0, 0, 0, false}},
        {"balanced", "balanced", 0, 0, 0, false, {0, 0, 0.9f, false}},
        {"fast", "fast", 0, 0, 0, false, {0, 0, 0.9f, true}},
        {"fast with --expert-mass 0.5", "fast", 0, 0, 0.5f, false, {0, 0, 0.5f, true}},
        {"--skip-below 0 keeps the preset's", "balanced", 0, 0, 0, false, {0, 0, 0.9f, false}},
        {"every override, negative ones ignored", "exact", 0.05f, -1, 0.7f, true, {0.05f, 0, 0.7f, true}},
        {"--prefer-cached", "exact", 0, 0.2f, 0, false, {0, 0.2f, 0, false}},
    };
    for (const row& r : rows) {
        engine_options o;
        o.mode = r.mode;
        o.skip_below = r.skip_below;
        o.prefer_cached = r.prefer_cached;
        o.expert_mass = r.expert_mass;
        o.lowbit = r.lowbit_option;
        const lossy_params p = lossy_params_from_options(o);
        EXPECT_EQ(p.skip_below, r.want.skip_below) << r.what;
        EXPECT_EQ(p.prefer_cached, r.want.prefer_cached) << r.what;
        EXPECT_EQ(p.expert_mass, r.want.expert_mass) << r.what;
        EXPECT_EQ(p.lowbit, r.want.lowbit) << r.what;
    }
    for (const std::string bad : {"Fast", "", "exact ", "turbo"}) {
        try {
            parse_lossy_mode(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "mode must be exact, balanced or fast");
        }
        engine_options o;
        o.mode = bad;
        EXPECT_THROW(lossy_params_from_options(o), std::runtime_error);
    }
}
