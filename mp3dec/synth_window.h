// Polyphase synthesis window (synth_window.cpp, written by tools/gen_synth_window.py).
//
// The window coefficients D[i] x 65536 (exact integers, so D is Q16) with their signs
// folded in, in the order synth_output reads them; the generator's header comment gives
// the arrangement. The centre tap D[256] is stored halved and applied to a doubled
// history value. Samples 0 and 16 take 8 words each; samples j and 32 - j (j = 1..15)
// share a row of 64 words: one pair of words (sample j, sample 32 - j) per history value,
// the 8 pairs of the even ages twice, then the 8 of the odd ages twice, so that a history
// ring starting at any slot reads its 8 pairs in a row.
#pragma once

#include <array>
#include <cstdint>

namespace mp3 {

constexpr int SYNTH_WINDOW_FRAC_BITS = 16;
constexpr int SYNTH_ROW0_WORDS = 16; // samples 0 and 16
constexpr int SYNTH_ROW_WORDS = 64;  // samples j and 32 - j, j = 1..15
extern const std::array<int32_t, SYNTH_ROW0_WORDS + 15 * SYNTH_ROW_WORDS> synth_window;

} // namespace mp3
