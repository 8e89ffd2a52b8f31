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

}  // namespace

void model_runner::attend_and_route(int32_t layer) {
    const model_hparams& hp = hparams;
    const runner_layer_weights& lw = layers[layer];
    const int64_t E = hp.n_embd, hd = hp.head_dim, n_head = hp.n_head, n_head_kv = hp.n_head_kv;
    const int64_t X = hp.n_expert, k = hp.n_expert_used;
    const bool single = seqs.size() == 1 && seqs[0].n_tokens == 1;
    const bool want_probs = single && seqs[0].lossy.prefer_cached > 0.0f;
    const int32_t pattern = hp.sliding_window_pattern;
    const bool window_layer = hp.sliding_window > 0 && (pattern <= 0 || layer % pattern < pattern - 1);
    const bool predict = prefetch >= 0 && layer + 1 < hp.n_layer;

    ggml_tensor* attn_norm = require(lw.attn_norm, "blk.%d.attn_norm.weight", layer);
    ggml_tensor* wq = require(lw.wq, "blk.%d.attn_q.weight", layer);
    ggml_tensor* wk = require(lw.wk, "blk.%d.attn_k.weight", layer);
    ggml_tensor* wv = require(lw.wv, "blk.%d.attn_v.weight", layer);
    ggml_tensor* wo = require(lw.wo, "blk.%d.attn_output.weight", layer);
    ggml_tensor* ffn_norm = require(lw.ffn_norm, "blk.%d.post_attention_norm.weight", layer);
    ggml_tensor* gate_inp = require(lw.gate_inp, "blk.%d.ffn_gate_inp.weight", layer);

    std::vector<int32_t> prediction;
    for (const sequence_state& s : seqs) {
        const int64_t g = s.n_tokens, W = s.kv_window;
        const int32_t p = n_past[s.slot];
        const bool predict_here = predict && g == 1;
        ggml_tensor* next_norm = nullptr;
        ggml_tensor* next_gate = nullptr;
        if (predict_here) {
            next_norm = require(layers[layer + 1].ffn_norm, "blk.%d.post_attention_norm.weight", layer + 1);
            next_gate = require(layers[layer + 1].gate_inp, "blk.%d.ffn_gate_inp.weight", layer + 1);
        }

        // Upper bound of the tensors' data and objects; the per-token router of all_logits adds a few per token.
        const size_t n_tensors = 160 + (s.all_logits ? 8 * g : 0);
        const size_t nodes = 256 + (s.all_logits ? 8 * g : 0);
        const size_t bytes = sizeof(float) * g * (20 * E + 10 * hd * (n_head + n_head_kv) + 20 * X + 20 * k + 16) +
                             2 * W * g + n_tensors * (ggml_tensor_overhead() + 64);
        ggml_context* ctx = scratch_context(bytes, nodes);
        ggml_cgraph* gf = ggml_new_graph_custom(ctx, nodes, false);

        ggml_tensor* x = ggml_new_tensor_2d(ctx, GGML_TYPE_F32, E, g);
        std::memcpy(x->data, hidden.data() + s.first_row * E, sizeof(float) * E * g);
        ggml_tensor* pos = ggml_new_tensor_1d(ctx, GGML_TYPE_I32, g);
        for (int64_t i = 0; i < g; ++i) static_cast<int32_t*>(pos->data)[i] = p + static_cast<int32_t>(i);
        ggml_tensor* mask = ggml_new_tensor_2d(ctx, GGML_TYPE_F16, W, g);
        std::memcpy(mask->data, (window_layer ? s.window_mask : s.causal_mask).data(), 2 * W * g);

        // Q, K, V: (head_dim, heads, g), each with its optional per-head norm, then RoPE (NeoX).
        ggml_tensor* a = rms_mul(ctx, x, attn_norm, hp.rms_eps);
        ggml_tensor* q = ggml_reshape_3d(ctx, linear(ctx, wq, lw.bq, a), hd, n_head, g);
        ggml_tensor* kk = ggml_reshape_3d(ctx, linear(ctx, wk, lw.bk, a), hd, n_head_kv, g);
        ggml_tensor* v = ggml_reshape_3d(ctx, linear(ctx, wv, lw.bv, a), hd, n_head_kv, g);
        auto rope = [&](ggml_tensor* t, ggml_tensor* norm) {
            if (norm) t = rms_mul(ctx, t, norm, hp.rms_eps);
            return ggml_rope_ext(ctx, t, pos, nullptr, static_cast<int>(hd), GGML_ROPE_TYPE_NEOX, hp.n_ctx_orig,
                                 hp.rope_freq_base, hp.rope_freq_scale, hp.yarn_ext_factor, hp.yarn_attn_factor,
                                 hp.yarn_beta_fast, hp.yarn_beta_slow);
        };
        q = rope(q, lw.q_norm);
        kk = rope(kk, lw.k_norm);

        // Write the new cells p .. p + g - 1 first, then attend over cells 0 .. W - 1 of the slot.
        ggml_tensor* kc = k_cache[s.slot * hp.n_layer + layer];
        ggml_tensor* vc = v_cache[s.slot * hp.n_layer + layer];
        ggml_build_forward_expand(gf, ggml_cpy(ctx, kk, ggml_view_3d(ctx, kc, hd, n_head_kv, g, kc->nb[1], kc->nb[2],
                                                                    p * kc->nb[2])));
        ggml_build_forward_expand(gf, ggml_cpy(ctx, v, ggml_view_3d(ctx, vc, hd, n_head_kv, g, vc->nb[1], vc->nb[2],
                                                                   p * vc->nb[2])));
        ggml_tensor* kw = ggml_permute(ctx, ggml_view_3d(ctx, kc, hd, n_head_kv, W, kc->nb[1], kc->nb[2], 0), 0, 2, 1, 3);
        ggml_tensor* vw = ggml_permute(ctx, ggml_view_3d(ctx, vc, hd, n_head_kv, W, vc->nb[1], vc->nb[2], 0), 0, 2, 1, 3);
        ggml_tensor* o = ggml_flash_attn_ext(ctx, ggml_permute(ctx, q, 0, 2, 1, 3), kw, vw, mask,
                                             1.0f / std::sqrt(static_cast<float>(hd)), 0.0f, 0.0f);
        if (lw.sinks) ggml_flash_attn_ext_add_sinks(o, lw.sinks);
        ggml_flash_attn_ext_set_n_kv_max(o, 0);
        ggml_flash_attn_ext_set_prec(o, GGML_PREC_F32);  // o: (head_dim, n_head, g)

        o = linear(ctx, wo, lw.bo, ggml_reshape_2d(ctx, o, hd * n_head, g));
        ggml_tensor* h = ggml_add(ctx, o, x);  // the new residual stream
        ggml_tensor* f = rms_mul(ctx, h, ffn_norm, hp.rms_eps);

        // Router logits (n_expert, g). For all_logits sequences token by token, so that each token is routed by
        // the same product as in a one-token step.
        ggml_tensor* r;
        if (s.all_logits) {
            r = ggml_new_tensor_2d(ctx, GGML_TYPE_F32, X, g);
            for (int64_t t = 0; t < g; ++t) {
                ggml_tensor* ft = ggml_view_2d(ctx, f, E, 1, f->nb[1], t * f->nb[1]);
                ggml_tensor* rt = linear(ctx, gate_inp, lw.gate_inp_b, ft);
                ggml_build_forward_expand(gf, ggml_cpy(ctx, rt, ggml_view_2d(ctx, r, X, 1, r->nb[1], t * r->nb[1])));
            }
        } else {
            r = linear(ctx, gate_inp, lw.gate_inp_b, f);
        }

        ggml_tensor* top;
        ggml_tensor* w;
        ggml_tensor* probs = nullptr;
        if (is_gpt_oss) {
            top = ggml_argsort_top_k(ctx, r, static_cast<int>(k));  // (k, g), descending logit
            w = ggml_get_rows(ctx, ggml_reshape_3d(ctx, r, 1, X, g), top);
            w = ggml_soft_max(ctx, ggml_reshape_2d(ctx, w, k, g));
            if (want_probs) probs = ggml_soft_max(ctx, r);
        } else {
            probs = ggml_soft_max(ctx, r);
            top = ggml_argsort_top_k(ctx, probs, static_cast<int>(k));
            w = ggml_reshape_2d(ctx, ggml_get_rows(ctx, ggml_reshape_3d(ctx, probs, 1, X, g), top), k, g);
            ggml_tensor* sum = ggml_clamp(ctx, ggml_sum_rows(ctx, w), 0.00006103515625f, INFINITY);
            w = ggml_div(ctx, w, sum);
        }
        if (hp.expert_weights_scale != 0.0f && hp.expert_weights_scale != 1.0f) {
            w = ggml_scale(ctx, w, hp.expert_weights_scale);
        }

        ggml_tensor* pred = nullptr;
        if (predict_here) {
            ggml_tensor* f2 = rms_mul(ctx, h, next_norm, hp.rms_eps);
            ggml_tensor* r2 = linear(ctx, next_gate, layers[layer + 1].gate_inp_b, f2);
            pred = ggml_argsort_top_k(ctx, r2, static_cast<int>(std::min<int64_t>(k + prefetch, X)));
        }

        for (ggml_tensor* t : {h, f, top, w, pred, want_probs ? probs : nullptr}) {
            if (t) ggml_build_forward_expand(gf, t);
        }
        try {
            compute(gf);
        } catch (...) {
            ggml_free(ctx);
            throw;
        }

        if (want_probs) {
            router_probs.resize(X);
            std::memcpy(router_probs.data(), probs->data, sizeof(float) * X);
        }
        copy_rows(h, hidden.data() + s.first_row * E);
        copy_rows(f, ffn_input.data() + s.first_row * E);
        copy_rows(w, route_weights.data() + s.first_row * k);
        copy_rows(top, routes.data() + s.first_row * k);
        if (pred) {
            const int32_t* ids = static_cast<const int32_t*>(pred->data);
            for (int64_t i = 0; i < pred->ne[0]; ++i) {
                if (std::find(prediction.begin(), prediction.end(), ids[i]) == prediction.end()) {
                    prediction.push_back(ids[i]);
                }
            }
        }
        ggml_free(ctx);
    }

    if (single && !next_experts.empty()) {
        predicted += k;
        for (int64_t i = 0; i < k; ++i) {
            if (std::find(next_experts.begin(), next_experts.end(), routes[i]) != next_experts.end()) {
                ++predicted_hits;
            }
        }
    }
    next_experts = std::move(prediction);
}
