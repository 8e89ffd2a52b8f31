// `mivra imatrix` as a child process: the sums in imatrix.bin against sums taken independently from libllama's own
// expert matrix products on the same chunks; the file's size and header; the empty text; failures that keep the
// previous file; and the low-bit type that only an importance matrix makes possible.
#include "cli/run_child.h"
#include "engine/pack/model.h"
#include "engine/pack/pack_test_util.h"
#include "fixtures/llama_ref.h"

#include <ggml-backend.h>
#include <ggml.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace {

struct imatrix_file {
    int32_t header[4] = {0, 0, 0, 0};
    std::vector<float> values;
};

imatrix_file read_imatrix_file(const std::string& path) {
    const std::string bytes = read_bytes(path);
    imatrix_file f;
    std::memcpy(f.header, bytes.data(), 16);
    f.values.resize((bytes.size() - 16) / 4);
    std::memcpy(f.values.data(), bytes.data() + 16, f.values.size() * 4);
    return f;
}

// Sums of squared expert inputs, collected from libllama's MUL_MAT_ID nodes: the input rows of each layer's up
// product (the gate and up input) and of its down product, added to the rows of the experts that the node's ids
// select for each token.
struct oracle_sums {
    int n_expert = 0, n_in = 0, n_ff = 0;
    std::vector<float> values;

    static bool observe(ggml_tensor* t, bool ask, void* user) {
        if (t->op != GGML_OP_MUL_MAT_ID) return false;
        const std::string weights = t->src[0]->name;
        const bool up = weights.ends_with(".ffn_up_exps.weight"), down = weights.ends_with(".ffn_down_exps.weight");
        if (!up && !down) return false;
        if (ask) return true;
        static_cast<oracle_sums*>(user)->add(t, std::stoi(weights.substr(4)), down);
        return true;
    }

    template <typename T>
    std::vector<T> host_copy(const ggml_tensor* t) {
        std::vector<T> out(ggml_nbytes(t) / sizeof(T));
        ggml_backend_tensor_get(t, out.data(), 0, ggml_nbytes(t));
        return out;
    }

    void add(const ggml_tensor* t, int layer, bool down) {
        const ggml_tensor* x = t->src[1];    // (row length, 1 or n_used, tokens)
        const ggml_tensor* ids = t->src[2];  // (n_used, tokens), often a view with a longer row stride
        ASSERT_EQ(x->type, GGML_TYPE_F32);
        ASSERT_TRUE(ggml_is_contiguous(x));
        const std::vector<float> xs = host_copy<float>(x);
        const std::vector<uint8_t> id_bytes = host_copy<uint8_t>(ids);
        const int64_t len = x->ne[0];
        ASSERT_EQ(len, down ? n_ff : n_in);
        for (int64_t tok = 0; tok < ids->ne[1]; ++tok)
            for (int64_t k = 0; k < ids->ne[0]; ++k) {
                int32_t e;
                std::memcpy(&e, id_bytes.data() + tok * ids->nb[1] + k * ids->nb[0], sizeof e);
                const float* row = xs.data() + (tok * x->ne[1] + k % x->ne[1]) * len;
                float* sum = values.data() + (size_t(layer) * n_expert + e) * (n_in + n_ff) + (down ? n_in : 0);
                for (int64_t c = 0; c < len; ++c) sum[c] += row[c] * row[c];
            }
    }
};

const char* const calibration =
    "Experts in a mixture-of-experts model each see only the tokens that the router sends to them. "
    "An importance matrix counts how strongly every input channel of every expert is driven, so that a "
    "low-bit copy can spend its few bits where they matter most. ";

}  // namespace

TEST(Imatrix, SumsMatchLibllamasExpertInputs) {
    llama_ref_init_backend();
    temp_folder tmp;
    fixture_model_options o;  // qwen3moe: 2 layers, 8 experts, rows of 64
    const std::string model = make_model(tmp / "model.gguf", o);
    const std::string pack = tmp / "pack";
    ASSERT_EQ(run_mivra({"pack", model, pack, "--verify", "0"}).exit_code, 0);
    std::string text;
    while (text.size() < 3500) text += calibration;  // about 700 tokens: a chunk of 512 and a shorter one
    write_bytes(tmp / "text.txt", text);

    const child_result r = run_mivra({"imatrix", pack, tmp / "text.txt", "-t", "1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string path = pack + "/imatrix.bin";
    EXPECT_EQ(fs::file_size(path), 16u + 4u * o.n_layer * o.n_expert * (o.n_embd + o.n_ff_exp));
    const imatrix_file f = read_imatrix_file(path);
    EXPECT_EQ(std::vector<int32_t>(f.header, f.header + 4),
              (std::vector<int32_t>{o.n_layer, o.n_expert, o.n_embd, o.n_ff_exp}));
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    // The same chunks through libllama, each from an empty context.
    oracle_sums oracle;
    oracle.n_expert = o.n_expert;
    oracle.n_in = o.n_embd;
    oracle.n_ff = o.n_ff_exp;
    oracle.values.assign(f.values.size(), 0.0f);
    llama_ref_options ro;
    ro.model_path = model;
    ro.cb_eval = &oracle_sums::observe;
    ro.cb_eval_user_data = &oracle;
    llama_ref ref(ro);
    const std::vector<int32_t> tokens = ref.tokenize(text);
    ASSERT_GT(tokens.size(), 512u);
    ASSERT_LT(tokens.size(), 1024u);
    for (size_t first = 0; first < tokens.size(); first += 512)
        ref.run(std::vector<int32_t>(tokens.begin() + first, tokens.begin() + std::min(first + 512, tokens.size())), 0, 0,
                false);

    size_t zero_rows = 0;
    for (size_t i = 0; i < f.values.size(); ++i)
        ASSERT_NEAR(f.values[i], oracle.values[i], 1e-4 * std::max(1.0f, std::fabs(oracle.values[i]))) << "value " << i;
    for (size_t row = 0; row < size_t(o.n_layer * o.n_expert); ++row)
        zero_rows += oracle.values[row * (o.n_embd + o.n_ff_exp)] == 0.0f;
    EXPECT_LT(zero_rows, size_t(o.n_layer * o.n_expert)) << "no expert was reached";

    const std::string n = std::to_string(tokens.size());
    EXPECT_TRUE(std::regex_search(r.err, std::regex("\rimatrix: 512 / " + n + " tokens, [0-9]+ s\rimatrix: " + n +
                                                    " / " + n + " tokens, [0-9]+ s\nwrote " + path + "\n$")))
        << r.err;
}

TEST(Imatrix, EmptyTextAndFailuresKeepThePreviousFile) {
    temp_folder tmp;
    fixture_model_options o;
    const std::string pack = tmp / "pack";
    ASSERT_EQ(run_mivra({"pack", make_model(tmp / "model.gguf", o), pack, "--verify", "0"}).exit_code, 0);
    const std::string path = pack + "/imatrix.bin";
    write_bytes(tmp / "empty.txt", "");
    write_bytes(path, "an older matrix");

    const child_result r = run_mivra({"imatrix", pack, tmp / "empty.txt", "-t", "1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(r.err.ends_with("\nwrote " + path + "\n")) << r.err;
    EXPECT_EQ(r.err.find("imatrix: "), std::string::npos) << r.err;
    const imatrix_file f = read_imatrix_file(path);
    EXPECT_EQ(f.values.size(), size_t(o.n_layer * o.n_expert * (o.n_embd + o.n_ff_exp)));
    EXPECT_EQ(f.header[2], o.n_embd);
    EXPECT_TRUE(std::all_of(f.values.begin(), f.values.end(), [](float v) { return v == 0.0f; }));

    const std::string before = read_bytes(path);
    const child_result missing = run_mivra({"imatrix", pack, tmp / "none.txt", "-t", "1"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_TRUE(missing.err.ends_with("error: cannot read " + (tmp / "none.txt") + "\n")) << missing.err;
    // A write that fails as on a full disk.
    fs::create_symlink("/dev/full", path + ".tmp");
    const child_result full = run_mivra({"imatrix", pack, tmp / "empty.txt", "-t", "1"});
    EXPECT_EQ(full.exit_code, 1);
    EXPECT_TRUE(full.err.ends_with("error: cannot write " + path + "\n")) << full.err;
    EXPECT_EQ(read_bytes(path), before);
}

TEST(Imatrix, MakesTheTypesThatNeedWeightsPossible) {
    temp_folder tmp;
    fixture_model_options o;
    o.n_embd = 256;
    o.n_ff_exp = 256;
    o.head_dim = 64;
    const std::string model = make_model(tmp / "model.gguf", o);
    const std::string pack = tmp / "pack";
    ASSERT_EQ(run_mivra({"pack", model, pack, "--verify", "0"}).exit_code, 0);
    std::string text;
    while (text.size() < 1000) text += calibration;
    write_bytes(tmp / "text.txt", text);
    ASSERT_EQ(run_mivra({"imatrix", pack, tmp / "text.txt", "-t", "1"}).exit_code, 0);

    const child_result refused = run_mivra({"pack", model, tmp / "lowbit", "--lowbit", "iq2_xxs"});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find("needs an importance matrix"), std::string::npos) << refused.err;
    const child_result r =
        run_mivra({"pack", model, tmp / "lowbit", "--lowbit", "iq2_xxs", "--imatrix", pack + "/imatrix.bin"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const ::model m = open_pack(tmp / "lowbit");
    ASSERT_EQ(m.lowbit_layers.size(), size_t(o.n_layer));
    EXPECT_EQ(m.lowbit_layers[0].down.type_id, GGML_TYPE_IQ2_XXS);
}
