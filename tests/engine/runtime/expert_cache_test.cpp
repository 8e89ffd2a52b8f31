// The expert cache's slots, eviction, reads, re-reads and resizing, on a small pack whose every blob is tagged.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <limits>
#include <set>
#include <thread>

#include "engine/runtime/cache_test.h"

namespace {

// Which slot a new expert gets once 16 slots hold keys 0..15 (slot i holds key i, least recently used first).
struct eviction_case {
    const char* name;
    int fill;                     // keys 0 .. fill-1 loaded into slots 0 .. fill-1
    std::vector<int64_t> hot;     // keys made hot (n_hot = 4)
    std::vector<int64_t> touch;   // keys used again after filling, in this order
    std::vector<int64_t> pin;     // keys acquired (and left pinned) just before the new one
    bool prefetch;                // the new key comes by prefetch instead of a demand
    int64_t evicted;              // key that must leave the cache; -1 for none
    int32_t slot;                 // slot that must get the new key; -1 for none
};

TEST_F(ExpertCache, EvictionOrder) {
    test_pack::make(p, 4, 8, false);
    const eviction_case cases[] = {
        {"lowest empty slot before any ready slot", 14, {}, {}, {}, false, -1, 14},
        {"least recently used ready slot", 16, {}, {0, 1}, {}, false, 2, 2},
        {"hot experts are spared", 16, {0, 1, 2, 3}, {}, {}, false, 4, 4},
        {"demand evicts the oldest hot expert when nothing else is free", 16, {1, 2, 3, 0}, {},
         key_range(4, 12), false, 0, 0},
        {"prefetch never evicts a hot expert", 16, {0, 1, 2, 3}, {}, key_range(4, 12), true, -1, -1},
        {"prefetch takes the least recently used cold slot", 16, {0, 1, 2, 3}, {4}, {}, true, 5, 5},
    };
    for (const eviction_case& t : cases) {
        SCOPED_TRACE(t.name);
        auto c = make_cache(16, 1, 0.25f);
        ASSERT_EQ(c->n_slots(), 16);
        if (!t.hot.empty()) {
            std::vector<float> scores(32, 0.0f);
            for (int64_t k : t.hot) scores[k] = 10.0f;
            c->warm_start(scores);
        }
        load(*c, p, key_range(0, t.fill));
        ASSERT_EQ(slot_keys(*c)[0], 0);
        for (int64_t k : t.touch) load(*c, p, {k});
        for (int64_t k : t.pin) acquire(*c, k);
        int64_t fresh = 20;
        auto before = c->stats();
        int32_t slot = -1;
        if (t.prefetch) {
            prefetch(*c, fresh);
            auto keys = slot_keys(*c);
            auto it = std::find(keys.begin(), keys.end(), fresh);
            if (it != keys.end()) slot = static_cast<int32_t>(it - keys.begin());
            EXPECT_EQ(c->stats().prefetch_issued - before.prefetch_issued, slot < 0 ? 0u : 1u);
        } else {
            slot = acquire(*c, fresh);
            wait_for(*c, {slot});
            EXPECT_TRUE(p.holds(c->slot_memory(slot), fresh, false));
        }
        EXPECT_EQ(slot, t.slot);
        for (int64_t k = 0; k < t.fill; ++k) EXPECT_EQ(ready(*c, k), k != t.evicted) << "key " << k;
        c->unpin_all();
    }
}

TEST_F(ExpertCache, AcquireCountsAndReadOrder) {
    test_pack::make(p, 4, 8, false);
    auto c = make_cache(16, 1);
    gate().close();
    int32_t a = acquire(*c, 0);  // its read is held in the I/O thread
    gate().wait_held(1);
    int32_t b = acquire(*c, 1);
    int32_t cc = acquire(*c, 2);
    prefetch(*c, 3);
    prefetch(*c, 4);
    int32_t d = acquire(*c, 3);  // a queued prefetch becomes the most urgent demand
    EXPECT_EQ(acquire(*c, 1), b);  // twice in one chunk: same slot, counted in flight, urgent again
    auto s = c->stats();
    EXPECT_EQ(s.misses, 3u);
    EXPECT_EQ(s.inflight, 2u);
    EXPECT_EQ(s.hits, 0u);
    EXPECT_EQ(s.prefetch_issued, 2u);
    EXPECT_EQ(s.prefetch_used, 1u);
    EXPECT_EQ(c->resident_bytes(), 5 * c->expert_bytes());  // queued and loading slots count
    gate().open();
    wait_for(*c, {a, b, cc, d});
    std::vector<uint64_t> expected;
    for (int64_t k : {0, 1, 3, 2}) expected.push_back(p.full_offset(k));
    auto log = gate().log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(std::vector<uint64_t>(log.begin(), log.begin() + 4), expected) << "demand order";
    const int32_t slot_of[] = {a, b, cc, d};
    for (int64_t k = 0; k < 4; ++k) EXPECT_TRUE(p.holds(c->slot_memory(slot_of[k]), k, false)) << k;
    EXPECT_EQ(acquire(*c, 0), a);
    EXPECT_EQ(c->stats().hits, 1u);
    c->unpin_all();
}

TEST_F(ExpertCache, LowbitCopiesAndRereads) {
    test_pack::make(p, 4, 8, true);
    const int64_t k = 9;  // layer 1: full blobs are 8192 bytes, low-bit ones 4096
    const uint64_t full = test_pack::full_stride(1), lo = test_pack::lowbit_stride;

    {
        SCOPED_TRACE("a ready low-bit copy of an expert that turned hot is read again in full, once");
        auto c = make_cache(16, 2, 0.25f);
        c->set_lowbit(true);
        int32_t s = load(*c, p, {k}, true)[0];
        EXPECT_TRUE(c->holds_lowbit(s));
        std::vector<float> scores(32, 0.0f);
        scores[k] = 5.0f;
        c->warm_start(scores);
        ASSERT_TRUE(c->is_hot(k));
        EXPECT_EQ(load(*c, p, {k}, true)[0], s);
        EXPECT_FALSE(c->holds_lowbit(s));
        load(*c, p, {k}, true);
        auto st = c->stats();
        EXPECT_EQ(st.rereads, 1u);
        EXPECT_EQ(st.lowbit_reads, 1u);
        EXPECT_EQ(st.bytes_read, lo + full);
        // An expert that is not hot still gets the low-bit copy.
        EXPECT_TRUE(c->holds_lowbit(load(*c, p, {k + 1}, true)[0]));
    }
    {
        SCOPED_TRACE("a low-bit read in progress is followed by a full read when a caller forbids low-bit");
        auto c = make_cache(16, 1);
        c->set_lowbit(true);
        gate().close();
        int32_t s = acquire(*c, k, true);
        gate().wait_held(1);
        EXPECT_EQ(acquire(*c, k, false), s);
        gate().open();
        std::vector<int32_t> pending{s};
        EXPECT_EQ(c->wait_any_ready(pending), std::vector<int32_t>{s});
        EXPECT_TRUE(p.holds(c->slot_memory(s), k, false));
        EXPECT_FALSE(c->holds_lowbit(s));
        auto st = c->stats();
        EXPECT_EQ(st.lowbit_reads, 1u);
        EXPECT_EQ(st.rereads, 1u);
        EXPECT_EQ(st.inflight, 1u);
        EXPECT_EQ(st.bytes_read, lo + full);
        c->unpin_all();
    }
    {
        SCOPED_TRACE("a queued low-bit read turns into a full read before it starts");
        auto c = make_cache(16, 1);
        c->set_lowbit(true);
        gate().close();
        int32_t first = acquire(*c, 0);
        gate().wait_held(1);
        int32_t s = acquire(*c, k, true);
        EXPECT_TRUE(c->holds_lowbit(s));
        EXPECT_EQ(acquire(*c, k, false), s);
        EXPECT_FALSE(c->holds_lowbit(s));
        gate().open();
        wait_for(*c, {first, s});
        EXPECT_TRUE(p.holds(c->slot_memory(s), k, false));
        auto st = c->stats();
        EXPECT_EQ(st.lowbit_reads, 0u);
        EXPECT_EQ(st.rereads, 0u);
        c->unpin_all();
    }
    {
        SCOPED_TRACE("low-bit mode off: allow_lowbit alone gives full copies");
        auto c = make_cache(16, 1);
        int32_t s = load(*c, p, {k}, true)[0];
        EXPECT_FALSE(c->holds_lowbit(s));
    }
}

TEST_F(ExpertCache, ConstructionAndModeErrors) {
    test_pack::make(p, 2, 4, false);
    try {
        auto c = make_cache(16);
        c->set_lowbit(true);
        FAIL() << "set_lowbit without a low-bit copy";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "--lowbit needs experts.lo.bin in the pack (mivra pack --lowbit, or mivra pull --lowbit)");
    }
    p.m->lowbit_layers = p.m->expert_layers;
    p.m->lowbit_path = p.dir + "/experts.lo.bin";
    try {
        make_cache(16);
        FAIL() << "missing low-bit file";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot open " + p.dir + "/experts.lo.bin");
    }
    p.m->experts_path = p.dir + "/missing.bin";
    try {
        make_cache(16);
        FAIL() << "missing expert file";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot open " + p.dir + "/missing.bin");
    }
}

// Slot counts chosen at construction and by resize.
struct sizing_case {
    int n_layer, n_expert;
    uint64_t budget_slots, reserve_slots;
    int32_t reserved, slots;
    uint64_t resize_slots;
    int32_t resized;
};

TEST_F(ExpertCache, SlotCounts) {
    const sizing_case cases[] = {
        {4, 8, 20, all_experts, 32, 20, 4, 16},     // below the minimum of 16 slots
        {4, 8, 20, all_experts, 32, 20, 1000, 32},  // above the reservation
        {4, 8, 20, all_experts, 32, 20, 20, 20},    // the same count
        {4, 8, 4, 0, 16, 16, 1000, 16},             // a fixed cache never grows past what it reserved
        {2, 4, 0, all_experts, 8, 8, 0, 8},         // a model with fewer experts than the minimum
        {4, 8, 24, 20, 24, 24, 18, 18},             // the larger of budget and reserve is reserved
    };
    for (const sizing_case& t : cases) {
        SCOPED_TRACE(testing::Message() << t.n_layer << "x" << t.n_expert << " budget " << t.budget_slots
                                        << " resize " << t.resize_slots);
        test_pack::pack q;
        test_pack::make(q, t.n_layer, t.n_expert, false);
        uint64_t eb = q.m->expert_bytes;
        expert_cache c(*q.m, t.budget_slots * eb, 1, 0.5f,
                       t.reserve_slots == all_experts ? all_experts : t.reserve_slots * eb);
        EXPECT_EQ(c.n_reserved(), t.reserved);
        EXPECT_EQ(c.n_slots(), t.slots);
        EXPECT_EQ(c.resize(t.resize_slots * eb + eb - 1), t.resized);
        EXPECT_EQ(c.n_slots(), t.resized);
        EXPECT_EQ(c.n_hot(), t.resized / 2);
    }
}

TEST_F(ExpertCache, AutomaticHotFraction) {
    test_pack::make(p, 8, 16, false);
    p.m->hparams.n_expert_used = 4;  // 32 experts per token over all layers
    auto c = make_cache(16, 1, -1.0f, all_experts);
    const struct {
        uint64_t slots;
        float fraction;
        int32_t n_hot;
    } cases[] = {{16, 0.9f, 14}, {31, 0.9f, 27}, {32, 0.5f, 16}, {63, 0.5f, 31}, {64, 0.75f, 48}, {100, 0.75f, 75}};
    for (const auto& t : cases) {
        SCOPED_TRACE(t.slots);
        EXPECT_EQ(c->resize(t.slots * c->expert_bytes()), static_cast<int32_t>(t.slots));
        EXPECT_FLOAT_EQ(c->hot_fraction(), t.fraction);
        EXPECT_EQ(c->n_hot(), t.n_hot);
    }
}

TEST_F(ExpertCache, ShrinkAndGrowKeepSlotsInPlace) {
    test_pack::make(p, 4, 8, false);
    auto c = make_cache(32, 2, 0.0f, all_experts);
    auto slots = load(*c, p, key_range(0, 16));
    load(*c, p, key_range(16, 16));
    uint8_t* arena = c->arena();
    ASSERT_EQ(c->resize(20 * c->expert_bytes()), 20);
    EXPECT_EQ(c->resident_bytes(), 20 * c->expert_bytes());
    for (int64_t k = 0; k < 32; ++k) EXPECT_EQ(ready(*c, k), k < 20) << k;
    for (int64_t k = 0; k < 16; ++k) EXPECT_TRUE(p.holds(c->slot_memory(slots[k]), k, false));
    ASSERT_EQ(c->resize(32 * c->expert_bytes()), 32);
    EXPECT_EQ(c->arena(), arena);
    load(*c, p, key_range(20, 12));  // the recommitted slots take reads again
    for (int64_t k = 0; k < 32; ++k) EXPECT_TRUE(ready(*c, k)) << k;
}

TEST_F(ExpertCache, ShrinkWaitsForReadsAndCancelsPrefetches) {
    test_pack::make(p, 4, 8, false);
    auto c = make_cache(32, 1, 0.0f, all_experts);
    load(*c, p, key_range(0, 20));
    gate().close();
    int32_t s = acquire(*c, 20);  // slot 20, its read held
    ASSERT_EQ(s, 20);
    gate().wait_held(1);
    c->unpin_all();
    prefetch(*c, 21);
    prefetch(*c, 22);
    std::jthread opener = open_gate_later();
    // Decommitting slot 20 under the running read would fault it; resize has to wait for it.
    EXPECT_EQ(c->resize(16 * c->expert_bytes()), 16);
    opener.join();
    for (int64_t k = 16; k < 23; ++k) EXPECT_FALSE(ready(*c, k)) << k;
    auto log = gate().log();
    EXPECT_EQ(std::count(log.begin(), log.end(), p.full_offset(21)), 0) << "cancelled prefetch was read";
    EXPECT_EQ(c->resident_bytes(), 16 * c->expert_bytes());
    EXPECT_EQ(c->stats().prefetch_issued, 2u);
}

TEST_F(ExpertCache, ShrinkStopsAtPinnedSlot) {
    test_pack::make(p, 4, 8, false);
    auto c = make_cache(32, 1, 0.0f, all_experts);
    load(*c, p, key_range(0, 32));
    EXPECT_EQ(acquire(*c, 31), 31);
    try {
        c->resize(16 * c->expert_bytes());
        FAIL() << "resize over a pinned slot";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "expert cache: resize while experts are pinned");
    }
    EXPECT_EQ(c->n_slots(), 32);
    EXPECT_FALSE(ready(*c, 16));  // slots walked before the pinned one are emptied
    EXPECT_TRUE(ready(*c, 31));
    c->unpin_all();
    EXPECT_EQ(c->resize(16 * c->expert_bytes()), 16);
    load(*c, p, key_range(16, 16));
}

TEST_F(ExpertCache, EverySlotPinnedThrows) {
    test_pack::make(p, 4, 8, false);
    auto c = make_cache(16, 2);
    load(*c, p, key_range(0, 16));
    for (int64_t k = 0; k < 16; ++k) acquire(*c, k);
    try {
        acquire(*c, 20);
        FAIL() << "a demand with every slot pinned";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "expert cache: every slot is pinned or loading");
    }
    c->unpin_all();
    load(*c, p, {20});
}

// The read-failure path ends the process: a blob cut short at the end of experts.bin, and a disk error.
TEST_F(ExpertCache, FailedReadEndsProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* name;
        uint64_t cut;
        long fault;
    } cases[] = {{"truncated file", 100, 0}, {"disk error", 0, -EIO}};
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        test_pack::pack q;
        test_pack::make(q, 4, 8, false, t.cut);
        const int64_t last = 31;
        const std::string text = "mivra: expert read failed at offset " + std::to_string(q.full_offset(last)) + "\n";
        EXPECT_EXIT(
            {
                if (t.fault != 0)
                    gate().set_fault([&](uint64_t offset, uint64_t length) {
                        return offset == q.full_offset(last) ? t.fault : static_cast<long>(length);
                    });
                expert_cache c(*q.m, 16 * q.m->expert_bytes, 2, 0.0f, 0);
                load(c, q, {0, last});
            },
            [](int status) { return WIFEXITED(status) && WEXITSTATUS(status) != 0; }, text);
    }
}

}  // namespace
