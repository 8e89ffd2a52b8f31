// The MoE step of one layer: lossy routing, the distinct experts of the batch taken from the expert cache chunk
// by chunk and computed on slot memory in place as their reads finish, the prefetch of the next layer's
// predicted experts, and the weighted sum of the expert outputs added to the residual stream.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "engine/runtime/expert_cache.h"
#include "engine/runtime/lossy_routing.h"
#include "engine/runtime/model_runner.h"
#include "ggml.h"

namespace {

constexpr size_t max_group = 64;  // experts per graph

bool lossy_active(const lossy_params& l) {
    return l.skip_below > 0.0f || l.prefer_cached > 0.0f || l.expert_mass > 0.0f;
}

}  // namespace

void model_runner::apply_lossy_routing(int32_t layer, int32_t R) {
    const int32_t k = hparams.n_expert_used;
    routed += static_cast<uint64_t>(k) * R;
    if (R == 1 && seqs.size() == 1 && seqs[0].lossy.prefer_cached > 0.0f &&
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

void model_runner::moe_layer(int32_t layer, int32_t R) {
    const int32_t k = hparams.n_expert_used;
    const size_t E = hparams.n_embd;
    bool allow_lowbit = true, lossy = false;
    for (const sequence_state& s : seqs) {
        allow_lowbit = allow_lowbit && s.lossy.lowbit;
        lossy = lossy || lossy_active(s.lossy);
    }
    if (lossy) apply_lossy_routing(layer, R);

    // Distinct experts in order of first use, with the entries (row * k + position) routed to each.
    std::vector<int32_t> distinct;
    std::vector<std::vector<int32_t>> entries;
    std::vector<int32_t> index_of(hparams.n_expert, -1);
    for (int32_t e = 0; e < R * k; ++e) {
        const int32_t x = routes[e];
        if (x < 0) continue;
        if (index_of[x] < 0) {
            index_of[x] = static_cast<int32_t>(distinct.size());
            distinct.push_back(x);
            entries.emplace_back();
        }
        entries[index_of[x]].push_back(e);
    }

    // At most n_slots distinct experts are pinned at a time, so a small cache still completes a large batch.
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
                for (size_t i = 0; i < ready.size(); i += max_group) {
                    std::vector<int32_t> group(ready.begin() + i, ready.begin() + std::min(i + max_group, ready.size()));
                    run_experts(layer, R, group, slot, entries);
                }
            }
            cache->unpin_all();
        }
    } catch (...) {
        cache->unpin_all();
        throw;
    }

    // hidden[t] += sum over routed positions of weight x expert output, in position order.
    std::vector<float> acc(E);
    for (int32_t t = 0; t < R; ++t) {
        const float* out = expert_out.data() + static_cast<size_t>(t) * k * E;
        const float w0 = route_weights[t * k];
        for (size_t i = 0; i < E; ++i) acc[i] = w0 * out[i];
        for (int32_t j = 1; j < k; ++j) {
            if (routes[t * k + j] < 0) continue;
            const float w = route_weights[t * k + j];
            const float* o = out + j * E;
            for (size_t i = 0; i < E; ++i) acc[i] += w * o[i];
        }
        float* h = hidden.data() + static_cast<size_t>(t) * E;
        for (size_t i = 0; i < E; ++i) h[i] += acc[i];
    }
}

namespace {

// Entries of one expert that belong to one sequence, computed together.
struct expert_run {
    int32_t expert = 0;
    std::vector<int32_t> entries;
    ggml_tensor* act = nullptr;  // the FFN activation (n_ff_exp, rows), kept for the importance matrix
    ggml_tensor* out = nullptr;  // (n_embd, rows)
};

}  // namespace

void model_runner::run_experts(int32_t layer, int32_t R, const std::vector<int32_t>& group,
                               const std::vector<int32_t>& slot, const std::vector<std::vector<int32_t>>& entries) {
    const int32_t k = hparams.n_expert_used;
    const int64_t E = hparams.n_embd, F = hparams.n_ff_exp;

    // Batch row -> sequence, to cut each expert's entries into runs of one sequence.
    std::vector<int32_t> seq_of(R);
    for (size_t i = 0; i < seqs.size(); ++i) {
        std::fill_n(seq_of.begin() + seqs[i].first_row, seqs[i].n_tokens, static_cast<int32_t>(i));
    }
    std::vector<expert_run> runs;
    std::vector<size_t> runs_end;  // per group member: end of its runs in `runs`
    size_t n_entries = 0;
    for (int32_t d : group) {
        const std::vector<int32_t>& list = entries[d];
        for (size_t i = 0; i < list.size(); ++i) {
            if (i == 0 || seq_of[list[i] / k] != seq_of[list[i - 1] / k]) {
                runs.push_back({routes[list[i]], {}, nullptr, nullptr});
            }
            runs.back().entries.push_back(list[i]);
        }
        n_entries += list.size();
        runs_end.push_back(runs.size());
    }

    // Weight views and the input live in a context without data; everything computed lives on scratch.
    const size_t n_views = 3 * group.size() + 1;
    ggml_context* views = ggml_init({n_views * ggml_tensor_overhead() + 1024, nullptr, true});
    const size_t nodes = (seqs.size() * group.size() + 1) * 16;
    const size_t bytes = sizeof(float) * n_entries * (2 * E + 6 * F + 4) + runs.size() * 16 * (ggml_tensor_overhead() + 64);
    ggml_context* ctx = nullptr;
    try {
        ctx = scratch_context(bytes, nodes);
    } catch (...) {
        ggml_free(views);
        throw;
    }
    ggml_cgraph* gf = ggml_new_graph_custom(ctx, nodes, false);

    ggml_tensor* x = ggml_new_tensor_2d(views, GGML_TYPE_F32, E, R);
    x->data = ffn_input.data();

    ggml_tensor* gate_b = nullptr;
    ggml_tensor* up_b = nullptr;
    ggml_tensor* down_b = nullptr;
    if (is_gpt_oss) {
        const runner_layer_weights& lw = layers[layer];
        try {
            gate_b = require(lw.gate_exps_b, "blk.%d.ffn_gate_exps.bias", layer);
            up_b = require(lw.up_exps_b, "blk.%d.ffn_up_exps.bias", layer);
            down_b = require(lw.down_exps_b, "blk.%d.ffn_down_exps.bias", layer);
        } catch (...) {
            ggml_free(ctx);
            ggml_free(views);
            throw;
        }
    }
    auto bias_row = [&](ggml_tensor* b, int32_t e) { return ggml_view_1d(ctx, b, b->ne[0], e * b->nb[1]); };

    for (size_t gi = 0; gi < group.size(); ++gi) {
        const int32_t s = slot[group[gi]];
        const pack_layer& pl = cache->holds_lowbit(s) ? mdl->lowbit_layers[layer] : mdl->expert_layers[layer];
        uint8_t* base = cache->slot_memory(s);
        auto part = [&](const pack_part& pp) {
            ggml_tensor* t = ggml_new_tensor_2d(views, static_cast<ggml_type>(pp.type_id), pp.ne0, pp.ne1);
            t->data = base + pp.offset;
            return t;
        };
        ggml_tensor* gate = part(pl.gate);
        ggml_tensor* up = part(pl.up);
        ggml_tensor* down = part(pl.down);

        for (size_t i = gi == 0 ? 0 : runs_end[gi - 1]; i < runs_end[gi]; ++i) {
            expert_run& run = runs[i];
            const int64_t n = static_cast<int64_t>(run.entries.size());
            ggml_tensor* xr;
            if (n == R && run.entries.front() / k == 0 && run.entries.back() / k == R - 1) {
                xr = x;  // every row of the batch, in order (one-token steps)
            } else {
                ggml_tensor* idx = ggml_new_tensor_1d(ctx, GGML_TYPE_I32, n);
                for (int64_t j = 0; j < n; ++j) static_cast<int32_t*>(idx->data)[j] = run.entries[j] / k;
                xr = ggml_get_rows(ctx, x, idx);
            }
            ggml_tensor* g = ggml_mul_mat(ctx, gate, xr);
            ggml_tensor* u = ggml_mul_mat(ctx, up, xr);
            ggml_tensor* y;
            if (is_gpt_oss) {
                u = ggml_add(ctx, u, bias_row(up_b, run.expert));
                g = ggml_add(ctx, g, bias_row(gate_b, run.expert));
                run.act = ggml_swiglu_oai(ctx, g, u, 1.702f, 7.0f);
                y = ggml_add(ctx, ggml_mul_mat(ctx, down, run.act), bias_row(down_b, run.expert));
            } else {
                run.act = ggml_swiglu_split(ctx, g, u);
                y = ggml_mul_mat(ctx, down, run.act);
            }
            run.out = y;
            ggml_build_forward_expand(gf, y);
        }
    }

    try {
        compute(gf);
    } catch (...) {
        ggml_free(ctx);
        ggml_free(views);
        throw;
    }

    if (imatrix) {
        const size_t width = static_cast<size_t>(E + F);
        for (const expert_run& run : runs) {
            float* row = imatrix->data() + (static_cast<size_t>(layer) * hparams.n_expert + run.expert) * width;
            for (size_t i = 0; i < run.entries.size(); ++i) {
                const float* in = ffn_input.data() + static_cast<size_t>(run.entries[i] / k) * E;
                for (int64_t c = 0; c < E; ++c) row[c] += in[c] * in[c];
                const float* a = reinterpret_cast<const float*>(static_cast<const char*>(run.act->data) + i * run.act->nb[1]);
                for (int64_t c = 0; c < F; ++c) row[E + c] += a[c] * a[c];
            }
        }
    }
    for (const expert_run& run : runs) {
        for (size_t i = 0; i < run.entries.size(); ++i) {
            std::memcpy(expert_out.data() + static_cast<size_t>(run.entries[i]) * E,
                        static_cast<const char*>(run.out->data) + i * run.out->nb[1], sizeof(float) * E);
        }
    }
    ggml_free(ctx);
    ggml_free(views);
}
