// Token generation: the values a caller hands to engine::generate, the record of one generation in flight, and the
// steps that turn logits into tokens and tokens into delivered text (sampling, stop strings, hold-back of partial
// UTF-8 characters and of possible stop-string starts, speculative drafts by prompt lookup).
//
// Everything here that touches a generation_request runs on the engine worker thread, without the engine mutex.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/runtime/chat_session.h"
#include "engine/runtime/lossy_params.h"

struct llama_sampler;
struct llama_vocab;

// Per-request sampling values.
struct sampling_params {
    float temperature = 0.0f;   // 0 or less: greedy argmax
    float top_p = 1.0f;         // below 1 adds a top-p stage
    int32_t top_k = 0;          // above 0 adds a top-k stage
    uint32_t seed = 0xFFFFFFFFu;
};

// Receives each piece of final text in order; an empty piece is a keep-alive. Returning false means the receiver is
// gone: the request ends with finish reason "stop". Always called on the engine worker thread, never with the engine
// mutex held. The text is the model's bytes: only the last piece of a generation may end inside a UTF-8 character,
// and any piece may hold bytes that are not UTF-8 at all (token_text::with_valid_utf8 makes text for clients).
using on_text_fn = std::function<bool(const token_text&)>;

// Counts and times of one generation, returned by engine::generate.
struct generation_stats {
    int32_t prompt_tokens = 0;
    int32_t reused_tokens = 0;     // leading prompt tokens whose KV was already in the slot or came from a file
    int32_t disk_tokens = 0;       // of those, the ones read from a saved prompt KV file
    int32_t generated_tokens = 0;  // sampled tokens other than an end-of-generation token
    int32_t drafted_tokens = 0;    // draft tokens evaluated
    int32_t accepted_tokens = 0;   // draft tokens accepted
    double prefill_seconds = 0.0;  // end of admission to end of the prompt's evaluation
    double generate_seconds = 0.0; // end of the prompt's evaluation (or admission) to the end of the request
    std::string finish_reason = "length";
};

// One generation in flight. Lives on the stack of the thread in engine::generate; the engine queue and worker hold
// pointers to it. Until `done` is set (under the engine mutex) only the worker touches it; afterwards never again.
struct generation_request {
    std::vector<int32_t> prompt;
    int32_t max_tokens = 0;
    sampling_params sampling;
    std::vector<std::string> stop;
    on_text_fn on_text;
    generation_stats stats;
    std::exception_ptr error;
    bool done = false;               // guarded by the engine mutex
    int32_t slot = -1;               // runner slot while admitted
    int64_t pos = 0;                 // prompt tokens whose KV is in the slot
    int32_t last_token = -1;         // last sampled token, not yet evaluated
    llama_sampler* sampler = nullptr;  // owned; only when temperature > 0
    uint64_t hold_back = 0;          // bytes kept back for stop-string matching
    token_text output;        // generated text not yet passed to on_text
    int64_t phase_start_ns = 0;      // steady clock: start of the current phase / last keep-alive while queued
    std::vector<int32_t> draft;      // draft tokens of the current step
    float acceptance = 0.7f;         // running estimate of the draft acceptance rate
    lossy_params lossy;
};

// Cost of a step that evaluates the last token and k draft tokens (entry k - 1), in units of a one-token step.
inline constexpr std::array<float, 6> draft_cost_table = {1.92f, 2.46f, 2.99f, 3.74f, 4.12f, 5.81f};

// Length of the longest prefix of `s` that does not end inside a UTF-8 character.
size_t utf8_complete_prefix(std::string_view s);

// Bytes to hold back so that no delivered text holds the start of a stop string: longest stop length - 1, 0 when
// there are none.
uint64_t stop_hold_back(const std::vector<std::string>& stops);

// The sampler chain for temperature > 0 (top-k, top-p, temperature, distribution); nullptr for greedy sampling.
// The caller frees it with llama_sampler_free.
llama_sampler* make_sampler_chain(const sampling_params& sampling);

// The next token from one row of logits: the chain's choice, or the first largest logit without a chain.
int32_t choose_token(llama_sampler* chain, const float* row, int32_t n_vocab);

// The text of a token, special tokens rendered. A piece longer than the first buffer is fetched again with the size
// the vocabulary asks for, so no token loses its text.
std::string token_piece(const llama_vocab* vocab, int32_t token);

// Appends a sampled token's piece to the request's output, cuts the output at the first stop string, and delivers
// what is safe to deliver (everything but the hold-back, up to the last complete UTF-8 character).
// Returns false when generation must end: a stop string was found, or on_text refused the text (finish reason
// "stop" in both cases; refused text stays in the output). Exceptions of on_text propagate.
bool emit_piece(generation_request& r, std::string_view piece, int32_t token);

// Draft length worth making at this acceptance estimate, at most `limit`; 0 when no draft pays, in which case the
// estimate grows by 0.02 (at most 0.95).
int32_t choose_draft_length(float& acceptance, int32_t limit);

// Prompt lookup: the tokens that followed the latest earlier occurrence of the longest suffix (3 to 16 tokens) of
// history + last_token, at most `max_len` of them. Empty when no suffix of 3 or more tokens recurs.
std::vector<int32_t> lookup_draft(const std::vector<int32_t>& history, int32_t last_token, int32_t max_len);

// Moves the acceptance estimate after a step that verified `drafted` tokens and accepted `accepted` of them.
void update_acceptance(float& acceptance, int32_t drafted, int32_t accepted);

// Whether MIVRA_DRAFT_ALWAYS is set (read once per process, thread-safe).
bool draft_always();

// ---- Steps of a request in its runner slot ----

// What sampling needs of the model: its vocabulary and the width of a logits row.
struct token_vocab {
    const llama_vocab* vocab = nullptr;
    int32_t n_vocab = 0;
};

// The runner slot that a request generates in: the tokens whose KV the slot holds (accepted tokens only), its count
// of filled cells (which may include cells of rejected draft tokens) and its context length.
struct slot_view {
    std::vector<int32_t>& tokens;
    int32_t& n_past;
    int32_t n_ctx;
};

// Samples the next token from `row`, delivers its text and sets r.last_token. Returns false when the request ends
// here: an end-of-generation token or a stop string (finish reason "stop"), max_tokens reached, or no free cell left
// for the new token ("length"), or on_text refused the text.
bool sample_token(generation_request& r, const float* row, const token_vocab& vocab, const slot_view& slot);

// The draft tokens to evaluate after r.last_token in the next step (MIVRA_DRAFT_ALWAYS: the slot's last tokens;
// otherwise prompt lookup at the length the acceptance estimate pays for), at most `draft_max` and never past
// max_tokens or the context. Empty when no draft is worth making.
std::vector<int32_t> propose_draft(generation_request& r, const slot_view& slot, int32_t draft_max);

// After a step that evaluated r.last_token and r.draft: records r.last_token in the slot, samples from `rows` (one
// row per evaluated token) and accepts draft tokens while they match what was sampled, then cuts n_past back to the
// accepted tokens and updates the draft counters and acceptance estimate. Returns false when the request ends (as
// sample_token says).
bool verify_draft(generation_request& r, const float* rows, const token_vocab& vocab, const slot_view& slot);
