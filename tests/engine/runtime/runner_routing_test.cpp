// Context rounding, KV windows, attention masks and the lossy routing edits.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "engine/runtime/kv_masks.h"
#include "engine/runtime/lossy_routing.h"

TEST(RunnerMasks, ContextRoundsUpTo256) {
    EXPECT_EQ(round_context(1000), 1024);
    EXPECT_EQ(round_context(4096), 4096);
    EXPECT_EQ(round_context(1), 256);
    EXPECT_THROW(round_context(INT32_MAX - 10), std::runtime_error);
}

TEST(RunnerMasks, WindowGrowsInStepsOf256WithinTheContext) {
    struct { int p, n, n_ctx, want; } cases[] = {
        {0, 10, 4096, 256}, {250, 10, 4096, 512}, {246, 10, 4096, 256}, {0, 1, 256, 256},
        {1000, 100, 1024, 1024}, {0, 513, 4096, 768},
    };
    for (const auto& c : cases) EXPECT_EQ(kv_window_for(c.p, c.n, c.n_ctx), c.want) << c.p << "+" << c.n;
}

TEST(RunnerMasks, CausalRowsSeeTheirPastAndWindowRowsOnlyTheLastCells) {
    std::vector<uint16_t> causal, windowed;
    const int p = 290, n = 20, W = 512;
    build_masks(p, n, W, 128, causal, windowed);
    ASSERT_EQ(causal.size(), size_t(n * W));
    for (int i = 0; i < n; ++i) {
        for (int c = 0; c < W; ++c) {
            const bool visible = c <= p + i;
            EXPECT_EQ(causal[i * W + c], visible ? f16_zero : f16_neg_inf) << i << "," << c;
            const bool in_window = visible && p + i - c < 128;
            EXPECT_EQ(windowed[i * W + c], in_window ? f16_zero : f16_neg_inf) << i << "," << c;
        }
    }
    // The token at position 300 sees cells 173 .. 300 through the window.
    const int row = 300 - p;
    EXPECT_EQ(windowed[row * W + 172], f16_neg_inf);
    EXPECT_EQ(windowed[row * W + 173], f16_zero);
    EXPECT_EQ(windowed[row * W + 300], f16_zero);
    EXPECT_EQ(windowed[row * W + 301], f16_neg_inf);

    build_masks(p, n, W, 0, causal, windowed);
    EXPECT_EQ(causal, windowed);
}

TEST(RunnerLossy, DropByWeightAndByMass) {
    struct {
        float skip_below, expert_mass;
        std::vector<float> weights, want;
        std::vector<bool> dropped;
    } cases[] = {
        {0.1f, 0.0f, {0.6f, 0.3f, 0.05f, 0.05f}, {0.6f / 0.9f, 0.3f / 0.9f, 0, 0}, {false, false, true, true}},
        {0.0f, 0.9f, {0.5f, 0.45f, 0.03f, 0.02f}, {0.5f / 0.95f, 0.45f / 0.95f, 0, 0}, {false, false, true, true}},
        // the strongest expert stays even below the threshold
        {0.5f, 0.0f, {0.4f, 0.35f, 0.25f}, {1.0f, 0, 0}, {false, true, true}},
        // the running sum counts dropped positions too
        {0.2f, 0.7f, {0.5f, 0.15f, 0.2f, 0.15f}, {0.5f / 0.7f, 0, 0.2f / 0.7f, 0}, {false, true, false, true}},
        {0.0f, 0.0f, {0.7f, 0.3f}, {0.7f, 0.3f}, {false, false}},
    };
    for (const auto& c : cases) {
        const int k = static_cast<int>(c.weights.size());
        std::vector<int32_t> routes(k);
        for (int i = 0; i < k; ++i) routes[i] = 10 + i;
        std::vector<float> w = c.weights;
        int expected_drops = 0;
        for (bool d : c.dropped) expected_drops += d;
        EXPECT_EQ(drop_routes(routes.data(), w.data(), k, c.skip_below, c.expert_mass), expected_drops);
        for (int i = 0; i < k; ++i) {
            EXPECT_NEAR(w[i], c.want[i], 1e-6) << i;
            EXPECT_EQ(routes[i], c.dropped[i] ? -1 : 10 + i) << i;
        }
    }
    std::vector<int32_t> r = {1, 2, 3, 4};
    std::vector<float> w = {0.6f, 0.3f, 0.05f, 0.05f};
    drop_routes(r.data(), w.data(), 4, 0.1f, 0.0f);
    EXPECT_NEAR(w[0], 0.6667f, 5e-5);
    EXPECT_NEAR(w[1], 0.3333f, 5e-5);
}

TEST(RunnerLossy, SwapPrefersTheMostProbableReadyExpertWithinTheMargin) {
    // Expert 0 (p 0.2) is routed but not ready. prefer_cached 0.5 accepts ready experts of p >= 0.1.
    struct {
        std::vector<float> probs;
        std::set<int> ready;
        int want_first;
    } cases[] = {
        {{0.2f, 0.5f, 0.1f, 0.09f, 0.11f}, {1, 2, 3}, 2},       // 0.1 is enough; expert 1 is already routed
        {{0.2f, 0.5f, 0.09f, 0.09f, 0.0f}, {1, 2, 3}, 0},       // 0.09 is not
        {{0.2f, 0.5f, 0.1f, 0.09f, 0.11f}, {1, 2, 3, 4}, 4},    // the most probable wins
        {{0.2f, 0.5f, 0.12f, 0.12f, 0.0f}, {1, 2, 3}, 2},       // first on ties
        {{0.2f, 0.5f, 0.1f, 0.09f, 0.11f}, {0, 1, 2, 3, 4}, 0}, // ready already: nothing to do
    };
    for (const auto& c : cases) {
        std::vector<int32_t> routes = {0, 1};
        std::vector<float> w = {0.4f, 0.6f};
        std::vector<int> asked;
        const int swaps = swap_for_cached(routes.data(), w.data(), 2, c.probs.data(), 5, 0.5f, [&](int32_t e) {
            asked.push_back(e);
            return c.ready.count(e) > 0;
        });
        EXPECT_EQ(routes[0], c.want_first);
        EXPECT_EQ(routes[1], 1);
        EXPECT_EQ(swaps, c.want_first != 0 ? 1 : 0);
        if (swaps) {
            const float sum = c.probs[routes[0]] + c.probs[1];
            EXPECT_FLOAT_EQ(w[0], c.probs[routes[0]] / sum);
            EXPECT_FLOAT_EQ(w[1], c.probs[1] / sum);
        } else {
            EXPECT_FLOAT_EQ(w[0], 0.4f);
        }
        EXPECT_EQ(std::set<int>(asked.begin(), asked.end()).size(), asked.size()) << "readiness asked twice";
    }
}
