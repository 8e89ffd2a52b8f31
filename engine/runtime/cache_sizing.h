// How large the expert cache is made and how it follows free RAM.
//
// Both functions run on the thread that owns the cache (the constructing thread, then the engine worker).
#pragma once

#include <cstdint>
#include <memory>

#include "cli/engine_options.h"

class expert_cache;
struct model;

// Physical memory available to this process: MemAvailable, capped by a cgroup memory limit when one applies.
// 0 when it cannot be read.
uint64_t free_ram_bytes();

// Builds the cache from the options: a fixed budget of --cache-mb MiB (the cache never grows past it), or with
// --cache-mb 0 a budget of free RAM less 512 MiB over a reservation for every expert, with a warning when even the
// 16-slot minimum exceeds it. Enables low-bit copies when the pack has them or the options ask for them.
// Throws the cache's errors and the --lowbit error of a pack without low-bit copies.
std::unique_ptr<expert_cache> make_expert_cache(const model& m, const engine_options& options);

// The automatic budget rule: re-sizes the cache to resident + free RAM less 512 MiB when that differs from its
// size by 16 slots or more, printing "[budget] ..." when the slot count changes. Throws the cache's resize errors.
void apply_budget_rule(expert_cache& cache);
