// The resident step: while the expert cache holds every expert of the model in key order (expert e of layer l in
// slot l * n_expert + e), each layer's experts lie in the arena as one array in expert order, exactly like a
// model's expert tensor. A step of a few rows then needs no host work between layers: one graph embeds nothing new
// but runs every layer's attention, routing and experts (mul_mat_id over the layer's array, with the router's top
// k as ids) and the head, as libllama computes a model. Its numbers are those of the layer-by-layer path, which
// computes the same (expert, row) products with the same kernels and sums them in the same order.
//
// The uses of the routed experts are counted after the graph, as hits; nothing is pinned, as no read can start
// while every expert is ready and only this thread asks the cache for anything.
#include <algorithm>

#include "engine/runtime/expert_cache.h"
#include "engine/runtime/expert_graph.h"
#include "engine/runtime/expert_repack.h"
#include "engine/runtime/model_runner.h"
#include "ggml-cpp.h"
#include "ggml.h"

namespace {

// Rows of a step that the resident step takes: below 8 rows per expert ggml's mul_mat_id computes each (row, expert)
// pair with the per-row kernels, as the layer path's products do for such steps.
constexpr int32_t max_resident_rows = 7;
// The step's graph keeps the nodes of every layer: rows x layers stays within what one layer's graph of a prompt
// chunk takes, which the engine's working memory already covers.
constexpr int64_t max_resident_row_layers = 512;

}  // namespace

bool model_runner::resident_step_fits(int32_t n_rows) {
    if (imatrix || n_rows > max_resident_rows || int64_t(n_rows) * hparams.n_layer > max_resident_row_layers) {
        return false;
    }
    for (const sequence_state& s : seqs) {
        if (changes_routing(s.lossy)) return false;
        if (seqs.size() > 1 && s.n_tokens != 1) return false;  // one attention group: a lone sequence, or one-token ones
    }
    return cache->every_expert_in_key_order();
}

size_t model_runner::resident_step_bytes(int32_t n_rows) const {
    const size_t E = hparams.n_embd, F = hparams.n_ff_exp, k = hparams.n_expert_used, R = size_t(n_rows);
    // Per layer beside its attention: per entry the gate and up outputs with biases, the activation and the down
    // output; the weighted outputs and their sum into the residual stream.
    const size_t moe = sizeof(float) * R * (k * (3 * E + 7 * F + 4) + E * (2 * k + 2)) +
                       (3 * k + 40) * (ggml_tensor_overhead() + 64);
    return size_t(hparams.n_layer) * (attention_bytes() + moe) + head_bytes();
}

size_t model_runner::resident_step_nodes() const {
    return size_t(hparams.n_layer) * (attention_node_count() + 2 * size_t(hparams.n_expert_used) + 32) + 32;
}

void model_runner::plan_resident_repack(graph_repack& repack) {
    const int32_t X = hparams.n_expert;
    resident_packed_.assign(size_t(hparams.n_layer), 0);
    for (int32_t l = 0; l < hparams.n_layer; ++l) {
        const pack_layer& pl = mdl->expert_layers[l];
        // Without repacking (asked for before the first read) no blob was repacked: the layer is computed plain.
        if (!repack_experts || !repacker->layer_repackable(pl)) continue;
        resident_packed_[l] = 1;
        for (int32_t e = 0; e < X; ++e) {
            const int64_t key = int64_t(l) * X + e;
            uint8_t* blob = cache->slot_memory(int32_t(key));
            if (!repacker->is_repacked(int32_t(key), blob, key, false)) {
                repacker->plan(repack.job, int32_t(key), blob, pl, key, false);
            }
        }
    }
}

ggml_tensor* model_runner::add_resident_moe(ggml_context* ctx, ggml_context* views, int32_t layer,
                                            const attention_nodes& n) {
    const int64_t E = hparams.n_embd, rows = n.f->ne[1];
    const int32_t X = hparams.n_expert, k = hparams.n_expert_used;
    const pack_layer& pl = mdl->expert_layers[layer];
    const bool packed = resident_packed_[size_t(layer)] != 0;
    const expert_biases biases = layer_expert_biases(layer);
    auto product = [&](const pack_part& part, int64_t out_rows, ggml_tensor* in) {
        ggml_tensor* w = arena_view(views, *cache, part, out_rows, layer * X, X);
        if (packed) repacker->mark(w, part);
        return ggml_mul_mat_id(ctx, w, in, n.top);
    };
    ggml_tensor* act = nullptr;
    ggml_tensor* out = nullptr;
    add_expert_ffn(ctx, pl, is_gpt_oss, biases, ggml_reshape_3d(ctx, n.f, E, 1, rows), n.top, product, act, out);
    ggml_tensor* moe = weighted_expert_sum(ctx, out, ggml_reshape_3d(ctx, n.w, 1, k, rows));
    return ggml_add(ctx, n.h, moe);
}

void model_runner::resident_step(int32_t n_rows) {
    const int64_t E = hparams.n_embd, X = hparams.n_expert;
    const int32_t L = hparams.n_layer, k = hparams.n_expert_used;

    // Blobs are checked for their layout again only after the cache has read something.
    graph_repack repack;
    repack.repacker = repacker.get();
    const uint64_t reads = cache->reads_started();
    if (reads != resident_checked_at_) plan_resident_repack(repack);

    const size_t nodes = resident_step_nodes();
    const ggml_context_ptr views(ggml_init({(3 * size_t(L) + 8) * ggml_tensor_overhead() + 1024, nullptr, true}));
    const ggml_context_ptr ctx = scratch_context(resident_step_bytes(n_rows), nodes);
    ggml_cgraph* gf = ggml_new_graph_custom(ctx.get(), nodes, false);
    add_repack_node(ctx.get(), gf, repack);

    ggml_tensor* h = ggml_new_tensor_2d(views.get(), GGML_TYPE_F32, E, n_rows);
    h->data = hidden.data();
    std::vector<ggml_tensor*> tops;
    for (int32_t layer = 0; layer < L; ++layer) {
        const std::vector<attention_nodes> groups = build_attention(ctx.get(), gf, layer, h, false);
        h = add_resident_moe(ctx.get(), views.get(), layer, groups.front());
        tops.push_back(groups.front().top);
    }
    add_head(ctx.get(), views.get(), gf, h);
    compute(gf);
    if (repack.node) repacker->finish(repack.job);
    resident_checked_at_ = reads;
    head_done_ = true;
    resident_steps++;

    std::vector<int64_t> keys;
    keys.reserve(size_t(L) * n_rows * k);
    for (int32_t layer = 0; layer < L; ++layer) {
        const ggml_tensor* t = tops[size_t(layer)];
        for (int32_t r = 0; r < n_rows; ++r) {
            const auto* ids = reinterpret_cast<const int32_t*>(static_cast<const char*>(t->data) + r * t->nb[1]);
            for (int32_t j = 0; j < k; ++j) keys.push_back(layer * X + ids[j]);
        }
    }
    // A step uses each of its experts once, however many of its rows it served (as the layer path acquires it).
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    cache->count_uses_in_place(keys);
    next_experts.clear();
}
