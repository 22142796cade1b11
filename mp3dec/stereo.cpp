// Mid/side and intensity stereo of one granule, on the requantised spectra (Q27,
// 1.0 = 0x08000000) of both channels, in place. Short-block lines are still in Huffman
// order: band by band, window by window.
//
// The intensity positions are the right channel's scale-factor bytes; 7 marks a band
// that is not intensity coded.
#include "dsp.h"
#include "fixed.h"
#include "stages.h"

#include <array>

namespace mp3 {
namespace {

constexpr uint32_t kNoIntensity = 7;
// The last band of each kind has no position of its own and takes the one before's.
constexpr int kLastShortBand = SHORT_BANDS - 1;     // 12
constexpr int kLastShortPosition = SHORT_BANDS - 2; // 11
constexpr int kLastLongPosition = LONG_BANDS - 2;   // 20
constexpr int kMixedFirstShortBand = 3;             // short bands 0..2 lie in the long part

// stereo_flags bits.
constexpr uint32_t kIntensityScale = 1u << 0; // right scalefac_compress bit 0
constexpr uint32_t kIntensityOn = 1u << 8;
constexpr uint32_t kMidSideOn = 1u << 9;
constexpr uint32_t kNotMpeg1 = 1u << 10;

constexpr int kTableFrac = 30; // is_table: Q30
constexpr int kMsFrac = 31;    // mid/side factor: Q31
// 4 x hi(Q30 x Q27) and 2 x hi(Q31 x Q27) both give Q27 again.
static_assert(kTableFrac + 2 == 32 && kMsFrac + 1 == 32);

// Entries 0..3: 2^(-3/4), 2^(-1/2), 2^(-1/4), 1.0 (MPEG-2 intensity).
// Entries 3..9: 1 / (1 + tan(p x pi/12)), p = 0..6 (MPEG-1 intensity). Q30.
constexpr std::array<int32_t, 10> is_table = {
    0x260DFC14, // 638450708
    0x2D413CCD, // 759250125
    0x35D13F33, // 902905651
    0x40000000, // 1073741824
    0x3279A746, // 846833478
    0x28930A2F, // 680725039
    0x20000000, // 536870912
    0x176CF5D1, // 393016785
    0x0D8658BA, // 226908346
    0x00000000, // 0
};
constexpr int kMpeg1Positions = 7; // positions 0..6 have a ratio

// 1/sqrt(2), Q31.
constexpr int32_t kMsFactor = 0x5A82799A; // 1518500250

} // namespace

// Mid/side of n lines: with a = hi(k, l), b = hi(k, r), l becomes 2 (a + b) and r 2 (a - b).
void mid_side_portable(int32_t* l, int32_t* r, int32_t n, int32_t k) {
    for (int32_t i = 0; i < n; ++i) {
        const int32_t a = hi(k, l[i]);
        const int32_t b = hi(k, r[i]);
        const int32_t sum2 = wshl(wadd(a, b), 1);
        l[i] = sum2;
        r[i] = wsub(sum2, wshl(b, 2));
    }
}

namespace {

// Applies position is_pos, or mid/side, to lines start .. start + n - 1 of both
// channels.
void stereo_band(const tDspKernels& kernels, int32_t* left, int32_t* right, uint32_t is_pos,
                 int32_t start, uint32_t flags, int32_t n) {
    if (start < 0 || n <= 0 || start >= GRANULE_LINES) return;
    if (n > GRANULE_LINES - start) n = GRANULE_LINES - start;
    int32_t* l = left + start;
    int32_t* r = right + start;
    const bool mpeg1 = (flags & kNotMpeg1) == 0;
    // MPEG-1 positions above 6 have no ratio: such a band is taken as not intensity
    // coded, the same as 7.
    if (is_pos == kNoIntensity || (mpeg1 && is_pos >= kMpeg1Positions)) {
        if ((flags & kMidSideOn) != 0) kernels.mid_side(l, r, n, kMsFactor);
        return;
    }
    if (mpeg1) {
        const int32_t k = is_table[3 + is_pos];
        for (int32_t i = 0; i < n; ++i) {
            const int32_t rv = wshl(hi(k, l[i]), 2);
            r[i] = rv;
            l[i] = wsub(l[i], rv);
        }
        return;
    }
    // MPEG-2 and MPEG-2.5: powers of 2^(-1/4), or of 2^(-1/2) with intensity_scale.
    const uint32_t e = ((is_pos + 1) >> 1) << (flags & kIntensityScale);
    const uint32_t down = (e >> 2) > 31 ? 31 : (e >> 2); // table words are non-negative
    const int32_t f = is_table[3 - (e & 3)] >> down;
    if (is_pos == 0) {
        for (int32_t i = 0; i < n; ++i)
            r[i] = l[i];
    } else if (is_pos & 1) {
        for (int32_t i = 0; i < n; ++i) {
            r[i] = l[i];
            l[i] = wshl(hi(f, l[i]), 2);
        }
    } else {
        for (int32_t i = 0; i < n; ++i)
            r[i] = wshl(hi(f, l[i]), 2);
    }
}

// True when any of n lines from start is nonzero.
bool any_nonzero(const int32_t* x, int32_t start, int32_t n) {
    for (int32_t i = n - 1; i >= 0; --i)
        if (x[start + i] != 0) return true;
    return false;
}

} // namespace

void stereo_process(const tDspKernels& kernels, tMPEGInstance* inst, int gr, int32_t line_count) {
    if (inst->nch != 2) return;
    if (gr < 0 || gr > 1) return;
    const tGranuleInfo* gi = &inst->side[0].gr_info[gr];
    const tGranuleInfo* gi_right = &inst->side[1].gr_info[gr];
    int32_t* left = inst->xr[0];
    int32_t* right = inst->xr[1];
    const uint8_t* pos = inst->scalefac[1];
    auto position = [&](int i) -> uint32_t {
        return i >= 0 && i < SCALEFAC_BYTES ? pos[i] : kNoIntensity;
    };

    uint32_t flags = gi_right->scalefac_compress & kIntensityScale;
    if (inst->mode == 1) {
        if (inst->mode_extension & 1) flags |= kIntensityOn;
        if (inst->mode_extension & 2) flags |= kMidSideOn;
    }
    if ((inst->version & 1) == 0) flags |= kNotMpeg1;
    const bool mpeg1 = (flags & kNotMpeg1) == 0;

    if ((flags & kIntensityOn) == 0) {
        stereo_band(kernels, left, right, kNoIntensity, 0, flags, GRANULE_LINES);
        return;
    }

    const tSfbRecord& t = sfb_record(inst);
    // Lines of short band k, window w: 3 S[k] + w width .. + width - 1.
    auto window_start = [&](int k, int w) -> int32_t {
        return SHORT_WINDOWS * t.s[k] + w * (t.s[k + 1] - t.s[k]);
    };
    auto window_width = [&](int k) -> int32_t { return t.s[k + 1] - t.s[k]; };

    if (gi->block_type == 2) {
        const bool mixed = gi->mixed_block_flag != 0;
        const int first = mixed ? kMixedFirstShortBand : 0; // first short band of the block
        // Position byte of short band k (band 12 uses band 11's), window w.
        const int pos_offset = !mixed ? 0 : (mpeg1 ? -1 : -3);
        int top = kMixedFirstShortBand;
        for (int w = 0; w < SHORT_WINDOWS; ++w) {
            int k = kLastShortBand;
            while (k >= first && !any_nonzero(right, window_start(k, w), window_width(k)))
                --k;
            if (k >= kLastShortPosition) k = kLastShortBand;
            for (int band = first; band <= k; ++band)
                stereo_band(kernels, left, right, kNoIntensity, window_start(band, w), flags,
                            window_width(band));
            if (k + 1 > top) top = k + 1;
            for (int band = k + 1; band <= kLastShortBand; ++band) {
                const int i =
                    SHORT_WINDOWS * (band < kLastShortPosition ? band : kLastShortPosition) + w +
                    pos_offset;
                stereo_band(kernels, left, right, position(i), window_start(band, w), flags,
                            window_width(band));
            }
        }
        if (!mixed) return;
        // The long part of a mixed block, lines 0..35.
        if (top > kMixedFirstShortBand) {
            stereo_band(kernels, left, right, kNoIntensity, 0, flags, MIXED_LONG_LINES);
            return;
        }
        int32_t j = MIXED_LONG_LINES - 1;
        while (j >= 0 && right[j] == 0)
            --j;
        int b = 0;
        if (j >= 0)
            while (b < LONG_BANDS && t.l[b] <= j)
                ++b;
        stereo_band(kernels, left, right, kNoIntensity, 0, flags, t.l[b]);
        const int last = mpeg1 ? 7 : 5;
        for (; b <= last; ++b)
            stereo_band(kernels, left, right, position(b), t.l[b], flags, t.l[b + 1] - t.l[b]);
        return;
    }

    // Long blocks: intensity starts above the right channel's highest nonzero line.
    if (line_count > GRANULE_LINES) line_count = GRANULE_LINES;
    int32_t j = line_count - 1;
    if (j < 0) j = 0;
    while (j > 0 && right[j] == 0)
        --j;
    int b = 0;
    while (b < LONG_BANDS && t.l[b] <= j)
        ++b;
    if (b > kLastLongPosition) {
        // The last band has no position of its own and goes with band 20.
        stereo_band(kernels, left, right, kNoIntensity, 0, flags, GRANULE_LINES);
        return;
    }
    stereo_band(kernels, left, right, kNoIntensity, 0, flags, t.l[b]);
    for (; b <= kLastLongPosition; ++b) {
        const int32_t end = b == kLastLongPosition ? GRANULE_LINES : t.l[b + 1];
        stereo_band(kernels, left, right, position(b), t.l[b], flags, end - t.l[b]);
    }
}

} // namespace mp3
