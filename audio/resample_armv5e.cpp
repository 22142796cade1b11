// ARMv5E dot products of the rate converter's table runs (cores without NEON): the
// portable loop's sums (resample_poly.h) with one DSP multiply per tap and channel. A
// sample pair is one word (left in the low half), so every load is aligned whatever the
// window's start; ldm takes several words at once.
//
// Outer taps: two 16-bit taps per word, smla<tap half><sample half> adds the exact
// product. Centre taps: one word c << 11 per tap, smlaw<sample half> adds the high 32 bits
// of the 48-bit product, floor(c x / 32).
#include "resample_poly.h"

#include <cstddef>

#if defined(VEXA_RESAMPLE_ARMV5E)

namespace {

// Four outer taps (r8, r9) against four sample pairs (r4..r7); the first group of a window
// starts the sums. The taps past the kernel's reach at 48000 Hz, always zero, are left out.
#define VEXA_OUTER4(mul_bb, mul_bt)                                                                \
    "ldmia %[x]!, {r4, r5, r6, r7}\n\t"                                                            \
    "ldmia %[p]!, {r8, r9}\n\t" mul_bb "\n\t" mul_bt "\n\t"                                        \
    "smlatb %[ol], r8, r5, %[ol]\n\t"                                                              \
    "smlatt %[orr], r8, r5, %[orr]\n\t"                                                            \
    "smlabb %[ol], r9, r6, %[ol]\n\t"                                                              \
    "smlabt %[orr], r9, r6, %[orr]\n\t"                                                            \
    "smlatb %[ol], r9, r7, %[ol]\n\t"                                                              \
    "smlatt %[orr], r9, r7, %[orr]\n\t"
#define VEXA_OUTER4_FIRST VEXA_OUTER4("smulbb %[ol], r8, r4", "smulbt %[orr], r8, r4")
#define VEXA_OUTER4_NEXT VEXA_OUTER4("smlabb %[ol], r8, r4, %[ol]", "smlabt %[orr], r8, r4, %[orr]")

// Three centre taps (r7..r9) against three sample pairs (r4..r6).
#define VEXA_CENTER3(mul_b, mul_t)                                                                 \
    "ldmia %[x]!, {r4, r5, r6}\n\t"                                                                \
    "ldmia %[p]!, {r7, r8, r9}\n\t" mul_b "\n\t" mul_t "\n\t"                                      \
    "smlawb %[cl], r8, r5, %[cl]\n\t"                                                              \
    "smlawt %[cr], r8, r5, %[cr]\n\t"                                                              \
    "smlawb %[cl], r9, r6, %[cl]\n\t"                                                              \
    "smlawt %[cr], r9, r6, %[cr]\n\t"
#define VEXA_CENTER3_FIRST VEXA_CENTER3("smulwb %[cl], r7, r4", "smulwt %[cr], r7, r4")
#define VEXA_CENTER3_NEXT VEXA_CENTER3("smlawb %[cl], r7, r4, %[cl]", "smlawt %[cr], r7, r4, %[cr]")
// One centre tap.
#define VEXA_CENTER1                                                                               \
    "ldr r4, [%[x]], #4\n\t"                                                                       \
    "ldr r7, [%[p]], #4\n\t"                                                                       \
    "smlawb %[cl], r7, r4, %[cl]\n\t"                                                              \
    "smlawt %[cr], r7, r4, %[cr]\n\t"
// The last two outer taps that are not always zero.
#define VEXA_OUTER2                                                                                \
    "ldmia %[x]!, {r4, r5}\n\t"                                                                    \
    "ldr r8, [%[p]], #4\n\t"                                                                       \
    "smlabb %[ol], r8, r4, %[ol]\n\t"                                                              \
    "smlabt %[orr], r8, r4, %[orr]\n\t"                                                            \
    "smlatb %[ol], r8, r5, %[ol]\n\t"                                                              \
    "smlatt %[orr], r8, r5, %[orr]\n\t"

static_assert(POLY_CENTER_AT == 16 && poly_center_len(48) == 16 && poly_center_len(56) == 24);
// The centre words are c << 11 (resample_poly.h) where this loop is the fast one.
static_assert(POLY_LOW_SHIFT == POLY_WORD_SHIFT);

// The sums of one output of both channels from a window of WINDOW taps; moves the
// pointers past the phase and the window.
template <int WINDOW>
inline void sums(const int16_t*& phase, const int16_t*& x, int32_t& ol, int32_t& orr, int32_t& cl,
                 int32_t& cr) {
    static_assert(poly_used_len(48) == 48 && poly_used_len(56) == 54);
    if constexpr (WINDOW == 48) {
        asm volatile(
            VEXA_OUTER4_FIRST VEXA_OUTER4_NEXT VEXA_OUTER4_NEXT VEXA_OUTER4_NEXT VEXA_CENTER3_FIRST
                VEXA_CENTER3_NEXT VEXA_CENTER3_NEXT VEXA_CENTER3_NEXT VEXA_CENTER3_NEXT VEXA_CENTER1
                    VEXA_OUTER4_NEXT VEXA_OUTER4_NEXT VEXA_OUTER4_NEXT VEXA_OUTER4_NEXT
            : [ol] "=&r"(ol), [orr] "=&r"(orr), [cl] "=&r"(cl), [cr] "=&r"(cr), [x] "+r"(x),
              [p] "+r"(phase)
            :
            : "r4", "r5", "r6", "r7", "r8", "r9", "memory");
    } else {
        asm volatile(VEXA_OUTER4_FIRST VEXA_OUTER4_NEXT VEXA_OUTER4_NEXT VEXA_OUTER4_NEXT
                         VEXA_CENTER3_FIRST VEXA_CENTER3_NEXT VEXA_CENTER3_NEXT VEXA_CENTER3_NEXT
                             VEXA_CENTER3_NEXT VEXA_CENTER3_NEXT VEXA_CENTER3_NEXT VEXA_CENTER3_NEXT
                                 VEXA_OUTER4_NEXT VEXA_OUTER4_NEXT VEXA_OUTER4_NEXT VEXA_OUTER2
                     : [ol] "=&r"(ol), [orr] "=&r"(orr), [cl] "=&r"(cl), [cr] "=&r"(cr),
                       [x] "+r"(x), [p] "+r"(phase)
                     :
                     : "r4", "r5", "r6", "r7", "r8", "r9", "memory");
    }
}

#undef VEXA_OUTER4
#undef VEXA_OUTER4_FIRST
#undef VEXA_OUTER4_NEXT
#undef VEXA_CENTER3
#undef VEXA_CENTER3_FIRST
#undef VEXA_CENTER3_NEXT
#undef VEXA_CENTER1
#undef VEXA_OUTER2

// poly_sample without constants in registers: the low 16 bits of the result are the
// sample (ARMv5 has no ssat): bits 31..15 of v not all equal give 0x7FFF or 0x8000.
inline int16_t sample(int32_t center, int32_t outer) {
    int32_t v =
        (center + (outer >> POLY_CENTER_BITS) + (1 << (POLY_SUM_BITS - 1))) >> POLY_SUM_BITS;
    int32_t t;
    asm("mov %[t], %[v], asr #15\n\t"
        "teq %[t], %[v], asr #31\n\t"
        "mvnne %[v], %[v], asr #31\n\t"
        "eorne %[v], %[v], #0x8000"
        : [v] "+r"(v), [t] "=&r"(t)
        :
        : "cc");
    return static_cast<int16_t>(v);
}

template <int WINDOW> void run(const tPolyRun& run) {
    const tPolyRun r = run;
    const int16_t* phase = r.phase;
    const int16_t* x = r.hist;
    int16_t* out = r.out_left;
    const ptrdiff_t right = r.out_right - r.out_left;
    int16_t* const end = out + r.count;
    int32_t rem = r.rem;
    const int32_t up = r.up;
    // From the end of the used part of one output's phase and window to the next output's.
    constexpr int32_t unused = WINDOW - poly_used_len(WINDOW);
    const int32_t phase_adv = r.phase_adv - (poly_phase_len(WINDOW) - unused);
    const int32_t adv_whole = 2 * (r.adv_whole - (WINDOW - unused));
    while (out != end) {
        int32_t ol, orr, cl, cr;
        sums<WINDOW>(phase, x, ol, orr, cl, cr);
        out[right] = sample(cr, orr);
        *out++ = sample(cl, ol);
        rem += r.adv_rem;
        phase += phase_adv;
        x += adv_whole;
        if (rem >= up) {
            rem -= up;
            phase -= r.phase_wrap;
            x += 2;
        }
    }
}

} // namespace

void poly_run_armv5e(const tPolyRun& r) {
    if (r.window == 48)
        run<48>(r);
    else
        run<56>(r);
}

#endif
