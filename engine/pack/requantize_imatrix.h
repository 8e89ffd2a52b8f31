// imatrix.bin: per-expert sums of squared FFN inputs, written by `mivra imatrix` and read by `mivra pack --lowbit
// --imatrix` to weight the requantisation.
//
// Layout (little-endian): imatrix_header, then n_layer x n_expert rows of n_in + n_ff floats, row number
// layer x n_expert + expert; the first n_in values belong to the input of the expert's gate and up matrices, the
// last n_ff to the input of its down matrix. Nothing follows. All functions are safe to call from any thread.
#pragma once

#include "engine/pack/pack_layout.h"

#include <cstdint>
#include <string>
#include <vector>

struct imatrix_header {
    int32_t n_layer = 0;
    int32_t n_expert = 0;
    int32_t n_in = 0;  // the model's embedding length: row length of gate and up
    int32_t n_ff = 0;  // the expert FFN width: row length of down
};
static_assert(sizeof(imatrix_header) == 16);

// An importance matrix in memory; empty (no values) when none was given.
struct importance_matrix {
    imatrix_header header;
    std::vector<float> values;  // header.n_layer x n_expert x (n_in + n_ff)

    bool empty() const { return values.empty(); }
    // The weights of one part of one expert: the n_in gate/up values (down = false) or the n_ff down values of
    // row (layer, expert). Null when there is no matrix, the layer is beyond the header's n_layer, or the slice has
    // no positive value or a value that is negative or not finite (no calibration token reached the expert, or the
    // file holds no usable sums for it).
    const float* slice(int32_t layer, int64_t expert, bool down) const;
};

// Reads FILE for a model whose expert plans are `plans`. Refuses, as pack_failure:
// "imatrix does not fit this model: " + FILE when the 16-byte header cannot be read, holds a negative or zero
// count, or its n_expert, n_in or n_ff differ from the model (n_in must equal every layer's gate and up row
// length, n_ff every layer's down row length); "short imatrix: " + FILE when fewer floats follow than the header
// promises. Bytes beyond them are not read; the header's n_layer is not compared with the model.
importance_matrix read_imatrix(const std::string& path, int64_t n_expert, const pack_plans& plans);

// Size in bytes of an imatrix.bin with this header: 16 + 4 x n_layer x n_expert x (n_in + n_ff).
uint64_t imatrix_file_bytes(const imatrix_header& header);

// Writes header and values (which must hold n_layer x n_expert x (n_in + n_ff) floats) to path + ".tmp", flushes
// it to disk and renames it over `path`, so a failed write leaves an existing file as it was. False on failure.
bool write_imatrix(const std::string& path, const imatrix_header& header, const std::vector<float>& values);
