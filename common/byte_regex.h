// A regular expression for searching untrusted text of any length: PCRE2 in byte mode (no UTF-8 decoding, so any
// bytes may be searched), with the JavaScript-like options (\u escapes, unset back-references match empty), and
// with limits on the work and memory of one search. PCRE2 keeps its backtracking state on the heap, so a long
// subject cannot overflow the stack the way std::regex does.
//
// A byte_regex is used by one thread at a time (it owns the match data of its searches); copy is deleted.
#pragma once

#include <string>
#include <string_view>

struct pcre2_real_code_8;
struct pcre2_real_match_context_8;
struct pcre2_real_match_data_8;

class byte_regex {
public:
    struct options {
        bool caseless = false;       // ASCII letters match either case (byte mode: no other case folding)
        // Backtracking steps one search may take, and heap it may use; a search past either ends as no match.
        unsigned match_limit = 1000000;
        unsigned heap_limit_kib = 65536;
    };

    // Compiles `pattern`. Throws std::runtime_error with PCRE2's own message ("missing closing parenthesis" and the
    // like) when the pattern is invalid. A pattern cannot switch on UTF mode ("(*UTF)" is refused).
    byte_regex(std::string_view pattern, const options& opts);
    ~byte_regex();
    byte_regex(const byte_regex&) = delete;
    byte_regex& operator=(const byte_regex&) = delete;

    // True when the pattern occurs anywhere in `subject`. A search that reaches a limit, or fails in any other way,
    // is false. Never throws.
    bool search(std::string_view subject);

private:
    void release();
    pcre2_real_code_8* code_ = nullptr;
    pcre2_real_match_context_8* context_ = nullptr;
    pcre2_real_match_data_8* data_ = nullptr;
};
