// `mivra imatrix`: runs a calibration text through the pack's model in chunks of 512 tokens and stores, per expert,
// the sums of squared inputs of its FFN matrices as imatrix.bin in the pack folder, for `mivra pack --lowbit
// --imatrix`.
//
// Runs on the calling thread with its own expert cache and one-slot runner (exact routing); no engine.
#include "cli/commands.h"
#include "engine/pack/model.h"
#include "engine/pack/requantize_imatrix.h"
#include "engine/runtime/cache_sizing.h"
#include "engine/runtime/expert_cache.h"
#include "engine/runtime/model_runner.h"

#include <llama.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr size_t chunk_tokens = 512;

struct llama_model_free_deleter {
    void operator()(llama_model* m) const { llama_model_free(m); }
};

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return text;
}

// The calibration text's tokens in the vocabulary of core.gguf: no beginning-of-sequence token, and special-token
// text taken as plain text. The vocabulary is freed again before the experts are touched.
std::vector<int32_t> tokenize_file(const std::string& core_path, const std::string& text_path) {
    llama_model_params params = llama_model_default_params();
    params.vocab_only = true;
    const std::unique_ptr<llama_model, llama_model_free_deleter> vocab_model(
        llama_model_load_from_file(core_path.c_str(), params));
    if (!vocab_model) throw std::runtime_error("cannot load vocabulary from core.gguf");
    const std::string text = read_text(text_path);
    if (text.size() > static_cast<size_t>(INT32_MAX) - 16) throw std::runtime_error("tokenize failed");
    std::vector<int32_t> tokens(text.size() + 16);
    const int32_t n = llama_tokenize(llama_model_get_vocab(vocab_model.get()), text.data(),
                                     static_cast<int32_t>(text.size()), tokens.data(),
                                     static_cast<int32_t>(tokens.size()), false, false);
    if (n < 0) throw std::runtime_error("tokenize failed");
    tokens.resize(static_cast<size_t>(n));
    return tokens;
}

}  // namespace

int cmd_imatrix(const engine_options& options) {
    model mdl = open_pack(options.pack_dir);
    llama_backend_init();

    const std::vector<int32_t> tokens = tokenize_file(mdl.core_path, options.input_path);

    std::unique_ptr<expert_cache> cache = make_expert_cache(mdl, options, kv_cache_bytes(mdl.hparams, 512, 1));
    auto runner = std::make_unique<model_runner>(mdl, *cache, options.n_threads, 512, options.prefetch, 1);
    // The experts as stored: the interleaved layouts of the faster kernels change the results.
    runner->repack_experts = false;

    const model_hparams& hp = mdl.hparams;
    const imatrix_header header{hp.n_layer, hp.n_expert, hp.n_embd, hp.n_ff_exp};
    std::vector<float> sums(static_cast<size_t>(hp.n_layer) * static_cast<size_t>(hp.n_expert) *
                            (static_cast<size_t>(hp.n_embd) + static_cast<size_t>(hp.n_ff_exp)));
    runner->imatrix = &sums;
    const auto start = std::chrono::steady_clock::now();
    for (size_t first = 0; first < tokens.size(); first += chunk_tokens) {
        const size_t end = std::min(first + chunk_tokens, tokens.size());
        // Every chunk is evaluated from an empty context.
        runner->n_past[0] = 0;
        runner->eval_sequence(std::vector<int32_t>(tokens.begin() + static_cast<ptrdiff_t>(first),
                                                   tokens.begin() + static_cast<ptrdiff_t>(end)));
        std::fprintf(stderr, "\rimatrix: %zu / %zu tokens, %.0f s", end, tokens.size(),
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    runner->imatrix = nullptr;

    // Written through imatrix.bin.tmp and a rename, so a failed write leaves an existing file as it was.
    const std::string path = (std::filesystem::path(options.pack_dir) / "imatrix.bin").string();
    if (!write_imatrix(path, header, sums)) throw std::runtime_error("cannot write " + path);
    std::fprintf(stderr, "\nwrote %s\n", path.c_str());

    runner.reset();
    cache.reset();
    return 0;
}
