// ARM fast paths (NEON): the portable kernels' products and sums, four 32-bit or two
// 64-bit lanes at a time. Nothing here runs on a processor without NEON unless the
// dispatch chose it; AArch64 always has it.
#include "dsp.h"
#include "fixed.h"
#include "synth_window.h"

#if defined(VEXA_SIMD_NEON)

#include <arm_neon.h>

// On 32-bit ARM everything defined from here on may use NEON; only templates and
// functions of this file follow, so no code shared with the portable path is built for it.
#if !defined(__aarch64__)
#pragma GCC push_options
#pragma GCC target("fpu=neon")
#endif
#include "imdct_long.h"
#include "lee_dct.h"

namespace mp3 {

namespace {

// hi(v, w) of every lane from the saturating doubling multiply, which gives the upper
// half of 2 v w: that is hi(v, w) with one more bit below, exact unless v and w are both
// -2^31, which no word of the decoder's tables is.
template <typename V> struct tNeonLanes;
template <> struct tNeonLanes<int32x4_t> {
    static int32x4_t qdmulh(int32x4_t v, int32_t w) { return vqdmulhq_n_s32(v, w); }
    static int32x4_t dup(int32_t n) { return vdupq_n_s32(n); }
    static int32x4_t add(int32x4_t a, int32x4_t b) { return vaddq_s32(a, b); }
    static int32x4_t sub(int32x4_t a, int32x4_t b) { return vsubq_s32(a, b); }
    static int32x4_t shl(int32x4_t v, int32x4_t n) { return vshlq_s32(v, n); }
    static int32x4_t bic(int32x4_t a, int32x4_t b) { return vbicq_s32(a, b); }
    static int32x4_t eor(int32x4_t a, int32x4_t b) { return veorq_s32(a, b); }
    static int32x4_t sra1(int32x4_t v) { return vshrq_n_s32(v, 1); }
#if defined(__aarch64__)
    template <int L> static int32x4_t qdmulh_lane(int32x4_t v, int32x4_t w) {
        return vqdmulhq_laneq_s32(v, w, L);
    }
#endif
};
template <> struct tNeonLanes<int32x2_t> {
    static int32x2_t qdmulh(int32x2_t v, int32_t w) { return vqdmulh_n_s32(v, w); }
    static int32x2_t dup(int32_t n) { return vdup_n_s32(n); }
    static int32x2_t add(int32x2_t a, int32x2_t b) { return vadd_s32(a, b); }
    static int32x2_t sub(int32x2_t a, int32x2_t b) { return vsub_s32(a, b); }
    static int32x2_t shl(int32x2_t v, int32x2_t n) { return vshl_s32(v, n); }
    static int32x2_t bic(int32x2_t a, int32x2_t b) { return vbic_s32(a, b); }
    static int32x2_t eor(int32x2_t a, int32x2_t b) { return veor_s32(a, b); }
    static int32x2_t sra1(int32x2_t v) { return vshr_n_s32(v, 1); }
#if defined(__aarch64__)
    template <int L> static int32x2_t qdmulh_lane(int32x2_t v, int32x4_t w) {
        return vqdmulh_laneq_s32(v, w, L);
    }
#endif
};

#if defined(__aarch64__)
// The words of all the DCT's factors, the stages one after another (32, 16, 8, 4 and
// 2 points), so that one load brings four of them; a product takes its word from a lane.
constexpr int lee_words_at(int n) {
    return n == 32 ? 0 : n == 16 ? 16 : n == 8 ? 24 : n == 4 ? 28 : 30;
}
template <int N> constexpr void lee_words_put(std::array<int32_t, 32>& a) {
    for (int i = 0; i < N / 2; ++i)
        a[size_t(lee_words_at(N) + i)] = lee_words<N>[size_t(i)];
}
alignas(16) constexpr std::array<int32_t, 32> lee_all_words = [] {
    std::array<int32_t, 32> a{};
    lee_words_put<32>(a);
    lee_words_put<16>(a);
    lee_words_put<8>(a);
    lee_words_put<4>(a);
    lee_words_put<2>(a);
    return a;
}();
#endif

// Four (or two) lanes side by side.
template <typename Vec> struct tNeonOps {
    using V = Vec;
    using L = tNeonLanes<V>;
    static V add(V a, V b) { return L::add(a, b); }
    static V sub(V a, V b) { return L::sub(a, b); }
    // hi() shifted left by 32 - frac_bits: the doubled product's lowest bit cleared,
    // shifted by one less.
    static V scale(V v, tLeeFactor f) {
        const V h2 = L::bic(L::qdmulh(v, f.word), L::dup(1));
        return f.frac_bits == 31 ? h2 : L::shl(h2, L::dup(31 - f.frac_bits));
    }
    static V hi(V v, int32_t word) { return L::sra1(L::qdmulh(v, word)); }
    static V shl(V v, int n) { return L::shl(v, L::dup(n)); }
    static V sra(V v, int n) { return L::shl(v, L::dup(-n)); }
    static V negate_if(V v, V m) { return L::sub(L::eor(v, m), m); }
    // On AArch64 a DCT factor's word (and an IMDCT window word) from a lane of a register
    // that four were loaded into.
#if defined(__aarch64__)
    template <int N, int I> static V scale_at(V v) {
        constexpr int at = lee_words_at(N) + I;
        constexpr tLeeFactor f = lee_factors<N>()[I];
        const int32x4_t words = vld1q_s32(lee_all_words.data() + (at & ~3));
        const V h2 = L::bic(L::template qdmulh_lane<at & 3>(v, words), L::dup(1));
        return f.frac_bits == 31 ? h2 : L::shl(h2, L::dup(31 - f.frac_bits));
    }
    static int32x4_t words4(const int32_t* w) {
        return vld1q_s32(w);
    }
    template <int Lane> static V hi_lane(V v, int32x4_t w) {
        return L::sra1(L::template qdmulh_lane<Lane>(v, w));
    }
#endif
};
using tNeonOps4 = tNeonOps<int32x4_t>;
using tNeonOps2 = tNeonOps<int32x2_t>;

// Values i .. i + 3 of four subbands 18 values apart (rows a..d) become four registers
// of one value each, one subband per lane, and back.
#if defined(__aarch64__)
// AArch64 pairs the 64-bit halves in one instruction each (halves put together with
// vcombine cost GCC two moves apiece there).
inline int32x4_t low_halves(int32x4_t a, int32x4_t b) {
    return vreinterpretq_s32_s64(vtrn1q_s64(vreinterpretq_s64_s32(a), vreinterpretq_s64_s32(b)));
}
inline int32x4_t high_halves(int32x4_t a, int32x4_t b) {
    return vreinterpretq_s32_s64(vtrn2q_s64(vreinterpretq_s64_s32(a), vreinterpretq_s64_s32(b)));
}
void transpose4(int32x4_t& a, int32x4_t& b, int32x4_t& c, int32x4_t& d) {
    const int32x4_t a0 = vtrn1q_s32(a, b), b0 = vtrn2q_s32(a, b);
    const int32x4_t c0 = vtrn1q_s32(c, d), d0 = vtrn2q_s32(c, d);
    a = low_halves(a0, c0);
    b = low_halves(b0, d0);
    c = high_halves(a0, c0);
    d = high_halves(b0, d0);
}
#else
void transpose4(int32x4_t& a, int32x4_t& b, int32x4_t& c, int32x4_t& d) {
    const int32x4x2_t ab = vtrnq_s32(a, b), cd = vtrnq_s32(c, d);
    a = vcombine_s32(vget_low_s32(ab.val[0]), vget_low_s32(cd.val[0]));
    b = vcombine_s32(vget_low_s32(ab.val[1]), vget_low_s32(cd.val[1]));
    c = vcombine_s32(vget_high_s32(ab.val[0]), vget_high_s32(cd.val[0]));
    d = vcombine_s32(vget_high_s32(ab.val[1]), vget_high_s32(cd.val[1]));
}
#endif

[[gnu::always_inline]] inline void subbands_in(const int32_t* p, int32x4_t* v) {
    for (int i = 0; i < 16; i += 4) {
        v[i] = vld1q_s32(p + i);
        v[i + 1] = vld1q_s32(p + 18 + i);
        v[i + 2] = vld1q_s32(p + 36 + i);
        v[i + 3] = vld1q_s32(p + 54 + i);
        transpose4(v[i], v[i + 1], v[i + 2], v[i + 3]);
    }
    const int32x2x2_t ab = vtrn_s32(vld1_s32(p + 16), vld1_s32(p + 34));
    const int32x2x2_t cd = vtrn_s32(vld1_s32(p + 52), vld1_s32(p + 70));
    v[16] = vcombine_s32(ab.val[0], cd.val[0]);
    v[17] = vcombine_s32(ab.val[1], cd.val[1]);
}

[[gnu::always_inline]] inline void subbands_out(const int32x4_t* v, int32_t* p) {
    for (int i = 0; i < 16; i += 4) {
        int32x4_t a = v[i], b = v[i + 1], c = v[i + 2], d = v[i + 3];
        transpose4(a, b, c, d);
        vst1q_s32(p + i, a);
        vst1q_s32(p + 18 + i, b);
        vst1q_s32(p + 36 + i, c);
        vst1q_s32(p + 54 + i, d);
    }
    const int32x2x2_t lo = vtrn_s32(vget_low_s32(v[16]), vget_low_s32(v[17]));
    const int32x2x2_t hi = vtrn_s32(vget_high_s32(v[16]), vget_high_s32(v[17]));
    vst1_s32(p + 16, lo.val[0]);
    vst1_s32(p + 34, lo.val[1]);
    vst1_s32(p + 52, hi.val[0]);
    vst1_s32(p + 70, hi.val[1]);
}

} // namespace

// The odd times of an odd subband sit at places 4i + 1 and 4i + 2 in pair order.
void imdct_zero_neon(int32_t* x, int32_t* ov, int n) {
    const int32x4_t odd_times = {0, -1, -1, 0}, zero = vdupq_n_s32(0);
    for (int sb = 0; sb < n; ++sb, x += 18, ov += 18) {
        const int32x4_t m = (sb & 1) ? odd_times : zero;
        for (int i = 0; i < 16; i += 4) {
            const int32x4_t v = vld1q_s32(ov + i);
            vst1q_s32(x + i, vsubq_s32(veorq_s32(v, m), m));
            vst1q_s32(ov + i, zero);
        }
        const int32x2_t v = vld1_s32(ov + 16), m2 = vget_low_s32(m);
        vst1_s32(x + 16, vsub_s32(veor_s32(v, m2), m2));
        vst1_s32(ov + 16, vget_low_s32(zero));
    }
}

// One boundary at a time, its butterflies 0..3 and 4..7 in the lanes of two registers
// (the lines below the boundary reversed). Even butterflies take ca in Q31 and so double
// hi(ca, a + b), odd ones in Q32; their sums are ca + cs and cs + ca / 2.
void alias_butterflies_neon(int32_t* xr, int n, const int32_t* coef) {
    const int32x4x2_t c0 = vld2q_s32(coef), c1 = vld2q_s32(coef + 8);
    const int32x4_t ca[2] = {c0.val[0], c1.val[0]}, cs[2] = {c0.val[1], c1.val[1]};
    const int32x4_t half_odd = {0, -1, 0, -1}, double_even = {1, 0, 1, 0};
    const int32x4_t sum[2] = {vaddq_s32(cs[0], vshlq_s32(ca[0], half_odd)),
                              vaddq_s32(cs[1], vshlq_s32(ca[1], half_odd))};
    const auto reverse = [](int32x4_t v) {
        const int32x4_t r = vrev64q_s32(v);
        return vcombine_s32(vget_high_s32(r), vget_low_s32(r));
    };
    const auto hi = [](int32x4_t v, int32x4_t w) { return vshrq_n_s32(vqdmulhq_s32(v, w), 1); };
    // 2 hi(v, w): the doubled product's upper word with its lowest bit cleared.
    const auto hi2 = [](int32x4_t v, int32x4_t w) {
        return vbicq_s32(vqdmulhq_s32(v, w), vdupq_n_s32(1));
    };
    for (int k = 1; k <= n; ++k) {
        int32_t* p = xr + 18 * k;
        int32x4_t a[2] = {reverse(vld1q_s32(p - 4)), reverse(vld1q_s32(p - 8))};
        int32x4_t b[2] = {vld1q_s32(p), vld1q_s32(p + 4)};
        for (int g = 0; g < 2; ++g) {
            const int32x4_t t2 = hi2(a[g], sum[g]);
            const int32x4_t na =
                vsubq_s32(t2, vshlq_s32(hi(vaddq_s32(a[g], b[g]), ca[g]), double_even));
            const int32x4_t nb = vaddq_s32(t2, hi2(vsubq_s32(b[g], a[g]), cs[g]));
            a[g] = na;
            b[g] = nb;
        }
        vst1q_s32(p - 4, reverse(a[0]));
        vst1q_s32(p - 8, reverse(a[1]));
        vst1q_s32(p, b[0]);
        vst1q_s32(p + 4, b[1]);
    }
}

// Four values at a time: 2 hi(f, v) is the doubled product's upper word with its lowest
// bit cleared, hi(f, v) >> d that word shifted by d + 1 (31 at most: only the sign is
// left either way). Then two at a time, and the last one the portable way.
void requant_lines_neon(int32_t* x, int32_t n, int32_t f, int32_t k) {
    int32_t i = 0;
    // The factor in every lane once (GCC for 32-bit ARM moves it again on every pass).
    const int32x4_t fv = vdupq_n_s32(f);
    if (k > 0) {
        const int32x4_t up = vdupq_n_s32(k - 1 > 31 ? 31 : k - 1), one = vdupq_n_s32(1);
        for (; i + 4 <= n; i += 4)
            vst1q_s32(x + i, vbicq_s32(vqdmulhq_s32(vshlq_s32(vld1q_s32(x + i), up), fv), one));
        if (i + 2 <= n) {
            const int32x2_t v = vshl_s32(vld1_s32(x + i), vget_low_s32(up));
            vst1_s32(x + i, vbic_s32(vqdmulh_s32(v, vget_low_s32(fv)), vget_low_s32(one)));
            i += 2;
        }
    } else {
        const int32x4_t down = vdupq_n_s32(-k >= 30 ? -31 : k - 1);
        for (; i + 4 <= n; i += 4)
            vst1q_s32(x + i, vshlq_s32(vqdmulhq_s32(vld1q_s32(x + i), fv), down));
        if (i + 2 <= n) {
            vst1_s32(x + i,
                     vshl_s32(vqdmulh_s32(vld1_s32(x + i), vget_low_s32(fv)), vget_low_s32(down)));
            i += 2;
        }
    }
    if (i < n) requant_lines_portable(x + i, n - i, f, k);
}

// Four lines at a time: with a = hi(l, k) and b = hi(r, k) the doubled products' upper
// words with their lowest bits cleared are 2a and 2b, whose sum and difference are the
// results (2 (a + b) and 2 (a + b) - 4b); the last n mod 4 the portable way.
void mid_side_neon(int32_t* l, int32_t* r, int32_t n, int32_t k) {
    int32_t i = 0;
    const int32x4_t kv = vdupq_n_s32(k);
    // Eight lines a pass: a granule's 576 run in one call, so the loop's own steps count.
#pragma GCC unroll 2
    for (; i + 4 <= n; i += 4) {
        const int32x4_t a2 = vbicq_s32(vqdmulhq_s32(vld1q_s32(l + i), kv), vdupq_n_s32(1));
        const int32x4_t b2 = vbicq_s32(vqdmulhq_s32(vld1q_s32(r + i), kv), vdupq_n_s32(1));
        vst1q_s32(l + i, vaddq_s32(a2, b2));
        vst1q_s32(r + i, vsubq_s32(a2, b2));
    }
    if (i < n) mid_side_portable(l + i, r + i, n - i, k);
}

// GCC's scheduling before register allocation loads values far ahead in the IMDCT and
// the synthesis DCT and spills them; without it both run fewer instructions.
#if !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("no-schedule-insns")
#endif
// Four subbands at a time, one per lane (lanes 1 and 3 odd); the last n mod 4 go the
// portable way.
void imdct_long_neon(int32_t* x, int32_t* ov, int n, const int32_t* W) {
    imdct_long_lanes<tNeonOps4, 4, subbands_in, subbands_out, imdct_long_portable>(
        x, ov, n, W, int32x4_t{0, -1, 0, -1});
}

namespace {

// The slots at places 16 and 17 (x[18k], x[18k + 1]): after the first split the sums and
// the differences go through 16-point transforms of one shape, so the two slots' sums
// (lanes 0 and 1) and differences (lanes 2 and 3) share one.
[[gnu::always_inline]] inline void synth_dct_last_two(int32_t* x) {
    int32x2_t v[32], sum[16], dif[16];
#pragma GCC unroll 32
    for (int k = 0; k < 32; ++k)
        v[k] = vld1_s32(x + 18 * k);
    lee_split<32, tNeonOps2, 1>(v, sum, dif, std::make_integer_sequence<int, 16>{});
    int32x4_t h[16];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i)
        h[i] = vcombine_s32(sum[i], dif[i]);
    lee_dct<16, tNeonOps4>(h, h);
    // Even outputs from the sums' transform, odd ones from neighbours of the differences'.
#pragma GCC unroll 15
    for (int m = 0; m < 15; ++m) {
        vst1_s32(x + 18 * (2 * m), vget_low_s32(h[m]));
        vst1_s32(x + 18 * (2 * m + 1), vget_high_s32(vaddq_s32(h[m], h[m + 1])));
    }
    vst1_s32(x + 18 * 30, vget_low_s32(h[15]));
    vst1_s32(x + 18 * 31, vget_high_s32(h[15]));
}

} // namespace

#if defined(__aarch64__)
// Four slots at a time, one per lane, each group loaded, transformed and stored before
// the next (with 32 registers one group's values fit); then places 16 and 17.
void synth_dct_neon(int32_t* x) {
    for (int base = 0; base < 16; base += 4) {
        int32x4_t v[32];
#pragma GCC unroll 32
        for (int k = 0; k < 32; ++k)
            v[k] = vld1q_s32(x + 18 * k + base);
        lee_dct<32, tNeonOps4>(v, v);
#pragma GCC unroll 32
        for (int m = 0; m < 32; ++m)
            vst1q_s32(x + 18 * m + base, v[m]);
    }
    synth_dct_last_two(x + 16);
}
#else
// Places 0..7 and 8..15 each hold two groups of four slots, at the even and the odd
// places; then places 16 and 17.
void synth_dct_neon(int32_t* x) {
    for (int base = 0; base < 16; base += 8) {
        int32x4_t e[32], o[32], E[32], O[32];
        for (int k = 0; k < 32; ++k) {
            const int32x4x2_t v = vld2q_s32(x + 18 * k + base);
            e[k] = v.val[0];
            o[k] = v.val[1];
        }
        lee_dct<32, tNeonOps4>(e, E);
        lee_dct<32, tNeonOps4>(o, O);
        for (int m = 0; m < 32; ++m)
            vst2q_s32(x + 18 * m + base, int32x4x2_t{{E[m], O[m]}});
    }
    synth_dct_last_two(x + 16);
}
#endif
#if !defined(__clang__)
#pragma GCC pop_options
#endif

namespace {

// The window word of each column of history row 0: at even columns the words of sample
// 0, at odd ones those of sample 16, formed from the words of the portable kernel's pairs
// (the centre word, which meets the same value twice, doubled).
struct tRow0Coefs {
    int32_t col[32];
};

tRow0Coefs row0_coefs() {
    const int32_t* w = synth_window.data();
    tRow0Coefs c{};
    for (int i = 0; i < 4; ++i) {
        c.col[2 * (2 * i + 2)] += w[2 * i];  // age 2i + 2
        c.col[2 * (14 - 2 * i)] += w[2 * i]; // age 14 - 2i
        c.col[2 * (2 * i + 1)] = w[2 * i + 1];
        c.col[2 * (15 - 2 * i)] = -w[2 * i + 1];
    }
    for (int t = 0; t < 8; ++t)
        c.col[2 * (2 * t + 1) + 1] = w[8 + t];
    return c;
}

// Formed when the library loads (the window is a constant, ready before).
const tRow0Coefs row0_coef = row0_coefs();

} // namespace

// Row 0 against its column words in 64-bit lanes: the products of the even columns meet
// in lane 0 (sample 0), those of the odd ones in lane 1 (sample 16). Then the row moves
// two columns on, stored back from the same registers once all of it is read.
#if defined(__aarch64__)
void synth_row0_neon(int32_t* h, int16_t* out) {
    int32x4_t v[8];
#pragma GCC unroll 8
    for (int q = 0; q < 8; ++q)
        v[q] = vld1q_s32(h + 4 * q);
    int64x2_t s = vdupq_n_s64(0);
#pragma GCC unroll 8
    for (int q = 0; q < 8; ++q) {
        const int32x4_t c = vld1q_s32(row0_coef.col + 4 * q);
        s = vmlal_s32(s, vget_low_s32(v[q]), vget_low_s32(c));
        s = vmlal_high_s32(s, v[q], c);
    }
#pragma GCC unroll 7
    for (int q = 0; q < 7; ++q)
        vst1q_s32(h + 2 + 4 * q, v[q]);
    vst1_s32(h + 30, vget_low_s32(v[7]));
    const int32x2_t r = vqrshrn_n_s64(s, SYNTH_PCM_SHIFT);
    const int16x4_t pcm = vqmovn_s32(vcombine_s32(r, r));
    vst1_lane_s16(out, pcm, 0);
    vst1_lane_s16(out + 16, pcm, 1);
}
#else
// On 32-bit ARM written out, as compilers give every load and store an address of its
// own: the row in d0..d7 and d16..d23, eight column words at a time in d24..d27, the sums
// in q14; narrowed in place (lanes 2 and 3 of the narrowing are not used).
void synth_row0_neon(int32_t* h, int16_t* out) {
    const int32_t* c = row0_coef.col;
    int32_t* to = h + 2;
    asm volatile("vld1.32 {d0-d3}, [%[h]]!\n\t"
                 "vld1.32 {d4-d7}, [%[h]]!\n\t"
                 "vld1.32 {d16-d19}, [%[h]]!\n\t"
                 "vld1.32 {d20-d23}, [%[h]]\n\t"
                 "vld1.32 {d24-d27}, [%[c]]!\n\t"
                 "vmull.s32 q14, d0, d24\n\t"
                 "vmlal.s32 q14, d1, d25\n\t"
                 "vmlal.s32 q14, d2, d26\n\t"
                 "vmlal.s32 q14, d3, d27\n\t"
                 "vld1.32 {d24-d27}, [%[c]]!\n\t"
                 "vmlal.s32 q14, d4, d24\n\t"
                 "vmlal.s32 q14, d5, d25\n\t"
                 "vmlal.s32 q14, d6, d26\n\t"
                 "vmlal.s32 q14, d7, d27\n\t"
                 "vld1.32 {d24-d27}, [%[c]]!\n\t"
                 "vmlal.s32 q14, d16, d24\n\t"
                 "vmlal.s32 q14, d17, d25\n\t"
                 "vmlal.s32 q14, d18, d26\n\t"
                 "vmlal.s32 q14, d19, d27\n\t"
                 "vld1.32 {d24-d27}, [%[c]]\n\t"
                 "vmlal.s32 q14, d20, d24\n\t"
                 "vmlal.s32 q14, d21, d25\n\t"
                 "vmlal.s32 q14, d22, d26\n\t"
                 "vmlal.s32 q14, d23, d27\n\t"
                 "vst1.32 {d0-d3}, [%[to]]!\n\t"
                 "vst1.32 {d4-d7}, [%[to]]!\n\t"
                 "vst1.32 {d16-d19}, [%[to]]!\n\t"
                 "vst1.32 {d20-d22}, [%[to]]\n\t"
                 "vqrshrn.s64 d28, q14, %[shift]\n\t"
                 "vqmovn.s32 d28, q14\n\t"
                 "vst1.16 {d28[0]}, [%[out]]\n\t"
                 "vst1.16 {d28[1]}, [%[out16]]"
                 : [h] "+r"(h), [c] "+r"(c), [to] "+r"(to)
                 : [out] "r"(out), [out16] "r"(out + 16), [shift] "i"(SYNTH_PCM_SHIFT)
                 : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d16", "d17", "d18", "d19",
                   "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28", "d29", "memory");
}
#endif

namespace {

// The two sums of one history row (columns a + 4u and b + 4u against the window pairs at
// we and wo, see synth_rows_neon_at): sample j's in lane 0, sample 32 - j's in lane 1,
// each value multiplied by its pair of words at once. The pointers move on to the next
// row.
#if defined(__aarch64__)
// acc + the window pair in the low (H = 0) or high (H = 1) half of w times lane L of v.
template <int H, int L>
[[gnu::always_inline]] inline int64x2_t mac_pair(int64x2_t acc, int32x4_t w, int32x4_t v) {
    if constexpr (H == 0)
        return vmlal_laneq_s32(acc, vget_low_s32(w), v, L);
    else
        return vmlal_high_laneq_s32(acc, w, v, L);
}

// The four values of v against the four window pairs in p0 and p1.
[[gnu::always_inline]] inline int64x2_t mac_pairs4(int64x2_t acc, int32x4_t p0, int32x4_t p1,
                                                   int32x4_t v) {
    acc = mac_pair<0, 0>(acc, p0, v);
    acc = mac_pair<1, 1>(acc, p0, v);
    acc = mac_pair<0, 2>(acc, p1, v);
    return mac_pair<1, 3>(acc, p1, v);
}

// A row's 16 even-age and 16 odd-age window words in one load each; the history row in
// two loads that split it by column mod 4. Each load moves its pointer on (loads of
// several registers have no offset form), rather than an address of its own computed
// for every load.
template <int A, int B>
[[gnu::always_inline]] inline int64x2_t synth_row_sums(const int32_t*& h, const int32_t*& we,
                                                       const int32_t*& wo) {
    const int32x4x4_t pe = vld1q_s32_x4(we), po = vld1q_s32_x4(wo);
    we += SYNTH_ROW_WORDS;
    wo += SYNTH_ROW_WORDS;
    asm("" : "+r"(we), "+r"(wo));
    int64x2_t acc = vdupq_n_s64(0);
#pragma GCC unroll 2
    for (int half = 0; half < 2; ++half) {
        const int32x4x4_t r = vld4q_s32(h);
        h += 16;
        asm("" : "+r"(h));
        acc = mac_pairs4(acc, pe.val[2 * half], pe.val[2 * half + 1], r.val[A]);
        acc = mac_pairs4(acc, po.val[2 * half], po.val[2 * half + 1], r.val[B]);
    }
    return acc;
}
#else
// On 32-bit ARM the same steps written out: compilers give every load an address of its
// own, where the loads can move their pointers on themselves. A half row split by column
// mod 4 puts columns 4u + c, u = 0..3, in d(2c) (u = 0, 1) and d(2c + 1) (u = 2, 3); the
// even-age values are in E0, E1, the odd-age ones in O0, O1; d16..d19 and d20..d23 the
// four window pairs of each. The first product starts the sum.
#define VEXA_SYNTH_HALF_ROW(E0, E1, O0, O1, STEP, MUL)                                             \
    "vld4.32 {d0, d2, d4, d6}, [%[h]]!\n\t"                                                        \
    "vld4.32 {d1, d3, d5, d7}, [%[h]]!\n\t"                                                        \
    "vld1.32 {d16-d19}, [%[we]]" STEP "\n\t"                                                       \
    "vld1.32 {d20-d23}, [%[wo]]" STEP "\n\t" MUL " %q[acc], d16, " E0 "[0]\n\t"                    \
    "vmlal.s32 %q[acc], d17, " E0 "[1]\n\t"                                                        \
    "vmlal.s32 %q[acc], d18, " E1 "[0]\n\t"                                                        \
    "vmlal.s32 %q[acc], d19, " E1 "[1]\n\t"                                                        \
    "vmlal.s32 %q[acc], d20, " O0 "[0]\n\t"                                                        \
    "vmlal.s32 %q[acc], d21, " O0 "[1]\n\t"                                                        \
    "vmlal.s32 %q[acc], d22, " O1 "[0]\n\t"                                                        \
    "vmlal.s32 %q[acc], d23, " O1 "[1]\n\t"
#define VEXA_SYNTH_ROW(E0, E1, O0, O1)                                                             \
    VEXA_SYNTH_HALF_ROW(E0, E1, O0, O1, "!", "vmull.s32")                                          \
    VEXA_SYNTH_HALF_ROW(E0, E1, O0, O1, ", %[step]", "vmlal.s32")

template <int A, int B>
[[gnu::always_inline]] inline int64x2_t synth_row_sums(const int32_t*& h, const int32_t*& we,
                                                       const int32_t*& wo) {
    int64x2_t acc;
    // From the second half's pairs to the next row's first.
    const int32_t step = (SYNTH_ROW_WORDS - 8) * int32_t{sizeof(int32_t)};
    if constexpr (A == 1)
        asm(VEXA_SYNTH_ROW("d2", "d3", "d4", "d5")
            : [acc] "=&w"(acc), [h] "+r"(h), [we] "+r"(we), [wo] "+r"(wo)
            : [step] "r"(step)
            : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d16", "d17", "d18", "d19", "d20",
              "d21", "d22", "d23", "memory");
    else
        asm(VEXA_SYNTH_ROW("d6", "d7", "d0", "d1")
            : [acc] "=&w"(acc), [h] "+r"(h), [we] "+r"(we), [wo] "+r"(wo)
            : [step] "r"(step)
            : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d16", "d17", "d18", "d19", "d20",
              "d21", "d22", "d23", "memory");
    return acc;
}
#undef VEXA_SYNTH_ROW
#undef VEXA_SYNTH_HALF_ROW
#endif

// The PCM samples of the sums of two rows each: the rounding narrowing shift gives
// (acc + 2^24) >> 25 and the narrowing saturates to 16 bits. Lanes j, 32 - j, j + 1,
// 31 - j.
int16x4_t pcm4(int64x2_t s0, int64x2_t s1) {
    return vqmovn_s32(
        vcombine_s32(vqrshrn_n_s64(s0, SYNTH_PCM_SHIFT), vqrshrn_n_s64(s1, SYNTH_PCM_SHIFT)));
}

} // namespace

// Per history row: loads that split the row by column mod 4 put the even-age and the
// odd-age values (columns a + 4u and b + 4u, u = 0..3, then 4..7) in registers of their
// own; loads that split the window's pairs put the coefficients of sample j and of sample
// 32 - j in registers of their own, read from where the ring starts; multiplied and
// accumulated in 64-bit lanes. Four rows at a time (the last three), their eight samples
// rounded and saturated together: samples j..j + 3 in one store, 32 - j..29 - j reversed
// in another.
#if !defined(__aarch64__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("no-schedule-insns")
#endif
template <int A, int B>
[[gnu::always_inline]] inline void synth_rows_neon_at(int32_t (*buf)[32], tSynthRingRead rd,
                                                      int16_t* out) {
    const int32_t* we = synth_window.data() + SYNTH_ROW0_WORDS + 2 * rd.even;
    const int32_t* wo = synth_window.data() + SYNTH_ROW0_WORDS + 32 + 2 * rd.odd;
    const int32_t* h = buf[1];
    int64x2_t s[4];
    for (int j = 1; j < 13; j += 4) {
#pragma GCC unroll 4
        for (int r = 0; r < 4; ++r)
            s[r] = synth_row_sums<A, B>(h, we, wo);
        const int16x4x2_t v = vuzp_s16(pcm4(s[0], s[1]), pcm4(s[2], s[3]));
        vst1_s16(out + j, v.val[0]);
        vst1_s16(out + 29 - j, vrev64_s16(v.val[1]));
    }
#pragma GCC unroll 3
    for (int r = 0; r < 3; ++r)
        s[r] = synth_row_sums<A, B>(h, we, wo);
    const int16x4_t a = pcm4(s[0], s[1]), b = pcm4(s[2], s[2]);
    vst1_lane_s16(out + 13, a, 0);
    vst1_lane_s16(out + 19, a, 1);
    vst1_lane_s16(out + 14, a, 2);
    vst1_lane_s16(out + 18, a, 3);
    vst1_lane_s16(out + 15, b, 0);
    vst1_lane_s16(out + 17, b, 1);
}
#if !defined(__aarch64__) && !defined(__clang__)
#pragma GCC pop_options
#endif

void synth_rows_neon(int32_t (*buf)[32], int p, int16_t* out) {
    const tSynthRingRead rd = synth_ring_read(p);
    if (rd.a == 1)
        synth_rows_neon_at<1, 2>(buf, rd, out);
    else
        synth_rows_neon_at<3, 0>(buf, rd, out);
}

} // namespace mp3

#if !defined(__aarch64__)
#pragma GCC pop_options
#endif

#endif
