// The layout of the expert files (experts.bin, experts.lo.bin) and the text of manifest.json, as the converter
// plans them. Pure functions over plain records; no I/O.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// One part (gate, up or down) of one layer's expert blob, as planned from the source model.
struct plan_part {
    int64_t tensor = -1;  // index of the source tensor; -1 while the layer lacks this part
    int32_t type = 0;     // ggml type number
    int64_t ne0 = 0;      // values per row
    int64_t ne1 = 0;      // rows
    uint64_t bytes = 0;   // bytes of one expert's slice (experts.bin: the source tensor's expert stride)
    uint64_t offset = 0;  // position inside the blob, set by layout_expert_blobs
};

struct pack_layer_plan {
    int32_t layer = 0;
    plan_part gate, up, down;
    uint64_t stride = 0;  // set by layout_expert_blobs
    uint64_t offset = 0;  // set by layout_expert_blobs
};

// Plans by layer number; iteration is in ascending layer order, which is the file order.
using pack_plans = std::map<int32_t, pack_layer_plan>;

constexpr uint64_t part_align = 64;
constexpr uint64_t blob_align = 4096;

// Lays the blobs out: part offsets (each part starts at the previous end rounded up to 64), strides (rounded up
// to 4096) and layer offsets (running total of stride x n_expert). Returns the file size.
// Throws std::runtime_error "layer is missing an expert tensor: blk." + layer for a part of 0 bytes.
uint64_t layout_expert_blobs(int64_t n_expert, pack_plans& plans);

// ggml type number of a low-bit type named exactly as ggml_type_name spells it (types 0 to 42 that still exist),
// or -1.
int find_lowbit_type(const std::string& name);

// A copy of `full` in which every part has type `type` and the bytes of that type for its shape; offsets are
// not laid out yet. Throws "row length not a multiple of the --lowbit block size".
pack_plans make_lowbit_plans(const pack_plans& full, int type);

// The layer lines of one table of manifest.json ("\n" line ends).
std::string manifest_layer_lines(const pack_plans& plans);

struct manifest_fields {
    std::string source;              // file name of the source model
    std::string arch;                // general.architecture, or "unknown"
    int64_t n_expert = 0;
    uint64_t experts_bytes = 0;
    const pack_plans* plans = nullptr;
    const pack_plans* lowbit_plans = nullptr;  // null without a low-bit file
    uint64_t lowbit_bytes = 0;
};

// The whole manifest.json, with "\r\n" line ends as the pack format stores them.
std::string manifest_text(const manifest_fields& fields);

// A text as the contents of a JSON string (no quotes): quotation mark, backslash and control characters
// escaped; bytes that are not UTF-8 become U+FFFD.
std::string json_string_contents(const std::string& text);
