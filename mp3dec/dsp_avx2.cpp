// x86-64 fast paths that take eight lanes (AVX2). A file of its own so that the shared
// transform templates are built for this target as a whole; like dsp_x86.cpp, nothing
// here runs unless the dispatch chose it.
#include "dsp.h"
#include "fixed.h"

#if defined(VEXA_SIMD_X86)

#include <immintrin.h>

// Everything defined from here on may use AVX2; only templates and functions of this file
// follow, so no code shared with the portable path is built for it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#include "imdct_long.h"
#include "lee_dct.h"

namespace mp3 {

namespace {

// Eight lanes side by side; hi() of the even and the odd lanes from two widening
// multiplies.
struct tAvxOps {
    using V = __m256i;
    static V add(V a, V b) { return _mm256_add_epi32(a, b); }
    static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
    static V hi(V v, int32_t word) {
        const __m256i w = _mm256_set1_epi32(word);
        const __m256i even = _mm256_mul_epi32(v, w);
        const __m256i odd = _mm256_mul_epi32(_mm256_srli_epi64(v, 32), w);
        return _mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA);
    }
    static V scale(V v, tLeeFactor f) { return shl(hi(v, f.word), 32 - f.frac_bits); }
    static V shl(V v, int n) { return _mm256_sll_epi32(v, _mm_cvtsi32_si128(n)); }
    static V sra(V v, int n) { return _mm256_sra_epi32(v, _mm_cvtsi32_si128(n)); }
    static V negate_if(V v, V m) { return _mm256_sub_epi32(_mm256_xor_si256(v, m), m); }
};

// Eight rows of eight values turned into eight columns (and back: the step is its own
// inverse).
inline void transpose8(__m256i* r) {
    __m256i t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
    }
    for (int i = 0; i < 8; i += 4) {
        u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
        u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
        u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
        u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
    }
    for (int i = 0; i < 4; ++i) {
        r[i] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x20);
        r[i + 4] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x31);
    }
}

// The 18 values of eight subbands (18 apart) as 18 registers of eight lanes, a subband per
// lane, and back.
inline void subbands_in(const int32_t* x, __m256i* v) {
    for (int i = 0; i < 16; i += 8) {
        for (int k = 0; k < 8; ++k)
            v[i + k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 18 * k + i));
        transpose8(v + i);
    }
    __m128i q[4];
    for (int k = 0; k < 8; k += 2)
        q[k / 2] =
            _mm_unpacklo_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + 18 * k + 16)),
                               _mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + 18 * k + 34)));
    v[16] = _mm256_set_m128i(_mm_unpacklo_epi64(q[2], q[3]), _mm_unpacklo_epi64(q[0], q[1]));
    v[17] = _mm256_set_m128i(_mm_unpackhi_epi64(q[2], q[3]), _mm_unpackhi_epi64(q[0], q[1]));
}

inline void subbands_out(__m256i* v, int32_t* x) {
    for (int i = 0; i < 16; i += 8) {
        transpose8(v + i);
        for (int k = 0; k < 8; ++k)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + 18 * k + i), v[i + k]);
    }
    const __m256i lo = _mm256_unpacklo_epi32(v[16], v[17]); // subbands 0, 1 | 4, 5
    const __m256i hi = _mm256_unpackhi_epi32(v[16], v[17]); // subbands 2, 3 | 6, 7
    const __m128i q[4] = {_mm256_castsi256_si128(lo), _mm256_castsi256_si128(hi),
                          _mm256_extracti128_si256(lo, 1), _mm256_extracti128_si256(hi, 1)};
    for (int k = 0; k < 4; ++k) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(x + 36 * k + 16), q[k]);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(x + 36 * k + 34),
                         _mm_unpackhi_epi64(q[k], q[k]));
    }
}

bool all_zero(const int32_t* x, int n) {
    __m256i any = _mm256_setzero_si256();
    for (int i = 0; i < n; i += 8)
        any = _mm256_or_si256(any, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i)));
    return _mm256_testz_si256(any, any);
}

} // namespace

// Eight subbands at a time, one per lane (the odd lanes odd); a group whose upper four
// subbands are all zero, and the last n mod 8, go the four-lane way.
void imdct_long_avx2(int32_t* x, int32_t* ov, int n, const int32_t* W) {
    const __m256i odd = _mm256_setr_epi32(0, -1, 0, -1, 0, -1, 0, -1);
    int sb = 0;
    for (; sb + 8 <= n; sb += 8, x += 144, ov += 144) {
        if (all_zero(x + 72, 72)) {
            imdct_long_sse41(x, ov, 8, W);
            continue;
        }
        __m256i X[18], o[18];
        subbands_in(x, X);
        subbands_in(ov, o);
        imdct36<tAvxOps>(X, o, X, W, odd);
        subbands_out(X, x);
        subbands_out(o, ov);
    }
    if (sb < n) imdct_long_sse41(x, ov, n - sb, W);
}

// Places 0..7 and 8..15 each as eight slots side by side, straight from memory; places 16
// and 17 one by one.
void synth_dct_avx2(int32_t* x) {
    for (int base = 0; base < 16; base += 8) {
        __m256i v[32];
        for (int k = 0; k < 32; ++k)
            v[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 18 * k + base));
        lee_dct<32, tAvxOps>(v, v);
        for (int m = 0; m < 32; ++m)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + 18 * m + base), v[m]);
    }
    synth_dct_slot(x + 16);
    synth_dct_slot(x + 17);
}

} // namespace mp3

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
