// core.gguf of a pack: every metadata key of the source and every non-expert tensor, bytes unchanged.
#pragma once

#include <cstdint>
#include <string>

struct pack_source;

// Writes `path` from the source (read through `source_fd`) in bounded chunks, pads it to its alignment, flushes
// it to disk, and reads it back with ggml's GGUF reader to check keys, tensor index and size. Returns the sum of
// the core tensors' sizes. Throws pack_failure: "cannot write core.gguf", "write failed: core.gguf",
// "short read from source GGUF", "core.gguf does not read back as written".
uint64_t write_core_gguf(const pack_source& src, int source_fd, const std::string& path);
