// NEON dot products of the rate converter's table runs: the portable loop's sums, split
// in 32-bit lanes (resample_poly.h), and its rounding, exactly.
#include "resample_poly.h"

#if defined(VEXA_SIMD_NEON)

#include <arm_neon.h>

// On 32-bit ARM everything from here on may use NEON; the dispatch in resample.cpp
// calls it only on a processor that has it.
#if !defined(__aarch64__)
#pragma GCC push_options
#pragma GCC target("fpu=neon")
#endif

namespace {

// Lane sums of the split products of both channels.
struct tLanes {
    int32x4_t hi_l, lo_l, hi_r, lo_r;
};

inline void mac8(tLanes& s, int16x8_t hi, int16x8_t lo, int16x8_t xl, int16x8_t xr) {
    s.hi_l = vmlal_s16(s.hi_l, vget_low_s16(hi), vget_low_s16(xl));
    s.hi_l = vmlal_s16(s.hi_l, vget_high_s16(hi), vget_high_s16(xl));
    s.lo_l = vmlal_s16(s.lo_l, vget_low_s16(lo), vget_low_s16(xl));
    s.lo_l = vmlal_s16(s.lo_l, vget_high_s16(lo), vget_high_s16(xl));
    s.hi_r = vmlal_s16(s.hi_r, vget_low_s16(hi), vget_low_s16(xr));
    s.hi_r = vmlal_s16(s.hi_r, vget_high_s16(hi), vget_high_s16(xr));
    s.lo_r = vmlal_s16(s.lo_r, vget_low_s16(lo), vget_low_s16(xr));
    s.lo_r = vmlal_s16(s.lo_r, vget_high_s16(lo), vget_high_s16(xr));
}

// Sum of the lanes of a and of b: (sum a, sum b).
inline int32x2_t lane_sums(int32x4_t a, int32x4_t b) {
    return vpadd_s32(vadd_s32(vget_low_s32(a), vget_high_s32(a)),
                     vadd_s32(vget_low_s32(b), vget_high_s32(b)));
}

// The first products of a window.
inline tLanes mul8(int16x8_t hi, int16x8_t lo, int16x8_t xl, int16x8_t xr) {
    tLanes s{vmull_s16(vget_low_s16(hi), vget_low_s16(xl)),
             vmull_s16(vget_low_s16(lo), vget_low_s16(xl)),
             vmull_s16(vget_low_s16(hi), vget_low_s16(xr)),
             vmull_s16(vget_low_s16(lo), vget_low_s16(xr))};
    s.hi_l = vmlal_s16(s.hi_l, vget_high_s16(hi), vget_high_s16(xl));
    s.lo_l = vmlal_s16(s.lo_l, vget_high_s16(lo), vget_high_s16(xl));
    s.hi_r = vmlal_s16(s.hi_r, vget_high_s16(hi), vget_high_s16(xr));
    s.lo_r = vmlal_s16(s.lo_r, vget_high_s16(lo), vget_high_s16(xr));
    return s;
}

// One output of both channels from a window of WINDOW taps; gain2 = (2 gain, gain).
template <int WINDOW>
inline int16x4_t output(const int16_t* phase, const int16_t* l, const int16_t* r, int32x2_t gain2) {
    static_assert(WINDOW >= 16);
    int16x8x2_t c = vld2q_s16(phase);
    int16x8x2_t xl = vld2q_s16(l);
    int16x8x2_t xr = vld2q_s16(r);
    tLanes s = mul8(c.val[0], c.val[1], xl.val[0], xr.val[0]);
    c = vld2q_s16(phase + 16);
    mac8(s, c.val[0], c.val[1], xl.val[1], xr.val[1]);
    // The other groups of 16, even taps then odd ones, the samples de-interleaved alike.
#pragma GCC unroll 1
    for (int g = 1; g < WINDOW / 16; g++) {
        phase += 32;
        l += 16;
        r += 16;
        c = vld2q_s16(phase);
        xl = vld2q_s16(l);
        xr = vld2q_s16(r);
        mac8(s, c.val[0], c.val[1], xl.val[0], xr.val[0]);
        c = vld2q_s16(phase + 16);
        mac8(s, c.val[0], c.val[1], xl.val[1], xr.val[1]);
    }
    if constexpr (WINDOW % 16 != 0) {
        c = vld2q_s16(phase + 32);
        mac8(s, c.val[0], c.val[1], vld1q_s16(l + 16), vld1q_s16(r + 16));
    }
    // (H, L) per channel; S >> 8 = 2 H + (L >> 8), times the gain in 64 bits; then
    // ((S >> 8) * gain + 2^38) >> 39 as (((...) >> 32) + 2^6) >> 7, saturated.
    static_assert(RS_OUT_SHIFT == 39 && RS_ACC_DROP == 8 && POLY_LO_BITS == RS_ACC_DROP + 1);
    const int32x2_t hi = lane_sums(s.hi_l, s.hi_r);
    const int32x2_t lo = vshr_n_s32(lane_sums(s.lo_l, s.lo_r), RS_ACC_DROP);
    const int64x2_t p = vmlal_lane_s32(vmull_lane_s32(hi, gain2, 0), lo, gain2, 1);
    const int32x2_t v = vrshr_n_s32(vshrn_n_s64(p, 32), RS_OUT_SHIFT - 32);
    return vqmovn_s32(vcombine_s32(v, v));
}

template <int WINDOW> void run(const tPolyRun& run) {
    // Everything in locals: the stores below could otherwise be taken to change `run`.
    const tPolyRun r = run;
    const int16_t* phase = r.phase;
    const int16_t* l = r.left;
    const int16_t* rt = r.right;
    int16_t* out_l = r.out_left;
    int16_t* out_r = r.out_right;
    int32_t rem = r.rem;
    const int32x2_t gain2 = vset_lane_s32(r.gain, vdup_n_s32(2 * r.gain), 1);
    for (int32_t k = 0; k < r.count; k++) {
        const int16x4_t o = output<WINDOW>(phase, l, rt, gain2);
        vst1_lane_s16(out_l++, o, 0);
        vst1_lane_s16(out_r++, o, 1);
        rem += r.adv_rem;
        phase += r.phase_adv;
        l += r.adv_whole;
        rt += r.adv_whole;
        if (rem >= r.up) {
            rem -= r.up;
            phase -= r.phase_wrap;
            l++;
            rt++;
        }
    }
}

} // namespace

void poly_run_neon(const tPolyRun& r) {
    if (r.window == 48)
        run<48>(r);
    else if (r.window == 56)
        run<56>(r);
    else
        poly_run_portable(r);
}

#if !defined(__aarch64__)
#pragma GCC pop_options
#endif

#endif
