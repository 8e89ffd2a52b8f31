#include "engine/pack/pack_test_util.h"

#include "cli/run_child.h"
#include "fixtures/fixture_cache.h"

#include <gguf.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

temp_folder::temp_folder() {
    std::string pattern = (fs::temp_directory_path() / "mivra-pack-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

temp_folder::~temp_folder() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string make_model(const std::string& path, const fixture_model_options& options) {
    copy_fixture(cached_fixture_model(options), path);
    return path;
}

void rewrite_gguf(const std::string& source, const std::string& target,
                  const std::function<void(std::vector<gguf_tensor_record>&)>& edit_tensors,
                  const std::function<void(gguf_context*)>& edit_keys) {
    ggml_context* src_ctx = nullptr;
    gguf_init_params params{false, &src_ctx};
    gguf_context* src = gguf_init_from_file(source.c_str(), params);
    if (!src) throw std::runtime_error("cannot read " + source);
    std::vector<gguf_tensor_record> records;
    for (int64_t i = 0; i < gguf_get_n_tensors(src); ++i) {
        const ggml_tensor* t = ggml_get_tensor(src_ctx, gguf_get_tensor_name(src, i));
        gguf_tensor_record r;
        r.name = t->name;
        r.type = t->type;
        for (int d = 0; d < 4; ++d) r.ne[d] = t->ne[d];
        const auto* bytes = static_cast<const uint8_t*>(t->data);
        r.data.assign(bytes, bytes + ggml_nbytes(t));
        records.push_back(std::move(r));
    }
    if (edit_tensors) edit_tensors(records);

    gguf_context* out = gguf_init_empty();
    gguf_set_kv(out, src);
    if (edit_keys) edit_keys(out);
    ggml_init_params ip{ggml_tensor_overhead() * (records.size() + 1), nullptr, true};
    ggml_context* ctx = ggml_init(ip);
    for (gguf_tensor_record& r : records) {
        ggml_tensor* t = ggml_new_tensor(ctx, r.type, 4, r.ne);
        ggml_set_name(t, r.name.c_str());
        if (ggml_nbytes(t) != r.data.size()) r.data.resize(ggml_nbytes(t));
        t->data = r.data.data();
        gguf_add_tensor(out, t);
    }
    const bool ok = gguf_write_to_file(out, target.c_str(), false);
    gguf_free(out);
    ggml_free(ctx);
    gguf_free(src);
    ggml_free(src_ctx);
    if (!ok) throw std::runtime_error("cannot write " + target);
}

child_result run_mivra(const std::vector<std::string>& args) {
    std::vector<std::string> all = {program_path("mivra")};
    all.insert(all.end(), args.begin(), args.end());
    return run_child(all);
}

std::string pack_model(const temp_folder& tmp, const std::string& name, const fixture_model_options& o) {
    const fs::path cached = cached_fixture(fixture_model_id(o) + ".pack", [&](const fs::path& out) {
        const child_result r = run_mivra({"pack", cached_fixture_model(o).string(), out.string(), "--verify", "0"});
        if (r.exit_code != 0) throw std::runtime_error("pack failed: " + r.err);
    });
    const std::string out = tmp / name;
    copy_fixture(cached, out);
    return out;
}
