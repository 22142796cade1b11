/* vexa's integer-only MPEG audio Layer III decoder (MPEG-1, MPEG-2 and MPEG-2.5 rates).
 *
 * C99 and C++. Link with `pkg-config --cflags --libs vexa-mp3dec`.
 *
 * Two ways to use it:
 *
 * 1. The stream decoder (MP3Stream...), for "here are the bytes of a file, give me PCM":
 *
 *        tMP3Stream* s = MP3StreamCreate();
 *        while (bytes are left) {
 *            size_t n = MP3StreamPush(s, bytes, count);   // takes what fits, maybe less
 *            bytes += n; count -= n;
 *            if (no bytes are left) MP3StreamEnd(s);
 *            while ((st = MP3StreamPull(s, pcm, MP3_STREAM_PCM_VALUES,
 *                                       MP3_PCM_INTERLEAVED, &frame)) != eStreamNeedInput
 *                   && st != eStreamEnd)
 *                if (st == eStreamFrame) use(pcm, frame.samples * frame.channels);
 *                else if (MP3StreamStatusIsFatal(st)) stop;   // recoverable: go on
 *        }
 *        MP3StreamDestroy(s);
 *
 *    Ownership: the stream decoder copies what it takes from MP3StreamPush; the caller's
 *    bytes and PCM array stay the caller's and may be reused as soon as a call returns.
 *    Memory: MP3StreamCreate makes one allocation; MP3StreamInit uses memory the caller
 *    provides instead (MP3StreamSize bytes, any alignment) and allocates nothing. No call
 *    allocates after that. The record must not be copied or moved.
 *    Threads: a decoder belongs to one thread at a time (one decoder per thread); separate
 *    decoders share nothing but constant tables, so any number may run at once.
 *    Input: sync words that start no run of frames are passed over, an ID3v2 tag at the
 *    start is skipped, and at the end a frame is decoded only when it is held whole. A
 *    decoder holds up to 12 KiB and decodes once about 6 KB after the frame are held (or
 *    MP3StreamEnd was called), so the PCM is the same whatever pieces the bytes come in.
 *    Every frame is given whole (the encoder's delay and padding are not trimmed).
 *
 * 2. The four frame calls underneath (MP3InitInstance ... MP3DecodeData), for callers that
 *    keep their own input buffer of 32-bit words, four stream bytes each, the earliest in
 *    bits 31..24, and refill it between calls (see MP3DecodeData for what it must hold).
 *    The instance must lie on a 2048-byte boundary (aligned_alloc, posix_memalign).
 *    These calls allocate nothing and keep no state outside the instance.
 */
#ifndef VEXA_MP3DEC_H
#define VEXA_MP3DEC_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VEXA_MP3DEC_API __attribute__((visibility("default")))
#else
#define VEXA_MP3DEC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Decoder statuses (the frame calls) ---- */
typedef enum tMPEGStatus {
    eNoErr = 0,
    eNoSyncword = 1,
    eCRCError = 2,    /* never returned: the CRC word is skipped */
    eBrokenFrame = 3, /* inconsistent side information */
    eEndOfBitstram = 4,
    eDataOverflow = 5,
    eCantAllocateBuffer = 6,
    eUnsupportedLayer = 7,
    eFrameDiscarded = 8, /* the main-data reservoir does not hold what the frame needs yet */
    eReservedSamplingFrequency = 9,
    eForbiddenBitRate = 10,
    eWrongMPEGBuild = 11
} tMPEGStatus;

/* The caller's read position in its input words. */
typedef struct tMPEGBitstream {
    uint32_t* bufptr; /* word holding the next unread bit */
    int32_t bitidx;   /* bits of that word already consumed, 0..32 */
} tMPEGBitstream;

/* Description of the frame whose header MP3DecodeInfo read last. */
typedef struct tMPEGHeader {
    int32_t sample_rate;       /* 4 * v + frequency index; v = 2 MPEG-1, 1 MPEG-2, 0 MPEG-2.5 */
    int32_t samplesperchannel; /* 1152 (MPEG-1) or 576 */
    int32_t numchans;          /* 1 for single channel, else 2 */
    uint32_t packed_info;      /* the 21 header bits after the sync word */
    int32_t bits_required;     /* frame bits after the 32-bit header */
    int32_t free_format;       /* 1 when the bitrate index is 0 */
} tMPEGHeader;

/* Side information of one granule of one channel. */
typedef struct tGranuleInfo {
    uint16_t part2_3_length;
    uint16_t big_values;
    uint16_t scalefac_compress;
    uint8_t global_gain;
    uint8_t block_type; /* 0 normal, 1 start, 2 short, 3 stop */
    uint8_t mixed_block_flag;
    uint16_t table_select;  /* region 0 in bits 14..10, region 1 in 9..5, region 2 in 4..0 */
    uint16_t subblock_gain; /* window 0 in bits 8..6, window 1 in 5..3, window 2 in 2..0 */
    uint8_t region0_count;
    uint8_t region1_count;
    uint8_t gr_flags; /* bit 2 preflag, bit 1 scalefac_scale, bit 0 count1table_select */
} tGranuleInfo;

typedef struct tChannelSideInfo {
    uint8_t scfsi;
    tGranuleInfo gr_info[2];
} tChannelSideInfo;

/* All decoder state of the frame calls. Opaque: callers only clear it whole. It must
 * begin on a 2048-byte boundary. */
typedef struct tMPEGInstance {
    uint16_t reservoir[1024]; /* main-data ring, two bytes per unit; must be first */
    int32_t synth_buf[2][16][32];
    uint8_t synth_pos[2];
    uint8_t dsp_path; /* which code runs the inner loops; MP3InitInstance picks the fastest */
    int32_t ff_state;
    uint8_t version; /* 1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5 */
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
    int32_t work[128]; /* scratch, directly before xr */
    int32_t xr[2][576];
    int32_t reordered[576];
} tMPEGInstance;

/* ---- The frame calls ---- */
/* Resets the state carried between frames (reservoir, synthesis history, overlap). */
VEXA_MP3DEC_API void MP3InitInstance(tMPEGInstance* inst);
/* Moves the position to the next byte-aligned sync word within the nbits after it:
 * eNoErr or eNoSyncword. */
VEXA_MP3DEC_API tMPEGStatus MP3SearchForSyncword(tMPEGInstance* inst, tMPEGBitstream* bs,
                                                 int32_t nbits);
/* Reads the 32-bit header at the position into header and the instance. */
VEXA_MP3DEC_API tMPEGStatus MP3DecodeInfo(tMPEGInstance* inst, tMPEGBitstream* bs,
                                          tMPEGHeader* header);
/* Decodes the rest of the frame whose header MP3DecodeInfo has just read: up to 1152
 * samples per channel into left and right (1152 each; only left for one channel).
 * The decoder reads whole words and never checks how many are valid: every word holding
 * one of the next R bytes after the position must be readable, R = bits_required / 8
 * for a header with a bitrate, R = 2917 for free format (free_format 1). */
VEXA_MP3DEC_API tMPEGStatus MP3DecodeData(tMPEGInstance* inst, int16_t* left, int16_t* right,
                                          tMPEGBitstream* bs);
/* The status's name ("eNoErr"); null for a value that is no status. */
VEXA_MP3DEC_API const char* MP3StatusName(int32_t status);
/* The sampling rate in Hz of a header (0 for a reserved rate). */
VEXA_MP3DEC_API int32_t MP3HeaderSampleRate(const tMPEGHeader* header);

/* ---- The stream decoder ---- */
typedef struct tMP3Stream tMP3Stream; /* opaque */

/* Results of MP3StreamPull (and names by MP3StreamStatusName). Negative values are fatal:
 * the call was wrong and did nothing. The others are not: after a recoverable one the
 * frame is left out and the next pull goes on with the stream. */
typedef enum tMP3StreamStatus {
    eStreamFrame = 0,        /* a frame of PCM is in the caller's array */
    eStreamNeedInput = 1,    /* push more bytes, or say MP3StreamEnd */
    eStreamEnd = 2,          /* the stream has ended: every frame is out */
    eStreamBadHeader = 3,    /* recoverable: the decoder refused a header (decoder_status) */
    eStreamFrameDropped = 4, /* recoverable: the decoder refused a frame (decoder_status);
                                eFrameDiscarded is usual for the first frames */
    eStreamBadArgument = -1, /* fatal: a null pointer or an unknown layout */
    eStreamPcmTooSmall = -2  /* fatal: the PCM array cannot hold the frame */
} tMP3StreamStatus;

/* PCM layouts for MP3StreamPull. */
#define MP3_PCM_INTERLEAVED 0 /* L R L R ... (one value per sample for one channel) */
#define MP3_PCM_PLANAR 1      /* all samples of channel 0, then all of channel 1 */
/* PCM values a frame may need: 1152 samples of two channels. */
#define MP3_STREAM_PCM_VALUES 2304

/* What MP3StreamPull says about the frame it gave (or refused). */
typedef struct tMP3StreamFrame {
    int32_t sample_rate;     /* Hz */
    int32_t channels;        /* 1 or 2 */
    int32_t samples;         /* samples per channel in the PCM array */
    int32_t bitrate;         /* kbit/s; free format: measured from the frame length */
    int64_t frame_index;     /* frames given before this one */
    int64_t sample_position; /* samples per channel given before this one */
    int64_t stream_byte;     /* the frame's header in the bytes pushed (0: the first) */
    int32_t decoder_status;  /* tMPEGStatus of the last frame call */
    int32_t reserved;
    tMPEGHeader header; /* the decoder's description of the frame */
} tMP3StreamFrame;

/* Bytes of memory MP3StreamInit needs (the record with room to align it). */
VEXA_MP3DEC_API size_t MP3StreamSize(void);
/* A decoder in the caller's memory (MP3StreamSize bytes at least, any alignment); null
 * when memory is null or too small. MP3StreamDestroy on it frees nothing. */
VEXA_MP3DEC_API tMP3Stream* MP3StreamInit(void* memory, size_t bytes);
/* A decoder in one allocation of its own; null when there is no memory. */
VEXA_MP3DEC_API tMP3Stream* MP3StreamCreate(void);
/* Ends a decoder; frees its memory when MP3StreamCreate made it. Null does nothing. */
VEXA_MP3DEC_API void MP3StreamDestroy(tMP3Stream* s);
/* Back to the state after creation: held input, decoder state and counts are dropped
 * (to start another stream or to go on from another place of the same). */
VEXA_MP3DEC_API void MP3StreamReset(tMP3Stream* s);
/* Takes the next bytes of the stream, in pieces of any size: returns how many it took
 * (it holds a few kilobytes; pull frames to make room). 0 after MP3StreamEnd. */
VEXA_MP3DEC_API size_t MP3StreamPush(tMP3Stream* s, const uint8_t* bytes, size_t count);
/* The stream has no more bytes: the frames still held are decoded, then eStreamEnd. */
VEXA_MP3DEC_API void MP3StreamEnd(tMP3Stream* s);
/* Decodes the next frame into pcm (pcm_values int16 values, MP3_STREAM_PCM_VALUES always
 * suffice) in the layout given, and describes it in frame (may be null). */
VEXA_MP3DEC_API tMP3StreamStatus MP3StreamPull(tMP3Stream* s, int16_t* pcm, size_t pcm_values,
                                               int32_t layout, tMP3StreamFrame* frame);
/* The status's name ("eStreamFrame"); null for a value that is no status. */
VEXA_MP3DEC_API const char* MP3StreamStatusName(int32_t status);
/* 1 for the fatal statuses, else 0. */
VEXA_MP3DEC_API int MP3StreamStatusIsFatal(int32_t status);

#ifdef __cplusplus
}
#endif

#endif
