// `mivra golden`: replays reference continuations (golden.jsonl) through the pack's model runner with teacher
// forcing and reports, per prompt and in total, whether the greedy choice matched the reference at every step, the
// largest difference to the reference logits and the mean negative log-likelihood of the reference tokens.
//
// Runs on the calling thread with its own expert cache and one-slot runner: no engine, worker thread, chat
// templates, hot.bin or saved prompt KV files.
#include "cli/commands.h"
#include "engine/pack/model.h"
#include "engine/runtime/cache_sizing.h"
#include "engine/runtime/expert_cache.h"
#include "engine/runtime/lossy_modes.h"
#include "engine/runtime/model_runner.h"
#include "engine/runtime/run_stats.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using json = nlohmann::json;

struct golden_totals {
    int prompts = 0;
    int identical = 0;
    int matched = 0;
    int steps = 0;
    int decode_steps = 0;
    double decode_seconds = 0.0;
    double worst = 0.0;
    double nll_sum = 0.0;
};

// One reference step's (token, logit) pairs.
using top_pairs = std::vector<std::pair<int32_t, float>>;

// The record's label: booleans and every kind of JSON number are accepted and converted; other types are the JSON
// library's type error.
int record_label(const json& record) {
    const json& label = record.at("prompt");
    if (label.is_number_float()) {
        const double d = label.get<double>();
        return std::isnan(d) ? 0 : static_cast<int>(std::clamp(d, double(INT_MIN), double(INT_MAX)));
    }
    if (label.is_number_unsigned()) return static_cast<int>(std::min<uint64_t>(label.get<uint64_t>(), INT_MAX));
    if (label.is_number_integer())
        return static_cast<int>(std::clamp<int64_t>(label.get<int64_t>(), INT_MIN, INT_MAX));
    return label.get<int>();
}

// "gen" and "top" within the limits of the data, so that no step reads outside the logits or the record.
void read_reference(const json& record, int32_t n_vocab, std::vector<int32_t>& gen, std::vector<top_pairs>& top) {
    gen = record.at("gen").get<std::vector<int32_t>>();
    const json& steps = record.at("top");
    if (!steps.is_array()) (void)steps.get<std::vector<json>>();  // the library's type error
    if (steps.size() < gen.size()) throw std::runtime_error("golden record has fewer \"top\" entries than \"gen\" tokens");
    auto check_id = [n_vocab](int64_t id) {
        if (id < 0 || id >= n_vocab) throw std::runtime_error("golden record token id out of range");
    };
    for (int32_t id : gen) check_id(id);
    top.assign(gen.size(), {});
    for (size_t i = 0; i < gen.size(); ++i) {
        for (const json& pair : steps[i].get<std::vector<json>>()) {
            if (!pair.is_array() || pair.size() < 2)
                throw std::runtime_error("golden record has a \"top\" pair without a token id and a logit");
            const int64_t id = pair[0].get<int64_t>();
            check_id(id);
            top[i].emplace_back(static_cast<int32_t>(id), pair[1].get<float>());
        }
    }
}

size_t first_largest(const std::vector<float>& logits) {
    return static_cast<size_t>(std::max_element(logits.begin(), logits.end()) - logits.begin());
}

// -log softmax(logits)[ref], computed around the largest logit in double precision.
double negative_log_likelihood(const std::vector<float>& logits, size_t a, int32_t ref) {
    const double la = logits[a];
    double sum = 0.0;
    for (float l : logits) sum += std::exp(double(l) - la);
    return std::log(sum) + la - double(logits[static_cast<size_t>(ref)]);
}

void replay_record(const json& record, model_runner& runner, int32_t n_vocab, golden_totals& totals) {
    const std::vector<int32_t> prompt = record.at("prompt_tokens").get<std::vector<int32_t>>();
    std::vector<int32_t> gen;
    std::vector<top_pairs> top;
    read_reference(record, n_vocab, gen, top);
    const int label = record_label(record);

    runner.n_past[0] = 0;
    const std::vector<float>* logits = &runner.eval_sequence(prompt);
    const auto start = std::chrono::steady_clock::now();
    int matches = 0;
    long first_miss = -1;
    double diff = 0.0;
    for (size_t i = 0; i < gen.size(); ++i) {
        const int32_t ref = gen[i];
        const size_t a = first_largest(*logits);
        if (a == static_cast<size_t>(ref))
            ++matches;
        else if (first_miss < 0)
            first_miss = static_cast<long>(i);
        totals.nll_sum += negative_log_likelihood(*logits, a, ref);
        for (const auto& [id, logit] : top[i])
            diff = std::max(diff, static_cast<double>(std::fabs((*logits)[static_cast<size_t>(id)] - logit)));
        // The reference token, not the greedy one, is evaluated next.
        if (i + 1 < gen.size()) logits = &runner.eval_sequence({ref});
    }
    totals.decode_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int n = static_cast<int>(gen.size());
    totals.prompts += 1;
    totals.steps += n;
    if (n > 0) totals.decode_steps += n - 1;
    totals.matched += matches;
    if (matches == n) totals.identical += 1;
    totals.worst = std::max(totals.worst, diff);

    const std::string miss = first_miss < 0 ? "" : " (first miss at step " + std::to_string(first_miss) + ")";
    std::printf("prompt %2d: %3zu prompt tokens, greedy match %d/%zu%s, max |logit diff| on reference top-5 %.3g\n",
                label, prompt.size(), matches, gen.size(), miss.c_str(), diff);
    std::fflush(stdout);
}

}  // namespace

int cmd_golden(const engine_options& options) {
    model mdl = open_pack(options.pack_dir);
    std::unique_ptr<expert_cache> cache = make_expert_cache(mdl, options, kv_cache_bytes(mdl.hparams, options.n_ctx, 1));
    auto runner = std::make_unique<model_runner>(mdl, *cache, options.n_threads, options.n_ctx, options.prefetch, 1);
    // The experts as stored: the interleaved layouts of the faster kernels change the results.
    runner->repack_experts = false;
    runner->lossy = lossy_params_from_options(options);
    std::fprintf(stderr, "core %.2f GB resident, expert cache %d slots (%.0f MB)\n", double(mdl.core_bytes) / 1e9,
                 cache->n_slots(), double(cache->n_slots()) * double(cache->expert_bytes()) / 1048576.0);

    std::ifstream in(options.input_path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + options.input_path);
    golden_totals totals;
    std::string line;
    while (totals.prompts < options.n_prompts && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        replay_record(json::parse(line), *runner, mdl.hparams.n_vocab, totals);
    }

    std::printf("\n%d/%d prompts identical, %d/%d steps match, worst logit diff %.3g, decode %.2f tok/s\n",
                totals.identical, totals.prompts, totals.matched, totals.steps, totals.worst,
                double(totals.decode_steps) / std::max(1e-9, totals.decode_seconds));
    const double mean = totals.nll_sum / std::max(1, totals.steps);
    std::printf("mean NLL of reference tokens %.4f (perplexity %.4f)\n", mean, std::exp(mean));
    std::fflush(stdout);
    print_run_stats(*cache, *runner);

    in.close();
    runner.reset();
    cache.reset();
    return totals.identical == totals.prompts ? 0 : 2;
}
