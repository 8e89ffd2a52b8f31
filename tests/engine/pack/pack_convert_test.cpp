// `mivra pack` run as a child process on generated models, checked against a layout derived here from the
// source GGUF alone; then the refusals, each with its exact text and exit code.
#include "cli/run_child.h"
#include "engine/pack/model.h"
#include "engine/pack/pack_test_util.h"

#include <ggml.h>
#include <gguf.h>
#include <gtest/gtest.h>
#include <llama.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

uint64_t round_up(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

struct source_gguf {
    gguf_context* gguf = nullptr;
    ggml_context* ctx = nullptr;
    std::string bytes;
    explicit source_gguf(const std::string& path) {
        gguf_init_params p{true, &ctx};
        gguf = gguf_init_from_file(path.c_str(), p);
        if (!gguf) throw std::runtime_error("cannot read " + path);
        bytes = read_bytes(path);
    }
    ~source_gguf() {
        gguf_free(gguf);
        ggml_free(ctx);
    }
    const ggml_tensor* tensor(const std::string& name) const { return ggml_get_tensor(ctx, name.c_str()); }
    // The bytes of a tensor in the file.
    std::string data(const std::string& name, uint64_t from = 0, uint64_t count = UINT64_MAX) const {
        const int64_t id = gguf_find_tensor(gguf, name.c_str());
        const uint64_t size = gguf_get_tensor_size(gguf, id);
        return bytes.substr(gguf_get_data_offset(gguf) + gguf_get_tensor_offset(gguf, id) + from,
                            std::min(count, size - from));
    }
};

bool is_expert_weight(const std::string& name) {
    return name.rfind("blk.", 0) == 0 && name.size() > 12 && name.ends_with("_exps.weight");
}

// The expected expert layout, worked out from the source tensors with the pack format's rules.
struct derived_part {
    std::string name, type;
    int type_id;
    int64_t ne0, ne1;
    uint64_t offset, bytes;
};
struct derived_layer {
    uint64_t offset, stride;
    derived_part parts[3];
};

std::vector<derived_layer> derive_layout(const source_gguf& src, int n_layer, int64_t n_expert, uint64_t& total) {
    std::vector<derived_layer> layers;
    total = 0;
    for (int l = 0; l < n_layer; ++l) {
        derived_layer d{};
        uint64_t pos = 0;
        const char* kinds[3] = {"gate", "up", "down"};
        for (int k = 0; k < 3; ++k) {
            const std::string name = "blk." + std::to_string(l) + ".ffn_" + kinds[k] + "_exps.weight";
            const ggml_tensor* t = src.tensor(name);
            EXPECT_NE(t, nullptr) << name;
            derived_part& p = d.parts[k];
            p = {name, ggml_type_name(t->type), int(t->type), t->ne[0], t->ne[1], round_up(pos, 64),
                 ggml_nbytes(t) / uint64_t(n_expert)};
            pos = p.offset + p.bytes;
        }
        d.stride = round_up(pos, 4096);
        d.offset = total;
        total += d.stride * uint64_t(n_expert);
        layers.push_back(d);
    }
    return layers;
}

std::string expected_manifest(const std::string& source, const std::string& arch, int64_t n_expert,
                              uint64_t total, const std::vector<derived_layer>& layers) {
    std::string m = "{\r\n";
    m += "  \"format\": \"mivra-pack-1\",\r\n";
    m += "  \"source\": \"" + source + "\",\r\n";
    m += "  \"arch\": \"" + arch + "\",\r\n";
    m += "  \"n_expert\": " + std::to_string(n_expert) + ",\r\n";
    m += "  \"blob_align\": 4096,\r\n  \"core\": \"core.gguf\",\r\n  \"experts\": \"experts.bin\",\r\n";
    m += "  \"experts_bytes\": " + std::to_string(total) + ",\r\n  \"layers\": [\r\n";
    for (size_t l = 0; l < layers.size(); ++l) {
        char buf[256];
        std::snprintf(buf, sizeof buf, "    {\"layer\": %zu, \"offset\": %llu, \"stride\": %llu, \"parts\": [", l,
                      (unsigned long long)layers[l].offset, (unsigned long long)layers[l].stride);
        m += buf;
        const char* kinds[3] = {"gate", "up", "down"};
        for (int k = 0; k < 3; ++k) {
            const derived_part& p = layers[l].parts[k];
            std::snprintf(buf, sizeof buf,
                          "%s{\"kind\": \"%s\", \"type\": \"%s\", \"type_id\": %d, \"offset\": %llu, \"bytes\": %llu, "
                          "\"ne\": [%lld, %lld]}",
                          k ? ", " : "", kinds[k], p.type.c_str(), p.type_id, (unsigned long long)p.offset,
                          (unsigned long long)p.bytes, (long long)p.ne0, (long long)p.ne1);
            m += buf;
        }
        m += l + 1 < layers.size() ? "]},\r\n" : "]}\r\n";
    }
    m += "  ]\r\n}\r\n";
    return m;
}

size_t gguf_scalar_size(gguf_type t) {
    switch (t) {
        case GGUF_TYPE_UINT8: case GGUF_TYPE_INT8: case GGUF_TYPE_BOOL: return 1;
        case GGUF_TYPE_UINT16: case GGUF_TYPE_INT16: return 2;
        case GGUF_TYPE_UINT32: case GGUF_TYPE_INT32: case GGUF_TYPE_FLOAT32: return 4;
        default: return 8;
    }
}

void expect_same_keys(const gguf_context* a, const gguf_context* b) {
    ASSERT_EQ(gguf_get_n_kv(a), gguf_get_n_kv(b));
    for (int64_t i = 0; i < gguf_get_n_kv(a); ++i) {
        const std::string key = gguf_get_key(a, i);
        ASSERT_EQ(key, gguf_get_key(b, i));
        const gguf_type t = gguf_get_kv_type(a, i);
        ASSERT_EQ(t, gguf_get_kv_type(b, i)) << key;
        if (t == GGUF_TYPE_STRING) {
            EXPECT_STREQ(gguf_get_val_str(a, i), gguf_get_val_str(b, i)) << key;
        } else if (t == GGUF_TYPE_ARRAY) {
            const gguf_type at = gguf_get_arr_type(a, i);
            ASSERT_EQ(at, gguf_get_arr_type(b, i)) << key;
            const size_t n = gguf_get_arr_n(a, i);
            ASSERT_EQ(n, gguf_get_arr_n(b, i)) << key;
            if (at == GGUF_TYPE_STRING) {
                for (size_t j = 0; j < n; ++j)
                    ASSERT_STREQ(gguf_get_arr_str(a, i, j), gguf_get_arr_str(b, i, j)) << key << "[" << j << "]";
            } else {
                EXPECT_EQ(std::memcmp(gguf_get_arr_data(a, i), gguf_get_arr_data(b, i), n * gguf_scalar_size(at)), 0)
                    << key;
            }
        } else {
            EXPECT_EQ(std::memcmp(gguf_get_val_data(a, i), gguf_get_val_data(b, i), gguf_scalar_size(t)), 0) << key;
        }
    }
}

std::vector<llama_token> tokenize(const std::string& model_path, const std::string& text) {
    llama_model_params mp = llama_model_default_params();
    mp.vocab_only = true;
    llama_model* m = llama_model_load_from_file(model_path.c_str(), mp);
    EXPECT_NE(m, nullptr) << model_path;
    if (!m) return {};
    const llama_vocab* vocab = llama_model_get_vocab(m);
    EXPECT_EQ(llama_vocab_n_tokens(vocab), fixture_tokens::n_vocab);
    std::vector<llama_token> tokens(64);
    const int n = llama_tokenize(vocab, text.c_str(), int32_t(text.size()), tokens.data(), 64, false, true);
    tokens.resize(std::max(n, 0));
    llama_model_free(m);
    return tokens;
}

// Every check of a finished pack against its source.
void expect_pack_matches_source(const std::string& model_path, const std::string& out, int n_layer,
                                const std::string& stderr_text, int verify) {
    const source_gguf src(model_path);
    const int64_t n_expert = src.tensor("blk.0.ffn_gate_exps.weight")->ne[2];
    uint64_t total = 0;
    const std::vector<derived_layer> layers = derive_layout(src, n_layer, n_expert, total);

    // experts.bin: every blob is its three source slices at their offsets and zeros elsewhere.
    const std::string experts = read_bytes(out + "/experts.bin");
    ASSERT_EQ(experts.size(), total);
    for (const derived_layer& l : layers) {
        for (int64_t e = 0; e < n_expert; ++e) {
            std::string blob(l.stride, '\0');
            for (const derived_part& p : l.parts) blob.replace(p.offset, p.bytes, src.data(p.name, e * p.bytes, p.bytes));
            ASSERT_EQ(experts.compare(l.offset + e * l.stride, l.stride, blob), 0)
                << "blob of layer offset " << l.offset << " expert " << e;
        }
    }

    const std::string arch = gguf_get_val_str(src.gguf, gguf_find_key(src.gguf, "general.architecture"));
    EXPECT_EQ(read_bytes(out + "/manifest.json"),
              expected_manifest(fs::path(model_path).filename().string(), arch, n_expert, total, layers));

    // core.gguf: same keys in order, every other tensor in source order with its bytes, zero gaps, aligned end.
    const std::string core_path = out + "/core.gguf";
    const source_gguf core(core_path);
    expect_same_keys(src.gguf, core.gguf);
    int64_t c = 0;
    uint64_t core_sum = 0, end = 0;
    const uint64_t data = gguf_get_data_offset(core.gguf);
    for (int64_t i = 0; i < gguf_get_n_tensors(src.gguf); ++i) {
        const std::string name = gguf_get_tensor_name(src.gguf, i);
        if (is_expert_weight(name)) continue;
        ASSERT_LT(c, gguf_get_n_tensors(core.gguf));
        ASSERT_EQ(name, gguf_get_tensor_name(core.gguf, c));
        const ggml_tensor* a = src.tensor(name);
        const ggml_tensor* b = core.tensor(name);
        EXPECT_EQ(a->type, b->type) << name;
        for (int d = 0; d < 4; ++d) EXPECT_EQ(a->ne[d], b->ne[d]) << name;
        EXPECT_TRUE(src.data(name) == core.data(name)) << name;
        const uint64_t start = data + gguf_get_tensor_offset(core.gguf, c);
        if (end > 0) {
            ASSERT_GE(start, end);
            EXPECT_EQ(core.bytes.substr(end, start - end).find_first_not_of('\0'), std::string::npos)
                << "gap before " << name;
        }
        end = start + gguf_get_tensor_size(core.gguf, c);
        core_sum += gguf_get_tensor_size(core.gguf, c);
        ++c;
    }
    EXPECT_EQ(c, gguf_get_n_tensors(core.gguf));
    EXPECT_EQ(core.bytes.size(), round_up(end, 32));
    EXPECT_EQ(core.bytes.find_first_not_of('\0', end), std::string::npos);

    // libllama reads the same vocabulary from core.gguf as from the source.
    const std::string text = "Hello, mixture of experts! <|im_start|>user";
    EXPECT_EQ(tokenize(core_path, text), tokenize(model_path, text));

    // What the command printed.
    std::string progress;
    for (int l = 1; l <= n_layer; ++l) progress += "\rexperts: layer " + std::to_string(l) + "/" + std::to_string(n_layer);
    const derived_layer& first = layers[0];
    char summary[1024];
    std::snprintf(summary, sizeof summary,
                  "%s\npacked %d layers x %lld experts -> %s\n  core tensors : %lld, %.2f GB\n"
                  "  experts.bin  : %.2f GB, blob %.2f MB (layer 0: %s/%s/%s)\n"
                  "  verified %d random experts byte-for-byte\n",
                  progress.c_str(), n_layer, (long long)n_expert, out.c_str(), (long long)c, core_sum / 1e9,
                  total / 1e9, first.stride / 1048576.0, first.parts[0].type.c_str(), first.parts[1].type.c_str(),
                  first.parts[2].type.c_str(), verify);
    EXPECT_EQ(stderr_text, summary);
}

struct pack_case {
    const char* name;
    fixture_model_options options;
    bool reverse_tensors;  // the source lists its tensors back to front
};

fixture_model_options options_of(const std::string& arch) {
    fixture_model_options o;
    o.arch = arch;
    return o;
}

fixture_model_options mixed_types() {
    fixture_model_options o;
    o.n_layer = 3;
    o.n_embd = 256;
    o.n_ff_exp = 256;
    o.head_dim = 64;
    o.layer_expert_type = {{0, "q8_0"}, {1, "q4_K,q4_K,q8_0"}, {2, "f16,q8_0,q4_K"}};
    o.tie_output = true;
    return o;
}

}  // namespace

TEST(PackConvert, PackMatchesIndependentDerivation) {
    llama_backend_init();
    const pack_case cases[] = {
        {"qwen3moe-f16", options_of("qwen3moe"), false},
        {"gpt-oss-mxfp4", options_of("gpt-oss"), false},
        {"qwen3moe-mixed", mixed_types(), true},
    };
    for (const pack_case& pc : cases) {
        SCOPED_TRACE(pc.name);
        temp_folder tmp;
        std::string model_path = make_model(tmp / (std::string(pc.name) + ".gguf"), pc.options);
        if (pc.reverse_tensors) {
            const std::string reversed = tmp / "reversed.gguf";
            rewrite_gguf(model_path, reversed, [](std::vector<gguf_tensor_record>& t) { std::reverse(t.begin(), t.end()); });
            model_path = reversed;
        }
        const std::string out = tmp / "out/nested";
        const child_result r = run_mivra({"pack", model_path, out, "--verify", "16"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "");
        expect_pack_matches_source(model_path, out, pc.options.n_layer, r.err, 16);

        // The reader accepts what the converter wrote.
        model m = open_pack(out);
        EXPECT_EQ(m.arch, pc.options.arch);
        EXPECT_EQ(m.hparams.n_layer, pc.options.n_layer);
        EXPECT_EQ(m.hparams.n_vocab, fixture_tokens::n_vocab);
        EXPECT_EQ(m.embd_on_disk != nullptr, !pc.options.tie_output);
    }
    llama_backend_free();
}

TEST(PackConvert, VerifyZeroStillReportsTheCount) {
    temp_folder tmp;
    const std::string model = make_model(tmp / "m.gguf", options_of("qwen3moe"));
    const child_result r = run_mivra({"pack", model, tmp / "out", "--verify", "0", "--verify", "x"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(r.err.ends_with("  verified 0 random experts byte-for-byte\n")) << r.err;
}

TEST(PackConvert, RepackClearsWhatBelongedToTheOldWeights) {
    temp_folder tmp;
    const std::string model = make_model(tmp / "m.gguf", options_of("qwen3moe"));
    const std::string out = tmp / "out";
    ASSERT_EQ(run_mivra({"pack", model, out}).exit_code, 0);
    write_bytes(out + "/hot.bin", "old usage");
    write_bytes(out + "/experts.lo.bin", "old low-bit copy");
    fs::create_directories(out + "/kv");
    write_bytes(out + "/kv/1.pkv", "old prompt cache");
    write_bytes(out + "/notes.txt", "the user's own file");

    const child_result r = run_mivra({"pack", model, out});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(fs::exists(out + "/hot.bin"));
    EXPECT_FALSE(fs::exists(out + "/experts.lo.bin"));
    EXPECT_FALSE(fs::exists(out + "/kv"));
    EXPECT_TRUE(fs::exists(out + "/notes.txt"));
    EXPECT_TRUE(fs::exists(out + "/manifest.json"));
    EXPECT_NO_THROW(open_pack(out));
}

TEST(PackConvert, FailedRepackLeavesNoManifest) {
    temp_folder tmp;
    const std::string model = make_model(tmp / "m.gguf", options_of("qwen3moe"));
    const std::string out = tmp / "out";
    ASSERT_EQ(run_mivra({"pack", model, out}).exit_code, 0);
    // Every write to experts.bin now fails as on a full disk.
    fs::remove(out + "/experts.bin");
    fs::create_symlink("/dev/full", out + "/experts.bin");
    const child_result r = run_mivra({"pack", model, out});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.ends_with("mivra-pack: write failed: experts.bin\n")) << r.err;
    EXPECT_FALSE(fs::exists(out + "/manifest.json"));
    try {
        open_pack(out);
        FAIL() << "a half-written folder opened as a pack";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "no manifest.json in " + out);
    }
}

TEST(PackConvert, RefusalsOfSourcesAndOptions) {
    temp_folder tmp;
    const std::string good = make_model(tmp / "good.gguf", options_of("qwen3moe"));
    auto variant = [&](const std::string& name, std::vector<std::string> defects) {
        fixture_model_options o = options_of("qwen3moe");
        o.defects = std::move(defects);
        return make_model(tmp / name, o);
    };
    auto edited = [&](const std::string& name, const std::function<void(std::vector<gguf_tensor_record>&)>& edit) {
        rewrite_gguf(good, tmp / name, edit);
        return tmp / name;
    };
    auto rename = [](const std::string& from, const std::string& to) {
        return [from, to](std::vector<gguf_tensor_record>& ts) {
            for (auto& t : ts)
                if (t.name == from) t.name = to;
        };
    };
    auto drop = [](const std::string& name) {
        return [name](std::vector<gguf_tensor_record>& ts) {
            std::erase_if(ts, [&](const gguf_tensor_record& t) { return t.name == name; });
        };
    };
    const std::string out = tmp / "out";
    fs::create_directories(tmp / "pack");
    write_bytes(tmp / "pack/manifest.json", "{}");

    struct refusal {
        std::string what;
        std::vector<std::string> args;
        std::string message;  // the last line of stderr
    };
    const std::vector<refusal> refusals = {
        {"missing file", {tmp / "none.gguf", out}, "mivra-pack: cannot read GGUF " + (tmp / "none.gguf")},
        {"not a GGUF", {variant("magic.gguf", {"bad_magic"}), out}, "mivra-pack: cannot read GGUF " + (tmp / "magic.gguf")},
        {"dense model",
         {edited("dense.gguf",
                 [](std::vector<gguf_tensor_record>& ts) {
                     std::erase_if(ts, [](const gguf_tensor_record& t) { return t.name.find("_exps.weight") != std::string::npos; });
                 }),
          out},
         "mivra-pack: no blk.N.ffn_{gate,up,down}_exps.weight tensors found"},
        {"layer without down", {edited("nodown.gguf", drop("blk.1.ffn_down_exps.weight")), out},
         "mivra-pack: layer is missing an expert tensor: blk.1"},
        {"dense first layer", {variant("dense0.gguf", {"no_expert_tensors:0"}), out},
         "mivra-pack: layer 0 has no expert tensors"},
        {"dense last layer", {variant("dense1.gguf", {"no_expert_tensors:1"}), out},
         "mivra-pack: layer 1 has no expert tensors"},
        {"experts beyond block_count", {variant("blocks.gguf", {"key_value:.block_count=1"}), out},
         "mivra-pack: expert tensors of layer 1 beyond block_count 1"},
        {"block_count of another type", {variant("blocktype.gguf", {"key_type:.block_count=f32"}), out},
         "mivra-pack: unexpected type for GGUF key qwen3moe.block_count"},
        {"fused gate and up", {edited("fused.gguf", rename("blk.0.ffn_gate_exps.weight", "blk.0.ffn_gate_up_exps.weight")), out},
         "mivra-pack: unsupported expert tensor (fused?): blk.0.ffn_gate_up_exps.weight"},
        {"2-D expert tensor",
         {edited("flat.gguf",
                 [](std::vector<gguf_tensor_record>& ts) {
                     for (auto& t : ts)
                         if (t.name == "blk.0.ffn_up_exps.weight") {
                             t.ne[1] *= t.ne[2];
                             t.ne[2] = 1;
                         }
                 }),
          out},
         "mivra-pack: expert tensor is not 3-D: blk.0.ffn_up_exps.weight"},
        {"expert count differs",
         {edited("count.gguf",
                 [](std::vector<gguf_tensor_record>& ts) {
                     for (auto& t : ts)
                         if (t.name == "blk.1.ffn_gate_exps.weight") t.ne[2] = 4;
                 }),
          out},
         "mivra-pack: expert count differs: blk.1.ffn_gate_exps.weight"},
        {"layer number past int32", {edited("huge.gguf", rename("blk.1.ffn_gate_exps.weight", "blk.99999999999.ffn_gate_exps.weight")), out},
         "error: stoi argument out of range"},
        {"alignment 64", {variant("align.gguf", {"alignment:64"}), out},
         "mivra-pack: unsupported general.alignment 64 (only 32 is supported)"},
        {"truncated source", {variant("short.gguf", {"truncate:100"}), out}, "mivra-pack: short read from source GGUF"},
        {"unknown option", {good, out, "--fast"}, "mivra-pack: unknown option --fast"},
        {"value missing", {good, out, "--verify"}, "mivra-pack: missing value for --verify"},
        {"imatrix value missing", {good, out, "--imatrix"}, "mivra-pack: missing value for --imatrix"},
        {"lowbit type case", {good, out, "--lowbit", "Q2_K"}, "mivra-pack: unknown --lowbit type Q2_K"},
        {"lowbit-only alone", {good, out, "--lowbit-only"}, "mivra-pack: --lowbit-only needs --lowbit"},
        {"lowbit-only without pack", {good, out, "--lowbit", "q4_0", "--lowbit-only"},
         "mivra-pack: --lowbit-only needs an existing pack in " + out},
        {"lowbit block size", {good, out, "--lowbit", "q2_K"}, "mivra-pack: row length not a multiple of the --lowbit block size"},
        {"lowbit-only on a folder that is no pack of this model", {good, tmp / "pack", "--lowbit", "q4_0", "--lowbit-only"},
         "mivra-pack: the pack in " + (tmp / "pack") + " does not match " + good + ": its layer table differs"},
    };
    for (const refusal& r : refusals) {
        std::vector<std::string> args = {"pack"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const child_result c = run_mivra(args);
        EXPECT_EQ(c.exit_code, 1) << r.what << "\n" << c.err;
        EXPECT_TRUE(c.err.ends_with(r.message + "\n")) << r.what << "\n" << c.err;
        if (r.args[1] != tmp / "pack") {
            EXPECT_FALSE(fs::exists(r.args[1] + "/manifest.json")) << r.what;
        }
    }
    // Refusals before any write leave no folder behind.
    EXPECT_FALSE(fs::exists(out + "/experts.bin"));
}

TEST(PackConvert, UsageWithoutOutputFolder) {
    const std::string usage =
        "usage: mivra pack model.gguf out_dir [--verify N] [--lowbit q2_K [--imatrix FILE] [--lowbit-only]]\n"
        "  --imatrix: importance matrix from `mivra imatrix`, weights the low-bit requantization\n"
        "  --lowbit-only: only rewrite experts.lo.bin of an existing pack in out_dir\n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"pack"}, {"pack", "model.gguf"}}) {
        const child_result r = run_mivra(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, usage);
        EXPECT_EQ(r.out, "");
    }
}
