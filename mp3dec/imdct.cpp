// IMDCT, windowing and overlap-add of one granule of one channel.
//
// Input: 576 spectral values, 1.0 = 2^27 (Q27), 18 per subband (short blocks: six lines
// of three windows each, value 3j + w). Output, in place: 18 time samples per subband at
// 1/8 of the transform's value, 1.0 = 2^24, in pair order (value 2k is time 8 - k,
// value 2k + 1 is time 9 + k); odd times of odd subbands negated for the synthesis
// filter bank. The overlap keeps the second halves in the same order and scale.
//
// All sums, differences and left shifts wrap at 32 bits; products are hi().
#include "dsp.h"
#include "fixed.h"
#include "imdct_long.h"
#include "imdct_window.h"
#include "stages.h"

namespace mp3 {

namespace {

constexpr int IN_FRAC_BITS = 27;  // spectral values
constexpr int OUT_FRAC_BITS = 24; // time samples and overlap
static_assert(IN_FRAC_BITS - OUT_FRAC_BITS == 3, "the stage's factor 1/8 lives in the tables");

// Short-block constants, Q31.
constexpr int32_t KA = static_cast<int32_t>(0xA24C28BE); // -1572067138 -0.732051
constexpr int32_t KB = static_cast<int32_t>(0x8D3D03D3); // -1925381165 -0.896575
constexpr int32_t KC = 0x6B12F75C;                       // 1796405084   0.836516
constexpr int32_t KD = 0x5A82799A;                       // 1518500250   0.707107
constexpr int32_t KE = 0x4241F706;                       // 1111619334   0.517638
constexpr int32_t TA[4] = {
    0x04AFB0CD,                       // 78622925
    0x028AEE41,                       // 42659393
    static_cast<int32_t>(0xFCAFB0CE), // -55594802
    static_cast<int32_t>(0xECAFB0CE), // -324030258
};
constexpr int32_t TB[4] = {
    static_cast<int32_t>(0xE4AFB0CE), // -458247986
    static_cast<int32_t>(0xE6D4735A), // -422284454
    static_cast<int32_t>(0xECAFB0CE), // -324030258
    static_cast<int32_t>(0xFCAFB0CE), // -55594802
};

// Pair-order index of time t (0..17).
constexpr int pair_index(int t) {
    return t <= 8 ? 2 * (8 - t) : 2 * (t - 9) + 1;
}
static_assert(pair_index(8) == 0 && pair_index(9) == 1 && pair_index(0) == 16 &&
              pair_index(17) == 17);

constexpr int32_t twice(int32_t v) {
    return wshl(v, 1);
}

// Odd times sit at pair-order places 4i + 1 and 4i + 2.
constexpr bool odd_time_at(int p) {
    return ((p + 1) & 2) != 0;
}
static_assert(odd_time_at(pair_index(9)) && odd_time_at(pair_index(7)) &&
              !odd_time_at(pair_index(8)) && !odd_time_at(pair_index(16)) &&
              odd_time_at(pair_index(17)));

} // namespace

// A subband whose 18 values are all 0 has a transform of exactly 0 in both the long and
// the short form (every step maps zeros to zeros): its output is the overlap and its new
// overlap is 0.
void imdct_zero_portable(int32_t* x, int32_t* ov, int n) {
    for (int sb = 0; sb < n; ++sb, x += 18, ov += 18) {
        const int32_t m = (sb & 1) ? -1 : 0;
#pragma GCC unroll 18
        for (int p = 0; p < 18; ++p) {
            const int32_t v = ov[p];
            x[p] = odd_time_at(p) ? wsub(v ^ m, m) : v;
            ov[p] = 0;
        }
    }
}

// 36-point transform, window W and overlap-add for n subbands starting at an even one.
void imdct_long_portable(int32_t* x, int32_t* ov, int n, const int32_t* W) {
    for (int sb = 0; sb < n; ++sb, x += 18, ov += 18) {
        // The transform reads all its input before it writes its output.
        imdct36<tScalarOps>(x, ov, x, W, (sb & 1) ? -1 : 0);
    }
}

// Three 12-point transforms with their window and overlap-add for n subbands starting
// at an even one.
static void imdct_short(int32_t* x, int32_t* ov, int n) {
    for (int sb = 0; sb < n; ++sb, x += 18, ov += 18) {
        // Z: times 0..29 in time order; times 30..35 stay 0.
        int32_t Z[30];
        for (int t = 0; t < 18; ++t)
            Z[t] = ov[pair_index(t)];
        for (int t = 18; t < 30; ++t)
            Z[t] = 0;

        for (int w = 0; w < 3; ++w) {
            const int32_t x0 = x[w], x1 = x[3 + w], x2 = x[6 + w];
            const int32_t x3 = x[9 + w], x4 = x[12 + w], x5 = x[15 + w];
            const int32_t d0 = wsub(x0, x1), d1 = wsub(x1, x2), d2 = wsub(x2, x3);
            const int32_t d3 = wsub(x3, x4), d4 = wsub(x4, x5);
            const int32_t r0 = wadd(d0, d4), r1 = wadd(d2, d4);
            const int32_t a = hi(KA, r1);
            const int32_t P = wadd(r0, twice(a));
            const int32_t Q = wadd(wsub(r0, twice(a)), twice(r1));
            const int32_t R = wsub(wadd(d0, d2), d4);
            const int32_t b = hi(KB, d3), c = hi(KC, d3);
            const int32_t e0 = hi(KD, x5), e1 = hi(KD, d1);
            const int32_t g = hi(KE, wadd(d1, twice(x5)));
            const int32_t s = wsub(e1, e0), v = wadd(g, b);
            const int32_t nn = wadd(wadd(g, twice(wadd(e1, twice(c)))), wshl(e0, 2));
            const int32_t P1 = wsub(P, twice(v)), R1 = wsub(R, wshl(s, 2));
            const int32_t Q1 = wsub(Q, twice(nn));
            const int32_t P2 = wadd(P1, wshl(v, 2)), R2 = wadd(R1, wshl(s, 3));
            const int32_t Q2 = wadd(Q1, wshl(nn, 2));

            int32_t* za = Z + 6 + 6 * w;
            za[0] = wadd(za[0], hi(TA[1], P1));
            za[1] = wadd(za[1], hi(TA[0], R1));
            za[2] = wadd(za[2], hi(TA[1], Q1));
            za[3] = wadd(za[3], hi(TA[2], Q1));
            za[4] = wadd(za[4], wsub(hi(TA[0], R1), R1 >> 4));
            za[5] = wadd(za[5], hi(TA[3], P1));
            int32_t* zb = Z + 12 + 6 * w;
            zb[0] = wadd(zb[0], hi(TB[1], P2));
            zb[1] = wadd(zb[1], hi(TB[0], R2));
            zb[2] = wadd(zb[2], hi(TB[1], Q2));
            zb[3] = wadd(zb[3], hi(TB[2], Q2));
            zb[4] = wadd(zb[4], wadd(hi(TB[0], R2), R2 >> 4));
            zb[5] = wadd(zb[5], hi(TB[3], P2));
        }

        const bool odd = (sb & 1) != 0;
        for (int t = 0; t < 18; ++t) {
            x[pair_index(t)] = (odd && (t & 1)) ? wsub(0, Z[t]) : Z[t];
            ov[pair_index(t)] = t < 12 ? Z[18 + t] : 0;
        }
    }
}

void imdct_granule(const tDspKernels& kernels, tMPEGInstance* inst, int32_t* x, int ch,
                   const tGranuleInfo* gi) {
    static constexpr const int32_t* windows[4] = {
        imdct_window_normal.data(), imdct_window_start.data(), nullptr, imdct_window_stop.data()};
    const int block_type = gi->block_type & 3;
    const int32_t* low = (gi->mixed_block_flag && block_type != 0) ? imdct_window_normal.data()
                                                                   : windows[block_type];
    const int32_t* high = windows[block_type];
    int32_t* ov = inst->overlap[ch];

    // The subbands above the last one with a nonzero value, in whole groups of the kernels'
    // width, are all zero and only pass their overlap on; every subband below is
    // transformed, zero or not.
    const int32_t group = kernels.imdct_group; // a power of two
    const int live = ((nonzero_extent(x) + SUBBAND_LINES - 1) / SUBBAND_LINES + group - 1) & -group;
    static_assert(SUBBANDS % 4 == 0);
    if (live > 0) {
        if (low == high && low) {
            kernels.imdct_long(x, ov, live, low);
        } else {
            if (low)
                kernels.imdct_long(x, ov, 2, low);
            else
                imdct_short(x, ov, 2);
            if (high)
                kernels.imdct_long(x + 36, ov + 36, live - 2, high);
            else
                imdct_short(x + 36, ov + 36, live - 2);
        }
    }
    kernels.imdct_zero(x + SUBBAND_LINES * live, ov + SUBBAND_LINES * live, SUBBANDS - live);
}

} // namespace mp3
