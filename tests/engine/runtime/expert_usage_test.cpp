// Usage scores, the hot set, prefetching and the warm start of the expert cache, and demands that meet slots
// claimed by prefetches.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "engine/runtime/cache_test.h"

namespace {

std::set<int64_t> hot_keys(expert_cache& c, int64_t n_keys) {
    std::set<int64_t> hot;
    for (int64_t k = 0; k < n_keys; ++k)
        if (c.is_hot(k)) hot.insert(k);
    return hot;
}

// The hot set that saved scores give with 16 slots and n_hot = 16 * fraction.
TEST_F(ExpertCache, HotSetFromScores) {
    test_pack::make(p, 4, 8, false);
    const struct {
        const char* name;
        std::vector<float> scores;  // keys 0.. in order, the rest 0
        float fraction;
        std::set<int64_t> hot;
    } cases[] = {
        {"the n_hot highest", {6, 5, 4, 3, 2, 1}, 3.0f / 16, {0, 1, 2}},
        {"ties at the threshold fill the set up to n_hot, in key order", {5, 5, 5, 1}, 2.0f / 16, {0, 1}},
        {"keys above the threshold come before tied ones", {4, 5, 4, 6, 4}, 3.0f / 16, {3, 1, 0}},
        {"n_hot 0 makes nothing hot", {6, 5, 4}, 0.0f, {}},
        {"n_hot above the key count: every used expert", {3, 0, 2, 0, 1}, 4.0f, {0, 2, 4}},
        {"scores below 1e-6 are never hot", {2, 1e-7f}, 4.0f, {0}},
        {"all zero", {}, 0.25f, {}},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        auto c = make_cache(16, 1, t.fraction);
        std::vector<float> scores(32, 0.0f);
        std::copy(t.scores.begin(), t.scores.end(), scores.begin());
        c->warm_start(scores);
        EXPECT_EQ(hot_keys(*c, 32), t.hot);
        EXPECT_EQ(c->usage_snapshot(), scores);
    }
}

// Among keys tied at the threshold a resident expert is hot before an absent one, so that the set protects what is
// in memory; and a hot set never grows past n_hot, which leaves room for prefetches.
TEST_F(ExpertCache, TiedScoresPreferResidentExpertsAndLeaveRoomForPrefetches) {
    test_pack::make(p, 4, 8, false);
    auto c = make_cache(16, 1, 2.0f / 16);
    load(*c, p, {6});
    std::vector<float> scores(32, 0.0f);
    for (int k = 0; k < 8; ++k) scores[k] = 3.0f;
    c->warm_start(scores);
    EXPECT_EQ(hot_keys(*c, 32), (std::set<int64_t>{0, 6}));

    // Every slot holds a used expert with the same score: only n_hot of them are protected, so a prefetch still
    // finds a cold slot.
    auto full = make_cache(16, 1, 0.75f);
    load(*full, p, key_range(0, 16));
    full->warm_start(std::vector<float>(32, 1.0f));
    EXPECT_EQ(hot_keys(*full, 32).size(), 12u);
    prefetch(*full, 20);
    EXPECT_EQ(full->stats().prefetch_issued, 1u);
}

// Only the hot experts used well above the average are expected to stay resident (worth repacking); with a slot for
// every expert, all of them are.
TEST_F(ExpertCache, BusyHotExpertsAreExpectedToStay) {
    test_pack::make(p, 4, 8, false);
    std::set<int64_t> every_key;
    for (int64_t k = 0; k < 32; ++k) every_key.insert(k);
    const struct {
        const char* name;
        std::vector<float> scores;  // keys 0.. in order, the rest 0
        float fraction;
        uint64_t slots;
        std::set<int64_t> stay;
    } cases[] = {
        {"even usage: every key hot by ties, none busy", std::vector<float>(32, 1.0f), 0.5f, 16, {}},
        {"hot and at least twice the mean, not hot by ties", {20, 10, 6, 2, 2, 2, 2, 2}, 4.0f / 16, 16, {0, 1, 2}},
        {"busy but not hot", {20, 10, 9}, 1.0f / 16, 16, {0}},
        {"a slot for every expert", {20}, 0.0f, 32, every_key},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        auto c = make_cache(t.slots, 1, t.fraction, t.slots);
        std::vector<float> scores(32, 0.0f);
        std::copy(t.scores.begin(), t.scores.end(), scores.begin());
        c->warm_start(scores);
        std::set<int64_t> stay;
        for (int64_t k = 0; k < 32; ++k)
            if (c->expected_to_stay(k)) stay.insert(k);
        EXPECT_EQ(stay, t.stay);
    }

    // When most acquires find their expert ready, every expert stays long enough, used or not.
    auto c = make_cache(16, 1);
    std::vector<int32_t> pending{acquire(*c, 3)};
    while (!pending.empty()) c->wait_any_ready(pending);
    c->unpin_all();
    EXPECT_FALSE(c->expected_to_stay(9));
    for (int i = 0; i < 2000; ++i) {
        acquire(*c, 3);
        c->unpin_all();
    }
    EXPECT_TRUE(c->expected_to_stay(9));
}

TEST_F(ExpertCache, UsageHalvesEvery4096Uses) {
    test_pack::make(p, 4, 8, false);
    auto c = make_cache(16, 1);
    for (int i = 0; i < 4095; ++i) {
        acquire(*c, 3);
        c->unpin_all();
    }
    auto usage = c->usage_snapshot();
    EXPECT_EQ(usage[3], 4095.0f);
    acquire(*c, 7);  // the 4096th use counts first, then everything halves
    usage = c->usage_snapshot();
    EXPECT_EQ(usage[3], 2047.5f);
    EXPECT_EQ(usage[7], 0.5f);
    c->unpin_all();
}

TEST_F(ExpertCache, HotSetFollowsUsesEvery256) {
    test_pack::make(p, 4, 8, false);
    for (float fraction : {0.0f, 0.25f}) {
        SCOPED_TRACE(fraction);
        auto c = make_cache(16, 1, fraction);
        for (int i = 0; i < 255; ++i) {
            acquire(*c, 5);
            c->unpin_all();
        }
        EXPECT_FALSE(c->is_hot(5));
        acquire(*c, 5);
        c->unpin_all();
        EXPECT_EQ(c->is_hot(5), fraction > 0) << "after the 256th use";
    }
}

TEST_F(ExpertCache, PrefetchOfPresentExpertDoesNothing) {
    test_pack::make(p, 4, 8, false);
    auto c = make_cache(16, 1);
    load(*c, p, {0});
    gate().close();
    int32_t loading = acquire(*c, 1);
    gate().wait_held(1);
    int32_t queued = acquire(*c, 2);
    prefetch(*c, 3);
    auto keys = slot_keys(*c);
    for (int64_t k : {0, 1, 2, 3}) prefetch(*c, k);  // ready, loading, queued, queued by prefetch
    EXPECT_EQ(slot_keys(*c), keys);
    EXPECT_EQ(c->stats().prefetch_issued, 1u);
    EXPECT_EQ(c->usage_snapshot()[3], 0.0f) << "a prefetch is not a use";
    gate().open();
    wait_for(*c, {loading, queued});
    c->unpin_all();
}

TEST_F(ExpertCache, CancelFreesOnlyUnstartedUnclaimedPrefetches) {
    test_pack::make(p, 4, 8, false);
    auto c = make_cache(16, 1);
    gate().close();
    prefetch(*c, 10);  // its read starts and is held
    gate().wait_held(1);
    prefetch(*c, 11);  // still queued: cancelled
    prefetch(*c, 12);  // queued, then acquired: stays
    int32_t claimed = acquire(*c, 12);
    c->cancel_prefetches();
    auto keys = slot_keys(*c);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), 11), 0);
    EXPECT_EQ(c->resident_bytes(), 2 * c->expert_bytes());
    gate().open();
    wait_for(*c, {claimed});
    EXPECT_TRUE(p.holds(c->slot_memory(claimed), 12, false));
    c->unpin_all();
    // The prefetch that was loading ends as an ordinary ready slot.
    int32_t s = load(*c, p, {10})[0];
    EXPECT_TRUE(p.holds(c->slot_memory(s), 10, false));
    auto log = gate().log();
    EXPECT_EQ(std::count(log.begin(), log.end(), p.full_offset(11)), 0);
    auto st = c->stats();
    EXPECT_EQ(st.prefetch_issued, 3u);
    EXPECT_EQ(st.prefetch_used, 2u);
    EXPECT_EQ(st.misses, 0u);
}

TEST_F(ExpertCache, WarmStart) {
    test_pack::make(p, 4, 8, false);
    std::vector<float> descending(32);
    for (int k = 0; k < 32; ++k) descending[k] = static_cast<float>((k * 7) % 32 + 1);  // all positive, distinct
    std::vector<float> with_nan(32, 0.0f);
    with_nan[4] = NAN;
    with_nan[9] = 2.0f;
    const struct {
        const char* name;
        std::vector<float> saved;
        uint64_t prefetched;
        std::vector<float> usage;  // expected scores afterwards
    } cases[] = {
        {"wrong length", std::vector<float>(31, 1.0f), 0, std::vector<float>(32, 0.0f)},
        {"all zero", std::vector<float>(32, 0.0f), 0, std::vector<float>(32, 0.0f)},
        {"more positive scores than slots", descending, 16, descending},
        {"a NaN counts as unused", with_nan, 1, [] {
             std::vector<float> v(32, 0.0f);
             v[9] = 2.0f;
             return v;
         }()},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        auto c = make_cache(16, 2, 0.25f);
        c->warm_start(t.saved);
        EXPECT_EQ(c->stats().prefetch_issued, t.prefetched);
        EXPECT_EQ(c->usage_snapshot(), t.usage);
        // The prefetched experts are the most used ones, read in full.
        std::vector<int64_t> order = key_range(0, 32);
        std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) { return t.usage[a] > t.usage[b]; });
        std::vector<int64_t> top(order.begin(), order.begin() + t.prefetched);
        auto keys = slot_keys(*c);
        std::vector<int64_t> held(keys.begin(), keys.begin() + t.prefetched);
        EXPECT_EQ(held, top);
        load(*c, p, top);
        EXPECT_EQ(c->stats().prefetch_used, t.prefetched);
    }
}

// With a slot for every expert, each expert lands in the slot of its own key, whatever the order of the reads, and
// the warm start reads the unused experts too (last); the cache then reports every expert in key order, and uses
// counted in place are hits. With fewer slots the warm start stops at the unused ones, and no order is promised.
TEST_F(ExpertCache, EveryExpertInKeyOrderWhenAllFit) {
    test_pack::make(p, 4, 8, false);
    std::vector<float> scores(32, 0.0f);
    for (int k = 0; k < 8; ++k) scores[31 - 3 * k] = static_cast<float>(1 + k);
    auto all = make_cache(32, 2, 0.25f);
    acquire(*all, 20);  // a demand read before the warm start
    all->unpin_all();
    all->warm_start(scores);
    all->wait_warm_start();
    EXPECT_EQ(all->stats().prefetch_issued, 31u) << "every other expert, used or not";
    EXPECT_EQ(slot_keys(*all), key_range(0, 32));
    EXPECT_TRUE(all->every_expert_in_key_order());

    const uint64_t hits = all->stats().hits, reads = all->reads_started();
    all->count_uses_in_place({5, 5, 17});
    EXPECT_EQ(all->stats().hits, hits + 3);
    EXPECT_EQ(all->usage_snapshot()[5], scores[5] + 2.0f);
    EXPECT_EQ(all->reads_started(), reads);
    EXPECT_EQ(all->stats().misses, 1u);

    auto some = make_cache(16, 2, 0.25f);
    some->warm_start(scores);
    some->wait_warm_start();
    EXPECT_EQ(some->stats().prefetch_issued, 8u);
    EXPECT_FALSE(some->every_expert_in_key_order());
}

// The warm start's reads are not speculative: cancelling prefetches leaves them queued, they come after prefetch
// reads, and wait_warm_start returns once all of them have ended.
TEST_F(ExpertCache, WarmStartReadsSurviveCancelledPrefetchesAndCanBeAwaited) {
    test_pack::make(p, 4, 8, false);
    std::vector<float> scores(32, 0.0f);
    for (int k = 0; k < 8; ++k) scores[k * 4] = static_cast<float>(10 + k);
    auto c = make_cache(24, 1, 0.25f);  // fewer slots than experts: only the used ones are warmed
    gate().close();
    c->warm_start(scores);
    gate().wait_held(1);
    prefetch(*c, 1);
    prefetch(*c, 2);
    c->cancel_prefetches();
    prefetch(*c, 3);
    gate().open();
    c->wait_warm_start();
    for (int k = 0; k < 8; ++k) EXPECT_TRUE(c->is_ready(k * 4 / p.n_expert, k * 4 % p.n_expert)) << "key " << k * 4;
    const std::vector<uint64_t> log = gate().log();
    ASSERT_EQ(log.size(), 9u);
    EXPECT_EQ(log[1], p.full_offset(3)) << "the prefetch goes before the remaining warm-start reads";
    for (int64_t key : {1, 2}) EXPECT_EQ(std::count(log.begin(), log.end(), p.full_offset(key)), 0);
}

// The after-read call runs once per read on the I/O thread, before the slot is ready; replacing it waits for a
// call in progress.
TEST_F(ExpertCache, AfterReadRunsBeforeTheSlotIsReadyAndIsReplacedSafely) {
    test_pack::make(p, 4, 8, false);
    auto c = make_cache(32, 2);
    std::mutex mu;
    std::vector<std::pair<int32_t, int64_t>> calls;
    bool ready_seen = false;
    c->set_after_read([&](int32_t slot, int64_t key, bool lowbit) {
        const bool ready = c->is_ready(static_cast<int32_t>(key / p.n_expert), static_cast<int32_t>(key % p.n_expert));
        std::lock_guard<std::mutex> lock(mu);
        ready_seen = ready_seen || ready || lowbit;
        calls.emplace_back(slot, key);
    });
    load(*c, p, key_range(0, 12));
    {
        std::lock_guard<std::mutex> lock(mu);
        EXPECT_FALSE(ready_seen);
        ASSERT_EQ(calls.size(), 12u);
        const std::vector<int64_t> keys = slot_keys(*c);
        for (const auto& [slot, key] : calls) EXPECT_EQ(keys[size_t(slot)], key);
    }
    c->unpin_all();

    // A call held in progress: set_after_read must not return before it ends.
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> in_call{false};
    c->set_after_read([&](int32_t, int64_t, bool) {
        in_call = true;
        entered.set_value();
        released.wait();
        in_call = false;
    });
    acquire(*c, 20);
    entered.get_future().wait();
    std::atomic<bool> returned_during_call{false};
    std::jthread clearer([&] {
        c->set_after_read(nullptr);
        returned_during_call = in_call.load();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // room for a wrong early return
    release.set_value();
    clearer.join();
    EXPECT_FALSE(returned_during_call);
    load(*c, p, {20});
}

// A warm start fills every slot with prefetches that have not been read yet; the first chunk of demands must take
// those slots over (and wait for the one being read) instead of failing.
TEST_F(ExpertCache, DemandsAfterWarmStartTakeOverQueuedPrefetches) {
    test_pack::make(p, 4, 16, false);
    std::vector<float> scores(64, 0.0f);
    for (int k = 32; k < 48; ++k) scores[k] = static_cast<float>(100 - k);
    auto c = make_cache(16, 1, 0.25f);
    gate().close();
    c->warm_start(scores);
    gate().wait_held(1);
    ASSERT_EQ(c->stats().prefetch_issued, 16u);
    // Open the gate once fifteen demands have taken over the fifteen queued prefetches.
    std::jthread opener([&] {
        for (auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
             std::chrono::steady_clock::now() < give_up;) {
            auto keys = slot_keys(*c);
            if (std::count_if(keys.begin(), keys.end(), [](int64_t k) { return k >= 0 && k < 16; }) == 15) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        gate().open();
    });
    load(*c, p, key_range(0, 16));  // the 16th demand waits for the held read
    opener.join();
    load(*c, p, key_range(16, 16));
    EXPECT_EQ(c->stats().misses, 32u);
    auto log = gate().log();
    EXPECT_EQ(std::count(log.begin(), log.end(), p.full_offset(47)), 0) << "a taken-over prefetch was read";
}

// The same without holding reads: the warm start's reads race the demands.
TEST_F(ExpertCache, WarmStartThenTwiceTheSlotsInDemands) {
    test_pack::make(p, 4, 16, true);
    std::vector<float> scores(64);
    for (int k = 0; k < 64; ++k) scores[k] = static_cast<float>(k + 1);
    for (int round = 0; round < 20; ++round) {
        auto c = make_cache(16, 4, -1.0f);
        c->set_lowbit(true);
        c->warm_start(scores);
        load(*c, p, key_range(0, 16), true);
        load(*c, p, key_range(16, 16), round % 2 == 0);
    }
}

TEST_F(ExpertCache, DemandWaitsForUnpinnedReadInFlight) {
    test_pack::make(p, 4, 8, false);
    auto c = make_cache(16, 1);
    gate().close();
    std::vector<int32_t> first;
    for (int64_t k = 0; k < 16; ++k) first.push_back(acquire(*c, k));
    gate().wait_held(1);
    c->unpin_all();  // e.g. a chunk abandoned by an error: every slot queued or loading, none pinned
    std::jthread opener = open_gate_later();
    int32_t s = acquire(*c, 20);
    opener.join();
    wait_for(*c, {s});
    EXPECT_TRUE(p.holds(c->slot_memory(s), 20, false));
    c->unpin_all();
}

}  // namespace
