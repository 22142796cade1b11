// Scale factors of one granule and channel, read from the main-data reservoir into the
// channel's 40 scalefac bytes.
//
// Layouts: long blocks use bytes 0..20 for bands 0..20 and 21 = 0; short blocks 3 * band +
// window for bands 0..11, then three zero bytes; mixed blocks the long bands first (0..7 in
// MPEG-1, 0..5 in MPEG-2/2.5), then short bands from 3 on, three windows each.
#include "scalefac_table.h"
#include "stages.h"

#include <array>

namespace mp3 {

namespace {

// MPEG-1 scale-factor lengths by scalefac_compress.
constexpr std::array<uint8_t, 16> slen1_table = {0, 0, 0, 0, 3, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4};
constexpr std::array<uint8_t, 16> slen2_table = {0, 1, 2, 3, 0, 1, 2, 3, 1, 2, 3, 1, 2, 3, 2, 3};

// Reads k values of s bits each as one field (k * s <= 12) into out[0..k-1], the first
// value from the top bits.
inline void read_group(tMPEGInstance* inst, uint8_t* out, int k, int s) {
    const uint32_t v = res_getbits(inst, k * s);
    const uint32_t mask = (1u << s) - 1;
    for (int i = 0; i < k; ++i)
        out[i] = static_cast<uint8_t>((v >> (s * (k - 1 - i))) & mask);
}

// Short bands first..last, one 3-value field each, stored from out on.
inline void read_short_bands(tMPEGInstance* inst, uint8_t* out, int first, int last, int s) {
    for (int band = first; band <= last; ++band)
        read_group(inst, out + 3 * (band - first), 3, s);
}

constexpr int LONG_BLOCKS = 0;
constexpr int SHORT_BLOCKS = 1;
constexpr int MIXED_BLOCKS = 2;

// Every row and kind stores at most 36 values, inside the 40 bytes.
constexpr bool partitions_fit() {
    for (const auto& row : nr_of_sfb_block) {
        for (const auto& kind : row) {
            if (kind[0] + kind[1] + kind[2] + kind[3] > 36) return false;
        }
    }
    return true;
}
static_assert(partitions_fit());

} // namespace

void read_scalefactors_mpeg1(tMPEGInstance* inst, int gr, int ch) {
    const tGranuleInfo* gi = &inst->side[ch].gr_info[gr];
    uint8_t* sf = inst->scalefac[ch];
    const int slen1 = slen1_table[gi->scalefac_compress & 15];
    const int slen2 = slen2_table[gi->scalefac_compress & 15];

    if (gi->block_type == 2) {
        int next;
        if (gi->mixed_block_flag != 0) {
            read_group(inst, sf + 0, 3, slen1); // long bands 0..7
            read_group(inst, sf + 3, 3, slen1);
            read_group(inst, sf + 6, 2, slen1);
            read_short_bands(inst, sf + 8, 3, 5, slen1);
            read_short_bands(inst, sf + 17, 6, 11, slen2);
            next = 35;
        } else {
            read_short_bands(inst, sf + 0, 0, 5, slen1);
            read_short_bands(inst, sf + 18, 6, 11, slen2);
            next = 36;
        }
        sf[next] = sf[next + 1] = sf[next + 2] = 0; // short band 12
        return;
    }

    // Long blocks: a band group whose scfsi bit is set keeps granule 0's values.
    const uint32_t scfsi = gr == 0 ? 0 : inst->side[ch].scfsi;
    if ((scfsi & 8) == 0) { // bands 0..5
        read_group(inst, sf + 0, 3, slen1);
        read_group(inst, sf + 3, 3, slen1);
    }
    if ((scfsi & 4) == 0) { // bands 6..10
        read_group(inst, sf + 6, 3, slen1);
        read_group(inst, sf + 9, 2, slen1);
    }
    if ((scfsi & 2) == 0) { // bands 11..15
        read_group(inst, sf + 11, 3, slen2);
        read_group(inst, sf + 14, 2, slen2);
    }
    if ((scfsi & 1) == 0) { // bands 16..20
        read_group(inst, sf + 16, 3, slen2);
        read_group(inst, sf + 19, 2, slen2);
    }
    sf[21] = 0;
}

void read_scalefactors_lsf(tMPEGInstance* inst, int gr, int ch) {
    tGranuleInfo* gi = &inst->side[ch].gr_info[gr];
    uint8_t* sf = inst->scalefac[ch];
    const int kind = gi->block_type != 2         ? LONG_BLOCKS
                     : gi->mixed_block_flag == 0 ? SHORT_BLOCKS
                                                 : MIXED_BLOCKS;
    const uint32_t c = gi->scalefac_compress;
    uint32_t slen[4];
    int row;
    // Intensity stereo exists only in joint stereo; then the right channel is coded with
    // its own partitions.
    const bool intensity_right = inst->mode == 1 && (inst->mode_extension & 1) != 0 && ch == 1;
    if (intensity_right) {
        const uint32_t i = c / 2;
        if (i < 180) {
            row = 3;
            slen[0] = i / 36;
            slen[1] = (i % 36) / 6;
            slen[2] = (i % 36) % 6;
            slen[3] = 0;
        } else if (i < 244) {
            row = 4;
            const uint32_t d = i - 180;
            slen[0] = (d & 63) / 16;
            slen[1] = (d & 15) / 4;
            slen[2] = d & 3;
            slen[3] = 0;
        } else {
            row = 5;
            const uint32_t d = i - 244;
            slen[0] = d / 3;
            slen[1] = d % 3;
            slen[2] = slen[3] = 0;
        }
    } else if (c < 400) {
        row = 0;
        slen[0] = (c / 16) / 5;
        slen[1] = (c / 16) % 5;
        slen[2] = (c & 15) / 4;
        slen[3] = c & 3;
    } else if (c < 500) {
        row = 1;
        const uint32_t d = c - 400;
        slen[0] = (d / 4) / 5;
        slen[1] = (d / 4) % 5;
        slen[2] = d & 3;
        slen[3] = 0;
    } else {
        row = 2;
        const uint32_t d = c - 500;
        slen[0] = d / 3;
        slen[1] = d % 3;
        slen[2] = slen[3] = 0;
        gi->gr_flags |= 4; // preflag
    }

    for (int i = 20; i < 40; ++i)
        sf[i] = 0;
    int pos = 0;
    for (int p = 0; p < 4; ++p) {
        const int count = nr_of_sfb_block[row][kind][p];
        const int s = static_cast<int>(slen[p]);
        for (int j = 0; j < count; ++j)
            sf[pos + j] = static_cast<uint8_t>(res_getbits(inst, s));
        pos += count;
    }
}

} // namespace mp3
