// The fixture shared by the expert cache tests: a tagged test pack, cache construction by slot counts, and
// key-based shortcuts for the cache's layer/expert calls.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <thread>

#include "engine/runtime/expert_cache.h"
#include "engine/runtime/expert_pack_fixture.h"
#include "engine/runtime/read_gate.h"

using test_pack::key_range;
using test_pack::load;
using test_pack::slot_keys;

constexpr uint64_t all_experts = std::numeric_limits<uint64_t>::max();

class ExpertCache : public ::testing::Test {
protected:
    void SetUp() override { gate().reset(); }
    void TearDown() override { gate().reset(); }

    // A cache of `slots` slots (budget) with address space for `reserve_slots` (all_experts: every expert).
    std::unique_ptr<expert_cache> make_cache(uint64_t slots, int io_threads = 1, float hot = 0.0f,
                                             uint64_t reserve_slots = 0) {
        uint64_t eb = p.m->expert_bytes;
        uint64_t reserve = reserve_slots == all_experts ? all_experts : reserve_slots * eb;
        return std::make_unique<expert_cache>(*p.m, slots * eb, io_threads, hot, reserve);
    }
    int32_t acquire(expert_cache& c, int64_t key, bool allow_lowbit = false) {
        return c.acquire(static_cast<int32_t>(key / p.n_expert), static_cast<int32_t>(key % p.n_expert),
                         allow_lowbit);
    }
    void prefetch(expert_cache& c, int64_t key, bool allow_lowbit = false) {
        c.prefetch(static_cast<int32_t>(key / p.n_expert), static_cast<int32_t>(key % p.n_expert), allow_lowbit);
    }
    bool ready(expert_cache& c, int64_t key) {
        return c.is_ready(static_cast<int32_t>(key / p.n_expert), static_cast<int32_t>(key % p.n_expert));
    }
    void wait_for(expert_cache& c, std::vector<int32_t> pending) {
        while (!pending.empty()) c.wait_any_ready(pending);
    }
    // Opens the read gate from another thread after a while, for calls that must block until a read ends.
    std::jthread open_gate_later() {
        return std::jthread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            gate().open();
        });
    }

    test_pack::pack p;
};

