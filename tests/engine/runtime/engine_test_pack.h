// Generated fixture models packed for the engine, and libllama's greedy continuation of them, for the engine and
// `run` tests. A model and its pack are made once per (arch, seed) and test program (fixtures/fixture_cache.h); each
// process works on its own copy of the pack, in a folder under the system's temp folder, since the engine writes
// hot.bin and saved prompt KV files into it.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/runtime/engine_options.h"
#include "engine/pack/cmd_pack.h"
#include "fixtures/fixture_cache.h"
#include "fixtures/llama_ref.h"
#include "fixtures/model_gen.h"
#include "llama.h"

struct test_pack {
    std::string gguf;  // the generated model
    std::string dir;   // its pack
};

// A folder of this process's own, removed when the process ends normally.
inline std::filesystem::path engine_test_root() {
    struct root_folder {
        std::filesystem::path path;
        root_folder() : path(std::filesystem::temp_directory_path() / ("mivra-engine-test-" + std::to_string(getpid()))) {
            std::filesystem::create_directories(path);
        }
        ~root_folder() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static const root_folder root;
    return root.path;
}

// The pack of the fixture model of `arch` with `seed` (made on first use).
inline const test_pack& fixture_pack(const std::string& arch, uint32_t seed = 1) {
    static std::mutex mutex;
    static std::map<std::string, test_pack> packs;
    std::lock_guard<std::mutex> lock(mutex);
    const std::string name = arch + "-" + std::to_string(seed);
    auto it = packs.find(name);
    if (it != packs.end()) return it->second;

    test_pack p;
    fixture_model_options mo;
    mo.arch = arch;
    mo.seed = seed;
    p.gguf = cached_fixture_model(mo).string();
    const std::filesystem::path cached = cached_fixture(fixture_model_id(mo) + ".pack", [&](const auto& out) {
        std::vector<std::string> args = {"mivra pack", p.gguf, out.string()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (cmd_pack(int(args.size()), argv.data()) != 0) throw std::runtime_error("cannot pack " + p.gguf);
    });
    p.dir = (engine_test_root() / name).string();
    copy_fixture(cached, p.dir);
    return packs.emplace(name, p).first->second;
}

// Options for a small, fast engine on a test pack: fixed cache, no saved prompt KVs.
inline engine_options test_engine_options(const test_pack& pack, int32_t n_parallel = 1, int32_t n_ctx = 2048) {
    engine_options o;
    o.pack_dir = pack.dir;
    o.n_threads = 2;
    o.io_threads = 2;
    o.n_ctx = n_ctx;
    o.n_parallel = n_parallel;
    o.cache_mb = 64;
    o.kv_disk_mb = 0;
    return o;
}

// libllama's greedy continuation of `prompt` on the original GGUF, without the end-of-generation token.
inline std::vector<int32_t> reference_continuation(const test_pack& pack, const std::vector<int32_t>& prompt,
                                                   int n_predict) {
    llama_ref_init_backend();
    llama_ref_options ro;
    ro.model_path = pack.gguf;
    ro.n_ctx = int(prompt.size()) + n_predict + 16;
    llama_ref ref(ro);
    llama_ref_result res = ref.run(prompt, n_predict, 1, false, true);
    if (res.stopped_at_eog && !res.gen.empty()) res.gen.pop_back();
    return res.gen;
}

// The text that the pieces of `tokens` spell with the pack's vocabulary, special tokens rendered.
inline std::string tokens_text(const test_pack& pack, const std::vector<int32_t>& tokens) {
    llama_model_params mp = llama_model_default_params();
    mp.vocab_only = true;
    llama_model* m = llama_model_load_from_file(pack.gguf.c_str(), mp);
    if (!m) throw std::runtime_error("cannot load " + pack.gguf);
    const llama_vocab* vocab = llama_model_get_vocab(m);
    std::string text;
    for (int32_t t : tokens) {
        char buf[512];
        const int32_t n = llama_token_to_piece(vocab, t, buf, sizeof buf, 0, true);
        if (n > 0) text.append(buf, size_t(n));
    }
    llama_model_free(m);
    return text;
}
