// Instance set-up and the per-frame driver.
#include "mp3dec.h"
#include "bitreader.h"

#include <cstring>

void MP3InitInstance(tMPEGInstance* inst) {
    inst->ff_state = 0;
    inst->synth_pos[0] = inst->synth_pos[1] = 2;
    std::memset(inst->synth_buf, 0, sizeof inst->synth_buf);
    inst->res_wr = 0;
    inst->res_rd = 0;
    inst->res_bits = 16;
    std::memset(inst->overlap, 0, sizeof inst->overlap);
}

// The frame-decoding stages are not part of this build yet: the frame is passed over
// whole, so that a caller walks the stream frame by frame, and reported as not decoded.
tMPEGStatus MP3DecodeData(tMPEGInstance* inst, int16_t*, int16_t*, tMPEGBitstream* bs) {
    if (inst->layer != 1) return eUnsupportedLayer;
    tBitReader br = bitreader_load(bs);
    skipbits(br, inst->frame_bits & ~7);
    bitreader_store(br, bs);
    return eWrongMPEGBuild;
}
