// Generated models, packed, with an expert cache and a model runner on them, for the runner tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/pack/cmd_pack.h"
#include "engine/pack/model.h"
#include "engine/runtime/expert_cache.h"
#include "engine/runtime/model_runner.h"
#include "fixtures/fixture_cache.h"
#include "fixtures/model_gen.h"

namespace runner_test {

// One folder per test process, removed at exit.
inline const std::string& work_dir() {
    struct dir {
        std::string path;
        dir() {
            std::string tmpl = (std::filesystem::temp_directory_path() / "mivra-runner-XXXXXX").string();
            if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
            path = tmpl;
        }
        ~dir() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static dir d;
    return d.path;
}

struct packed_model {
    std::string gguf;
    std::string pack;
};

// The model `name` and its pack, made once per test program (fixtures/fixture_cache.h). The runner tests only read
// them.
inline const packed_model& packed(const std::string& name, const fixture_model_options& options) {
    static std::map<std::string, packed_model> made;
    auto it = made.find(name);
    if (it != made.end()) return it->second;
    packed_model p;
    p.gguf = cached_fixture_model(options).string();
    p.pack = cached_fixture(fixture_model_id(options) + ".pack", [&](const std::filesystem::path& out) {
                 std::string a0 = "mivra pack", a1 = p.gguf, a2 = out.string();
                 char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
                 if (cmd_pack(3, argv) != 0) throw std::runtime_error("pack failed for " + name);
             }).string();
    return made.emplace(name, p).first->second;
}

// The two architectures as the runner tests use them: a few layers, more experts than the minimum cache of 16
// slots, and expert types that differ by layer. gpt-oss keeps its default sliding window of 32 (pattern 2) and
// YaRN scaling.
inline fixture_model_options qwen3moe_options() {
    fixture_model_options o;
    o.arch = "qwen3moe";
    o.seed = 11;
    o.n_layer = 3;
    o.n_expert = 32;
    o.n_expert_used = 4;
    o.layer_expert_type = {{0, "f16"}, {1, "q8_0"}, {2, "q8_0,q8_0,f16"}};
    return o;
}

inline fixture_model_options gpt_oss_options() {
    fixture_model_options o;
    o.arch = "gpt-oss";
    o.seed = 12;
    o.n_layer = 3;
    o.n_expert = 32;
    o.n_expert_used = 4;
    return o;
}

// gpt-oss with Q8_0 attention weights, as the converted models mostly have: stacked one-token rows then take ggml's
// tiled Q8_0 products instead of one product per row.
inline fixture_model_options gpt_oss_q8_0_attention_options() {
    fixture_model_options o = gpt_oss_options();
    o.attn_type = "q8_0";
    return o;
}

struct loaded_model {
    model m;
    std::unique_ptr<expert_cache> cache;
    std::unique_ptr<model_runner> runner;

    ~loaded_model() {
        runner.reset();  // the runner goes before the cache it reads from
        cache.reset();
    }
};

// Opens the pack with a cache of `slots` slots (0: every expert resident) and a runner.
inline std::unique_ptr<loaded_model> load(const packed_model& p, int slots, int n_ctx, int n_parallel,
                                          int prefetch = 0, int threads = 2) {
    auto l = std::make_unique<loaded_model>();
    l->m = open_pack(p.pack);
    const uint64_t all = static_cast<uint64_t>(l->m.hparams.n_layer) * l->m.hparams.n_expert * l->m.expert_bytes;
    const uint64_t budget = slots > 0 ? static_cast<uint64_t>(slots) * l->m.expert_bytes : all;
    l->cache = std::make_unique<expert_cache>(l->m, budget, 2, -1.0f, budget);
    l->runner = std::make_unique<model_runner>(l->m, *l->cache, threads, n_ctx, prefetch, n_parallel);
    return l;
}

inline std::vector<int32_t> random_tokens(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> dist(0, 151642);  // ordinary tokens of the fixture vocabulary
    std::vector<int32_t> t(n);
    for (int32_t& x : t) x = dist(rng);
    return t;
}

inline int32_t argmax(const float* row, int n) {
    int32_t best = 0;
    for (int i = 1; i < n; ++i) {
        if (row[i] > row[best]) best = i;
    }
    return best;
}

inline sequence_request request(int32_t slot, std::vector<int32_t> tokens, bool all_logits = false) {
    sequence_request r;
    r.slot = slot;
    r.tokens = std::move(tokens);
    r.all_logits = all_logits;
    return r;
}

}  // namespace runner_test
