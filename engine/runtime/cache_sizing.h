// How large the expert cache is made and how it follows free RAM.
//
// make_expert_cache and apply_budget_rule run on the thread that owns the cache (the constructing thread, then the
// engine worker). The plan_* functions and kv_cache_bytes are pure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/runtime/engine_options.h"

class expert_cache;
struct model;
struct model_hparams;

// Bytes of the model runner's KV cache: K and V in F16 for every layer, n_ctx rounded up to 256 cells, in
// max(1, n_parallel) slots.
uint64_t kv_cache_bytes(const model_hparams& hp, int32_t n_ctx, int32_t n_parallel);

// The size of a new cache. With cache_mb above 0 the budget is fixed at cache_mb MiB; with 0 it is free RAM less
// the KV cache still to be allocated less 512 MiB (0 when that is not positive), over a reservation of every
// expert. n_slots is what the cache commits for the budget (at least 16, at most n_experts when fixed); warn is
// set for an automatic budget below those 16 slots.
struct cache_plan {
    uint64_t budget = 0;
    uint64_t reserve = 0;
    int64_t n_slots = 0;
    bool warn = false;
};
cache_plan plan_expert_cache(uint64_t cache_mb, uint64_t free, uint64_t kv_bytes, uint64_t expert_bytes,
                             uint64_t n_experts);

// The automatic budget rule's decision: budget = resident + free less 512 MiB (0 when not above), and whether it
// differs from n_slots by 16 slots or more.
struct budget_step {
    uint64_t budget = 0;
    bool resize = false;
};
budget_step plan_budget_step(uint64_t resident, uint64_t free, uint64_t expert_bytes, int32_t n_slots);

// Builds the cache from the options: a fixed budget of --cache-mb MiB (the cache never grows past it), or with
// --cache-mb 0 the automatic budget above, leaving room for `kv_bytes` that the caller will allocate next, with a
// warning when even the 16-slot minimum exceeds it. Enables low-bit copies when the pack has them or the options
// ask for them. Throws the cache's errors and the --lowbit error of a pack without low-bit copies.
std::unique_ptr<expert_cache> make_expert_cache(const model& m, const engine_options& options,
                                                uint64_t kv_bytes = 0);

// The automatic budget rule: re-sizes the cache to resident + free RAM less 512 MiB when that differs from its
// size by 16 slots or more, printing "[budget] ..." when the slot count changes. Throws the cache's resize errors.
void apply_budget_rule(expert_cache& cache);
