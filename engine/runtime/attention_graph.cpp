// Attention and routing of one layer: per sequence one graph that normalises its rows of the residual stream,
// attends over the slot's KV cache (writing the new cells), adds the attention output, normalises for the MoE FFN
// and routes every token to its experts; for one-token sequences it also predicts the next layer's experts.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/runtime/model_runner.h"
#include "ggml.h"

namespace {

ggml_tensor* rms_mul(ggml_context* ctx, ggml_tensor* x, ggml_tensor* weight, float eps) {
    return ggml_mul(ctx, ggml_rms_norm(ctx, x, eps), weight);
}

ggml_tensor* linear(ggml_context* ctx, ggml_tensor* w, ggml_tensor* b, ggml_tensor* x) {
    ggml_tensor* y = ggml_mul_mat(ctx, w, x);
    return b ? ggml_add(ctx, y, b) : y;
}

// Copies the rows of a 2-D tensor (any row stride) into dst, ne0 values of T per row.
template <class T>
void copy_rows(const ggml_tensor* t, T* dst) {
    for (int64_t r = 0; r < t->ne[1]; ++r) {
        std::memcpy(dst + r * t->ne[0], static_cast<const char*>(t->data) + r * t->nb[1], sizeof(T) * t->ne[0]);
    }
}

// Self-attention of the sequence's rows x (n_embd, g) at cells p .. p + g - 1 of the slot's caches kc and vc: Q, K
// and V with their optional per-head norms and RoPE, the new cells written, flash attention over the first W cells
// under the sequence's mask, the output projection. Returns the residual stream after attention (n_embd, g).
ggml_tensor* add_self_attention(ggml_context* ctx, ggml_cgraph* gf, const model_hparams& hp,
                                const runner_layer_weights& lw, ggml_tensor* kc, ggml_tensor* vc,
                                const sequence_state& s, int32_t p, bool window_layer, ggml_tensor* x) {
    const int64_t hd = hp.head_dim, n_head = hp.n_head, n_head_kv = hp.n_head_kv;
    const int64_t g = s.n_tokens, W = s.kv_window;

    ggml_tensor* pos = ggml_new_tensor_1d(ctx, GGML_TYPE_I32, g);
    for (int64_t i = 0; i < g; ++i) static_cast<int32_t*>(pos->data)[i] = p + static_cast<int32_t>(i);
    ggml_tensor* mask = ggml_new_tensor_2d(ctx, GGML_TYPE_F16, W, g);
    std::memcpy(mask->data, (window_layer ? s.window_mask : s.causal_mask).data(), 2 * W * g);

    // Q, K, V: (head_dim, heads, g), each with its optional per-head norm, then RoPE (NeoX).
    ggml_tensor* a = rms_mul(ctx, x, lw.attn_norm, hp.rms_eps);
    ggml_tensor* q = ggml_reshape_3d(ctx, linear(ctx, lw.wq, lw.bq, a), hd, n_head, g);
    ggml_tensor* kk = ggml_reshape_3d(ctx, linear(ctx, lw.wk, lw.bk, a), hd, n_head_kv, g);
    ggml_tensor* v = ggml_reshape_3d(ctx, linear(ctx, lw.wv, lw.bv, a), hd, n_head_kv, g);
    auto rope = [&](ggml_tensor* t, ggml_tensor* norm) {
        if (norm) t = rms_mul(ctx, t, norm, hp.rms_eps);
        return ggml_rope_ext(ctx, t, pos, nullptr, static_cast<int>(hd), GGML_ROPE_TYPE_NEOX, hp.n_ctx_orig,
                             hp.rope_freq_base, hp.rope_freq_scale, hp.yarn_ext_factor, hp.yarn_attn_factor,
                             hp.yarn_beta_fast, hp.yarn_beta_slow);
    };
    q = rope(q, lw.q_norm);
    kk = rope(kk, lw.k_norm);

    // Write the new cells p .. p + g - 1 first, then attend over cells 0 .. W - 1 of the slot.
    ggml_build_forward_expand(
        gf, ggml_cpy(ctx, kk, ggml_view_3d(ctx, kc, hd, n_head_kv, g, kc->nb[1], kc->nb[2], p * kc->nb[2])));
    ggml_build_forward_expand(
        gf, ggml_cpy(ctx, v, ggml_view_3d(ctx, vc, hd, n_head_kv, g, vc->nb[1], vc->nb[2], p * vc->nb[2])));
    ggml_tensor* kw = ggml_permute(ctx, ggml_view_3d(ctx, kc, hd, n_head_kv, W, kc->nb[1], kc->nb[2], 0), 0, 2, 1, 3);
    ggml_tensor* vw = ggml_permute(ctx, ggml_view_3d(ctx, vc, hd, n_head_kv, W, vc->nb[1], vc->nb[2], 0), 0, 2, 1, 3);
    ggml_tensor* o = ggml_flash_attn_ext(ctx, ggml_permute(ctx, q, 0, 2, 1, 3), kw, vw, mask,
                                         1.0f / std::sqrt(static_cast<float>(hd)), 0.0f, 0.0f);
    if (lw.sinks) ggml_flash_attn_ext_add_sinks(o, lw.sinks);
    ggml_flash_attn_ext_set_n_kv_max(o, 0);          // no sparse K/V set: the view's W cells are read
    ggml_flash_attn_ext_set_prec(o, GGML_PREC_F32);  // F32 accumulation; o: (head_dim, n_head, g)

    o = linear(ctx, lw.wo, lw.bo, ggml_reshape_2d(ctx, o, hd * n_head, g));
    return ggml_add(ctx, o, x);
}

// Routing of the normalised MoE input n.f (n_embd, g): the router logits, the top k experts per token with their
// weights (soft-max over the chosen logits for "gpt-oss", else the chosen probabilities renormalised), scaled by
// the model's expert weight scale; with want_probs also every expert's probability. Sets n.top, n.w and n.probs.
void add_routing(ggml_context* ctx, ggml_cgraph* gf, const model_hparams& hp, const runner_layer_weights& lw,
                 const sequence_state& s, bool gpt_oss, bool want_probs, attention_nodes& n) {
    const int64_t E = hp.n_embd, X = hp.n_expert, k = hp.n_expert_used, g = s.n_tokens;

    // Router logits (n_expert, g). For all_logits sequences token by token, so that each token is routed by the
    // same product as in a one-token step.
    ggml_tensor* r;
    if (s.all_logits) {
        r = ggml_new_tensor_2d(ctx, GGML_TYPE_F32, X, g);
        for (int64_t t = 0; t < g; ++t) {
            ggml_tensor* ft = ggml_view_2d(ctx, n.f, E, 1, n.f->nb[1], t * n.f->nb[1]);
            ggml_tensor* rt = linear(ctx, lw.gate_inp, lw.gate_inp_b, ft);
            ggml_build_forward_expand(gf, ggml_cpy(ctx, rt, ggml_view_2d(ctx, r, X, 1, r->nb[1], t * r->nb[1])));
        }
    } else {
        r = linear(ctx, lw.gate_inp, lw.gate_inp_b, n.f);
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

}  // namespace

attention_nodes model_runner::build_attention(ggml_context* ctx, ggml_cgraph* gf, int32_t layer,
                                              const sequence_state& s, ggml_tensor* x) {
    const model_hparams& hp = hparams;
    const runner_layer_weights& lw = layers[layer];
    const int64_t X = hp.n_expert, k = hp.n_expert_used;
    const bool want_probs = seqs.size() == 1 && s.n_tokens == 1 && s.lossy.prefer_cached > 0.0f;
    const int32_t pattern = hp.sliding_window_pattern;
    const bool window_layer = hp.sliding_window > 0 && (pattern <= 0 || layer % pattern < pattern - 1);
    const bool predict = prefetch >= 0 && layer + 1 < hp.n_layer && s.n_tokens == 1;

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

    attention_nodes n;
    ggml_tensor* kc = k_cache[s.slot * hp.n_layer + layer];
    ggml_tensor* vc = v_cache[s.slot * hp.n_layer + layer];
    n.h = add_self_attention(ctx, gf, hp, lw, kc, vc, s, n_past[s.slot], window_layer, x);
    n.f = rms_mul(ctx, n.h, lw.ffn_norm, hp.rms_eps);
    add_routing(ctx, gf, hp, lw, s, is_gpt_oss, want_probs, n);

    // The next layer's experts, predicted from this layer's residual before its MoE output is added.
    if (predict) {
        const runner_layer_weights& next = layers[layer + 1];
        ggml_tensor* f2 = rms_mul(ctx, n.h, next.ffn_norm, hp.rms_eps);
        ggml_tensor* r2 = linear(ctx, next.gate_inp, next.gate_inp_b, f2);
        n.pred = ggml_argsort_top_k(ctx, r2, static_cast<int>(std::min<int64_t>(k + prefetch, X)));
    }
    for (ggml_tensor* t : {n.h, n.f, n.top, n.w, n.pred, n.probs}) {
        if (t) ggml_build_forward_expand(gf, t);
    }
    return n;
}

size_t model_runner::attention_bytes(const sequence_state& s) const {
    const model_hparams& hp = hparams;
    const size_t g = s.n_tokens;
    const size_t n_tensors = 160 + (s.all_logits ? 8 * g : 0);
    return sizeof(float) * g *
               (20 * size_t(hp.n_embd) + 10 * size_t(hp.head_dim) * (hp.n_head + hp.n_head_kv) +
                20 * size_t(hp.n_expert) + 20 * size_t(hp.n_expert_used) + 16) +
           2 * size_t(s.kv_window) * g + n_tensors * (ggml_tensor_overhead() + 64);
}

size_t model_runner::attention_node_count(const sequence_state& s) const {
    return 256 + (s.all_logits ? 8 * size_t(s.n_tokens) : 0);
}

void model_runner::take_attention(const sequence_state& s, const attention_nodes& n, std::vector<int32_t>& prediction) {
    const size_t E = hparams.n_embd, k = hparams.n_expert_used;
    if (n.probs) {
        router_probs.resize(hparams.n_expert);
        std::memcpy(router_probs.data(), n.probs->data, sizeof(float) * hparams.n_expert);
    }
    copy_rows(n.h, hidden.data() + s.first_row * E);
    copy_rows(n.f, ffn_input.data() + s.first_row * E);
    copy_rows(n.w, route_weights.data() + s.first_row * k);
    copy_rows(n.top, routes.data() + s.first_row * k);
    if (n.pred) {
        const int32_t* ids = static_cast<const int32_t*>(n.pred->data);
        for (int64_t i = 0; i < n.pred->ne[0]; ++i) {
            if (std::find(prediction.begin(), prediction.end(), ids[i]) == prediction.end()) {
                prediction.push_back(ids[i]);
            }
        }
    }
}

void model_runner::end_attention(std::vector<int32_t>& prediction) {
    const int64_t k = hparams.n_expert_used;
    // Recall of the prediction made one layer earlier, counted only for a lone one-token step.
    if (seqs.size() == 1 && seqs[0].n_tokens == 1 && !next_experts.empty()) {
        predicted += k;
        for (int64_t i = 0; i < k; ++i) {
            if (std::find(next_experts.begin(), next_experts.end(), routes[i]) != next_experts.end()) {
                ++predicted_hits;
            }
        }
    }
    next_experts = std::move(prediction);
}

void model_runner::attend_and_route(int32_t layer) {
    const int64_t E = hparams.n_embd;
    std::vector<int32_t> prediction;
    for (const sequence_state& s : seqs) {
        const size_t nodes = attention_node_count(s);
        const ggml_context_ptr ctx = scratch_context(attention_bytes(s), nodes);
        ggml_cgraph* gf = ggml_new_graph_custom(ctx.get(), nodes, false);
        ggml_tensor* x = ggml_new_tensor_2d(ctx.get(), GGML_TYPE_F32, E, s.n_tokens);
        std::memcpy(x->data, hidden.data() + s.first_row * E, sizeof(float) * E * s.n_tokens);
        const attention_nodes n = build_attention(ctx.get(), gf, layer, s, x);
        compute(gf);
        take_attention(s, n, prediction);
    }
    end_attention(prediction);
}
