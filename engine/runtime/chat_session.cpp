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
