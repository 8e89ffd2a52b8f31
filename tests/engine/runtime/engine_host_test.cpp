// The engine host on packed fixture models, with libllama's greedy continuation of the original GGUF as the oracle:
// generation, prefix reuse, prompt chunks and keep-alives, parallel slots, the queue, and the error paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "engine/runtime/engine.h"
#include "engine/runtime/engine_test_pack.h"

namespace {

// What one generation delivered through on_text.
struct transcript {
    std::string text;
    std::vector<int32_t> tokens;
    int keepalives_before_text = 0;
    int keepalives = 0;

    on_text_fn sink() {
        return [this](const token_text& piece) {
            if (piece.empty()) {
                ++keepalives;
                if (text.empty()) ++keepalives_before_text;
                return true;
            }
            text += piece.str();
            tokens.insert(tokens.end(), piece.tokens().begin(), piece.tokens().end());
            return true;
        };
    }
};

std::vector<int32_t> chat_prompt(engine& e, const std::string& user_text) {
    common_chat_templates_inputs inputs;
    common_chat_msg msg;
    msg.role = "user";
    msg.content = user_text;
    inputs.messages.push_back(msg);
    chat_session session(e.templates.get(), e.vocab, inputs, {});
    return e.tokenize(session.prompt().str());
}

// Ordinary tokens with little structure, as a long prompt.
std::vector<int32_t> synthetic_prompt(size_t n, int32_t salt) {
    std::vector<int32_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = 1000 + int32_t((i * 7919 + size_t(salt) * 104729) % 20000);
    return p;
}

const sampling_params greedy{};

}  // namespace

class EngineGreedy : public testing::TestWithParam<const char*> {};

// The engine's greedy text is libllama's; the same prompt again evaluates only its last token and says the same.
TEST_P(EngineGreedy, MatchesLibllamaAndReusesThePrompt) {
    const test_pack& pack = fixture_pack(GetParam());
    engine e(test_engine_options(pack));
    const std::vector<int32_t> prompt = chat_prompt(e, "Tell me about mixtures of experts.");
    const std::vector<int32_t> want = reference_continuation(pack, prompt, 40);
    ASSERT_FALSE(want.empty());

    transcript first;
    const generation_stats s1 = e.generate(prompt, 40, greedy, {}, first.sink());
    EXPECT_EQ(first.tokens, want);
    EXPECT_EQ(first.text, tokens_text(pack, want));
    EXPECT_EQ(s1.prompt_tokens, int32_t(prompt.size()));
    EXPECT_EQ(s1.reused_tokens, 0);
    EXPECT_EQ(s1.generated_tokens, int32_t(want.size()));
    EXPECT_EQ(s1.finish_reason, want.size() < 40 ? "stop" : "length");
    EXPECT_EQ(first.keepalives, 0);
    // Every finished request leaves the cache's usage scores in hot.bin: one f32 per expert of every layer.
    EXPECT_EQ(std::filesystem::file_size(std::filesystem::path(pack.dir) / "hot.bin"),
              sizeof(float) * size_t(e.mdl.hparams.n_layer) * size_t(e.mdl.hparams.n_expert));

    transcript again;
    const generation_stats s2 = e.generate(prompt, 40, greedy, {}, again.sink());
    EXPECT_EQ(s2.reused_tokens, int32_t(prompt.size()) - 1);
    // The last prompt token now runs alone, through other matrix kernels than the whole prompt did: on some CPUs
    // the rounding differs, and a random-weight model with near ties may then part from the first text after a
    // few tokens. Its start must agree.
    const size_t agreed = std::min<size_t>(4, first.tokens.size());
    ASSERT_GE(again.tokens.size(), agreed);
    EXPECT_EQ(std::vector<int32_t>(again.tokens.begin(), again.tokens.begin() + agreed),
              std::vector<int32_t>(first.tokens.begin(), first.tokens.begin() + agreed));
}

INSTANTIATE_TEST_SUITE_P(BothArchitectures, EngineGreedy, testing::Values("qwen3moe", "gpt-oss"),
                         [](const auto& info) { return std::string(info.param) == "gpt-oss" ? "gpt_oss" : "qwen3moe"; });

// 1300 prompt tokens go in passes of 512, 512 and 276 with a keep-alive after each of the first two; a prompt that
// shares its first 1000 tokens then reuses exactly those.
TEST(Engine, LongPromptTakesSeveralPassesWithKeepAlives) {
    const test_pack& pack = fixture_pack("qwen3moe");
    engine e(test_engine_options(pack));
    const std::vector<int32_t> prompt = synthetic_prompt(1300, 1);
    const std::vector<int32_t> want = reference_continuation(pack, prompt, 12);

    transcript t;
    const generation_stats s = e.generate(prompt, 12, greedy, {}, t.sink());
    EXPECT_EQ(t.keepalives_before_text, 2);
    EXPECT_EQ(t.tokens, want);
    EXPECT_EQ(s.prompt_tokens, 1300);

    std::vector<int32_t> branch(prompt.begin(), prompt.begin() + 1000);
    const std::vector<int32_t> tail = synthetic_prompt(200, 2);
    branch.insert(branch.end(), tail.begin(), tail.end());
    transcript b;
    const generation_stats sb = e.generate(branch, 12, greedy, {}, b.sink());
    EXPECT_EQ(sb.reused_tokens, 1000);
    EXPECT_EQ(b.keepalives_before_text, 0);  // 200 new tokens fit one pass
    EXPECT_EQ(b.tokens, reference_continuation(pack, branch, 12));
}

// Two slots serving two requests at once give what one slot gives them one after the other, while a long prefill
// of one runs beside the other's generation.
TEST(Engine, ParallelRequestsMatchSequentialOnes) {
    const test_pack& pack = fixture_pack("gpt-oss");
    const std::vector<int32_t> long_prompt = synthetic_prompt(700, 3);
    std::vector<int32_t> short_prompt;
    std::string a_seq, b_seq;
    {
        engine one(test_engine_options(pack, 1));
        short_prompt = chat_prompt(one, "Count to ten.");
        transcript a, b;
        one.generate(short_prompt, 48, greedy, {}, a.sink());
        one.generate(long_prompt, 24, greedy, {}, b.sink());
        a_seq = a.text;
        b_seq = b.text;
    }
    engine two(test_engine_options(pack, 2));
    transcript a, b;
    std::atomic<bool> a_started{false};
    std::thread ta([&] { two.generate(short_prompt, 48, greedy, {}, [&](const token_text& in) {
                         a_started = true;
                         return a.sink()(in);
                     }); });
    while (!a_started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread tb([&] { two.generate(long_prompt, 24, greedy, {}, b.sink()); });
    ta.join();
    tb.join();
    EXPECT_EQ(a.text, a_seq);
    EXPECT_EQ(b.text, b_seq);
}

// With one slot a second request waits in the queue: it gets a keep-alive in the first pass after it arrives, and a
// receiver that is gone by then leaves the queue at once with "stop" and nothing counted.
TEST(Engine, QueuedRequestGetsKeepAliveAndMayLeave) {
    const test_pack& pack = fixture_pack("qwen3moe");
    engine e(test_engine_options(pack, 1));
    const std::vector<int32_t> prompt = chat_prompt(e, "Say something long.");

    std::atomic<bool> first_text{false};
    std::thread first([&] {
        e.generate(prompt, 32, greedy, {}, [&](const token_text& in) {
            if (!in.empty() && !first_text.exchange(true)) {
                // Hold the worker until both other requests are in the queue.
                while (e.queued_requests() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return true;
        });
    });
    while (!first_text) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    int gone_calls = 0;
    generation_stats gone;
    transcript stays;
    std::thread leaver([&] {
        gone = e.generate(prompt, 8, greedy, {}, [&](const token_text&) {
            ++gone_calls;
            return false;
        });
    });
    std::thread stayer([&] { e.generate(prompt, 8, greedy, {}, stays.sink()); });
    leaver.join();
    stayer.join();
    first.join();

    EXPECT_EQ(gone_calls, 1);
    EXPECT_EQ(gone.finish_reason, "stop");
    EXPECT_EQ(gone.prompt_tokens, 0);
    EXPECT_EQ(gone.generated_tokens, 0);
    EXPECT_GE(stays.keepalives_before_text, 1);
    EXPECT_FALSE(stays.text.empty());
}

TEST(Engine, PromptLimitsAndContextEnd) {
    const test_pack& pack = fixture_pack("qwen3moe");
    engine e(test_engine_options(pack, 1, 200));  // rounded up to 256
    ASSERT_EQ(e.n_ctx(), 256);
    transcript t;
    try {
        e.generate({}, 4, greedy, {}, t.sink());
        FAIL();
    } catch (const std::runtime_error& err) {
        EXPECT_STREQ(err.what(), "empty prompt");
    }
    try {
        e.generate(synthetic_prompt(256, 4), 4, greedy, {}, t.sink());
        FAIL();
    } catch (const std::runtime_error& err) {
        EXPECT_STREQ(err.what(), "prompt longer than the context");
    }
    // n_ctx - 1 prompt tokens fit. The first token generated takes the last cell; the second has no cell left to be
    // evaluated in, so it is delivered and the request ends with "length".
    const std::vector<int32_t> full = synthetic_prompt(255, 4);
    const generation_stats s = e.generate(full, 10, greedy, {}, t.sink());
    EXPECT_EQ(s.generated_tokens, 2);
    EXPECT_EQ(s.finish_reason, "length");
    EXPECT_EQ(t.tokens, reference_continuation(pack, full, 2));

    // A max_tokens of 0 still yields one token.
    transcript z;
    const generation_stats sz = e.generate(synthetic_prompt(20, 5), 0, greedy, {}, z.sink());
    EXPECT_EQ(sz.generated_tokens, 1);
    EXPECT_EQ(sz.finish_reason, "length");
}

// A stop string cuts the text before it; a receiver that refuses text ends the request; a receiver that throws
// fails its own request only, and the engine carries on.
TEST(Engine, StopStringsReceiversAndCallbackErrors) {
    const test_pack& pack = fixture_pack("qwen3moe");
    engine e(test_engine_options(pack));
    const std::vector<int32_t> prompt = chat_prompt(e, "Stop somewhere.");
    transcript full;
    e.generate(prompt, 30, greedy, {}, full.sink());
    ASSERT_GE(full.text.size(), 12u);

    const std::string stop = full.text.substr(full.text.size() / 2, 3);
    const size_t at = full.text.find(stop);
    transcript cut;
    const generation_stats sc = e.generate(prompt, 30, greedy, {"never there", stop}, cut.sink());
    EXPECT_EQ(cut.text, full.text.substr(0, at));
    EXPECT_EQ(sc.finish_reason, "stop");

    std::vector<std::string> offered;
    const generation_stats sr = e.generate(prompt, 30, greedy, {}, [&](const token_text& in) {
        if (!in.empty()) offered.push_back(in.str());
        return false;
    });
    EXPECT_EQ(sr.finish_reason, "stop");
    EXPECT_EQ(sr.generated_tokens, 1);
    ASSERT_FALSE(offered.empty());
    EXPECT_EQ(offered.back(), offered.front());  // the refused text is only offered again at the end

    try {
        e.generate(prompt, 30, greedy, {}, [](const token_text& in) -> bool {
            if (!in.empty()) throw std::runtime_error("receiver broke");
            return true;
        });
        FAIL();
    } catch (const std::runtime_error& err) {
        EXPECT_STREQ(err.what(), "receiver broke");
    }
    transcript after;
    e.generate(prompt, 30, greedy, {}, after.sink());
    EXPECT_EQ(after.text, full.text);
}

// A fixed seed reproduces a sampled text; another seed gives another one. Each run starts from a fresh engine: a
// reused prompt prefix changes how the last prompt token is evaluated, and with it the last bits of the logits.
TEST(Engine, SeededSamplingRepeats) {
    const test_pack& pack = fixture_pack("gpt-oss");
    auto sample = [&](uint32_t seed) {
        engine e(test_engine_options(pack));
        const std::vector<int32_t> prompt = chat_prompt(e, "Surprise me.");
        transcript t;
        e.generate(prompt, 32, sampling_params{0.8f, 1.0f, 0, seed}, {}, t.sink());
        return t.text;
    };
    const std::string a = sample(42);
    EXPECT_EQ(sample(42), a);
    EXPECT_NE(sample(7), a);
}
