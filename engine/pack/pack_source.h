// The source model of the converter: its metadata and tensor index (never its data), sorted into expert-layer
// plans and the list of tensors that go to core.gguf, and the positioned reads that copy its bytes.
#pragma once

#include "engine/pack/pack_layout.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct gguf_context;
struct ggml_context;

// A failure of the pack command that is reported as "mivra-pack: " + text with exit code 1.
struct pack_failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct pack_source {
    gguf_context* gguf = nullptr;  // metadata and tensor index
    ggml_context* ctx = nullptr;   // tensor descriptors without data
    uint64_t data_offset = 0;      // file offset of the tensor data section
    int64_t n_expert = 0;          // from the first expert tensor
    pack_plans plans;              // layers with expert tensors, ascending
    std::vector<int64_t> core;     // indices of the tensors that go to core.gguf, in source order

    pack_source() = default;
    pack_source(const pack_source&) = delete;
    pack_source& operator=(const pack_source&) = delete;
    ~pack_source();
};

// Reads the source's metadata and sorts its tensors into `out`. Throws pack_failure with the converter's texts
// ("cannot read GGUF ", "expert tensor is not 3-D: ", "expert count differs: ", "expert tensor not expert-major: ",
// "unsupported expert tensor (fused?): ", "no blk.N.ffn_{gate,up,down}_exps.weight tensors found",
// "unsupported general.alignment ...", "short read from source GGUF" for a tensor past the end of the file);
// a layer number too large for int32 is std::out_of_range.
void scan_pack_source(const std::string& model_path, pack_source& out);

// After layout: every layer from 0 to block_count - 1 must have expert tensors, and no other layer may.
// Throws pack_failure "layer N has no expert tensors" or "expert tensors of layer N beyond block_count M".
void check_expert_layers(const pack_source& src);

// Name test of the converter: true for "blk.<digits>.ffn_(gate|up|down)_exps.weight", the digits read as
// decimal int32 into `layer` (std::out_of_range when too large) and 0, 1, 2 for gate, up, down into `kind`.
bool match_expert_tensor(const std::string& name, int32_t& layer, int& kind);

// Reads `count` bytes at the absolute `offset`; fewer: pack_failure "short read from source GGUF".
void read_source_range(int fd, uint64_t offset, void* buffer, size_t count);

// One blob of experts.bin: zero-filled `buffer` of the plan's stride, then gate, up and down of `expert` copied
// from the source at their part offsets.
void read_expert_blob(int fd, const pack_source& src, const pack_layer_plan& plan, int64_t expert,
                      std::vector<uint8_t>& buffer);
