// Random traffic from the owner thread against several I/O threads whose reads are delayed, split and interrupted
// at random: every slot that is ready must hold exactly its expert's bytes, in the copy its flag names, and no
// expert may sit in two slots. Meant to run under ThreadSanitizer too (build with -DMIVRA_SANITIZE=thread).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <random>
#include <set>
#include <thread>

#include "engine/runtime/cache_test.h"

namespace {

// Verifies every ready slot in use. Only the owner turns a ready slot into anything else, so the bytes of a slot
// seen ready here cannot change while they are compared.
void check_ready_slots(expert_cache& c, const test_pack::pack& p) {
    std::set<int64_t> keys;
    auto slots = c.slots_snapshot();
    for (size_t s = 0; s < slots.size(); ++s) {
        const expert_slot& sl = slots[s];
        if (sl.key < 0) {
            EXPECT_EQ(sl.state, slot_state::empty);
            continue;
        }
        EXPECT_TRUE(keys.insert(sl.key).second) << "key " << sl.key << " held twice";
        if (sl.state == slot_state::ready) {
            EXPECT_TRUE(p.holds(c.slot_memory(static_cast<int32_t>(s)), sl.key, sl.lowbit != 0))
                << "slot " << s << " key " << sl.key << (sl.lowbit ? " (low-bit)" : "");
        }
    }
}

TEST_F(ExpertCache, RandomTrafficKeepsEverySlotExact) {
    const int n_layer = 6, n_expert = 12;
    test_pack::make(p, n_layer, n_expert, true);
    const uint64_t eb = p.m->expert_bytes;
    gate().set_fault([](uint64_t, uint64_t length) -> long {
        thread_local std::minstd_rand rng(std::hash<std::thread::id>()(std::this_thread::get_id()));
        switch (rng() % 8) {
            case 0: return -EINTR;
            case 1: return static_cast<long>(length > 4096 ? 4096 : length);  // a partial transfer
            case 2: std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300)); break;
            case 3: std::this_thread::yield(); break;
            default: break;
        }
        return static_cast<long>(length);
    });

    for (unsigned seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return static_cast<int32_t>(rng() % static_cast<unsigned>(n)); };
        auto c = std::make_unique<expert_cache>(*p.m, 20 * eb, 4, -1.0f, all_experts);
        c->set_lowbit(true);
        if (seed % 2 == 0) {
            std::vector<float> scores(n_layer * n_expert);
            for (float& v : scores) v = static_cast<float>(pick(4));
            c->warm_start(scores);
        }
        int pinned_chunks = 0;
        for (int op = 0; op < 400; ++op) {
            switch (pick(10)) {
                case 0: case 1: case 2: case 3: {  // one chunk of a layer, as the runner does it
                    int32_t layer = pick(n_layer);
                    int32_t count = 1 + pick(std::min(c->n_slots(), n_expert));
                    bool allow_lowbit = pick(2) == 0;
                    std::vector<int32_t> experts(n_expert);
                    std::iota(experts.begin(), experts.end(), 0);
                    std::shuffle(experts.begin(), experts.end(), rng);
                    std::vector<int64_t> keys;
                    for (int32_t i = 0; i < count; ++i) keys.push_back(p.key(layer, experts[i]));
                    std::vector<int32_t> slots, pending;
                    try {
                        for (int64_t k : keys) {
                            int32_t s = c->acquire(layer, static_cast<int32_t>(k % n_expert), allow_lowbit);
                            slots.push_back(s);
                            pending.push_back(s);
                        }
                    } catch (const std::runtime_error& e) {
                        // Only possible with the pins of an earlier chunk still held.
                        EXPECT_GT(pinned_chunks, 0);
                        EXPECT_STREQ(e.what(), "expert cache: every slot is pinned or loading");
                        c->unpin_all();
                        break;
                    }
                    if (pick(2) == 0) {
                        c->cancel_prefetches();
                        for (int i = 0, n = pick(6); i < n; ++i) c->prefetch((layer + 1) % n_layer, pick(n_expert), allow_lowbit);
                    }
                    while (!pending.empty()) {
                        for (int32_t s : c->wait_any_ready(pending)) {
                            int64_t k = keys[std::find(slots.begin(), slots.end(), s) - slots.begin()];
                            ASSERT_TRUE(p.holds(c->slot_memory(s), k, c->holds_lowbit(s))) << "slot " << s << " key " << k;
                        }
                    }
                    if (pick(8) == 0) {
                        ++pinned_chunks;  // leave the pins for a resize to meet
                    } else {
                        c->unpin_all();
                    }
                    break;
                }
                case 4:
                    c->prefetch(pick(n_layer), pick(n_expert), pick(2) == 0);
                    break;
                case 5:
                    c->cancel_prefetches();
                    break;
                case 6: {
                    uint64_t slots = 8 + pick(n_layer * n_expert);
                    try {
                        int32_t n = c->resize(slots * eb);
                        EXPECT_EQ(n, c->n_slots());
                    } catch (const std::runtime_error& e) {
                        EXPECT_STREQ(e.what(), "expert cache: resize while experts are pinned");
                    }
                    c->unpin_all();
                    break;
                }
                case 7:
                    c->set_lowbit(pick(2) == 0);
                    break;
                case 8:
                    c->unpin_all();
                    break;
                default:
                    check_ready_slots(*c, p);
                    break;
            }
            EXPECT_LE(c->resident_bytes(), static_cast<uint64_t>(c->n_slots()) * eb);
        }
        check_ready_slots(*c, p);
        auto st = c->stats();
        EXPECT_GT(st.bytes_read, 0u);
        EXPECT_GT(st.hits + st.inflight, 0u);
        // Destroyed with reads still queued and running.
        for (int i = 0; i < 8; ++i) c->prefetch(pick(n_layer), pick(n_expert), true);
    }
}

}  // namespace
