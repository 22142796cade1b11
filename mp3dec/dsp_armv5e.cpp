// ARM fast paths for cores without NEON (ARMv5TE, ARMv6 in ARM state): the portable
// kernels' products and sums, each 32 x 32 -> 64-bit product added with one smlal or taken
// with one smull, and the inputs loaded several words at a time (ldm). Built where the
// target's architecture has them; every result is the portable kernel's to the bit.
#include "dsp.h"
#include "fixed.h"
#include "imdct_long.h"
#include "synth_window.h"

#if defined(VEXA_DSP_ARMV5E)

namespace mp3 {

namespace {

// The sum hi:lo (which holds the rounding half step already) as a PCM sample into v,
// bits 25..56 saturated to 16 bits (ARMv5: bits 31..15 of v not all equal give 0x7FFF or
// 0x8000 in the low half, by the sign), stored at o, which moves on by step bytes.
#if defined(__ARM_FEATURE_SAT)
#define VEXA_PCM_STORE(lo, hi, o, step)                                                            \
    "mov %[v], %[" #lo "], lsr #25\n\t"                                                            \
    "orr %[v], %[v], %[" #hi "], lsl #7\n\t"                                                       \
    "ssat %[v], #16, %[v]\n\t"                                                                     \
    "strh %[v], [%[" #o "]], #" #step "\n\t"
#else
#define VEXA_PCM_STORE(lo, hi, o, step)                                                            \
    "mov %[v], %[" #lo "], lsr #25\n\t"                                                            \
    "orr %[v], %[v], %[" #hi "], lsl #7\n\t"                                                       \
    "mov %[" #lo "], %[v], asr #15\n\t"                                                            \
    "teq %[" #lo "], %[v], asr #31\n\t"                                                            \
    "mvnne %[v], %[v], asr #31\n\t"                                                                \
    "eorne %[v], %[v], #0x8000\n\t"                                                                \
    "strh %[v], [%[" #o "]], #" #step "\n\t"
#endif
static_assert(SYNTH_PCM_SHIFT == 25);

// Samples j and 32 - j of rows j = 1..15 (see synth_rows_portable_at): per row the 8
// even-age values at columns A + 4u against the 16 window words from w, the 8 odd-age
// values at columns B + 4u against the 16 from w + 32 - 2H, two window pairs per ldm. Both
// sums start at the rounding half step.
template <int A, int B, int H> void synth_rows_at(int32_t (*buf)[32], int even, int16_t* out) {
    const int32_t* w = synth_window.data() + SYNTH_ROW0_WORDS + 2 * even;
    const int32_t* h = buf[1] + A;
    constexpr int32_t half = int32_t{1} << (SYNTH_PCM_SHIFT - 1);
    int16_t* o0 = out + 1;
    int16_t* o1 = out + 31;
    for (int j = 1; j < 16; ++j, h += 32) {
        uint32_t l0, l1;
        int32_t h0, h1, v;
        // Two history values per ldm of four window words: e at h + 16u bytes, o (the odd
        // ages) at h + 16u + 4 (B - A).
#define VEXA_ROW_PAIR(u, d)                                                                        \
    "ldmia %[w]!, {r4, r5, r6, r7}\n\t"                                                            \
    "ldr %[v], [%[h], #16*" #u "+" d "]\n\t"                                                       \
    "smlal %[l0], %[h0], r4, %[v]\n\t"                                                             \
    "smlal %[l1], %[h1], r5, %[v]\n\t"                                                             \
    "ldr %[v], [%[h], #16*" #u "+16+" d "]\n\t"                                                    \
    "smlal %[l0], %[h0], r6, %[v]\n\t"                                                             \
    "smlal %[l1], %[h1], r7, %[v]\n\t"
        asm volatile(
            "mov %[l0], %[half]\n\t"
            "mov %[h0], #0\n\t"
            "mov %[l1], %[half]\n\t"
            "mov %[h1], #0\n\t" VEXA_ROW_PAIR(0, "0") VEXA_ROW_PAIR(2, "0") VEXA_ROW_PAIR(4, "0")
                VEXA_ROW_PAIR(6, "0") "add %[w], %[w], %[skip]\n\t" VEXA_ROW_PAIR(0, "%c[d]")
                    VEXA_ROW_PAIR(2, "%c[d]") VEXA_ROW_PAIR(4, "%c[d]") VEXA_ROW_PAIR(
                        6, "%c[d]") "add %[w], %[w], %[next]\n\t" VEXA_PCM_STORE(l0, h0, o0, 2)
                        VEXA_PCM_STORE(l1, h1, o1, -2)
            : [l0] "=&r"(l0), [h0] "=&r"(h0), [l1] "=&r"(l1), [h1] "=&r"(h1), [v] "=&r"(v),
              [w] "+r"(w), [o0] "+r"(o0), [o1] "+r"(o1)
            : [h] "r"(h), [half] "I"(half), [d] "n"(4 * (B - A)), [skip] "I"(4 * (16 - 2 * H)),
              [next] "I"(4 * (16 + 2 * H))
            : "r4", "r5", "r6", "r7", "cc", "memory");
#undef VEXA_ROW_PAIR
    }
}

} // namespace

// Four values at a time, loaded and stored with one ldm and stm; hi(f, v) as the high word
// of smull, with the value as the second operand so that the result may replace it (ARMv5
// wants the high word apart from the first one only). The rest one at a time as the
// portable kernel does it.
void requant_lines_armv5e(int32_t* x, int32_t n, int32_t f, int32_t k) {
    int32_t i = 0;
    uint32_t lo;
    if (k > 0) {
        const int32_t up = k - 1 > 31 ? 31 : k - 1;
        for (; i + 4 <= n; i += 4) {
#define VEXA_UP(r)                                                                                 \
    "mov " r ", " r ", lsl %[up]\n\t"                                                              \
    "smull %[lo], " r ", %[f], " r "\n\t"                                                          \
    "mov " r ", " r ", lsl #1\n\t"
            asm volatile("ldmia %[x], {r4, r5, r6, r7}\n\t" VEXA_UP("r4") VEXA_UP("r5")
                             VEXA_UP("r6") VEXA_UP("r7") "stmia %[x], {r4, r5, r6, r7}"
                         : [lo] "=&r"(lo)
                         : [x] "r"(x + i), [f] "r"(f), [up] "r"(up)
                         : "r4", "r5", "r6", "r7", "memory");
#undef VEXA_UP
        }
        for (; i < n; ++i)
            x[i] = wshl(hi(f, wshl(x[i], up)), 1);
    } else {
        const int32_t down = -k > 31 ? 31 : -k;
        for (; i + 4 <= n; i += 4) {
#define VEXA_DOWN(r)                                                                               \
    "smull %[lo], " r ", %[f], " r "\n\t"                                                          \
    "mov " r ", " r ", asr %[down]\n\t"
            asm volatile("ldmia %[x], {r4, r5, r6, r7}\n\t" VEXA_DOWN("r4") VEXA_DOWN("r5")
                             VEXA_DOWN("r6") VEXA_DOWN("r7") "stmia %[x], {r4, r5, r6, r7}"
                         : [lo] "=&r"(lo)
                         : [x] "r"(x + i), [f] "r"(f), [down] "r"(down)
                         : "r4", "r5", "r6", "r7", "memory");
#undef VEXA_DOWN
        }
        for (; i < n; ++i)
            x[i] = hi(f, x[i]) >> down;
    }
}

// Mid/side four lines at a time: l in r4..r7, r in r8, r9, r10, r12.
void mid_side_armv5e(int32_t* l, int32_t* r, int32_t n, int32_t k) {
    int32_t i = 0;
    uint32_t lo;
    for (; i + 4 <= n; i += 4) {
#define VEXA_MS(a, b)                                                                              \
    "smull %[lo], " a ", %[k], " a "\n\t"                                                          \
    "smull %[lo], " b ", %[k], " b "\n\t"                                                          \
    "add " a ", " a ", " b "\n\t"                                                                  \
    "mov " a ", " a ", lsl #1\n\t"                                                                 \
    "sub " b ", " a ", " b ", lsl #2\n\t"
        asm volatile("ldmia %[l], {r4, r5, r6, r7}\n\t"
                     "ldmia %[r], {r8, r9, r10, r12}\n\t" VEXA_MS("r4", "r8") VEXA_MS("r5", "r9")
                         VEXA_MS("r6", "r10")
                             VEXA_MS("r7", "r12") "stmia %[l], {r4, r5, r6, r7}\n\t"
                                                  "stmia %[r], {r8, r9, r10, r12}"
                     : [lo] "=&r"(lo)
                     : [l] "r"(l + i), [r] "r"(r + i), [k] "r"(k)
                     : "r4", "r5", "r6", "r7", "r8", "r9", "r10", "r12", "memory");
#undef VEXA_MS
    }
    for (; i < n; ++i) {
        const int32_t a = hi(k, l[i]), b = hi(k, r[i]);
        const int32_t sum2 = wshl(wadd(a, b), 1);
        l[i] = sum2;
        r[i] = wsub(sum2, wshl(b, 2));
    }
}

namespace {

// One long subband as imdct36 does it: the two nine-point kernels in C++, then the
// twiddles, window and overlap-add of k = 1..8 with the window and overlap words two and
// four per ldm. Odd: the subband is odd (its odd times negated: time 8 - k for odd k,
// 9 + k for even k).
template <bool Odd> void imdct_long_one(int32_t* X, int32_t* ov, const int32_t* W) {
    for (int i = 17; i >= 1; --i)
        X[i] = wadd(X[i], X[i - 1]);
    for (int i = 17; i >= 3; i -= 2)
        X[i] = wadd(X[i], X[i - 2]);
    int32_t eo[18]; // E[0..8], O[0..8]
    nine_point<tScalarOps>(X, eo);
    nine_point<tScalarOps>(X + 1, eo + 9);
    {
        const int32_t t = wshl(hi(eo[9], TWIDDLE[0]), 4);
        const int32_t D = wsub(eo[0], t), A = wadd(eo[0], t);
        X[0] = wadd(ov[0], wshl(hi(D, W[0]), 2));
        const int32_t up = wadd(ov[1], wshl(hi(D, W[1]), 2)); // time 9
        X[1] = Odd ? wsub(0, up) : up;
        ov[0] = hi(A, W[2]);
        ov[1] = hi(A, W[3]);
    }
    const int32_t* e = eo + 1;
    const int32_t* tw = TWIDDLE + 1;
    const int32_t* w = W + 4;
    int32_t* o = ov + 2;
    int32_t* out = X + 2;
    // E in r4, then A; O in r5; D in r6; the window words in r8, r9, r10, r12; the overlap
    // in r5 and r6; r7 takes the low words.
#define VEXA_K(neg)                                                                                \
    "ldr r5, [%[e], #36]\n\t"                                                                      \
    "ldr r4, [%[e]], #4\n\t"                                                                       \
    "ldr r6, [%[tw]], #4\n\t"                                                                      \
    "smull r7, r5, r6, r5\n\t"                                                                     \
    "mov r4, r4, asr #1\n\t"                                                                       \
    "sub r6, r4, r5, lsl #3\n\t"                                                                   \
    "add r4, r4, r5, lsl #3\n\t"                                                                   \
    "ldmia %[w]!, {r8, r9, r10, r12}\n\t"                                                          \
    "smull r7, r8, r6, r8\n\t"                                                                     \
    "smull r7, r9, r6, r9\n\t"                                                                     \
    "smull r7, r10, r4, r10\n\t"                                                                   \
    "smull r7, r12, r4, r12\n\t"                                                                   \
    "ldmia %[o], {r5, r6}\n\t"                                                                     \
    "add r5, r5, r8, lsl #1\n\t"                                                                   \
    "add r6, r6, r9, lsl #2\n\t" neg "stmia %[out]!, {r5, r6}\n\t"                                 \
    "stmia %[o]!, {r10, r12}\n\t"
    if constexpr (Odd)
        asm volatile(VEXA_K("rsb r5, r5, #0\n\t") VEXA_K("rsb r6, r6, #0\n\t")
                         VEXA_K("rsb r5, r5, #0\n\t") VEXA_K("rsb r6, r6, #0\n\t")
                             VEXA_K("rsb r5, r5, #0\n\t") VEXA_K("rsb r6, r6, #0\n\t")
                                 VEXA_K("rsb r5, r5, #0\n\t") VEXA_K("rsb r6, r6, #0\n\t")
                     : [e] "+r"(e), [tw] "+r"(tw), [w] "+r"(w), [o] "+r"(o), [out] "+r"(out)
                     :
                     : "r4", "r5", "r6", "r7", "r8", "r9", "r10", "r12", "memory");
    else
        asm volatile(VEXA_K("") VEXA_K("") VEXA_K("") VEXA_K("") VEXA_K("") VEXA_K("") VEXA_K("")
                         VEXA_K("")
                     : [e] "+r"(e), [tw] "+r"(tw), [w] "+r"(w), [o] "+r"(o), [out] "+r"(out)
                     :
                     : "r4", "r5", "r6", "r7", "r8", "r9", "r10", "r12", "memory");
#undef VEXA_K
}

} // namespace

void imdct_long_armv5e(int32_t* x, int32_t* ov, int n, const int32_t* W) {
    int sb = 0;
    for (; sb + 2 <= n; sb += 2, x += 36, ov += 36) {
        imdct_long_one<false>(x, ov, W);
        imdct_long_one<true>(x + 18, ov + 18, W);
    }
    if (sb < n) imdct_long_one<false>(x, ov, W);
}

// Samples 0 and 16 from history row 0 (synth_row0_portable), which then ages by two
// columns, moved up four words per ldmdb/stmdb from the top. The window words w[2i + 1]
// that meet the newest-but-one values from both ends are negated for the second use.
void synth_row0_armv5e(int32_t* h, int16_t* out) {
    const int32_t* w = synth_window.data();
    constexpr int32_t half = int32_t{1} << (SYNTH_PCM_SHIFT - 1);
    uint32_t l0;
    int32_t h0, v;
#define VEXA_MAC(r, col) "ldr %[v], [%[h], #4*(" #col ")]\n\tsmlal %[l0], %[h0], " r ", %[v]\n\t"
#define VEXA_EVEN(a, b, i)                                                                         \
    VEXA_MAC(a, 4 * i + 4)                                                                         \
    VEXA_MAC(a, 28 - 4 * i)                                                                        \
    VEXA_MAC(b, 4 * i + 2) "rsb " b ", " b ", #0\n\t" VEXA_MAC(b, 30 - 4 * i)
    asm volatile(
        "mov %[l0], %[half]\n\t"
        "mov %[h0], #0\n\t"
        "ldmia %[w]!, {r4, r5, r6, r7}\n\t" VEXA_EVEN("r4", "r5", 0)
            VEXA_EVEN("r6", "r7", 1) "ldmia %[w]!, {r4, r5, r6, r7}\n\t" VEXA_EVEN("r4", "r5", 2)
                VEXA_EVEN("r6", "r7", 3) VEXA_PCM_STORE(
                    l0, h0, o0,
                    32) "mov %[l0], %[half]\n\t"
                        "mov %[h0], #0\n\t"
                        "ldmia %[w]!, {r4, r5, r6, r7}\n\t" VEXA_MAC("r4", 3) VEXA_MAC("r5", 7)
                            VEXA_MAC("r6", 11) VEXA_MAC(
                                "r7", 15) "ldmia %[w]!, {r4, r5, r6, r7}\n\t" VEXA_MAC("r4", 19)
                                VEXA_MAC("r5", 23) VEXA_MAC("r6", 27) VEXA_MAC("r7", 31)
                                    VEXA_PCM_STORE(l0, h0, o0, 0)
        // The move: h[2..31] = h[0..29], from the top down.
        "add %[l0], %[h], #120\n\t"
        "add %[h0], %[h], #128\n\t"
        ".rept 7\n\t"
        "ldmdb %[l0]!, {r4, r5, r6, r7}\n\t"
        "stmdb %[h0]!, {r4, r5, r6, r7}\n\t"
        ".endr\n\t"
        "ldmdb %[l0]!, {r4, r5}\n\t"
        "stmdb %[h0]!, {r4, r5}"
        : [l0] "=&r"(l0), [h0] "=&r"(h0), [v] "=&r"(v), [w] "+r"(w), [o0] "+r"(out)
        : [h] "r"(h), [half] "I"(half)
        : "r4", "r5", "r6", "r7", "cc", "memory");
#undef VEXA_EVEN
#undef VEXA_MAC
}

void synth_rows_armv5e(int32_t (*buf)[32], int p, int16_t* out) {
    const tSynthRingRead rd = synth_ring_read(p);
    if (rd.a == 1)
        synth_rows_at<1, 2, 0>(buf, rd.even, out);
    else
        synth_rows_at<3, 0, 1>(buf, rd.even, out);
}

} // namespace mp3

#endif
