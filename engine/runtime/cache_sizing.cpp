#include "engine/runtime/cache_sizing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "engine/pack/model.h"
#include "engine/runtime/expert_cache.h"
#include "engine/runtime/lossy_modes.h"
#include "platform/free_memory.h"

namespace {

constexpr uint64_t mib = 1048576;
constexpr uint64_t headroom = 512 * mib;  // left to the system and the rest of the program
constexpr uint64_t min_slots = 16;
// The program beside the runner's buffers: code of the libraries, the vocabulary and its merges, chat templates,
// the CPU backend's work buffer and thread stacks.
constexpr uint64_t program_bytes = 96 * mib;

}  // namespace

uint64_t kv_cache_bytes(const model_hparams& hp, int32_t n_ctx, int32_t n_parallel) {
    const uint64_t cells = (uint64_t(std::max(n_ctx, 0)) + 255) / 256 * 256;
    const uint64_t row = uint64_t(std::max(hp.head_dim, 0)) * uint64_t(std::max(hp.n_head_kv, 0)) * 2;  // F16
    return cells * row * 2 * uint64_t(std::max(hp.n_layer, 0)) * uint64_t(std::max(n_parallel, 1));
}

namespace {

// Bytes per batch row of the largest graph of a step and of the runner's row buffers (see engine_working_bytes).
struct row_bytes {
    uint64_t graph = 0;
    uint64_t buffers = 0;
};

row_bytes working_row_bytes(const model_hparams& hp, int32_t n_ctx, bool separate_gate_up) {
    const uint64_t E = uint64_t(std::max(hp.n_embd, 0)), F = uint64_t(std::max(hp.n_ff_exp, 0));
    const uint64_t k = uint64_t(std::max(hp.n_expert_used, 0)), X = uint64_t(std::max(hp.n_expert, 0));
    const uint64_t hd = uint64_t(std::max(hp.head_dim, 0));
    const uint64_t q_cols = hd * uint64_t(std::max(hp.n_head, 0)), kv_cols = hd * uint64_t(std::max(hp.n_head_kv, 0));
    const uint64_t cells = (uint64_t(std::max(n_ctx, 0)) + 255) / 256 * 256;
    // Floats per batch row in the largest graph of a step, as the runner builds it (every node has memory of its
    // own), with about a quarter to spare: a layer's expert products (per routed entry: the gathered input, gate
    // and up outputs and biases, the activation, the down output), the weighted sum of the k outputs into the
    // residual stream (weighted in place), and the next layer's attention and routing (norms, Q/K/V with their
    // norms and RoPE, the attention output and projection, router logits, top k and weights), and the F16 mask of
    // the KV window in bytes; then the runner's row buffers (residual stream, MoE input, expert outputs, routes).
    const uint64_t products = k * (separate_gate_up ? 4 * E + 6 * F : 2 * E + 3 * F) + 4 * k;
    const uint64_t weighted_sum = k * E + 2 * E;
    const uint64_t attention = 10 * E + 6 * q_cols + 6 * kv_cols + 6 * X + 8 * k + 16;
    return {4 * (products + weighted_sum + attention) + 2 * 2 * cells, 4 * (E * (k + 2) + 2 * k + X)};
}

}  // namespace

uint64_t engine_working_bytes(const model_hparams& hp, int32_t n_ctx, int32_t n_parallel, int32_t rows_per_slot,
                              bool separate_gate_up) {
    const uint64_t E = uint64_t(std::max(hp.n_embd, 0));
    const uint64_t cells = (uint64_t(std::max(n_ctx, 0)) + 255) / 256 * 256;
    const uint64_t slots = uint64_t(std::max(n_parallel, 1));
    const uint64_t rows = slots * std::min<uint64_t>(uint64_t(std::max(rows_per_slot, 1)), std::max<uint64_t>(cells, 1));
    const row_bytes per_row = working_row_bytes(hp, n_ctx, separate_gate_up);
    // The head's norm rows in graph memory and its logits, which the product writes straight into the runner's rows.
    const uint64_t head = 4 * slots * (3 * E + uint64_t(std::max(hp.n_vocab, 0)));
    return rows * (per_row.graph + per_row.buffers) + head + program_bytes;
}

uint64_t prompt_graph_bytes(const model_hparams& hp, int32_t n_ctx, int32_t rows, bool separate_gate_up) {
    const uint64_t cells = (uint64_t(std::max(n_ctx, 0)) + 255) / 256 * 256;
    const uint64_t n = std::min<uint64_t>(uint64_t(std::max(rows, 1)), std::max<uint64_t>(cells, 1));
    return n * working_row_bytes(hp, n_ctx, separate_gate_up).graph;
}

cache_plan plan_expert_cache(uint64_t cache_mb, uint64_t free, uint64_t kv_bytes, uint64_t expert_bytes,
                             uint64_t n_experts, uint64_t working) {
    cache_plan p;
    if (cache_mb != 0) {
        // The user's budget holds the whole engine beside the core tensors and the KV cache, not only the cache.
        const uint64_t given = cache_mb > UINT64_MAX / mib ? UINT64_MAX : cache_mb * mib;
        p.budget = given > working ? given - working : 0;
    } else {
        const uint64_t keep = headroom + kv_bytes;
        p.budget = free > keep ? free - keep : 0;
        p.reserve = std::numeric_limits<uint64_t>::max();
    }
    // As the cache counts them: the reservation covers every expert when it allows more, else at least 16.
    const uint64_t eb = std::max<uint64_t>(expert_bytes, 1);
    const uint64_t want_reserved = std::max(p.reserve, p.budget) / eb;
    const uint64_t reserved = n_experts < want_reserved ? n_experts : std::max(min_slots, want_reserved);
    const uint64_t want = p.budget / eb;
    p.n_slots = int64_t(std::min(reserved < want ? reserved : std::max(min_slots, want), reserved));
    p.warn = (cache_mb == 0 || working != 0) && p.budget < uint64_t(p.n_slots) * expert_bytes;
    return p;
}

budget_step plan_budget_step(uint64_t resident, uint64_t free, uint64_t expert_bytes, int32_t n_slots) {
    budget_step s;
    const uint64_t sum = resident + free;
    s.budget = sum > headroom ? sum - headroom : 0;
    const int64_t wanted = int64_t(s.budget / std::max<uint64_t>(expert_bytes, 1));
    s.resize = std::llabs(wanted - int64_t(n_slots)) >= 16;
    return s;
}

std::unique_ptr<expert_cache> make_expert_cache(const model& m, const engine_options& options, uint64_t kv_bytes,
                                                uint64_t working_bytes) {
    const bool fixed = options.cache_mb != 0;
    const uint64_t free = fixed ? 0 : free_ram_bytes();
    // Only the budget and the reservation are taken from the plan; the cache counts its own slots.
    const cache_plan plan = plan_expert_cache(options.cache_mb, free, kv_bytes, 1, 0, fixed ? working_bytes : 0);
    auto cache = std::make_unique<expert_cache>(m, plan.budget, options.io_threads, options.protect, plan.reserve);

    const bool lowbit = !m.lowbit_layers.empty() || parse_lossy_mode(options.mode).lowbit || options.lowbit;
    cache->set_lowbit(lowbit);

    const uint64_t slots_bytes = uint64_t(cache->n_slots()) * cache->expert_bytes();
    if (!fixed && plan.budget < slots_bytes)
        std::fprintf(stderr, "warning: only %.0f MB of RAM free; running with the minimum expert cache (%.0f MB)\n",
                     double(free) / double(mib), double(slots_bytes) / double(mib));
    if (fixed && working_bytes != 0 && plan.budget < slots_bytes)
        std::fprintf(stderr,
                     "warning: --cache-mb %llu does not cover the engine's working memory (%.0f MB) and the minimum "
                     "expert cache (%.0f MB); it needs at least --cache-mb %.0f\n",
                     static_cast<unsigned long long>(options.cache_mb), double(working_bytes) / double(mib),
                     double(slots_bytes) / double(mib), std::ceil(double(working_bytes + slots_bytes) / double(mib)));
    // A budget that holds every expert but not the working memory beside them: say what keeps them all resident.
    const uint64_t all_bytes = uint64_t(m.hparams.n_layer) * uint64_t(m.hparams.n_expert) * cache->expert_bytes();
    if (fixed && working_bytes != 0 && plan.budget < all_bytes && plan.budget + working_bytes >= all_bytes)
        std::fprintf(stderr,
                     "note: the engine's working memory (%.0f MB) is part of --cache-mb, which leaves room for %d of "
                     "%llu experts; --cache-mb %.0f keeps every expert resident\n",
                     double(working_bytes) / double(mib), cache->n_slots(),
                     static_cast<unsigned long long>(all_bytes / cache->expert_bytes()),
                     std::ceil(double(all_bytes + working_bytes) / double(mib)));
    return cache;
}

void apply_budget_rule(expert_cache& cache) {
    const int32_t old_slots = cache.n_slots();
    const budget_step step = plan_budget_step(cache.resident_bytes(), free_ram_bytes(), cache.expert_bytes(), old_slots);
    if (!step.resize) return;
    const int32_t new_slots = cache.resize(step.budget);
    if (new_slots == old_slots) return;
    std::fprintf(stderr, "[budget] free RAM %.0f MB: expert cache %d -> %d slots (%.0f MB)\n",
                 double(free_ram_bytes()) / double(mib), old_slots, new_slots,
                 double(new_slots) * double(cache.expert_bytes()) / double(mib));
}
