// llama_mmap_bench: prompt and generation speed of libllama on a GGUF that is memory-mapped and never copied, the
// way llama.cpp runs a model larger than RAM: the kernel pages expert weights in and out of the page cache.
//
//   llama_mmap_bench MODEL.gguf [-t THREADS] [-p PROMPT_TOKENS] [-n GEN_TOKENS] [--repack]
//
// llama-bench cannot be used for this: it always moves weights of repackable types (q4_K experts included) into
// "repack" buffers of anonymous memory, so under a memory limit smaller than the model it is killed while loading.
// This program loads with mmap and without those extra buffer types (what llama.cpp's --no-repack does);
// --repack turns them back on, which gives llama-bench's figures. Apart from that it measures like llama-bench:
// pp = one decode of PROMPT_TOKENS random tokens in an empty context (batch and micro-batch of 512 at most),
// tg = GEN_TOKENS decodes of one random token each, after the prompt test on a cleared context, no warm-up.
// Output, one line per test on stdout:
//   llama_mmap_bench test=pp N=256 seconds=1.234 tps=207.4
//   llama_mmap_bench test=tg N=32 seconds=5.678 tps=5.64
// and "llama_mmap_bench load_seconds=..." first.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "ggml-backend.h"
#include "llama.h"

namespace {

struct options {
    std::string model;
    int threads = 4;
    int prompt = 256;
    int gen = 32;
    bool repack = false;
};

options parse(int argc, char** argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--repack") {
            o.repack = true;
            continue;
        }
        if (a[0] != '-') {
            o.model = a;
            continue;
        }
        if (i + 1 >= argc) throw std::runtime_error("missing value for " + a);
        const int v = std::stoi(argv[++i]);
        if (a == "-t") o.threads = v;
        else if (a == "-p") o.prompt = v;
        else if (a == "-n") o.gen = v;
        else throw std::runtime_error("unknown option " + a);
    }
    if (o.model.empty() || o.prompt < 1 || o.gen < 1 || o.threads < 1)
        throw std::runtime_error("usage: llama_mmap_bench MODEL.gguf [-t THREADS] [-p PROMPT_TOKENS] [-n GEN_TOKENS] [--repack]");
    return o;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void decode(llama_context* ctx, std::vector<llama_token>& tokens) {
    if (llama_decode(ctx, llama_batch_get_one(tokens.data(), int32_t(tokens.size()))) != 0)
        throw std::runtime_error("llama_decode failed");
    llama_synchronize(ctx);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const options o = parse(argc, argv);
        llama_log_set([](ggml_log_level level, const char* text, void*) {
            if (level >= GGML_LOG_LEVEL_ERROR) std::fputs(text, stderr);
        }, nullptr);
        ggml_backend_load_all();
        llama_backend_init();

        auto t0 = std::chrono::steady_clock::now();
        llama_model_params mp = llama_model_default_params();
        mp.n_gpu_layers = 0;
        mp.load_mode = LLAMA_LOAD_MODE_MMAP;
        mp.use_extra_bufts = o.repack;
        mp.progress_callback = [](float, void*) { return true; };  // no progress dots
        llama_model* model = llama_model_load_from_file(o.model.c_str(), mp);
        if (!model) throw std::runtime_error("cannot load " + o.model);

        llama_context_params cp = llama_context_default_params();
        cp.n_ctx = uint32_t(o.prompt + o.gen);
        cp.n_batch = uint32_t(std::min(o.prompt, 2048));
        cp.n_ubatch = uint32_t(std::min(o.prompt, 512));
        cp.n_seq_max = 1;
        cp.n_threads = o.threads;
        cp.n_threads_batch = o.threads;
        cp.no_perf = true;
        llama_context* ctx = llama_init_from_model(model, cp);
        if (!ctx) throw std::runtime_error("cannot create a context");
        std::printf("llama_mmap_bench load_seconds=%.3f\n", seconds_since(t0));
        std::fflush(stdout);

        const int32_t n_vocab = llama_vocab_n_tokens(llama_model_get_vocab(model));
        std::mt19937 rng(1);
        std::uniform_int_distribution<int32_t> pick(0, n_vocab - 1);

        std::vector<llama_token> prompt(size_t(o.prompt));
        for (llama_token& t : prompt) t = pick(rng);
        t0 = std::chrono::steady_clock::now();
        for (size_t at = 0; at < prompt.size(); at += cp.n_batch) {
            std::vector<llama_token> chunk(prompt.begin() + at,
                                           prompt.begin() + std::min(prompt.size(), at + cp.n_batch));
            decode(ctx, chunk);
        }
        double s = seconds_since(t0);
        std::printf("llama_mmap_bench test=pp N=%d seconds=%.3f tps=%.3f\n", o.prompt, s, o.prompt / s);
        std::fflush(stdout);

        llama_memory_clear(llama_get_memory(ctx), true);
        t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < o.gen; ++i) {
            std::vector<llama_token> one{pick(rng)};
            decode(ctx, one);
        }
        s = seconds_since(t0);
        std::printf("llama_mmap_bench test=tg N=%d seconds=%.3f tps=%.3f\n", o.gen, s, o.gen / s);

        llama_free(ctx);
        llama_model_free(model);
        llama_backend_free();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "llama_mmap_bench: %s\n", e.what());
        return 1;
    }
}
