// Polyphase synthesis window (synth_window.cpp, written by tools/gen_synth_window.py).
//
// The window coefficients D[i] x 65536 (exact integers, so D is Q16), 256 words with
// their signs folded in, in the order synth_output reads them; the generator's header
// comment gives the arrangement. The centre tap D[256] is stored halved and applied to
// a doubled history value.
#pragma once

#include <array>
#include <cstdint>

namespace mp3 {

constexpr int SYNTH_WINDOW_FRAC_BITS = 16;
extern const std::array<int32_t, 256> synth_window;

} // namespace mp3
