// The expert FFN of a group of resident experts, computed on the cache's slot memory in place.
//
// Experts whose slots share a layout (the layer's full or low-bit table) are computed together: the weights are a
// 3-D view of the cache arena in which matrix i is slot first_slot + i, and one ggml_mul_mat_id node per
// projection computes every routed entry of the set, with the same kernels and the same per-row arithmetic as
// libllama's routed experts. Such a node needs work memory for (slot span x entries) row mappings, so a set's
// span is bounded and widely spread slots go into several sets.
//
// Repacking a blob for ggml's interleaved kernels costs about as much as computing on it a few times, so it only
// pays off for an expert that stays resident (expert_cache::expected_to_stay: every expert when the cache holds them
// all or most uses find their expert ready, else the busiest hot ones, which eviction spares). An expert that
// streams through the cache is computed on the layout read from disk (the same results up to the kernels'
// rounding); one already repacked keeps its layout.
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
#include "ggml-cpp.h"
#include "ggml.h"

namespace {

constexpr size_t max_mapping_bytes = size_t(4) << 20;  // per mul_mat_id node: span x (entries x 8 + 64)

struct expert_set {
    bool lowbit = false;
    bool repacked = false;         // the members' blobs hold (or are about to hold) the repacked layout
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

// The expert biases of a "gpt-oss" layer; all null for other models.
struct expert_biases {
    ggml_tensor* gate = nullptr;
    ggml_tensor* up = nullptr;
    ggml_tensor* down = nullptr;
};

// The graph being built and what its nodes share.
struct ffn_graph {
    ggml_context* ctx;    // the nodes, on the runner's scratch memory
    ggml_context* views;  // tensors without data of their own: the arena, the runner's row buffers
    ggml_cgraph* gf;
    ggml_tensor* x;       // the layer's normalised MoE input, (n_embd, n_rows)
    int32_t n_rows;
    int32_t k;            // experts used per row
};

// Plain blobs that the graph repacks in its first node (expert_repack.h). Lives until the graph has run: the
// node keeps a pointer to `call`.
struct graph_repack {
    expert_repacker::job job;
    repack_call call{nullptr, nullptr};
    ggml_tensor* node = nullptr;
};

// The members of `group` (indices into the layer's distinct experts; slot[d] and entries[d] belong to expert d) in
// sets that one product per projection can compute: ordered by layout (layer table, then repacked or not; `packed`
// per distinct expert), then slot, a set ending where the layout changes or its row mappings would grow past
// max_mapping_bytes.
std::vector<expert_set> make_expert_sets(const std::vector<int32_t>& routes, const std::vector<int32_t>& group,
                                         const std::vector<int32_t>& slot,
                                         const std::vector<std::vector<int32_t>>& entries,
                                         const std::vector<uint8_t>& low, const std::vector<uint8_t>& packed) {
    std::vector<int32_t> order(group);
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        if (low[a] != low[b]) return low[a] < low[b];
        if (packed[a] != packed[b]) return packed[a] < packed[b];
        return slot[a] < slot[b];
    });
    std::vector<expert_set> sets;
    for (int32_t d : order) {
        const size_t n = entries[d].size();
        if (sets.empty() || sets.back().lowbit != (low[d] != 0) || sets.back().repacked != (packed[d] != 0) ||
            mapping_bytes(slot[d] - sets.back().first_slot + 1, sets.back().entries.size() + n) > max_mapping_bytes) {
            sets.emplace_back();
            sets.back().lowbit = low[d] != 0;
            sets.back().repacked = packed[d] != 0;
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
    return sets;
}

// The set's input rows as the products take them: a one-token step broadcasts its single row over the entry list,
// otherwise every entry gets its own gathered row. Also the slot index (ids) and expert id (eids) per entry.
ggml_tensor* set_inputs(const ffn_graph& g, const expert_set& s, ggml_tensor*& ids, ggml_tensor*& eids) {
    const int64_t n = static_cast<int64_t>(s.entries.size());
    const int64_t E = g.x->ne[0];
    ids = g.n_rows == 1 ? ggml_new_tensor_2d(g.ctx, GGML_TYPE_I32, n, 1)
                        : ggml_new_tensor_2d(g.ctx, GGML_TYPE_I32, 1, n);
    eids = ggml_new_tensor_2d(g.ctx, GGML_TYPE_I32, ids->ne[0], ids->ne[1]);
    for (int64_t j = 0; j < n; ++j) {
        static_cast<int32_t*>(ids->data)[j] = s.slots[j] - s.first_slot;
        static_cast<int32_t*>(eids->data)[j] = s.experts[j];
    }
    if (g.n_rows == 1) return ggml_reshape_3d(g.ctx, g.x, E, 1, 1);
    ggml_tensor* rows = ggml_new_tensor_1d(g.ctx, GGML_TYPE_I32, n);
    for (int64_t j = 0; j < n; ++j) static_cast<int32_t*>(rows->data)[j] = s.entries[j] / g.k;
    return ggml_reshape_3d(g.ctx, ggml_get_rows(g.ctx, g.x, rows), E, 1, n);
}

// The set's FFN: gate and up products (one when they lie back to back), the activation, the down product, with the
// biases of "gpt-oss". Sets s.act and s.out and adds them to the graph. `repacker` marks the views of repacked
// blobs (null: the plain layout).
void add_set_products(const ffn_graph& g, expert_set& s, const pack_layer& pl, const expert_cache& cache,
                      expert_repacker* repacker, bool gpt_oss, const expert_biases& biases) {
    const int32_t span = s.last_slot - s.first_slot + 1;
    auto view = [&](const pack_part& part, int64_t rows) {
        ggml_tensor* t = arena_view(g.views, cache, part, rows, s.first_slot, span);
        if (repacker) repacker->mark(t, part);
        return t;
    };
    ggml_tensor* ids = nullptr;
    ggml_tensor* eids = nullptr;
    ggml_tensor* b = set_inputs(g, s, ids, eids);

    ggml_tensor* down = view(pl.down, pl.down.ne1);
    if (!gpt_oss && gate_up_adjacent(pl)) {
        ggml_tensor* gate_up = view(pl.gate, 2 * pl.gate.ne1);
        s.act = ggml_swiglu(g.ctx, ggml_mul_mat_id(g.ctx, gate_up, b, ids));
    } else {
        ggml_tensor* gate = view(pl.gate, pl.gate.ne1);
        ggml_tensor* up = view(pl.up, pl.up.ne1);
        ggml_tensor* u = ggml_mul_mat_id(g.ctx, up, b, ids);
        ggml_tensor* gt = ggml_mul_mat_id(g.ctx, gate, b, ids);
        if (gpt_oss) {
            u = ggml_add_id(g.ctx, u, biases.up, eids);
            gt = ggml_add_id(g.ctx, gt, biases.gate, eids);
            s.act = ggml_swiglu_oai(g.ctx, gt, u, 1.702f, 7.0f);
        } else {
            s.act = ggml_swiglu_split(g.ctx, gt, u);
        }
    }
    s.out = ggml_mul_mat_id(g.ctx, down, s.act, ids);
    if (gpt_oss) s.out = ggml_add_id(g.ctx, s.out, biases.down, eids);
    ggml_build_forward_expand(g.gf, s.out);
}

// Every expert output into its row of expert_out, then hidden + sum_k weight_k x output_k (positions in order, as
// the step without the next layer does on the CPU). Returns the new residual stream, (n_embd, n_rows).
ggml_tensor* add_weighted_sum(const ffn_graph& g, const std::vector<expert_set>& sets, std::vector<float>& expert_out,
                              std::vector<float>& route_weights, std::vector<float>& hidden) {
    const int64_t E = g.x->ne[0];
    ggml_tensor* eo = ggml_new_tensor_2d(g.views, GGML_TYPE_F32, E, static_cast<int64_t>(g.n_rows) * g.k);
    eo->data = expert_out.data();
    for (const expert_set& s : sets) {
        const int64_t n = static_cast<int64_t>(s.entries.size());
        ggml_tensor* rows = ggml_new_tensor_1d(g.ctx, GGML_TYPE_I64, n);
        for (int64_t j = 0; j < n; ++j) static_cast<int64_t*>(rows->data)[j] = s.entries[j];
        eo = ggml_set_rows(g.ctx, eo, ggml_reshape_2d(g.ctx, s.out, E, n), rows);
    }
    ggml_tensor* w = ggml_new_tensor_3d(g.views, GGML_TYPE_F32, 1, g.k, g.n_rows);
    w->data = route_weights.data();
    ggml_tensor* weighted = ggml_mul(g.ctx, ggml_reshape_3d(g.ctx, eo, E, g.k, g.n_rows), w);  // (E, k, n_rows)
    ggml_tensor* moe = ggml_view_2d(g.ctx, weighted, E, g.n_rows, weighted->nb[2], 0);
    for (int32_t j = 1; j < g.k; ++j) {
        moe = ggml_add(g.ctx, moe, ggml_view_2d(g.ctx, weighted, E, g.n_rows, weighted->nb[2], j * weighted->nb[1]));
    }
    ggml_tensor* h = ggml_new_tensor_2d(g.views, GGML_TYPE_F32, E, g.n_rows);
    h->data = hidden.data();
    return ggml_add(g.ctx, h, moe);
}

// Plans the repacking of the set's blobs that are not repacked yet, and puts the repack node first in the graph
// when there is work for it.
void plan_set_repack(model_runner& r, int32_t layer, const expert_set& s, const pack_layer& pl,
                     const std::vector<int32_t>& slot, const std::vector<std::vector<int32_t>>& entries,
                     const ffn_graph& g, graph_repack& repack) {
    for (int32_t d : s.members) {
        uint8_t* blob = r.cache->slot_memory(slot[d]);
        const int64_t key = static_cast<int64_t>(layer) * r.hparams.n_expert + r.routes[entries[d].front()];
        if (!r.repacker->is_repacked(slot[d], blob, key, s.lowbit)) {
            r.repacker->plan(repack.job, slot[d], blob, pl, key, s.lowbit);
        }
    }
    if (!repack.node && !repack.job.pieces.empty()) {
        // The graph's first node: its threads repack the blobs before any product reads them.
        repack.node = ggml_map_custom1(g.ctx, ggml_new_tensor_1d(g.ctx, GGML_TYPE_F32, 1), repack_task,
                                       GGML_N_TASKS_MAX, &repack.call);
        ggml_build_forward_expand(g.gf, repack.node);
    }
}

}  // namespace

void model_runner::run_experts(int32_t layer, int32_t n_rows, const std::vector<int32_t>& group,
                               const std::vector<int32_t>& slot, const std::vector<std::vector<int32_t>>& entries) {
    run_expert_graph(layer, n_rows, group, slot, entries, false);
}

void model_runner::run_expert_graph(int32_t layer, int32_t n_rows, const std::vector<int32_t>& group,
                                    const std::vector<int32_t>& slot, const std::vector<std::vector<int32_t>>& entries,
                                    bool attend_next) {
    const int32_t k = hparams.n_expert_used;
    const int64_t E = hparams.n_embd, F = hparams.n_ff_exp;
    expert_biases biases;
    if (is_gpt_oss) {
        const runner_layer_weights& lw = layers[layer];
        biases.gate = require(lw.gate_exps_b, "blk.%d.ffn_gate_exps.bias", layer);
        biases.up = require(lw.up_exps_b, "blk.%d.ffn_up_exps.bias", layer);
        biases.down = require(lw.down_exps_b, "blk.%d.ffn_down_exps.bias", layer);
    }
    // Per distinct expert of the group: which layer table describes its blob, and whether it is computed repacked.
    std::vector<uint8_t> low(slot.size(), 0), packed(slot.size(), 0);
    for (int32_t d : group) {
        low[d] = cache->holds_lowbit(slot[d]) ? 1 : 0;
        const pack_layer& pl = low[d] ? mdl->lowbit_layers[layer] : mdl->expert_layers[layer];
        if (!repack_experts || !repacker || !repacker->layer_repackable(pl)) continue;
        const int64_t key = static_cast<int64_t>(layer) * hparams.n_expert + routes[entries[d].front()];
        packed[d] = cache->expected_to_stay(key) ||
                    repacker->is_repacked(slot[d], cache->slot_memory(slot[d]), key, low[d] != 0);
    }
    std::vector<expert_set> sets = make_expert_sets(routes, group, slot, entries, low, packed);

    // Room for the graph: the sets' products, and with attend_next the weighted sum and the next layer's attention.
    size_t n_entries = 0;
    for (const expert_set& s : sets) n_entries += s.entries.size();
    size_t nodes = (seqs.size() * group.size() + 1) * 16;
    size_t bytes = sizeof(float) * n_entries * (3 * E + 7 * F + 4) + sets.size() * 24 * (ggml_tensor_overhead() + 64);
    if (attend_next) {
        nodes += 2 * k + 8 + sets.size();
        bytes += sizeof(float) * size_t(n_rows) * E * (k + 2) +
                 (3 * k + 8 + sets.size()) * (ggml_tensor_overhead() + 64);
        nodes += attention_node_count();
        bytes += attention_bytes();
    }
    const ggml_context_ptr views(ggml_init({(4 * sets.size() + 6) * ggml_tensor_overhead() + 1024, nullptr, true}));
    const ggml_context_ptr ctx = scratch_context(bytes, nodes);
    ffn_graph g{ctx.get(), views.get(), ggml_new_graph_custom(ctx.get(), nodes, false), nullptr, n_rows, k};
    g.x = ggml_new_tensor_2d(g.views, GGML_TYPE_F32, E, n_rows);
    g.x->data = ffn_input.data();

    // The products of every set, repacking first the plain blobs of the sets that are computed repacked.
    graph_repack repack;
    repack.call = {repacker.get(), &repack.job};
    for (expert_set& s : sets) {
        const pack_layer& pl = s.lowbit ? mdl->lowbit_layers[layer] : mdl->expert_layers[layer];
        if (s.repacked) plan_set_repack(*this, layer, s, pl, slot, entries, g, repack);
        add_set_products(g, s, pl, *cache, s.repacked ? repacker.get() : nullptr, is_gpt_oss, biases);
    }

    // The weighted sum into the residual stream and the next layer's attention and routing of the whole batch.
    std::vector<attention_nodes> next;
    if (attend_next) {
        next = build_attention(g.ctx, g.gf, layer + 1, add_weighted_sum(g, sets, expert_out, route_weights, hidden));
    }
    compute(g.gf);
    if (repack.node) repacker->finish(repack.job);

    // Outputs and activations are contiguous, one row per entry in set order. The importance sums read this
    // layer's ffn_input, so they come before the next layer's attention replaces it.
    for (const expert_set& s : sets) {
        const float* out = static_cast<const float*>(s.out->data);
        const float* act = static_cast<const float*>(s.act->data);
        for (size_t j = 0; j < s.entries.size(); ++j) {
            const int32_t e = s.entries[j];
            if (!attend_next) {
                std::memcpy(expert_out.data() + static_cast<size_t>(e) * E, out + j * E, sizeof(float) * E);
            }
            if (!imatrix) continue;
            float* row = imatrix->data() + (static_cast<size_t>(layer) * hparams.n_expert + s.experts[j]) * (E + F);
            const float* in = ffn_input.data() + static_cast<size_t>(e / k) * E;
            for (int64_t c = 0; c < E; ++c) row[c] += in[c] * in[c];
            const float* a = act + j * F;
            for (int64_t c = 0; c < F; ++c) row[E + c] += a[c] * a[c];
        }
    }
    if (attend_next) take_attention(next);
}
