#include "engine/pack/tensor_checks.h"

#include "engine/pack/model.h"

#include <ggml.h>
#include <gguf.h>

#include <initializer_list>
#include <stdexcept>
#include <string>

namespace {

enum class role { matrix, f32 };

std::string shape_text(const int64_t* ne, int dims) {
    std::string s = "[";
    for (int i = 0; i < dims; ++i) s += (i ? ", " : "") + std::to_string(ne[i]);
    return s + "]";
}

[[noreturn]] void bad_tensor(const model& m, const char* name, const std::string& what) {
    throw std::runtime_error(std::string("bad tensor ") + name + " in " + m.core_path + ": " + what);
}

// A present tensor must have exactly the shape `want` (one or two dimensions; the others 1) and a type that suits
// its role.
void check_tensor(const model& m, const ggml_tensor* t, role r, std::initializer_list<int64_t> want) {
    if (!t) return;
    int64_t expect[4] = {1, 1, 1, 1};
    int dims = 0;
    for (int64_t n : want) expect[dims++] = n;
    for (int i = 0; i < 4; ++i)
        if (t->ne[i] != expect[i])
            bad_tensor(m, t->name, "shape " + shape_text(t->ne, ggml_n_dims(t)) + " where the model needs " +
                                       shape_text(expect, dims));
    if (r == role::f32 && t->type != GGML_TYPE_F32)
        bad_tensor(m, t->name, std::string("type ") + ggml_type_name(t->type) + " where f32 is needed");
    if (r == role::matrix && !cpu_weight_type(t->type))
        bad_tensor(m, t->name, std::string("type ") + ggml_type_name(t->type) + " is not a weight type of the CPU backend");
}

}  // namespace

bool cpu_weight_type(int32_t type_id) {
    switch (type_id) {
        case GGML_TYPE_F32: case GGML_TYPE_F16: case GGML_TYPE_BF16:
        case GGML_TYPE_Q4_0: case GGML_TYPE_Q4_1: case GGML_TYPE_Q5_0: case GGML_TYPE_Q5_1: case GGML_TYPE_Q8_0:
        case GGML_TYPE_MXFP4:
        case GGML_TYPE_Q2_K: case GGML_TYPE_Q3_K: case GGML_TYPE_Q4_K: case GGML_TYPE_Q5_K: case GGML_TYPE_Q6_K:
        case GGML_TYPE_IQ2_XXS: case GGML_TYPE_IQ2_XS: case GGML_TYPE_IQ2_S: case GGML_TYPE_IQ3_XXS:
        case GGML_TYPE_IQ3_S: case GGML_TYPE_IQ1_S: case GGML_TYPE_IQ1_M: case GGML_TYPE_IQ4_NL:
        case GGML_TYPE_IQ4_XS: case GGML_TYPE_TQ1_0: case GGML_TYPE_TQ2_0:
            return true;
        default:
            return false;
    }
}

void check_runner_tensors(const model& m) {
    const model_hparams& hp = m.hparams;
    const int64_t E = hp.n_embd, V = hp.n_vocab, X = hp.n_expert, F = hp.n_ff_exp, D = hp.head_dim;
    const int64_t q_rows = int64_t(hp.n_head) * D, kv_rows = int64_t(hp.n_head_kv) * D;
    auto get = [&](const char* name) -> const ggml_tensor* { return ggml_get_tensor(m.ctx, name); };

    // The embedding gives the vocabulary size; the head must give logits of that width, and the tokenizer must
    // know as many tokens (the engine's logits rows are as wide as its vocabulary).
    const ggml_tensor* output = get("output.weight");
    check_tensor(m, output, role::matrix, {E, V});
    if (!output) check_tensor(m, get("token_embd.weight"), role::matrix, {E, V});  // the head shares it
    check_tensor(m, get("output_norm.weight"), role::f32, {E});
    const int64_t tokens = gguf_find_key(m.gguf, "tokenizer.ggml.tokens");
    if (tokens >= 0 && gguf_get_kv_type(m.gguf, tokens) == GGUF_TYPE_ARRAY &&
        static_cast<int64_t>(gguf_get_arr_n(m.gguf, tokens)) != V)
        bad_tensor(m, "token_embd.weight", std::to_string(V) + " rows for a vocabulary of " +
                                               std::to_string(gguf_get_arr_n(m.gguf, tokens)) + " tokens");

    for (int32_t l = 0; l < hp.n_layer; ++l) {
        auto at = [&](const char* pattern) { return m.layer_tensor_opt(pattern, l); };
        check_tensor(m, at("blk.%d.attn_norm.weight"), role::f32, {E});
        check_tensor(m, at("blk.%d.attn_q.weight"), role::matrix, {E, q_rows});
        check_tensor(m, at("blk.%d.attn_k.weight"), role::matrix, {E, kv_rows});
        check_tensor(m, at("blk.%d.attn_v.weight"), role::matrix, {E, kv_rows});
        check_tensor(m, at("blk.%d.attn_q.bias"), role::f32, {q_rows});
        check_tensor(m, at("blk.%d.attn_k.bias"), role::f32, {kv_rows});
        check_tensor(m, at("blk.%d.attn_v.bias"), role::f32, {kv_rows});
        check_tensor(m, at("blk.%d.attn_q_norm.weight"), role::f32, {D});
        check_tensor(m, at("blk.%d.attn_k_norm.weight"), role::f32, {D});
        check_tensor(m, at("blk.%d.attn_sinks.weight"), role::f32, {hp.n_head});
        check_tensor(m, at("blk.%d.attn_output.weight"), role::matrix, {q_rows, E});
        check_tensor(m, at("blk.%d.attn_output.bias"), role::f32, {E});
        check_tensor(m, at("blk.%d.ffn_norm.weight"), role::f32, {E});
        check_tensor(m, at("blk.%d.post_attention_norm.weight"), role::f32, {E});
        // The router maps the embedding to one logit per expert: E values per row, one row per expert.
        check_tensor(m, at("blk.%d.ffn_gate_inp.weight"), role::matrix, {E, X});
        check_tensor(m, at("blk.%d.ffn_gate_inp.bias"), role::f32, {X});
        check_tensor(m, at("blk.%d.ffn_gate_exps.bias"), role::f32, {F, X});
        check_tensor(m, at("blk.%d.ffn_up_exps.bias"), role::f32, {F, X});
        check_tensor(m, at("blk.%d.ffn_down_exps.bias"), role::f32, {E, X});
    }
}
