// The opened pack: layer tables of the expert files, their paths, the hyper-parameters and the core tensors.
// Built by open_pack, released by its destructor; read-only between the two except for embed_tokens.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/virtual_memory.h"

struct ggml_context;
struct ggml_tensor;
struct gguf_context;

// One part (gate, up or down) of an expert blob.
struct pack_part {
    int32_t type_id = 0;  // ggml type number
    int64_t ne0 = 0;      // values per row
    int64_t ne1 = 0;      // rows
    uint64_t offset = 0;  // position inside the blob
    uint64_t bytes = 0;   // size of this part of one expert
};

// One layer of an expert file; the layer number is the entry's index.
// Expert e of the layer lies at offset + e * stride.
struct pack_layer {
    uint64_t offset = 0;
    uint64_t stride = 0;
    pack_part gate, up, down;
};

struct model_hparams {
    int32_t n_layer = 0;
    int32_t n_embd = 0;
    int32_t n_head = 0;
    int32_t n_head_kv = 0;
    int32_t head_dim = 0;
    int32_t n_expert = 0;
    int32_t n_expert_used = 0;
    int32_t n_ff_exp = 0;
    int32_t n_ctx_train = 0;
    int32_t n_vocab = 0;
    float rms_eps = 0.0f;
    float rope_freq_base = 0.0f;
    float rope_freq_scale = 1.0f;
    float yarn_ext_factor = 0.0f;
    float yarn_attn_factor = 1.0f;
    float yarn_beta_fast = 32.0f;
    float yarn_beta_slow = 1.0f;
    int32_t n_ctx_orig = 0;
    int32_t sliding_window = 0;
    int32_t sliding_window_pattern = 1;
    float expert_weights_scale = 0.0f;
};

struct model {
    std::string arch;
    model_hparams hparams;
    std::vector<pack_layer> expert_layers;  // experts.bin, index = layer number
    std::vector<pack_layer> lowbit_layers;  // experts.lo.bin; empty without one
    uint64_t expert_bytes = 0;              // largest stride of either table: one cache slot
    uint64_t core_bytes = 0;                // tensor data held in memory
    std::string experts_path;
    std::string core_path;
    std::string lowbit_path;                // empty when there is none

    gguf_context* gguf = nullptr;   // core.gguf's metadata and tensor index
    ggml_context* ctx = nullptr;    // one descriptor per core tensor, data pointers into core_data
    reserved_memory core_memory;    // every in-memory tensor, each 64-byte aligned
    std::ifstream core_file;        // open as long as the record lives
    ggml_tensor* embd_on_disk = nullptr;  // token_embd.weight when it stays on disk
    uint64_t embd_offset = 0;             // absolute offset of its data in core.gguf

    model() = default;
    model(const model&) = delete;
    model& operator=(const model&) = delete;
    model(model&&) noexcept;
    model& operator=(model&&) noexcept;
    ~model();  // close_pack

    // The descriptor named `name`, or throws "missing tensor " + name.
    ggml_tensor* model_tensor(const char* name) const;
    // printf pattern with one integer (e.g. "blk.%d.attn_q.weight"), cut to 127 bytes, then model_tensor.
    ggml_tensor* layer_tensor(const char* pattern, int layer) const;
    // Same, but an absent tensor gives nullptr.
    ggml_tensor* layer_tensor_opt(const char* pattern, int layer) const;
    // One embedding row of floats per token: token i at out + i * n_embd.
    void embed_tokens(const int32_t* ids, int32_t count, float* out);
};

// Opens and validates a pack folder (UTF-8 path); throws std::runtime_error with the user's text (the JSON
// library's and the file system's own exceptions pass through). Packs are downloaded data, so nothing is taken on
// trust: file names must be plain names inside the folder, every part of both expert tables must have a real ggml
// type whose size matches its shape and the hyper-parameters and that fits its 4096-aligned blob, the expert files
// must be as long as their tables, the low-bit table (when its file exists) must cover every layer, and the
// hyper-parameters must be in range, and every core tensor the runner uses must have the shape and type it needs
// (tensor_checks.h). After a successful return every table index below n_layer, every blob read
// and every tensor lookup of a present tensor stays in bounds.
model open_pack(const std::string& folder);
