// Attention and routing of one layer for the whole batch in one graph: normalise the rows of the residual stream,
// project Q, K and V, attend over each slot's KV cache (writing the new cells), project and add the attention output,
// normalise for the MoE FFN and route every token to its experts; for one-token sequences also predict the next
// layer's experts.
//
// The rows go through the products in attention groups: a sequence of several tokens alone, and the one-token
// sequences (the decode steps of parallel requests) together, so that a step reads each weight once, not once per
// sequence. Every row still gets exactly the numbers it gets when its sequence runs alone: ggml picks its kernel by
// the number of rows of a product (one row: the per-row dot products; more: tiled or panel kernels), and for most
// weight types the tiled kernels round differently, so the stacked rows go through ggml_mul_mat_id with one matrix,
// which keeps the per-row dot products for up to max_stacked rows. Q8_0 weights are the exception: ggml's tiled
// Q8_0 kernel sums each output in the order of the one-row dot product, so a plain product of the stacked rows reads
// the weights once for all of them and still gives each row its lone numbers.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/runtime/model_runner.h"
#include "ggml.h"

namespace {

ggml_tensor* rms_mul(ggml_context* ctx, ggml_tensor* x, ggml_tensor* weight, float eps) {
    return ggml_mul(ctx, ggml_rms_norm(ctx, x, eps), weight);
}

// One-token sequences per stacked group: ggml_mul_mat_id takes its panel kernel from 8 rows of one matrix on.
constexpr size_t max_stacked = 7;

// Copies `count` rows from row `first` of a 2-D tensor (any row stride) into dst, ne0 values of T per row.
template <class T>
void copy_rows(const ggml_tensor* t, int64_t first, int64_t count, T* dst) {
    for (int64_t r = 0; r < count; ++r) {
        std::memcpy(dst + r * t->ne[0], static_cast<const char*>(t->data) + (first + r) * t->nb[1],
                    sizeof(T) * t->ne[0]);
    }
}

// w · x (+ b) for x (ne0, rows). Several rows of a stacked group go through ggml_mul_mat_id with the one matrix,
// which computes each row as a lone row's product does, unless w is Q8_0 (see above).
ggml_tensor* linear(ggml_context* ctx, ggml_tensor* w, ggml_tensor* b, ggml_tensor* x, bool stacked) {
    ggml_tensor* y;
    const int64_t n = x->ne[1];
    if (stacked && n > 1 && w->type != GGML_TYPE_Q8_0) {
        ggml_tensor* ids = ggml_new_tensor_2d(ctx, GGML_TYPE_I32, 1, n);
        std::memset(ids->data, 0, ggml_nbytes(ids));
        ggml_tensor* as = ggml_reshape_3d(ctx, w, w->ne[0], w->ne[1], 1);
        y = ggml_mul_mat_id(ctx, as, ggml_reshape_3d(ctx, x, x->ne[0], 1, n), ids);  // (ne1, 1, n)
        y = ggml_reshape_2d(ctx, y, w->ne[1], n);
    } else {
        y = ggml_mul_mat(ctx, w, x);
    }
    return b ? ggml_add(ctx, y, b) : y;
}

ggml_tensor* linear(ggml_context* ctx, ggml_tensor* w, ggml_tensor* b, ggml_tensor* x) {
    return linear(ctx, w, b, x, false);
}

// Where each member of a group reads and writes: its sequence, its slot's caches and its first new cell.
struct attention_member {
    const sequence_state* s;
    ggml_tensor* kc;
    ggml_tensor* vc;
    int32_t p;
};

// Self-attention of a group's rows x (n_embd, R): Q, K and V with their optional per-head norms and RoPE for all
// rows, then per member its new cells written and flash attention over its first W cells under its mask, and the
// output projection of all rows. Returns the residual stream after attention (n_embd, R).
ggml_tensor* add_self_attention(ggml_context* ctx, ggml_cgraph* gf, const model_hparams& hp,
                                const runner_layer_weights& lw, const std::vector<attention_member>& members,
                                bool stacked, bool window_layer, ggml_tensor* x) {
    const int64_t hd = hp.head_dim, n_head = hp.n_head, n_head_kv = hp.n_head_kv;
    const int64_t R = x->ne[1];

    ggml_tensor* pos = ggml_new_tensor_1d(ctx, GGML_TYPE_I32, R);
    int32_t* pos_data = static_cast<int32_t*>(pos->data);
    for (const attention_member& m : members) {
        for (int32_t i = 0; i < m.s->n_tokens; ++i) *pos_data++ = m.p + i;
    }

    // Q, K, V: (head_dim, heads, R), each with its optional per-head norm, then RoPE (NeoX).
    ggml_tensor* a = rms_mul(ctx, x, lw.attn_norm, hp.rms_eps);
    ggml_tensor* q = ggml_reshape_3d(ctx, linear(ctx, lw.wq, lw.bq, a, stacked), hd, n_head, R);
    ggml_tensor* kk = ggml_reshape_3d(ctx, linear(ctx, lw.wk, lw.bk, a, stacked), hd, n_head_kv, R);
    ggml_tensor* v = ggml_reshape_3d(ctx, linear(ctx, lw.wv, lw.bv, a, stacked), hd, n_head_kv, R);
    auto rope = [&](ggml_tensor* t, ggml_tensor* norm) {
        if (norm) t = rms_mul(ctx, t, norm, hp.rms_eps);
        return ggml_rope_ext(ctx, t, pos, nullptr, static_cast<int>(hd), GGML_ROPE_TYPE_NEOX, hp.n_ctx_orig,
                             hp.rope_freq_base, hp.rope_freq_scale, hp.yarn_ext_factor, hp.yarn_attn_factor,
                             hp.yarn_beta_fast, hp.yarn_beta_slow);
    };
    q = rope(q, lw.q_norm);
    kk = rope(kk, lw.k_norm);

    // A lone member's attention output is the whole result; several are gathered into one (head_dim, n_head, R).
    ggml_tensor* o_all = members.size() == 1 ? nullptr : ggml_new_tensor_3d(ctx, GGML_TYPE_F32, hd, n_head, R);
    int64_t row = 0;
    for (const attention_member& m : members) {
        const sequence_state& s = *m.s;
        const int64_t g = s.n_tokens, W = s.kv_window, p = m.p;
        auto rows_of = [&](ggml_tensor* t) {
            return members.size() == 1 ? t
                                       : ggml_view_3d(ctx, t, t->ne[0], t->ne[1], g, t->nb[1], t->nb[2], row * t->nb[2]);
        };
        ggml_tensor* mask = ggml_new_tensor_2d(ctx, GGML_TYPE_F16, W, g);
        std::memcpy(mask->data, (window_layer ? s.window_mask : s.causal_mask).data(), 2 * W * g);

        // Write the new cells p .. p + g - 1 first, then attend over cells 0 .. W - 1 of the slot.
        ggml_tensor* kc = m.kc;
        ggml_tensor* vc = m.vc;
        ggml_build_forward_expand(
            gf, ggml_cpy(ctx, rows_of(kk), ggml_view_3d(ctx, kc, hd, n_head_kv, g, kc->nb[1], kc->nb[2], p * kc->nb[2])));
        ggml_build_forward_expand(
            gf, ggml_cpy(ctx, rows_of(v), ggml_view_3d(ctx, vc, hd, n_head_kv, g, vc->nb[1], vc->nb[2], p * vc->nb[2])));
        ggml_tensor* kw = ggml_permute(ctx, ggml_view_3d(ctx, kc, hd, n_head_kv, W, kc->nb[1], kc->nb[2], 0), 0, 2, 1, 3);
        ggml_tensor* vw = ggml_permute(ctx, ggml_view_3d(ctx, vc, hd, n_head_kv, W, vc->nb[1], vc->nb[2], 0), 0, 2, 1, 3);
        ggml_tensor* o = ggml_flash_attn_ext(ctx, ggml_permute(ctx, rows_of(q), 0, 2, 1, 3), kw, vw, mask,
                                             1.0f / std::sqrt(static_cast<float>(hd)), 0.0f, 0.0f);
        if (lw.sinks) ggml_flash_attn_ext_add_sinks(o, lw.sinks);
        ggml_flash_attn_ext_set_n_kv_max(o, 0);          // no sparse K/V set: the view's W cells are read
        ggml_flash_attn_ext_set_prec(o, GGML_PREC_F32);  // F32 accumulation; o: (head_dim, n_head, g)
        if (!o_all) {
            o_all = o;
        } else {
            // The output projection reads o_all after these copies: a graph runs its nodes in order.
            ggml_build_forward_expand(gf, ggml_cpy(ctx, o, rows_of(o_all)));
        }
        row += g;
    }

    ggml_tensor* o = linear(ctx, lw.wo, lw.bo, ggml_reshape_2d(ctx, o_all, hd * n_head, R), stacked);
    return ggml_add(ctx, o, x);
}

// Routing of the normalised MoE input n.f (n_embd, R): the router logits, the top k experts per row with their
// weights (soft-max over the chosen logits for "gpt-oss", else the chosen probabilities renormalised), scaled by
// the model's expert weight scale; with want_probs also every expert's probability. Sets n.top, n.w and n.probs.
// per_token: the logits of each row by its own product (a sequence that wants every token's logits), so that each
// token is routed by the same product as in a one-token step.
void add_routing(ggml_context* ctx, ggml_cgraph* gf, const model_hparams& hp, const runner_layer_weights& lw,
                 bool per_token, bool stacked, bool gpt_oss, bool want_probs, attention_nodes& n) {
    const int64_t E = hp.n_embd, X = hp.n_expert, k = hp.n_expert_used, g = n.f->ne[1];

    // Router logits (n_expert, R).
    ggml_tensor* r;
    if (per_token) {
        r = ggml_new_tensor_2d(ctx, GGML_TYPE_F32, X, g);
        for (int64_t t = 0; t < g; ++t) {
            ggml_tensor* ft = ggml_view_2d(ctx, n.f, E, 1, n.f->nb[1], t * n.f->nb[1]);
            ggml_tensor* rt = linear(ctx, lw.gate_inp, lw.gate_inp_b, ft);
            ggml_build_forward_expand(gf, ggml_cpy(ctx, rt, ggml_view_2d(ctx, r, X, 1, r->nb[1], t * r->nb[1])));
        }
    } else {
        r = linear(ctx, lw.gate_inp, lw.gate_inp_b, n.f, stacked);
    }

    if (gpt_oss) {
        n.top = ggml_argsort_top_k(ctx, r, static_cast<int>(k));  // (k, g), descending logit
        n.w = ggml_get_rows(ctx, ggml_reshape_3d(ctx, r, 1, X, g), n.top);
        n.w = ggml_soft_max(ctx, ggml_reshape_2d(ctx, n.w, k, g));
        if (want_probs) n.probs = ggml_soft_max(ctx, r);
    } else {
        ggml_tensor* probs = ggml_soft_max(ctx, r);
        n.top = ggml_argsort_top_k(ctx, probs, static_cast<int>(k));
        n.w = ggml_reshape_2d(ctx, ggml_get_rows(ctx, ggml_reshape_3d(ctx, probs, 1, X, g), n.top), k, g);
        ggml_tensor* sum = ggml_clamp(ctx, ggml_sum_rows(ctx, n.w), 0.00006103515625f, INFINITY);
        n.w = ggml_div(ctx, n.w, sum);
        if (want_probs) n.probs = probs;
    }
    if (hp.expert_weights_scale != 0.0f && hp.expert_weights_scale != 1.0f) {
        n.w = ggml_scale(ctx, n.w, hp.expert_weights_scale);
    }
}

// The batch in attention groups, in order of each group's first member: every sequence of several tokens alone,
// the one-token sequences together, at most max_stacked per group.
std::vector<std::vector<int32_t>> attention_groups(const std::vector<sequence_state>& seqs) {
    std::vector<std::vector<int32_t>> groups;
    size_t open = SIZE_MAX;  // the stacked group that takes the next one-token sequence
    for (size_t i = 0; i < seqs.size(); ++i) {
        if (seqs[i].n_tokens > 1) {
            groups.push_back({static_cast<int32_t>(i)});
            continue;
        }
        if (open == SIZE_MAX || groups[open].size() == max_stacked) {
            open = groups.size();
            groups.emplace_back();
        }
        groups[open].push_back(static_cast<int32_t>(i));
    }
    return groups;
}

}  // namespace

std::vector<attention_nodes> model_runner::build_attention(ggml_context* ctx, ggml_cgraph* gf, int32_t layer,
                                                           ggml_tensor* x, bool predict_next) {
    const model_hparams& hp = hparams;
    const runner_layer_weights& lw = layers[layer];
    const int64_t X = hp.n_expert, k = hp.n_expert_used, E = hp.n_embd;
    const int32_t pattern = hp.sliding_window_pattern;
    const bool window_layer = hp.sliding_window > 0 && (pattern <= 0 || layer % pattern < pattern - 1);
    const bool any_single = std::any_of(seqs.begin(), seqs.end(), [](const sequence_state& s) { return s.n_tokens == 1; });
    const bool predict = predict_next && prefetch >= 0 && layer + 1 < hp.n_layer && any_single;

    // Every required tensor, so that a missing one fails before any node is built.
    require(lw.attn_norm, "blk.%d.attn_norm.weight", layer);
    require(lw.wq, "blk.%d.attn_q.weight", layer);
    require(lw.wk, "blk.%d.attn_k.weight", layer);
    require(lw.wv, "blk.%d.attn_v.weight", layer);
    require(lw.wo, "blk.%d.attn_output.weight", layer);
    require(lw.ffn_norm, "blk.%d.post_attention_norm.weight", layer);
    require(lw.gate_inp, "blk.%d.ffn_gate_inp.weight", layer);
    if (predict) {
        require(layers[layer + 1].ffn_norm, "blk.%d.post_attention_norm.weight", layer + 1);
        require(layers[layer + 1].gate_inp, "blk.%d.ffn_gate_inp.weight", layer + 1);
    }

    std::vector<attention_nodes> out;
    for (std::vector<int32_t>& members : attention_groups(seqs)) {
        const sequence_state& first = seqs[members.front()];
        const bool stacked = first.n_tokens == 1;
        std::vector<attention_member> gm;
        bool contiguous = true;
        int64_t rows = 0;
        for (int32_t i : members) {
            const sequence_state& s = seqs[i];
            gm.push_back({&s, k_cache[s.slot * hp.n_layer + layer], v_cache[s.slot * hp.n_layer + layer], n_past[s.slot]});
            contiguous = contiguous && s.first_row == first.first_row + rows;
            rows += s.n_tokens;
        }
        // The group's rows of x: a view where they lie together, else gathered.
        ggml_tensor* xg;
        if (contiguous) {
            xg = rows == x->ne[1] ? x : ggml_view_2d(ctx, x, E, rows, x->nb[1], first.first_row * x->nb[1]);
        } else {
            ggml_tensor* idx = ggml_new_tensor_1d(ctx, GGML_TYPE_I32, rows);
            for (size_t j = 0; j < members.size(); ++j) static_cast<int32_t*>(idx->data)[j] = seqs[members[j]].first_row;
            xg = ggml_get_rows(ctx, x, idx);
        }

        attention_nodes n;
        const bool want_probs = seqs.size() == 1 && first.n_tokens == 1 && first.lossy.prefer_cached > 0.0f;
        n.h = add_self_attention(ctx, gf, hp, lw, gm, stacked, window_layer, xg);
        n.f = rms_mul(ctx, n.h, lw.ffn_norm, hp.rms_eps);
        add_routing(ctx, gf, hp, lw, first.all_logits, stacked, is_gpt_oss, want_probs, n);

        // The next layer's experts, predicted from this layer's residual before its MoE output is added.
        if (predict && stacked) {
            const runner_layer_weights& next = layers[layer + 1];
            ggml_tensor* f2 = rms_mul(ctx, n.h, next.ffn_norm, hp.rms_eps);
            ggml_tensor* r2 = linear(ctx, next.gate_inp, next.gate_inp_b, f2, true);
            n.pred = ggml_argsort_top_k(ctx, r2, static_cast<int>(std::min<int64_t>(k + prefetch, X)));
        }
        for (ggml_tensor* t : {n.h, n.f, n.top, n.w, n.pred, n.probs}) {
            if (t) ggml_build_forward_expand(gf, t);
        }
        n.members = std::move(members);
        out.push_back(std::move(n));
    }
    return out;
}

size_t model_runner::attention_bytes() const {
    const model_hparams& hp = hparams;
    size_t bytes = 0;
    for (const sequence_state& s : seqs) {
        const size_t g = s.n_tokens;
        const size_t n_tensors = 160 + (s.all_logits ? 8 * g : 0);
        bytes += sizeof(float) * g *
                     (24 * size_t(hp.n_embd) + 12 * size_t(hp.head_dim) * (hp.n_head + hp.n_head_kv) +
                      20 * size_t(hp.n_expert) + 20 * size_t(hp.n_expert_used) + 16) +
                 2 * size_t(s.kv_window) * g + n_tensors * (ggml_tensor_overhead() + 64);
    }
    return bytes;
}

size_t model_runner::attention_node_count() const {
    size_t nodes = 0;
    for (const sequence_state& s : seqs) nodes += 256 + (s.all_logits ? 8 * size_t(s.n_tokens) : 0);
    return nodes;
}

void model_runner::take_attention(const std::vector<attention_nodes>& groups) {
    const size_t E = hparams.n_embd, k = hparams.n_expert_used;
    std::vector<int32_t> prediction;
    for (const attention_nodes& n : groups) {
        if (n.probs) {
            router_probs.resize(hparams.n_expert);
            std::memcpy(router_probs.data(), n.probs->data, sizeof(float) * hparams.n_expert);
        }
        int64_t row = 0;
        for (int32_t i : n.members) {
            const sequence_state& s = seqs[i];
            copy_rows(n.h, row, s.n_tokens, hidden.data() + s.first_row * E);
            copy_rows(n.f, row, s.n_tokens, ffn_input.data() + s.first_row * E);
            copy_rows(n.w, row, s.n_tokens, route_weights.data() + s.first_row * k);
            copy_rows(n.top, row, s.n_tokens, routes.data() + s.first_row * k);
            if (n.pred) {
                const int32_t* ids = reinterpret_cast<const int32_t*>(static_cast<const char*>(n.pred->data) +
                                                                      row * n.pred->nb[1]);
                for (int64_t j = 0; j < n.pred->ne[0]; ++j) {
                    if (std::find(prediction.begin(), prediction.end(), ids[j]) == prediction.end()) {
                        prediction.push_back(ids[j]);
                    }
                }
            }
            row += s.n_tokens;
        }
    }

    // Recall of the prediction made one layer earlier, counted only for a lone one-token step.
    if (seqs.size() == 1 && seqs[0].n_tokens == 1 && !next_experts.empty()) {
        predicted += k;
        for (size_t i = 0; i < k; ++i) {
            if (std::find(next_experts.begin(), next_experts.end(), routes[i]) != next_experts.end()) {
                ++predicted_hits;
            }
        }
    }
    next_experts = std::move(prediction);
}

void model_runner::attend_and_route(int32_t layer) {
    const int64_t E = hparams.n_embd;
    int64_t rows = 0;
    for (const sequence_state& s : seqs) rows += s.n_tokens;
    const size_t nodes = attention_node_count();
    const ggml_context_ptr ctx = scratch_context(attention_bytes(), nodes);
    ggml_cgraph* gf = ggml_new_graph_custom(ctx.get(), nodes, false);
    ggml_tensor* x = ggml_new_tensor_2d(ctx.get(), GGML_TYPE_F32, E, rows);
    std::memcpy(x->data, hidden.data(), sizeof(float) * E * rows);
    const std::vector<attention_nodes> groups = build_attention(ctx.get(), gf, layer, x);
    compute(gf);
    take_attention(groups);
}
