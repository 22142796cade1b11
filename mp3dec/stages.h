// The decoder's stages as the frame driver calls them. Internal to the library (and its
// tests): callers use mp3dec.h only.
#pragma once

#include "bitreader.h"
#include "dsp.h"
#include "mp3dec.h"

#include <array>
#include <cstdint>

namespace mp3 {

// Counts the stages share.
constexpr int GRANULE_LINES = MP3_GRANULE_SAMPLES; // spectral lines of one granule and channel
constexpr int SUBBANDS = 32;                       // polyphase subbands
constexpr int SUBBAND_LINES = 18;                  // lines (time slots) per subband
static_assert(SUBBANDS * SUBBAND_LINES == GRANULE_LINES);
constexpr int SHORT_WINDOWS = 3;
constexpr int LONG_BANDS = 22;       // scale-factor bands of a long block
constexpr int SHORT_BANDS = 13;      // scale-factor bands of one short window
constexpr int MIXED_LONG_LINES = 36; // the long part of a mixed block: two subbands
constexpr int SCALEFAC_BYTES = 40;   // tMPEGInstance::scalefac of one channel
static_assert(sizeof(tMPEGInstance::scalefac[0]) == SCALEFAC_BYTES);

// Main-data reservoir: the ring in bytes, 16-bit units and bits. Counters are taken mod
// these sizes, which are powers of two.
constexpr int32_t RES_BYTES = MP3_RESERVOIR_BYTES;
constexpr int32_t RES_UNITS = RES_BYTES / 2;
constexpr int32_t RES_BITS = 8 * RES_BYTES;
static_assert((RES_BYTES & (RES_BYTES - 1)) == 0);
static_assert(sizeof(tMPEGInstance::reservoir) == RES_BYTES);

// Scale-factor-band bounds of one sampling frequency.
struct tSfbRecord {
    uint16_t l[LONG_BANDS + 1]; // start line of long bands 0..21, then 576
    uint8_t s[SHORT_BANDS + 1]; // start line of short bands 0..12 within one window, then 192
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

// The number of lines, a multiple of 4, above which all 576 values of x are 0.
inline int32_t nonzero_extent(const int32_t* x) {
    int32_t top = GRANULE_LINES;
    static_assert(GRANULE_LINES % 4 == 0);
    while (top >= 4 && (x[top - 1] | x[top - 2] | x[top - 3] | x[top - 4]) == 0)
        top -= 4;
    return top;
}

// The spectral and synthesis stages run their inner loops with the kernels they are
// given: the instance's, looked up once per frame.

// Requantisation in place, to 1.0 = 2^27 (requantize.cpp).
void requantize(const tDspKernels& kernels, int32_t* xr, const tMPEGInstance* inst,
                const tGranuleInfo* gi, int32_t line_count, int ch);

// Mid/side and intensity stereo of granule gr (stereo.cpp); line_count is the right
// channel's decoded count.
void stereo_process(const tDspKernels& kernels, tMPEGInstance* inst, int gr, int32_t line_count);

// Alias reduction and short-block reordering (reorder.cpp). reorder_short returns xr
// itself, or out (576 values) holding the reordered short-block spectrum. alias_coef holds
// the butterflies' (ca, cs) word pairs.
extern const std::array<int32_t, 16> alias_coef;
void alias_reduce(const tDspKernels& kernels, int32_t* xr, const tGranuleInfo* gi);
int32_t* reorder_short(int32_t* xr, int32_t* out, const tGranuleInfo* gi,
                       const tMPEGInstance* inst);

// IMDCT, windows and overlap-add in place, to 1.0 = 2^24 (imdct.cpp).
void imdct_granule(const tDspKernels& kernels, tMPEGInstance* inst, int32_t* x, int ch,
                   const tGranuleInfo* gi);

// Polyphase synthesis of one granule of one channel into 576 PCM samples (synth.cpp). The
// input is scratch for the slots' DCTs and is left holding them.
int synth_granule(const tDspKernels& kernels, int32_t* x, uint8_t* synth_pos, int16_t* pcm,
                  int32_t (*synth_buf)[32]);

} // namespace mp3
