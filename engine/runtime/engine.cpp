#include "engine/runtime/engine.h"

#include "engine/runtime/library_log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "engine/runtime/cache_sizing.h"
#include "engine/runtime/chat_template_probe.h"
#include "engine/runtime/lossy_modes.h"
#include "llama.h"

namespace {

constexpr int64_t prompt_chunk = 512;                    // most prompt tokens of one request per pass
constexpr int64_t queue_keepalive_ns = 15'000'000'000;   // keep-alive period of a queued request

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double seconds_since(int64_t start_ns) { return double(now_ns() - start_ns) / 1e9; }

}  // namespace

engine::backend_guard::backend_guard() {
    install_library_log_filter();
    llama_backend_init();
}
engine::backend_guard::~backend_guard() { llama_backend_free(); }
void engine::llama_model_deleter::operator()(llama_model* m) const { llama_model_free(m); }

engine::engine(const engine_options& opts) : options(opts) {
    mdl = open_pack(options.pack_dir);
    // The template is the pack's: it must render under limits elsewhere before it is initialised here.
    probe_chat_template(mdl.core_path);

    // core.gguf serves only for its vocabulary and chat template: load it without weights.
    llama_model_params params = llama_model_default_params();
    params.vocab_only = true;
    llama_model_.reset(llama_model_load_from_file(mdl.core_path.c_str(), params));
    if (!llama_model_) throw std::runtime_error("cannot load vocabulary from core.gguf");
    vocab = llama_model_get_vocab(llama_model_.get());
    n_vocab = llama_vocab_n_tokens(vocab);
    // Logits rows are as wide as the head's output; the samplers read them as wide as the vocabulary.
    if (n_vocab != mdl.hparams.n_vocab)
        throw std::runtime_error("the vocabulary of " + mdl.core_path + " has " + std::to_string(n_vocab) +
                                 " tokens, its output " + std::to_string(mdl.hparams.n_vocab) + " rows");
    templates = common_chat_templates_init(llama_model_.get(), "", "", "");

    cache = make_expert_cache(mdl, options, kv_cache_bytes(mdl.hparams, options.n_ctx, options.n_parallel),
                              engine_working_bytes(mdl.hparams, options.n_ctx, options.n_parallel, prompt_chunk,
                                                   mdl.arch == "gpt-oss"));
    runner = std::make_unique<model_runner>(mdl, *cache, options.n_threads, options.n_ctx, options.prefetch,
                                            options.n_parallel);
    runner->lossy = lossy_params_from_options(options);
    slot_tokens.assign(runner->n_past.size(), {});
    load_hot_bin();
    // Like a model load: the first prompt then computes in memory that is already there.
    runner->prefault_scratch(prompt_graph_bytes(mdl.hparams, options.n_ctx, prompt_chunk, mdl.arch == "gpt-oss"));
    saved_kvs_ = std::make_unique<saved_kv_store>(std::filesystem::path(options.pack_dir) / "kv", options.kv_disk_mb,
                                                  runner->kv_cell_bytes(), runner->n_ctx);
    saved_kvs_->scan();

    worker_ = std::thread([this] { worker_loop(); });

    std::fprintf(stderr, "core %.2f GB resident, expert cache %d slots (%.0f MB, %s), context %d\n",
                 double(mdl.core_bytes) / 1e9, cache->n_slots(),
                 double(cache->n_slots()) * double(cache->expert_bytes()) / 1048576.0,
                 options.cache_mb != 0 ? "fixed" : "auto", runner->n_ctx);
}

engine::~engine() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
    runner.reset();
    cache.reset();
    llama_model_.reset();
}

int32_t engine::n_ctx() const { return runner->n_ctx; }

size_t engine::queued_requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

std::vector<int32_t> engine::tokenize(const std::string& text) const {
    const int32_t count = -llama_tokenize(vocab, text.data(), int32_t(text.size()), nullptr, 0, true, true);
    std::vector<int32_t> tokens(size_t(std::max(count, 0)));
    if (!tokens.empty())
        llama_tokenize(vocab, text.data(), int32_t(text.size()), tokens.data(), int32_t(tokens.size()), true, true);
    return tokens;
}

generation_stats engine::generate(const std::vector<int32_t>& prompt, int32_t max_tokens,
                                  const sampling_params& sampling, const std::vector<std::string>& stop,
                                  const on_text_fn& on_text, const lossy_params* lossy) {
    if (prompt.empty()) throw std::runtime_error("empty prompt");
    if (int64_t(prompt.size()) >= int64_t(n_ctx())) throw std::runtime_error("prompt longer than the context");

    generation_request r;
    r.prompt = prompt;
    r.max_tokens = max_tokens;
    r.sampling = sampling;
    r.stop = stop;
    r.on_text = on_text;
    r.lossy = lossy ? *lossy : runner->lossy;

    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(&r);
    cv_.notify_all();
    cv_.wait(lock, [&] { return r.done; });
    if (r.error) std::rethrow_exception(r.error);
    return r.stats;
}

void engine::worker_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stop_) return;
        if (queue_.empty() && active_.empty()) {
            cv_.wait(lock);
            continue;
        }
        while (!queue_.empty() && active_.size() < slot_tokens.size()) {
            generation_request* r = queue_.front();
            queue_.pop_front();
            active_.push_back(r);
            lock.unlock();
            try {
                admit(*r);
            } catch (...) {
                r->error = std::current_exception();
                finished_.push_back(r);
            }
            lock.lock();
        }

        lock.unlock();
        ++passes_;
        if (options.cache_mb == 0 && passes_ % 16 == 0) ram_recheck();
        step_batch();

        lock.lock();
        for (generation_request* r : finished_) {
            active_.erase(std::find(active_.begin(), active_.end(), r));
            r->done = true;
        }
        finished_.clear();
        send_queue_keepalives(lock);
        cv_.notify_all();
    }
}

// Called and returns with the lock held; releases it around the callbacks.
void engine::send_queue_keepalives(std::unique_lock<std::mutex>& lock) {
    const std::vector<generation_request*> queued(queue_.begin(), queue_.end());
    lock.unlock();
    std::vector<generation_request*> gone;
    for (generation_request* r : queued) {
        const int64_t now = now_ns();
        if (now - r->phase_start_ns < queue_keepalive_ns) continue;
        r->phase_start_ns = now;
        try {
            if (!r->on_text(token_text())) {
                r->stats.finish_reason = "stop";
                gone.push_back(r);
            }
        } catch (...) {
            r->error = std::current_exception();
            gone.push_back(r);
        }
    }
    lock.lock();
    for (generation_request* r : gone) {
        queue_.erase(std::find(queue_.begin(), queue_.end(), r));
        r->done = true;
    }
}

void engine::admit(generation_request& r) {
    if (options.cache_mb == 0) ram_recheck();

    const int32_t n = int32_t(r.prompt.size());
    int32_t slot = -1;
    size_t best = 0;
    for (int32_t s = 0; s < int32_t(slot_tokens.size()); ++s) {
        const bool held = std::any_of(active_.begin(), active_.end(),
                                      [&](const generation_request* a) { return a->slot == s; });
        if (held) continue;
        const std::vector<int32_t>& cached = slot_tokens[size_t(s)];
        const size_t limit = std::min(cached.size(), r.prompt.size());
        size_t common = 0;
        while (common < limit && cached[common] == r.prompt[common]) ++common;
        if (slot < 0 || common > best) {
            slot = s;
            best = common;
        }
    }
    if (slot < 0) throw std::logic_error("no free slot at admission");
    r.slot = slot;

    r.stats.prompt_tokens = n;
    int32_t reuse = std::min<int32_t>(n - 1, int32_t(best));  // the last prompt token is always evaluated
    reuse = restore_saved_kv(r, reuse, slot);
    int32_t& n_past = runner->n_past[size_t(slot)];
    n_past = std::min(n_past, reuse);
    if (slot_tokens[size_t(slot)].size() > size_t(reuse)) slot_tokens[size_t(slot)].resize(size_t(reuse));
    r.stats.reused_tokens = reuse;
    r.pos = reuse;

    r.sampler = make_sampler_chain(r.sampling);
    r.hold_back = stop_hold_back(r.stop);
    r.phase_start_ns = now_ns();
}

slot_view engine::slot_of(const generation_request& r) {
    return {slot_tokens[size_t(r.slot)], runner->n_past[size_t(r.slot)], runner->n_ctx};
}

bool engine::is_finished(const generation_request* r) const {
    return std::find(finished_.begin(), finished_.end(), r) != finished_.end();
}

void engine::step_batch() {
    std::vector<generation_request*> reqs;
    std::vector<sequence_request> batch;
    for (generation_request* r : active_) {
        if (is_finished(r)) continue;
        sequence_request s;
        s.slot = r->slot;
        s.lossy = r->lossy;
        const int64_t n = int64_t(r->prompt.size());
        if (r->pos < n) {
            const int64_t c = std::min(prompt_chunk, n - r->pos);
            s.tokens.assign(r->prompt.begin() + r->pos, r->prompt.begin() + r->pos + c);
        } else {
            r->draft = propose_draft(*r, slot_of(*r), options.draft_max);
            s.tokens.push_back(r->last_token);
            s.tokens.insert(s.tokens.end(), r->draft.begin(), r->draft.end());
            s.all_logits = !r->draft.empty();
        }
        reqs.push_back(r);
        batch.push_back(std::move(s));
    }
    if (batch.empty()) return;

    const std::vector<float>* logits = nullptr;
    try {
        logits = &runner->eval(batch);
    } catch (...) {
        // A failed step fails every request in it; the slots stay usable since admission cuts n_past.
        for (generation_request* r : reqs) {
            r->error = std::current_exception();
            finish_request(*r);
        }
        return;
    }

    size_t row = 0;
    for (size_t i = 0; i < reqs.size(); ++i) {
        generation_request& r = *reqs[i];
        const sequence_request& s = batch[i];
        const float* rows = logits->data() + row * size_t(n_vocab);
        row += s.all_logits ? s.tokens.size() : 1;
        // A callback or the sampler failing ends only its own request.
        try {
            if (r.pos >= int64_t(r.prompt.size())) {
                if (!verify_draft(r, rows, token_vocab_of(), slot_of(r))) finish_request(r);
                continue;
            }
            std::vector<int32_t>& cached = slot_tokens[size_t(r.slot)];
            cached.insert(cached.end(), s.tokens.begin(), s.tokens.end());
            r.pos += int64_t(s.tokens.size());
            if (r.pos == int64_t(r.prompt.size())) {
                r.stats.prefill_seconds = seconds_since(r.phase_start_ns);
                r.phase_start_ns = now_ns();
                if (!sample_token(r, rows, token_vocab_of(), slot_of(r))) finish_request(r);
            } else if (!r.on_text(token_text())) {  // keep-alive between prompt chunks
                r.stats.finish_reason = "stop";
                finish_request(r);
            }
        } catch (...) {
            if (is_finished(&r)) continue;  // failed after it finished (cannot happen today; keep it safe)
            r.error = std::current_exception();
            finish_request(r);
        }
    }
}

void engine::finish_request(generation_request& r) {
    if (!r.error && !r.output.empty()) {
        try {
            r.on_text(r.output);  // the last delivery; its answer no longer matters
        } catch (...) {
            r.error = std::current_exception();
        }
    }
    r.stats.generate_seconds = seconds_since(r.phase_start_ns);
    if (r.sampler) {
        llama_sampler_free(r.sampler);
        r.sampler = nullptr;
    }
    if (!r.error) save_prompt_kv(r, r.slot);
    save_hot_bin();
    finished_.push_back(&r);
}

int32_t engine::restore_saved_kv(generation_request& r, int32_t reuse, int32_t slot) {
    const saved_kv_store::restored got =
        saved_kvs_->restore(r.prompt, reuse, [&](std::istream& in, int32_t n_use, int32_t n_stored) {
            runner->load_kv(in, n_use, n_stored, slot);
        });
    if (got.failed) {
        runner->n_past[size_t(slot)] = 0;
        slot_tokens[size_t(slot)].clear();
        return 0;
    }
    if (got.tokens > reuse) {
        slot_tokens[size_t(slot)].assign(r.prompt.begin(), r.prompt.begin() + got.tokens);
        r.stats.disk_tokens = got.tokens;
    }
    return got.tokens;
}

void engine::save_prompt_kv(const generation_request& r, int32_t slot) {
    const std::vector<int32_t>& prompt = r.prompt;
    const std::vector<int32_t>& cached = slot_tokens[size_t(slot)];
    // Only a prompt whose cells are all in the slot, in order, can be saved.
    if (runner->n_past[size_t(slot)] < int32_t(prompt.size())) return;
    if (cached.size() < prompt.size() || !std::equal(prompt.begin(), prompt.end(), cached.begin())) return;
    saved_kvs_->save(prompt, [&](std::ostream& out, int32_t n) { runner->save_kv(out, n, slot); });
}

void engine::ram_recheck() {
    try {
        apply_budget_rule(*cache);
    } catch (const std::exception&) {
        // The cache could not grow (or shrink) now: it keeps its size and the next check tries again.
    }
}
