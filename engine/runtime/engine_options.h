// The engine's options: what the command line of the engine commands (run, serve, golden, imatrix) sets, parsed by
// cli/options.h. A plain value record: the engine keeps a copy; the commands read it directly.
#pragma once

#include <cstdint>
#include <string>

struct engine_options {
    std::string pack_dir;    // first positional argument
    std::string input_path;  // second positional argument (golden.jsonl, imatrix text)
    std::string prompt = "Explain what a Mixture-of-Experts language model is.";  // -p
    std::string host = "127.0.0.1";  // --host
    int32_t n_predict = 256;         // -n
    int32_t n_threads = 4;           // -t, 1..512
    int32_t n_ctx = 4096;            // -c
    int32_t n_prompts = 1 << 30;     // --prompts
    int32_t io_threads = 4;          // --io-threads
    int32_t prefetch = 0;            // --prefetch, negative = off
    int32_t port = 8080;             // --port
    int32_t n_parallel = 1;          // -np, at least 1
    int32_t draft_max = 6;           // --draft, 0..6
    float protect = -1.0f;           // --protect, negative = automatic
    float skip_below = 0.0f;         // --skip-below
    float prefer_cached = 0.0f;      // --prefer-cached
    float expert_mass = 0.0f;        // --expert-mass
    std::string mode = "exact";      // --mode
    bool lowbit = false;             // --lowbit
    uint64_t cache_mb = 0;           // --cache-mb, 0 = automatic
    uint64_t kv_disk_mb = 4096;      // --kv-disk-mb, 0 = off
};
