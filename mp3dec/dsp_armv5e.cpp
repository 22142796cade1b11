// ARM fast paths for cores without NEON (ARMv5TE, ARMv6 in ARM state): the portable
// kernels' products and sums, each 32 x 32 -> 64-bit product added with one smlal or taken
// with one smull, and the inputs loaded several words at a time (ldm). Built where the
// target's architecture has them; every result is the portable kernel's to the bit.
#include "dsp.h"
#include "fixed.h"
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

void synth_rows_armv5e(int32_t (*buf)[32], int p, int16_t* out) {
    const tSynthRingRead rd = synth_ring_read(p);
    if (rd.a == 1)
        synth_rows_at<1, 2, 0>(buf, rd.even, out);
    else
        synth_rows_at<3, 0, 1>(buf, rd.even, out);
}

} // namespace mp3

#endif
