// `mivra pack --lowbit`: experts.lo.bin checked against ggml's quantisation of the dequantised source slices,
// laid out and described in the manifest by rules worked out here from the source GGUF alone; importance weights;
// --lowbit-only rewrites; and the refusals, each leaving the folder as it was.
#include "cli/run_child.h"
#include "engine/pack/model.h"
#include "engine/pack/pack_test_util.h"

#include <ggml.h>
#include <gguf.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

namespace fs = std::filesystem;

namespace {

uint64_t round_up(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// The source model's tensor descriptors and whole file.
struct source_model {
    gguf_context* gguf = nullptr;
    ggml_context* ctx = nullptr;
    std::string bytes;
    explicit source_model(const std::string& path) {
        gguf_init_params p{true, &ctx};
        gguf = gguf_init_from_file(path.c_str(), p);
        if (!gguf) throw std::runtime_error("cannot read " + path);
        bytes = read_bytes(path);
    }
    ~source_model() {
        gguf_free(gguf);
        ggml_free(ctx);
    }
    const ggml_tensor* tensor(const std::string& name) const { return ggml_get_tensor(ctx, name.c_str()); }
    const uint8_t* data(const std::string& name) const {
        return reinterpret_cast<const uint8_t*>(bytes.data()) + gguf_get_data_offset(gguf) +
               gguf_get_tensor_offset(gguf, gguf_find_tensor(gguf, name.c_str()));
    }
};

int find_type(const std::string& name) {
    for (int t = 0; t < GGML_TYPE_COUNT; ++t)
        if (ggml_blck_size(ggml_type(t)) > 0 && name == ggml_type_name(ggml_type(t))) return t;
    throw std::runtime_error("no ggml type " + name);
}

const char* const kinds[3] = {"gate", "up", "down"};

std::string expert_tensor(int layer, int kind) {
    return "blk." + std::to_string(layer) + ".ffn_" + kinds[kind] + "_exps.weight";
}

// Weights for (layer, expert, kind), or null.
using weights_fn = std::function<const float*(int layer, int64_t expert, int kind)>;

// The expected experts.lo.bin and its manifest section, from the pack format's rules and ggml's quantiser called
// once per whole part.
struct expected_lowbit {
    std::string file;
    std::string manifest_section;  // from ",\r\n  \"lowbit\"" to the closing "]}"
    uint64_t first_stride = 0;
};

expected_lowbit derive_lowbit(const source_model& src, int n_layer, ggml_type type, const weights_fn& weights) {
    expected_lowbit out;
    std::string lines;
    for (int l = 0; l < n_layer; ++l) {
        const ggml_tensor* t[3];
        uint64_t offset[3], bytes[3], pos = 0;
        for (int k = 0; k < 3; ++k) {
            t[k] = src.tensor(expert_tensor(l, k));
            bytes[k] = ggml_row_size(type, t[k]->ne[0]) * uint64_t(t[k]->ne[1]);
            offset[k] = round_up(pos, 64);
            pos = offset[k] + bytes[k];
        }
        const uint64_t stride = round_up(pos, 4096);
        if (l == 0) out.first_stride = stride;
        char buf[512];
        std::snprintf(buf, sizeof buf, "    {\"layer\": %d, \"offset\": %zu, \"stride\": %llu, \"parts\": [", l,
                      out.file.size(), (unsigned long long)stride);
        lines += buf;
        const int64_t n_expert = t[0]->ne[2];
        for (int64_t e = 0; e < n_expert; ++e) {
            std::string blob(stride, '\0');
            for (int k = 0; k < 3; ++k) {
                const int64_t ne0 = t[k]->ne[0], ne1 = t[k]->ne[1];
                std::vector<float> floats(size_t(ne0 * ne1));
                const uint8_t* slice = src.data(expert_tensor(l, k)) + e * t[k]->nb[2];
                if (t[k]->type == GGML_TYPE_F32)
                    std::memcpy(floats.data(), slice, floats.size() * 4);
                else
                    ggml_get_type_traits(t[k]->type)->to_float(slice, floats.data(), ne0 * ne1);
                const size_t n = ggml_quantize_chunk(type, floats.data(), blob.data() + offset[k], 0, ne1, ne0,
                                                     weights(l, e, k));
                EXPECT_EQ(n, bytes[k]);
            }
            out.file += blob;
        }
        for (int k = 0; k < 3; ++k) {
            std::snprintf(buf, sizeof buf,
                          "%s{\"kind\": \"%s\", \"type\": \"%s\", \"type_id\": %d, \"offset\": %llu, \"bytes\": %llu, "
                          "\"ne\": [%lld, %lld]}",
                          k ? ", " : "", kinds[k], ggml_type_name(type), int(type), (unsigned long long)offset[k],
                          (unsigned long long)bytes[k], (long long)t[k]->ne[0], (long long)t[k]->ne[1]);
            lines += buf;
        }
        lines += l + 1 < n_layer ? "]},\r\n" : "]}\r\n";
    }
    out.manifest_section = ",\r\n  \"lowbit\": {\"experts\": \"experts.lo.bin\", \"experts_bytes\": " +
                           std::to_string(out.file.size()) + ", \"layers\": [\r\n" + lines + "  ]}";
    return out;
}

// The manifest of a pack without a low-bit copy, with the section put in before the closing brace.
std::string with_section(const std::string& plain_manifest, const std::string& section) {
    const std::string tail = "\r\n}\r\n";
    EXPECT_TRUE(plain_manifest.ends_with("  ]" + tail));
    return plain_manifest.substr(0, plain_manifest.size() - tail.size()) + section + tail;
}

const weights_fn no_weights = [](int, int64_t, int) -> const float* { return nullptr; };

fixture_model_options model_options(const std::string& arch, int n_embd, int n_ff) {
    fixture_model_options o;
    o.arch = arch;
    o.n_embd = n_embd;
    o.n_ff_exp = n_ff;
    o.head_dim = n_embd / 4;
    return o;
}

// A pack made without --lowbit from the same model, for its manifest (checked by the converter's own tests).
std::string plain_manifest(const temp_folder& tmp, const std::string& model) {
    const std::string out = tmp / "plain";
    if (!fs::exists(out + "/manifest.json")) {
        const child_result r = run_mivra({"pack", model, out, "--verify", "0"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }
    return read_bytes(out + "/manifest.json");
}

std::string imatrix_bytes(int32_t n_layer, int32_t n_expert, int32_t n_in, int32_t n_ff,
                          const std::vector<float>& values) {
    const int32_t header[4] = {n_layer, n_expert, n_in, n_ff};
    std::string b(reinterpret_cast<const char*>(header), 16);
    b.append(reinterpret_cast<const char*>(values.data()), values.size() * 4);
    return b;
}

}  // namespace

TEST(LowbitPack, CopiesAreGgmlQuantisationOfTheSourceSlices) {
    struct lowbit_case {
        const char* name;
        fixture_model_options options;
        const char* type;
    };
    fixture_model_options mixed = model_options("qwen3moe", 256, 256);
    mixed.n_layer = 3;
    mixed.layer_expert_type = {{0, "f32,q8_0,q4_K"}, {1, "f16"}, {2, "q4_K,f16,q8_0"}};
    const lowbit_case cases[] = {
        {"f16 to q4_K", model_options("qwen3moe", 256, 256), "q4_K"},
        {"mixed source types to q2_K", mixed, "q2_K"},
        {"mxfp4 to q8_0", model_options("gpt-oss", 64, 64), "q8_0"},
    };
    for (const lowbit_case& c : cases) {
        SCOPED_TRACE(c.name);
        temp_folder tmp;
        const std::string model = make_model(tmp / "model.gguf", c.options);
        const std::string out = tmp / "out";
        const child_result r = run_mivra({"pack", model, out, "--lowbit", c.type, "--verify", "4"});
        ASSERT_EQ(r.exit_code, 0) << r.err;

        const source_model src(model);
        const ggml_type type = static_cast<ggml_type>(find_type(c.type));
        const expected_lowbit want = derive_lowbit(src, c.options.n_layer, type, no_weights);
        const std::string file = read_bytes(out + "/experts.lo.bin");
        ASSERT_EQ(file.size(), want.file.size());
        EXPECT_TRUE(file == want.file) << "experts.lo.bin differs from ggml's quantisation";
        EXPECT_EQ(read_bytes(out + "/manifest.json"), with_section(plain_manifest(tmp, model), want.manifest_section));

        std::string progress;
        for (int l = 1; l <= c.options.n_layer; ++l)
            progress += "\rlow-bit experts: layer " + std::to_string(l) + "/" + std::to_string(c.options.n_layer);
        EXPECT_NE(r.err.find("\n" + progress + "\npacked "), std::string::npos) << r.err;
        char line[256];
        std::snprintf(line, sizeof line, "  verified 4 random experts byte-for-byte\n  experts.lo.bin: %.2f GB, blob %.2f MB (%s)\n",
                      want.file.size() / 1e9, want.first_stride / 1048576.0, c.type);
        EXPECT_TRUE(r.err.ends_with(line)) << r.err;

        // The reader takes the low-bit table.
        {
            const ::model m = open_pack(out);
            ASSERT_EQ(m.lowbit_layers.size(), size_t(c.options.n_layer));
            EXPECT_EQ(m.lowbit_layers[0].stride, want.first_stride);
            EXPECT_EQ(m.lowbit_path, (fs::path(out) / "experts.lo.bin").string());
        }

        // Rebuilding the copy alone with the same type changes no byte of any file.
        const std::string manifest = read_bytes(out + "/manifest.json");
        const std::string experts = read_bytes(out + "/experts.bin");
        const child_result again = run_mivra({"pack", model, out, "--lowbit", c.type, "--lowbit-only"});
        ASSERT_EQ(again.exit_code, 0) << again.err;
        EXPECT_TRUE(again.err.ends_with("\nrewrote " + out + "/experts.lo.bin\n")) << again.err;
        EXPECT_TRUE(read_bytes(out + "/experts.lo.bin") == file);
        EXPECT_EQ(read_bytes(out + "/manifest.json"), manifest);
        EXPECT_TRUE(read_bytes(out + "/experts.bin") == experts);
        EXPECT_FALSE(fs::exists(out + "/experts.lo.bin.tmp"));
    }
}

TEST(LowbitPack, ImportanceMatrixWeightsTheQuantisation) {
    temp_folder tmp;
    const fixture_model_options o = model_options("qwen3moe", 256, 256);
    const std::string model = make_model(tmp / "model.gguf", o);
    const int n_in = o.n_embd, n_ff = o.n_ff_exp, row = n_in + n_ff;

    // Sums for layer 0 only (layer 1 lies beyond the header's n_layer); expert 3 was never reached (all zero),
    // expert 5's down input was never reached, and expert 6's gate/up slice holds a value no sum can have.
    std::vector<float> values(size_t(o.n_expert) * row);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(0.01f, 4.0f);
    for (float& v : values) v = dist(rng);
    std::fill_n(values.begin() + 3 * row, row, 0.0f);
    std::fill_n(values.begin() + 5 * row + n_in, n_ff, 0.0f);
    values[size_t(6) * row + 17] = -1.0f;
    const std::string imatrix = tmp / "imatrix.bin";
    write_bytes(imatrix, imatrix_bytes(1, o.n_expert, n_in, n_ff, values));

    const std::vector<float> ones(256, 1.0f);
    auto weights = [&](bool uniform_when_missing) -> weights_fn {
        return [&, uniform_when_missing](int layer, int64_t e, int kind) -> const float* {
            const bool usable = layer == 0 && e != 3 && !(e == 5 && kind == 2) && !(e == 6 && kind < 2);
            if (usable) return values.data() + e * row + (kind == 2 ? n_in : 0);
            return uniform_when_missing ? ones.data() : nullptr;
        };
    };
    const source_model src(model);
    struct weighted_case {
        const char* type;
        bool uniform_when_missing;  // the type cannot quantise without weights
    };
    for (const weighted_case& c : {weighted_case{"q4_K", false}, weighted_case{"iq2_xxs", true}}) {
        SCOPED_TRACE(c.type);
        const std::string out = tmp / (std::string("out-") + c.type);
        const child_result r = run_mivra({"pack", model, out, "--lowbit", c.type, "--imatrix", imatrix});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const ggml_type type = static_cast<ggml_type>(find_type(c.type));
        const std::string file = read_bytes(out + "/experts.lo.bin");
        EXPECT_TRUE(file == derive_lowbit(src, o.n_layer, type, weights(c.uniform_when_missing)).file);
        if (!c.uniform_when_missing) {  // the weights really took part
            EXPECT_FALSE(file == derive_lowbit(src, o.n_layer, type, no_weights).file);
        }
    }
}

TEST(LowbitPack, LowbitOnlyDescribesTheNewCopyInTheManifest) {
    temp_folder tmp;
    const std::string model = make_model(tmp / "model.gguf", model_options("qwen3moe", 256, 256));
    auto fresh = [&](const std::string& type) {
        const std::string out = tmp / ("fresh-" + type);
        EXPECT_EQ(run_mivra({"pack", model, out, "--lowbit", type, "--verify", "0"}).exit_code, 0);
        return out;
    };
    // A pack made without a low-bit copy, with files of its own that the rewrite must keep.
    const std::string out = tmp / "out";
    ASSERT_EQ(run_mivra({"pack", model, out}).exit_code, 0);
    write_bytes(out + "/hot.bin", "usage");
    for (const std::string type : {"q2_K", "q4_K"}) {
        SCOPED_TRACE(type);
        const child_result r = run_mivra({"pack", model, out, "--lowbit", type, "--lowbit-only"});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::string reference = fresh(type);
        EXPECT_EQ(read_bytes(out + "/manifest.json"), read_bytes(reference + "/manifest.json"));
        EXPECT_TRUE(read_bytes(out + "/experts.lo.bin") == read_bytes(reference + "/experts.lo.bin"));
        const ::model m = open_pack(out);
        EXPECT_EQ(m.lowbit_layers.size(), 2u);
        EXPECT_EQ(m.lowbit_layers[0].gate.type_id, find_type(type));
    }
    EXPECT_EQ(read_bytes(out + "/hot.bin"), "usage");
}

TEST(LowbitPack, RefusalsLeaveTheFolderAsItWas) {
    temp_folder tmp;
    const fixture_model_options o = model_options("qwen3moe", 256, 256);
    const std::string model = make_model(tmp / "model.gguf", o);
    fixture_model_options reseeded = o;
    reseeded.seed = 2;
    const std::string other_weights = make_model(tmp / "other-weights.gguf", reseeded);
    fixture_model_options reshaped = o;
    reshaped.n_expert = 4;
    const std::string other_shape = make_model(tmp / "other-shape.gguf", reshaped);
    const std::string narrow = make_model(tmp / "narrow.gguf", model_options("qwen3moe", 64, 64));

    const std::string pack = tmp / "pack";
    ASSERT_EQ(run_mivra({"pack", model, pack, "--lowbit", "q4_K"}).exit_code, 0);
    const std::string truncated = tmp / "truncated";
    fs::copy(pack, truncated);
    fs::resize_file(truncated + "/experts.bin", fs::file_size(truncated + "/experts.bin") - 4096);

    const size_t floats = size_t(o.n_expert) * (o.n_embd + o.n_ff_exp) * 2;
    const std::vector<float> sums(floats, 1.0f);
    auto imatrix = [&](const std::string& name, const std::string& bytes) {
        write_bytes(tmp / name, bytes);
        return tmp / name;
    };
    const std::string good_imatrix = imatrix("good.bin", imatrix_bytes(2, o.n_expert, 256, 256, sums));

    struct refusal {
        std::string what;
        std::vector<std::string> args;  // after "pack"
        std::string message;             // the last line of stderr
    };
    const std::string out = tmp / "new";
    const std::vector<refusal> refusals = {
        {"type name in the wrong case", {model, out, "--lowbit", "Q4_K"}, "mivra-pack: unknown --lowbit type Q4_K"},
        {"type without a quantiser", {model, out, "--lowbit", "q8_K"},
         "mivra-pack: ggml cannot quantize into --lowbit type q8_K"},
        {"integer type", {model, out, "--lowbit", "i32"}, "mivra-pack: ggml cannot quantize into --lowbit type i32"},
        {"type that needs weights", {model, out, "--lowbit", "iq2_xxs"},
         "mivra-pack: --lowbit iq2_xxs needs an importance matrix: --imatrix FILE (made by mivra imatrix)"},
        {"row length", {narrow, out, "--lowbit", "q4_K"},
         "mivra-pack: row length not a multiple of the --lowbit block size"},
        {"imatrix missing", {model, out, "--lowbit", "q4_K", "--imatrix", tmp / "none.bin"},
         "mivra-pack: imatrix does not fit this model: " + (tmp / "none.bin")},
        {"imatrix header cut", {model, out, "--lowbit", "q4_K", "--imatrix", imatrix("cut.bin", std::string(10, '\1'))},
         "mivra-pack: imatrix does not fit this model: " + (tmp / "cut.bin")},
        {"imatrix of another expert count",
         {model, out, "--lowbit", "q4_K", "--imatrix", imatrix("n_expert.bin", imatrix_bytes(2, 4, 256, 256, sums))},
         "mivra-pack: imatrix does not fit this model: " + (tmp / "n_expert.bin")},
        {"imatrix of another width",
         {model, out, "--lowbit", "q4_K", "--imatrix", imatrix("n_in.bin", imatrix_bytes(2, 8, 128, 384, sums))},
         "mivra-pack: imatrix does not fit this model: " + (tmp / "n_in.bin")},
        {"imatrix of another FFN width",
         {model, out, "--lowbit", "q4_K", "--imatrix", imatrix("n_ff.bin", imatrix_bytes(2, 8, 256, 128, sums))},
         "mivra-pack: imatrix does not fit this model: " + (tmp / "n_ff.bin")},
        {"imatrix one float short",
         {model, out, "--lowbit", "q4_K", "--imatrix",
          imatrix("short.bin", read_bytes(good_imatrix).substr(0, 16 + floats * 4 - 4))},
         "mivra-pack: short imatrix: " + (tmp / "short.bin")},
        {"imatrix promising far more than it holds",
         {model, out, "--lowbit", "q4_K", "--imatrix", imatrix("huge.bin", imatrix_bytes(2000000000, 8, 256, 256, sums))},
         "mivra-pack: short imatrix: " + (tmp / "huge.bin")},
        {"lowbit-only without lowbit", {model, pack, "--lowbit-only"}, "mivra-pack: --lowbit-only needs --lowbit"},
        {"lowbit-only without a pack", {model, out, "--lowbit", "q2_K", "--lowbit-only"},
         "mivra-pack: --lowbit-only needs an existing pack in " + out},
        {"lowbit-only on a pack of other weights", {other_weights, pack, "--lowbit", "q2_K", "--lowbit-only"},
         "mivra-pack: the pack in " + pack + " does not match " + other_weights + ": expert "},
        {"lowbit-only on a pack of another shape", {other_shape, pack, "--lowbit", "q2_K", "--lowbit-only"},
         "mivra-pack: the pack in " + pack + " does not match " + other_shape + ": its layer table differs at layer 1"},
        {"lowbit-only on a cut experts.bin", {model, truncated, "--lowbit", "q2_K", "--lowbit-only"},
         "mivra-pack: the pack in " + truncated + " does not match " + model + ": experts.bin has " +
             std::to_string(fs::file_size(truncated + "/experts.bin")) + " bytes, not " +
             std::to_string(fs::file_size(pack + "/experts.bin"))},
    };
    auto snapshot = [&](const std::string& folder) {
        std::string all;
        for (const char* f : {"manifest.json", "experts.bin", "experts.lo.bin", "core.gguf"})
            all += fs::exists(folder + "/" + f) ? read_bytes(folder + "/" + f) : std::string("-");
        return all;
    };
    const std::string pack_before = snapshot(pack), truncated_before = snapshot(truncated);
    for (const refusal& r : refusals) {
        std::vector<std::string> args = {"pack"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const child_result c = run_mivra(args);
        EXPECT_EQ(c.exit_code, 1) << r.what << "\n" << c.err;
        const size_t line = c.err.rfind('\n', c.err.size() - 2);
        const std::string last = c.err.substr(line == std::string::npos ? 0 : line + 1);
        if (r.what == "lowbit-only on a pack of other weights")
            EXPECT_TRUE(last.starts_with(r.message) && last.ends_with(" differs\n")) << r.what << "\n" << c.err;
        else
            EXPECT_EQ(last, r.message + "\n") << r.what;
    }
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(snapshot(pack) == pack_before);
    EXPECT_TRUE(snapshot(truncated) == truncated_before);
    EXPECT_FALSE(fs::exists(pack + "/experts.lo.bin.tmp"));
}

TEST(LowbitPack, FailedWriteKeepsThePreviousCopy) {
    temp_folder tmp;
    const std::string model = make_model(tmp / "model.gguf", model_options("qwen3moe", 256, 256));
    const std::string out = tmp / "out";
    ASSERT_EQ(run_mivra({"pack", model, out, "--lowbit", "q4_K"}).exit_code, 0);
    const std::string copy = read_bytes(out + "/experts.lo.bin");
    const std::string manifest = read_bytes(out + "/manifest.json");
    // Every write of the new copy fails as on a full disk.
    fs::create_symlink("/dev/full", out + "/experts.lo.bin.tmp");
    const child_result r = run_mivra({"pack", model, out, "--lowbit", "q2_K", "--lowbit-only"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.ends_with("mivra-pack: write failed: experts.lo.bin\n")) << r.err;
    EXPECT_TRUE(read_bytes(out + "/experts.lo.bin") == copy);
    EXPECT_EQ(read_bytes(out + "/manifest.json"), manifest);
    EXPECT_FALSE(fs::exists(fs::symlink_status(out + "/experts.lo.bin.tmp")));
}
