// The scripted output of the test server (mivra-test-server): a random-weight model cannot be asked for a tool call
// or a reasoning block, so a test writes the answer it wants into its last message and the engine emits exactly
// those tokens in place of the sampled ones. Prefill, detokenising, hold-back, stop strings, chat parsing and the
// event stream all stay the engine's and the server's own.
//
//   [[script:TEXT]]  the answer is TEXT's tokens, then the end-of-generation token
//   [[loop:TEXT]]    TEXT's tokens over and over, until max_tokens or the client goes away
//
// The last marker in the prompt counts; without one the sampled token stays. TEXT is tokenised with special-token
// text parsed, so "<tool_call>" and "<think>" become the template's own tokens; "{byte:HH}" in TEXT stands for the
// vocabulary's token of the single byte 0xHH (so a test can make the model write bytes that are no valid UTF-8).
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "engine/runtime/generation.h"
#include "llama.h"

namespace {

struct script {
    std::vector<int32_t> tokens;
    bool loop = false;
};

std::string prompt_text(const llama_vocab* vocab, const std::vector<int32_t>& prompt) {
    std::string text;
    for (int32_t t : prompt) text += token_piece(vocab, t);
    return text;
}

void append_tokens(const llama_vocab* vocab, const std::string& text, std::vector<int32_t>& tokens) {
    const int32_t n = -llama_tokenize(vocab, text.data(), int32_t(text.size()), nullptr, 0, false, true);
    if (n <= 0) return;
    const size_t at = tokens.size();
    tokens.resize(at + size_t(n));
    llama_tokenize(vocab, text.data(), int32_t(text.size()), tokens.data() + at, n, false, true);
}

// The token whose text is the one byte `value` (found once per byte by a walk over the vocabulary).
int32_t byte_token(const llama_vocab* vocab, long value) {
    static std::mutex mutex;
    static std::vector<int32_t> found(256, -1);
    std::lock_guard<std::mutex> lock(mutex);
    int32_t& t = found[size_t(value & 0xFF)];
    for (int32_t id = 0; t < 0 && id < llama_vocab_n_tokens(vocab); ++id)
        if (token_piece(vocab, id) == std::string(1, char(value))) t = id;
    return t;
}

bool find_script(const llama_vocab* vocab, const std::vector<int32_t>& prompt, script& out) {
    const std::string text = prompt_text(vocab, prompt);
    const size_t once = text.rfind("[[script:");
    const size_t loop = text.rfind("[[loop:");
    size_t start = std::string::npos;
    if (once != std::string::npos && (loop == std::string::npos || once > loop)) {
        start = once + 9;
    } else if (loop != std::string::npos) {
        start = loop + 7;
        out.loop = true;
    }
    if (start == std::string::npos) return false;
    const size_t end = text.find("]]", start);
    if (end == std::string::npos) return false;
    std::string body = text.substr(start, end - start);
    for (size_t at; (at = body.find("{byte:")) != std::string::npos && at + 9 <= body.size();) {
        append_tokens(vocab, body.substr(0, at), out.tokens);
        out.tokens.push_back(byte_token(vocab, std::strtol(body.substr(at + 6, 2).c_str(), nullptr, 16)));
        body.erase(0, at + 9);
    }
    append_tokens(vocab, body, out.tokens);
    return !out.tokens.empty();
}

}  // namespace

int32_t scripted_token(const llama_vocab* vocab, const generation_request& r, int32_t sampled) {
    script s;
    if (!find_script(vocab, r.prompt, s)) return sampled;
    const size_t i = size_t(r.stats.generated_tokens);  // tokens emitted so far by this request
    if (s.loop) return s.tokens[i % s.tokens.size()];
    return i < s.tokens.size() ? s.tokens[i] : llama_vocab_eos(vocab);
}
