// mivra-engine-bench: aggregate decode speed of the engine with 1, 2, 4 ... parallel requests, next to libllama's
// batched decoding of the same GGUF (one llama_decode per step over all sequences, like llama.cpp's batched bench).
//
//   mivra-engine-bench MODEL.gguf PACK_DIR [-t 4] [-n 64] [-np 1,2,4] [--cache-mb 0] [-r 3]
//
// Every request gets its own short prompt; decode speed = all generated tokens / wall time from the end of the
// last prefill to the end of the last request. Each figure is the best of -r runs, which keeps short disturbances
// by other processes out of it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/runtime/engine.h"
#include "ggml-backend.h"
#include "llama.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct bench_options {
    std::string gguf, pack;
    int n_threads = 4;
    int n_predict = 64;
    std::vector<int> parallel = {1, 2, 4};
    uint64_t cache_mb = 0;
    int reps = 3;
};

std::vector<int32_t> bench_prompt(int i) {
    std::vector<int32_t> p;
    for (int k = 0; k < 32; ++k) p.push_back(1000 + (k * 131 + i * 7919) % 20000);
    return p;
}

engine_options engine_bench_options(const bench_options& o, int np) {
    engine_options eo;
    eo.pack_dir = o.pack;
    eo.n_threads = o.n_threads;
    eo.n_parallel = np;
    eo.n_ctx = 1024;
    eo.cache_mb = o.cache_mb;
    eo.kv_disk_mb = 0;
    return eo;
}

// Engine: np requests at once on an engine with np slots. Returns decode tokens/s. The first run on an engine also
// reads the experts it meets from disk; later runs of the same requests find them in the cache.
double engine_decode_rate(engine& e, const bench_options& o, int np) {
    std::vector<generation_stats> stats(static_cast<size_t>(np));
    std::vector<std::thread> threads;
    const auto start = clock_type::now();
    for (int i = 0; i < np; ++i)
        threads.emplace_back([&, i] {
            stats[size_t(i)] = e.generate(bench_prompt(i), o.n_predict, sampling_params{}, {},
                                          [](const token_text&) { return true; });
        });
    for (auto& t : threads) t.join();
    const double wall = std::chrono::duration<double>(clock_type::now() - start).count();
    double prefill = 0;
    int total = 0;
    for (const auto& s : stats) {
        prefill = std::max(prefill, s.prefill_seconds);
        total += s.generated_tokens;
    }
    return double(total) / std::max(1e-9, wall - prefill);
}

// libllama: np sequences decoded together, one token per sequence per llama_decode.
double llama_decode_rate(const bench_options& o, int np) {
    llama_model_params mp = llama_model_default_params();
    llama_model* model = llama_model_load_from_file(o.gguf.c_str(), mp);
    if (!model) throw std::runtime_error("cannot load " + o.gguf);
    llama_context_params cp = llama_context_default_params();
    cp.n_ctx = uint32_t(1024 * np);
    cp.n_batch = cp.n_ctx;
    cp.n_seq_max = uint32_t(np);
    cp.n_threads = o.n_threads;
    cp.n_threads_batch = o.n_threads;
    llama_context* ctx = llama_init_from_model(model, cp);
    if (!ctx) throw std::runtime_error("cannot create a libllama context");
    const llama_vocab* vocab = llama_model_get_vocab(model);
    const int32_t n_vocab = llama_vocab_n_tokens(vocab);

    llama_batch batch = llama_batch_init(int32_t(cp.n_batch), 0, np);
    std::vector<int32_t> last(static_cast<size_t>(np));
    std::vector<int32_t> pos(static_cast<size_t>(np));
    batch.n_tokens = 0;
    for (int s = 0; s < np; ++s) {
        const auto p = bench_prompt(s);
        for (size_t k = 0; k < p.size(); ++k) {
            const int32_t i = batch.n_tokens++;
            batch.token[i] = p[k];
            batch.pos[i] = int32_t(k);
            batch.n_seq_id[i] = 1;
            batch.seq_id[i][0] = s;
            batch.logits[i] = k + 1 == p.size();
        }
        pos[size_t(s)] = int32_t(p.size());
    }
    if (llama_decode(ctx, batch) != 0) throw std::runtime_error("llama_decode failed");
    auto pick = [&](int32_t row) {
        const float* l = llama_get_logits_ith(ctx, row);
        return int32_t(std::max_element(l, l + n_vocab) - l);
    };
    int32_t row = 0;
    for (int s = 0; s < np; ++s) {
        row += int32_t(bench_prompt(s).size());
        last[size_t(s)] = pick(row - 1);
    }

    const auto start = clock_type::now();
    for (int step = 1; step < o.n_predict; ++step) {
        batch.n_tokens = 0;
        for (int s = 0; s < np; ++s) {
            const int32_t i = batch.n_tokens++;
            batch.token[i] = last[size_t(s)];
            batch.pos[i] = pos[size_t(s)]++;
            batch.n_seq_id[i] = 1;
            batch.seq_id[i][0] = s;
            batch.logits[i] = true;
        }
        if (llama_decode(ctx, batch) != 0) throw std::runtime_error("llama_decode failed");
        for (int s = 0; s < np; ++s) last[size_t(s)] = pick(s);
    }
    const double wall = std::chrono::duration<double>(clock_type::now() - start).count();
    llama_batch_free(batch);
    llama_free(ctx);
    llama_model_free(model);
    return double(np) * double(o.n_predict - 1) / std::max(1e-9, wall);
}

}  // namespace

int main(int argc, char** argv) {
    bench_options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "missing value for %s\n", a.c_str());
                std::exit(1);
            }
            return argv[++i];
        };
        if (a == "-t") o.n_threads = std::atoi(next().c_str());
        else if (a == "-n") o.n_predict = std::atoi(next().c_str());
        else if (a == "-r") o.reps = std::max(1, std::atoi(next().c_str()));
        else if (a == "--cache-mb") o.cache_mb = std::strtoull(next().c_str(), nullptr, 10);
        else if (a == "-np") {
            o.parallel.clear();
            std::stringstream list(next());
            for (std::string v; std::getline(list, v, ',');) o.parallel.push_back(std::atoi(v.c_str()));
        } else positional.push_back(a);
    }
    if (positional.size() != 2) {
        std::fprintf(stderr, "usage: mivra-engine-bench MODEL.gguf PACK_DIR [-t 4] [-n 64] [-np 1,2,4] [--cache-mb 0] [-r 3]\n");
        return 1;
    }
    o.gguf = positional[0];
    o.pack = positional[1];
    try {
        ggml_backend_load_all();
        llama_log_set([](ggml_log_level level, const char* text, void*) {
            if (level >= GGML_LOG_LEVEL_ERROR) std::fputs(text, stderr);
        }, nullptr);
        std::printf("| parallel | mivra tok/s | libllama batched tok/s |\n|---|---|---|\n");
        for (int np : o.parallel) {
            double mine = 0, ref = 0;
            {
                engine e(engine_bench_options(o, np));
                engine_decode_rate(e, o, np);  // warm-up: reads the experts these requests use
                for (int r = 0; r < o.reps; ++r) mine = std::max(mine, engine_decode_rate(e, o, np));
            }
            for (int r = 0; r < o.reps; ++r) ref = std::max(ref, llama_decode_rate(o, np));
            std::printf("| %d | %.1f | %.1f |\n", np, mine, ref);
            std::fflush(stdout);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
    return 0;
}
