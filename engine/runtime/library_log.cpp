#include "engine/runtime/library_log.h"

#include <cstdio>
#include <cstring>

#include "ggml.h"
#include "llama.h"
#include "log.h"

namespace {

// Whether the last message of this thread passed: a continuation line follows the fate of its message.
thread_local bool last_passed = false;

// Errors of the file readers whose callers report every failure themselves.
bool reader_error(const char* text) {
    return std::strncmp(text, "gguf_", 5) == 0 || std::strncmp(text, "llama_model_load", 16) == 0;
}

bool passes(ggml_log_level level, const char* text) {
    if (level == GGML_LOG_LEVEL_CONT) return last_passed;
    if (level != GGML_LOG_LEVEL_ERROR) return false;
    return !reader_error(text);
}

void library_log_filter(ggml_log_level level, const char* text, void*) {
    last_passed = passes(level, text);
    if (last_passed) std::fputs(text, stderr);
}

}  // namespace

void install_library_log_filter() {
    ggml_log_set(library_log_filter, nullptr);
    llama_log_set(library_log_filter, nullptr);
    // Below the lowest verbosity any of its messages has: none is formatted or queued.
    common_log_set_verbosity_thold(LOG_LEVEL_OUTPUT - 1);
}
