#include "engine/pack/gguf_keys.h"

#include <gguf.h>

#include <stdexcept>

namespace {

int64_t find_typed(const gguf_context* gguf, const std::string& key, bool required,
                   std::initializer_list<gguf_type> types) {
    const int64_t id = gguf_find_key(gguf, key.c_str());
    if (id < 0) {
        if (required) throw std::runtime_error("missing GGUF key " + key);
        return -1;
    }
    const gguf_type type = gguf_get_kv_type(gguf, id);
    for (gguf_type t : types)
        if (t == type) return id;
    throw std::runtime_error("unexpected type for GGUF key " + key);
}

int32_t int_value(const gguf_context* gguf, int64_t id) {
    if (gguf_get_kv_type(gguf, id) == GGUF_TYPE_UINT32) return static_cast<int32_t>(gguf_get_val_u32(gguf, id));
    return gguf_get_val_i32(gguf, id);
}

}  // namespace

int32_t required_int_key(const gguf_context* gguf, const std::string& key) {
    return int_value(gguf, find_typed(gguf, key, true, {GGUF_TYPE_UINT32, GGUF_TYPE_INT32}));
}

float required_f32_key(const gguf_context* gguf, const std::string& key) {
    return gguf_get_val_f32(gguf, find_typed(gguf, key, true, {GGUF_TYPE_FLOAT32}));
}

std::string required_str_key(const gguf_context* gguf, const std::string& key) {
    return gguf_get_val_str(gguf, find_typed(gguf, key, true, {GGUF_TYPE_STRING}));
}

int32_t optional_int_key(const gguf_context* gguf, const std::string& key, int32_t fallback) {
    const int64_t id = find_typed(gguf, key, false, {GGUF_TYPE_UINT32, GGUF_TYPE_INT32});
    return id < 0 ? fallback : int_value(gguf, id);
}

float optional_f32_key(const gguf_context* gguf, const std::string& key, float fallback) {
    const int64_t id = find_typed(gguf, key, false, {GGUF_TYPE_FLOAT32});
    return id < 0 ? fallback : gguf_get_val_f32(gguf, id);
}

std::string optional_str_key(const gguf_context* gguf, const std::string& key, const std::string& fallback) {
    const int64_t id = find_typed(gguf, key, false, {GGUF_TYPE_STRING});
    return id < 0 ? fallback : std::string(gguf_get_val_str(gguf, id));
}
