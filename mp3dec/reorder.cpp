// Alias reduction between the subbands of long blocks, and the reordering of short-block
// lines from Huffman order (band by band, window by window) into window-interleaved
// order for the IMDCT. Values are Q27 (1.0 = 0x08000000).
#include "dsp.h"
#include "fixed.h"
#include "stages.h"

#include <array>

namespace mp3 {
namespace {

constexpr int kButterflies = 8;

constexpr int kCsFrac = 31;     // cs_i: Q31
constexpr int kCaEvenFrac = 31; // ca_i, even i: Q31
constexpr int kCaOddFrac = 32;  // ca_i, odd i: Q32 (|ca_i| < 0.5)
// 2 x hi(Q31 x Q27) is Q27; hi(Q32 x Q27) is Q27.
static_assert(kCsFrac + 1 == 32 && kCaEvenFrac + 1 == 32 && kCaOddFrac == 32);

} // namespace

// (ca_i, cs_i) for i = 0..7: ca = c / sqrt(1 + c^2), cs = 1 / sqrt(1 + c^2) with
// c = -0.6, -0.535, -0.33, -0.185, -0.095, -0.041, -0.0142, -0.0037.
constexpr std::array<int32_t, 16> alias_coef = {
    static_cast<int32_t>(0xBE2500CB), // -1104871221  ca_0 Q31
    0x6DC25404,                       //  1841452036  cs_0 Q31
    static_cast<int32_t>(0x873C92E0), // -2026073376  ca_1 Q32
    0x70DCEBF9,                       //  1893526521  cs_1 Q31
    static_cast<int32_t>(0xD7E33F62), //  -672972958  ca_2 Q31
    0x798D6E7C,                       //  2039311996  cs_2 Q31
    static_cast<int32_t>(0xD16E22F6), //  -781311242  ca_3 Q32
    0x7DDD40A8,                       //  2111652008  cs_3 Q31
    static_cast<int32_t>(0xF3E4FE2D), //  -203096531  ca_4 Q31
    0x7F6D20B7,                       //  2137858231  cs_4 Q31
    static_cast<int32_t>(0xF5834792), //  -175945838  ca_5 Q32
    0x7FE47E40,                       //  2145680960  cs_5 Q31
    static_cast<int32_t>(0xFE2EBDC7), //   -30491193  ca_6 Q31
    0x7FFCB263,                       //  2147267171  cs_6 Q31
    static_cast<int32_t>(0xFF0D84BB), //   -15891269  ca_7 Q32
    0x7FFFC695,                       //  2147468949  cs_7 Q31
};
static_assert(alias_coef.size() == 2 * kButterflies);

// Butterflies run across every subband boundary of a long, start or stop block. A short
// block has none, except that a mixed block gets them at the one boundary between its two
// long subbands 0 and 1 (lines 10..25); nothing crosses into or between its short subbands.
// This holds at every rate: even at 8000 Hz, where the long part of a mixed block spans
// 72 lines in Huffman order, only subbands 0 and 1 go through the long transform.
// The 8 butterflies at each of the boundaries between subbands k - 1 and k, k = 1..n.
void alias_butterflies_portable(int32_t* xr, int n, const int32_t* coef) {
    for (int i = 0; i < kButterflies; ++i) {
        const int32_t ca = coef[2 * i];
        const int32_t cs = coef[2 * i + 1];
        if ((i & 1) == 0) {
            const int32_t sum = wadd(ca, cs);
            for (int k = 1; k <= n; ++k) {
                int32_t& a = xr[SUBBAND_LINES * k - 1 - i];
                int32_t& b = xr[SUBBAND_LINES * k + i];
                const int32_t t = hi(a, sum);
                const int32_t na = wshl(wsub(t, hi(ca, wadd(a, b))), 1);
                const int32_t nb = wshl(wadd(t, hi(cs, wsub(b, a))), 1);
                a = na;
                b = nb;
            }
        } else {
            const int32_t sum = wadd(cs, ca >> 1);
            for (int k = 1; k <= n; ++k) {
                int32_t& a = xr[SUBBAND_LINES * k - 1 - i];
                int32_t& b = xr[SUBBAND_LINES * k + i];
                const int32_t u = hi(a, sum);
                const int32_t na = wsub(wshl(u, 1), hi(ca, wadd(a, b)));
                const int32_t nb = wshl(wadd(u, hi(cs, wsub(b, a))), 1);
                a = na;
                b = nb;
            }
        }
    }
}

void alias_reduce(const tDspKernels& kernels, int32_t* xr, const tGranuleInfo* gi) {
    int boundaries = SUBBANDS - 1;
    if (gi->block_type == 2) boundaries = gi->mixed_block_flag ? 1 : 0;
    // Butterflies between two all-zero subbands leave them 0: stop at the boundary above
    // the last nonzero line's subband.
    int32_t top = nonzero_extent(xr);
    while (top > 0 && xr[top - 1] == 0)
        --top;
    const int last_boundary = top == 0 ? 0 : (top - 1) / SUBBAND_LINES + 1;
    if (boundaries > last_boundary) boundaries = last_boundary;
    kernels.alias_butterflies(xr, boundaries, alias_coef.data());
}

int32_t* reorder_short(int32_t* xr, int32_t* out, const tGranuleInfo* gi,
                       const tMPEGInstance* inst) {
    if (gi->block_type != 2) return xr;
    const tSfbRecord& t = sfb_record(inst);
    int band = 0;
    if (gi->mixed_block_flag) {
        // The long part stays as it is: 36 lines, 72 at 8000 Hz.
        const int32_t n = 3 * t.s[3];
        for (int32_t i = 0; i < n && i < GRANULE_LINES; ++i)
            out[i] = xr[i];
        band = 3;
    }
    for (; band < 13; ++band) {
        const int32_t width = t.s[band + 1] - t.s[band];
        const int32_t start = 3 * t.s[band];
        if (width <= 0 || start + 3 * width > GRANULE_LINES) continue;
        const int32_t* in = xr + start;
        int32_t* o = out + start;
        for (int32_t j = 0; j < width; ++j) {
            o[3 * j] = in[j];
            o[3 * j + 1] = in[width + j];
            o[3 * j + 2] = in[2 * width + j];
        }
    }
    return out;
}

} // namespace mp3
