#include "engine/runtime/expert_graph.h"

#include "engine/runtime/expert_cache.h"

namespace {

void repack_task(ggml_tensor*, const ggml_tensor*, int ith, int nth, void* data) {
    auto* repack = static_cast<graph_repack*>(data);
    repack->repacker->run(repack->job, ith, nth);
}

}  // namespace

ggml_tensor* arena_view(ggml_context* views, const expert_cache& cache, const pack_part& part, int64_t rows,
                        int32_t first, int32_t span) {
    ggml_tensor* t = ggml_new_tensor_3d(views, static_cast<ggml_type>(part.type_id), part.ne0, rows, span);
    t->nb[2] = cache.expert_bytes();
    t->nb[3] = t->nb[2] * span;
    t->data = cache.slot_memory(first) + part.offset;
    return t;
}

bool gate_up_adjacent(const pack_layer& pl) {
    return pl.gate.type_id == pl.up.type_id && pl.gate.ne0 == pl.up.ne0 && pl.gate.ne1 == pl.up.ne1 &&
           pl.up.offset == pl.gate.offset + pl.gate.bytes &&
           pl.gate.bytes == ggml_row_size(static_cast<ggml_type>(pl.gate.type_id), pl.gate.ne0) * pl.gate.ne1;
}

void add_repack_node(ggml_context* ctx, ggml_cgraph* gf, graph_repack& repack) {
    if (repack.node || repack.job.pieces.empty()) return;
    repack.node = ggml_map_custom1(ctx, ggml_new_tensor_1d(ctx, GGML_TYPE_F32, 1), repack_task, GGML_N_TASKS_MAX,
                                   &repack);
    ggml_build_forward_expand(gf, repack.node);
}

ggml_tensor* weighted_expert_sum(ggml_context* ctx, ggml_tensor* out, ggml_tensor* w) {
    const int64_t E = out->ne[0], k = out->ne[1], rows = out->ne[2];
    // In place where the operands are not needed afterwards: a prompt's graph then takes about k rows less per
    // token, memory that the first prompt would otherwise have to fault in.
    ggml_tensor* weighted = ggml_mul_inplace(ctx, out, w);  // (E, k, rows)
    ggml_tensor* sum = ggml_view_2d(ctx, weighted, E, rows, weighted->nb[2], 0);
    for (int64_t j = 1; j < k; ++j) {
        ggml_tensor* term = ggml_view_2d(ctx, weighted, E, rows, weighted->nb[2], j * weighted->nb[1]);
        sum = j == 1 ? ggml_add(ctx, sum, term) : ggml_add_inplace(ctx, sum, term);
    }
    return sum;
}
