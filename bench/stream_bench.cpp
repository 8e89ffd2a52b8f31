// mivra_stream_bench: prompt and generation speed of mivra's model runner and expert cache, built from the same
// options and in the same way as `mivra run` builds them, fed random tokens the way llama-bench feeds libllama.
//
//   mivra_stream_bench PACK [--pp N] [--tg N] [--plain] [mivra's engine options: -t, -c, --cache-mb,
//                      --io-threads, --prefetch, --protect, ...]
//
// Why not `mivra run` alone: `run` decodes greedily, and a random-weight model soon repeats one or two tokens, so
// its experts stay cached and a partial cache looks as good as a full one. Random tokens route every step to
// fresh experts, the worst case and the same workload llama-bench gives libllama (bench/llama_mmap_bench).
//
// pp: one eval of N random tokens (default 256) on an empty slot; tg: the slot is emptied (the cache keeps what
// the prompt left in it), then N one-token evals (default 32), each with a new random token. --plain computes the
// experts on the layout read from disk instead of repacking each blob for ggml's faster kernels (to measure what
// the repacking costs when experts stream through the cache). Nothing is warmed
// before timing, on either side. Output on stdout, one line per phase with the counters of that phase alone:
//   mivra_stream_bench phase=pp tokens=256 seconds=... tps=... bytes_read=... hits=... misses=... inflight=...
//       wait=... prefetch_issued=... prefetch_used=... predicted=... predicted_hits=...
// then the statistics block of `mivra run` (its cache, prefetch and time lines) on stderr.
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/options.h"
#include "engine/pack/model.h"
#include "engine/runtime/cache_sizing.h"
#include "engine/runtime/expert_cache.h"
#include "engine/runtime/lossy_modes.h"
#include "engine/runtime/model_runner.h"
#include "engine/runtime/run_stats.h"
#include "llama.h"

namespace {

struct counters {
    expert_cache_stats cache;
    uint64_t predicted = 0, predicted_hits = 0;
};

counters snapshot(expert_cache& cache, const model_runner& runner) {
    return {cache.stats(), runner.predicted, runner.predicted_hits};
}

void print_phase(const char* phase, int tokens, double seconds, const counters& a, const counters& b) {
    std::printf("mivra_stream_bench phase=%s tokens=%d seconds=%.4f tps=%.4f bytes_read=%llu hits=%llu misses=%llu "
                "inflight=%llu wait=%.4f prefetch_issued=%llu prefetch_used=%llu predicted=%llu "
                "predicted_hits=%llu\n",
                phase, tokens, seconds, tokens / seconds,
                static_cast<unsigned long long>(b.cache.bytes_read - a.cache.bytes_read),
                static_cast<unsigned long long>(b.cache.hits - a.cache.hits),
                static_cast<unsigned long long>(b.cache.misses - a.cache.misses),
                static_cast<unsigned long long>(b.cache.inflight - a.cache.inflight),
                b.cache.wait_seconds - a.cache.wait_seconds,
                static_cast<unsigned long long>(b.cache.prefetch_issued - a.cache.prefetch_issued),
                static_cast<unsigned long long>(b.cache.prefetch_used - a.cache.prefetch_used),
                static_cast<unsigned long long>(b.predicted - a.predicted),
                static_cast<unsigned long long>(b.predicted_hits - a.predicted_hits));
    std::fflush(stdout);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void llama_errors_only(ggml_log_level level, const char* text, void*) {
    if (level == GGML_LOG_LEVEL_ERROR) std::fputs(text, stderr);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        int pp = 256, tg = 32;
        bool plain = false;
        std::vector<char*> rest{argv[0], argv[0]};  // parse_options starts at index 2, after program and command
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--plain") {
                plain = true;
            } else if ((a == "--pp" || a == "--tg") && i + 1 < argc) {
                (a == "--pp" ? pp : tg) = std::stoi(argv[++i]);
            } else {
                rest.push_back(argv[i]);
            }
        }
        const engine_options options = parse_options(static_cast<int>(rest.size()), rest.data(), 2);
        if (options.pack_dir.empty() || pp < 1 || tg < 1)
            throw std::runtime_error("usage: mivra_stream_bench PACK [--pp N] [--tg N] [engine options]");

        llama_log_set(llama_errors_only, nullptr);
        llama_backend_init();
        // As the engine builds them: the pack, the cache sized with room for the KV cache, then the runner.
        model m = open_pack(options.pack_dir);
        std::unique_ptr<expert_cache> cache =
            make_expert_cache(m, options, kv_cache_bytes(m.hparams, options.n_ctx, options.n_parallel));
        auto runner = std::make_unique<model_runner>(m, *cache, options.n_threads, options.n_ctx, options.prefetch,
                                                     options.n_parallel);
        runner->lossy = lossy_params_from_options(options);
        if (plain) runner->repack_experts = false;
        std::fprintf(stderr, "core %.2f GB resident, expert cache %d slots (%.0f MB), context %d\n",
                     double(m.core_bytes) / 1e9, cache->n_slots(),
                     double(cache->n_slots()) * double(cache->expert_bytes()) / 1048576.0, runner->n_ctx);
        if (pp + tg > runner->n_ctx) throw std::runtime_error("--pp + --tg exceed the context");

        std::mt19937 rng(1);
        std::uniform_int_distribution<int32_t> token(0, m.hparams.n_vocab - 1);
        std::vector<int32_t> prompt(static_cast<size_t>(pp));
        for (int32_t& t : prompt) t = token(rng);

        counters c0 = snapshot(*cache, *runner);
        double t0 = now();
        runner->eval_sequence(prompt);
        const double pp_seconds = now() - t0;
        counters c1 = snapshot(*cache, *runner);
        print_phase("pp", pp, pp_seconds, c0, c1);

        runner->n_past[0] = 0;
        t0 = now();
        for (int i = 0; i < tg; ++i) runner->eval_sequence({token(rng)});
        const double tg_seconds = now() - t0;
        counters c2 = snapshot(*cache, *runner);
        print_phase("tg", tg, tg_seconds, c1, c2);

        print_run_stats(*cache, *runner);
        runner.reset();  // the runner computes on slot memory: it goes before the cache
        cache.reset();
        llama_backend_free();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mivra_stream_bench: %s\n", e.what());
        return 1;
    }
}
