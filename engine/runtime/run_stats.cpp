#include "engine/runtime/run_stats.h"

#include <cstdio>

#include "engine/runtime/expert_cache.h"
#include "engine/runtime/model_runner.h"

void print_run_stats(expert_cache& cache, const model_runner& runner) {
    const expert_cache_stats s = cache.stats();
    const double lookups = double(s.hits) + double(s.misses) + double(s.inflight);
    std::fprintf(stderr, "  cache: %d slots (%.0f%% hot-protected), hit %.1f%% (+%.1f%% caught in flight), read %.2f GB\n",
                 cache.n_slots(), double(cache.hot_fraction()) * 100.0,
                 lookups > 0 ? double(s.hits) * 100.0 / lookups : 0.0,
                 lookups > 0 ? double(s.inflight) * 100.0 / lookups : 0.0, double(s.bytes_read) / 1e9);
    std::fprintf(stderr, "  prefetch: %llu issued, %llu used (%.0f%%), next-layer prediction recall %.0f%%\n",
                 (unsigned long long)s.prefetch_issued, (unsigned long long)s.prefetch_used,
                 s.prefetch_issued ? double(s.prefetch_used) * 100.0 / double(s.prefetch_issued) : 0.0,
                 runner.predicted ? double(runner.predicted_hits) * 100.0 / double(runner.predicted) : 0.0);
    if (s.lowbit_reads != 0 || s.rereads != 0)
        std::fprintf(stderr, "  lowbit: %llu reads used the low-bit copy, %llu re-read in full after turning hot\n",
                     (unsigned long long)s.lowbit_reads, (unsigned long long)s.rereads);
    if (runner.routed != 0)
        std::fprintf(stderr, "  lossy: %.1f%% of routed experts skipped, %.1f%% swapped for cached ones\n",
                     double(runner.skipped) * 100.0 / double(runner.routed),
                     double(runner.swapped) * 100.0 / double(runner.routed));
    std::fprintf(stderr, "  time: attention+routing %.1f s, experts %.1f s (of which waiting on reads %.1f s), head %.1f s\n",
                 runner.t_attention, runner.t_experts, s.wait_seconds, runner.t_head);
}
