// MPEG audio Layer III decoder: one instance record, four calls, numbered statuses.
//
// The caller owns the instance (2048-byte aligned), the input words (four stream
// bytes each, the earliest in bits 31..24) and the PCM arrays, and refills its input
// between calls. The decoder allocates nothing and keeps no state outside the instance.
#pragma once

#include <cstddef>
#include <cstdint>

enum tMPEGStatus : int32_t {
    eNoErr = 0,
    eNoSyncword = 1,
    eCRCError = 2,
    eBrokenFrame = 3,
    eEndOfBitstram = 4,
    eDataOverflow = 5,
    eCantAllocateBuffer = 6,
    eUnsupportedLayer = 7,
    eFrameDiscarded = 8,
    eReservedSamplingFrequency = 9,
    eForbiddenBitRate = 10,
    eWrongMPEGBuild = 11,
};

// The caller's read position.
struct tMPEGBitstream {
    uint32_t* bufptr; // word holding the next unread bit
    int32_t bitidx;   // bits of that word already consumed, 0..32
};

// Description of the frame whose header MP3DecodeInfo read last.
struct tMPEGHeader {
    int32_t sample_rate;       // 4 * v + frequency index; v = 2 MPEG-1, 1 MPEG-2, 0 MPEG-2.5
    int32_t samplesperchannel; // 1152 (MPEG-1) or 576
    int32_t numchans;          // 1 for single channel, else 2
    uint32_t packed_info;      // the 21 header bits after the sync word
    int32_t bits_required;     // frame bits after the 32-bit header
    int32_t free_format;       // 1 when the bitrate index is 0
};

// Side information of one granule of one channel.
struct tGranuleInfo {
    uint16_t part2_3_length;
    uint16_t big_values;
    uint16_t scalefac_compress;
    uint8_t global_gain;
    uint8_t block_type; // 0 normal, 1 start, 2 short, 3 stop
    uint8_t mixed_block_flag;
    uint16_t table_select;  // region 0 in bits 14..10, region 1 in 9..5, region 2 in 4..0
    uint16_t subblock_gain; // window 0 in bits 8..6, window 1 in 5..3, window 2 in 2..0
    uint8_t region0_count;
    uint8_t region1_count;
    uint8_t gr_flags; // bit 2 preflag, bit 1 scalefac_scale, bit 0 count1table_select
};

struct tChannelSideInfo {
    uint8_t scfsi;
    tGranuleInfo gr_info[2];
};

// All decoder state. Callers treat it as opaque and only clear it whole.
struct tMPEGInstance {
    uint16_t reservoir[512];      // main-data ring, two bytes per unit; must come first
    int32_t synth_buf[2][16][32]; // per channel 16 rows of 32 synthesis values
    uint8_t synth_pos[2];
    int32_t ff_state; // free-format frame length in bytes, 0 while unmeasured
    uint8_t version;  // 1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5
    uint8_t layer;
    uint8_t crc_present;
    uint8_t bitrate_index;
    uint8_t sampling_frequency;
    uint8_t padding;
    uint8_t mode;
    uint8_t mode_extension;
    uint8_t nch;
    int32_t frame_bits;
    int32_t res_wr;
    int32_t res_rd;
    int32_t res_bits;
    uint8_t scalefac[2][40];
    uint16_t main_data_begin;
    tChannelSideInfo side[2];
    int32_t overlap[2][576];
    int32_t work[128]; // scratch, directly before xr
    int32_t xr[2][576];
    int32_t reordered[576]; // short-block spectrum in window-interleaved order
};
static_assert(offsetof(tMPEGInstance, reservoir) == 0, "the reservoir walk relies on it");
static_assert(sizeof(tMPEGInstance::synth_buf) == 2 * 2048);
static_assert(offsetof(tMPEGInstance, xr) == offsetof(tMPEGInstance, work) + sizeof(int32_t) * 128);

constexpr int MP3_INSTANCE_ALIGN = 2048;
constexpr int MP3_MAX_SAMPLES = 1152; // per channel and frame

// Input the caller must hold for MP3DecodeData. The decoder reads whole 32-bit words and
// never compares a read with the amount of valid data, so after MP3DecodeInfo has returned
// eNoErr every word holding one of the next R bytes after the position must lie inside the
// caller's array (the bytes need not be valid stream data, only readable):
//   - header with a bitrate index (free_format 0): R = bits_required / 8, the rest of the
//     frame; nothing past the frame is read;
//   - free format (free_format 1): R = MP3_FREE_FORMAT_READ_BYTES, since the first frame
//     of a free-format run is measured by looking for the next header up to 1440 bytes past
//     the side information, and a later frame may be that long.
// MP3SearchForSyncword reads only the words holding the nbits bits after the position,
// MP3DecodeInfo only the words holding the 32 header bits. A buffer of 1476 bytes plus
// 3 bytes for the position's offset within its word, i.e. 370 words counted from the word
// the position is in, satisfies every frame.
constexpr int MP3_FREE_FORMAT_READ_BYTES = 1476;

void MP3InitInstance(tMPEGInstance* inst);
tMPEGStatus MP3SearchForSyncword(tMPEGInstance* inst, tMPEGBitstream* bs, int32_t nbits);
tMPEGStatus MP3DecodeInfo(tMPEGInstance* inst, tMPEGBitstream* bs, tMPEGHeader* header);
tMPEGStatus MP3DecodeData(tMPEGInstance* inst, int16_t* left, int16_t* right, tMPEGBitstream* bs);
