// The requantisation pipeline called directly: cutting the work into small windows of experts and bands of rows,
// on any number of threads, gives the same experts.lo.bin as the command's defaults.
#include "cli/run_child.h"
#include "engine/pack/pack_source.h"
#include "engine/pack/pack_test_util.h"
#include "engine/pack/requantize.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(LowbitRequantize, WindowsBandsAndThreadsGiveTheSameBytes) {
    temp_folder tmp;
    fixture_model_options o;
    o.n_layer = 2;
    o.n_embd = 256;
    o.n_ff_exp = 256;
    o.head_dim = 64;
    o.layer_expert_type = {{1, "q4_K,q8_0,f16"}};
    const std::string model = make_model(tmp / "model.gguf", o);
    const std::string pack = tmp / "pack";
    ASSERT_EQ(run_mivra({"pack", model, pack, "--lowbit", "q3_K", "--verify", "0"}).exit_code, 0);
    const std::string reference = read_bytes(pack + "/experts.lo.bin");

    pack_source src;
    scan_pack_source(model, src);
    layout_expert_blobs(src.n_expert, src.plans);
    pack_plans low = make_lowbit_plans(src.plans, GGML_TYPE_Q3_K);
    layout_expert_blobs(src.n_expert, low);
    const importance_matrix none;

    struct cut {
        uint64_t window_bytes;  // 1: one expert per window
        int64_t band_floats;    // 1000: three rows of 256 per unit, the last band of a part one row
        int threads;
    };
    for (const cut& c : {cut{1, 1000, 5}, cut{3 * 300000, 1, 3}, cut{1, 1 << 20, 1}, cut{1ull << 30, 700, 16}}) {
        SCOPED_TRACE(std::to_string(c.window_bytes) + "/" + std::to_string(c.band_floats) + "/" +
                     std::to_string(c.threads));
        lowbit_write w;
        w.experts_path = pack + "/experts.bin";
        w.out_path = tmp / "experts.lo.bin";
        w.full = &src.plans;
        w.low = &low;
        w.n_expert = src.n_expert;
        w.type = GGML_TYPE_Q3_K;
        w.imatrix = &none;
        w.threads = c.threads;
        w.window_bytes = c.window_bytes;
        w.band_floats = c.band_floats;
        write_lowbit_experts(w);
        EXPECT_TRUE(read_bytes(w.out_path) == reference);
    }
}

TEST(LowbitRequantize, TypesGgmlCanQuantiseInto) {
    // Every type that the converter accepts really has a quantiser, and the ones without are refused.
    for (int t = 0; t < GGML_TYPE_COUNT; ++t) {
        const auto type = static_cast<ggml_type>(t);
        if (ggml_blck_size(type) == 0) continue;
        SCOPED_TRACE(ggml_type_name(type));
        const bool expected = !(t == GGML_TYPE_Q8_1 || t == GGML_TYPE_Q8_K || t == GGML_TYPE_I8 ||
                                t == GGML_TYPE_I16 || t == GGML_TYPE_I32 || t == GGML_TYPE_I64 || t == GGML_TYPE_F64);
        EXPECT_EQ(lowbit_type_quantizable(t), expected);
        if (!expected) continue;
        // One 256-value row (a multiple of every block size) quantises to exactly one row of the type.
        std::vector<float> row(256), weights(256, 1.0f);
        for (int i = 0; i < 256; ++i) row[i] = std::sin(0.37f * i);
        std::vector<uint8_t> out(ggml_row_size(type, 256));
        EXPECT_EQ(ggml_quantize_chunk(type, row.data(), out.data(), 0, 1, 256, weights.data()), out.size());
    }
}
