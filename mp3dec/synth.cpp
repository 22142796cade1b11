// Polyphase synthesis of one granule of one channel: per time slot a 32-point DCT into
// the history, then the 512-tap window over the 16 most recent slots.
//
// Input: 576 time samples, 1.0 = 2^24 (Q24), 18 per subband in pair order. History:
// synth_buf, 16 rows of 32 values at the input's scale. Rows 1..15 are a ring of the 16
// most recent slots: the slot of age a (0 = the one being windowed) occupies the columns
// (p + 2a, p + 2a + 1) mod 32, p moving two columns back per slot, so the next slot
// overwrites the oldest. Row 0 stays in age order (p = 0), moved on after each slot. Row 0 holds
// X[16] and -X[0], row r = 1..15 holds -X[16 - r] and X[16 + r], where X[m] = sum of s[k] cos(m (2k
// + 1) pi/64). Then every output sample but 0 and 16 is a 16-term dot product of a fixed window row
// with the values of one history row at fixed columns (two sets, as p mod 4 is 0 or 2), the window
// row read from where the ring starts; the fast paths compute the products side by side.
// Between granules synth_pos holds the newest slot's p (2 after a reset, so the first
// slot goes to columns 0 and 1). Output: 16-bit PCM, full scale 2^15.
#include "dsp.h"
#include "fixed.h"
#include "lee_dct.h"
#include "stages.h"
#include "synth_window.h"

#include <cstring>

namespace mp3 {

namespace {

// Two 64-bit sums of products, x += a v and y += b v. On 32-bit ARM each sum is held as
// two words and each product added with one smlal, so that compilers keep both sums in
// registers and in step, a and b loaded together (left to themselves they finish one sum
// before the other and load every history value twice).
#if defined(__arm__) && (!defined(__thumb__) || defined(__thumb2__))
struct tAcc64 {
    uint32_t lo = 0;
    int32_t hi = 0;
    int64_t value() const {
        return static_cast<int64_t>((uint64_t{static_cast<uint32_t>(hi)} << 32) | lo);
    }
};
inline void mac1(tAcc64& x, int32_t a, int32_t v) {
    asm volatile("smlal %0, %1, %2, %3" : "+r"(x.lo), "+r"(x.hi) : "r"(a), "r"(v));
}
inline void mac2(tAcc64& x, tAcc64& y, int32_t a, int32_t b, int32_t v) {
    asm volatile("smlal %0, %1, %4, %6\n\tsmlal %2, %3, %5, %6"
                 : "+r"(x.lo), "+r"(x.hi), "+r"(y.lo), "+r"(y.hi)
                 : "r"(a), "r"(b), "r"(v));
}
#else
struct tAcc64 {
    int64_t v = 0;
    int64_t value() const { return v; }
};
inline void mac1(tAcc64& x, int32_t a, int32_t v) {
    x.v = mac(x.v, a, v);
}
inline void mac2(tAcc64& x, tAcc64& y, int32_t a, int32_t b, int32_t v) {
    x.v = mac(x.v, a, v);
    y.v = mac(y.v, b, v);
}
#endif

struct tScalarOps {
    using V = int32_t;
    static V add(V a, V b) { return wadd(a, b); }
    static V sub(V a, V b) { return wsub(a, b); }
    static V scale(V v, tLeeFactor f) { return wshl(hi(v, f.word), 32 - f.frac_bits); }
};

// Pair-order place of time slot t within a subband's 18 values.
constexpr int slot_place(int t) {
    return t <= 8 ? 2 * (8 - t) : 2 * (t - 9) + 1;
}

// DCT results X[0..31] of the slot at x (subband values 18 apart) into the history as the
// slot of age 0, at columns p and p + 1.
void history_put(const int32_t* x, int32_t (*buf)[32], int p) {
    buf[0][0] = x[18 * 16];
    buf[0][1] = wsub(0, x[0]);
    for (int r = 1; r < 16; ++r) {
        buf[r][p] = wsub(0, x[18 * (16 - r)]);
        buf[r][p + 1] = x[18 * (16 + r)];
    }
}

} // namespace

// GCC's scheduling before register allocation loads values far ahead and spills them on
// 32-bit ARM, which has too few registers for it to pay.
#if defined(__arm__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("no-schedule-insns")
#endif
void synth_dct_slot(int32_t* x) {
    lee_dct<32, tScalarOps, 18, 18>(x, x);
}
#if defined(__arm__) && !defined(__clang__)
#pragma GCC pop_options
#endif

void synth_dct_portable(int32_t* x) {
    for (int p = 0; p < 18; ++p)
        synth_dct_slot(x + p);
}

// Samples 0 and 16 of the newest slot, from history row 0, which then ages: unlike the
// other rows it is kept in age order (the newest slot at columns 0 and 1), as its
// windowing pairs values from both ends.
void synth_row0_portable(int32_t* h, int16_t* out) {
    const int32_t* w = synth_window.data();
    // Sample 0: even columns; equal magnitudes meet pairwise (ages 2i + 2 and 14 - 2i,
    // 2i + 1 and 15 - 2i), each product on its own (w (a + b) = w a + w b exactly).
    tAcc64 acc;
    for (int i = 0; i < 4; ++i) {
        mac1(acc, w[2 * i], h[4 * i + 4]);
        mac1(acc, w[2 * i], h[28 - 4 * i]);
        mac1(acc, w[2 * i + 1], h[4 * i + 2]);
        mac1(acc, -w[2 * i + 1], h[30 - 4 * i]);
    }
    out[0] = synth_pcm(acc.value());
    // Sample 16: odd columns of the odd ages.
    tAcc64 odd;
    for (int t = 0; t < 8; ++t)
        mac1(odd, w[8 + t], h[4 * t + 3]);
    out[16] = synth_pcm(odd.value());
    std::memmove(h + 2, h, 30 * sizeof(int32_t));
}

// Samples j and 32 - j from history row j: each value of ages 2t and 2t + 1 against its
// pair of window words, one for each sample. Columns and window offsets are constants per
// half of the ring's column mod 4 (A, B and H, see synth_ring_read), all read from one
// pointer; on 32-bit ARM a pair is one load and both sums stay in registers.
template <int A, int B, int H>
void synth_rows_portable_at(int32_t (*buf)[32], int even, int16_t* out) {
    const int32_t* w = synth_window.data() + SYNTH_ROW0_WORDS + 2 * even;
    for (int j = 1; j < 16; ++j, w += SYNTH_ROW_WORDS) {
        const int32_t* h = buf[j];
        tAcc64 lo, up;
        for (int u = 0; u < 8; ++u) {
            const int32_t e = h[A + 4 * u], o = h[B + 4 * u];
            mac2(lo, up, w[2 * u], w[2 * u + 1], e);
            mac2(lo, up, w[32 - 2 * H + 2 * u], w[33 - 2 * H + 2 * u], o);
        }
        out[j] = synth_pcm(lo.value());
        out[32 - j] = synth_pcm(up.value());
    }
}

void synth_rows_portable(int32_t (*buf)[32], int p, int16_t* out) {
    const tSynthRingRead rd = synth_ring_read(p);
    if (rd.a == 1)
        synth_rows_portable_at<1, 2, 0>(buf, rd.even, out);
    else
        synth_rows_portable_at<3, 0, 1>(buf, rd.even, out);
}

int synth_granule(const tDspKernels& k, int32_t* x, uint8_t* synth_pos, int16_t* pcm,
                  int32_t (*synth_buf)[32]) {
    // First the DCTs of all 18 slots, in place, then slot by slot into the history.
    k.synth_dct(x);
    int p = *synth_pos;
    for (int t = 0; t < 18; ++t) {
        p = (p - 2) & 30;
        history_put(x + slot_place(t), synth_buf, p);
        k.synth_row0(synth_buf[0], pcm + 32 * t);
        k.synth_rows(synth_buf, p, pcm + 32 * t);
    }
    *synth_pos = static_cast<uint8_t>(p);
    return 0;
}

} // namespace mp3
