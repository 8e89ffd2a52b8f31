#include "common/byte_regex.h"

#include <stdexcept>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace {

std::string pcre2_message(int code) {
    PCRE2_UCHAR buffer[256];
    const int n = pcre2_get_error_message(code, buffer, sizeof buffer);
    if (n < 0) return "invalid regular expression";
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
}

}  // namespace

byte_regex::byte_regex(std::string_view pattern, const options& opts) {
    uint32_t flags = PCRE2_ALT_BSUX | PCRE2_MATCH_UNSET_BACKREF | PCRE2_NEVER_UTF | PCRE2_NEVER_UCP;
    if (opts.caseless) flags |= PCRE2_CASELESS;
    pcre2_compile_context* compile = pcre2_compile_context_create(nullptr);
    if (!compile) throw std::bad_alloc();
    pcre2_set_compile_extra_options(compile, PCRE2_EXTRA_ALT_BSUX);
    int error = 0;
    PCRE2_SIZE offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), flags, &error, &offset,
                          compile);
    pcre2_compile_context_free(compile);
    if (!code_) throw std::runtime_error(pcre2_message(error));

    context_ = pcre2_match_context_create(nullptr);
    data_ = pcre2_match_data_create_from_pattern(code_, nullptr);
    if (!context_ || !data_) {
        release();
        throw std::bad_alloc();
    }
    pcre2_set_match_limit(context_, opts.match_limit);
    pcre2_set_heap_limit(context_, opts.heap_limit_kib);
}

byte_regex::~byte_regex() { release(); }

void byte_regex::release() {
    pcre2_match_data_free(data_);
    pcre2_match_context_free(context_);
    pcre2_code_free(code_);
    data_ = nullptr;
    context_ = nullptr;
    code_ = nullptr;
}

bool byte_regex::search(std::string_view subject) {
    // An empty view may carry a null pointer, which PCRE2 accepts only with a zero length; give it a real one.
    const char* start = subject.empty() ? "" : subject.data();
    const int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(start), subject.size(), 0, 0, data_, context_);
    return rc >= 0;
}
