#include "engine/runtime/model_runner.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <thread>

#include "engine/runtime/expert_cache.h"
#include "engine/runtime/expert_repack.h"
#include "engine/runtime/kv_masks.h"
#include "ggml-backend.h"
#include "ggml-cpu.h"
#include "ggml.h"

namespace {

using seconds = std::chrono::duration<double>;

constexpr int32_t decode_step_tokens = 8;  // at most this many tokens per sequence: a decode step, not a prompt
constexpr size_t scratch_reservation = size_t(64) << 30;  // address space only: no memory until committed and written
// Scratch is committed, faulted in and given back in whole huge pages.
constexpr size_t huge_page = size_t(2) << 20;

size_t whole_huge_pages(size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }

double since(std::chrono::steady_clock::time_point t0) {
    return seconds(std::chrono::steady_clock::now() - t0).count();
}

template <class F>
F proc(ggml_backend_reg_t reg, const char* name) {
    void* p = ggml_backend_reg_get_proc_address(reg, name);
    if (!p) throw std::runtime_error(std::string("ggml CPU backend lacks ") + name);
    return reinterpret_cast<F>(p);
}

// a * b (+ c) in size_t, or false on overflow.
bool mul_add(size_t a, size_t b, size_t c, size_t& out) {
    return !__builtin_mul_overflow(a, b, &out) && !__builtin_add_overflow(out, c, &out);
}

}  // namespace

model_runner::model_runner(model& m, expert_cache& c, int32_t threads, int32_t ctx, int32_t prefetch_,
                           int32_t n_parallel)
    : mdl(&m), cache(&c), arch(m.arch), hparams(m.hparams), n_threads(threads), prefetch(prefetch_) {
    is_gpt_oss = arch == "gpt-oss";
    if (!is_gpt_oss && arch != "qwen3moe") {
        throw std::runtime_error("unsupported model arch " + arch + " (qwen3moe, gpt-oss)");
    }
    n_ctx = round_context(ctx);
    n_past.assign(std::max(1, n_parallel), 0);

    // The ggml objects below are freed by the destructor, which does not run when the constructor throws.
    try {
        ggml_backend_dev_t dev = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
        if (!dev) {
            ggml_backend_load_all();
            dev = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
        }
        if (!dev) throw std::runtime_error("no ggml CPU backend found");
        backend = ggml_backend_dev_init(dev, nullptr);
        if (!backend) throw std::runtime_error("no ggml CPU backend found");

        repacker = std::make_unique<expert_repacker>(dev);
        ggml_backend_reg_t reg = ggml_backend_dev_backend_reg(dev);
        threadpool_free = proc<void (*)(ggml_threadpool*)>(reg, "ggml_threadpool_free");
        auto threadpool_new = proc<ggml_threadpool* (*)(ggml_threadpool_params*)>(reg, "ggml_threadpool_new");
        ggml_threadpool_params tpp = ggml_threadpool_params_default(n_threads);
        threadpool = threadpool_new(&tpp);
        auto set_n_threads = proc<void (*)(ggml_backend_t, int)>(reg, "ggml_backend_set_n_threads");
        set_n_threads(backend, n_threads);
        auto set_threadpool = proc<void (*)(ggml_backend_t, ggml_threadpool*)>(reg, "ggml_backend_cpu_set_threadpool");
        set_threadpool(backend, threadpool);

        // KV cache: K and V of (head_dim, n_head_kv, n_ctx) F16 per slot and layer. The memory is ours, zeroed,
        // so that a size the system refuses is an error rather than ggml's abort.
        const size_t slots = n_past.size();
        const size_t n_layer = static_cast<size_t>(hparams.n_layer);
        size_t per_layer = 0, per_slot = 0, total = 0;
        const bool fits =
            mul_add(static_cast<size_t>(n_ctx) * hparams.n_head_kv, static_cast<size_t>(hparams.head_dim) * 4, 0,
                    per_layer) &&
            mul_add(per_layer, n_layer, n_layer * 2 * ggml_tensor_overhead(), per_slot) &&
            mul_add(per_slot, slots, 1024, total);
        if (!fits || !(kv_memory_ = std::calloc(1, total))) throw std::runtime_error("cannot allocate KV cache");
        kv_ctx = ggml_init({total, kv_memory_, false});
        for (size_t s = 0; s < slots; ++s) {
            for (size_t l = 0; l < n_layer; ++l) {
                k_cache.push_back(ggml_new_tensor_3d(kv_ctx, GGML_TYPE_F16, hparams.head_dim, hparams.n_head_kv, n_ctx));
                v_cache.push_back(ggml_new_tensor_3d(kv_ctx, GGML_TYPE_F16, hparams.head_dim, hparams.n_head_kv, n_ctx));
            }
        }

        layers.resize(n_layer);
        for (int32_t l = 0; l < hparams.n_layer; ++l) {
            runner_layer_weights& w = layers[l];
            auto opt = [&](const char* pattern) { return m.layer_tensor_opt(pattern, l); };
            w.attn_norm = opt("blk.%d.attn_norm.weight");
            w.wq = opt("blk.%d.attn_q.weight");
            w.wk = opt("blk.%d.attn_k.weight");
            w.wv = opt("blk.%d.attn_v.weight");
            w.bq = opt("blk.%d.attn_q.bias");
            w.bk = opt("blk.%d.attn_k.bias");
            w.bv = opt("blk.%d.attn_v.bias");
            w.q_norm = opt("blk.%d.attn_q_norm.weight");
            w.k_norm = opt("blk.%d.attn_k_norm.weight");
            w.sinks = opt("blk.%d.attn_sinks.weight");
            w.wo = opt("blk.%d.attn_output.weight");
            w.bo = opt("blk.%d.attn_output.bias");
            w.ffn_norm = opt("blk.%d.ffn_norm.weight");
            if (!w.ffn_norm) w.ffn_norm = opt("blk.%d.post_attention_norm.weight");
            w.gate_inp = opt("blk.%d.ffn_gate_inp.weight");
            w.gate_inp_b = opt("blk.%d.ffn_gate_inp.bias");
            w.gate_exps_b = opt("blk.%d.ffn_gate_exps.bias");
            w.up_exps_b = opt("blk.%d.ffn_up_exps.bias");
            w.down_exps_b = opt("blk.%d.ffn_down_exps.bias");
        }

        // The repacker's tables are complete before any I/O thread uses them: after this only the cache's I/O
        // threads (each on a slot of its own) and this runner's thread read or write them.
        for (const pack_layer& pl : m.expert_layers) repacker->layer_repackable(pl);
        for (const pack_layer& pl : m.lowbit_layers) repacker->layer_repackable(pl);
        repacker->reserve_slots(static_cast<size_t>(cache->n_reserved()));
        cache->set_after_read([this](int32_t slot, int64_t key, bool lowbit) { repack_after_read(slot, key, lowbit); });
    } catch (...) {
        release();
        throw;
    }
}

model_runner::~model_runner() { release(); }

void model_runner::release() {
    if (cache) cache->set_after_read(nullptr);  // waits for a repacking I/O thread to finish
    if (kv_ctx) ggml_free(kv_ctx);
    kv_ctx = nullptr;
    std::free(kv_memory_);
    kv_memory_ = nullptr;
    if (backend) ggml_backend_free(backend);
    backend = nullptr;
    if (threadpool && threadpool_free) threadpool_free(threadpool);
    threadpool = nullptr;
    scratch_ = reserved_memory();
    scratch_size_ = 0;
}

void model_runner::repack_after_read(int32_t slot, int64_t key, bool lowbit) {
    if (!repack_experts || !cache->expected_to_stay(key)) return;
    const size_t layer = static_cast<size_t>(key / hparams.n_expert);
    const std::vector<pack_layer>& table = lowbit ? mdl->lowbit_layers : mdl->expert_layers;
    if (layer >= table.size() || !repacker->layer_repackable(table[layer])) return;
    repacker->repack_blob(slot, cache->slot_memory(slot), table[layer], key, lowbit);
}

ggml_tensor* model_runner::require(ggml_tensor* t, const char* pattern, int32_t layer) const {
    if (t) return t;
    char name[128];
    std::snprintf(name, sizeof name, pattern, layer);
    throw std::runtime_error(std::string("missing tensor ") + name);
}

void model_runner::grow_scratch(size_t bytes) {
    if (bytes <= scratch_size_) return;
    bytes = whole_huge_pages(bytes);
    if (bytes > scratch_.size()) {
        // Address space for more than any step takes, reserved once: growing then keeps the pages that earlier
        // graphs faulted in, where a new reservation would fault (and the kernel zero) all of them again.
        reserved_memory grown(std::max<size_t>(bytes, scratch_reservation));
        if (!grown.valid()) throw std::bad_alloc();
        advise_huge_pages(grown.data(), grown.size());  // a prompt's graphs fault in hundreds of MB: 2 MiB at a time
        scratch_ = std::move(grown);
        scratch_size_ = 0;
    }
    // Committed pages read as zero and cost nothing until a graph writes them, so a generous size is free.
    if (!commit_memory(scratch_.data() + scratch_size_, bytes - scratch_size_)) throw std::bad_alloc();
    scratch_size_ = bytes;
}

void model_runner::prefault_scratch(size_t bytes) {
    grow_scratch(bytes);
    bytes = std::min(bytes, scratch_size_);
    // The system provides pages faster to several threads than to one (on a virtual machine each one may need the
    // host to back it), so the compute threads share the range, in whole huge pages.
    const size_t n = std::max<size_t>(1, std::min<size_t>(size_t(n_threads), bytes / huge_page));
    const size_t part = whole_huge_pages(bytes / n);
    std::vector<std::thread> threads;
    for (size_t i = 1; i < n; ++i) {
        const size_t first = std::min(bytes, i * part), last = std::min(bytes, first + part);
        threads.emplace_back([this, first, last] { populate_memory(scratch_.data() + first, last - first); });
    }
    populate_memory(scratch_.data(), std::min(bytes, part));
    for (std::thread& t : threads) t.join();
}

size_t model_runner::step_scratch_bytes(int32_t n_rows, int32_t L, int32_t W) const {
    return ggml_graph_overhead_custom(1040, false) +
           2 * ((static_cast<size_t>(W) + 262144) * n_rows + 2 * (static_cast<size_t>(hparams.n_vocab) * L + 2097152));
}

void model_runner::trim_scratch(size_t step_bytes) {
    std::vector<float>().swap(expert_out);  // n_rows x n_expert_used rows; the next step sizes it again
    const int32_t slots = static_cast<int32_t>(n_past.size());
    // What the coming step's context takes stays too, or every step would fault it in again.
    const size_t need = std::max(step_scratch_bytes(slots, slots, n_ctx), step_bytes);
    const size_t keep = whole_huge_pages(need);
    if (keep >= scratch_size_ || scratch_touched_ <= keep) return;
    scratch_touched_ = 0;
    decommit_memory(scratch_.data() + keep, scratch_size_ - keep);
    scratch_size_ = keep;  // a step that needs more commits it again
}

size_t model_runner::context_bytes(size_t bytes, size_t nodes) {
    return bytes + ggml_graph_overhead_custom(nodes, false) + 4096;
}

ggml_context_ptr model_runner::scratch_context(size_t bytes, size_t nodes) {
    grow_scratch(context_bytes(bytes, nodes));
    scratch_touched_ = std::max(scratch_touched_, context_bytes(bytes, nodes));
    return ggml_context_ptr(ggml_init({scratch_size_, scratch_.data(), false}));
}

void model_runner::compute(ggml_cgraph* gf) {
    const uint8_t* base = scratch_.data();
    for (int i = 0; i < ggml_graph_n_nodes(gf); ++i) {
        const ggml_tensor* t = ggml_graph_node(gf, i);
        const uint8_t* d = static_cast<const uint8_t*>(t->data);
        if (d >= base && d < base + scratch_size_)
            scratch_high_water = std::max(scratch_high_water, size_t(d - base) + ggml_nbytes(t));
    }
    if (ggml_backend_graph_compute(backend, gf) != GGML_STATUS_SUCCESS) {
        throw std::runtime_error("ggml graph compute failed");
    }
}

void model_runner::prepare_batch(const std::vector<sequence_request>& batch) {
    if (batch.empty()) throw std::runtime_error("eval: no sequences");
    std::vector<sequence_state> next(batch.size());
    std::vector<bool> seen(n_past.size(), false);
    int32_t rows = 0;
    for (size_t i = 0; i < batch.size(); ++i) {
        const sequence_request& r = batch[i];
        if (r.slot < 0 || static_cast<size_t>(r.slot) >= n_past.size()) {
            throw std::runtime_error("eval: slot out of range");
        }
        const int32_t p = n_past[r.slot];
        const int32_t n = static_cast<int32_t>(r.tokens.size());
        if (n == 0) throw std::runtime_error("eval: no tokens");
        if (static_cast<int64_t>(p) + n > n_ctx) throw std::runtime_error("context full");
        if (seen[r.slot]) throw std::runtime_error("eval: slot twice in one batch");
        seen[r.slot] = true;
        sequence_state& s = next[i];
        s.slot = r.slot;
        s.first_row = rows;
        s.n_tokens = n;
        s.all_logits = r.all_logits && n > 1;
        s.lossy = r.lossy;
        s.kv_window = kv_window_for(p, n, n_ctx);
        build_masks(p, n, s.kv_window, hparams.sliding_window, s.causal_mask, s.window_mask);
        rows += n;
    }
    seqs = std::move(next);
}

const std::vector<float>& model_runner::eval(const std::vector<sequence_request>& batch) {
    prepare_batch(batch);

    int32_t n_rows = 0, L = 0, W = 0;
    for (const sequence_state& s : seqs) {
        n_rows += s.n_tokens;
        L += s.all_logits ? s.n_tokens : 1;
        W = std::max(W, s.kv_window);
    }
    const size_t E = hparams.n_embd, k = hparams.n_expert_used;
    // A prompt's batch writes far more scratch than the one-token steps that follow; that memory goes back when they
    // begin (a step of a few tokens per sequence, as a draft gives), not between the chunks of one prompt.
    int32_t longest = 0;
    for (const sequence_state& s : seqs) longest = std::max(longest, s.n_tokens);
    const bool resident = resident_step_fits(n_rows);
    if (longest <= decode_step_tokens) {
        trim_scratch(resident ? context_bytes(resident_step_bytes(n_rows), resident_step_nodes()) : 0);
    }
    grow_scratch(step_scratch_bytes(n_rows, L, W));
    hidden.resize(n_rows * E);
    ffn_input.resize(n_rows * E);
    routes.resize(n_rows * k, 0);
    route_weights.resize(n_rows * k, 0.0f);

    for (size_t i = 0; i < seqs.size(); ++i) {
        mdl->embed_tokens(batch[i].tokens.data(), seqs[i].n_tokens, hidden.data() + seqs[i].first_row * E);
    }
    attended_ = -1;
    head_done_ = false;
    if (resident) {
        const auto t0 = std::chrono::steady_clock::now();
        resident_step(n_rows);
        t_experts += since(t0);
    }
    for (int32_t layer = 0; layer < hparams.n_layer && !resident; ++layer) {
        auto t0 = std::chrono::steady_clock::now();
        if (attended_ < layer) attend_and_route(layer);  // else it ran in the previous layer's last expert graph
        t_attention += since(t0);
        t0 = std::chrono::steady_clock::now();
        moe_layer(layer, n_rows);
        t_experts += since(t0);
    }
    if (!head_done_) run_head();  // else the last layer's expert graph computed it
    for (const sequence_state& s : seqs) n_past[s.slot] += s.n_tokens;
    return logits;
}

const std::vector<float>& model_runner::eval_sequence(const std::vector<int32_t>& tokens) {
    sequence_request r;
    r.slot = 0;
    r.tokens = tokens;
    r.lossy = lossy;
    return eval({r});
}

ggml_tensor* model_runner::output_weight() {
    if (output_weight_) return output_weight_;
    output_weight_ = find_output_weight();
    return output_weight_;
}

ggml_tensor* model_runner::find_output_weight() {
    // A model without its own output matrix shares the token embedding (which then stays in memory).
    if (ggml_tensor* t = ggml_get_tensor(mdl->ctx, "output.weight")) return t;
    if (!mdl->embd_on_disk) {
        if (ggml_tensor* t = ggml_get_tensor(mdl->ctx, "token_embd.weight")) return t;
    }
    return mdl->model_tensor("output.weight");
}

int64_t model_runner::head_rows() const {
    int64_t rows = 0;
    for (const sequence_state& s : seqs) rows += s.all_logits ? s.n_tokens : 1;
    return rows;
}

size_t model_runner::head_bytes() const {
    return size_t(head_rows()) * (2 * size_t(hparams.n_embd) + 1) * sizeof(float) + 8 * (ggml_tensor_overhead() + 64);
}

ggml_tensor* model_runner::add_head(ggml_context* ctx, ggml_context* views, ggml_cgraph* gf, ggml_tensor* h) {
    ggml_tensor* norm_w = mdl->model_tensor("output_norm.weight");
    ggml_tensor* out_w = output_weight();
    const int64_t E = hparams.n_embd, V = hparams.n_vocab, rows = head_rows();

    // The wanted rows of h (every row of an all_logits sequence, else its last): h itself, one run of rows, or
    // gathered. Every wanted row of every sequence goes through one product, so that the head's weights are read
    // once per step.
    std::vector<int32_t> wanted;
    wanted.reserve(rows);
    for (const sequence_state& s : seqs) {
        const int32_t B = s.all_logits ? s.n_tokens : 1;
        for (int32_t r = s.first_row + s.n_tokens - B; r < s.first_row + s.n_tokens; ++r) wanted.push_back(r);
    }
    ggml_tensor* x;
    if (wanted.back() - wanted.front() + 1 == rows) {
        x = rows == h->ne[1] ? h : ggml_view_2d(ctx, h, E, rows, h->nb[1], wanted.front() * h->nb[1]);
    } else {
        ggml_tensor* ids = ggml_new_tensor_1d(ctx, GGML_TYPE_I32, rows);
        std::memcpy(ids->data, wanted.data(), sizeof(int32_t) * rows);
        x = ggml_get_rows(ctx, h, ids);
    }
    ggml_tensor* y = ggml_mul(ctx, ggml_rms_norm(ctx, x, hparams.rms_eps), norm_w);
    // The product is made in the context without memory and writes straight into logits.
    y = ggml_mul_mat(views, out_w, y);  // (n_vocab, rows), contiguous
    logits.resize(size_t(rows) * V);
    y->data = logits.data();
    ggml_build_forward_expand(gf, y);
    return y;
}

void model_runner::run_head() {
    const auto t0 = std::chrono::steady_clock::now();
    const int64_t E = hparams.n_embd;
    int32_t n_rows = 0;
    for (const sequence_state& s : seqs) n_rows += s.n_tokens;
    const ggml_context_ptr views(ggml_init({4 * ggml_tensor_overhead() + 1024, nullptr, true}));
    const ggml_context_ptr owner = scratch_context(head_bytes(), 16);
    ggml_cgraph* gf = ggml_new_graph_custom(owner.get(), 16, false);
    ggml_tensor* h = ggml_new_tensor_2d(views.get(), GGML_TYPE_F32, E, n_rows);
    h->data = hidden.data();
    add_head(owner.get(), views.get(), gf, h);
    compute(gf);
    t_head += since(t0);
}

void model_runner::load_kv(std::istream& in, int32_t n, int32_t n_stored, int32_t slot) {
    if (slot < 0 || static_cast<size_t>(slot) >= n_past.size()) throw std::runtime_error("load_kv: slot out of range");
    if (n < 0 || n > n_stored || n > n_ctx) throw std::runtime_error("load_kv: bad cell count");
    const size_t row = kv_row_bytes();
    n_past[slot] = 0;
    for (int32_t l = 0; l < hparams.n_layer; ++l) {
        for (ggml_tensor* t : {k_cache[slot * hparams.n_layer + l], v_cache[slot * hparams.n_layer + l]}) {
            const std::streamsize want = static_cast<std::streamsize>(row * n);
            if (!in.read(static_cast<char*>(t->data), want) || in.gcount() != want) {
                throw std::runtime_error("load_kv: short read");
            }
            // No computation stores an infinity or NaN here: such cells are damage, and would poison every answer.
            const uint16_t* half = static_cast<const uint16_t*>(t->data);
            uint16_t all = 0;
            for (size_t i = 0, count = row * n / 2; i < count; ++i) all |= uint16_t((half[i] & 0x7C00) == 0x7C00);
            if (all) throw std::runtime_error("load_kv: cells are not finite");
            if (n_stored > n && !in.seekg(static_cast<std::streamoff>(row * (n_stored - n)), std::ios::cur)) {
                throw std::runtime_error("load_kv: short read");
            }
        }
    }
    n_past[slot] = n;
}

void model_runner::save_kv(std::ostream& out, int32_t n, int32_t slot) {
    if (slot < 0 || static_cast<size_t>(slot) >= n_past.size()) throw std::runtime_error("save_kv: slot out of range");
    if (n < 0 || n_past[slot] < n) {
        throw std::runtime_error("save_kv: only " + std::to_string(n_past[slot]) + " cells cached");
    }
    const size_t row = kv_row_bytes();
    for (int32_t l = 0; l < hparams.n_layer; ++l) {
        for (ggml_tensor* t : {k_cache[slot * hparams.n_layer + l], v_cache[slot * hparams.n_layer + l]}) {
            if (!out.write(static_cast<const char*>(t->data), static_cast<std::streamsize>(row * n))) {
                throw std::runtime_error("save_kv: write failed");
            }
        }
    }
}
