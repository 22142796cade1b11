// The decoder's stages as the frame driver calls them. Internal to the library (and its
// tests): callers use mp3dec.h only.
#pragma once

#include "bitreader.h"
#include "mp3dec.h"

#include <cstdint>

namespace mp3 {

// Scale-factor-band bounds of one sampling frequency.
struct tSfbRecord {
    uint16_t l[23]; // start line of long bands 0..21, then 576
    uint8_t s[14];  // start line of short bands 0..12 within one window, then 192
};
// Nine records, indexed by version * 3 + sampling_frequency.
extern const tSfbRecord sfb_table[9];
inline const tSfbRecord& sfb_record(const tMPEGInstance* inst) {
    return sfb_table[inst->version * 3 + inst->sampling_frequency];
}

// Side information (sideinfo.cpp). 0 on success, 1 when inconsistent; on failure the
// reader has not moved.
int read_side_info(tBitReader& br, tMPEGInstance* inst);
// Main-data bytes of the current frame; measures a free-format frame once.
int32_t main_data_bytes(const tBitReader& br, tMPEGInstance* inst);

// Main-data reservoir (reservoir.cpp).
uint32_t res_getbits(tMPEGInstance* inst, int n); // n = 0..16
int32_t res_position(const tMPEGInstance* inst);  // bit position P (mod 8192)
int32_t res_avail(const tMPEGInstance* inst);     // unread bytes
void res_rewind(tMPEGInstance* inst, int32_t d);  // d bits back (forward when negative)
void res_copy_in(tMPEGInstance* inst, tBitReader& br, int32_t n);
void res_store_rest(tMPEGInstance* inst, tBitReader& br, int32_t m);

// Scale factors (scalefac.cpp).
void read_scalefactors_mpeg1(tMPEGInstance* inst, int gr, int ch);
void read_scalefactors_lsf(tMPEGInstance* inst, int gr, int ch);

// Huffman decoding into xr, Q13 magnitudes^(4/3) (huffman.cpp). Returns the count of
// lines that may be nonzero; lines from there to 575 are 0.
int32_t huffman_decode(tMPEGInstance* inst, int32_t* xr, const tGranuleInfo* gi,
                       int32_t part2_start);

// Requantisation in place, to 1.0 = 2^27 (requantize.cpp).
void requantize(int32_t* xr, const tMPEGInstance* inst, const tGranuleInfo* gi, int32_t line_count,
                int ch);

// Mid/side and intensity stereo of granule gr (stereo.cpp); line_count is the right
// channel's decoded count.
void stereo_process(tMPEGInstance* inst, int gr, int32_t line_count);

// Alias reduction and short-block reordering (reorder.cpp). reorder_short returns xr
// itself, or out (576 values) holding the reordered short-block spectrum.
void alias_reduce(int32_t* xr, const tGranuleInfo* gi);
int32_t* reorder_short(int32_t* xr, int32_t* out, const tGranuleInfo* gi,
                       const tMPEGInstance* inst);

// IMDCT, windows and overlap-add in place, to 1.0 = 2^24 (imdct.cpp).
void imdct_granule(tMPEGInstance* inst, int32_t* x, int ch, const tGranuleInfo* gi);

// Polyphase synthesis of one granule of one channel into 576 PCM samples (synth.cpp). The
// input is scratch for the slots' DCTs and is left holding them.
int synth_granule(int32_t* x, uint8_t* synth_pos, int16_t* pcm, int32_t (*synth_buf)[32]);

} // namespace mp3
