// The MoE step of one layer: lossy routing, the distinct experts of the batch taken from the expert cache chunk
// by chunk and computed on slot memory in place as their reads finish, the prefetch of the next layer's
// predicted experts, and the weighted sum of the expert outputs added to the residual stream. The layer's last
// expert graph does that sum itself and goes on with the next layer's attention and routing (expert_ffn.cpp).
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "engine/runtime/expert_cache.h"
#include "engine/runtime/lossy_routing.h"
#include "engine/runtime/model_runner.h"
#include "ggml.h"

void model_runner::apply_lossy_routing(int32_t layer, int32_t n_rows) {
    const int32_t k = hparams.n_expert_used;
    routed += static_cast<uint64_t>(k) * n_rows;
    if (n_rows == 1 && seqs.size() == 1 && seqs[0].lossy.prefer_cached > 0.0f &&
        router_probs.size() == static_cast<size_t>(hparams.n_expert)) {
        swapped += swap_for_cached(routes.data(), route_weights.data(), k, router_probs.data(), hparams.n_expert,
                                   seqs[0].lossy.prefer_cached,
                                   [&](int32_t e) { return cache->is_ready(layer, e); });
    }
    for (const sequence_state& s : seqs) {
        if (s.lossy.skip_below <= 0.0f && s.lossy.expert_mass <= 0.0f) continue;
        for (int32_t t = s.first_row; t < s.first_row + s.n_tokens; ++t) {
            skipped += drop_routes(routes.data() + t * k, route_weights.data() + t * k, k, s.lossy.skip_below,
                                   s.lossy.expert_mass);
        }
    }
}

void model_runner::moe_layer(int32_t layer, int32_t n_rows) {
    const int32_t k = hparams.n_expert_used;
    const size_t E = hparams.n_embd;
    bool allow_lowbit = true, lossy = false;
    for (const sequence_state& s : seqs) {
        allow_lowbit = allow_lowbit && s.lossy.lowbit;
        lossy = lossy || changes_routing(s.lossy);
    }
    if (lossy) apply_lossy_routing(layer, n_rows);

    // Distinct experts in order of first use, with the entries (row * k + position) routed to each.
    std::vector<int32_t> distinct;
    std::vector<std::vector<int32_t>> entries;
    std::vector<int32_t> index_of(hparams.n_expert, -1);
    for (int32_t e = 0; e < n_rows * k; ++e) {
        const int32_t x = routes[e];
        if (x < 0) continue;
        if (index_of[x] < 0) {
            index_of[x] = static_cast<int32_t>(distinct.size());
            distinct.push_back(x);
            entries.emplace_back();
        }
        entries[index_of[x]].push_back(e);
    }

    // Rows of dropped positions take part in the in-graph weighted sum with weight 0: they must hold finite values.
    const auto end_routes = routes.begin() + static_cast<ptrdiff_t>(n_rows) * k;
    if (std::find_if(routes.begin(), end_routes, [](int32_t x) { return x < 0; }) != end_routes) {
        expert_out.resize(std::max(expert_out.size(), static_cast<size_t>(n_rows) * k * E));
        for (int32_t e = 0; e < n_rows * k; ++e) {
            if (routes[e] < 0) std::fill_n(expert_out.begin() + static_cast<size_t>(e) * E, E, 0.0f);
        }
    }

    // At most n_slots distinct experts are pinned at a time, so a small cache still completes a large batch. The
    // experts that are ready go into one graph; the layer's last graph also adds the weighted sum to the residual
    // stream and runs the next layer's attention and routing (saving one graph launch per layer).
    bool finished = false;
    std::vector<int32_t> slot(distinct.size(), -1);
    const size_t chunk = static_cast<size_t>(std::max(1, cache->n_slots()));
    try {
        for (size_t start = 0; start < distinct.size(); start += chunk) {
            const size_t end = std::min(start + chunk, distinct.size());
            std::vector<int32_t> pending;
            std::unordered_map<int32_t, int32_t> owner;  // slot -> distinct index
            for (size_t d = start; d < end; ++d) {
                slot[d] = cache->acquire(layer, distinct[d], allow_lowbit);
                pending.push_back(slot[d]);
                owner[slot[d]] = static_cast<int32_t>(d);
            }
            if (end == distinct.size() && !next_experts.empty()) {
                cache->cancel_prefetches();
                for (int32_t e : next_experts) cache->prefetch(layer + 1, e, allow_lowbit);
            }
            while (!pending.empty()) {
                std::vector<int32_t> ready;
                for (int32_t s : cache->wait_any_ready(pending)) ready.push_back(owner.at(s));
                finished = end == distinct.size() && pending.empty();
                run_expert_graph(layer, n_rows, ready, slot, entries, finished);
            }
            cache->unpin_all();
        }
    } catch (...) {
        cache->unpin_all();
        throw;
    }
    // With no expert routed at all nothing was added, and the next layer's attention runs on its own.
    if (finished && layer + 1 < hparams.n_layer) attended_ = layer + 1;
}
