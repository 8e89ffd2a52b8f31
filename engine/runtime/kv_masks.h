// Context sizes, KV windows and attention masks of one eval step.
#pragma once

#include <cstdint>
#include <vector>

// n_ctx rounded up to a multiple of 256; throws "cannot allocate KV cache" when that leaves the int32 range.
int32_t round_context(int32_t n_ctx);

// KV cells that attention reads for a sequence at position p with n new tokens:
// min(n_ctx, max(256, (p + n) rounded up to a multiple of 256)).
int32_t kv_window_for(int32_t p, int32_t n, int32_t n_ctx);

// F16 masks of n rows x window columns. Row i (position p + i) allows cells 0 .. p + i (value 0) and hides the
// rest (-infinity); the window mask also hides cells c with p + i - c >= sliding_window when that is above 0.
void build_masks(int32_t p, int32_t n, int32_t window, int32_t sliding_window, std::vector<uint16_t>& causal,
                 std::vector<uint16_t>& windowed);

// The F16 bit patterns of 0.0 and -infinity.
constexpr uint16_t f16_zero = 0x0000;
constexpr uint16_t f16_neg_inf = 0xFC00;
