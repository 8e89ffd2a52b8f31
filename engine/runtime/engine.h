// The engine: the model host of `run` and `serve`. It opens a pack, owns the expert cache and the model runner, and
// runs one worker thread that serves every text generation of the process.
//
// Callers on any thread hand a request to generate(), which queues it and blocks until the worker is through with
// it. The worker admits queued requests into the runner's slots (up to -np at once), choosing for each the slot
// whose cached tokens share the longest prefix with its prompt, and advances all admitted requests together, one
// batched evaluation per pass: prompt chunks of at most 512 tokens, or the last sampled token plus draft tokens.
// Text leaves through each request's on_text on the worker thread.
//
// Threads and locking
// - `mutex_` (the engine mutex) guards queue_, stop_ and every request's `done` flag; `cv_` is used in both
//   directions, always with notify_all: generate() announces a new request, the worker ends every pass with one.
// - Only the worker touches admitted requests, the slots, slot_tokens, the saved prompt KV store (after
//   construction), the runner and the cache. It calls on_text without the mutex, one callback after another.
// - A request is retired (done set, removed from the active list) in one locked section; after that the worker never
//   touches it again, because its owner may return from generate() and free it at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <istream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chat.h"
#include "engine/runtime/engine_options.h"
#include "engine/pack/model.h"
#include "engine/runtime/expert_cache.h"
#include "engine/runtime/generation.h"
#include "engine/runtime/model_runner.h"
#include "engine/runtime/saved_kv_store.h"

struct llama_model;
struct llama_vocab;

class engine {
public:
    // Builds everything and starts the worker: opens the pack, loads core.gguf's vocabulary and chat template,
    // builds the expert cache and the runner, warms the cache from hot.bin, then prints the banner on stderr.
    // The pack's chat template is first test-rendered in a child process (chat_template_probe.h).
    // Throws the pack's, the probe's, the cache's or the runner's errors, "cannot load vocabulary from core.gguf",
    // or "the vocabulary of " + core path + " has N tokens, its output M rows"; what was
    // built is released.
    explicit engine(const engine_options& options);
    // Stops and joins the worker, then frees everything. No generate() may be in progress.
    ~engine();
    engine(const engine&) = delete;
    engine& operator=(const engine&) = delete;

    // Generates up to max_tokens tokens after `prompt` and blocks until done; text goes to on_text on the worker
    // thread. `lossy` overrides the engine's default knobs for this request (nullptr: the defaults). Throws "empty
    // prompt" or "prompt longer than the context" before queueing, or the error that ended the request.
    // Safe to call from any number of threads at once.
    generation_stats generate(const std::vector<int32_t>& prompt, int32_t max_tokens, const sampling_params& sampling,
                              const std::vector<std::string>& stop, const on_text_fn& on_text,
                              const lossy_params* lossy = nullptr);
    // The text's tokens, special tokens added and special-token text parsed. Safe from any thread.
    std::vector<int32_t> tokenize(const std::string& text) const;
    // The runner's context length per slot (a multiple of 256).
    int32_t n_ctx() const;
    // Requests waiting in the queue for a slot at this moment. Safe from any thread (takes the engine mutex, so not
    // from inside a callback that the worker makes with it held; on_text is never such a callback).
    size_t queued_requests() const;

    // Read by the front ends, never written by them.
    engine_options options;
    model mdl;
    const llama_vocab* vocab = nullptr;  // of core.gguf, loaded without weights
    int32_t n_vocab = 0;                 // width of one logits row
    common_chat_templates_ptr templates;
    std::unique_ptr<expert_cache> cache;
    std::unique_ptr<model_runner> runner;  // destroyed before the cache; its `lossy` holds the default knobs
    std::vector<std::vector<int32_t>> slot_tokens;  // worker only: per slot, the tokens whose KV it holds

    // The saved prompt KV store of the pack's kv folder. Worker only once generate() may run; for tests and tools
    // while no generation is in progress.
    const saved_kv_store& saved_kvs() const { return *saved_kvs_; }

private:
    struct backend_guard {
        backend_guard();
        ~backend_guard();
    };
    struct llama_model_deleter {
        void operator()(llama_model* m) const;
    };

    backend_guard backend_;
    std::unique_ptr<llama_model, llama_model_deleter> llama_model_;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<generation_request*> queue_;  // [mutex_] waiting for a slot, oldest first
    bool stop_ = false;                      // [mutex_]
    std::vector<generation_request*> active_;    // worker only
    std::vector<generation_request*> finished_;  // worker only: finished during the current pass
    uint64_t passes_ = 0;                        // worker only
    std::unique_ptr<saved_kv_store> saved_kvs_;  // worker only (the scan runs before it starts)
    std::thread worker_;

    void worker_loop();
    void admit(generation_request& r);
    void step_batch();
    void finish_request(generation_request& r);
    bool is_finished(const generation_request* r) const;
    void send_queue_keepalives(std::unique_lock<std::mutex>& lock);
    void ram_recheck();

    // The request's slot and the vocabulary, as the generation steps (generation.h) take them.
    slot_view slot_of(const generation_request& r);
    token_vocab token_vocab_of() const { return {vocab, n_vocab}; }

    // hot.bin in the pack folder: usage scores that survive a restart (hot_bin.cpp).
    void load_hot_bin();
    void save_hot_bin();

    // The saved prompt KV store's side in the slots: cells restored into a slot at admission, a finished prompt's
    // cells saved.
    int32_t restore_saved_kv(generation_request& r, int32_t reuse, int32_t slot);
    void save_prompt_kv(const generation_request& r, int32_t slot);
};
