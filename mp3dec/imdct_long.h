// The 36-point IMDCT of long blocks with its window and overlap-add, written once over a
// lane type so that the portable code (one subband) and the fast paths (several subbands
// side by side) run the very same steps and give the same bits. A fast path includes this
// after its target pragma; it defines only templates, which its own lane types make
// distinct.
//
// Ops gives the lane type V and: add, sub (wrapping), hi(v, word) (upper half of the
// 64-bit product), shl(v, n) (wrapping), sra(v, n) (arithmetic), negate_if(v, m)
// (-v where m is all ones, v where m is 0).
#pragma once

#include "fixed.h"

#include <cstdint>

namespace mp3 {

// The lane type of one subband at a time: the portable code, and the scalar parts of the
// fast paths. Local to each file that includes this (the fast paths compile it for their
// own target).
namespace {
struct tScalarOps {
    using V = int32_t;
    static V add(V a, V b) { return wadd(a, b); }
    static V sub(V a, V b) { return wsub(a, b); }
    static V hi(V v, int32_t w) { return mp3::hi(v, w); }
    static V shl(V v, int n) { return wshl(v, n); }
    static V sra(V v, int n) { return v >> n; }
    static V negate_if(V v, V m) { return wsub(v ^ m, m); }
};
} // namespace

// Nine-point kernel constants, Q31.
inline constexpr int32_t C1 = 0x6ED9E83E;                       // 1859774526  cos(pi/6)
inline constexpr int32_t K0 = 0x7E0E3044;                       // 2114859076  cos(pi/18)
inline constexpr int32_t K1 = 0x5246E08F;                       // 1380376719  cos(7pi/18)
inline constexpr int32_t K2 = static_cast<int32_t>(0x9DF2452D); // -1645066963 -cos(5pi/18)
inline constexpr int32_t K3 = 0x7847DC37;                       // 2017975351  cos(pi/9)
inline constexpr int32_t K0_MINUS_K1 = wsub(K0, K1);            // formed from the words
inline constexpr int32_t K2_PLUS_K3 = wadd(K2, K3);

// Twiddles 1/(2 cos((2k + 1) pi/36)), Q28.
inline constexpr int TWIDDLE_FRAC_BITS = 28;
inline constexpr int32_t TWIDDLE[9] = {
    0x0807D2B1, // 134730417
    0x08483EE0, // 138952416
    0x08D3B7CC, // 148092876
    0x09C42576, // 163849590
    0x0B504F30, // 189812528
    0x0DF29436, // 234001462
    0x12EDFB0B, // 317586187
    0x1EE8DD1C, // 518577436
    0x5BCA286E, // 1539975278
};
static_assert(TWIDDLE_FRAC_BITS + 4 == 32, "k = 0 restores the scale with << 4");

// Nine-point kernel on u[0], u[2], ..., u[16] (stride 2), results R0..R8.
template <typename Ops> inline void nine_point(const typename Ops::V* u, typename Ops::V* r) {
    using V = typename Ops::V;
    const V u0 = u[0], u1 = u[2], u2 = u[4], u3 = u[6], u4 = u[8];
    const V u5 = u[10], u6 = u[12], u7 = u[14], u8 = u[16];

    const V a = Ops::sub(u0, u6);
    const V b2 = Ops::sra(Ops::add(u0, Ops::sra(u6, 1)), 1); // b >> 1
    const V m3 = Ops::hi(u3, C1);
    const V c = Ops::sub(Ops::sub(u2, u4), u8);
    r[4] = Ops::sub(a, c);
    const V d = Ops::add(a, Ops::sra(c, 1));
    const V f2 = Ops::shl(Ops::hi(Ops::sub(Ops::sub(u1, u5), u7), C1), 1);
    r[1] = Ops::add(d, f2);
    r[7] = Ops::sub(d, f2);

    const V g = Ops::hi(Ops::add(u1, u5), K0);
    const V h = Ops::hi(Ops::add(u1, u7), K1);
    const V p = Ops::hi(Ops::sub(u7, u5), K0_MINUS_K1);
    const V q = Ops::hi(Ops::sub(u8, u4), K2);
    const V l = Ops::hi(Ops::add(u2, u8), K3);
    const V m = Ops::hi(Ops::add(u2, u4), K2_PLUS_K3);

    const V s1 = Ops::add(Ops::add(q, l), b2), t1 = Ops::add(Ops::add(p, g), m3);
    r[0] = Ops::shl(Ops::add(s1, t1), 1);
    r[8] = Ops::shl(Ops::sub(s1, t1), 1);
    const V s2 = Ops::sub(b2, Ops::add(m, q)), t2 = Ops::sub(Ops::add(p, h), m3);
    r[2] = Ops::shl(Ops::add(s2, t2), 1);
    r[6] = Ops::shl(Ops::sub(s2, t2), 1);
    const V s3 = Ops::sub(b2, Ops::sub(l, m)), t3 = Ops::sub(Ops::sub(g, h), m3);
    r[3] = Ops::shl(Ops::add(s3, t3), 1);
    r[5] = Ops::shl(Ops::sub(s3, t3), 1);
}

// The window words 4k .. 4k + 3 of a step: Ops::words4 where Ops has it (a path that keeps
// four words in one register and takes a product's word from a lane, Ops::hi_lane), else
// the words where they lie, read one at a time.
template <typename Ops> [[gnu::always_inline]] inline auto window_words(const int32_t* w) {
    if constexpr (requires { Ops::words4(w); })
        return Ops::words4(w);
    else
        return w;
}
template <typename Ops, int L, typename Words>
[[gnu::always_inline]] inline typename Ops::V window_hi(typename Ops::V v, const Words& w) {
    if constexpr (requires { Ops::template hi_lane<L>(v, w); })
        return Ops::template hi_lane<L>(v, w);
    else
        return Ops::hi(v, w[L]);
}

// One long subband (or one per lane): X the 18 input lines (overwritten), ov the overlap
// in pair order (replaced by the new one), out the 18 outputs in pair order (X is read
// whole before any is written, so out may be X), W the window; the odd times are negated
// in the lanes where odd is all ones.
template <typename Ops>
inline void imdct36(typename Ops::V* X, typename Ops::V* ov, typename Ops::V* out, const int32_t* W,
                    typename Ops::V odd) {
    using V = typename Ops::V;
    // Prefix sums turn the 18 lines into the inputs of two nine-point kernels.
    for (int i = 17; i >= 1; --i)
        X[i] = Ops::add(X[i], X[i - 1]);
    for (int i = 17; i >= 3; i -= 2)
        X[i] = Ops::add(X[i], X[i - 2]);
    V E[9], O[9];
    nine_point<Ops>(X, E);
    nine_point<Ops>(X + 1, O);

    // k = 0 at full scale, k >= 1 at half scale (the window words make up for it).
    {
        const V t = Ops::shl(Ops::hi(O[0], TWIDDLE[0]), 4);
        const V D = Ops::sub(E[0], t), A = Ops::add(E[0], t);
        const auto w = window_words<Ops>(W);
        out[0] = Ops::add(ov[0], Ops::shl(window_hi<Ops, 0>(D, w), 2));
        out[1] = Ops::negate_if(Ops::add(ov[1], Ops::shl(window_hi<Ops, 1>(D, w), 2)),
                                odd); // time 9
        ov[0] = window_hi<Ops, 2>(A, w);
        ov[1] = window_hi<Ops, 3>(A, w);
    }
#pragma GCC unroll 8
    for (int k = 1; k < 9; ++k) {
        const V t = Ops::shl(Ops::hi(O[k], TWIDDLE[k]), 3);
        const V e = Ops::sra(E[k], 1);
        const V D = Ops::sub(e, t), A = Ops::add(e, t);
        const auto w = window_words<Ops>(W + 4 * k);
        V lo = Ops::add(ov[2 * k], Ops::shl(window_hi<Ops, 0>(D, w), 1));
        V up = Ops::add(ov[2 * k + 1], Ops::shl(window_hi<Ops, 1>(D, w), 2));
        // Odd times: 8 - k when k is odd, 9 + k when k is even.
        if (k & 1)
            lo = Ops::negate_if(lo, odd);
        else
            up = Ops::negate_if(up, odd);
        out[2 * k] = lo;
        out[2 * k + 1] = up;
        ov[2 * k] = window_hi<Ops, 2>(A, w);
        ov[2 * k + 1] = window_hi<Ops, 3>(A, w);
    }
}

// n long subbands from an even one, Lanes side by side: In moves the 18 values of Lanes
// subbands (18 apart) into 18 registers, a subband per lane, and Out back; odd marks the
// lanes of the odd subbands. The last n mod Lanes go to Rest. Built into each caller, as if
// written there.
template <typename Ops, int Lanes, auto In, auto Out, auto Rest>
[[gnu::always_inline]] inline void imdct_long_lanes(int32_t* x, int32_t* ov, int n,
                                                    const int32_t* W, typename Ops::V odd) {
    using V = typename Ops::V;
    int sb = 0;
    for (; sb + Lanes <= n; sb += Lanes, x += 18 * Lanes, ov += 18 * Lanes) {
        V X[18], o[18], out[18];
        In(x, X);
        In(ov, o);
        imdct36<Ops>(X, o, out, W, odd);
        Out(out, x);
        Out(o, ov);
    }
    if (sb < n) Rest(x, ov, n - sb, W);
}

} // namespace mp3
