// Members of the model record: ownership, tensor lookups and the embedding lookup.
#include "engine/pack/model.h"

#include <ggml.h>
#include <gguf.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

// Frees what the record owns and leaves it empty; the destructor and move assignment share it.
void release(model& m) {
    if (m.gguf) gguf_free(m.gguf);
    if (m.ctx) ggml_free(m.ctx);
    m.core_memory = reserved_memory();
    m.gguf = nullptr;
    m.ctx = nullptr;
    m.embd_on_disk = nullptr;
    if (m.core_file.is_open()) m.core_file.close();
}

}  // namespace

model::model(model&& other) noexcept { *this = std::move(other); }

model& model::operator=(model&& other) noexcept {
    if (this == &other) return *this;
    release(*this);
    arch = std::move(other.arch);
    hparams = other.hparams;
    expert_layers = std::move(other.expert_layers);
    lowbit_layers = std::move(other.lowbit_layers);
    expert_bytes = other.expert_bytes;
    core_bytes = other.core_bytes;
    experts_path = std::move(other.experts_path);
    core_path = std::move(other.core_path);
    lowbit_path = std::move(other.lowbit_path);
    gguf = std::exchange(other.gguf, nullptr);
    ctx = std::exchange(other.ctx, nullptr);
    core_memory = std::move(other.core_memory);
    core_file = std::move(other.core_file);
    embd_on_disk = std::exchange(other.embd_on_disk, nullptr);
    embd_offset = other.embd_offset;
    return *this;
}

model::~model() { release(*this); }

ggml_tensor* model::model_tensor(const char* name) const {
    ggml_tensor* t = ctx ? ggml_get_tensor(ctx, name) : nullptr;
    if (!t) throw std::runtime_error(std::string("missing tensor ") + name);
    return t;
}

ggml_tensor* model::layer_tensor(const char* pattern, int layer) const {
    char name[128];
    std::snprintf(name, sizeof name, pattern, layer);
    return model_tensor(name);
}

ggml_tensor* model::layer_tensor_opt(const char* pattern, int layer) const {
    char name[128];
    std::snprintf(name, sizeof name, pattern, layer);
    return ctx ? ggml_get_tensor(ctx, name) : nullptr;
}

void model::embed_tokens(const int32_t* ids, int32_t count, float* out) {
    const ggml_tensor* embd = embd_on_disk ? embd_on_disk : model_tensor("token_embd.weight");
    const size_t row = ggml_row_size(embd->type, embd->ne[0]);
    const auto to_float = ggml_get_type_traits(embd->type)->to_float;
    std::vector<char> scratch(embd_on_disk ? row : 0);
    for (int32_t i = 0; i < count; ++i) {
        const int32_t id = ids[i];
        if (id < 0 || id >= embd->ne[1]) throw std::runtime_error("token id out of range");
        const char* src;
        if (embd_on_disk) {
            core_file.clear();
            core_file.seekg(static_cast<std::streamoff>(embd_offset + static_cast<uint64_t>(id) * row));
            core_file.read(scratch.data(), static_cast<std::streamsize>(row));
            if (!core_file || static_cast<size_t>(core_file.gcount()) != row)
                throw std::runtime_error("short read in " + core_path);
            src = scratch.data();
        } else {
            src = static_cast<const char*>(embd->data) + static_cast<size_t>(id) * row;
        }
        float* dst = out + static_cast<size_t>(i) * embd->ne[0];
        if (embd->type != GGML_TYPE_F32 && to_float)
            to_float(src, dst, embd->ne[0]);
        else
            std::memcpy(dst, src, row);
    }
}
