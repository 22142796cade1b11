// Requantisation: the Huffman magnitudes, already raised to the power 4/3 (Q13), are
// multiplied by the gain of their scale-factor band (and window) to spectral values
// in Q27 (1.0 = 0x08000000), in place.
//
// A gain is counted in quarter steps E: 2^(E/4) = 2^(E >> 2) x 2^((E & 3) / 4). The
// power of two is a shift, the fractional factor a Q30 multiply whose upper word is
// kept.
#include "dsp.h"
#include "fixed.h"
#include "stages.h"

#include <array>

namespace mp3 {
namespace {

constexpr int kInFrac = 13;      // Huffman output: Q13
constexpr int kOutFrac = 27;     // requantised spectrum: Q27
constexpr int kQuarterFrac = 30; // pow2_quarter: Q30
// hi() drops 32 fraction bits; 2 x hi(F x (v << (k - 1))) with k = q + 16 keeps
// Q13 + Q30 + 16 - 32 = Q27.
static_assert(kInFrac + kQuarterFrac + 16 - 32 == kOutFrac);

// 2^(r/4), r = 0..3, Q30.
constexpr std::array<int32_t, 4> pow2_quarter = {
    0x40000000, // 1073741824  1.0
    0x4C1BF829, // 1276901417  2^(1/4)
    0x5A82799A, // 1518500250  2^(1/2)
    0x6BA27E65, // 1805811301  2^(3/4)
};

// Layer III pre-emphasis, one value per long band.
constexpr std::array<uint8_t, LONG_BANDS> pretab = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                    1, 1, 1, 1, 2, 2, 3, 3, 3, 2, 0};

} // namespace

void requant_lines_portable(int32_t* x, int32_t n, int32_t f, int32_t k) {
    if (k > 0) {
        // e <= 255 - 210 = 45 for any side information, so k - 1 <= 26.
        const int up = k - 1 > 31 ? 31 : static_cast<int>(k - 1);
        for (int32_t i = 0; i < n; ++i)
            x[i] = wshl(hi(f, wshl(x[i], up)), 1);
    } else {
        // A shift of 32 or more leaves only the sign: 0 or -1.
        const int down = -k > 31 ? 31 : static_cast<int>(-k);
        for (int32_t i = 0; i < n; ++i)
            x[i] = hi(f, x[i]) >> down;
    }
}

namespace {

// Scales n values by 2^(e/4) x 2^14 with truncation (Q13 in, Q27 out).
void scale_lines(const tDspKernels& kernels, int32_t* x, int32_t n, int32_t e) {
    kernels.requant_lines(x, n, pow2_quarter[static_cast<size_t>(e & 3)], (e >> 2) + 16);
}

} // namespace

void requantize(const tDspKernels& kernels, int32_t* xr, const tMPEGInstance* inst,
                const tGranuleInfo* gi, int32_t line_count, int ch) {
    if (line_count > GRANULE_LINES) line_count = GRANULE_LINES;
    if (line_count <= 0) return;
    const tSfbRecord& t = sfb_record(inst);
    const uint8_t* sf = inst->scalefac[ch & 1];
    int cursor = 0; // next scale-factor byte, read in band order
    auto next_scalefac = [&]() -> int32_t { return cursor < SCALEFAC_BYTES ? sf[cursor++] : 0; };

    const int32_t g = static_cast<int32_t>(gi->global_gain) - 210;
    const int m_shift = (gi->gr_flags & 2) ? 2 : 1; // scalefac_scale: m = 4, else m = 2
    const bool preflag = (gi->gr_flags & 4) != 0;
    const bool short_block = gi->block_type == 2;
    const bool mixed = short_block && gi->mixed_block_flag != 0;
    const int32_t long_end = !short_block ? GRANULE_LINES : (mixed ? MIXED_LONG_LINES : 0);

    int32_t l = 0; // current line
    int b = 0;     // current band
    bool switched = false;
    while (l < line_count) {
        if (l < long_end) {
            if (b >= LONG_BANDS) break;
            int32_t end = t.l[b + 1];
            if (end > line_count) end = line_count;
            if (end <= l) break; // bounds that do not rise
            const int32_t s = next_scalefac() + (preflag ? pretab[static_cast<size_t>(b)] : 0);
            scale_lines(kernels, xr + l, end - l, g - s * (1 << m_shift));
            l = end;
            ++b;
            continue;
        }
        int32_t width;
        if (mixed && !switched) {
            // Switch from the long to the short part of a mixed block.
            switched = true;
            b = 3;
            width = t.s[4] - t.s[3];
            if (t.s[3] == 24) {
                // 8000 Hz: the first short band is the last 4 lines of each window of
                // band 1 (its lines 12..15).
                b = 1;
                width = 4;
            }
        } else {
            if (b >= SHORT_BANDS) break;
            width = t.s[b + 1] - t.s[b];
        }
        if (width < 0) break;
        for (int w = 0; w < 3; ++w) {
            if (l + width > line_count) width = line_count - l;
            const int32_t sbg = (gi->subblock_gain >> (6 - 3 * w)) & 7;
            const int32_t s = next_scalefac();
            scale_lines(kernels, xr + l, width, g - 8 * sbg - s * (1 << m_shift));
            l += width;
        }
        ++b;
    }
}

} // namespace mp3
