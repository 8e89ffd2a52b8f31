// `mivra run` as a program, on packed fixture models: its text is libllama's greedy continuation of the same chat
// prompt on the original GGUF, with and without forced drafts, followed by the statistics on stderr.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "chat.h"
#include "cli/run_child.h"
#include "engine/runtime/chat_session.h"
#include "engine/runtime/engine_test_pack.h"

namespace {

const char* const prompt_text = "Write a short poem about caching.";

// libllama's greedy text for the prompt as `run` renders it: one user message through the model's own template.
std::string expected_text(const test_pack& pack, int n_predict) {
    llama_ref_init_backend();
    llama_ref_options ro;
    ro.model_path = pack.gguf;
    llama_ref ref(ro);

    llama_model_params mp = llama_model_default_params();
    mp.vocab_only = true;
    llama_model* m = llama_model_load_from_file(pack.gguf.c_str(), mp);
    auto templates = common_chat_templates_init(m, "");
    common_chat_templates_inputs inputs;
    common_chat_msg user;
    user.role = "user";
    user.content = prompt_text;
    inputs.messages.push_back(user);
    const chat_session session(templates.get(), llama_model_get_vocab(m), inputs, {});
    const std::vector<int32_t> prompt = ref.tokenize(session.prompt().str());
    llama_model_free(m);

    return tokens_text(pack, reference_continuation(pack, prompt, n_predict));
}

std::vector<std::string> run_args(const test_pack& pack, int n_predict) {
    return {program_path("mivra"), "run", pack.dir, "-p", prompt_text, "-n", std::to_string(n_predict),
            "-t", "2", "-c", "1024", "--cache-mb", "64", "--kv-disk-mb", "0"};
}

// "..., %d of %d drafts accepted" of the statistics line: {accepted, drafted}.
std::pair<int, int> drafts(const std::string& err) {
    const size_t end = err.rfind(" drafts accepted");
    const size_t start = err.rfind(", ", end);
    int accepted = -1, drafted = -1;
    if (end != std::string::npos && start != std::string::npos)
        std::sscanf(err.substr(start + 2, end - start - 2).c_str(), "%d of %d", &accepted, &drafted);
    return {accepted, drafted};
}

}  // namespace

class RunCommand : public testing::TestWithParam<const char*> {};

TEST_P(RunCommand, PrintsLibllamaGreedyTextAndStatistics) {
    const test_pack& pack = fixture_pack(GetParam());
    const std::string want = expected_text(pack, 24);
    ASSERT_FALSE(want.empty());

    const child_result r = run_child(run_args(pack, 24));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, want + "\n");
    EXPECT_NE(r.err.find("core "), std::string::npos) << r.err;  // the engine's banner
    EXPECT_NE(r.err.find("\nprefill "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("  cache: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("  prefetch: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("  time: attention+routing "), std::string::npos) << r.err;

    // Drafts forced on every step: most are rejected, and the text stays the same.
    std::vector<std::string> forced = {"/usr/bin/env", "MIVRA_DRAFT_ALWAYS=1"};
    for (const auto& a : run_args(pack, 24)) forced.push_back(a);
    const child_result d = run_child(forced);
    ASSERT_EQ(d.exit_code, 0) << d.err;
    EXPECT_EQ(d.out, want + "\n");
    const auto [accepted, drafted] = drafts(d.err);
    EXPECT_GT(drafted, 0);
    EXPECT_GE(accepted, 0);
    EXPECT_LE(accepted, drafted);
}

INSTANTIATE_TEST_SUITE_P(BothArchitectures, RunCommand, testing::Values("qwen3moe", "gpt-oss"),
                         [](const auto& info) { return std::string(info.param) == "gpt-oss" ? "gpt_oss" : "qwen3moe"; });

TEST(RunCommandErrors, PromptThatFillsTheContextFails) {
    const test_pack& pack = fixture_pack("qwen3moe");
    std::string long_prompt;
    for (int i = 0; i < 300; ++i) long_prompt += "word ";
    const child_result r = run_child({program_path("mivra"), "run", pack.dir, "-p", long_prompt, "-c", "256",
                                      "--cache-mb", "64", "--kv-disk-mb", "0"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_TRUE(r.err.ends_with("error: prompt longer than the context\n")) << r.err;
}
