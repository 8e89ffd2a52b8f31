// The statistics block that `run` and `golden` print at the end.
#pragma once

class expert_cache;
class model_runner;

// Prints the cache, prefetch, low-bit (when used), lossy (when routing went through it) and time lines on stderr.
// Call on the thread that owns the cache and the runner, while no evaluation runs.
void print_run_stats(expert_cache& cache, const model_runner& runner);
