// Reading the caller's input words, most significant bit first.
#pragma once

#include "mp3dec.h"

#include <cstdint>

// Working copy of a read position, kept in locals while a call runs.
struct tBitReader {
    uint32_t word;     // value of the current word
    int32_t bits_left; // bits of it not yet read, 0..32
    uint32_t* ptr;     // the current word
};

inline tBitReader bitreader_load(const tMPEGBitstream* bs) {
    return tBitReader{*bs->bufptr, 32 - bs->bitidx, bs->bufptr};
}

inline void bitreader_store(const tBitReader& br, tMPEGBitstream* bs) {
    bs->bufptr = br.ptr;
    bs->bitidx = 32 - br.bits_left;
}

// The next n bits (0..32) as an unsigned value.
inline uint32_t getbits(tBitReader& br, int n) {
    if (n == 0) return 0;
    if (n <= br.bits_left) {
        br.bits_left -= n;
        // bits_left may reach 0; a shift by 32 is avoided by masking in 64 bits.
        return static_cast<uint32_t>((static_cast<uint64_t>(br.word) >> br.bits_left) &
                                     ((uint64_t{1} << n) - 1));
    }
    const int low = n - br.bits_left;
    const uint64_t high = static_cast<uint64_t>(br.word) & ((uint64_t{1} << br.bits_left) - 1);
    br.ptr += 1;
    br.word = *br.ptr;
    br.bits_left = 32 - low;
    return static_cast<uint32_t>((high << low) | (static_cast<uint64_t>(br.word) >> br.bits_left));
}

// Moves the position n bits forward (n > 0) or back (n < 0).
inline void skipbits(tBitReader& br, int32_t n) {
    if (n == 0) return;
    int32_t d = br.bits_left - n;
    // floor division and a remainder in 0..31
    int32_t words_back = d >= 0 ? d / 32 : -((-d + 31) / 32);
    br.ptr -= words_back;
    br.bits_left = d - 32 * words_back;
    // Only words that hold bits up to the new position are loaded: a move back onto a word
    // boundary takes the word after it (already read) with all 32 bits left, since the one
    // before may lie in front of the caller's buffer; a move forward onto a boundary keeps
    // the word before it, since the one after may lie past the end.
    if (n < 0 && br.bits_left == 0) {
        br.ptr += 1;
        br.bits_left = 32;
    }
    br.word = *br.ptr;
}

// Bits from the start of the word at base to the position.
inline int32_t bits_consumed(const tBitReader& br, const uint32_t* base) {
    return static_cast<int32_t>(br.ptr - base) * 32 + 32 - br.bits_left;
}
