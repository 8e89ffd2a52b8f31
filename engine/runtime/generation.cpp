#include "engine/runtime/generation.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "llama.h"

size_t utf8_complete_prefix(std::string_view s) {
    const size_t n = s.size();
    // Look at most four bytes back for the lead byte of the last character.
    for (size_t k = 1; k <= 4; ++k) {
        if (k > n) return n;  // only continuation bytes: nothing to wait for
        const auto c = static_cast<unsigned char>(s[n - k]);
        if ((c & 0xC0) == 0x80) continue;
        const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return len > k ? n - k : n;
    }
    return n;
}

uint64_t stop_hold_back(const std::vector<std::string>& stops) {
    uint64_t hold = 0;
    for (const auto& s : stops)
        if (!s.empty()) hold = std::max<uint64_t>(hold, s.size() - 1);
    return hold;
}

llama_sampler* make_sampler_chain(const sampling_params& sampling) {
    if (sampling.temperature <= 0.0f) return nullptr;
    llama_sampler* chain = llama_sampler_chain_init(llama_sampler_chain_default_params());
    if (sampling.top_k > 0) llama_sampler_chain_add(chain, llama_sampler_init_top_k(sampling.top_k));
    if (sampling.top_p < 1.0f) llama_sampler_chain_add(chain, llama_sampler_init_top_p(sampling.top_p, 1));
    llama_sampler_chain_add(chain, llama_sampler_init_temp(sampling.temperature));
    llama_sampler_chain_add(chain, llama_sampler_init_dist(sampling.seed));
    return chain;
}

namespace {

// The first index of the largest logit, as std::max_element finds it, in two passes that vectorise: the maximum in
// 16 independent lanes, then its first position. Greedy decoding does this once per token over the whole vocabulary,
// where one compare and branch per element costs a noticeable share of a small model's step.
int32_t greedy_token(const float* row, int32_t n) {
    constexpr int32_t lanes = 16;
    float lane_max[lanes];
    for (float& m : lane_max) m = -INFINITY;
    int32_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        for (int32_t j = 0; j < lanes; ++j) lane_max[j] = row[i + j] > lane_max[j] ? row[i + j] : lane_max[j];
    }
    float best = -INFINITY;
    for (float m : lane_max) best = m > best ? m : best;
    for (; i < n; ++i) best = row[i] > best ? row[i] : best;
    for (int32_t t = 0; t < n; ++t) {
        if (row[t] == best) return t;
    }
    return int32_t(std::max_element(row, row + n) - row);  // no number above -infinity
}

}  // namespace

int32_t choose_token(llama_sampler* chain, const float* row, int32_t n_vocab) {
    if (!chain) return greedy_token(row, n_vocab);
    // Only the engine worker samples; keeping the candidate array per thread saves a large allocation per token.
    thread_local std::vector<llama_token_data> candidates;
    candidates.resize(size_t(n_vocab));
    for (int32_t i = 0; i < n_vocab; ++i) candidates[size_t(i)] = {i, row[i], 0.0f};
    llama_token_data_array array{candidates.data(), candidates.size(), -1, false};
    llama_sampler_apply(chain, &array);
    if (array.selected < 0 || size_t(array.selected) >= array.size)
        throw std::runtime_error("sampler selected no token");
    return array.data[array.selected].id;
}

std::string token_piece(const llama_vocab* vocab, int32_t token) {
    std::string piece(256, '\0');
    int32_t n = llama_token_to_piece(vocab, token, piece.data(), int32_t(piece.size()), 0, true);
    if (n < 0) {  // longer than the buffer: the result is the size needed
        piece.resize(size_t(-n));
        n = llama_token_to_piece(vocab, token, piece.data(), int32_t(piece.size()), 0, true);
    }
    piece.resize(n > 0 ? size_t(n) : 0);
    return piece;
}

bool emit_piece(generation_request& r, std::string_view piece, int32_t token) {
    if (!piece.empty()) r.output.append(piece, token);

    // Only undelivered text can hold a stop string: the hold-back kept every possible start of one.
    const std::string& text = r.output.str();
    size_t cut = std::string::npos;
    for (const auto& s : r.stop) {
        if (s.empty() || s.size() > text.size()) continue;
        cut = std::min(cut, text.find(s));
    }
    if (cut != std::string::npos) {
        r.output.truncate(cut);
        r.stats.finish_reason = "stop";
        return false;
    }

    const size_t n = text.size() > r.hold_back ? text.size() - r.hold_back : 0;
    const size_t m = utf8_complete_prefix(std::string_view(text).substr(0, n));
    if (m == 0) return true;
    if (!r.on_text(r.output.sub(0, m))) {
        r.stats.finish_reason = "stop";
        return false;
    }
    r.output = r.output.sub(m);
    return true;
}

int32_t choose_draft_length(float& acceptance, int32_t limit) {
    const float a = acceptance;
    int32_t best_k = 0;
    float best_value = 1.0f;
    float a_pow = a;  // a^(k+1), built up in f32
    for (int32_t k = 1; k <= std::min<int32_t>(limit, int32_t(draft_cost_table.size())); ++k) {
        a_pow *= a;
        // Expected tokens per step, 1 + a + ... + a^k; at a = 1 the closed form would divide by zero.
        const float expected = a < 1.0f ? (1.0f - a_pow) / (1.0f - a) : float(k + 1);
        const float value = expected / draft_cost_table[size_t(k - 1)];
        if (value > best_value) {
            best_value = value;
            best_k = k;
        }
    }
    if (best_k == 0) acceptance = std::min(acceptance + 0.02f, 0.95f);
    return best_k;
}

std::vector<int32_t> lookup_draft(const std::vector<int32_t>& history, int32_t last_token, int32_t max_len) {
    std::vector<int32_t> h(history);
    h.push_back(last_token);
    const int64_t L = int64_t(h.size());
    int64_t best_len = 2, best_pos = -1;
    for (int64_t e = L - 1; e >= 1; --e) {
        int64_t m = 0;
        while (m < 16 && e - 1 - m >= 0 && h[size_t(L - 1 - m)] == h[size_t(e - 1 - m)]) ++m;
        if (m > best_len) {
            best_len = m;
            best_pos = e;
        }
    }
    if (best_pos < 0 || max_len <= 0) return {};
    const int64_t end = std::min<int64_t>(best_pos + max_len, L);
    return std::vector<int32_t>(h.begin() + best_pos, h.begin() + end);
}

void update_acceptance(float& acceptance, int32_t drafted, int32_t accepted) {
    const int32_t n = std::min(drafted, accepted + 1);
    for (int32_t k = 0; k < n; ++k) acceptance = 0.8f * acceptance + (k < accepted ? 0.2f : 0.0f);
}

bool draft_always() {
    static const bool set = std::getenv("MIVRA_DRAFT_ALWAYS") != nullptr;
    return set;
}

// ---- Steps of a request in its slot (engine worker thread, no engine mutex) ----

#ifdef MIVRA_SCRIPTED_OUTPUT
// Test builds only, never the product: the token that a script in the request's prompt dictates in place of the
// sampled one (tests/server/scripted_output.cpp).
int32_t scripted_token(const llama_vocab* vocab, const generation_request& r, int32_t sampled);
#endif

bool sample_token(generation_request& r, const float* row, const token_vocab& vocab, const slot_view& slot) {
    int32_t token = choose_token(r.sampler, row, vocab.n_vocab);
#ifdef MIVRA_SCRIPTED_OUTPUT
    token = scripted_token(vocab.vocab, r, token);
#endif
    if (llama_vocab_is_eog(vocab.vocab, token)) {
        r.stats.finish_reason = "stop";
        return false;
    }
    r.stats.generated_tokens += 1;
    if (!emit_piece(r, token_piece(vocab.vocab, token), token)) return false;
    if (r.stats.generated_tokens >= r.max_tokens) return false;
    // The new token needs a free cell. Count the cells that hold accepted tokens: cells of draft tokens that the
    // current step rejected are free again.
    const size_t used = std::min<size_t>(size_t(slot.n_past), slot.tokens.size());
    if (used >= size_t(slot.n_ctx)) return false;
    r.last_token = token;
    return true;
}

std::vector<int32_t> propose_draft(generation_request& r, const slot_view& slot, int32_t draft_max) {
    const std::vector<int32_t>& history = slot.tokens;
    const int32_t limit = std::min({draft_max, r.max_tokens - r.stats.generated_tokens - 1,
                                    slot.n_ctx - slot.n_past - 1});
    if (limit <= 0) return {};
    if (draft_always()) {
        const size_t k = std::min(size_t(limit), history.size());
        return std::vector<int32_t>(history.end() - std::ptrdiff_t(k), history.end());
    }
    const int32_t k = choose_draft_length(r.acceptance, limit);
    if (k == 0) return {};
    return lookup_draft(history, r.last_token, k);
}

bool verify_draft(generation_request& r, const float* rows, const token_vocab& vocab, const slot_view& slot) {
    std::vector<int32_t>& history = slot.tokens;
    history.push_back(r.last_token);  // its KV was written in this step
    const int32_t drafted = int32_t(r.draft.size());
    int32_t accepted = 0;
    bool ok = sample_token(r, rows, vocab, slot);
    while (ok && accepted < drafted && r.draft[size_t(accepted)] == r.last_token) {
        history.push_back(r.draft[size_t(accepted)]);
        ++accepted;
        ok = sample_token(r, rows + size_t(accepted) * size_t(vocab.n_vocab), vocab, slot);
    }
    slot.n_past = std::min<int32_t>(slot.n_past, int32_t(history.size()));  // rejected drafts' cells are reused
    if (drafted > 0) {
        r.stats.accepted_tokens += accepted;
        r.stats.drafted_tokens += drafted;
        update_acceptance(r.acceptance, drafted, accepted);
    }
    return ok;
}
