// Lee's fast DCT of the synthesis filter bank, written once over a lane type so that the
// portable code and the fast paths run the very same steps (and give the same bits). A
// fast path includes this after its target pragma; it defines only templates, which its
// own lane types make distinct.
#pragma once

#include "fixed.h"

#include <array>
#include <cstdint>
#include <utility>

namespace mp3 {

// Lee's factorisation: an N-point DCT splits into an N/2-point DCT of x[i] + x[N-1-i]
// (the even outputs) and one of (x[i] - x[N-1-i]) / (2 cos((2i + 1) pi/2N)), whose
// neighbouring outputs add to the odd outputs. The factors are stored in the largest
// Q format that holds them; a product is hi() shifted left by 32 - frac_bits.
struct tLeeFactor {
    int32_t word;
    int32_t frac_bits; // 27..31
};

// clang-format off
inline constexpr tLeeFactor LEE32[16] = {
    {0x4013C250, 31}, // 1075036752  1/(2 cos(1 pi/64))  = 0.500603
    {0x40B345BC, 31}, // 1085490620  1/(2 cos(3 pi/64))  = 0.505471
    {0x41FA2D6D, 31}, // 1106914669  1/(2 cos(5 pi/64))  = 0.515447
    {0x43F93420, 31}, // 1140405280  1/(2 cos(7 pi/64))  = 0.531043
    {0x46CC1BC4, 31}, // 1187781572  1/(2 cos(9 pi/64))  = 0.553104
    {0x4A9D9CF0, 31}, // 1251843312  1/(2 cos(11 pi/64)) = 0.582935
    {0x4FAE3711, 31}, // 1336817425  1/(2 cos(13 pi/64)) = 0.622504
    {0x56601EA6, 31}, // 1449139878  1/(2 cos(15 pi/64)) = 0.674808
    {0x5F4CF6EB, 31}, // 1598879467  1/(2 cos(17 pi/64)) = 0.744536
    {0x6B6FCF26, 31}, // 1802489638  1/(2 cos(19 pi/64)) = 0.839350
    {0x7C7D1DB3, 31}, // 2088574387  1/(2 cos(21 pi/64)) = 0.972568
    {0x4AD81A97, 30}, // 1255676567  1/(2 cos(23 pi/64)) = 1.169440
    {0x5EFC8D96, 30}, // 1593609622  1/(2 cos(25 pi/64)) = 1.484165
    {0x41D9578F, 29}, // 1104762767  1/(2 cos(27 pi/64)) = 2.057781
    {0x6D0B20CF, 29}, // 1829445839  1/(2 cos(29 pi/64)) = 3.407608
    {0x518522FA, 27}, // 1367679738  1/(2 cos(31 pi/64)) = 10.190008
};
inline constexpr tLeeFactor LEE16[8] = {
    {0x404F4671, 31}, // 1078937201  1/(2 cos(1 pi/32))  = 0.502419
    {0x42E13C0F, 31}, // 1122057231  1/(2 cos(3 pi/32))  = 0.522499
    {0x48919F44, 31}, // 1217503044  1/(2 cos(5 pi/32))  = 0.566944
    {0x52CB0E62, 31}, // 1389039202  1/(2 cos(7 pi/32))  = 0.646822
    {0x64E2402D, 31}, // 1692549165  1/(2 cos(9 pi/32))  = 0.788155
    {0x43E224A9, 30}, // 1138893993  1/(2 cos(11 pi/32)) = 1.060678
    {0x6E3C92C1, 30}, // 1849463489  1/(2 cos(13 pi/32)) = 1.722447
    {0x519E4E03, 28}, // 1369329155  1/(2 cos(15 pi/32)) = 5.101149
};
inline constexpr tLeeFactor LEE8[4] = {
    {0x4140FB45, 31}, // 1094777669  1/(2 cos(1 pi/16)) = 0.509796
    {0x4CF8DE87, 31}, // 1291378311  1/(2 cos(3 pi/16)) = 0.601345
    {0x73326BBE, 31}, // 1932684222  1/(2 cos(5 pi/16)) = 0.899976
    {0x52036741, 29}, // 1375954753  1/(2 cos(7 pi/16)) = 2.562915
};
inline constexpr tLeeFactor LEE4[2] = {
    {0x4545E9EF, 31}, // 1162209775  1/(2 cos(1 pi/8)) = 0.541196
    {0x539EBA45, 30}, // 1402911301  1/(2 cos(3 pi/8)) = 1.306563
};
inline constexpr tLeeFactor LEE2[1] = {
    {0x5A827999, 31}, // 1518500249  1/(2 cos(pi/4)) = 1/sqrt(2)
};
// clang-format on

template <int N> constexpr const tLeeFactor* lee_factors() {
    if constexpr (N == 32)
        return LEE32;
    else if constexpr (N == 16)
        return LEE16;
    else if constexpr (N == 8)
        return LEE8;
    else if constexpr (N == 4)
        return LEE4;
    else
        return LEE2;
}

// The words of an N-point stage's factors alone, in order, for paths that load several
// at once.
template <int N>
inline constexpr std::array<int32_t, N / 2> lee_words = [] {
    std::array<int32_t, N / 2> w{};
    for (int i = 0; i < N / 2; ++i)
        w[size_t(i)] = lee_factors<N>()[i].word;
    return w;
}();

// Factor I of an N-point stage applied to v: Ops::scale_at<N, I>(v) where Ops has it (a
// path that picks the word from a register of several), else Ops::scale(v, factor).
template <typename Ops, int N, int I> inline typename Ops::V lee_scale(typename Ops::V v) {
    if constexpr (requires { Ops::template scale_at<N, I>(v); })
        return Ops::template scale_at<N, I>(v);
    else
        return Ops::scale(v, lee_factors<N>()[I]);
}

// The sums x[i] + x[N-1-i] and the scaled differences of an N-point stage, written out
// with each factor's index a constant.
template <int N, typename Ops, int IS, int... I>
[[gnu::always_inline]] inline void lee_split(const typename Ops::V* x, typename Ops::V* sum,
                                             typename Ops::V* dif,
                                             std::integer_sequence<int, I...>) {
    ((sum[I] = Ops::add(x[IS * I], x[IS * (N - 1 - I)]),
      dif[I] = lee_scale<Ops, N, I>(Ops::sub(x[IS * I], x[IS * (N - 1 - I)]))),
     ...);
}

// X[m] = sum of x[i] cos(m (2i + 1) pi/2N), unit gain, at the input's scale. Ops gives
// the lane type V and its wrapping add and sub and scale(v, f) = hi(v, f.word) shifted
// left by 32 - f.frac_bits, on one value or on several side by side. The values may lie
// IS apart and the results OS apart; all are read before any is written, so x and X may
// be the same. Built into each caller whole, as if written there.
template <int N, typename Ops, int IS = 1, int OS = 1>
[[gnu::always_inline]] inline void lee_dct(const typename Ops::V* x, typename Ops::V* X) {
    using V = typename Ops::V;
    if constexpr (N == 2) {
        const V a = x[0], b = x[IS];
        X[0] = Ops::add(a, b);
        X[OS] = lee_scale<Ops, 2, 0>(Ops::sub(a, b));
    } else {
        constexpr int H = N / 2;
        V sum[H], dif[H], even[H], odd[H];
        lee_split<N, Ops, IS>(x, sum, dif, std::make_integer_sequence<int, H>{});
        lee_dct<H, Ops>(sum, even);
        lee_dct<H, Ops>(dif, odd);
#pragma GCC unroll 16
        for (int m = 0; m < H - 1; ++m) {
            X[OS * 2 * m] = even[m];
            X[OS * (2 * m + 1)] = Ops::add(odd[m], odd[m + 1]);
        }
        X[OS * (N - 2)] = even[H - 1];
        X[OS * (N - 1)] = odd[H - 1];
    }
}

} // namespace mp3
