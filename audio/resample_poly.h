// Inner loop of the rate converter for the rates it has polyphase tables for: every
// output is the dot product of a window of input samples with one phase's taps, read
// from the table instead of interpolated from the kernel.
//
// Taps are Q19 (the kernel times the rate's gain, rounded). The window has an outer part,
// whose taps are small enough for 16 bits and are multiplied exactly, and a centre of
// POLY_CENTER_LEN taps from window place POLY_CENTER_AT on, which need up to 20 bits; each
// centre product is taken to Q14 on its own, rounded down. With B the exact sum of the
// outer products and T the sum of the centre ones:
//
//   output = clamp((T + (B >> 5) + 2^13) >> 14)
//
// T and B stay within 32 bits for any input (resample.cpp checks every table), and each
// product costs one multiply: a 16 x 16-bit one outside, a 32 x 16-bit one that keeps the
// high 32 bits of 48 (ARMv5E smlaw) in the centre, or there, with the centre tap c = 32 a
// + f (0 <= f < 32), a x + floor(f x / 32), two 16-bit multiplies (NEON).
//
// One phase, in int16: the outer taps before the centre in window order, then per centre
// tap one 32-bit word: high half a, low half f << POLY_LOW_SHIFT, which is c << 11 itself
// for the ARMv5E loop and f << 10 for the NEON one (the factor its multiply doubles); then
// the outer taps after it. The history holds the samples interleaved, left then right: one 32-bit
// word per sample pair.
#pragma once

#include <cstdint>

// The ARMv5E DSP multiplies (smlaxy, smlawy) in ARM state: armel's ARMv5TE and ARMv6 cores.
#if defined(VEXA_SIMD_ARM) && defined(__arm__) && !defined(__thumb__) &&                           \
    defined(__ARM_FEATURE_DSP) && __ARM_ARCH >= 5
#define VEXA_RESAMPLE_ARMV5E 1
#endif

constexpr int POLY_TAP_BITS = 19;   // every tap
constexpr int POLY_CENTER_BITS = 5; // a centre product drops these, as B does
constexpr int POLY_SUM_BITS = POLY_TAP_BITS - POLY_CENTER_BITS; // 14: T and B >> 5
constexpr int POLY_WORD_SHIFT = 16 - POLY_CENTER_BITS;          // centre word = c << 11
constexpr int32_t POLY_CENTER_AT = 16;
#if defined(VEXA_RESAMPLE_ARMV5E)
constexpr int POLY_LOW_SHIFT = POLY_WORD_SHIFT;
#else
constexpr int POLY_LOW_SHIFT = POLY_WORD_SHIFT - 1;
#endif

// Centre taps of a window of 48 (upward) or 56 (48000 Hz).
constexpr int32_t poly_center_len(int32_t window) {
    return window == 48 ? 16 : 24;
}
// Taps of a window that are not always zero: the kernel's reach on both sides, 2 x 27 at
// 48000 Hz (resample.cpp checks it).
constexpr int32_t poly_used_len(int32_t window) {
    return window == 48 ? 48 : 54;
}
// int16 per phase: the outer taps, and two per centre tap.
constexpr int32_t poly_phase_len(int32_t window) {
    return window + poly_center_len(window);
}

// A run of consecutive outputs of one stream.
struct tPolyRun {
    const int16_t* phase; // taps of the first output's phase
    const int16_t* hist;  // first window sample pair of the first output
    int16_t* out_left;    // `count` outputs per channel
    int16_t* out_right;
    int32_t window;     // taps per output: 48 or 56
    int32_t rem;        // remainder of the first output, 0..up-1
    int32_t up;         // outputs per `down` inputs
    int32_t adv_whole;  // whole input samples from one output to the next
    int32_t adv_rem;    // and the remainder's step
    int32_t phase_adv;  // int16 from one output's phase to the next's
    int32_t phase_wrap; // int16 back when the remainder wraps: the table's length
    int32_t count;
};
static_assert(sizeof(tPolyRun) == 4 * sizeof(void*) + 8 * sizeof(int32_t));

// Moves from one output to the next: the window start by whole samples, the phase.
inline void poly_advance(const tPolyRun& r, int32_t& rem, const int16_t*& phase, int32_t& at) {
    rem += r.adv_rem;
    phase += r.phase_adv;
    at += r.adv_whole;
    if (rem >= r.up) {
        rem -= r.up;
        phase -= r.phase_wrap;
        at++;
    }
}

// The sums of one output to its sample: T + (B >> 5), rounded, saturated.
inline int16_t poly_sample(int32_t center, int32_t outer) {
    const int32_t v =
        (center + (outer >> POLY_CENTER_BITS) + (1 << (POLY_SUM_BITS - 1))) >> POLY_SUM_BITS;
    return static_cast<int16_t>(v > INT16_MAX ? INT16_MAX : v < INT16_MIN ? INT16_MIN : v);
}

void poly_run_portable(const tPolyRun& r);
#if defined(VEXA_SIMD_NEON)
void poly_run_neon(const tPolyRun& r);
// Copies n samples of each channel into the history's pairs.
void poly_interleave_neon(const int16_t* left, const int16_t* right, int32_t n, int16_t* pairs);
#endif
#if defined(VEXA_RESAMPLE_ARMV5E)
void poly_run_armv5e(const tPolyRun& r);
#endif
