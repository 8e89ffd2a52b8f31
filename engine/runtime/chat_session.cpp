#include "engine/runtime/chat_session.h"

#include <algorithm>
#include <mutex>

void token_text::append(std::string_view piece, int32_t token) {
    starts_.push_back(text_.size());
    tokens_.push_back(token);
    text_.append(piece);
}

void token_text::append(const token_text& other) {
    const size_t base = text_.size();
    text_ += other.text_;
    tokens_.insert(tokens_.end(), other.tokens_.begin(), other.tokens_.end());
    for (size_t s : other.starts_) starts_.push_back(base + s);
}

token_text token_text::sub(size_t pos, size_t len) const {
    token_text out;
    pos = std::min(pos, text_.size());
    len = std::min(len, text_.size() - pos);
    out.text_ = text_.substr(pos, len);
    // starts_ is non-decreasing, so the tokens of the range are one run.
    auto first = std::lower_bound(starts_.begin(), starts_.end(), pos);
    auto last = std::lower_bound(first, starts_.end(), pos + len);
    for (auto it = first; it != last; ++it) {
        out.starts_.push_back(*it - pos);
        out.tokens_.push_back(tokens_[size_t(it - starts_.begin())]);
    }
    return out;
}

namespace {

// The length of the UTF-8 unit at s[i]: a whole well-formed sequence (valid = true), or the maximal ill-formed
// subpart that stands for one U+FFFD (valid = false), at least one byte.
size_t utf8_unit(const unsigned char* s, size_t n, size_t i, bool& valid) {
    const unsigned char b0 = s[i];
    valid = true;
    if (b0 < 0x80) return 1;
    // Length of the sequence and the range its second byte must fall in (excludes overlongs and surrogates).
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) len = 2;
    else if (b0 == 0xE0) len = 3, lo = 0xA0;
    else if (b0 >= 0xE1 && b0 <= 0xEC) len = 3;
    else if (b0 == 0xED) len = 3, hi = 0x9F;
    else if (b0 >= 0xEE && b0 <= 0xEF) len = 3;
    else if (b0 == 0xF0) len = 4, lo = 0x90;
    else if (b0 >= 0xF1 && b0 <= 0xF3) len = 4;
    else if (b0 == 0xF4) len = 4, hi = 0x8F;
    if (len == 0) {
        valid = false;
        return 1;
    }
    size_t k = 1;
    for (; k < len && i + k < n; ++k) {
        const unsigned char b = s[i + k];
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) break;
    }
    valid = k == len;
    return k;
}

}  // namespace

token_text token_text::with_valid_utf8() const {
    const auto* s = reinterpret_cast<const unsigned char*>(text_.data());
    const size_t n = text_.size();
    size_t i = 0;
    bool valid = true;
    while (i < n) {
        const size_t k = utf8_unit(s, n, i, valid);
        if (!valid) break;
        i += k;
    }
    if (i == n) return *this;

    token_text out;
    out.text_.reserve(n + 16);
    out.text_.assign(text_, 0, i);
    size_t t = 0;  // the next token to place; those of the valid beginning keep their starts
    for (; t < starts_.size() && starts_[t] < i; ++t) {
        out.starts_.push_back(starts_[t]);
        out.tokens_.push_back(tokens_[t]);
    }
    while (i < n) {
        const size_t k = utf8_unit(s, n, i, valid);
        const size_t at = out.text_.size();
        if (valid) out.text_.append(text_, i, k);
        else out.text_ += "\xEF\xBF\xBD";
        // Tokens whose pieces start inside this unit now start where it was written.
        for (; t < starts_.size() && starts_[t] < i + k; ++t) {
            out.starts_.push_back(at + (valid ? starts_[t] - i : 0));
            out.tokens_.push_back(tokens_[t]);
        }
        i += k;
    }
    for (; t < starts_.size(); ++t) {  // empty pieces at the very end
        out.starts_.push_back(out.text_.size());
        out.tokens_.push_back(tokens_[t]);
    }
    return out;
}

void token_text::truncate(size_t n) {
    if (n >= text_.size()) return;
    text_.resize(n);
    const size_t keep = size_t(std::lower_bound(starts_.begin(), starts_.end(), n) - starts_.begin());
    starts_.resize(keep);
    tokens_.resize(keep);
}

void token_text::clear() {
    text_.clear();
    tokens_.clear();
    starts_.clear();
}

std::mutex& chat_template_mutex() {
    static std::mutex mutex;
    return mutex;
}

chat_session::chat_session(const common_chat_templates* templates, const llama_vocab* vocab,
                                         const common_chat_templates_inputs& inputs,
                                         const chat_session_params& params)
    : vocab_(vocab) {
    std::unique_lock<std::mutex> render_lock(chat_template_mutex());
    common_chat_params rendered = common_chat_templates_apply(templates, inputs);
    render_lock.unlock();
    prompt_.text = std::move(rendered.prompt);
    stops_ = rendered.additional_stops;

    parser_ = common_chat_parser_params(rendered);
    parser_.reasoning_format = inputs.reasoning_format;
    parser_.is_continuation = inputs.continue_final_message != COMMON_CHAT_CONTINUATION_NONE;
    parser_.echo = params.echo;
    parser_.debug = params.debug;
    if (!rendered.parser.empty()) parser_.parser.load(rendered.parser);

    message_.role = "assistant";
    // A continued assistant message already holds text; without echo the first diffs must not repeat it.
    if (parser_.is_continuation && !parser_.echo) message_ = common_chat_parse("", true, parser_);
}

const common_chat_msg& chat_session::feed(const token_text& piece) {
    output_.append(piece);
    common_chat_msg parsed = common_chat_parse(output_.str(), true, parser_);
    // An unfinished output may parse to nothing yet (a tool-call opening tag, say); keep the last message then.
    if (!parsed.empty()) message_ = std::move(parsed);
    return message_;
}

const common_chat_msg& chat_session::finish(const token_text& piece) {
    output_.append(piece);
    message_ = common_chat_parse(output_.str(), false, parser_);
    return message_;
}
