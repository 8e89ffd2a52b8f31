// runner_bench: prompt (pp) and generation (tg) speed of the model runner with every expert resident, measured
// the way llama-bench measures them, so that bench/runner_bench.sh can print both side by side.
//
//   runner_bench MODEL.gguf [--pack DIR] [--threads N] [--pp N] [--tg N] [--reps N] [--prefetch N]
//
// The model is packed into DIR (default MODEL.gguf.pack) unless DIR already holds a pack. Every expert is read
// into the cache before timing. pp: one eval of N prompt tokens on an empty slot (last token's logits only);
// tg: N one-token evals from an empty slot. Each test runs once untimed, then --reps times.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/pack/cmd_pack.h"
#include "engine/pack/model.h"
#include "engine/runtime/cache_sizing.h"
#include "engine/runtime/expert_cache.h"
#include "engine/runtime/model_runner.h"

namespace {

struct bench_options {
    std::string gguf, pack;
    int threads = 4, pp = 512, tg = 128, reps = 3, prefetch = 0;
};

bench_options parse(int argc, char** argv) {
    bench_options o;
    if (argc < 2) throw std::runtime_error("usage: runner_bench MODEL.gguf [--pack DIR] [--threads N] [--pp N] [--tg N] [--reps N] [--prefetch N]");
    o.gguf = argv[1];
    o.pack = o.gguf + ".pack";
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) throw std::runtime_error("missing value for " + a);
        const std::string v = argv[++i];
        if (a == "--pack") o.pack = v;
        else if (a == "--threads") o.threads = std::stoi(v);
        else if (a == "--pp") o.pp = std::stoi(v);
        else if (a == "--tg") o.tg = std::stoi(v);
        else if (a == "--reps") o.reps = std::stoi(v);
        else if (a == "--prefetch") o.prefetch = std::stoi(v);
        else throw std::runtime_error("unknown option " + a);
    }
    return o;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Reads every expert of every layer into the cache (pinning one layer at a time).
void load_every_expert(expert_cache& cache, const model& m) {
    for (int l = 0; l < m.hparams.n_layer; ++l) {
        std::vector<int32_t> pending;
        for (int e = 0; e < m.hparams.n_expert; ++e) pending.push_back(cache.acquire(l, e, false));
        while (!pending.empty()) cache.wait_any_ready(pending);
        cache.unpin_all();
    }
}

void report(const char* test, const std::vector<double>& rates) {
    double mean = 0.0, var = 0.0;
    for (double r : rates) mean += r;
    mean /= rates.size();
    for (double r : rates) var += (r - mean) * (r - mean);
    const double sd = rates.size() > 1 ? std::sqrt(var / (rates.size() - 1)) : 0.0;
    std::printf("| mivra runner | %-6s | %10.2f ± %.2f |\n", test, mean, sd);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const bench_options o = parse(argc, argv);
        if (!std::filesystem::exists(std::filesystem::path(o.pack) / "manifest.json")) {
            std::string a0 = "mivra pack", a1 = o.gguf, a2 = o.pack;
            char* args[] = {a0.data(), a1.data(), a2.data(), nullptr};
            if (cmd_pack(3, args) != 0) return 1;
        }
        model m = open_pack(o.pack);
        const uint64_t all = static_cast<uint64_t>(m.hparams.n_layer) * m.hparams.n_expert * m.expert_bytes;
        expert_cache cache(m, all, 4, -1.0f, all);
        model_runner runner(m, cache, o.threads, o.pp + o.tg + 1, o.prefetch, 1);
        load_every_expert(cache, m);
        std::fprintf(stderr, "%s: %d layers, %d experts (%d used), %.2f GB of experts resident, %d threads\n",
                     o.gguf.c_str(), m.hparams.n_layer, m.hparams.n_expert, m.hparams.n_expert_used,
                     double(cache.resident_bytes()) / 1e9, o.threads);

        std::mt19937 rng(1);
        std::uniform_int_distribution<int32_t> token(0, m.hparams.n_vocab - 1);
        std::vector<int32_t> prompt(o.pp);
        for (int32_t& t : prompt) t = token(rng);

        std::vector<double> pp_rates, tg_rates;
        double split[2][3] = {};  // pp, tg: attention, experts, head seconds of the timed repetitions
        auto measure = [&](int test, int rep, const std::function<void()>& run) {
            const double a = runner.t_attention, e = runner.t_experts, h = runner.t_head, t0 = now();
            run();
            if (rep == 0) return 0.0;
            split[test][0] += runner.t_attention - a;
            split[test][1] += runner.t_experts - e;
            split[test][2] += runner.t_head - h;
            return now() - t0;
        };
        for (int rep = 0; rep <= o.reps; ++rep) {  // rep 0 warms up
            runner.n_past[0] = 0;
            const double t_start = now();
            const double pp_time = measure(0, rep, [&] { runner.eval_sequence(prompt); });
            if (rep == 0) std::fprintf(stderr, "first prompt (repacks every expert): %.2f s\n", now() - t_start);
            if (rep > 0) pp_rates.push_back(o.pp / pp_time);

            runner.n_past[0] = 0;
            const int32_t next = token(rng);
            const double tg_time = measure(1, rep, [&] {
                for (int i = 0; i < o.tg; ++i) runner.eval_sequence({next});
            });
            if (rep > 0) tg_rates.push_back(o.tg / tg_time);
        }
        std::printf("| engine       | test   |   t/s           |\n| ------------ | ------ | --------------- |\n");
        report(("pp" + std::to_string(o.pp)).c_str(), pp_rates);
        report(("tg" + std::to_string(o.tg)).c_str(), tg_rates);
        const double per_pp = 1e3 / (double(o.reps) * o.pp), per_tg = 1e3 / (double(o.reps) * o.tg);
        std::fprintf(stderr, "ms per token: pp attention %.3f experts %.3f head %.3f; tg attention %.3f experts %.3f head %.3f\n",
                     split[0][0] * per_pp, split[0][1] * per_pp, split[0][2] * per_pp, split[1][0] * per_tg,
                     split[1][1] * per_tg, split[1][2] * per_tg);
        std::fprintf(stderr, "scratch high water %.1f MiB; engine working memory estimate %.1f MiB (program included)\n",
                     double(runner.scratch_high_water) / 1048576.0,
                     double(engine_working_bytes(m.hparams, runner.n_ctx, 1, o.pp, m.arch == "gpt-oss")) / 1048576.0);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "runner_bench: %s\n", e.what());
        return 1;
    }
}
