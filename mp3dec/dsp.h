// Fast paths of the decoder's inner loops. The portable C++ kernels are the reference;
// a fast kernel computes the same products and wrapping sums in another unit, so every
// path gives the same bits. Each path is a constant table of kernels (dsp.cpp, the one
// place that knows which paths a build has). An instance carries the path it decodes with:
// the fastest one this processor offers (x86-64: SSE4.1, AVX2; 32-bit ARM: NEON when the
// kernel reports it, else the DSP multiplies of ARMv5TE and later, built for ARM state;
// AArch64: NEON) unless the library is built with VEXA_SIMD off, or the one dsp_select
// chose. MP3DecodeData looks the table up once per frame and hands it to
// the stages.
#pragma once

#include "mp3dec.h"

#include <cstdint>
#include <type_traits>
#if defined(__ARM_FEATURE_SAT)
#include <arm_acle.h>
#endif

// The ARMv5E path: the target's architecture has it (ARM state, ARMv5TE or later), so it
// runs wherever the program does; beside NEON it serves the cores without.
#if (defined(VEXA_SIMD_NEON) || defined(VEXA_SIMD_ARM)) && defined(__arm__) &&                     \
    !defined(__thumb__) && defined(__ARM_FEATURE_DSP) && __ARM_ARCH >= 5
#define VEXA_DSP_ARMV5E 1
#endif

namespace mp3 {

enum tDspPath : int32_t {
    DSP_PORTABLE = 0,
    DSP_SSE41 = 1,
    DSP_AVX2 = 2,
    DSP_NEON = 3,
    DSP_ARMV5E = 4,
};
constexpr int DSP_PATHS = 5;

// Requantisation of n values with the factor f and the power of two 2^k: 2 hi(f, x <<
// (k - 1)) for k > 0, else hi(f, x) >> -k (requantize.cpp). f is one of the decoder's
// positive table words.
using tRequantLinesFn = void (*)(int32_t* x, int32_t n, int32_t f, int32_t k);
// Mid/side stereo of n lines with the positive factor k (stereo.cpp).
using tMidSideFn = void (*)(int32_t* l, int32_t* r, int32_t n, int32_t k);
// The 8 alias-reduction butterflies at each boundary between subbands k - 1 and k,
// k = 1..n, with the (ca, cs) word pairs coef (alias_coef, reorder.cpp).
using tAliasButterfliesFn = void (*)(int32_t* xr, int n, const int32_t* coef);
// The 36-point IMDCT with window W and overlap-add of n long subbands from an even one
// (imdct.cpp, imdct_long.h); the fast paths take four subbands at a time (AVX2: eight).
using tImdctLongFn = void (*)(int32_t* x, int32_t* ov, int n, const int32_t* W);
// The IMDCT of n all-zero subbands from an even one, which is their overlap: the output
// is the overlap with the odd times of the odd subbands negated, and the overlap becomes 0.
using tImdctZeroFn = void (*)(int32_t* x, int32_t* ov, int n);
// The synthesis DCT of all 18 time slots of a granule in place: the 32 subband values of
// the slot at pair-order place p (x[18k + p]) become its results X[0..31] (x[18m + p]).
using tSynthDctFn = void (*)(int32_t* x);
// Samples 0 and 16 of one slot from history row 0 (kept in age order, the newest slot at
// columns 0 and 1), which then ages by two columns.
using tSynthRow0Fn = void (*)(int32_t* h, int16_t* out);
// Windowing of synthesis history rows 1..15 (a ring of slots, see synth.cpp) into output
// samples 1..15 and 17..31 of one slot; the newest slot sits at columns p and p + 1.
using tSynthRowsFn = void (*)(int32_t (*buf)[32], int p, int16_t* out);

// The kernels of one path.
struct tDspKernels {
    // Subbands the IMDCT kernels take at once: 2 or 4 (the kernels start at even subbands).
    int32_t imdct_group;
    tRequantLinesFn requant_lines;
    tMidSideFn mid_side;
    tAliasButterfliesFn alias_butterflies;
    tImdctLongFn imdct_long;
    tImdctZeroFn imdct_zero;
    tSynthDctFn synth_dct;
    tSynthRow0Fn synth_row0;
    tSynthRowsFn synth_rows;
};

// Whether this processor runs the path (and the library has it).
bool dsp_available(tDspPath path);
// The fastest path this processor runs; asked once, when the library loads.
tDspPath dsp_best();
// The kernels of a path; the portable ones for a path this processor cannot run, and for
// any value that is no path.
const tDspKernels& dsp_kernels(int32_t path);
// The kernels the instance decodes with.
const tDspKernels& dsp_kernels(const tMPEGInstance* inst);
// Makes the instance decode with the path (tests and benchmarks compare the paths), or
// with the portable one if this processor cannot run it; returns the path taken.
// MP3InitInstance chooses dsp_best().
tDspPath dsp_select(tMPEGInstance* inst, tDspPath path);
const char* dsp_name(tDspPath path);

// Rounding and saturation of a synthesis sum (history Q24 x window Q16) to 16-bit PCM.
constexpr int SYNTH_PCM_SHIFT = 24 + 16 - 15;
// The sum of 16 products of at most 2^31 x 2^17 stays below 2^52, so the shifted value
// fits 32 bits before it saturates.
constexpr int16_t synth_pcm(int64_t acc) {
    const auto v =
        static_cast<int32_t>((acc + (int64_t{1} << (SYNTH_PCM_SHIFT - 1))) >> SYNTH_PCM_SHIFT);
#if defined(__ARM_FEATURE_SAT)
    // One instruction where compilers do not find it themselves.
    if (!std::is_constant_evaluated()) return static_cast<int16_t>(__ssat(v, 16));
#endif
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}
static_assert(synth_pcm(int64_t{1} << 24) == 1 && synth_pcm(-(int64_t{1} << 24)) == 0);

// Where a history row's windowing reads when the newest slot sits at columns p and
// p + 1: the even-age values at columns a + 4u and the odd-age ones at b + 4u (u = 0..7,
// mod 32), against the coefficient pairs from pair even (odd) of the row's even-age (odd-age)
// run of 16 (synth_window.h).
struct tSynthRingRead {
    int32_t a, b, even, odd;
};
constexpr tSynthRingRead synth_ring_read(int p) {
    const int s = p >> 2, half = (p >> 1) & 1;
    return {1 + 2 * half, 2 - 2 * half, 8 - s, 8 - s - half};
}

// The kernels of each path; a path's file defines them only when the library is built
// with it (dsp.cpp picks from what is there). synth_dct_slot is the DCT of one slot, at
// x[18k].
void synth_dct_slot(int32_t* x);

void requant_lines_portable(int32_t* x, int32_t n, int32_t f, int32_t k);
void mid_side_portable(int32_t* l, int32_t* r, int32_t n, int32_t k);
void alias_butterflies_portable(int32_t* xr, int n, const int32_t* coef);
void imdct_long_portable(int32_t* x, int32_t* ov, int n, const int32_t* W);
void imdct_zero_portable(int32_t* x, int32_t* ov, int n);
void synth_dct_portable(int32_t* x);
void synth_row0_portable(int32_t* h, int16_t* out);
void synth_rows_portable(int32_t (*buf)[32], int p, int16_t* out);

void requant_lines_sse41(int32_t* x, int32_t n, int32_t f, int32_t k);
void mid_side_sse41(int32_t* l, int32_t* r, int32_t n, int32_t k);
void alias_butterflies_sse41(int32_t* xr, int n, const int32_t* coef);
void imdct_long_sse41(int32_t* x, int32_t* ov, int n, const int32_t* W);
void imdct_zero_sse41(int32_t* x, int32_t* ov, int n);
void synth_dct_sse41(int32_t* x);
void synth_rows_sse41(int32_t (*buf)[32], int p, int16_t* out);

void requant_lines_avx2(int32_t* x, int32_t n, int32_t f, int32_t k);
void mid_side_avx2(int32_t* l, int32_t* r, int32_t n, int32_t k);
void alias_butterflies_avx2(int32_t* xr, int n, const int32_t* coef);
void imdct_long_avx2(int32_t* x, int32_t* ov, int n, const int32_t* W);
void synth_dct_avx2(int32_t* x);
void synth_row0_avx2(int32_t* h, int16_t* out);
void synth_rows_avx2(int32_t (*buf)[32], int p, int16_t* out);

void requant_lines_neon(int32_t* x, int32_t n, int32_t f, int32_t k);
void mid_side_neon(int32_t* l, int32_t* r, int32_t n, int32_t k);
void alias_butterflies_neon(int32_t* xr, int n, const int32_t* coef);
void imdct_long_neon(int32_t* x, int32_t* ov, int n, const int32_t* W);
void imdct_zero_neon(int32_t* x, int32_t* ov, int n);
void synth_dct_neon(int32_t* x);
void synth_row0_neon(int32_t* h, int16_t* out);
void synth_rows_neon(int32_t (*buf)[32], int p, int16_t* out);

void requant_lines_armv5e(int32_t* x, int32_t n, int32_t f, int32_t k);
void mid_side_armv5e(int32_t* l, int32_t* r, int32_t n, int32_t k);
void imdct_long_armv5e(int32_t* x, int32_t* ov, int n, const int32_t* W);
void synth_row0_armv5e(int32_t* h, int16_t* out);
void synth_rows_armv5e(int32_t (*buf)[32], int p, int16_t* out);

} // namespace mp3
