#include "engine/runtime/kv_masks.h"

#include <algorithm>
#include <stdexcept>

int32_t round_context(int32_t n_ctx) {
    const int64_t rounded = (static_cast<int64_t>(n_ctx) + 255) / 256 * 256;
    if (rounded > INT32_MAX) throw std::runtime_error("cannot allocate KV cache");
    return static_cast<int32_t>(std::max<int64_t>(rounded, 0));
}

int32_t kv_window_for(int32_t p, int32_t n, int32_t n_ctx) {
    const int64_t end = (static_cast<int64_t>(p) + n + 255) / 256 * 256;
    return static_cast<int32_t>(std::min<int64_t>(n_ctx, std::max<int64_t>(256, end)));
}

void build_masks(int32_t p, int32_t n, int32_t window, int32_t sliding_window, std::vector<uint16_t>& causal,
                 std::vector<uint16_t>& windowed) {
    const size_t cells = static_cast<size_t>(n) * window;
    causal.assign(cells, f16_neg_inf);
    for (int32_t i = 0; i < n; ++i) {
        const int32_t last = std::min(p + i, window - 1);
        std::fill_n(causal.begin() + static_cast<size_t>(i) * window, last + 1, f16_zero);
    }
    windowed = causal;
    if (sliding_window <= 0) return;
    for (int32_t i = 0; i < n; ++i) {
        // cells c with p + i - c >= sliding_window, i.e. c <= p + i - sliding_window
        const int64_t hidden_to = std::min<int64_t>(static_cast<int64_t>(p) + i - sliding_window, window - 1);
        if (hidden_to < 0) continue;
        std::fill_n(windowed.begin() + static_cast<size_t>(i) * window, hidden_to + 1, f16_neg_inf);
    }
}
