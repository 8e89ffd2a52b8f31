// `mivra run`: one answer to one prompt on the console. The prompt is rendered as a single user message through the
// model's chat template, generated greedily and written to stdout as it arrives; timing and cache statistics follow
// on stderr.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "cli/commands.h"
#include "engine/runtime/chat_session.h"
#include "engine/runtime/engine.h"
#include "engine/runtime/run_stats.h"

namespace {

// The on_text of `run`: writes the piece (nothing for a keep-alive) and flushes; never stops the generation.
bool print_piece(const token_text& piece) {
    if (!piece.empty()) std::fwrite(piece.str().data(), 1, piece.size(), stdout);
    std::fflush(stdout);
    return true;
}

}  // namespace

int cmd_run(const engine_options& options) {
    auto eng = std::make_unique<engine>(options);

    common_chat_templates_inputs inputs;
    common_chat_msg user;
    user.role = "user";
    user.content = options.prompt;
    inputs.messages.push_back(user);
    const chat_session session(eng->templates.get(), eng->vocab, inputs, chat_session_params{});
    const std::vector<int32_t> tokens = eng->tokenize(session.prompt().str());

    sampling_params greedy;
    greedy.temperature = 0.0f;
    greedy.top_p = 1.0f;
    greedy.top_k = 0;
    greedy.seed = 0xFFFFFFFFu;
    const generation_stats stats = eng->generate(tokens, options.n_predict, greedy, {}, print_piece, nullptr);

    std::fputs("\n", stdout);
    std::fflush(stdout);
    std::fprintf(stderr,
                 "\nprefill %d tokens in %.1f s (%.1f tok/s), generated %d tokens in %.1f s (%.2f tok/s), "
                 "%d of %d drafts accepted\n",
                 stats.prompt_tokens, stats.prefill_seconds,
                 double(stats.prompt_tokens) / std::max(1e-9, stats.prefill_seconds), stats.generated_tokens,
                 stats.generate_seconds, double(stats.generated_tokens) / std::max(1e-9, stats.generate_seconds),
                 stats.accepted_tokens, stats.drafted_tokens);
    print_run_stats(*eng->cache, *eng->runner);
    eng.reset();
    return 0;
}
