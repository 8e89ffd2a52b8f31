// Per-request knobs of the lossy modes. A knob is active when above zero (lowbit when true);
// all zero is exact routing. The MoE step (moe_layer.cpp) gives them their meaning.
#pragma once

struct lossy_params {
    float skip_below = 0.0f;     // drop a routed expert (never the strongest) whose weight is below this
    float prefer_cached = 0.0f;  // single-token steps: swap a missing expert for a close, resident one
    float expert_mass = 0.0f;    // drop the remaining experts once the earlier weights reach this sum
    bool lowbit = false;         // accept low-bit copies of experts that are not hot
};

// Some knob changes which experts a step routes to (lowbit only changes which copy of them it reads).
inline bool changes_routing(const lossy_params& l) {
    return l.skip_below > 0.0f || l.prefer_cached > 0.0f || l.expert_mass > 0.0f;
}
