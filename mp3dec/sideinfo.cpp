// Side information of a Layer III frame and the count of main-data bytes it brings.
#include "stages.h"

namespace mp3 {

namespace {

// Header, CRC word and side information, less the padding byte: what a frame holds
// besides its main data.
constexpr int32_t frame_overhead(const tMPEGInstance* inst) {
    return MP3_HEADER_BYTES + mp3_side_info_bytes(inst->version, inst->nch) +
           2 * inst->crc_present - inst->padding;
}

// The free-format scan looks this far past the side information for the next header: the
// longest frame taken, 640 kbit/s at 32000 Hz with padding, is 2881 bytes.
constexpr int32_t FREE_FORMAT_SCAN = 2881;
static_assert(MP3_FREE_FORMAT_READ_BYTES == 2 + 32 + FREE_FORMAT_SCAN - 1 + 3,
              "CRC word, longest side information, scan and the two bytes after the last start");

// One granule of one channel. 1 when the window-switching flag is set with block type 0.
int read_granule(tBitReader& br, tGranuleInfo* gi, bool mpeg1) {
    const uint32_t v = getbits(br, 29);
    gi->part2_3_length = static_cast<uint16_t>(v >> 17);
    gi->big_values = static_cast<uint16_t>((v >> 8) & 511);
    gi->global_gain = static_cast<uint8_t>(v & 255);
    gi->scalefac_compress = static_cast<uint16_t>(getbits(br, mpeg1 ? 4 : 9));
    if (getbits(br, 1) != 0) {
        gi->block_type = static_cast<uint8_t>(getbits(br, 2));
        gi->mixed_block_flag = static_cast<uint8_t>(getbits(br, 1));
        gi->table_select = static_cast<uint16_t>(getbits(br, 10) << 5);
        gi->subblock_gain = static_cast<uint16_t>(getbits(br, 9));
        if (gi->block_type == 0) return 1;
        gi->region0_count = (gi->block_type == 2 && gi->mixed_block_flag == 0) ? 8 : 7;
        gi->region1_count = static_cast<uint8_t>(20 - gi->region0_count);
    } else {
        gi->table_select = static_cast<uint16_t>(getbits(br, 15));
        gi->region0_count = static_cast<uint8_t>(getbits(br, 4));
        gi->region1_count = static_cast<uint8_t>(getbits(br, 3));
        gi->block_type = 0;
    }
    gi->gr_flags = static_cast<uint8_t>(getbits(br, mpeg1 ? 3 : 2));
    return 0;
}

} // namespace

int read_side_info(tBitReader& in, tMPEGInstance* inst) {
    tBitReader br = in;
    const bool mpeg1 = (inst->version & 1) != 0;
    const int nch = inst->nch;
    const int ngr = mpeg1 ? 2 : 1;
    if (mpeg1) {
        inst->main_data_begin = static_cast<uint16_t>(getbits(br, 9));
        getbits(br, nch == 1 ? 5 : 3); // private bits
        for (int ch = 0; ch < nch; ++ch)
            inst->side[ch].scfsi = static_cast<uint8_t>(getbits(br, 4));
    } else {
        inst->main_data_begin = static_cast<uint16_t>(getbits(br, 8));
        getbits(br, nch == 1 ? 1 : 2); // private bits
    }
    for (int gr = 0; gr < ngr; ++gr) {
        for (int ch = 0; ch < nch; ++ch) {
            if (read_granule(br, &inst->side[ch].gr_info[gr], mpeg1) != 0) return 1;
        }
    }
    in = br;
    return 0;
}

int32_t main_data_bytes(const tBitReader& br, tMPEGInstance* inst) {
    const int32_t o = frame_overhead(inst);
    if (inst->bitrate_index != 0) {
        // frame_bits / 8 is the frame length after the header in whole bytes, padding byte
        // included; the main data is what the CRC word and the side information leave.
        return inst->frame_bits / 8 - (o - 4 + inst->padding);
    }
    if (inst->ff_state != 0) {
        const int32_t m = inst->ff_state - o;
        // A stream that changes its channel count or CRC between free-format frames can
        // leave less than nothing.
        return m > 0 ? m : 0;
    }
    // First free-format frame: the main data runs up to the next free-format Layer III
    // header with a valid sampling frequency. Bytes are taken from a copy of the reader,
    // one at a time, so nothing past the third byte of a match is looked at.
    tBitReader scan = br;
    uint32_t window = getbits(scan, 8) << 8;
    window |= getbits(scan, 8);
    int32_t m = 0;
    for (int32_t k = 0; k < FREE_FORMAT_SCAN; ++k) {
        window = ((window << 8) | getbits(scan, 8)) & 0xFFFFFF;
        // Any version; nothing the check looks at lies in the fourth byte.
        const uint32_t head = window << 8;
        if ((mp3_hdr_faults(head) & ~MP3_FAULT_RESERVED_VERSION) == 0 &&
            mp3_hdr_bitrate_index(head) == 0) {
            m = k;
            break;
        }
    }
    inst->ff_state = m + o;
    return m;
}

} // namespace mp3
