// The expert FFN of a group of resident experts, computed on the cache's slot memory in place.
//
// Experts whose slots share a layout (the layer's full or low-bit table) are computed together: the weights are a
// 3-D view of the cache arena in which matrix i is slot first_slot + i, and one ggml_mul_mat_id node per
// projection computes every routed entry of the set, with the same kernels and the same per-row arithmetic as
// libllama's routed experts. Such a node needs work memory for (slot span x entries) row mappings, so a set's
// span is bounded and widely spread slots go into several sets. When one set can take every route of the step, its
// products take the rows as libllama gives them ((k, n_rows) ids), so that each row is quantised once for its k
// experts rather than once per route.
//
// In a prompt, a repacked expert with many routed rows gets its own mul_mat per projection instead: ggml's
// repacked kernels then multiply four rows per pass over the weights, where mul_mat_id passes over them once per
// row. (On q4_K this rounds differently from the one-row kernel, within what libllama's own repacked run differs
// from its plain one.) Those products write their rows straight into the set's output tensors.
//
// Repacking a blob for ggml's interleaved kernels costs about as much as computing on it a few times, so it only
// pays off for an expert that stays resident (expert_cache::expected_to_stay: every expert when the cache holds them
// all or most uses find their expert ready, else the busiest hot ones, which eviction spares). An expert that
// streams through the cache is computed on the layout read from disk (the same results up to the kernels'
// rounding); one already repacked keeps its layout.
//
// The last graph of a layer also adds the weighted sum of the expert outputs to the residual stream and appends the
// next layer's attention and routing, or after the last layer the output norm and head, so that a step costs one
// graph launch per layer plus one for the first layer's attention.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "engine/runtime/expert_cache.h"
#include "engine/runtime/expert_graph.h"
#include "engine/runtime/expert_repack.h"
#include "engine/runtime/model_runner.h"
#include "ggml-cpp.h"
#include "ggml.h"

namespace {

constexpr size_t max_mapping_bytes = size_t(4) << 20;  // per mul_mat_id node: span x (entries x 8 + 64)
// A repacked expert with at least this many entries gets products of its own: ggml's repacked mul_mat takes four
// input rows per pass over the weights (mul_mat_id takes one).
constexpr int32_t own_product_entries = 8;

struct expert_set {
    bool lowbit = false;
    bool repacked = false;         // the members' blobs hold (or are about to hold) the repacked layout
    bool dense = false;            // every entry of the step, in routes order: the products take (k, n_rows) ids
    int32_t first_slot = 0;
    int32_t last_slot = 0;
    std::vector<int32_t> members;  // distinct expert indices
    std::vector<int32_t> counts;   // entries per member
    int32_t n_shared = 0;          // entries of the members before the first with a product of its own
    std::vector<int32_t> entries;  // routes positions (row * k + position) of every member, member by member
    std::vector<int32_t> slots;    // slot per entry
    std::vector<int32_t> experts;  // expert id per entry
    ggml_tensor* act = nullptr;    // FFN activation, n_ff_exp per entry
    ggml_tensor* out = nullptr;    // n_embd per entry
};

size_t mapping_bytes(int64_t span, size_t n_entries) { return static_cast<size_t>(span) * (n_entries * 8 + 64); }

// The graph being built and what its nodes share.
struct ffn_graph {
    ggml_context* ctx;    // the nodes, on the runner's scratch memory
    ggml_context* views;  // tensors without data of their own: the arena, the runner's row buffers
    ggml_context* products;  // product nodes that write into a set-wide tensor (their data is set when built)
    ggml_cgraph* gf;
    ggml_tensor* x;       // the layer's normalised MoE input, (n_embd, n_rows)
    int32_t n_rows;
    int32_t k;            // experts used per row
};

// The members of `group` (indices into the layer's distinct experts; slot[d] and entries[d] belong to expert d) in
// sets that one product per projection can compute: ordered by layout (layer table, then repacked or not; `packed`
// per distinct expert), then slot, a set ending where the layout changes or the row mappings of its shared
// mul_mat_id would grow past max_mapping_bytes. Within a set the members that share the mul_mat_id come first, then
// those with products of their own, which do not count towards the mappings.
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
    auto own = [&](int32_t d) {
        return packed[d] != 0 && static_cast<int32_t>(entries[d].size()) >= own_product_entries;
    };
    std::vector<expert_set> sets;
    for (int32_t d : order) {
        const int32_t n = static_cast<int32_t>(entries[d].size());
        const bool layout_changes =
            sets.empty() || sets.back().lowbit != (low[d] != 0) || sets.back().repacked != (packed[d] != 0);
        const bool mappings_full =
            !layout_changes && !own(d) && sets.back().n_shared > 0 &&
            mapping_bytes(slot[d] - sets.back().first_slot + 1, size_t(sets.back().n_shared) + n) > max_mapping_bytes;
        if (layout_changes || mappings_full) {
            sets.emplace_back();
            sets.back().lowbit = low[d] != 0;
            sets.back().repacked = packed[d] != 0;
        }
        expert_set& s = sets.back();
        s.members.push_back(d);
        if (own(d)) continue;
        if (s.n_shared == 0) s.first_slot = slot[d];
        s.last_slot = slot[d];
        s.n_shared += n;
    }
    for (expert_set& s : sets) {
        std::stable_partition(s.members.begin(), s.members.end(), [&](int32_t d) { return !own(d); });
        for (int32_t d : s.members) {
            s.counts.push_back(static_cast<int32_t>(entries[d].size()));
            for (int32_t e : entries[d]) {
                s.entries.push_back(e);
                s.slots.push_back(slot[d]);
                s.experts.push_back(routes[e]);
            }
        }
    }
    return sets;
}

// The whole step as one set when that is possible and no expert has products of its own: every route of every row
// kept, every distinct expert in `group` with one layout, and the products' row mappings within max_mapping_bytes.
// Its entries are the routes in order, so the products quantise each row once for its k experts and write their
// outputs in expert_out's order. Returns false (and leaves `sets` alone) when the step needs make_expert_sets.
bool make_dense_set(const std::vector<int32_t>& routes, int32_t n_rows, int32_t k, const std::vector<int32_t>& group,
                    const std::vector<int32_t>& slot, const std::vector<std::vector<int32_t>>& entries,
                    const std::vector<uint8_t>& low, const std::vector<uint8_t>& packed,
                    std::vector<expert_set>& sets) {
    if (n_rows < 2 || group.size() != slot.size()) return false;
    int32_t first = slot[group[0]], last = first;
    for (int32_t d : group) {
        if (low[d] != low[group[0]] || packed[d] != packed[group[0]]) return false;
        if (packed[d] && static_cast<int32_t>(entries[d].size()) >= own_product_entries) return false;
        first = std::min(first, slot[d]);
        last = std::max(last, slot[d]);
    }
    const size_t n = static_cast<size_t>(n_rows) * k;
    std::vector<int32_t> entry_slot(n, -1);
    for (int32_t d : group) {
        for (int32_t e : entries[d]) entry_slot[e] = slot[d];
    }
    for (size_t e = 0; e < n; ++e) {
        if (entry_slot[e] < 0) return false;  // a dropped route
    }
    // ggml's repacked mul_mat_id maps (expert, row) pairs, its plain one (expert, entry) pairs.
    const size_t span = static_cast<size_t>(last - first) + 1;
    if (span * ((packed[group[0]] ? n_rows + 1 : n) * 8 + 64) > max_mapping_bytes) return false;
    expert_set s;
    s.lowbit = low[group[0]] != 0;
    s.repacked = packed[group[0]] != 0;
    s.dense = true;
    s.first_slot = first;
    s.last_slot = last;
    s.members = group;
    s.n_shared = static_cast<int32_t>(n);
    for (size_t e = 0; e < n; ++e) {
        s.entries.push_back(static_cast<int32_t>(e));
        s.slots.push_back(entry_slot[e]);
        s.experts.push_back(routes[e]);
    }
    sets.assign(1, std::move(s));
    return true;
}

// The set's input rows as the products take them: a one-token step broadcasts its single row over the entry list,
// otherwise every entry gets its own gathered row. Also the slot index of every entry of the shared mul_mat_id
// (ids) and the expert id of every entry (eids).
ggml_tensor* set_inputs(const ffn_graph& g, const expert_set& s, ggml_tensor*& ids, ggml_tensor*& eids) {
    const int64_t n = static_cast<int64_t>(s.entries.size());
    const int64_t E = g.x->ne[0];
    if (s.dense) {
        ids = ggml_new_tensor_2d(g.ctx, GGML_TYPE_I32, g.k, g.n_rows);
        eids = ggml_new_tensor_2d(g.ctx, GGML_TYPE_I32, g.k, g.n_rows);
        for (int64_t j = 0; j < n; ++j) {
            static_cast<int32_t*>(ids->data)[j] = s.slots[j] - s.first_slot;
            static_cast<int32_t*>(eids->data)[j] = s.experts[j];
        }
        return ggml_reshape_3d(g.ctx, g.x, E, 1, g.n_rows);
    }
    ids = nullptr;
    if (s.n_shared > 0) {
        ids = g.n_rows == 1 ? ggml_new_tensor_2d(g.ctx, GGML_TYPE_I32, s.n_shared, 1)
                            : ggml_new_tensor_2d(g.ctx, GGML_TYPE_I32, 1, s.n_shared);
        for (int64_t j = 0; j < s.n_shared; ++j) static_cast<int32_t*>(ids->data)[j] = s.slots[j] - s.first_slot;
    }
    eids = g.n_rows == 1 ? ggml_new_tensor_2d(g.ctx, GGML_TYPE_I32, n, 1) : ggml_new_tensor_2d(g.ctx, GGML_TYPE_I32, 1, n);
    for (int64_t j = 0; j < n; ++j) static_cast<int32_t*>(eids->data)[j] = s.experts[j];
    if (g.n_rows == 1) return ggml_reshape_3d(g.ctx, g.x, E, 1, 1);
    ggml_tensor* rows = ggml_new_tensor_1d(g.ctx, GGML_TYPE_I32, n);
    for (int64_t j = 0; j < n; ++j) static_cast<int32_t*>(rows->data)[j] = s.entries[j] / g.k;
    return ggml_reshape_3d(g.ctx, ggml_get_rows(g.ctx, g.x, rows), E, 1, n);
}

// One projection of every entry of the set: `rows` outputs per entry from `in` (one input row per entry, or the
// broadcast row of a one-token step). Without members of their own it is the set's mul_mat_id; otherwise the
// shared mul_mat_id and each own member's mul_mat write their rows of one (rows, 1, n) tensor, in entry order.
ggml_tensor* project(const ffn_graph& g, const expert_set& s, const pack_part& part, int64_t rows, ggml_tensor* in,
                     ggml_tensor* ids, const expert_cache& cache, expert_repacker* repacker) {
    auto weights = [&](int32_t first, int32_t span) {
        ggml_tensor* t = arena_view(g.views, cache, part, rows, first, span);
        if (repacker) repacker->mark(t, part);
        return t;
    };
    const int64_t n = static_cast<int64_t>(s.entries.size());
    if (s.n_shared == n) return ggml_mul_mat_id(g.ctx, weights(s.first_slot, s.last_slot - s.first_slot + 1), in, ids);

    ggml_tensor* whole = ggml_new_tensor_3d(g.ctx, GGML_TYPE_F32, rows, 1, n);
    auto place = [&](ggml_tensor* product, int64_t row0) {
        product->data = static_cast<char*>(whole->data) + row0 * whole->nb[2];
        ggml_build_forward_expand(g.gf, product);
    };
    if (s.n_shared > 0) {
        ggml_tensor* shared_in = ggml_view_3d(g.ctx, in, in->ne[0], 1, s.n_shared, in->nb[1], in->nb[2], 0);
        place(ggml_mul_mat_id(g.products, weights(s.first_slot, s.last_slot - s.first_slot + 1), shared_in, ids), 0);
    }
    int64_t row0 = 0;
    for (int32_t c : s.counts) {
        if (row0 >= s.n_shared) {
            ggml_tensor* own_in = ggml_view_2d(g.ctx, in, in->ne[0], c, in->nb[2], row0 * in->nb[2]);
            place(ggml_mul_mat(g.products, weights(s.slots[row0], 1), own_in), row0);
        }
        row0 += c;
    }
    return whole;
}

// The set's FFN: gate and up products (one when they lie back to back), the activation, the down product, with the
// biases of "gpt-oss". Sets s.act and s.out and adds them to the graph. `repacker` marks the views of repacked
// blobs (null: the plain layout).
void add_set_products(const ffn_graph& g, expert_set& s, const pack_layer& pl, const expert_cache& cache,
                      expert_repacker* repacker, bool gpt_oss, const expert_biases& biases) {
    ggml_tensor* ids = nullptr;
    ggml_tensor* eids = nullptr;
    ggml_tensor* b = set_inputs(g, s, ids, eids);
    auto product = [&](const pack_part& part, int64_t rows, ggml_tensor* in) {
        return project(g, s, part, rows, in, ids, cache, repacker);
    };

    add_expert_ffn(g.ctx, pl, gpt_oss, biases, b, eids, product, s.act, s.out);
    ggml_build_forward_expand(g.gf, s.out);
}

// A lone dense set, whose outputs are already in expert_out's order and need no copy there.
bool only_dense(const std::vector<expert_set>& sets) { return sets.size() == 1 && sets[0].dense; }

// Every expert output into its row of expert_out (unless only_dense), then hidden += sum_k weight_k x output_k,
// positions in order, in place in the runner's residual stream. Returns that (n_embd, n_rows) tensor. With
// whole_layer (this graph computes every route of the step) the rows are gathered in graph memory instead, which
// the step's graphs reuse, where expert_out would be fresh memory to fault in at every prompt.
ggml_tensor* add_weighted_sum(const ffn_graph& g, const std::vector<expert_set>& sets, bool whole_layer,
                              std::vector<float>& expert_out, std::vector<float>& route_weights,
                              std::vector<float>& hidden) {
    const int64_t E = g.x->ne[0];
    ggml_tensor* eo = sets[0].out;
    if (!only_dense(sets)) {
        if (whole_layer) {
            eo = ggml_new_tensor_2d(g.ctx, GGML_TYPE_F32, E, static_cast<int64_t>(g.n_rows) * g.k);
        } else {
            eo = ggml_new_tensor_2d(g.views, GGML_TYPE_F32, E, static_cast<int64_t>(g.n_rows) * g.k);
            eo->data = expert_out.data();
        }
        for (const expert_set& s : sets) {
            const int64_t n = static_cast<int64_t>(s.entries.size());
            ggml_tensor* rows = ggml_new_tensor_1d(g.ctx, GGML_TYPE_I64, n);
            for (int64_t j = 0; j < n; ++j) static_cast<int64_t*>(rows->data)[j] = s.entries[j];
            eo = ggml_set_rows(g.ctx, eo, ggml_reshape_2d(g.ctx, s.out, E, n), rows);
        }
    }
    ggml_tensor* w = ggml_new_tensor_3d(g.views, GGML_TYPE_F32, 1, g.k, g.n_rows);
    w->data = route_weights.data();
    ggml_tensor* moe = weighted_expert_sum(g.ctx, ggml_reshape_3d(g.ctx, eo, E, g.k, g.n_rows), w);
    ggml_tensor* h = ggml_new_tensor_2d(g.views, GGML_TYPE_F32, E, g.n_rows);
    h->data = hidden.data();
    return ggml_add_inplace(g.ctx, h, moe);
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
    add_repack_node(g.ctx, g.gf, repack);
}

}  // namespace

expert_biases model_runner::layer_expert_biases(int32_t layer) const {
    expert_biases biases;
    if (is_gpt_oss) {
        const runner_layer_weights& lw = layers[layer];
        biases.gate = require(lw.gate_exps_b, "blk.%d.ffn_gate_exps.bias", layer);
        biases.up = require(lw.up_exps_b, "blk.%d.ffn_up_exps.bias", layer);
        biases.down = require(lw.down_exps_b, "blk.%d.ffn_down_exps.bias", layer);
    }
    return biases;
}

void model_runner::run_experts(int32_t layer, int32_t n_rows, const std::vector<int32_t>& group,
                               const std::vector<int32_t>& slot, const std::vector<std::vector<int32_t>>& entries) {
    run_expert_graph(layer, n_rows, group, slot, entries, false);
}

void model_runner::run_expert_graph(int32_t layer, int32_t n_rows, const std::vector<int32_t>& group,
                                    const std::vector<int32_t>& slot, const std::vector<std::vector<int32_t>>& entries,
                                    bool finish) {
    const bool attend_next = finish && layer + 1 < hparams.n_layer;
    const bool head = finish && layer + 1 == hparams.n_layer;
    const int32_t k = hparams.n_expert_used;
    const int64_t E = hparams.n_embd, F = hparams.n_ff_exp;
    const expert_biases biases = layer_expert_biases(layer);
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
    std::vector<expert_set> sets;
    if (!make_dense_set(routes, n_rows, k, group, slot, entries, low, packed, sets)) {
        sets = make_expert_sets(routes, group, slot, entries, low, packed);
    }

    // expert_out takes the outputs of a layer that several graphs compute; those of the layer's only graph stay in
    // graph memory (a lone dense set goes straight into the weighted sum).
    size_t n_entries = 0;
    for (const expert_set& s : sets) n_entries += s.entries.size();
    const size_t out_size = static_cast<size_t>(n_rows) * k * E;
    const bool whole_layer = finish && group.size() == slot.size() && n_entries == static_cast<size_t>(n_rows) * k;
    if (!whole_layer && expert_out.size() < out_size) expert_out.resize(out_size);

    // Room for the graph: the sets' products, with finish the weighted sum and the next layer's attention or the
    // head.
    size_t nodes = (seqs.size() * group.size() + 1) * 16;
    size_t bytes = sizeof(float) * n_entries * (3 * E + 7 * F + 4) + sets.size() * 24 * (ggml_tensor_overhead() + 64);
    if (finish) {
        nodes += 2 * k + 8 + sets.size();
        bytes += sizeof(float) * size_t(n_rows) * E * (k + 2) +
                 (3 * k + 8 + sets.size()) * (ggml_tensor_overhead() + 64);
        if (whole_layer && !only_dense(sets)) bytes += sizeof(float) * out_size;
    }
    if (attend_next) {
        nodes += attention_node_count();
        bytes += attention_bytes();
    }
    if (head) {
        nodes += 16;
        bytes += head_bytes();
    }
    size_t n_views = 8, n_products = 0;  // per set at most three projections, shared and per own member
    for (const expert_set& s : sets) {
        n_views += 4 + 3 * s.members.size();
        n_products += 3 * (s.members.size() + 1);
    }
    const ggml_context_ptr views(ggml_init({n_views * ggml_tensor_overhead() + 1024, nullptr, true}));
    const ggml_context_ptr products(ggml_init({n_products * ggml_tensor_overhead() + 1024, nullptr, true}));
    const ggml_context_ptr ctx = scratch_context(bytes, nodes);
    ffn_graph g{ctx.get(),  views.get(), products.get(), ggml_new_graph_custom(ctx.get(), nodes, false),
                nullptr,    n_rows,      k};
    g.x = ggml_new_tensor_2d(g.views, GGML_TYPE_F32, E, n_rows);
    g.x->data = ffn_input.data();

    // The products of every set, repacking first the plain blobs of the sets that are computed repacked.
    graph_repack repack;
    repack.repacker = repacker.get();
    for (expert_set& s : sets) {
        const pack_layer& pl = s.lowbit ? mdl->lowbit_layers[layer] : mdl->expert_layers[layer];
        if (s.repacked) plan_set_repack(*this, layer, s, pl, slot, entries, g, repack);
        add_set_products(g, s, pl, *cache, s.repacked ? repacker.get() : nullptr, is_gpt_oss, biases);
    }

    // The weighted sum into the residual stream and the next layer's attention and routing of the whole batch.
    std::vector<attention_nodes> next;
    if (finish) {
        ggml_tensor* h = add_weighted_sum(g, sets, whole_layer, expert_out, route_weights, hidden);
        ggml_build_forward_expand(g.gf, h);
        if (head) add_head(g.ctx, g.views, g.gf, h);
        if (attend_next) next = build_attention(g.ctx, g.gf, layer + 1, h);
    }
    compute(g.gf);
    head_done_ = head;
    if (repack.node) repacker->finish(repack.job);

    // Outputs and activations are contiguous, one row per entry in set order. The importance sums read this
    // layer's ffn_input, so they come before the next layer's attention replaces it.
    for (const expert_set& s : sets) {
        const float* out = static_cast<const float*>(s.out->data);
        const float* act = static_cast<const float*>(s.act->data);
        for (size_t j = 0; j < s.entries.size(); ++j) {
            const int32_t e = s.entries[j];
            if (!finish) {
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
