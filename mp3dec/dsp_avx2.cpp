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
#include "synth_window.h"

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

__m256i load(const int32_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Words a, b, c, d of v in the 64-bit lanes, both halves.
__m256i pick(__m256i v, int a, int b, int c, int d) {
    return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(a, a, b, b, c, c, d, d));
}

} // namespace

// Eight subbands at a time, one per lane (the odd lanes odd); the last n mod 8 go the
// four-lane way.
void imdct_long_avx2(int32_t* x, int32_t* ov, int n, const int32_t* W) {
    imdct_long_lanes<tAvxOps, 8, subbands_in, subbands_out, imdct_long_sse41>(
        x, ov, n, W, _mm256_setr_epi32(0, -1, 0, -1, 0, -1, 0, -1));
}

namespace {

// One pass of the synthesis DCT over the slots at places base .. base + 7 (kTwo: only
// base and base + 1), side by side, straight from the granule and back.
template <bool kTwo>
__attribute__((always_inline)) inline void synth_dct_pass(int32_t* x, int base) {
    __m256i v[32];
    for (int k = 0; k < 32; ++k) {
        const int32_t* p = x + 18 * k + base;
        v[k] = kTwo ? _mm256_castsi128_si256(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)))
                    : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    lee_dct<32, tAvxOps>(v, v);
    for (int m = 0; m < 32; ++m) {
        int32_t* p = x + 18 * m + base;
        if (kTwo)
            _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(v[m]));
        else
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v[m]);
    }
}

} // namespace

// Places 0..7 and 8..15 each as eight slots side by side; places 16 and 17 in two lanes
// of a third pass.
void synth_dct_avx2(int32_t* x) {
    synth_dct_pass<false>(x, 0);
    synth_dct_pass<false>(x, 8);
    synth_dct_pass<true>(x, 16);
}

// Sample 0 from the even columns of history row 0, each against its word in the matching
// even lane (the centre word's product taken twice, as in the portable code), and sample 16
// from columns 3, 7, ..., 31 shifted to the even lanes; then the row ages by two columns.
void synth_row0_avx2(int32_t* h, int16_t* out) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i w0 = load(synth_window.data()), w16 = load(synth_window.data() + 8);
    // Words of the even columns 8k .. 8k + 6: 0, w1, w0, w3 | w2, w5, w4, w7 |
    // w6, -w7, w4, -w5 | w2, -w3, w0, -w1.
    const __m256i alt = _mm256_setr_epi32(1, 1, -1, -1, 1, 1, -1, -1);
    const __m256i c[4] = {
        _mm256_blend_epi32(pick(w0, 0, 1, 0, 3), zero, 0x03),
        pick(w0, 2, 5, 4, 7),
        _mm256_sign_epi32(pick(w0, 6, 7, 4, 5), alt),
        _mm256_sign_epi32(pick(w0, 2, 3, 0, 1), alt),
    };
    __m256i r[4], acc0 = zero, acc16 = zero, centre = zero;
    for (int k = 0; k < 4; ++k) {
        r[k] = load(h + 8 * k);
        const __m256i p = _mm256_mul_epi32(r[k], c[k]);
        acc0 = _mm256_add_epi64(acc0, p);
        if (k == 2) centre = _mm256_blend_epi32(zero, p, 0x03); // column 16
        // Columns 8k + 3 and 8k + 7 against w[8 + 2k] and w[9 + 2k], in lanes 1 and 3.
        const __m256i wk = _mm256_blend_epi32(zero, pick(w16, 0, 2 * k, 0, 2 * k + 1), 0xCC);
        acc16 = _mm256_add_epi64(acc16, _mm256_mul_epi32(_mm256_srli_epi64(r[k], 32), wk));
    }
    acc0 = _mm256_add_epi64(acc0, centre);
    const __m256i s =
        _mm256_add_epi64(_mm256_unpacklo_epi64(acc0, acc16), _mm256_unpackhi_epi64(acc0, acc16));
    const __m128i t = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    out[0] = synth_pcm(_mm_cvtsi128_si64(t));
    out[16] = synth_pcm(_mm_extract_epi64(t, 1));
    // Aged by two columns: every value moves up two places (columns 0 and 1 keep theirs
    // until the next slot is put there).
    const __m256i carry = _mm256_setr_epi32(6, 7, 0, 1, 2, 3, 4, 5);
    for (int k = 0; k < 4; ++k) {
        const __m256i below = k > 0 ? _mm256_permutevar8x32_epi32(r[k - 1], carry) : r[0];
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(h + 8 * k),
            _mm256_blend_epi32(_mm256_permutevar8x32_epi32(r[k], carry), below, 0x03));
    }
}

namespace {

// The window words of history row j (synth_window.h).
const int32_t* synth_row_window(int j) {
    return synth_window.data() + SYNTH_ROW0_WORDS + SYNTH_ROW_WORDS * (j - 1);
}

// Row h's sums for samples j and 32 - j against its window words w, each as two 64-bit
// halves (lo, up | lo, up). Sixteen columns in two registers: the even-age values of u =
// 4k .. 4k + 3 (columns A and A + 4 of each register) moved to the even lanes, and so the
// odd-age ones (B, B + 4), against four pairs of window words each (those of sample 32 - j
// shifted to the even lanes).
template <int A, int B, int H>
__attribute__((always_inline)) inline __m256i synth_row_sums(const int32_t* h, const int32_t* w) {
    const __m256i pick_e = _mm256_setr_epi32(A, A, A + 4, A + 4, A, A, A + 4, A + 4);
    const __m256i pick_o = _mm256_setr_epi32(B, B, B + 4, B + 4, B, B, B + 4, B + 4);
    __m256i lo = _mm256_setzero_si256(), up = _mm256_setzero_si256();
    for (int k = 0; k < 2; ++k) {
        const __m256i r0 = load(h + 16 * k), r1 = load(h + 16 * k + 8);
        const __m256i e = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(r0, pick_e),
                                             _mm256_permutevar8x32_epi32(r1, pick_e), 0xF0);
        const __m256i o = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(r0, pick_o),
                                             _mm256_permutevar8x32_epi32(r1, pick_o), 0xF0);
        const __m256i we = load(w + 8 * k), wo = load(w + 32 - 2 * H + 8 * k);
        lo = _mm256_add_epi64(lo, _mm256_mul_epi32(e, we));
        up = _mm256_add_epi64(up, _mm256_mul_epi32(e, _mm256_srli_epi64(we, 32)));
        lo = _mm256_add_epi64(lo, _mm256_mul_epi32(o, wo));
        up = _mm256_add_epi64(up, _mm256_mul_epi32(o, _mm256_srli_epi64(wo, 32)));
    }
    return _mm256_add_epi64(_mm256_unpacklo_epi64(lo, up), _mm256_unpackhi_epi64(lo, up));
}

// Two rows' halves added and shifted: samples j, 32 - j, j + 1, 31 - j in the low halves of
// the 64-bit lanes (the value of a logical shift's low half is that of the arithmetic one).
__attribute__((always_inline)) inline __m256i synth_two_rows(__m256i a, __m256i b) {
    const __m256i s = _mm256_add_epi64(_mm256_permute2x128_si256(a, b, 0x20),
                                       _mm256_permute2x128_si256(a, b, 0x31));
    const __m256i round = _mm256_set1_epi64x(int64_t{1} << (SYNTH_PCM_SHIFT - 1));
    return _mm256_srli_epi64(_mm256_add_epi64(s, round), SYNTH_PCM_SHIFT);
}

// Samples j .. j + 3, then 32 - (j + 3) .. 32 - j, saturated by the pack (synth_pcm's clamp).
__attribute__((always_inline)) inline __m128i synth_four_samples(__m256i p01, __m256i p23) {
    const __m256i d = _mm256_blend_epi32(
        _mm256_permutevar8x32_epi32(p01, _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 6, 2)),
        _mm256_permutevar8x32_epi32(p23, _mm256_setr_epi32(0, 0, 0, 4, 6, 2, 0, 0)), 0x3C);
    return _mm_packs_epi32(_mm256_castsi256_si128(d), _mm256_extracti128_si256(d, 1));
}

// Rows 1 .. 15 with the ring's column offsets A, B and H (synth_ring_read); the sums of
// four rows are rounded, saturated and stored together.
template <int A, int B, int H> void synth_rows_avx2_at(int32_t (*buf)[32], int even, int16_t* out) {
    const int32_t* w = synth_row_window(1) + 2 * even;
    const auto sums = [&](int j) {
        return synth_row_sums<A, B, H>(buf[j], w + SYNTH_ROW_WORDS * (j - 1));
    };
    for (int j = 1; j < 13; j += 4) {
        const __m128i s = synth_four_samples(synth_two_rows(sums(j), sums(j + 1)),
                                             synth_two_rows(sums(j + 2), sums(j + 3)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j), s);
        _mm_storeh_pd(reinterpret_cast<double*>(out + 29 - j), _mm_castsi128_pd(s));
    }
    // Rows 13 .. 15: samples 13 .. 15 and 17 .. 19 (sample 16 belongs to row 0).
    const __m128i s = synth_four_samples(synth_two_rows(sums(13), sums(14)),
                                         synth_two_rows(sums(15), _mm256_setzero_si256()));
    _mm_storeu_si32(out + 13, s);
    out[15] = static_cast<int16_t>(_mm_extract_epi16(s, 2));
    out[17] = static_cast<int16_t>(_mm_extract_epi16(s, 5));
    _mm_storeu_si32(out + 18, _mm_srli_si128(s, 12));
}

} // namespace

void synth_rows_avx2(int32_t (*buf)[32], int p, int16_t* out) {
    const tSynthRingRead rd = synth_ring_read(p);
    if (rd.a == 1)
        synth_rows_avx2_at<1, 2, 0>(buf, rd.even, out);
    else
        synth_rows_avx2_at<3, 0, 1>(buf, rd.even, out);
}

namespace {

// hi() of every lane against a word per lane.
inline __m256i hi_lanes8(__m256i v, __m256i w) {
    const __m256i even = _mm256_mul_epi32(v, w);
    const __m256i odd = _mm256_mul_epi32(_mm256_srli_epi64(v, 32), _mm256_srli_epi64(w, 32));
    return _mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA);
}

inline __m256i load8(const int32_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
inline void store8(int32_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

} // namespace

// Eight values at a time; the rest the SSE4.1 way.
void requant_lines_avx2(int32_t* x, int32_t n, int32_t f, int32_t k) {
    const bool up = k > 0;
    const int32_t count = up ? (k - 1 > 31 ? 31 : k - 1) : (-k > 31 ? 31 : -k);
    int32_t i = 0;
    if (up) {
        for (; i + 8 <= n; i += 8)
            store8(x + i, tAvxOps::shl(tAvxOps::hi(tAvxOps::shl(load8(x + i), count), f), 1));
    } else {
        for (; i + 8 <= n; i += 8)
            store8(x + i, tAvxOps::sra(tAvxOps::hi(load8(x + i), f), count));
    }
    if (i < n) requant_lines_sse41(x + i, n - i, f, k);
}

// Eight lines at a time; the rest the SSE4.1 way.
void mid_side_avx2(int32_t* l, int32_t* r, int32_t n, int32_t k) {
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i a = tAvxOps::hi(load8(l + i), k);
        const __m256i b = tAvxOps::hi(load8(r + i), k);
        const __m256i sum2 = _mm256_slli_epi32(_mm256_add_epi32(a, b), 1);
        store8(l + i, sum2);
        store8(r + i, _mm256_sub_epi32(sum2, _mm256_slli_epi32(b, 2)));
    }
    if (i < n) mid_side_sse41(l + i, r + i, n - i, k);
}

// One boundary at a time, its eight butterflies in the lanes of one register (the lines
// below the boundary reversed). Even butterflies take ca in Q31 and so double hi(ca, a +
// b), odd ones in Q32; their sums are ca + cs and cs + ca / 2.
void alias_butterflies_avx2(int32_t* xr, int n, const int32_t* coef) {
    const __m256i pick_even = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const __m256i pick_odd = _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7);
    const __m256i lo = load8(coef), hi = load8(coef + 8);
    const __m256i ca = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(lo, pick_even),
                                          _mm256_permutevar8x32_epi32(hi, pick_even), 0xF0);
    const __m256i cs = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(lo, pick_odd),
                                          _mm256_permutevar8x32_epi32(hi, pick_odd), 0xF0);
    const __m256i sum =
        _mm256_add_epi32(cs, _mm256_blend_epi32(ca, _mm256_srai_epi32(ca, 1), 0xAA));
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    for (int k = 1; k <= n; ++k) {
        int32_t* p = xr + 18 * k;
        const __m256i a = _mm256_permutevar8x32_epi32(load8(p - 8), reverse);
        const __m256i b = load8(p);
        const __m256i t = hi_lanes8(a, sum);
        const __m256i h = hi_lanes8(_mm256_add_epi32(a, b), ca);
        const __m256i na = _mm256_sub_epi32(_mm256_slli_epi32(t, 1),
                                            _mm256_blend_epi32(_mm256_slli_epi32(h, 1), h, 0xAA));
        const __m256i nb =
            _mm256_slli_epi32(_mm256_add_epi32(t, hi_lanes8(_mm256_sub_epi32(b, a), cs)), 1);
        store8(p - 8, _mm256_permutevar8x32_epi32(na, reverse));
        store8(p, nb);
    }
}

} // namespace mp3

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
