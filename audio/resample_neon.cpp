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

// De-interleaving load of 16 samples or taps (8 hi, lo pairs) that moves past them;
// a post-incrementing load on 32-bit ARM, where the compiler would add the pointer apart.
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

// One output of both channels from a window of WINDOW taps; moves the pointers past
// the phase and the window. With UNITY the gain is 1.0 (upward); else gain2 = (2 gain,
// gain).
template <int WINDOW, bool UNITY>
inline int16x4_t output(const int16_t*& phase, const int16_t*& l, const int16_t*& r,
                        int32x2_t gain2) {
    static_assert(WINDOW >= 16);
    // Groups of 16 taps, even ones then odd ones, the samples de-interleaved alike.
    int16x8x2_t even = load2(phase);
    int16x8x2_t odd = load2(phase);
    int16x8x2_t xl = load2(l);
    int16x8x2_t xr = load2(r);
    tLanes s = mul8(even.val[0], even.val[1], xl.val[0], xr.val[0]);
    mac8(s, odd.val[0], odd.val[1], xl.val[1], xr.val[1]);
    for (int g = 1; g < WINDOW / 16; g++) {
        even = load2(phase);
        odd = load2(phase);
        xl = load2(l);
        xr = load2(r);
        mac8(s, even.val[0], even.val[1], xl.val[0], xr.val[0]);
        mac8(s, odd.val[0], odd.val[1], xl.val[1], xr.val[1]);
    }
    if constexpr (WINDOW % 16 != 0) {
        const int16x8x2_t last = load2(phase);
        mac8(s, last.val[0], last.val[1], vld1q_s16(l), vld1q_s16(r));
        l += 8;
        r += 8;
    }
    static_assert(RS_OUT_SHIFT == 39 && RS_ACC_DROP == 8 && POLY_LO_BITS == RS_ACC_DROP + 1 &&
                  RS_GAIN_BITS == 24);
    // (H, L) per channel: S = 512 H + L.
    const int32x2_t hi = lane_sums(s.hi_l, s.hi_r);
    const int32x2_t lo = lane_sums(s.lo_l, s.lo_r);
    if constexpr (UNITY) {
        // (S + 2^22) >> 23 = (H + ((L + 2^22) >> 9)) >> 14, saturated.
        const int32x2_t v = vsra_n_s32(hi, vadd_s32(lo, vdup_n_s32(1 << 22)), POLY_LO_BITS);
        return vqshrn_n_s32(vcombine_s32(v, v), RS_OUT_SHIFT - RS_GAIN_BITS - 1);
    } else {
        // S >> 8 = 2 H + (L >> 8), times the gain in 64 bits; then ((S >> 8) * gain +
        // 2^38) >> 39 as (((...) >> 32) + 2^6) >> 7, saturated.
        const int64x2_t p =
            vmlal_lane_s32(vmull_lane_s32(hi, gain2, 0), vshr_n_s32(lo, RS_ACC_DROP), gain2, 1);
        const int32x2_t v = vrshr_n_s32(vshrn_n_s64(p, 32), RS_OUT_SHIFT - 32);
        return vqmovn_s32(vcombine_s32(v, v));
    }
}

template <int WINDOW, bool UNITY> void run(const tPolyRun& run) {
    // Everything in locals: the stores below could otherwise be taken to change `run`.
    const tPolyRun r = run;
    const int16_t* phase = r.phase;
    const int16_t* l = r.left;
    const int16_t* rt = r.right;
    int16_t* out_l = r.out_left;
    int16_t* out_r = r.out_right;
    int32_t rem = r.rem;
    const int32x2_t gain2 = vset_lane_s32(r.gain, vdup_n_s32(2 * r.gain), 1);
    // From the end of one output's phase and window to the next output's.
    const int32_t phase_adv = r.phase_adv - 2 * WINDOW;
    const int32_t adv_whole = r.adv_whole - WINDOW;
    for (int32_t k = 0; k < r.count; k++) {
        const int16x4_t o = output<WINDOW, UNITY>(phase, l, rt, gain2);
        vst1_lane_s16(out_l++, o, 0);
        vst1_lane_s16(out_r++, o, 1);
        rem += r.adv_rem;
        phase += phase_adv;
        l += adv_whole;
        rt += adv_whole;
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
    const bool unity = r.gain == 1 << RS_GAIN_BITS;
    if (r.window == 48 && unity)
        run<48, true>(r);
    else if (r.window == 56 && !unity)
        run<56, false>(r);
    else
        poly_run_portable(r);
}

#if !defined(__aarch64__)
#pragma GCC pop_options
#endif

#endif
