// The lossy knobs' edits of one token's routing: k routed experts in descending router order with their weights.
#pragma once

#include <cstdint>
#include <functional>

// Drops routed positions after the first: position j > 0 goes when its weight is below skip_below, or when
// expert_mass > 0 and the weights of the positions before it (dropped ones included) add up to at least
// expert_mass. A dropped position gets route -1 and weight 0; the kept weights are divided by their sum.
// Returns the number of positions dropped.
int32_t drop_routes(int32_t* routes, float* weights, int32_t k, float skip_below, float expert_mass);

// For each position whose expert is not ready, picks the most probable ready expert (first on ties) that is not
// among the token's routes and whose probability is at least (1 - prefer_cached) x the replaced expert's. When any
// position changed, every weight becomes probs[route] / (sum of probs over the k routes). Returns the number of
// positions replaced. `probs` holds n_expert router probabilities.
int32_t swap_for_cached(int32_t* routes, float* weights, int32_t k, const float* probs, int32_t n_expert,
                        float prefer_cached, const std::function<bool(int32_t)>& ready);
