// Token generation without a model: UTF-8 hold-back, stop strings and delivery, draft sizing and lookup, the
// acceptance estimate, sampling from a logits row, and token text with the real qwen2 vocabulary.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/runtime/engine_test_vocab.h"
#include "engine/runtime/generation.h"
#include "gguf.h"
#include "llama.h"

namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(char(v));
    return s;
}

// A request whose on_text records every delivery (text and tokens) and answers `accept`.
struct recording_request {
    generation_request r;
    std::vector<std::string> texts;
    std::vector<int32_t> tokens;
    bool accept = true;

    explicit recording_request(std::vector<std::string> stops = {}) {
        r.stop = std::move(stops);
        r.hold_back = stop_hold_back(r.stop);
        r.on_text = [this](const token_text& in) {
            texts.push_back(in.str());
            tokens.insert(tokens.end(), in.tokens().begin(), in.tokens().end());
            return accept;
        };
    }
    std::string delivered() const {
        std::string all;
        for (const auto& t : texts) all += t;
        return all;
    }
};

}  // namespace

TEST(Utf8CompletePrefix, Table) {
    struct row {
        std::string text;
        size_t want;
    } rows[] = {
        {"abc", 3},
        {bytes({0x61, 0xC3}), 1},
        {bytes({0x61, 0xE2, 0x82}), 1},
        {bytes({0xE2, 0x82, 0xAC}), 3},
        {bytes({0xF0, 0x9F, 0x98}), 0},
        {bytes({0xF0, 0x9F, 0x98, 0x80}), 4},
        {bytes({0x61, 0x80, 0x80, 0x80, 0x80, 0x80}), 6},  // stray continuation bytes: nothing to wait for
        {bytes({0x80, 0x80}), 2},
        {bytes({0x61, 0x62, 0xFF}), 2},
        {"", 0},
        {bytes({0x61, 0xC3, 0xA9, 0xF0, 0x9F}), 3},  // é complete, emoji cut
    };
    for (const auto& r : rows) EXPECT_EQ(utf8_complete_prefix(r.text), r.want) << testing::PrintToString(r.text);
}

TEST(EmitPiece, StopStringSplitOverPiecesIsCutBeforeDelivery) {
    recording_request q({"END"});
    ASSERT_EQ(q.r.hold_back, 2u);

    EXPECT_TRUE(emit_piece(q.r, "ab", 1));
    EXPECT_TRUE(q.texts.empty());  // both bytes could start "END"

    EXPECT_TRUE(emit_piece(q.r, "cE", 2));
    EXPECT_EQ(q.delivered(), "ab");
    EXPECT_EQ(q.r.output.str(), "cE");

    EXPECT_FALSE(emit_piece(q.r, "NDx", 3));
    EXPECT_EQ(q.r.stats.finish_reason, "stop");
    EXPECT_EQ(q.r.output.str(), "c");  // left for the final delivery
    EXPECT_EQ(q.delivered(), "ab");
    EXPECT_EQ(q.tokens, (std::vector<int32_t>{1}));
}

TEST(EmitPiece, EarliestOfSeveralStopStringsWins) {
    recording_request q({"", "zz", "yy"});
    EXPECT_FALSE(emit_piece(q.r, "a yy b zz", 1));
    EXPECT_EQ(q.r.output.str(), "a ");
    EXPECT_TRUE(q.texts.empty());
}

TEST(EmitPiece, IncompleteCharacterWaitsWithoutStopStrings) {
    recording_request q;
    const std::string euro = bytes({0xE2, 0x82, 0xAC});
    EXPECT_TRUE(emit_piece(q.r, "a" + euro.substr(0, 1), 10));
    EXPECT_EQ(q.delivered(), "a");
    EXPECT_TRUE(emit_piece(q.r, euro.substr(1, 1), 11));
    EXPECT_EQ(q.delivered(), "a");
    EXPECT_TRUE(emit_piece(q.r, euro.substr(2) + "b", 12));
    EXPECT_EQ(q.delivered(), "a" + euro + "b");
    EXPECT_EQ(q.tokens, (std::vector<int32_t>{10, 11, 12}));  // each token once, with its bytes
    EXPECT_TRUE(q.r.output.empty());
    EXPECT_TRUE(emit_piece(q.r, "", 13));  // a token without text delivers nothing
    EXPECT_EQ(q.texts.size(), 2u);
}

TEST(EmitPiece, RefusedTextStaysAndEndsWithStop) {
    recording_request q;
    q.accept = false;
    EXPECT_FALSE(emit_piece(q.r, "hello", 5));
    EXPECT_EQ(q.r.stats.finish_reason, "stop");
    EXPECT_EQ(q.r.output.str(), "hello");
}

TEST(DraftLength, FollowsTheCostTable) {
    struct row {
        float acceptance;
        int32_t limit;
        int32_t want;
    } rows[] = {
        {0.70f, 6, 0}, {0.80f, 6, 0}, {0.8085f, 6, 2}, {0.811f, 6, 3},
        {0.90f, 6, 3}, {0.92f, 6, 5}, {0.95f, 6, 5},   {0.999f, 6, 5},
        {0.95f, 2, 2}, {0.95f, 1, 1}, {0.95f, 0, 0},   {1.0f, 6, 5},  // 1.0: no division by zero
    };
    for (const auto& r : rows) {
        float a = r.acceptance;
        EXPECT_EQ(choose_draft_length(a, r.limit), r.want) << r.acceptance << " limit " << r.limit;
        if (r.want > 0) {
            EXPECT_EQ(a, r.acceptance);  // a draft leaves the estimate alone
        }
    }
    // Without a draft the estimate climbs by 0.02 up to 0.95: six draft-less steps take 0.7 to drafts of 3.
    float a = 0.7f;
    for (int step = 0; step < 6; ++step) EXPECT_EQ(choose_draft_length(a, 6), 0) << step;
    EXPECT_NEAR(a, 0.82f, 1e-5);
    EXPECT_EQ(choose_draft_length(a, 6), 3);
    float high = 0.94f;
    EXPECT_EQ(choose_draft_length(high, 0), 0);
    EXPECT_EQ(high, 0.95f);
}

TEST(DraftLookup, LongestLatestSuffixMatch) {
    struct row {
        std::vector<int32_t> history;
        int32_t last;
        int32_t max_len;
        std::vector<int32_t> want;
    } rows[] = {
        // "1 2 3" recurs: what followed it was "4 5 6".
        {{1, 2, 3, 4, 5, 6, 9, 1, 2}, 3, 3, {4, 5, 6}},
        {{1, 2, 3, 4, 5, 6, 9, 1, 2}, 3, 2, {4, 5}},
        // Only two tokens recur: not enough.
        {{1, 2, 7, 1}, 2, 3, {}},
        // Two occurrences of "1 2 3": the later one wins.
        {{1, 2, 3, 4, 1, 2, 3, 5, 1, 2}, 3, 1, {5}},
        // A longer match beats a later shorter one.
        {{8, 1, 2, 3, 4, 0, 1, 2, 3, 5, 8, 1, 2}, 3, 1, {4}},
        // The draft never runs past the end of the history.
        {{5, 5, 5}, 5, 4, {5}},
        {{}, 3, 6, {}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(lookup_draft(r.history, r.last, r.max_len), r.want) << testing::PrintToString(r.history);
}

TEST(DraftAcceptance, AcceptedPullUpFirstRejectedPullsDown) {
    float a = 0.5f;
    update_acceptance(a, 3, 1);  // one accepted, then the first rejection; the third draft never counted
    EXPECT_FLOAT_EQ(a, 0.8f * (0.8f * 0.5f + 0.2f));
    float all = 0.5f;
    update_acceptance(all, 2, 2);
    EXPECT_FLOAT_EQ(all, 0.8f * (0.8f * 0.5f + 0.2f) + 0.2f);
    float none = 0.5f;
    update_acceptance(none, 0, 0);
    EXPECT_EQ(none, 0.5f);
}

TEST(ChooseToken, GreedyTakesFirstLargestAndSeedsRepeat) {
    std::vector<float> row = {0.1f, 3.0f, -1.0f, 3.0f, 2.9f};
    EXPECT_EQ(choose_token(nullptr, row.data(), int32_t(row.size())), 1);
    EXPECT_EQ(make_sampler_chain(sampling_params{}), nullptr);  // temperature 0: greedy

    // Rows of any length: ties in different lanes of the vectorised search, the largest in the tail past the last
    // whole group of lanes, and a row of -infinity, all as std::max_element picks.
    const struct {
        int32_t n;
        std::vector<std::pair<int32_t, float>> set;  // index, value over a row of zeros
    } rows[] = {{7, {{5, 1.0f}}},
                {16, {{15, 2.0f}, {3, 2.0f}}},
                {37, {{36, 5.0f}}},
                {151936, {{151935, 9.0f}, {70001, 9.0f}}},
                {33, {{17, -1.0f}}},
                {40, {}}};
    for (const auto& t : rows) {
        std::vector<float> r(size_t(t.n), 0.0f);
        for (const auto& [i, v] : t.set) r[size_t(i)] = v;
        EXPECT_EQ(choose_token(nullptr, r.data(), t.n), std::max_element(r.begin(), r.end()) - r.begin()) << t.n;
    }
    std::vector<float> low(20, -INFINITY);
    EXPECT_EQ(choose_token(nullptr, low.data(), 20), 0);

    // A top-k of 1 always keeps the argmax, whatever the temperature.
    llama_sampler* top1 = make_sampler_chain({0.8f, 1.0f, 1, 7});
    for (int i = 0; i < 20; ++i) EXPECT_EQ(choose_token(top1, row.data(), int32_t(row.size())), 1);
    llama_sampler_free(top1);

    // The same seed draws the same sequence; the draws cover more than one token.
    std::vector<float> flat(50, 1.0f);
    auto draws = [&](uint32_t seed) {
        llama_sampler* chain = make_sampler_chain({0.8f, 0.95f, 40, seed});
        std::vector<int32_t> out;
        for (int i = 0; i < 30; ++i) out.push_back(choose_token(chain, flat.data(), int32_t(flat.size())));
        llama_sampler_free(chain);
        return out;
    };
    const auto a = draws(1234), b = draws(1234), c = draws(99);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_GT(std::set<int32_t>(a.begin(), a.end()).size(), 5u);
}

// A copy of the qwen2 vocabulary whose padding token 151900 spells 300 bytes: its text does not fit the first
// buffer of 256 bytes and must still come out whole.
TEST(TokenPiece, LongTokenIsFetchedWhole) {
    const std::string src = MIVRA_LLAMA_MODELS_DIR "/ggml-vocab-qwen2.gguf";
    const std::string dst = (std::filesystem::temp_directory_path() /
                             ("mivra-long-token-vocab-" + std::to_string(getpid()) + ".gguf")).string();
    const std::string long_text(300, 'x');
    const int32_t long_token = 151900;
    {
        gguf_init_params params{true, nullptr};
        gguf_context* in = gguf_init_from_file(src.c_str(), params);
        ASSERT_NE(in, nullptr);
        ASSERT_EQ(gguf_get_n_tensors(in), 0);
        const int64_t key = gguf_find_key(in, "tokenizer.ggml.tokens");
        ASSERT_GE(key, 0);
        std::vector<std::string> tokens(gguf_get_arr_n(in, key));
        for (size_t i = 0; i < tokens.size(); ++i) tokens[i] = gguf_get_arr_str(in, key, i);
        ASSERT_GT(tokens.size(), size_t(long_token));
        tokens[size_t(long_token)] = long_text;
        std::vector<const char*> ptrs;
        for (const auto& t : tokens) ptrs.push_back(t.c_str());
        gguf_context* out = gguf_init_empty();
        gguf_set_kv(out, in);
        gguf_set_arr_str(out, "tokenizer.ggml.tokens", ptrs.data(), ptrs.size());
        ASSERT_TRUE(gguf_write_to_file(out, dst.c_str(), false));
        gguf_free(out);
        gguf_free(in);
    }
    llama_backend_init();
    llama_model_params p = llama_model_default_params();
    p.vocab_only = true;
    llama_model* m = llama_model_load_from_file(dst.c_str(), p);
    ASSERT_NE(m, nullptr);
    const llama_vocab* vocab = llama_model_get_vocab(m);
    EXPECT_EQ(token_piece(vocab, long_token), long_text);
    EXPECT_EQ(token_piece(vocab, 9707), "Hello");  // an ordinary token still fits the first buffer
    llama_model_free(m);
    std::filesystem::remove(dst);
}
