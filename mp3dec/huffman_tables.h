// Code tables of the Huffman stage. The data lives in huffman_tables.cpp and count1_table.h,
// written by tools/gen_mp3_tables.py from the standard's code tables.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace mp3 {

// Big-value code trees, arrays of 16-bit entries:
//   internal entry (bit 15 clear): bits 14..0 are the distance in bytes from the entry to
//     the first entry of its child group, always forward;
//   leaf (bit 15 set, bit 14 clear): bits 13..10 the bits to consume, 9..6 x, 5 set when x
//     takes linbits, 4..1 y, 0 set when y takes linbits.
// The first group has 8 entries (indexed by the next 3 bits), the groups of the next three
// levels 4 (2 bits), deeper groups 2 (1 bit). A leaf in the first four levels consumes its
// whole code length; below them, after 9 bits, the walk goes on in runs of 7 one-bit levels
// and a leaf at level j of a run consumes j bits.
constexpr uint16_t HUFF_LEAF = 0x8000;  // 32768
constexpr uint16_t HUFF_X_LIN = 0x0020; // 32
constexpr uint16_t HUFF_Y_LIN = 0x0001; // 1
constexpr int HUFF_BITS_SHIFT = 10;
constexpr int HUFF_X_SHIFT = 6;
constexpr int HUFF_Y_SHIFT = 1;
constexpr int HUFF_FIRST_LEVELS_BITS = 9; // 3 + 2 + 2 + 2
constexpr int HUFF_RUN = 7;

constexpr uint16_t node(int distance_bytes) {
    return static_cast<uint16_t>(distance_bytes);
}
constexpr uint16_t leaf(int bits, int x, int y) {
    return static_cast<uint16_t>(HUFF_LEAF | bits << HUFF_BITS_SHIFT | x << HUFF_X_SHIFT |
                                 y << HUFF_Y_SHIFT);
}
// Leaf of a 16 x 16 tree: the value 15 is followed by linbits.
constexpr uint16_t leaf_esc(int bits, int x, int y) {
    return static_cast<uint16_t>(leaf(bits, x, y) | (x == 15 ? HUFF_X_LIN : 0) |
                                 (y == 15 ? HUFF_Y_LIN : 0));
}
static_assert(leaf_esc(4, 15, 15) == 0x93FF); // 37887

// First-level decode table of a tree, derived from it at compile time: one entry for each
// value of the next `bits` bits (the tree's longest code length, at most HUFF_FAST_BITS).
// An entry is the leaf the tree walk reaches within those bits, or, for a longer code, the
// index in the tree of the group the walk goes on with (bit 15 clear): the one-bit levels
// after the first HUFF_FIRST_LEVELS_BITS bits.
constexpr int HUFF_FAST_BITS = 9;
static_assert(HUFF_FAST_BITS == HUFF_FIRST_LEVELS_BITS); // a long code goes on one bit a level
constexpr int huff_fast_bits(int longest) {
    return longest < HUFF_FAST_BITS ? longest : HUFF_FAST_BITS;
}

void huff_code_longer_than_stated(); // not constexpr: stops the build when called

template <int kLongest, std::size_t kSize>
constexpr std::array<uint16_t, std::size_t{1} << huff_fast_bits(kLongest)>
huff_fast_table(const std::array<uint16_t, kSize>& tree) {
    constexpr int bits = huff_fast_bits(kLongest);
    constexpr int level_bits[4] = {3, 2, 2, 2};
    std::array<uint16_t, std::size_t{1} << bits> fast{};
    for (uint32_t p = 0; p < fast.size(); ++p) {
        const uint32_t window = p << (32 - bits);
        uint32_t group = 0;
        int used = 0;
        uint16_t found = 0;
        for (int level = 0; level < 4 && !found; ++level) {
            const uint32_t k = (window << used) >> (32 - level_bits[level]);
            const uint16_t e = tree[group + k];
            if (e & HUFF_LEAF) {
                found = e;
            } else {
                group += k + e / 2u;
                used += level_bits[level];
            }
        }
        // Without a leaf the code is longer than HUFF_FAST_BITS, which a table whose
        // longest code fits cannot have.
        if (!found && bits < HUFF_FAST_BITS) huff_code_longer_than_stated();
        fast[p] = found ? found : static_cast<uint16_t>(group);
    }
    return fast;
}

// The shift that brings the next bits of a 32-bit window down to an index of `fast`.
template <std::size_t kSize> constexpr int32_t huff_fast_shift(const std::array<uint16_t, kSize>&) {
    return 32 - std::countr_zero(kSize);
}

struct tHuffTable {
    const uint16_t* tree; // nullptr for table numbers 0, 4 and 14
    const uint16_t* fast; // its first-level table
    int32_t fast_shift;   // 32 - the fast table's index bits
    int32_t linbits;
};
extern const tHuffTable huff_tables[32];

// count1 table A: a leading 1 bit is (0, 0, 0, 0); after a leading 0 the next 5 bits index
// count1_a. Entry: bits 15..12 the total bits (code length plus one sign bit per nonzero
// value), 11..8 the values v, w, x, y (v in bit 11), 7..0 the code length.
constexpr uint16_t quad(int len, int v, int w, int x, int y) {
    return static_cast<uint16_t>((len + v + w + x + y) << 12 | v << 11 | w << 10 | x << 9 | y << 8 |
                                 len);
}
static_assert(quad(6, 1, 1, 1, 1) == 0xAF06); // 44806
// (count1_a itself: count1_table.h)

// pow43_table[x] = x^(4/3) in Q17; the entries below 56 are rounded in Q13 and scaled by 16.
// Values up to 1024 use entry >> 4 (Q13); larger ones interpolate between multiples of 8,
// reading entry k as (8k)^(4/3) in Q13.
constexpr int POW43_ENTRIES = 1027;
constexpr int POW43_FRAC_BITS = 17;
extern const std::array<int32_t, POW43_ENTRIES> pow43_table;

} // namespace mp3
