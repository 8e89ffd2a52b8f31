// Graph pieces that both ways of computing resident experts share: the layer's step over the experts it acquired
// (expert_ffn.cpp) and the resident step that computes the whole model in one graph (resident_step.cpp).
#pragma once

#include <cstdint>

#include "engine/pack/model.h"
#include "engine/runtime/expert_repack.h"
#include "ggml.h"

class expert_cache;

// A (ne0, rows, span) view of the arena: matrix i is the part at `offset` in slot first + i.
ggml_tensor* arena_view(ggml_context* views, const expert_cache& cache, const pack_part& part, int64_t rows,
                        int32_t first, int32_t span);

// Gate and up lie back to back with one type and shape: one product computes both.
bool gate_up_adjacent(const pack_layer& pl);

// The expert biases of a "gpt-oss" layer; all null for other models.
struct expert_biases {
    ggml_tensor* gate = nullptr;
    ggml_tensor* up = nullptr;
    ggml_tensor* down = nullptr;
};

// Plain blobs that a graph repacks in its first node. Lives until the graph has run: the node points at it.
struct graph_repack {
    expert_repacker* repacker = nullptr;
    expert_repacker::job job;
    ggml_tensor* node = nullptr;
};

// Puts the repack node into gf (once, and only when the job has pieces): every thread of the graph takes its
// share of the pieces before any product reads the blobs. Call it before the graph's other nodes are added.
void add_repack_node(ggml_context* ctx, ggml_cgraph* gf, graph_repack& repack);

// The expert FFN of routed entries: gate and up (one product when they lie back to back), the activation, down, and
// for "gpt-oss" the biases added per entry (eids: the expert id of each entry). `product(part, rows, in)` builds one
// projection of every entry. Sets act and out.
template <class Product>
void add_expert_ffn(ggml_context* ctx, const pack_layer& pl, bool gpt_oss, const expert_biases& biases,
                    ggml_tensor* in, ggml_tensor* eids, const Product& product, ggml_tensor*& act, ggml_tensor*& out) {
    if (!gpt_oss && gate_up_adjacent(pl)) {
        act = ggml_swiglu(ctx, product(pl.gate, 2 * pl.gate.ne1, in));
    } else {
        ggml_tensor* u = product(pl.up, pl.up.ne1, in);
        ggml_tensor* gt = product(pl.gate, pl.gate.ne1, in);
        if (gpt_oss) {
            u = ggml_add_id(ctx, u, biases.up, eids);
            gt = ggml_add_id(ctx, gt, biases.gate, eids);
            act = ggml_swiglu_oai(ctx, gt, u, 1.702f, 7.0f);
        } else {
            act = ggml_swiglu_split(ctx, gt, u);
        }
    }
    out = product(pl.down, pl.down.ne1, act);
    if (gpt_oss) out = ggml_add_id(ctx, out, biases.down, eids);
}

// sum_k w_k x out_k per row, positions in order: out (n_embd, k, rows), w (1, k, rows). Returns (n_embd, rows).
// Overwrites out.
ggml_tensor* weighted_expert_sum(ggml_context* ctx, ggml_tensor* out, ggml_tensor* w);
