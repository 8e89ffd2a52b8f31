#include "engine/pack/pack_source.h"

#include "engine/pack/gguf_keys.h"
#include "platform/files.h"

#include <ggml.h>
#include <gguf.h>

#include <cstring>

pack_source::~pack_source() {
    if (gguf) gguf_free(gguf);
    if (ctx) ggml_free(ctx);
}

bool match_expert_tensor(const std::string& name, int32_t& layer, int& kind) {
    static const char* const kinds[3] = {"gate", "up", "down"};
    if (name.compare(0, 4, "blk.") != 0) return false;
    size_t pos = 4;
    const size_t digits_begin = pos;
    while (pos < name.size() && name[pos] >= '0' && name[pos] <= '9') ++pos;
    if (pos == digits_begin) return false;
    const std::string digits = name.substr(digits_begin, pos - digits_begin);
    const std::string rest = name.substr(pos);
    for (int k = 0; k < 3; ++k) {
        if (rest != std::string(".ffn_") + kinds[k] + "_exps.weight") continue;
        int64_t value = 0;
        for (char c : digits) {
            value = value * 10 + (c - '0');
            if (value > INT32_MAX) throw std::out_of_range("stoi argument out of range");
        }
        layer = static_cast<int32_t>(value);
        kind = k;
        return true;
    }
    return false;
}

void scan_pack_source(const std::string& model_path, pack_source& out) {
    gguf_init_params params{true, &out.ctx};
    out.gguf = gguf_init_from_file(model_path.c_str(), params);
    if (!out.gguf) throw pack_failure("cannot read GGUF " + model_path);
    out.data_offset = gguf_get_data_offset(out.gguf);

    // ggml's writer lays core.gguf out at its default alignment whatever the copied key says, so a source with
    // another alignment would give a core.gguf that readers see with wrong offsets.
    const int64_t align_key = gguf_find_key(out.gguf, GGUF_KEY_GENERAL_ALIGNMENT);
    if (align_key >= 0 && (gguf_get_kv_type(out.gguf, align_key) != GGUF_TYPE_UINT32 ||
                           gguf_get_val_u32(out.gguf, align_key) != GGUF_DEFAULT_ALIGNMENT)) {
        const std::string value = gguf_get_kv_type(out.gguf, align_key) == GGUF_TYPE_UINT32
                                      ? std::to_string(gguf_get_val_u32(out.gguf, align_key))
                                      : std::string("of another type");
        throw pack_failure("unsupported general.alignment " + value + " (only 32 is supported)");
    }

    // Every tensor must lie inside the file: a truncated source is refused before anything is written, and no
    // buffer is ever sized from a tensor that is not really there.
    const int64_t n_tensors = gguf_get_n_tensors(out.gguf);
    const int64_t source_bytes = file_size(model_path);
    for (int64_t i = 0; i < n_tensors; ++i) {
        const uint64_t end = out.data_offset + gguf_get_tensor_offset(out.gguf, i) + gguf_get_tensor_size(out.gguf, i);
        if (source_bytes < 0 || end > static_cast<uint64_t>(source_bytes))
            throw pack_failure("short read from source GGUF");
    }
    for (int64_t i = 0; i < n_tensors; ++i) {
        const std::string name = gguf_get_tensor_name(out.gguf, i);
        const ggml_tensor* t = ggml_get_tensor(out.ctx, name.c_str());
        int32_t layer = 0;
        int kind = 0;
        if (match_expert_tensor(name, layer, kind)) {
            if (ggml_n_dims(t) != 3) throw pack_failure("expert tensor is not 3-D: " + name);
            if (out.n_expert == 0)
                out.n_expert = t->ne[2];
            else if (t->ne[2] != out.n_expert)
                throw pack_failure("expert count differs: " + name);
            if (ggml_nbytes(t) != t->nb[2] * static_cast<size_t>(t->ne[2]))
                throw pack_failure("expert tensor not expert-major: " + name);
            pack_layer_plan& plan = out.plans[layer];
            plan.layer = layer;
            plan_part& part = kind == 0 ? plan.gate : kind == 1 ? plan.up : plan.down;
            part.tensor = i;
            part.type = t->type;
            part.ne0 = t->ne[0];
            part.ne1 = t->ne[1];
            part.bytes = t->nb[2];
        } else if (name.find("_exps") != std::string::npos && name.find(".bias") == std::string::npos) {
            throw pack_failure("unsupported expert tensor (fused?): " + name);
        } else {
            out.core.push_back(i);
        }
    }
    if (out.plans.empty()) throw pack_failure("no blk.N.ffn_{gate,up,down}_exps.weight tensors found");
}

void check_expert_layers(const pack_source& src) {
    int64_t n_layer = static_cast<int64_t>(src.plans.rbegin()->first) + 1;
    const int64_t arch_key = gguf_find_key(src.gguf, "general.architecture");
    if (arch_key >= 0 && gguf_get_kv_type(src.gguf, arch_key) == GGUF_TYPE_STRING) {
        const std::string key = std::string(gguf_get_val_str(src.gguf, arch_key)) + ".block_count";
        const int64_t id = gguf_find_key(src.gguf, key.c_str());
        if (id >= 0) {
            try {
                n_layer = required_int_key(src.gguf, key);  // the reader's type rules
            } catch (const std::runtime_error& e) {
                throw pack_failure(e.what());
            }
            const int32_t last = src.plans.rbegin()->first;
            if (last >= n_layer)
                throw pack_failure("expert tensors of layer " + std::to_string(last) + " beyond block_count " +
                                   std::to_string(n_layer));
        }
    }
    for (int64_t layer = 0; layer < n_layer; ++layer)
        if (src.plans.find(static_cast<int32_t>(layer)) == src.plans.end())
            throw pack_failure("layer " + std::to_string(layer) + " has no expert tensors");
}

void read_source_range(int fd, uint64_t offset, void* buffer, size_t count) {
    if (read_at(fd, offset, buffer, count) != count) throw pack_failure("short read from source GGUF");
}

void read_expert_blob(int fd, const pack_source& src, const pack_layer_plan& plan, int64_t expert,
                      std::vector<uint8_t>& buffer) {
    buffer.assign(plan.stride, 0);
    for (const plan_part* part : {&plan.gate, &plan.up, &plan.down}) {
        const uint64_t at = src.data_offset + gguf_get_tensor_offset(src.gguf, part->tensor) +
                            static_cast<uint64_t>(expert) * part->bytes;
        read_source_range(fd, at, buffer.data() + part->offset, part->bytes);
    }
}
