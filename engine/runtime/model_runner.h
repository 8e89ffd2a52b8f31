// The model runner: evaluates a Mixture-of-Experts transformer ("qwen3moe" or "gpt-oss") on the CPU, one layer at
// a time, for a batch of token sequences that belong to different parallel slots.
//
// Each slot has its own F16 key-value cache of n_ctx cells per layer, allocated once. One `eval` step embeds the new
// tokens, then per layer runs one ggml graph for the batch's attention and routing (attention_graph.cpp) and
// the layer's MoE step over the whole batch with experts taken from the expert cache (moe_layer.cpp), and ends
// with the output norm and head for the rows whose logits are wanted.
//
// Threads: the runner has no lock; one thread at a time (the engine worker, or a driver's own thread) calls it.
// Inside a graph computation the CPU backend's thread pool of n_threads threads does the arithmetic. The expert
// cache it calls is safe for that use (see expert_cache.h). The runner must be destroyed before the cache.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "engine/pack/model.h"
#include "ggml-cpp.h"
#include "engine/runtime/lossy_params.h"
#include "platform/virtual_memory.h"

class expert_cache;
class expert_repacker;
struct ggml_backend;
struct ggml_tensor;
struct ggml_threadpool;

// One element of the batch given to `eval`.
struct sequence_request {
    int32_t slot = 0;
    std::vector<int32_t> tokens;  // the new tokens of this step
    bool all_logits = false;      // logits for every token, else only for the last
    lossy_params lossy;           // this request's knobs
};

// Built by `eval` per element of the batch, in batch order.
struct sequence_state {
    int32_t slot = 0;
    int32_t first_row = 0;  // row of the sequence's first token in the batch's row buffers
    int32_t n_tokens = 0;
    int32_t kv_window = 0;  // KV cells that attention reads (a multiple of 256, at most n_ctx)
    bool all_logits = false;  // the request's flag, and only when n_tokens > 1
    lossy_params lossy;
    std::vector<uint16_t> causal_mask;  // F16, n_tokens rows x kv_window columns: 0 or -infinity
    std::vector<uint16_t> window_mask;  // the same with the sliding window applied
};

// Weights of one layer, looked up once at construction. Optional tensors are null when absent; a required one
// that is absent is also null and fails with "missing tensor " + name when a step needs it.
struct runner_layer_weights {
    ggml_tensor* attn_norm = nullptr;
    ggml_tensor* wq = nullptr;
    ggml_tensor* wk = nullptr;
    ggml_tensor* wv = nullptr;
    ggml_tensor* bq = nullptr;
    ggml_tensor* bk = nullptr;
    ggml_tensor* bv = nullptr;
    ggml_tensor* q_norm = nullptr;
    ggml_tensor* k_norm = nullptr;
    ggml_tensor* sinks = nullptr;
    ggml_tensor* wo = nullptr;
    ggml_tensor* bo = nullptr;
    ggml_tensor* ffn_norm = nullptr;     // ffn_norm, else post_attention_norm
    ggml_tensor* gate_inp = nullptr;
    ggml_tensor* gate_inp_b = nullptr;
    ggml_tensor* gate_exps_b = nullptr;  // expert biases ("gpt-oss")
    ggml_tensor* up_exps_b = nullptr;
    ggml_tensor* down_exps_b = nullptr;
};

// The outputs of one attention group's nodes in a graph (null when not built). A group is a sequence of several
// tokens alone, or up to max_stacked one-token sequences whose rows go through each product together; rows are in
// member order.
struct attention_nodes {
    std::vector<int32_t> members;  // indices into the batch, ascending
    ggml_tensor* h = nullptr;      // residual stream after attention (n_embd, rows)
    ggml_tensor* f = nullptr;      // normalised MoE input (n_embd, rows)
    ggml_tensor* top = nullptr;    // routed experts (k, rows), descending
    ggml_tensor* w = nullptr;      // their weights (k, rows)
    ggml_tensor* pred = nullptr;   // predicted experts of the next layer per row (one-token sequences)
    ggml_tensor* probs = nullptr;  // router probabilities of a lone one-token step with prefer_cached
};

class model_runner {
public:
    // Checks the architecture, starts the CPU backend with a thread pool of n_threads, and allocates the KV cache
    // of max(1, n_parallel) slots with n_ctx rounded up to a multiple of 256 cells each. `m` and `cache` must
    // outlive the runner. Throws "unsupported model arch " + arch + " (qwen3moe, gpt-oss)", "no ggml CPU backend
    // found", "ggml CPU backend lacks " + name, or "cannot allocate KV cache".
    model_runner(model& m, expert_cache& cache, int32_t n_threads, int32_t n_ctx, int32_t prefetch,
                 int32_t n_parallel);
    // Frees the KV cache, the backend and then the thread pool.
    ~model_runner();
    model_runner(const model_runner&) = delete;
    model_runner& operator=(const model_runner&) = delete;

    // Evaluates one batch step and advances each named slot's n_past by its token count. Returns the logit rows
    // in batch order (every token of an all_logits sequence, else its last token), n_vocab floats each; the
    // reference stays valid until the next eval. Errors: "eval: no sequences", then per request in order
    // "eval: slot out of range", "eval: no tokens", "context full", "eval: slot twice in one batch" (all before
    // any layer runs), "ggml graph compute failed", and the expert cache's and tensor lookups' errors. After a
    // failure no slot's n_past has changed.
    const std::vector<float>& eval(const std::vector<sequence_request>& batch);
    // eval of slot 0 alone: only the last token's logits, the runner's default lossy knobs.
    const std::vector<float>& eval_sequence(const std::vector<int32_t>& tokens);

    // Faults in the first `bytes` of the scratch memory that step graphs use (kept until a decode step trims it), so
    // that the first prompt does not wait for the system to provide and zero it page by page inside its graphs.
    void prefault_scratch(size_t bytes);

    // Reads the first n of n_stored stored cells of every layer (K then V per layer) into the slot and sets its
    // n_past to n. Throws "load_kv: slot out of range", "load_kv: bad cell count" (n > n_stored or n > n_ctx),
    // "load_kv: short read" or "load_kv: cells are not finite" (an F16 infinity or NaN; n_past is then 0).
    void load_kv(std::istream& in, int32_t n, int32_t n_stored, int32_t slot);
    // Writes the first n cells of every layer of the slot: per layer the K rows, then the V rows. Throws
    // "save_kv: slot out of range", "save_kv: only " + n_past + " cells cached" or "save_kv: write failed".
    void save_kv(std::ostream& out, int32_t n, int32_t slot);
    // Bytes that save_kv writes per cell: K and V of all layers, F16.
    uint64_t kv_cell_bytes() const { return uint64_t(hparams.n_layer) * kv_row_bytes() * 2; }

    // Steps of one eval, public for the tests that drive them directly.

    // Attention and routing of one layer for every sequence of `seqs`: replaces the rows of hidden, writes
    // ffn_input, routes, route_weights, router_probs and next_experts and the slot's KV cells.
    void attend_and_route(int32_t layer);
    // The MoE step of one layer over all n_rows rows of the batch: lossy routing, experts from the cache chunk by
    // chunk, prefetch of next_experts, and the weighted sum added to hidden.
    void moe_layer(int32_t layer, int32_t n_rows);
    // Applies the batch's lossy knobs to routes and route_weights.
    void apply_lossy_routing(int32_t layer, int32_t n_rows);
    // Computes the experts `group` (indices into the layer's distinct-expert list) on all their entries and writes
    // their rows of expert_out (and, with imatrix set, adds their squared inputs). slot[d] and entries[d] belong to
    // distinct expert d; its slots must be ready and pinned. See expert_ffn.cpp.
    void run_experts(int32_t layer, int32_t n_rows, const std::vector<int32_t>& group, const std::vector<int32_t>& slot,
                     const std::vector<std::vector<int32_t>>& entries);

    // Fields. Default knobs, counters, n_past, lossy and imatrix are read and set by the engine and the drivers.
    lossy_params lossy;                    // used by eval_sequence
    std::vector<float>* imatrix = nullptr; // importance-matrix sums (n_layer * n_expert rows of n_embd + n_ff_exp)
    // Seconds, summed over all calls. A layer's last expert graph also runs the next layer's attention, or the head
    // after the last layer: that time counts in t_experts (t_head holds only heads computed in a graph of their own).
    double t_attention = 0.0, t_experts = 0.0, t_head = 0.0;
    // The most scratch memory one graph has used so far (its objects and node data), in bytes.
    size_t scratch_high_water = 0;
    uint64_t predicted = 0, predicted_hits = 0;  // routed experts compared with the prediction, and how many hit
    uint64_t routed = 0, skipped = 0, swapped = 0;  // seen, dropped and replaced by the lossy step
    uint64_t resident_steps = 0;  // steps computed as one graph (resident_step)

    model* mdl = nullptr;
    expert_cache* cache = nullptr;
    std::string arch;
    model_hparams hparams;
    int32_t n_threads = 1;
    int32_t n_ctx = 0;      // per slot, a multiple of 256
    int32_t prefetch = 0;   // extra experts predicted for the next layer; negative = no prediction
    std::vector<int32_t> n_past;  // KV cells filled per slot; its length is the number of slots
    bool is_gpt_oss = false;

    ggml_backend* backend = nullptr;
    ggml_threadpool* threadpool = nullptr;
    void (*threadpool_free)(ggml_threadpool*) = nullptr;

    std::vector<sequence_state> seqs;     // the current batch
    std::vector<float> hidden;            // residual stream, n_embd per batch row
    std::vector<float> ffn_input;         // normalised MoE input, n_embd per batch row
    std::vector<int32_t> routes;          // n_expert_used per row, descending router order; -1 = dropped
    std::vector<float> route_weights;
    std::vector<int32_t> next_experts;    // predicted for the next layer
    std::vector<float> router_probs;      // all experts' probabilities of a single-token step (prefer_cached)
    // n_embd per (row, routed position), index row * n_expert_used + k: sized by the steps whose layers take more
    // than one graph or set (see expert_ffn.cpp)
    std::vector<float> expert_out;
    std::vector<float> logits;            // n_vocab per logit row of the last eval

    std::vector<runner_layer_weights> layers;  // per layer, looked up once
    // Experts expected to stay resident (expert_cache::expected_to_stay) are repacked in place for ggml's faster
    // interleaved kernels where it has them (expert_repack.h); experts that stream through the cache are computed
    // as read. Such an expert is repacked by the I/O thread that read it when it is expected to stay at that
    // point, else by the step that first computes on it. Set repack_experts to false before the first read to
    // compute on the plain layout only.
    std::unique_ptr<expert_repacker> repacker;
    std::atomic<bool> repack_experts{true};
    ggml_context* kv_ctx = nullptr;            // holds every K and V tensor
    std::vector<ggml_tensor*> k_cache, v_cache;  // index slot * n_layer + layer: F16 (head_dim, n_head_kv, n_ctx)

private:
    // A ggml context with data on the runner's scratch memory, big enough for `bytes` of tensors and objects and
    // a graph of `nodes` nodes (scratch grows, never shrinks). Release it before asking for the next one.
    ggml_context_ptr scratch_context(size_t bytes, size_t nodes);
    // The scratch that such a context takes.
    static size_t context_bytes(size_t bytes, size_t nodes);
    // Attention and routing of `layer` for every sequence of the batch, reading the batch's rows x (n_embd, R) of
    // the residual stream, appended to gf (attention_graph.cpp), one set of nodes per attention group in batch
    // order; predict_next false leaves out the prediction of the next layer's experts. attention_bytes and
    // attention_node_count bound what it builds; take_attention copies the computed outputs into the row buffers,
    // merges the predictions and closes the layer (recall counters, next_experts).
    std::vector<attention_nodes> build_attention(ggml_context* ctx, struct ggml_cgraph* gf, int32_t layer,
                                                 ggml_tensor* x, bool predict_next = true);
    size_t attention_bytes() const;
    size_t attention_node_count() const;
    void take_attention(const std::vector<attention_nodes>& groups);
    // run_experts, and for the layer's last group (finish) also the weighted sum of the layer's expert outputs into
    // the residual stream followed by the next layer's attention and routing, or after the last layer by the
    // output norm and head, all in one graph (expert_ffn.cpp).
    void run_expert_graph(int32_t layer, int32_t n_rows, const std::vector<int32_t>& group, const std::vector<int32_t>& slot,
                          const std::vector<std::vector<int32_t>>& entries, bool finish);
    // The resident step (resident_step.cpp): while every expert is resident in key order (and the step is a few rows
    // of one attention group without lossy knobs or importance sums), the whole step is one graph, as libllama
    // computes a model, with each layer's experts taken from the arena by the router's choices in the graph.
    bool resident_step_fits(int32_t n_rows);
    void resident_step(int32_t n_rows);
    size_t resident_step_bytes(int32_t n_rows) const;
    size_t resident_step_nodes() const;
    // The MoE output of one layer added to the residual n.h, its experts read in place in the arena.
    ggml_tensor* add_resident_moe(ggml_context* ctx, ggml_context* views, int32_t layer, const attention_nodes& n);
    // Per layer: whether its experts are computed repacked; repacks in the step's first node what is not yet.
    void plan_resident_repack(struct graph_repack& repack);
    // The expert biases of a "gpt-oss" layer (all null for other models); throws for a missing one.
    struct expert_biases layer_expert_biases(int32_t layer) const;
    // Frees what the runner owns (destructor, and a constructor that fails half-way).
    void release();
    // Bytes of one KV cell of one layer: all heads of one position.
    size_t kv_row_bytes() const { return static_cast<size_t>(hparams.head_dim) * hparams.n_head_kv * 2; }
    void grow_scratch(size_t bytes);
    // Gives back the scratch pages above what a step of one token per slot uses (or the coming step's context of
    // step_bytes, when more), and the expert output rows. Runs before a decode step, so that the chunks of a long
    // prompt reuse what the first one faulted in.
    void trim_scratch(size_t step_bytes);
    // Scratch bytes eval reserves for a batch of n_rows rows, L logit rows and a KV window of W cells.
    size_t step_scratch_bytes(int32_t n_rows, int32_t L, int32_t W) const;
    // Computes a graph on the CPU backend; throws "ggml graph compute failed".
    void compute(struct ggml_cgraph* gf);
    void prepare_batch(const std::vector<sequence_request>& batch);
    void run_head();
    // The cache's after-read call: repacks a blob just read when it is expected to stay resident.
    void repack_after_read(int32_t slot, int64_t key, bool lowbit);
    // The output norm and head over the wanted rows of h (n_embd, batch rows) appended to gf, the product written
    // straight into logits (sized here); `views` is a context without memory for it. head_rows counts the
    // wanted rows, head_bytes is the scratch the other nodes take.
    ggml_tensor* add_head(ggml_context* ctx, ggml_context* views, struct ggml_cgraph* gf, ggml_tensor* h);
    int64_t head_rows() const;
    size_t head_bytes() const;
    ggml_tensor* output_weight();  // looked up once
    ggml_tensor* find_output_weight();
    // Tensor or "missing tensor " + the name that the pattern gives for the layer.
    ggml_tensor* require(ggml_tensor* t, const char* pattern, int32_t layer) const;

    // Memory for the per-step ggml contexts: address space that only holds pages where a graph wrote. What a
    // prompt's batch touched beyond a one-token step's need is given back after it (trim_scratch).
    reserved_memory scratch_;
    size_t scratch_size_ = 0;
    size_t scratch_touched_ = 0;  // bytes of the largest context handed out since the last trim
    // Highest layer of the current eval whose attention and routing already ran (inside the previous layer's
    // last expert graph).
    int32_t attended_ = -1;
    // The current eval's logits are computed (inside the last layer's last expert graph).
    bool head_done_ = false;
    // The resident step's layout per layer (1: repacked), checked when the cache has read something since
    // (resident_checked_at_ holds its reads_started then).
    std::vector<uint8_t> resident_packed_;
    uint64_t resident_checked_at_ = UINT64_MAX;
    ggml_tensor* output_weight_ = nullptr;
    // kv_ctx's memory, allocated by us so that a size the system refuses is an error, not an abort.
    void* kv_memory_ = nullptr;
};
