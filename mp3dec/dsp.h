// Fast paths of the decoder's inner loops. The portable C++ kernels are the reference;
// a fast kernel computes the same products and wrapping sums in another unit, so every
// path gives the same bits. The path is chosen per granule from what the processor offers
// (x86-64: SSE4.1, AVX2; 32-bit ARM: NEON when the kernel reports it; AArch64: NEON),
// unless the library is built with VEXA_SIMD off.
#pragma once

#include <cstdint>
#include <type_traits>
#if defined(__ARM_FEATURE_SAT)
#include <arm_acle.h>
#endif

namespace mp3 {

enum tDspPath : int32_t {
    DSP_PORTABLE = 0,
    DSP_SSE41 = 1,
    DSP_AVX2 = 2,
    DSP_NEON = 3,
};

// The fastest path this processor runs.
tDspPath dsp_best();
// The path the decoder uses: dsp_best(), or the one dsp_use chose if it is available.
tDspPath dsp_path();
// Limits the decoder to one path (tests and benchmarks compare the paths); a path this
// processor cannot run leaves the portable one. dsp_use(dsp_best()) restores the default.
void dsp_use(tDspPath path);
// Whether this processor runs the path.
bool dsp_available(tDspPath path);
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

// The synthesis DCT of all 18 time slots of a granule in place: the 32 subband values of
// the slot at pair-order place p (x[18k + p]) become its results X[0..31] (x[18m + p]).
// synth_dct_slot does one slot, at x[18k].
using tSynthDctFn = void (*)(int32_t* x);
void synth_dct_slot(int32_t* x);
void synth_dct_portable(int32_t* x);
#if defined(VEXA_SIMD_X86)
void synth_dct_sse41(int32_t* x);
void synth_dct_avx2(int32_t* x);
#endif
#if defined(VEXA_SIMD_NEON)
void synth_dct_neon(int32_t* x);
#endif

// Samples 0 and 16 of one slot from history row 0 (kept in age order, the newest slot at
// columns 0 and 1), which then ages by two columns.
using tSynthRow0Fn = void (*)(int32_t* h, int16_t* out);
void synth_row0_portable(int32_t* h, int16_t* out);
#if defined(VEXA_SIMD_X86)
void synth_row0_avx2(int32_t* h, int16_t* out);
#endif
#if defined(VEXA_SIMD_NEON)
void synth_row0_neon(int32_t* h, int16_t* out);
#endif

// Windowing of synthesis history rows 1..15 (a ring of slots, see synth.cpp) into output
// samples 1..15 and 17..31 of one slot; the newest slot sits at columns p and p + 1.
using tSynthRowsFn = void (*)(int32_t (*buf)[32], int p, int16_t* out);
void synth_rows_portable(int32_t (*buf)[32], int p, int16_t* out);
#if defined(VEXA_SIMD_X86)
void synth_rows_sse41(int32_t (*buf)[32], int p, int16_t* out);
void synth_rows_avx2(int32_t (*buf)[32], int p, int16_t* out);
#endif
#if defined(VEXA_SIMD_NEON)
void synth_rows_neon(int32_t (*buf)[32], int p, int16_t* out);
#endif

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

// The 36-point IMDCT with window W and overlap-add of n long subbands from an even one
// (imdct.cpp, imdct_long.h); the fast paths take four subbands at a time (AVX2: eight).
using tImdctLongFn = void (*)(int32_t* x, int32_t* ov, int n, const int32_t* W);
void imdct_long_portable(int32_t* x, int32_t* ov, int n, const int32_t* W);
#if defined(VEXA_SIMD_X86)
void imdct_long_sse41(int32_t* x, int32_t* ov, int n, const int32_t* W);
void imdct_long_avx2(int32_t* x, int32_t* ov, int n, const int32_t* W);
#endif
#if defined(VEXA_SIMD_NEON)
void imdct_long_neon(int32_t* x, int32_t* ov, int n, const int32_t* W);
#endif

// The 8 alias-reduction butterflies at each boundary between subbands k - 1 and k,
// k = 1..n, with the (ca, cs) word pairs coef (reorder.cpp).
void alias_butterflies_portable(int32_t* xr, int n);
#if defined(VEXA_SIMD_X86)
void alias_butterflies_sse41(int32_t* xr, int n, const int32_t* coef);
void alias_butterflies_avx2(int32_t* xr, int n, const int32_t* coef);
#endif
#if defined(VEXA_SIMD_NEON)
void alias_butterflies_neon(int32_t* xr, int n, const int32_t* coef);
#endif

// Mid/side stereo of n lines with the factor k (stereo.cpp).
void mid_side_portable(int32_t* l, int32_t* r, int32_t n, int32_t k);
#if defined(VEXA_SIMD_X86)
void mid_side_sse41(int32_t* l, int32_t* r, int32_t n, int32_t k);
void mid_side_avx2(int32_t* l, int32_t* r, int32_t n, int32_t k);
#endif
#if defined(VEXA_SIMD_NEON)
void mid_side_neon(int32_t* l, int32_t* r, int32_t n, int32_t k);
#endif

// Requantisation of n values with the factor f and the power of two 2^k: 2 hi(f, x <<
// (k - 1)) for k > 0, else hi(f, x) >> -k (requantize.cpp).
void requant_lines_portable(int32_t* x, int32_t n, int32_t f, int32_t k);
#if defined(VEXA_SIMD_X86)
void requant_lines_sse41(int32_t* x, int32_t n, int32_t f, int32_t k);
void requant_lines_avx2(int32_t* x, int32_t n, int32_t f, int32_t k);
#endif
#if defined(VEXA_SIMD_NEON)
void requant_lines_neon(int32_t* x, int32_t n, int32_t f, int32_t k);
#endif

} // namespace mp3
