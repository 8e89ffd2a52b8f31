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

// Bytes the engine holds at its peak beside the expert cache, the core tensors and the KV cache: the model runner's
// working memory for a step of `rows_per_slot` prompt tokens in each of max(1, n_parallel) slots (graph memory, row
// buffers, logits) and an allowance for the program itself (libraries, vocabulary, chat templates, thread stacks).
// `separate_gate_up`: the experts' gate and up products are computed apart, each with a bias ("gpt-oss").
uint64_t engine_working_bytes(const model_hparams& hp, int32_t n_ctx, int32_t n_parallel, int32_t rows_per_slot,
                              bool separate_gate_up);
// The graph memory part of that for one prompt chunk of `rows` tokens: what the engine faults in before the first
// prompt (model_runner::prefault_scratch).
uint64_t prompt_graph_bytes(const model_hparams& hp, int32_t n_ctx, int32_t rows, bool separate_gate_up);

// The size of a new cache. With cache_mb above 0 the budget is cache_mb MiB less `working` (the rest of the engine
// lives inside the user's budget too; 0 when nothing is left); with 0 it is free RAM less the KV cache still to be
// allocated less 512 MiB (0 when that is not positive), over a reservation of every expert. n_slots is what the
// cache commits for the budget (at least 16, at most n_experts when fixed); warn is set for a budget below those
// 16 slots: an automatic one, or a fixed one that the working memory took.
struct cache_plan {
    uint64_t budget = 0;
    uint64_t reserve = 0;
    int64_t n_slots = 0;
    bool warn = false;
};
cache_plan plan_expert_cache(uint64_t cache_mb, uint64_t free, uint64_t kv_bytes, uint64_t expert_bytes,
                             uint64_t n_experts, uint64_t working = 0);

// The automatic budget rule's decision: budget = resident + free less 512 MiB (0 when not above), and whether it
// differs from n_slots by 16 slots or more.
struct budget_step {
    uint64_t budget = 0;
    bool resize = false;
};
budget_step plan_budget_step(uint64_t resident, uint64_t free, uint64_t expert_bytes, int32_t n_slots);

// Builds the cache from the options: a fixed budget of --cache-mb MiB less `working_bytes` (the cache never grows
// past it), or with --cache-mb 0 the automatic budget above, leaving room for `kv_bytes` that the caller will
// allocate next, with a warning when even the 16-slot minimum exceeds it. Enables low-bit copies when the pack has
// them or the options ask for them. Throws the cache's errors and the --lowbit error of a pack without low-bit copies.
std::unique_ptr<expert_cache> make_expert_cache(const model& m, const engine_options& options,
                                                uint64_t kv_bytes = 0, uint64_t working_bytes = 0);

// The automatic budget rule: re-sizes the cache to resident + free RAM less 512 MiB when that differs from its
// size by 16 slots or more, printing "[budget] ..." when the slot count changes. Throws the cache's resize errors.
void apply_budget_rule(expert_cache& cache);
