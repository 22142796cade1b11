// Scale-factor partitions of MPEG-2 and MPEG-2.5 (ISO/IEC 13818-3 nr_of_sfb_block).
#pragma once

#include <cstdint>

namespace mp3 {

// [row][block kind: 0 long, 1 short, 2 mixed][partition]: scale factors per partition.
inline constexpr uint8_t nr_of_sfb_block[6][3][4] = {
    {{6, 5, 5, 5}, {9, 9, 9, 9}, {6, 9, 9, 9}},
    {{6, 5, 7, 3}, {9, 9, 12, 6}, {6, 9, 12, 6}},
    {{11, 10, 0, 0}, {18, 18, 0, 0}, {15, 18, 0, 0}},
    {{7, 7, 7, 0}, {12, 12, 12, 0}, {6, 15, 12, 0}},
    {{6, 6, 6, 3}, {12, 9, 9, 6}, {6, 12, 9, 6}},
    {{8, 8, 5, 0}, {15, 12, 9, 0}, {6, 18, 9, 0}},
};

} // namespace mp3
