// Forward searches over one text that the page scanners repeat many times: "the first occurrence at or after x".
// Internal to the scanners of agent/ (html_text.cpp, search_page_scan.cpp). Header only; no state beyond one object.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace forward_search {

constexpr size_t none = std::string_view::npos;

inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

// True when text[at...] begins with `word` (given in lower case), ASCII letters compared without regard to case.
inline bool starts_with_blind(std::string_view text, size_t at, std::string_view word) {
    if (at > text.size() || text.size() - at < word.size()) return false;
    for (size_t k = 0; k < word.size(); ++k) {
        if (ascii_lower(text[at + k]) != word[k]) return false;
    }
    return true;
}

// The first position at or after `from` where `word` (lower case, beginning with a byte that is not a letter)
// occurs case-blind; `none` when there is none.
inline size_t find_blind(std::string_view text, std::string_view word, size_t from) {
    for (size_t at = text.find(word[0], from); at != none; at = text.find(word[0], at + 1)) {
        if (starts_with_blind(text, at, word)) return at;
    }
    return none;
}

// Remembers the last answer of a search function `size_t(size_t from)` whose answer is the first position at or
// after `from` of something fixed (or `none`). A later question whose `from` lies between the last question and its
// answer gets the same answer without searching, so a series of questions with non-decreasing `from` costs one pass
// over the text in all. Any other question is searched afresh, so the answers are always right.
template <typename Search>
class next_occurrence {
public:
    explicit next_occurrence(Search search) : search_(std::move(search)) {}

    size_t operator()(size_t from) {
        if (asked_ != none && from >= asked_ && (found_ == none || from <= found_)) return found_;
        asked_ = from;
        found_ = search_(from);
        return found_;
    }

private:
    Search search_;
    size_t asked_ = none;
    size_t found_ = none;
};

} // namespace forward_search
