// Cache sizing from --cache-mb or free RAM, the automatic budget rule, and hot.bin of a wrong size at engine start.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/pack/model.h"
#include "engine/runtime/cache_sizing.h"
#include "engine/runtime/engine.h"
#include "engine/runtime/engine_test_pack.h"

namespace {

constexpr uint64_t MiB = 1048576;
constexpr uint64_t GiB = 1024 * MiB;

void write_file(const std::filesystem::path& p, const std::string& text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

}  // namespace

TEST(CacheSizing, PlansTheCacheFromTheOptionsAndFreeRam) {
    struct row {
        const char* what;
        uint64_t cache_mb, free, kv, expert_bytes, n_experts;
        uint64_t budget;
        int64_t slots;
        bool warn;
        uint64_t working = 0;  // the engine's memory beside the cache, taken from a fixed budget
    };
    const row rows[] = {
        {"fixed 1 MiB, 20 MiB experts: the 16-slot minimum, no warning", 1, 0, 0, 20 * MiB, 6144, MiB, 16, false},
        {"fixed budget above the whole model: every expert", 100000, 0, 0, MiB, 64, 100000 * MiB, 64, false},
        {"automatic, 400 MiB free: budget 0, the minimum and the warning", 0, 400 * MiB, 0, 20 * MiB, 6144, 0, 16,
         true},
        {"automatic, 10 GiB free, 100 MiB experts", 0, 10 * GiB, 0, 100 * MiB, 6144, 10 * GiB - 512 * MiB, 97, false},
        {"automatic leaves room for the KV cache", 0, 10 * GiB, 1000 * MiB, 100 * MiB, 6144, 10 * GiB - 1512 * MiB,
         87, false},
        {"automatic, KV cache larger than free RAM", 0, 2 * GiB, 3 * GiB, 100 * MiB, 6144, 0, 16, true},
        {"automatic, free RAM unreadable", 0, 0, 0, MiB, 6144, 0, 16, true},
        {"fixed budget less the working memory", 1000, 0, 0, 10 * MiB, 6144, 800 * MiB, 80, false, 200 * MiB},
        {"fixed budget above every expert and the working memory", 1000, 0, 0, 10 * MiB, 64, 800 * MiB, 64, false,
         200 * MiB},
        {"working memory above the fixed budget: the minimum and the warning", 100, 0, 0, 10 * MiB, 6144, 0, 16, true,
         200 * MiB},
        {"what the working memory leaves is below 16 slots: the warning", 300, 0, 0, 10 * MiB, 6144, 100 * MiB, 16,
         true, 200 * MiB},
    };
    for (const row& r : rows) {
        const cache_plan p = plan_expert_cache(r.cache_mb, r.free, r.kv, r.expert_bytes, r.n_experts, r.working);
        EXPECT_EQ(p.budget, r.budget) << r.what;
        EXPECT_EQ(p.n_slots, r.slots) << r.what;
        EXPECT_EQ(p.warn, r.warn) << r.what;
        EXPECT_EQ(p.reserve, r.cache_mb ? 0 : UINT64_MAX) << r.what;
    }
}

TEST(CacheSizing, BudgetRuleResizesOnlyForSixteenSlotsOfChange) {
    struct row {
        uint64_t resident, free;
        bool resize;
        uint64_t budget;
    };
    // 100 slots of 1 MiB; the rule wants (resident + free - 512 MiB) / 1 MiB slots.
    const row rows[] = {
        {100 * MiB, 527 * MiB, false, 115 * MiB},  // 15 more
        {100 * MiB, 528 * MiB, true, 116 * MiB},   // 16 more
        {100 * MiB, 497 * MiB, false, 85 * MiB},   // 15 fewer
        {100 * MiB, 496 * MiB, true, 84 * MiB},    // 16 fewer
        {100 * MiB, 300 * MiB, true, 0},           // at most 512 MiB in all: budget 0
    };
    for (const row& r : rows) {
        const budget_step s = plan_budget_step(r.resident, r.free, MiB, 100);
        EXPECT_EQ(s.resize, r.resize) << r.free / MiB;
        EXPECT_EQ(s.budget, r.budget) << r.free / MiB;
    }
}

// A prompt step of every parallel slot fits in the working memory the sizing sets aside; a context shorter than the
// prompt step caps it.
TEST(CacheSizing, WorkingMemoryFollowsTheBatchOfPromptSteps) {
    model_hparams hp;
    hp.n_layer = 8;
    hp.n_embd = 768;
    hp.n_head = 12;
    hp.n_head_kv = 4;
    hp.head_dim = 64;
    hp.n_expert = 32;
    hp.n_expert_used = 4;
    hp.n_ff_exp = 768;
    hp.n_vocab = 151936;
    const uint64_t one = engine_working_bytes(hp, 4096, 1, 512, true);
    EXPECT_GT(one, 96 * MiB + 512 * 200 * 1024);
    EXPECT_GT(engine_working_bytes(hp, 4096, 4, 512, true) - 96 * MiB, 3 * (one - 96 * MiB));
    EXPECT_EQ(engine_working_bytes(hp, 256, 1, 512, true), engine_working_bytes(hp, 256, 1, 256, true));
    EXPECT_LT(engine_working_bytes(hp, 4096, 1, 512, false), one);
}

TEST(CacheSizing, KvBytesMatchTheRunnersLayout) {
    model_hparams hp;
    hp.n_layer = 3;
    hp.n_head_kv = 4;
    hp.head_dim = 8;
    // 300 cells round up to 512; K and V, 2 bytes each, per layer and slot.
    EXPECT_EQ(kv_cache_bytes(hp, 300, 2), uint64_t(512) * 4 * 8 * 2 * 2 * 3 * 2);
    EXPECT_EQ(kv_cache_bytes(hp, 256, 0), uint64_t(256) * 4 * 8 * 2 * 2 * 3);  // at least one slot
}

// hot.bin one float short or one byte long is ignored at start (the cache starts cold), and the next finished
// request replaces it with one score per expert of every layer; a file of the right size warms the cache.
TEST(HotBin, WrongSizeIsIgnoredAndReplaced) {
    const test_pack& pack = fixture_pack("qwen3moe", 7);
    const std::filesystem::path hot = std::filesystem::path(pack.dir) / "hot.bin";
    size_t n = 0;
    {
        engine e(test_engine_options(pack));
        n = size_t(e.mdl.hparams.n_layer) * size_t(e.mdl.hparams.n_expert);
    }
    const std::vector<float> big(n + 1, 1000.0f);
    const std::string bytes(reinterpret_cast<const char*>(big.data()), big.size() * sizeof(float));
    for (const size_t size : {(n - 1) * sizeof(float), n * sizeof(float) + 1}) {
        write_file(hot, bytes.substr(0, size));
        engine e(test_engine_options(pack));
        for (const float s : e.cache->usage_snapshot()) ASSERT_LT(s, 1000.0f) << size;
        const generation_stats st = e.generate({1, 2, 3, 4}, 2, sampling_params{}, {}, [](const auto&) { return true; });
        EXPECT_GT(st.generated_tokens, 0);
        EXPECT_EQ(std::filesystem::file_size(hot), n * sizeof(float)) << size;
    }
    write_file(hot, bytes.substr(0, n * sizeof(float)));
    engine e(test_engine_options(pack));
    const std::vector<float> warm = e.cache->usage_snapshot();
    ASSERT_EQ(warm.size(), n);
    EXPECT_EQ(warm.front(), 1000.0f);
}
