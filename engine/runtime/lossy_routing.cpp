#include "engine/runtime/lossy_routing.h"

#include <algorithm>
#include <vector>

int32_t drop_routes(int32_t* routes, float* weights, int32_t k, float skip_below, float expert_mass) {
    float running = 0.0f, kept = 0.0f;
    int32_t dropped = 0;
    std::vector<bool> drop(k, false);
    for (int32_t j = 0; j < k; ++j) {
        drop[j] = j > 0 && (weights[j] < skip_below || (expert_mass > 0.0f && running >= expert_mass));
        if (drop[j]) {
            ++dropped;
        } else {
            kept += weights[j];
        }
        running += weights[j];
    }
    for (int32_t j = 0; j < k; ++j) {
        if (drop[j]) {
            routes[j] = -1;
            weights[j] = 0.0f;
        } else if (kept > 0.0f) {
            weights[j] /= kept;
        }
    }
    return dropped;
}

int32_t swap_for_cached(int32_t* routes, float* weights, int32_t k, const float* probs, int32_t n_expert,
                        float prefer_cached, const std::function<bool(int32_t)>& ready) {
    // Readiness is asked at most once per expert.
    std::vector<int8_t> known(n_expert, -1);
    auto is_ready = [&](int32_t e) {
        if (known[e] < 0) known[e] = ready(e) ? 1 : 0;
        return known[e] == 1;
    };
    int32_t swaps = 0;
    for (int32_t i = 0; i < k; ++i) {
        if (routes[i] < 0 || is_ready(routes[i])) continue;
        const float floor = (1.0f - prefer_cached) * probs[routes[i]];
        int32_t best = -1;
        for (int32_t j = 0; j < n_expert; ++j) {
            if (probs[j] < floor) continue;
            if (best >= 0 && probs[j] <= probs[best]) continue;
            if (std::find(routes, routes + k, j) != routes + k) continue;
            if (!is_ready(j)) continue;
            best = j;
        }
        if (best >= 0) {
            routes[i] = best;
            ++swaps;
        }
    }
    if (swaps > 0) {
        float sum = 0.0f;
        for (int32_t i = 0; i < k; ++i) sum += probs[routes[i]];
        for (int32_t i = 0; i < k; ++i) weights[i] = probs[routes[i]] / sum;
    }
    return swaps;
}
