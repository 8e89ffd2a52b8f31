// Typed readers of GGUF metadata that refuse a key of the wrong type with a message instead of aborting.
// Integers are keys of type UINT32 or INT32 read as int32; reals are FLOAT32 keys; strings are STRING keys.
#pragma once

#include <cstdint>
#include <string>

struct gguf_context;

// The key's value; throws "missing GGUF key " + key when absent, "unexpected type for GGUF key " + key otherwise.
int32_t required_int_key(const gguf_context* gguf, const std::string& key);
float required_f32_key(const gguf_context* gguf, const std::string& key);
std::string required_str_key(const gguf_context* gguf, const std::string& key);

// Same type rules, but an absent key gives `fallback`.
int32_t optional_int_key(const gguf_context* gguf, const std::string& key, int32_t fallback);
float optional_f32_key(const gguf_context* gguf, const std::string& key, float fallback);
std::string optional_str_key(const gguf_context* gguf, const std::string& key, const std::string& fallback);
