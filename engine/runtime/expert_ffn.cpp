// The expert FFN of a group of resident experts, computed on the cache's slot memory in place.
//
// Experts whose slots share a layout (the layer's full or low-bit table) are computed together: the weights are a
// 3-D view of the cache arena in which matrix i is slot first_slot + i, and one ggml_mul_mat_id node per
// projection computes every routed entry of the set, with the same kernels and the same per-row arithmetic as
// libllama's routed experts. Such a node needs work memory for (slot span x entries) row mappings, so a set's
// span is bounded and widely spread slots go into several sets.
//
// The last graph of a layer also scatters the outputs into expert_out, adds the weighted sum to the residual
// stream (the same float operations in the same order as the CPU sum of moe_layer) and appends the next layer's
// attention and routing, so that a layer costs one graph launch.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "engine/runtime/expert_cache.h"
#include "engine/runtime/expert_repack.h"
#include "engine/runtime/model_runner.h"
#include "ggml.h"

namespace {

constexpr size_t max_mapping_bytes = size_t(4) << 20;  // per mul_mat_id node: span x (entries x 8 + 64)

struct expert_set {
    bool lowbit = false;
    int32_t first_slot = 0;
    int32_t last_slot = 0;
    std::vector<int32_t> members;  // distinct expert indices
    std::vector<int32_t> entries;  // routes positions (row * k + position) of every member
    std::vector<int32_t> slots;    // slot per entry
    std::vector<int32_t> experts;  // expert id per entry
    ggml_tensor* act = nullptr;    // FFN activation, n_ff_exp per entry
    ggml_tensor* out = nullptr;    // n_embd per entry
};

size_t mapping_bytes(int64_t span, size_t n_entries) { return static_cast<size_t>(span) * (n_entries * 8 + 64); }

// A (ne0, rows, span) view of the arena: matrix i is the part at `offset` in slot first + i.
ggml_tensor* arena_view(ggml_context* views, const expert_cache& cache, const pack_part& part, int64_t rows,
                        int32_t first, int32_t span) {
    ggml_tensor* t = ggml_new_tensor_3d(views, static_cast<ggml_type>(part.type_id), part.ne0, rows, span);
    t->nb[2] = cache.expert_bytes();
    t->nb[3] = t->nb[2] * span;
    t->data = cache.slot_memory(first) + part.offset;
    return t;
}

struct repack_call {
    expert_repacker* repacker;
    expert_repacker::job* job;
};

// The graph node that repacks: every thread of the graph takes its share of the pieces.
void repack_task(ggml_tensor*, const ggml_tensor*, int ith, int nth, void* data) {
    auto* call = static_cast<repack_call*>(data);
    call->repacker->run(*call->job, ith, nth);
}

// Gate and up lie back to back with one type and shape: one product computes both.
bool gate_up_adjacent(const pack_layer& pl) {
    return pl.gate.type_id == pl.up.type_id && pl.gate.ne0 == pl.up.ne0 && pl.gate.ne1 == pl.up.ne1 &&
           pl.up.offset == pl.gate.offset + pl.gate.bytes &&
           pl.gate.bytes == ggml_row_size(static_cast<ggml_type>(pl.gate.type_id), pl.gate.ne0) * pl.gate.ne1;
}

}  // namespace

void model_runner::run_experts(int32_t layer, int32_t R, const std::vector<int32_t>& group,
                               const std::vector<int32_t>& slot, const std::vector<std::vector<int32_t>>& entries) {
    run_expert_graph(layer, R, group, slot, entries, false);
}

void model_runner::run_expert_graph(int32_t layer, int32_t R, const std::vector<int32_t>& group,
                                    const std::vector<int32_t>& slot, const std::vector<std::vector<int32_t>>& entries,
                                    bool attend_next) {
    const int32_t k = hparams.n_expert_used;
    const int64_t E = hparams.n_embd, F = hparams.n_ff_exp;

    ggml_tensor* gate_b = nullptr;
    ggml_tensor* up_b = nullptr;
    ggml_tensor* down_b = nullptr;
    if (is_gpt_oss) {
        const runner_layer_weights& lw = layers[layer];
        gate_b = require(lw.gate_exps_b, "blk.%d.ffn_gate_exps.bias", layer);
        up_b = require(lw.up_exps_b, "blk.%d.ffn_up_exps.bias", layer);
        down_b = require(lw.down_exps_b, "blk.%d.ffn_down_exps.bias", layer);
    }

    // Members ordered by layout, then slot; consecutive members form a set while the span stays small.
    std::vector<int32_t> order(group);
    std::vector<uint8_t> low(slot.size(), 0);
    for (int32_t d : group) low[d] = cache->holds_lowbit(slot[d]) ? 1 : 0;
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        return low[a] != low[b] ? low[a] < low[b] : slot[a] < slot[b];
    });
    std::vector<expert_set> sets;
    for (int32_t d : order) {
        const size_t n = entries[d].size();
        if (sets.empty() || sets.back().lowbit != (low[d] != 0) ||
            mapping_bytes(slot[d] - sets.back().first_slot + 1, sets.back().entries.size() + n) > max_mapping_bytes) {
            sets.emplace_back();
            sets.back().lowbit = low[d] != 0;
            sets.back().first_slot = slot[d];
        }
        expert_set& s = sets.back();
        s.last_slot = slot[d];
        s.members.push_back(d);
        for (int32_t e : entries[d]) {
            s.entries.push_back(e);
            s.slots.push_back(slot[d]);
            s.experts.push_back(routes[e]);
        }
    }

    size_t n_entries = 0;
    for (const expert_set& s : sets) n_entries += s.entries.size();
    size_t nodes = (seqs.size() * group.size() + 1) * 16;
    size_t bytes = sizeof(float) * n_entries * (3 * E + 7 * F + 4) + sets.size() * 24 * (ggml_tensor_overhead() + 64);
    if (attend_next) {
        nodes += 2 * k + 8 + sets.size();
        bytes += sizeof(float) * size_t(R) * E * (k + 2) + (3 * k + 8 + sets.size()) * (ggml_tensor_overhead() + 64);
        for (const sequence_state& s : seqs) {
            nodes += attention_node_count(s);
            bytes += attention_bytes(s);
        }
    }
    ggml_context* views = ggml_init({(4 * sets.size() + 6) * ggml_tensor_overhead() + 1024, nullptr, true});
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

    // Slots whose plain blobs are repacked by the graph itself (expert_repack.h).
    expert_repacker::job repacking;
    repack_call repack_call{repacker.get(), &repacking};
    ggml_tensor* repack_node = nullptr;

    for (expert_set& s : sets) {
        const int64_t n = static_cast<int64_t>(s.entries.size());
        const int32_t span = s.last_slot - s.first_slot + 1;
        const pack_layer& pl = s.lowbit ? mdl->lowbit_layers[layer] : mdl->expert_layers[layer];
        const bool repacked = repack_experts && repacker && repacker->layer_repackable(pl);
        if (repacked) {
            for (int32_t d : s.members) {
                uint8_t* blob = cache->slot_memory(slot[d]);
                const int64_t key = static_cast<int64_t>(layer) * hparams.n_expert + routes[entries[d].front()];
                if (!repacker->is_repacked(slot[d], blob, key, s.lowbit)) {
                    repacker->plan(repacking, slot[d], blob, pl, key, s.lowbit);
                }
            }
            if (!repack_node && !repacking.pieces.empty()) {
                // The graph's first node: its threads repack the blobs before any product reads them.
                repack_node = ggml_map_custom1(ctx, ggml_new_tensor_1d(ctx, GGML_TYPE_F32, 1), repack_task,
                                               GGML_N_TASKS_MAX, &repack_call);
                ggml_build_forward_expand(gf, repack_node);
            }
        }
        auto view = [&](const pack_part& part, int64_t rows) {
            ggml_tensor* t = arena_view(views, *cache, part, rows, s.first_slot, span);
            if (repacked) repacker->mark(t, part);
            return t;
        };

        // One-token steps broadcast the single row over the entry list (ids (n, 1)); otherwise every entry
        // gets its own gathered row (ids (1, n)).
        ggml_tensor* ids = R == 1 ? ggml_new_tensor_2d(ctx, GGML_TYPE_I32, n, 1) : ggml_new_tensor_2d(ctx, GGML_TYPE_I32, 1, n);
        ggml_tensor* eids = ggml_new_tensor_2d(ctx, GGML_TYPE_I32, ids->ne[0], ids->ne[1]);
        for (int64_t j = 0; j < n; ++j) {
            static_cast<int32_t*>(ids->data)[j] = s.slots[j] - s.first_slot;
            static_cast<int32_t*>(eids->data)[j] = s.experts[j];
        }
        ggml_tensor* b;
        if (R == 1) {
            b = ggml_reshape_3d(ctx, x, E, 1, 1);
        } else {
            ggml_tensor* rows = ggml_new_tensor_1d(ctx, GGML_TYPE_I32, n);
            for (int64_t j = 0; j < n; ++j) static_cast<int32_t*>(rows->data)[j] = s.entries[j] / k;
            b = ggml_reshape_3d(ctx, ggml_get_rows(ctx, x, rows), E, 1, n);
        }

        ggml_tensor* down = view(pl.down, pl.down.ne1);
        if (!is_gpt_oss && gate_up_adjacent(pl)) {
            ggml_tensor* gate_up = view(pl.gate, 2 * pl.gate.ne1);
            s.act = ggml_swiglu(ctx, ggml_mul_mat_id(ctx, gate_up, b, ids));
        } else {
            ggml_tensor* gate = view(pl.gate, pl.gate.ne1);
            ggml_tensor* up = view(pl.up, pl.up.ne1);
            ggml_tensor* u = ggml_mul_mat_id(ctx, up, b, ids);
            ggml_tensor* g = ggml_mul_mat_id(ctx, gate, b, ids);
            if (is_gpt_oss) {
                u = ggml_add_id(ctx, u, up_b, eids);
                g = ggml_add_id(ctx, g, gate_b, eids);
                s.act = ggml_swiglu_oai(ctx, g, u, 1.702f, 7.0f);
            } else {
                s.act = ggml_swiglu_split(ctx, g, u);
            }
        }
        s.out = ggml_mul_mat_id(ctx, down, s.act, ids);
        if (is_gpt_oss) s.out = ggml_add_id(ctx, s.out, down_b, eids);
        ggml_build_forward_expand(gf, s.out);
    }

    std::vector<attention_nodes> next(attend_next ? seqs.size() : 0);
    try {
        if (attend_next) {
            // Every expert output into its row of expert_out, then hidden += sum_k weight_k x output_k (positions
            // in order, as the step without the next layer does on the CPU), then the next layer per sequence.
            ggml_tensor* eo = ggml_new_tensor_2d(views, GGML_TYPE_F32, E, static_cast<int64_t>(R) * k);
            eo->data = expert_out.data();
            for (const expert_set& s : sets) {
                const int64_t n = static_cast<int64_t>(s.entries.size());
                ggml_tensor* rows = ggml_new_tensor_1d(ctx, GGML_TYPE_I64, n);
                for (int64_t j = 0; j < n; ++j) static_cast<int64_t*>(rows->data)[j] = s.entries[j];
                eo = ggml_set_rows(ctx, eo, ggml_reshape_2d(ctx, s.out, E, n), rows);
            }
            ggml_tensor* w = ggml_new_tensor_3d(views, GGML_TYPE_F32, 1, k, R);
            w->data = route_weights.data();
            ggml_tensor* weighted = ggml_mul(ctx, ggml_reshape_3d(ctx, eo, E, k, R), w);  // (E, k, R)
            ggml_tensor* moe = ggml_view_2d(ctx, weighted, E, R, weighted->nb[2], 0);
            for (int32_t j = 1; j < k; ++j) {
                moe = ggml_add(ctx, moe, ggml_view_2d(ctx, weighted, E, R, weighted->nb[2], j * weighted->nb[1]));
            }
            ggml_tensor* h = ggml_new_tensor_2d(views, GGML_TYPE_F32, E, R);
            h->data = hidden.data();
            h = ggml_add(ctx, h, moe);
            for (size_t i = 0; i < seqs.size(); ++i) {
                const sequence_state& s = seqs[i];
                ggml_tensor* x = ggml_view_2d(ctx, h, E, s.n_tokens, h->nb[1], s.first_row * h->nb[1]);
                next[i] = build_attention(ctx, gf, layer + 1, s, x);
            }
        }
        compute(gf);
    } catch (...) {
        ggml_free(ctx);
        ggml_free(views);
        throw;
    }
    if (repack_node) repacker->finish(repacking);

    // Outputs and activations are contiguous, one row per entry in set order. The importance sums read this
    // layer's ffn_input, so they come before the next layer's attention replaces it.
    for (const expert_set& s : sets) {
        const float* out = static_cast<const float*>(s.out->data);
        const float* act = static_cast<const float*>(s.act->data);
        for (size_t j = 0; j < s.entries.size(); ++j) {
            const int32_t e = s.entries[j];
            if (!attend_next) std::memcpy(expert_out.data() + static_cast<size_t>(e) * E, out + j * E, sizeof(float) * E);
            if (!imatrix) continue;
            float* row = imatrix->data() + (static_cast<size_t>(layer) * hparams.n_expert + s.experts[j]) * (E + F);
            const float* in = ffn_input.data() + static_cast<size_t>(e / k) * E;
            for (int64_t c = 0; c < E; ++c) row[c] += in[c] * in[c];
            const float* a = act + j * F;
            for (int64_t c = 0; c < F; ++c) row[E + c] += a[c] * a[c];
        }
    }
    if (attend_next) {
        std::vector<int32_t> prediction;
        for (size_t i = 0; i < seqs.size(); ++i) take_attention(seqs[i], next[i], prediction);
        end_attention(prediction);
    }
    ggml_free(ctx);
    ggml_free(views);
}
