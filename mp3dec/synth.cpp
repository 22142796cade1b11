// Polyphase synthesis of one granule of one channel: per time slot a 32-point DCT into
// the history, then the 512-tap window over the 16 most recent slots.
//
// Input: 576 time samples, 1.0 = 2^24 (Q24), 18 per subband in pair order. History:
// synth_buf, 16 rows of 32 values at the input's scale, in age order: while a slot is
// windowed, the slot of age a (0 = itself) occupies the columns (2a, 2a + 1) of every
// row; after it, every row moves two columns on (dropping the oldest slot) and the next
// slot is written to columns 0 and 1. Row 0 holds X[16] and -X[0], row r = 1..15 holds
// -X[16 - r] and X[16 + r], where X[m] = sum of s[k] cos(m (2k + 1) pi/64). Then every
// output sample but 0 and 16 is a 16-term dot product of a fixed window row with the
// values of one history row at fixed columns, which the fast paths compute side by side.
// synth_pos still counts the slots as the reset state and tests expect. Output: 16-bit
// PCM, full scale 2^15.
#include "dsp.h"
#include "fixed.h"
#include "stages.h"
#include "synth_window.h"

#include <cstring>

namespace mp3 {

namespace {

// Lee's factorisation: an N-point DCT splits into an N/2-point DCT of x[i] + x[N-1-i]
// (the even outputs) and one of (x[i] - x[N-1-i]) / (2 cos((2i + 1) pi/2N)), whose
// neighbouring outputs add to the odd outputs. The factors are stored in the largest
// Q format that holds them; a product is hi() shifted left by 32 - frac_bits.
struct tLeeFactor {
    int32_t word;
    int32_t frac_bits; // 27..31
};

// clang-format off
constexpr tLeeFactor LEE32[16] = {
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
constexpr tLeeFactor LEE16[8] = {
    {0x404F4671, 31}, // 1078937201  1/(2 cos(1 pi/32))  = 0.502419
    {0x42E13C0F, 31}, // 1122057231  1/(2 cos(3 pi/32))  = 0.522499
    {0x48919F44, 31}, // 1217503044  1/(2 cos(5 pi/32))  = 0.566944
    {0x52CB0E62, 31}, // 1389039202  1/(2 cos(7 pi/32))  = 0.646822
    {0x64E2402D, 31}, // 1692549165  1/(2 cos(9 pi/32))  = 0.788155
    {0x43E224A9, 30}, // 1138893993  1/(2 cos(11 pi/32)) = 1.060678
    {0x6E3C92C1, 30}, // 1849463489  1/(2 cos(13 pi/32)) = 1.722447
    {0x519E4E03, 28}, // 1369329155  1/(2 cos(15 pi/32)) = 5.101149
};
constexpr tLeeFactor LEE8[4] = {
    {0x4140FB45, 31}, // 1094777669  1/(2 cos(1 pi/16)) = 0.509796
    {0x4CF8DE87, 31}, // 1291378311  1/(2 cos(3 pi/16)) = 0.601345
    {0x73326BBE, 31}, // 1932684222  1/(2 cos(5 pi/16)) = 0.899976
    {0x52036741, 29}, // 1375954753  1/(2 cos(7 pi/16)) = 2.562915
};
constexpr tLeeFactor LEE4[2] = {
    {0x4545E9EF, 31}, // 1162209775  1/(2 cos(1 pi/8)) = 0.541196
    {0x539EBA45, 30}, // 1402911301  1/(2 cos(3 pi/8)) = 1.306563
};
constexpr tLeeFactor LEE2[1] = {
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

constexpr int32_t lee_scale(int32_t v, tLeeFactor f) {
    return wshl(hi(v, f.word), 32 - f.frac_bits);
}

// X[m] = sum of x[i] cos(m (2i + 1) pi/2N), unit gain, at the input's scale.
template <int N> inline void lee_dct(const int32_t* x, int32_t* X) {
    if constexpr (N == 2) {
        X[0] = wadd(x[0], x[1]);
        X[1] = lee_scale(wsub(x[0], x[1]), LEE2[0]);
    } else {
        constexpr int H = N / 2;
        constexpr const tLeeFactor* f = lee_factors<N>();
        int32_t sum[H], dif[H], even[H], odd[H];
#pragma GCC unroll 16
        for (int i = 0; i < H; ++i) {
            sum[i] = wadd(x[i], x[N - 1 - i]);
            dif[i] = lee_scale(wsub(x[i], x[N - 1 - i]), f[i]);
        }
        lee_dct<H>(sum, even);
        lee_dct<H>(dif, odd);
#pragma GCC unroll 16
        for (int m = 0; m < H - 1; ++m) {
            X[2 * m] = even[m];
            X[2 * m + 1] = wadd(odd[m], odd[m + 1]);
        }
        X[N - 2] = even[H - 1];
        X[N - 1] = odd[H - 1];
    }
}

// acc + coef * (a + b), exact.
inline int64_t mac_sum(int64_t acc, int32_t coef, int64_t a_plus_b) {
    return acc + coef * a_plus_b;
}

} // namespace

// DCT of one time slot (its 32 subband samples 18 values apart) into the history as the
// slot of age 0.
static void synth_dct32(const int32_t* in, int32_t (*buf)[32]) {
    int32_t s[32], X[32];
    for (int k = 0; k < 32; ++k)
        s[k] = in[18 * k];
    lee_dct<32>(s, X);
    buf[0][0] = X[16];
    buf[0][1] = wsub(0, X[0]);
    for (int r = 1; r < 16; ++r) {
        buf[r][0] = wsub(0, X[16 - r]);
        buf[r][1] = X[16 + r];
    }
}

// Samples 0 and 16 of the newest slot, from history row 0, which then ages.
static void synth_row0(int32_t* h, int16_t* out) {
    const int32_t* w = synth_window.data();
    // Sample 0: even columns; equal magnitudes meet pairwise (ages 2i + 2 and 14 - 2i,
    // 2i + 1 and 15 - 2i).
    int64_t acc = 0;
    for (int i = 0; i < 4; ++i) {
        acc = mac_sum(acc, w[2 * i], int64_t{h[4 * i + 4]} + h[28 - 4 * i]);
        acc = mac_sum(acc, w[2 * i + 1], int64_t{h[4 * i + 2]} - h[30 - 4 * i]);
    }
    out[0] = synth_pcm(acc);
    // Sample 16: odd columns of the odd ages.
    acc = 0;
    for (int t = 0; t < 8; ++t)
        acc = mac(acc, w[8 + t], h[4 * t + 3]);
    out[16] = synth_pcm(acc);
    std::memmove(h + 2, h, 30 * sizeof(int32_t));
}

// Samples j and 32 - j from history row j: the values of ages 2t and 2t + 1 at columns
// 4t + 1 and 4t + 2, against the two window rows of the pair. The row ages in the same
// pass, four columns at a time from its end.
void synth_rows_portable(int32_t (*buf)[32], int16_t* out) {
    for (int j = 1; j < 16; ++j) {
        int32_t* h = buf[j];
        const int32_t* lo_w = synth_window.data() + SYNTH_ROW0_WORDS + SYNTH_ROW_WORDS * (j - 1);
        const int32_t* up_w = lo_w + SYNTH_ROW_WORDS / 2;
        int64_t lo = 0, up = 0;
        for (int t = 7; t >= 0; --t) {
            int32_t* q = h + 4 * t;
            const int32_t c0 = q[0], c1 = q[1], c2 = q[2], c3 = q[3];
            lo = mac(mac(lo, lo_w[2 * t], c1), lo_w[2 * t + 1], c2);
            up = mac(mac(up, up_w[2 * t], c1), up_w[2 * t + 1], c2);
            if (t < 7) {
                q[4] = c2;
                q[5] = c3;
            }
            q[2] = c0;
            q[3] = c1;
        }
        out[j] = synth_pcm(lo);
        out[32 - j] = synth_pcm(up);
    }
}

namespace {

tSynthRowsFn synth_rows_for(tDspPath path) {
    switch (path) {
#if defined(VEXA_SIMD_X86)
    case DSP_SSE41:
        return synth_rows_sse41;
    case DSP_AVX2:
        return synth_rows_avx2;
#endif
#if defined(VEXA_SIMD_NEON)
    case DSP_NEON:
        return synth_rows_neon;
#endif
    default:
        return synth_rows_portable;
    }
}

} // namespace

int synth_granule(const int32_t* x, uint8_t* synth_pos, int16_t* pcm, int32_t (*synth_buf)[32]) {
    const tSynthRowsFn rows = synth_rows_for(dsp_path());
    int c = *synth_pos;
    for (int t = 0; t < 18; ++t) {
        c = (c - 2) & 30;
        const int32_t* slot = x + (t <= 8 ? 2 * (8 - t) : 2 * (t - 9) + 1);
        synth_dct32(slot, synth_buf);
        synth_row0(synth_buf[0], pcm + 32 * t);
        rows(synth_buf, pcm + 32 * t);
    }
    *synth_pos = static_cast<uint8_t>(c);
    return 0;
}

} // namespace mp3
