// ARM fast paths (NEON): the portable kernels' products and sums, four 32-bit or two
// 64-bit lanes at a time. Nothing here runs on a processor without NEON unless the
// dispatch chose it; AArch64 always has it.
#include "dsp.h"
#include "fixed.h"
#include "synth_window.h"

#if defined(VEXA_SIMD_NEON)

#include <arm_neon.h>

// On 32-bit ARM everything defined from here on may use NEON; only templates and
// functions of this file follow, so no code shared with the portable path is built for it.
#if !defined(__aarch64__)
#pragma GCC push_options
#pragma GCC target("fpu=neon")
#endif
#include "imdct_long.h"
#include "lee_dct.h"

namespace mp3 {

namespace {

// Four lanes side by side; hi() from widening multiplies, narrowed to their upper halves.
struct tNeonOps {
    using V = int32x4_t;
    static V add(V a, V b) { return vaddq_s32(a, b); }
    static V sub(V a, V b) { return vsubq_s32(a, b); }
    static V scale(V v, tLeeFactor f) {
        const int32x2_t w = vdup_n_s32(f.word);
        const int32x4_t h = vcombine_s32(vshrn_n_s64(vmull_s32(vget_low_s32(v), w), 32),
                                         vshrn_n_s64(vmull_s32(vget_high_s32(v), w), 32));
        return vshlq_s32(h, vdupq_n_s32(32 - f.frac_bits));
    }
    static V hi(V v, int32_t word) {
        const int32x2_t w = vdup_n_s32(word);
        return vcombine_s32(vshrn_n_s64(vmull_s32(vget_low_s32(v), w), 32),
                            vshrn_n_s64(vmull_s32(vget_high_s32(v), w), 32));
    }
    static V shl(V v, int n) { return vshlq_s32(v, vdupq_n_s32(n)); }
    static V sra(V v, int n) { return vshlq_s32(v, vdupq_n_s32(-n)); }
    static V negate_if(V v, V m) { return vsubq_s32(veorq_s32(v, m), m); }
};

// Value i of four subbands 18 values apart, one per lane, and back.
int32x4_t gather4(const int32_t* p) {
    int32x4_t v = vld1q_dup_s32(p);
    v = vld1q_lane_s32(p + 18, v, 1);
    v = vld1q_lane_s32(p + 36, v, 2);
    return vld1q_lane_s32(p + 54, v, 3);
}

void scatter4(int32_t* p, int32x4_t v) {
    vst1q_lane_s32(p, v, 0);
    vst1q_lane_s32(p + 18, v, 1);
    vst1q_lane_s32(p + 36, v, 2);
    vst1q_lane_s32(p + 54, v, 3);
}

} // namespace

// Four subbands at a time, one per lane (lanes 1 and 3 odd); a group of four all-zero
// subbands, and the last n mod 4, go the portable way.
void imdct_long_neon(int32_t* x, int32_t* ov, int n, const int32_t* W) {
    const int32x4_t odd = {0, -1, 0, -1};
    int sb = 0;
    for (; sb + 4 <= n; sb += 4, x += 72, ov += 72) {
        int32x4_t any = vdupq_n_s32(0);
        for (int i = 0; i < 72; i += 4)
            any = vorrq_s32(any, vld1q_s32(x + i));
        if ((vgetq_lane_s32(any, 0) | vgetq_lane_s32(any, 1) | vgetq_lane_s32(any, 2) |
             vgetq_lane_s32(any, 3)) == 0) {
            imdct_long_portable(x, ov, 4, W);
            continue;
        }
        int32x4_t X[18], o[18], out[18];
        for (int i = 0; i < 18; ++i) {
            X[i] = gather4(x + i);
            o[i] = gather4(ov + i);
        }
        imdct36<tNeonOps>(X, o, out, W, odd);
        for (int i = 0; i < 18; ++i) {
            scatter4(x + i, out[i]);
            scatter4(ov + i, o[i]);
        }
    }
    if (sb < n) imdct_long_portable(x, ov, n - sb, W);
}

// Places 0..7 and 8..15 each hold two groups of four slots, at the even and the odd
// places; places 16 and 17 go one by one.
void synth_dct_neon(int32_t* x) {
    for (int base = 0; base < 16; base += 8) {
        int32x4_t e[32], o[32], E[32], O[32];
        for (int k = 0; k < 32; ++k) {
            const int32x4x2_t v = vld2q_s32(x + 18 * k + base);
            e[k] = v.val[0];
            o[k] = v.val[1];
        }
        lee_dct<32, tNeonOps>(e, E);
        lee_dct<32, tNeonOps>(o, O);
        for (int m = 0; m < 32; ++m)
            vst2q_s32(x + 18 * m + base, int32x4x2_t{{E[m], O[m]}});
    }
    synth_dct_slot(x + 16);
    synth_dct_slot(x + 17);
}

// Per history row: loads that split the row by column mod 4 put the even-age and the
// odd-age values (columns a + 4u and b + 4u, u = 0..3, then 4..7) in registers of their
// own, against the window words read from where the ring starts; multiplied and
// accumulated in 64-bit lanes. The rounding narrowing shift gives (acc + 2^24) >> 25 and
// the narrowing saturates to 16 bits.
template <int A, int B>
void synth_rows_neon_at(int32_t (*buf)[32], tSynthRingRead rd, int16_t* out) {
    for (int j = 1; j < 16; ++j) {
        const int32_t* h = buf[j];
        const int32_t* w = synth_window.data() + SYNTH_ROW0_WORDS + SYNTH_ROW_WORDS * (j - 1);
        // Columns 0..15, then 16..31, each against its half of the window words.
        int64x2_t lo = vdupq_n_s64(0), up = vdupq_n_s64(0);
        for (int half = 0; half < 2; ++half) {
            const int32x4x4_t r = vld4q_s32(h + 16 * half);
            const int32x4_t e = r.val[A], o = r.val[B];
            const int32x4_t le = vld1q_s32(w + rd.even + 4 * half);
            const int32x4_t lod = vld1q_s32(w + 16 + rd.odd + 4 * half);
            const int32x4_t ue = vld1q_s32(w + 32 + rd.even + 4 * half);
            const int32x4_t uod = vld1q_s32(w + 48 + rd.odd + 4 * half);
            lo = vmlal_s32(lo, vget_low_s32(e), vget_low_s32(le));
            up = vmlal_s32(up, vget_low_s32(e), vget_low_s32(ue));
            lo = vmlal_s32(lo, vget_high_s32(e), vget_high_s32(le));
            up = vmlal_s32(up, vget_high_s32(e), vget_high_s32(ue));
            lo = vmlal_s32(lo, vget_low_s32(o), vget_low_s32(lod));
            up = vmlal_s32(up, vget_low_s32(o), vget_low_s32(uod));
            lo = vmlal_s32(lo, vget_high_s32(o), vget_high_s32(lod));
            up = vmlal_s32(up, vget_high_s32(o), vget_high_s32(uod));
        }
        const int64x2_t s = vaddq_s64(vcombine_s64(vget_low_s64(lo), vget_low_s64(up)),
                                      vcombine_s64(vget_high_s64(lo), vget_high_s64(up)));
        const int16x4_t pcm =
            vqmovn_s32(vcombine_s32(vqrshrn_n_s64(s, SYNTH_PCM_SHIFT), vdup_n_s32(0)));
        out[j] = vget_lane_s16(pcm, 0);
        out[32 - j] = vget_lane_s16(pcm, 1);
    }
}

void synth_rows_neon(int32_t (*buf)[32], int p, int16_t* out) {
    const tSynthRingRead rd = synth_ring_read(p);
    if (rd.a == 1)
        synth_rows_neon_at<1, 2>(buf, rd, out);
    else
        synth_rows_neon_at<3, 0>(buf, rd, out);
}

} // namespace mp3

#if !defined(__aarch64__)
#pragma GCC pop_options
#endif

#endif
