// Helpers of the pack tests: temporary folders, whole-file access, fixture models and GGUF rewriting.
#pragma once

#include "fixtures/model_gen.h"

#include <ggml.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct gguf_context;

// A fresh folder under the system's temporary folder, removed with everything in it on destruction.
struct temp_folder {
    std::filesystem::path path;
    temp_folder();
    ~temp_folder();
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

std::string read_bytes(const std::string& path);
void write_bytes(const std::string& path, const std::string& bytes);

// Writes a fixture model (see fixtures/model_gen.h) and returns its path: a copy of the one that this test program
// generated for these options first (fixtures/fixture_cache.h).
std::string make_model(const std::string& path, const fixture_model_options& options);

// The pack of a fixture model as `mivra pack` makes it: converted once per test program, copied to tmp / name.
std::string pack_model(const temp_folder& tmp, const std::string& name, const fixture_model_options& o);

// One tensor of a GGUF file with its bytes, as rewrite_gguf hands it to an edit.
struct gguf_tensor_record {
    std::string name;
    ggml_type type = GGML_TYPE_F32;
    int64_t ne[4] = {1, 1, 1, 1};
    std::vector<uint8_t> data;
};

// Reads `source` whole, lets `edit_tensors` change the tensor list (rename, drop, reorder, reshape) and
// `edit_keys` the metadata, and writes the result to `target` with ggml's writer.
void rewrite_gguf(const std::string& source, const std::string& target,
                  const std::function<void(std::vector<gguf_tensor_record>&)>& edit_tensors,
                  const std::function<void(gguf_context*)>& edit_keys = {});

// Runs the real `mivra` program with args; result as in tests/cli/run_child.h.
struct child_result;
child_result run_mivra(const std::vector<std::string>& args);
