// The pack reader on packs made by the converter and on damaged copies of them.
#include "cli/run_child.h"
#include "engine/pack/model.h"
#include "engine/pack/pack_test_util.h"
#include "fixtures/fixture_cache.h"
#include "fixtures/fixture_defects.h"

#include <ggml.h>
#include <gguf.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <memory>

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

// A copy of the pack in `base` whose core.gguf carries metadata defects (fixtures/fixture_defects.h): the same
// file as converting a fixture model with those defects gives, without generating and converting one.
std::string derive_pack(const std::string& base, const std::string& dir, const std::vector<std::string>& defects,
                        const std::string& arch) {
    fixture_model_options o;
    o.arch = arch;
    const fixture_defects d = parse_fixture_defects(defects, o);
    fs::create_directories(dir);
    fs::copy_file(base + "/manifest.json", dir + "/manifest.json");
    fs::create_symlink(base + "/experts.bin", dir + "/experts.bin");
    rewrite_gguf(
        base + "/core.gguf", dir + "/core.gguf",
        [&](std::vector<gguf_tensor_record>& tensors) {
            std::erase_if(tensors, [&](const gguf_tensor_record& t) { return d.missing_tensors.count(t.name) > 0; });
        },
        [&](gguf_context* ctx) { apply_key_defects(ctx, d, arch); });
    return dir;
}

std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

class OpenPack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        shared = new temp_folder;
        qwen = pack_model(*shared, "qwen", {});
        fixture_model_options g;
        g.arch = "gpt-oss";
        gpt = pack_model(*shared, "gpt", g);
    }
    static void TearDownTestSuite() {
        delete shared;
        shared = nullptr;
    }

    // A pack folder that shares core.gguf and experts.bin with the qwen pack and has an edited manifest.
    std::string with_manifest(const std::function<void(json&)>& edit) {
        const std::string dir = tmp / ("case" + std::to_string(++cases));
        fs::create_directories(dir);
        fs::create_symlink(qwen + "/core.gguf", dir + "/core.gguf");
        fs::create_symlink(qwen + "/experts.bin", dir + "/experts.bin");
        json doc = json::parse(read_bytes(qwen + "/manifest.json"));
        edit(doc);
        write_bytes(dir + "/manifest.json", doc.dump(2));
        return dir;
    }

    // A pack converted from a fixture model with defects that the converter lets through.
    std::string packed_with(const std::vector<std::string>& defects, const std::string& arch = "qwen3moe") {
        fixture_model_options o;
        o.arch = arch;
        o.defects = defects;
        return pack_model(tmp, "defect" + std::to_string(++cases), o);
    }

    static inline temp_folder* shared = nullptr;
    static inline std::string qwen, gpt;
    temp_folder tmp;
    int cases = 0;
};

}  // namespace

TEST_F(OpenPack, BuildsTheModelRecord) {
    model m = open_pack(qwen);
    EXPECT_EQ(m.arch, "qwen3moe");
    const model_hparams& hp = m.hparams;
    EXPECT_EQ(hp.n_layer, 2);
    EXPECT_EQ(hp.n_embd, 64);
    EXPECT_EQ(hp.n_head, 4);
    EXPECT_EQ(hp.n_head_kv, 2);
    EXPECT_EQ(hp.head_dim, 16);
    EXPECT_EQ(hp.n_expert, 8);
    EXPECT_EQ(hp.n_expert_used, 2);
    EXPECT_EQ(hp.n_ff_exp, 64);
    EXPECT_EQ(hp.n_ctx_train, 4096);
    EXPECT_EQ(hp.n_vocab, fixture_tokens::n_vocab);
    EXPECT_FLOAT_EQ(hp.rms_eps, 1e-6f);
    EXPECT_FLOAT_EQ(hp.rope_freq_base, 1e6f);
    EXPECT_EQ(hp.rope_freq_scale, 1.0f);
    EXPECT_EQ(hp.yarn_ext_factor, 0.0f);
    EXPECT_EQ(hp.n_ctx_orig, 4096);
    EXPECT_EQ(hp.sliding_window, 0);
    EXPECT_EQ(hp.sliding_window_pattern, 1);
    EXPECT_EQ(m.experts_path, qwen + "/experts.bin");
    EXPECT_EQ(m.core_path, qwen + "/core.gguf");
    EXPECT_EQ(m.lowbit_path, "");
    EXPECT_TRUE(m.lowbit_layers.empty());

    const json doc = json::parse(read_bytes(qwen + "/manifest.json"));
    ASSERT_EQ(m.expert_layers.size(), 2u);
    for (size_t l = 0; l < 2; ++l) {
        const pack_layer& pl = m.expert_layers[l];
        EXPECT_EQ(pl.offset, doc["layers"][l]["offset"].get<uint64_t>());
        EXPECT_EQ(pl.stride, doc["layers"][l]["stride"].get<uint64_t>());
        const pack_part* parts[3] = {&pl.gate, &pl.up, &pl.down};
        for (int k = 0; k < 3; ++k) {
            const json& p = doc["layers"][l]["parts"][k];
            EXPECT_EQ(parts[k]->type_id, p["type_id"].get<int>());
            EXPECT_EQ(parts[k]->ne0, p["ne"][0].get<int64_t>());
            EXPECT_EQ(parts[k]->ne1, p["ne"][1].get<int64_t>());
            EXPECT_EQ(parts[k]->offset, p["offset"].get<uint64_t>());
            EXPECT_EQ(parts[k]->bytes, p["bytes"].get<uint64_t>());
        }
    }
    EXPECT_EQ(m.expert_bytes, m.expert_layers[0].stride);

    // output.weight exists, so the embedding stays on disk and out of core_bytes; all else is 64-byte aligned.
    ASSERT_NE(m.embd_on_disk, nullptr);
    EXPECT_EQ(m.embd_on_disk->data, nullptr);
    uint64_t in_memory = 0;
    for (int64_t i = 0; i < gguf_get_n_tensors(m.gguf); ++i) {
        const ggml_tensor* t = m.model_tensor(gguf_get_tensor_name(m.gguf, i));
        if (t == m.embd_on_disk) continue;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(t->data) % 64, 0u) << t->name;
        in_memory += ggml_nbytes(t);
    }
    EXPECT_EQ(m.core_bytes, in_memory);
    // The room taken is what the in-memory tensors need with their alignment, none of it for the embedding.
    ASSERT_TRUE(m.core_memory.valid());
    EXPECT_LE(m.core_memory.size(), in_memory + 64 * (gguf_get_n_tensors(m.gguf) + 1) + 4096);
    EXPECT_EQ(m.layer_tensor("blk.%d.attn_q.weight", 1), m.model_tensor("blk.1.attn_q.weight"));
    EXPECT_EQ(m.layer_tensor_opt("blk.%d.no_such.weight", 0), nullptr);
    EXPECT_EQ(error_of([&] { m.layer_tensor("blk.%d.no_such.weight", 3); }), "missing tensor blk.3.no_such.weight");
}

TEST_F(OpenPack, EmbeddingRowsFromDiskAndFromMemory) {
    fixture_model_options tied;
    tied.tie_output = true;
    tied.embd_type = "q4_K";
    tied.n_embd = 256;
    tied.n_ff_exp = 256;
    tied.head_dim = 64;
    const std::string tied_pack = pack_model(tmp, "tied", tied);

    for (const std::string& dir : {qwen, tied_pack}) {
        SCOPED_TRACE(dir);
        model m = open_pack(dir);
        EXPECT_EQ(m.embd_on_disk == nullptr, dir == tied_pack);
        // Expected rows: the source tensor's bytes in core.gguf converted with ggml's own conversion.
        ggml_context* ctx = nullptr;
        gguf_init_params p{false, &ctx};
        gguf_context* g = gguf_init_from_file((dir + "/core.gguf").c_str(), p);
        ASSERT_NE(g, nullptr);
        const ggml_tensor* e = ggml_get_tensor(ctx, "token_embd.weight");
        const int64_t n = e->ne[0];
        const size_t row = ggml_row_size(e->type, n);
        const int32_t ids[] = {0, 7, fixture_tokens::im_start, fixture_tokens::n_vocab - 1};
        std::vector<float> got(4 * n), want(n);
        m.embed_tokens(ids, 4, got.data());
        for (int i = 0; i < 4; ++i) {
            ggml_get_type_traits(e->type)->to_float(static_cast<const char*>(e->data) + ids[i] * row, want.data(), n);
            EXPECT_EQ(std::memcmp(got.data() + i * n, want.data(), n * sizeof(float)), 0) << "token " << ids[i];
        }
        gguf_free(g);
        ggml_free(ctx);
        for (int32_t bad : {-1, fixture_tokens::n_vocab}) {
            float out[256];
            EXPECT_EQ(error_of([&] { m.embed_tokens(&bad, 1, out); }), "token id out of range");
        }
    }
}

TEST_F(OpenPack, GptOssHyperParametersAndMove) {
    model m = open_pack(gpt);
    EXPECT_EQ(m.arch, "gpt-oss");
    EXPECT_EQ(m.hparams.sliding_window, 32);
    EXPECT_EQ(m.hparams.sliding_window_pattern, 2);
    EXPECT_FLOAT_EQ(m.hparams.rope_freq_scale, 0.25f);
    EXPECT_EQ(m.hparams.yarn_ext_factor, 1.0f);
    EXPECT_FLOAT_EQ(m.hparams.yarn_attn_factor, 1.0f);
    EXPECT_EQ(m.hparams.n_ctx_orig, 1024);
    // Expert biases stay in core.gguf.
    EXPECT_NE(m.layer_tensor_opt("blk.%d.ffn_down_exps.bias", 1), nullptr);
    EXPECT_EQ(m.layer_tensor_opt("blk.%d.ffn_down_exps.weight", 1), nullptr);

    model moved = std::move(m);
    EXPECT_EQ(m.ctx, nullptr);
    EXPECT_FALSE(m.core_memory.valid());
    m = open_pack(qwen);
    m = std::move(moved);
    EXPECT_EQ(m.arch, "gpt-oss");
    EXPECT_NE(m.model_tensor("output.weight")->data, nullptr);
}

TEST_F(OpenPack, RopeScalingRules) {
    struct row {
        const char* type;
        float factor, multiplier;
        float scale, ext, attn;
    };
    const row rows[] = {
        {"linear", 4, 0, 0.25f, 0.0f, 1.0f},
        {"none", 4, 0, 1.0f, 0.0f, 1.0f},
        {"yarn", 4, 0, 0.25f, 1.0f, 1.0f},
        {"yarn", 4, 1, 0.25f, 1.0f, 1.0f / (0.1f * std::log(4.0f) + 1.0f)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.type) + " multiplier " + std::to_string(r.multiplier));
        fixture_model_options o;
        o.rope_scaling_type = r.type;
        o.rope_scaling_factor = r.factor;
        o.yarn_log_multiplier = r.multiplier;
        model m = open_pack(pack_model(tmp, "rope" + std::to_string(++cases), o));
        EXPECT_FLOAT_EQ(m.hparams.rope_freq_scale, r.scale);
        EXPECT_EQ(m.hparams.yarn_ext_factor, r.ext);
        EXPECT_NEAR(m.hparams.yarn_attn_factor, r.attn, 1e-6);
    }
    EXPECT_NEAR(1.0f / (0.1f * std::log(4.0f) + 1.0f), 0.87825f, 1e-5);
}

TEST_F(OpenPack, AcceptedVariants) {
    EXPECT_NO_THROW(open_pack(with_manifest([](json& d) { d["format"] = "miva-pack-1"; })));
    // Keys the reader does not use may be absent or wrong.
    EXPECT_NO_THROW(open_pack(with_manifest([](json& d) {
        d.erase("n_expert");
        d.erase("arch");
        d["source"] = 5;
        d["blob_align"] = "x";
        d["experts_bytes"] = -1;
        d["layers"][0]["parts"][0]["type"] = "anything";
    })));
    // An int key stored as INT32 instead of UINT32.
    EXPECT_NO_THROW(open_pack(packed_with({"key_type:.block_count=i32"})));
    // A "lowbit" section whose file is missing: a pack without low-bit copies.
    const auto add_lowbit = [&](json& d) {
        d["lowbit"] = {{"experts", "experts.lo.bin"}, {"experts_bytes", 0}, {"layers", d["layers"]}};
        d["lowbit"]["layers"][1]["stride"] = d["layers"][1]["stride"].get<uint64_t>() * 2;
        d["lowbit"]["layers"][1]["offset"] = 0;
    };
    const std::string no_file = with_manifest(add_lowbit);
    model m = open_pack(no_file);
    EXPECT_TRUE(m.lowbit_layers.empty());
    EXPECT_EQ(m.lowbit_path, "");
    // With the file present its table is read, and the slot size covers both tables.
    const std::string with_file = with_manifest(add_lowbit);
    fs::copy_file(qwen + "/experts.bin", with_file + "/experts.lo.bin");
    m = open_pack(with_file);
    ASSERT_EQ(m.lowbit_layers.size(), 2u);
    EXPECT_EQ(m.lowbit_path, with_file + "/experts.lo.bin");
    EXPECT_EQ(m.expert_bytes, m.expert_layers[1].stride * 2);
}

TEST_F(OpenPack, RefusesDamagedManifests) {
    struct refusal {
        const char* what;
        std::function<void(json&)> edit;
        std::string message;
    };
    const auto part = [](json& d, int layer, int k) -> json& { return d["layers"][layer]["parts"][k]; };
    const std::vector<refusal> refusals = {
        {"other format", [](json& d) { d["format"] = "mivra-pack-2"; }, "unknown pack format"},
        {"format not a string", [](json& d) { d["format"] = 1; }, "unknown pack format"},
        {"no format", [](json& d) { d.erase("format"); }, "[json.exception.out_of_range.403] key 'format' not found"},
        {"layers swapped", [](json& d) { std::swap(d["layers"][0], d["layers"][1]); }, "layers out of order"},
        {"layer missing", [](json& d) { d["layers"].erase(1); }, "manifest layer count != block_count"},
        {"layers not an array", [](json& d) { d["layers"] = json::object(); }, "bad manifest: \"layers\" must be an array"},
        {"core outside the folder", [](json& d) { d["core"] = "../qwen/core.gguf"; },
         "bad manifest: \"core\" must be a plain file name"},
        {"experts absolute", [](json& d) { d["experts"] = "/etc/passwd"; },
         "bad manifest: \"experts\" must be a plain file name"},
        {"lowbit in a subfolder", [](json& d) { d["lowbit"] = {{"experts", "kv/x.bin"}}; },
         "bad manifest: \"lowbit.experts\" must be a plain file name"},
        {"removed type", [&](json& d) { part(d, 0, 0)["type_id"] = 4; }, "bad manifest: layer 0 gate part: unknown type 4"},
        {"type past the table", [&](json& d) { part(d, 1, 2)["type_id"] = 99; },
         "bad manifest: layer 1 down part: unknown type 99"},
        {"bytes wrong", [&](json& d) { part(d, 1, 2)["bytes"] = part(d, 1, 2)["bytes"].get<uint64_t>() + 1; },
         "bad manifest: layer 1 down part: bytes do not match its type and shape"},
        {"shape wrong", [&](json& d) { part(d, 0, 1)["ne"] = {32, 64}; },
         "bad manifest: layer 0 up part: shape does not match the model"},
        {"part past the blob", [&](json& d) { part(d, 0, 0)["offset"] = d["layers"][0]["stride"]; },
         "bad manifest: layer 0 gate part: does not fit in the blob"},
        {"stride unaligned", [](json& d) { d["layers"][0]["stride"] = 8193; },
         "bad manifest: layer 0: offset and stride must be multiples of 4096"},
        {"offset unaligned", [](json& d) { d["layers"][1]["offset"] = 100; },
         "bad manifest: layer 1: offset and stride must be multiples of 4096"},
        {"layer past the file", [](json& d) { d["layers"][1]["offset"] = uint64_t(1) << 62; },
         "DIR/experts.bin is shorter than its layer table"},
        {"stride past the file", [](json& d) { d["layers"][0]["stride"] = uint64_t(1) << 60; },
         "DIR/experts.bin is shorter than its layer table"},
        {"part missing", [](json& d) { d["layers"][0]["parts"].erase(2); }, "bad manifest: layer 0 has no down part"},
        {"ne too short", [&](json& d) { part(d, 0, 2)["ne"] = {64}; }, "bad manifest: layer 0: \"ne\" needs two numbers"},
        {"negative offset", [](json& d) { d["layers"][0]["offset"] = -4096; }, "bad manifest: number out of range: offset"},
        {"offset not a number", [](json& d) { d["layers"][0]["offset"] = "0"; },
         "[json.exception.type_error.302] type must be number, but is string"},
    };
    for (const refusal& r : refusals) {
        const std::string dir = with_manifest(r.edit);
        const std::string message = r.message.starts_with("DIR/") ? dir + r.message.substr(3) : r.message;
        EXPECT_EQ(error_of([&] { open_pack(dir); }), message) << r.what;
    }
}

TEST_F(OpenPack, RefusesDamagedFiles) {
    const std::string empty = tmp / "empty";
    fs::create_directories(empty);
    EXPECT_EQ(error_of([&] { open_pack(empty); }), "no manifest.json in " + empty);

    const std::string broken = with_manifest([](json&) {});
    write_bytes(broken + "/manifest.json", "{\"format\": ");
    EXPECT_EQ(error_of([&] { open_pack(broken); }).rfind("[json.exception.parse_error.101]", 0), 0u);

    auto copy_with = [&](const char* file, const std::function<std::string(std::string)>& change) {
        const std::string dir = with_manifest([](json&) {});
        fs::remove(dir + "/" + file);
        write_bytes(dir + "/" + file, change(read_bytes(qwen + "/" + file)));
        return dir;
    };
    const std::string short_core = copy_with("core.gguf", [](std::string b) { return b.substr(0, b.size() - 100); });
    EXPECT_EQ(error_of([&] { open_pack(short_core); }), "short read in " + short_core + "/core.gguf");
    const std::string bad_core = copy_with("core.gguf", [](std::string b) { return "GGUX" + b.substr(4); });
    EXPECT_EQ(error_of([&] { open_pack(bad_core); }), "cannot load " + bad_core + "/core.gguf");
    const std::string short_experts = copy_with("experts.bin", [](std::string b) { return b.substr(0, b.size() - 1); });
    EXPECT_EQ(error_of([&] { open_pack(short_experts); }), short_experts + "/experts.bin is shorter than its layer table");
    const std::string no_experts = with_manifest([](json&) {});
    fs::remove(no_experts + "/experts.bin");
    EXPECT_EQ(error_of([&] { open_pack(no_experts); }), "cannot open " + no_experts + "/experts.bin");

    // A low-bit table must cover every layer, like the main one.
    const std::string lowbit = with_manifest([](json& d) {
        d["lowbit"] = {{"experts", "experts.lo.bin"}, {"layers", json::array({d["layers"][0]})}};
    });
    fs::copy_file(qwen + "/experts.bin", lowbit + "/experts.lo.bin");
    EXPECT_EQ(error_of([&] { open_pack(lowbit); }), "manifest lowbit layer count != block_count");
}

TEST_F(OpenPack, RefusesBadMetadata) {
    struct refusal {
        std::string defect;
        std::string message;  // after "bad hyper-parameters in " + core.gguf's path when it starts with ':'
        std::string arch = "qwen3moe";
    };
    const std::vector<refusal> refusals = {
        {"missing_key:.context_length", "missing GGUF key qwen3moe.context_length"},
        {"key_type:.expert_count=f32", "unexpected type for GGUF key qwen3moe.expert_count"},
        {"key_type:.rope.freq_base=u32", "unexpected type for GGUF key qwen3moe.rope.freq_base"},
        {"key_type:.rope.scaling.type=u32", "unexpected type for GGUF key gpt-oss.rope.scaling.type", "gpt-oss"},
        {"no_architecture", "missing GGUF key general.architecture"},
        {"missing_tensor:token_embd.weight", "missing tensor token_embd.weight"},
        {"key_value:.expert_used_count=9", ": expert_used_count exceeds expert_count"},
        {"key_value:.expert_count=0", ": expert_count must be positive"},
        {"key_value:.attention.head_count_kv=3", ": head_count is not a multiple of head_count_kv"},
        {"key_value:.attention.head_count_kv=0", ": attention.head_count_kv must be positive"},
        {"key_value:.embedding_length=32", ": token_embd.weight rows are not embedding_length long"},
        {"key_value:.attention.sliding_window_pattern=0", ": sliding_window_pattern must be at least 1", "gpt-oss"},
        {"key_value:.expert_feed_forward_length=32", "bad manifest: layer 0 gate part: shape does not match the model"},
        // The router's rows give the expert count away before the expert file's size does.
        {"key_value:.expert_count=16",
         "bad tensor blk.0.ffn_gate_inp.weight in DIR/core.gguf: shape [64, 8] where the model needs [64, 16]"},
    };
    for (const refusal& r : refusals) {
        SCOPED_TRACE(r.defect);
        const std::string dir = derive_pack(r.arch == "gpt-oss" ? gpt : qwen, tmp / ("meta" + std::to_string(++cases)),
                                            {r.defect}, r.arch);
        std::string expected = r.message;
        if (expected[0] == ':') expected = "bad hyper-parameters in " + dir + "/core.gguf" + expected;
        if (const size_t at = expected.find("DIR/"); at != std::string::npos) expected.replace(at, 3, dir);
        EXPECT_EQ(error_of([&] { open_pack(dir); }), expected);
    }
}
