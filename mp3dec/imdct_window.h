// Long-block IMDCT windows (imdct_window.cpp, written by tools/gen_imdct_window.py).
//
// Four signed words per output pair k = 0..8 of the 36-point transform: W[4k] and
// W[4k + 1] weigh the difference term for times 8 - k and 9 + k of this granule,
// W[4k + 2] and W[4k + 3] the sum term for the same times of the next granule's
// overlap. Each word folds the block type's window, the transform's output gain for
// that time and the stage's factor 1/8. Word formats: W[0], W[1] Q30; W[2], W[3] Q32;
// from k = 1 on W[4k] Q32, W[4k + 1] Q31, W[4k + 2] and W[4k + 3] Q33.
#pragma once

#include <array>
#include <cstdint>

namespace mp3 {

extern const std::array<int32_t, 36> imdct_window_normal;
extern const std::array<int32_t, 36> imdct_window_start;
extern const std::array<int32_t, 36> imdct_window_stop;

} // namespace mp3
