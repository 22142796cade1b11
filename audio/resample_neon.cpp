// NEON dot products of the rate converter's table runs: the portable loop's sums
// (resample_poly.h), eight taps at a time, exactly.
#include "resample_poly.h"

#if defined(VEXA_SIMD_NEON)

#include <arm_neon.h>

// On 32-bit ARM everything from here on may use NEON; the dispatch in resample.cpp
// calls it only on a processor that has it.
#if !defined(__aarch64__)
#pragma GCC push_options
#pragma GCC target("arm", "fpu=neon")
#endif

namespace {

// Lane sums of one output: the outer products and the centre ones, per channel.
struct tLanes {
    int32x4_t outer_l, outer_r, center_l, center_r;
};

// Eight outer taps against eight sample pairs (de-interleaved); FIRST starts the sums.
template <bool FIRST> inline void outer8(tLanes& s, int16x8_t b, int16x8x2_t x) {
    if constexpr (FIRST) {
        s.outer_l = vmull_s16(vget_low_s16(b), vget_low_s16(x.val[0]));
        s.outer_r = vmull_s16(vget_low_s16(b), vget_low_s16(x.val[1]));
    } else {
        s.outer_l = vmlal_s16(s.outer_l, vget_low_s16(b), vget_low_s16(x.val[0]));
        s.outer_r = vmlal_s16(s.outer_r, vget_low_s16(b), vget_low_s16(x.val[1]));
    }
    s.outer_l = vmlal_s16(s.outer_l, vget_high_s16(b), vget_high_s16(x.val[0]));
    s.outer_r = vmlal_s16(s.outer_r, vget_high_s16(b), vget_high_s16(x.val[1]));
}

// Eight centre taps (their words de-interleaved: low halves f << 10, high halves a)
// against eight sample pairs: a x + floor(f x / 32), the second as the doubling high half
// of (f << 10) x, which never saturates (f << 10 >= 0). FIRST starts the sums.
template <bool FIRST> inline void center8(tLanes& s, int16x8x2_t c, int16x8x2_t x) {
    static_assert(POLY_CENTER_BITS == 5 && POLY_LOW_SHIFT == 10);
    const int16x8_t a = c.val[1];
    if constexpr (FIRST) {
        s.center_l = vmull_s16(vget_low_s16(a), vget_low_s16(x.val[0]));
        s.center_r = vmull_s16(vget_low_s16(a), vget_low_s16(x.val[1]));
    } else {
        s.center_l = vmlal_s16(s.center_l, vget_low_s16(a), vget_low_s16(x.val[0]));
        s.center_r = vmlal_s16(s.center_r, vget_low_s16(a), vget_low_s16(x.val[1]));
    }
    s.center_l = vmlal_s16(s.center_l, vget_high_s16(a), vget_high_s16(x.val[0]));
    s.center_r = vmlal_s16(s.center_r, vget_high_s16(a), vget_high_s16(x.val[1]));
    s.center_l = vpadalq_s16(s.center_l, vqdmulhq_s16(c.val[0], x.val[0]));
    s.center_r = vpadalq_s16(s.center_r, vqdmulhq_s16(c.val[0], x.val[1]));
}

// De-interleaving load of 16 int16 (8 pairs) that moves past them; a post-incrementing
// load on 32-bit ARM, where the compiler would add the pointer apart.
inline int16x8x2_t load2(const int16_t*& p) {
#if defined(__aarch64__)
    const int16x8x2_t v = vld2q_s16(p);
    p += 16;
#else
    int16x8x2_t v;
    asm("vld2.16 %h0, [%1]!" : "=w"(v), "+r"(p) : "m"(*reinterpret_cast<const int16_t(*)[16]>(p)));
#endif
    return v;
}

// Sixteen int16 that moves past them.
inline int16x8x2_t load16(const int16_t*& p) {
#if defined(__aarch64__)
    const int16x8x2_t v = vld1q_s16_x2(p);
    p += 16;
#else
    int16x8x2_t v;
    asm("vld1.16 %h0, [%1]!" : "=w"(v), "+r"(p) : "m"(*reinterpret_cast<const int16_t(*)[16]>(p)));
#endif
    return v;
}

// Sum of the lanes of a and of b: (sum a, sum b).
inline int32x2_t lane_sums(int32x4_t a, int32x4_t b) {
    return vpadd_s32(vadd_s32(vget_low_s32(a), vget_high_s32(a)),
                     vadd_s32(vget_low_s32(b), vget_high_s32(b)));
}

// One output of both channels from a window of WINDOW taps; moves the pointers past
// the phase and the window.
template <int WINDOW> inline int16x4_t output(const int16_t*& phase, const int16_t*& x) {
    constexpr int center_groups = poly_center_len(WINDOW) / 8;
    static_assert(POLY_CENTER_AT == 16 && WINDOW - POLY_CENTER_AT - center_groups * 8 == 16);
    tLanes s;
    const int16x8x2_t before = load16(phase);
    outer8<true>(s, before.val[0], load2(x));
    outer8<false>(s, before.val[1], load2(x));
    center8<true>(s, load2(phase), load2(x));
    for (int g = 1; g < center_groups; g++) {
        const int16x8x2_t c = load2(phase);
        center8<false>(s, c, load2(x));
    }
    const int16x8x2_t after = load16(phase);
    outer8<false>(s, after.val[0], load2(x));
    outer8<false>(s, after.val[1], load2(x));
    // (T + (B >> 5) + 2^13) >> 14 per channel, saturated.
    const int32x2_t outer = lane_sums(s.outer_l, s.outer_r);
    const int32x2_t center = lane_sums(s.center_l, s.center_r);
    const int32x2_t v = vsra_n_s32(center, outer, POLY_CENTER_BITS);
    return vqrshrn_n_s32(vcombine_s32(v, v), POLY_SUM_BITS);
}

template <int WINDOW> void run(const tPolyRun& run) {
    // Everything in locals: the stores below could otherwise be taken to change `run`.
    const tPolyRun r = run;
    const int16_t* phase = r.phase;
    const int16_t* x = r.hist;
    int16_t* out_l = r.out_left;
    int16_t* out_r = r.out_right;
    int32_t rem = r.rem;
    // From the end of one output's phase and window to the next output's.
    const int32_t phase_adv = r.phase_adv - poly_phase_len(WINDOW);
    const int32_t adv_whole = 2 * (r.adv_whole - WINDOW);
    for (int32_t k = 0; k < r.count; k++) {
        const int16x4_t o = output<WINDOW>(phase, x);
        vst1_lane_s16(out_l++, o, 0);
        vst1_lane_s16(out_r++, o, 1);
        rem += r.adv_rem;
        phase += phase_adv;
        x += adv_whole;
        if (rem >= r.up) {
            rem -= r.up;
            phase -= r.phase_wrap;
            x += 2;
        }
    }
}

} // namespace

void poly_run_neon(const tPolyRun& r) {
    if (r.window == 48)
        run<48>(r);
    else
        run<56>(r);
}

void poly_interleave_neon(const int16_t* left, const int16_t* right, int32_t n, int16_t* pairs) {
    int32_t i = 0;
    for (; i + 8 <= n; i += 8)
        vst2q_s16(pairs + 2 * i, int16x8x2_t{{vld1q_s16(left + i), vld1q_s16(right + i)}});
    for (; i < n; i++) {
        pairs[2 * i] = left[i];
        pairs[2 * i + 1] = right[i];
    }
}

#if !defined(__aarch64__)
#pragma GCC pop_options
#endif

#endif
