// The chat layer over llama-common: rendering a conversation into a prompt and parsing the model's output back into
// an assistant message, plus the text-with-tokens value in which generated text travels.
//
// llama-common renders templates (common_chat_templates_apply) and parses output (common_chat_parse with the
// parser that rendering produced); these types keep the pieces of one conversation together so that callers deal
// with one object per request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "chat.h"

struct llama_vocab;

// UTF-8 text together with the tokens whose pieces make it up. Every token is kept with the byte offset at which
// its piece starts, so that cutting the text keeps each token with the bytes it produced: a range holds the tokens
// whose pieces start inside it. Consecutive ranges that split a text therefore hand out every token exactly once.
// A plain value; not thread-safe.
class token_text {
public:
    token_text() = default;
    explicit token_text(std::string text) : text_(std::move(text)) {}

    // Appends one token's piece (which may be empty).
    void append(std::string_view piece, int32_t token);
    // Appends another input, tokens included.
    void append(const token_text& other);

    // Bytes [pos, pos + len) (clipped to the text) with the tokens whose pieces start there.
    token_text sub(size_t pos, size_t len = std::string::npos) const;
    // Keeps the first n bytes and the tokens whose pieces start before n.
    void truncate(size_t n);
    void clear();

    // A copy in which every byte sequence that is not well-formed UTF-8 becomes U+FFFD (one for each maximal
    // ill-formed subpart, as Unicode recommends), each token kept with the text its bytes became. A sequence cut
    // off by the end of the text is replaced too: use it on text that will not grow any more (the engine holds
    // back an unfinished character until it is complete or generation ends). Returns an equal copy when the text
    // is valid.
    token_text with_valid_utf8() const;

    const std::string& str() const { return text_; }
    size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }
    const std::vector<int32_t>& tokens() const { return tokens_; }

private:
    std::string text_;
    std::vector<int32_t> tokens_;
    std::vector<size_t> starts_;  // starts_[i]: offset of tokens_[i]'s piece in text_
};

// The rendered prompt of a conversation.
struct rendered_prompt {
    std::string text;
    const std::string& str() const { return text; }
};

// Both false unless a caller needs otherwise.
struct chat_session_params {
    bool echo = false;   // parsed messages include a prefilled assistant message
    bool debug = false;  // the output parser prints its syntax tree on stderr
};

// The chat library's template engine is not safe on several threads at once (its date functions share localtime's
// buffer, and concurrent renderings race on its built-in tables): every call that renders a template
// (common_chat_templates_apply, common_chat_templates_support_enable_thinking, ...) holds this mutex. The session
// constructor takes it itself.
std::mutex& chat_template_mutex();

// One conversation turn: renders the inputs at construction, then parses the model's output as it arrives.
// Feed the output piece by piece with feed() and end with finish(); the session keeps the whole output itself.
// Not thread-safe: one thread at a time (callers hand it from thread to thread with proper ordering).
class chat_session {
public:
    // Renders the inputs with the template set. Throws the library's error when the template fails.
    // `vocab` is the vocabulary the prompt will be tokenised with; it must outlive the session (may be null).
    chat_session(const common_chat_templates* templates, const llama_vocab* vocab,
                        const common_chat_templates_inputs& inputs, const chat_session_params& params);
    chat_session(const chat_session&) = delete;
    chat_session& operator=(const chat_session&) = delete;

    const rendered_prompt& prompt() const { return prompt_; }
    // Stop strings the template needs besides the vocabulary's end-of-generation tokens.
    const std::vector<std::string>& stops() const { return stops_; }
    // The assistant message parsed so far; before any output, the message the prompt already implies.
    const common_chat_msg& message() const { return message_; }
    // Everything fed so far.
    const token_text& output() const { return output_; }
    const llama_vocab* vocab() const { return vocab_; }

    // Appends a piece of output and parses the whole output as unfinished. Returns the message parsed so far
    // (unchanged when the new output adds nothing parseable yet). Throws when the output cannot be the start of
    // an answer in the template's format.
    const common_chat_msg& feed(const token_text& piece);
    // Appends the last piece (may be empty) and parses the whole output as complete. Throws when it does not
    // match the template's format (a malformed tool call, for instance).
    const common_chat_msg& finish(const token_text& piece);

private:
    const llama_vocab* vocab_;
    rendered_prompt prompt_;
    std::vector<std::string> stops_;
    common_chat_parser_params parser_;
    token_text output_;
    common_chat_msg message_;
};
