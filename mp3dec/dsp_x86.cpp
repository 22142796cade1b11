// x86-64 fast paths (SSE4.1; the AVX2 ones are in dsp_avx2.cpp): the portable kernels'
// products and sums, four or two 64-bit lanes at a time. Each function carries its own target, so
// nothing here runs on a processor that lacks the instructions unless the dispatch chose it.
#include "dsp.h"
#include "fixed.h"
#include "synth_window.h"

#if defined(VEXA_SIMD_X86)

#include <immintrin.h>

// Everything defined from here on may use SSE4.1; only templates and functions of this
// file follow, so no code shared with the portable path is built for it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse4.1"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse4.1")
#endif
#include "imdct_long.h"
#include "lee_dct.h"

namespace mp3 {

namespace {

constexpr const int32_t* synth_row_window(int j) {
    return synth_window.data() + SYNTH_ROW0_WORDS + SYNTH_ROW_WORDS * (j - 1);
}

// Four lanes side by side; hi() of the even and the odd lanes from two widening multiplies.
struct tSseOps {
    using V = __m128i;
    static V add(V a, V b) { return _mm_add_epi32(a, b); }
    static V sub(V a, V b) { return _mm_sub_epi32(a, b); }
    static V scale(V v, tLeeFactor f) {
        const __m128i w = _mm_set1_epi32(f.word);
        const __m128i even = _mm_mul_epi32(v, w);
        const __m128i odd = _mm_mul_epi32(_mm_srli_epi64(v, 32), w);
        const __m128i h = _mm_blend_epi16(_mm_srli_epi64(even, 32), odd, 0xCC);
        return _mm_sll_epi32(h, _mm_cvtsi32_si128(32 - f.frac_bits));
    }
    static V hi(V v, int32_t word) {
        const __m128i w = _mm_set1_epi32(word);
        const __m128i even = _mm_mul_epi32(v, w);
        const __m128i odd = _mm_mul_epi32(_mm_srli_epi64(v, 32), w);
        return _mm_blend_epi16(_mm_srli_epi64(even, 32), odd, 0xCC);
    }
    static V shl(V v, int n) { return _mm_sll_epi32(v, _mm_cvtsi32_si128(n)); }
    static V sra(V v, int n) { return _mm_sra_epi32(v, _mm_cvtsi32_si128(n)); }
    static V negate_if(V v, V m) { return _mm_sub_epi32(_mm_xor_si128(v, m), m); }
};

} // namespace

namespace {

// hi() of every lane against a word per lane.
__m128i hi_lanes(__m128i v, __m128i w) {
    const __m128i even = _mm_mul_epi32(v, w);
    const __m128i odd = _mm_mul_epi32(_mm_srli_epi64(v, 32), _mm_srli_epi64(w, 32));
    return _mm_blend_epi16(_mm_srli_epi64(even, 32), odd, 0xCC);
}

} // namespace

// Four values at a time, then two (band widths are even); an odd last one the portable
// way.
void requant_lines_sse41(int32_t* x, int32_t n, int32_t f, int32_t k) {
    const bool up = k > 0;
    const __m128i count = _mm_cvtsi32_si128(up ? (k - 1 > 31 ? 31 : k - 1) : (-k > 31 ? 31 : -k));
    const auto scale = [&](__m128i v) {
        return up ? _mm_slli_epi32(tSseOps::hi(_mm_sll_epi32(v, count), f), 1)
                  : _mm_sra_epi32(tSseOps::hi(v, f), count);
    };
    int32_t i = 0;
    for (; i + 4 <= n; i += 4)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(x + i),
                         scale(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i))));
    if (i + 2 <= n) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(x + i),
                         scale(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + i))));
        i += 2;
    }
    if (i < n) requant_lines_portable(x + i, n - i, f, k);
}

// Four lines at a time; the last n mod 4 the portable way.
void mid_side_sse41(int32_t* l, int32_t* r, int32_t n, int32_t k) {
    int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128i a = tSseOps::hi(_mm_loadu_si128(reinterpret_cast<const __m128i*>(l + i)), k);
        const __m128i b = tSseOps::hi(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + i)), k);
        const __m128i sum2 = _mm_slli_epi32(_mm_add_epi32(a, b), 1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(l + i), sum2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(r + i),
                         _mm_sub_epi32(sum2, _mm_slli_epi32(b, 2)));
    }
    if (i < n) mid_side_portable(l + i, r + i, n - i, k);
}

// One boundary at a time, its butterflies 0..3 and 4..7 in the lanes of two registers
// (the lines below the boundary reversed). Even butterflies take ca in Q31 and so double
// hi(ca, a + b), odd ones in Q32; their sums are ca + cs and cs + ca / 2.
void alias_butterflies_sse41(int32_t* xr, int n, const int32_t* coef) {
    __m128i ca[2], cs[2], sum[2];
    for (int g = 0; g < 2; ++g) {
        const __m128 p0 =
            _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 8 * g)));
        const __m128 p1 =
            _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 8 * g + 4)));
        ca[g] = _mm_castps_si128(_mm_shuffle_ps(p0, p1, _MM_SHUFFLE(2, 0, 2, 0)));
        cs[g] = _mm_castps_si128(_mm_shuffle_ps(p0, p1, _MM_SHUFFLE(3, 1, 3, 1)));
        sum[g] = _mm_add_epi32(cs[g], _mm_blend_epi16(ca[g], _mm_srai_epi32(ca[g], 1), 0xCC));
    }
    const auto load = [](const int32_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };
    const auto store = [](int32_t* p, __m128i v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    };
    for (int k = 1; k <= n; ++k) {
        int32_t* p = xr + 18 * k;
        __m128i a[2] = {_mm_shuffle_epi32(load(p - 4), 0x1B), _mm_shuffle_epi32(load(p - 8), 0x1B)};
        __m128i b[2] = {load(p), load(p + 4)};
        for (int g = 0; g < 2; ++g) {
            const __m128i t = hi_lanes(a[g], sum[g]);
            const __m128i h = hi_lanes(_mm_add_epi32(a[g], b[g]), ca[g]);
            const __m128i na =
                _mm_sub_epi32(_mm_slli_epi32(t, 1), _mm_blend_epi16(_mm_slli_epi32(h, 1), h, 0xCC));
            const __m128i nb =
                _mm_slli_epi32(_mm_add_epi32(t, hi_lanes(_mm_sub_epi32(b[g], a[g]), cs[g])), 1);
            a[g] = na;
            b[g] = nb;
        }
        store(p - 4, _mm_shuffle_epi32(a[0], 0x1B));
        store(p - 8, _mm_shuffle_epi32(a[1], 0x1B));
        store(p, b[0]);
        store(p + 4, b[1]);
    }
}

namespace {

// Four rows of four values turned into four columns (and back: the step is its own
// inverse).
void transpose4(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    const __m128i ab0 = _mm_unpacklo_epi32(a, b), ab1 = _mm_unpackhi_epi32(a, b);
    const __m128i cd0 = _mm_unpacklo_epi32(c, d), cd1 = _mm_unpackhi_epi32(c, d);
    a = _mm_unpacklo_epi64(ab0, cd0);
    b = _mm_unpackhi_epi64(ab0, cd0);
    c = _mm_unpacklo_epi64(ab1, cd1);
    d = _mm_unpackhi_epi64(ab1, cd1);
}

// The 18 values of four subbands (18 apart) as 18 registers of four lanes, a subband per
// lane, and back.
void subbands_in(const int32_t* x, __m128i* v) {
    const auto load = [](const int32_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };
    for (int i = 0; i < 16; i += 4) {
        v[i] = load(x + i);
        v[i + 1] = load(x + 18 + i);
        v[i + 2] = load(x + 36 + i);
        v[i + 3] = load(x + 54 + i);
        transpose4(v[i], v[i + 1], v[i + 2], v[i + 3]);
    }
    const auto pair = [](const int32_t* p) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    };
    const __m128i ab = _mm_unpacklo_epi32(pair(x + 16), pair(x + 34));
    const __m128i cd = _mm_unpacklo_epi32(pair(x + 52), pair(x + 70));
    v[16] = _mm_unpacklo_epi64(ab, cd);
    v[17] = _mm_unpackhi_epi64(ab, cd);
}

void subbands_out(__m128i* v, int32_t* x) {
    const auto store = [](int32_t* p, __m128i r) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), r);
    };
    for (int i = 0; i < 16; i += 4) {
        transpose4(v[i], v[i + 1], v[i + 2], v[i + 3]);
        store(x + i, v[i]);
        store(x + 18 + i, v[i + 1]);
        store(x + 36 + i, v[i + 2]);
        store(x + 54 + i, v[i + 3]);
    }
    const __m128i ab = _mm_unpacklo_epi32(v[16], v[17]);
    const __m128i cd = _mm_unpackhi_epi32(v[16], v[17]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(x + 16), ab);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(x + 34), _mm_unpackhi_epi64(ab, ab));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(x + 52), cd);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(x + 70), _mm_unpackhi_epi64(cd, cd));
}

} // namespace

// The odd times of an odd subband sit at pair-order places 4i + 1 and 4i + 2.
void imdct_zero_sse41(int32_t* x, int32_t* ov, int n) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i odd_times = _mm_setr_epi32(0, -1, -1, 0);
    for (int sb = 0; sb < n; ++sb, x += 18, ov += 18) {
        const __m128i m = (sb & 1) ? odd_times : zero;
        for (int i = 0; i < 16; i += 4) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ov + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(x + i), tSseOps::negate_if(v, m));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(ov + i), zero);
        }
        const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(ov + 16));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(x + 16), tSseOps::negate_if(v, m));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(ov + 16), zero);
    }
}

// Four subbands at a time, one per lane (lanes 1 and 3 odd), moved in and out by
// transposes; the last n mod 4 go the portable way.
void imdct_long_sse41(int32_t* x, int32_t* ov, int n, const int32_t* W) {
    imdct_long_lanes<tSseOps, 4, subbands_in, subbands_out, imdct_long_portable>(
        x, ov, n, W, _mm_setr_epi32(0, -1, 0, -1));
}

// Places 0..7 and 8..15 each hold two groups of four slots, at the even and the odd
// places; places 16 and 17 go one by one.
void synth_dct_sse41(int32_t* x) {
    for (int base = 0; base < 16; base += 8) {
        __m128i e[32], o[32], E[32], O[32];
        for (int k = 0; k < 32; ++k) {
            const __m128 a = _mm_castsi128_ps(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + 18 * k + base)));
            const __m128 b = _mm_castsi128_ps(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + 18 * k + base + 4)));
            e[k] = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
            o[k] = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        }
        lee_dct<32, tSseOps>(e, E);
        lee_dct<32, tSseOps>(o, O);
        for (int m = 0; m < 32; ++m) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(x + 18 * m + base),
                             _mm_unpacklo_epi32(E[m], O[m]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(x + 18 * m + base + 4),
                             _mm_unpackhi_epi32(E[m], O[m]));
        }
    }
    synth_dct_slot(x + 16);
    synth_dct_slot(x + 17);
}

// Per history row: columns 4u .. 4u + 7 in two registers; the even-age and the odd-age
// values of u and u + 1 moved to the even lanes (what the signed 32 x 32 -> 64 multiply
// reads), against the window's pairs of u and u + 1 read from where the ring starts: the
// words of sample j in the even lanes, those of sample 32 - j shifted there.
template <int A, int H>
__attribute__((target("sse4.1"))) void synth_rows_sse41_at(int32_t (*buf)[32], int even,
                                                           int16_t* out) {
    const int32_t* w0 = synth_row_window(1) + 2 * even;
    // Row j's sums for samples j and 32 - j, rounded and shifted: the PCM values in the low
    // halves of the two 64-bit lanes (see synth_rows_avx2_at in dsp_avx2.cpp).
    const __m128i round = _mm_set1_epi64x(int64_t{1} << (SYNTH_PCM_SHIFT - 1));
    const auto row = [&](int j) {
        const int32_t* h = buf[j];
        const int32_t* w = w0 + SYNTH_ROW_WORDS * (j - 1);
        const auto pairs = [](const int32_t* q) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        };
        __m128i lo = _mm_setzero_si128(), up = _mm_setzero_si128();
        for (int u = 0; u < 8; u += 2) {
            const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4 * u));
            const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4 * u + 4));
            const __m128i s0 = _mm_srli_epi64(r0, 32), s1 = _mm_srli_epi64(r1, 32);
            // A = 1: columns 1 and 2 of each four; A = 3: columns 3 and 0.
            const __m128i e = A == 1 ? _mm_unpacklo_epi64(s0, s1) : _mm_unpackhi_epi64(s0, s1);
            const __m128i o = A == 1 ? _mm_unpackhi_epi64(r0, r1) : _mm_unpacklo_epi64(r0, r1);
            const __m128i we = pairs(w + 2 * u), wo = pairs(w + 32 - 2 * H + 2 * u);
            lo = _mm_add_epi64(lo, _mm_mul_epi32(e, we));
            up = _mm_add_epi64(up, _mm_mul_epi32(e, _mm_srli_epi64(we, 32)));
            lo = _mm_add_epi64(lo, _mm_mul_epi32(o, wo));
            up = _mm_add_epi64(up, _mm_mul_epi32(o, _mm_srli_epi64(wo, 32)));
        }
        const __m128i s = _mm_add_epi64(_mm_unpacklo_epi64(lo, up), _mm_unpackhi_epi64(lo, up));
        return _mm_srli_epi64(_mm_add_epi64(s, round), SYNTH_PCM_SHIFT);
    };
    // Samples j .. j + 3, then 32 - (j + 3) .. 32 - j, saturated by the pack.
    const auto four = [](__m128i a, __m128i b, __m128i c, __m128i d) {
        const __m128i lo = _mm_unpacklo_epi64(_mm_unpacklo_epi32(a, b), _mm_unpacklo_epi32(c, d));
        const __m128i up = _mm_unpacklo_epi64(_mm_unpackhi_epi32(d, c), _mm_unpackhi_epi32(b, a));
        return _mm_packs_epi32(lo, up);
    };
    for (int j = 1; j < 13; j += 4) {
        const __m128i s = four(row(j), row(j + 1), row(j + 2), row(j + 3));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j), s);
        _mm_storeh_pd(reinterpret_cast<double*>(out + 29 - j), _mm_castsi128_pd(s));
    }
    // Rows 13 .. 15: samples 13 .. 15 and 17 .. 19 (sample 16 belongs to row 0).
    const __m128i s = four(row(13), row(14), row(15), _mm_setzero_si128());
    _mm_storeu_si32(out + 13, s);
    out[15] = static_cast<int16_t>(_mm_extract_epi16(s, 2));
    out[17] = static_cast<int16_t>(_mm_extract_epi16(s, 5));
    _mm_storeu_si32(out + 18, _mm_srli_si128(s, 12));
}

__attribute__((target("sse4.1"))) void synth_rows_sse41(int32_t (*buf)[32], int p, int16_t* out) {
    const tSynthRingRead rd = synth_ring_read(p);
    if (rd.a == 1)
        synth_rows_sse41_at<1, 0>(buf, rd.even, out);
    else
        synth_rows_sse41_at<3, 1>(buf, rd.even, out);
}

} // namespace mp3

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
