// The low-bit step of `mivra pack --lowbit TYPE`: experts.lo.bin, every expert of experts.bin requantised to one
// ggml type, laid out by its own plans (make_lowbit_plans + layout_expert_blobs) and optionally weighted by an
// importance matrix.
//
// Work is spread over one worker thread per hardware thread. The unit of work is a band of rows of one part of one
// expert, so that a layer with few large experts keeps every core busy too; bands are quantised independently,
// which gives exactly the bytes of one ggml_quantize_chunk call over the whole part. Memory stays bounded: experts
// are read, quantised and written in windows of at most `window_bytes` (full plus low-bit copy, at least one
// expert), with the next window read while the workers quantise the current one.
#pragma once

#include "engine/pack/pack_layout.h"
#include "engine/pack/requantize_imatrix.h"

#include <atomic>
#include <cstdint>
#include <string>

// True for the types that ggml_quantize_chunk can write (a real block size and a quantiser in this ggml build).
bool lowbit_type_quantizable(int type);
// True when ggml cannot quantise into `type` without importance weights.
bool lowbit_type_needs_imatrix(int type);

// Every source part must have a conversion to floats (or be f32): else pack_failure "cannot requantize expert
// type " + the type's name. Called before any file is written.
void check_requantizable(const pack_plans& full);

// One window of experts of one layer, shared by the workers that quantise it.
struct requantize_job {
    std::atomic<int64_t> next{0};  // next work unit to draw
    int64_t n_units = 0;           // units in the window: experts x units_per_expert
    int64_t units_per_expert = 0;
    int64_t first_expert = 0;      // expert number of the window's first blob
    int32_t layer = 0;
    int type = 0;                  // the low-bit ggml type
    int64_t band_rows[3] = {1, 1, 1};  // rows per unit of gate, up, down
    int64_t units[3] = {0, 0, 0};      // units per part of one expert
    const pack_layer_plan* full = nullptr;
    const pack_layer_plan* low = nullptr;
    const uint8_t* source = nullptr;  // the window's blobs of experts.bin, full stride each
    uint8_t* dest = nullptr;          // the window's blobs of experts.lo.bin, low-bit stride each, zero-filled
    const importance_matrix* imatrix = nullptr;
    const float* uniform = nullptr;   // weights of 1 (longest row), for types that cannot do without weights
};

// Body of one worker: draws units until the window runs out; each converts its rows to floats with the source
// type's to_float (f32 copied) and quantises them with ggml_quantize_chunk. A quantiser that writes another size
// than planned ends the process with "mivra-pack: unexpected quantized size".
void requantize_worker(requantize_job& job);

struct lowbit_write {
    std::string experts_path;  // experts.bin to read
    std::string out_path;      // experts.lo.bin to write (through out_path + ".tmp" and a rename)
    const pack_plans* full = nullptr;
    const pack_plans* low = nullptr;  // laid out by layout_expert_blobs
    int64_t n_expert = 0;
    int type = 0;
    const importance_matrix* imatrix = nullptr;  // empty matrix: no weights
    int threads = 0;                              // 0: one per hardware thread
    uint64_t window_bytes = 256ull << 20;  // full plus low-bit bytes of the experts read at a time
    int64_t band_floats = 1 << 20;          // most values one work unit converts (at least one row)
};

// Writes experts.lo.bin, printing "\rlow-bit experts: layer %d/%zu" after each layer and "\n" at the end on stderr.
// Throws pack_failure "short read from source GGUF" when experts.bin is missing or short and "write failed:
// experts.lo.bin" when the file cannot be written; an existing experts.lo.bin stays as it was then.
void write_lowbit_experts(const lowbit_write& request);

// What `--lowbit-only` keeps of the pack that it updates.
struct existing_pack {
    std::string source;  // the manifest's "source" and "arch" strings; empty when absent
    std::string arch;
};

// For `--lowbit-only`: reads out_dir/manifest.json and checks that its experts.bin table is the one `plans`
// describe (every offset, stride, type, shape and size the pack reader uses) and that experts.bin has
// `experts_bytes` bytes. Otherwise throws pack_failure "the pack in " + out_dir + " does not match " + model_path +
// ": " + the reason.
existing_pack check_existing_pack(const std::string& out_dir, const std::string& model_path, const pack_plans& plans,
                                  uint64_t experts_bytes);
