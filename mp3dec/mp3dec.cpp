// Instance set-up and the per-frame driver.
#include "mp3dec.h"
#include "bitreader.h"
#include "stages.h"

#include <cstring>

void MP3InitInstance(tMPEGInstance* inst) {
    inst->ff_state = 0;
    inst->synth_pos[0] = inst->synth_pos[1] = 2;
    inst->dsp_path = static_cast<uint8_t>(mp3::dsp_best());
    std::memset(inst->synth_buf, 0, sizeof inst->synth_buf);
    inst->res_wr = 0;
    inst->res_rd = 0;
    inst->res_bits = 16;
    std::memset(inst->overlap, 0, sizeof inst->overlap);
}

namespace {

// Unread reservoir bytes allowed while granules are decoded: with 2048 bytes in the ring,
// a top-up never overwrites data still to be read, and one granule of the fastest free
// format (up to 2 x 4095 bits) fits behind the 511 bytes main_data_begin may reach back.
constexpr int32_t RESERVOIR_TOP_UP = 1984;
static_assert(RESERVOIR_TOP_UP < mp3::RES_BYTES);

} // namespace

tMPEGStatus MP3DecodeData(tMPEGInstance* inst, int16_t* left, int16_t* right, tMPEGBitstream* bs) {
    if (inst->layer != 1) return eUnsupportedLayer;
    // A header that MP3DecodeInfo refused has no tables to decode with; nothing is read.
    if (inst->sampling_frequency > 2 || inst->bitrate_index > 14 || inst->nch < 1 ||
        inst->nch > 2) {
        return eBrokenFrame;
    }

    uint32_t* const base = bs->bufptr;
    tBitReader br = bitreader_load(bs);
    const int32_t start = bits_consumed(br, base);
    const int ngr = (inst->version & 1) != 0 ? 2 : 1;
    const int nch = inst->nch;

    if (inst->crc_present != 0) skipbits(br, 16); // the CRC word is not checked

    // Only the counters' values mod 2048 bytes and mod 1024 units matter; keeping them small
    // keeps them from overflowing in a long run.
    inst->res_rd &= mp3::RES_BYTES - 1;
    inst->res_wr &= mp3::RES_BYTES - 1;

    if (mp3::read_side_info(br, inst) != 0) {
        bitreader_store(br, bs);
        return eBrokenFrame;
    }
    const int32_t m = mp3::main_data_bytes(br, inst);

    // The main data of this frame starts on a byte boundary of the reservoir.
    if (inst->res_bits % 8 != 0) mp3::res_getbits(inst, inst->res_bits % 8);
    int32_t avail = mp3::res_avail(inst);
    if (avail < inst->main_data_begin) {
        mp3::res_store_rest(inst, br, m);
        bitreader_store(br, bs);
        return eFrameDiscarded;
    }
    if (avail > inst->main_data_begin) mp3::res_rewind(inst, -8 * (avail - inst->main_data_begin));

    const mp3::tDspKernels& kernels = mp3::dsp_kernels(inst);
    int32_t stored = 0; // bytes of m already in the reservoir
    for (int gr = 0; gr < ngr; ++gr) {
        avail = mp3::res_avail(inst);
        int32_t n = RESERVOIR_TOP_UP - avail;
        if (n > m - stored) n = m - stored;
        if (n > 0) {
            mp3::res_copy_in(inst, br, n);
            stored += n;
        }

        int32_t line_count = 0;
        for (int ch = 0; ch < nch; ++ch) {
            const tGranuleInfo* gi = &inst->side[ch].gr_info[gr];
            const int32_t part2_start = mp3::res_position(inst);
            if ((inst->version & 1) != 0) {
                mp3::read_scalefactors_mpeg1(inst, gr, ch);
            } else {
                mp3::read_scalefactors_lsf(inst, gr, ch);
            }
            line_count = mp3::huffman_decode(inst, inst->xr[ch], gi, part2_start);
            mp3::requantize(kernels, inst->xr[ch], inst, gi, line_count, ch);
        }

        mp3::stereo_process(kernels, inst, gr, line_count);

        for (int ch = 0; ch < nch; ++ch) {
            const tGranuleInfo* gi = &inst->side[ch].gr_info[gr];
            mp3::alias_reduce(kernels, inst->xr[ch], gi);
            int32_t* x = mp3::reorder_short(inst->xr[ch], inst->reordered, gi, inst);
            mp3::imdct_granule(kernels, inst, x, ch, gi);
            int16_t* pcm = (ch == 0 ? left : right) + MP3_GRANULE_SAMPLES * gr;
            mp3::synth_granule(kernels, x, &inst->synth_pos[ch], pcm, inst->synth_buf[ch]);
        }
    }

    mp3::res_store_rest(inst, br, m - stored);

    // A frame with a bitrate index ends where its header says, whatever the side
    // information claimed; a free-format frame ends where its main data ended.
    if (inst->bitrate_index != 0) {
        const int32_t rest = (inst->frame_bits & ~7) - (bits_consumed(br, base) - start);
        if (rest != 0) skipbits(br, rest);
    }
    bitreader_store(br, bs);
    return eNoErr;
}
