// Inner loop of the rate converter for the rates it has polyphase tables for: every
// output is the dot product of a window of input samples with one phase's taps, read
// from the table instead of interpolated from the kernel.
//
// A tap c (Q23) is stored split, as hi = c >> 9 and lo = c & 511, so that both parts
// are 16 bits and the two sums over a window, H = sum(hi * x) and L = sum(lo * x),
// each stay within 32 bits for any input; the full sum is 512 H + L exactly.
//
// Within a phase the taps of each group of 16 are stored as (hi, lo) pairs, first the
// even taps of the group, then the odd ones, so that one de-interleaving load gives
// eight taps' hi and lo; a last group of 8 (window 56) is stored in order.
#pragma once

#include <cstdint>

constexpr int POLY_LO_BITS = 9;
constexpr int32_t POLY_LO_MASK = (1 << POLY_LO_BITS) - 1;

// Output format, the same for every path: with S the sum of taps (Q23) times samples and
// the gain in Q24, output = clamp(((S >> ACC_DROP) * gain + 2^(OUT_SHIFT - 1)) >> OUT_SHIFT).
constexpr int RS_COEF_BITS = 23;
constexpr int RS_GAIN_BITS = 24;
constexpr int RS_ACC_DROP = 8;
constexpr int RS_OUT_SHIFT = RS_COEF_BITS - RS_ACC_DROP + RS_GAIN_BITS; // 39

// Place of window tap t within its phase, in (hi, lo) pairs.
constexpr int32_t poly_pair_of_tap(int32_t t, int32_t window) {
    const int32_t group = t & ~15;
    if (group + 16 > window) return t; // the last group of 8
    const int32_t in = t & 15;
    return group + (in & 1) * 8 + in / 2;
}

// A run of consecutive outputs of one stream.
struct tPolyRun {
    const int16_t* phase; // taps of the first output's phase
    const int16_t* left;  // first window sample of the first output, per channel
    const int16_t* right;
    int16_t* out_left; // `count` outputs per channel
    int16_t* out_right;
    int32_t window;     // taps per output: 48 or 56
    int32_t rem;        // remainder of the first output, 0..up-1
    int32_t up;         // outputs per `down` inputs
    int32_t adv_whole;  // whole input samples from one output to the next
    int32_t adv_rem;    // and the remainder's step
    int32_t phase_adv;  // int16 from one output's phase to the next's
    int32_t phase_wrap; // int16 back when the remainder wraps: the table's length
    int32_t gain;       // Q24, at most 1.0
    int32_t count;
};
static_assert(sizeof(tPolyRun) ==
              5 * sizeof(void*) + 9 * sizeof(int32_t) + (sizeof(void*) == 8 ? 4 : 0));

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

void poly_run_portable(const tPolyRun& r);
#if defined(VEXA_SIMD_NEON)
void poly_run_neon(const tPolyRun& r);
#endif
