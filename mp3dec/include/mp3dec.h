// MPEG audio Layer III decoder: one instance record, four calls, numbered statuses.
//
// The caller owns the instance (2048-byte aligned), the input words (four stream
// bytes each, the earliest in bits 31..24) and the PCM arrays, and refills its input
// between calls. The decoder allocates nothing and keeps no state outside the instance.
// The records and calls are those of the installed C header vexa/mp3dec.h; this one adds
// the constant tables and helpers the project's C++ code uses.
#pragma once

#include "vexa/mp3dec.h"

#include <array>
#include <cstddef>
#include <cstdint>

constexpr int MP3_STATUS_COUNT = 12;
inline constexpr std::array<const char*, MP3_STATUS_COUNT> MP3_STATUS_NAMES = {
    "eNoErr",
    "eNoSyncword",
    "eCRCError",
    "eBrokenFrame",
    "eEndOfBitstram",
    "eDataOverflow",
    "eCantAllocateBuffer",
    "eUnsupportedLayer",
    "eFrameDiscarded",
    "eReservedSamplingFrequency",
    "eForbiddenBitRate",
    "eWrongMPEGBuild",
};
// The status's name as written above ("eNoErr"); null for a value that is no status.
constexpr const char* mp3_status_name(int32_t status) {
    return status >= 0 && status < MP3_STATUS_COUNT ? MP3_STATUS_NAMES[static_cast<size_t>(status)]
                                                    : nullptr;
}

// ---- Stream constants ----
//
// The MPEG version is numbered three ways:
//   - in the header, bits 20..19 of the packed word: 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5 (1 is
//     reserved and decoded as MPEG-2.5);
//   - in the decoder (tMPEGInstance::version, the `version` arguments below): 1 MPEG-1,
//     0 MPEG-2, 2 MPEG-2.5, so that bit 0 tells MPEG-1;
//   - in the rate code of tMPEGHeader::sample_rate: 4 x (2 MPEG-1, 1 MPEG-2, 0 MPEG-2.5)
//     + the sampling-frequency index.
constexpr uint32_t MP3_VERSION_MPEG2 = 0;
constexpr uint32_t MP3_VERSION_MPEG1 = 1;
constexpr uint32_t MP3_VERSION_MPEG25 = 2;

constexpr uint32_t MP3_SYNC_WORD = 0x7FF; // the eleven one bits before the packed word
constexpr uint32_t MP3_LAYER_III = 3;
constexpr uint32_t MP3_RESERVED_RATE_INDEX = 3;
constexpr uint32_t MP3_FORBIDDEN_BITRATE_INDEX = 15;
constexpr uint32_t MP3_MODE_SINGLE_CHANNEL = 3;

// Fields of the packed header word (tMPEGHeader::packed_info: the 21 bits after the sync
// word): the version bits (above), the layer bits (1 Layer III, 2 Layer II, 3 Layer I,
// 0 reserved), the protection bit (0: a CRC word follows the header), the bitrate index
// (0 free format, 15 forbidden), the sampling-frequency index (3 reserved), the padding
// bit, the mode (3 single channel) and the mode extension. The whole 32-bit header, first
// stream byte in bits 31..24, has them at the same places, so these take either.
constexpr uint32_t mp3_hdr_version_bits(uint32_t h) {
    return (h >> 19) & 3;
}
constexpr uint32_t mp3_hdr_layer_bits(uint32_t h) {
    return (h >> 17) & 3;
}
constexpr uint32_t mp3_hdr_protection_bit(uint32_t h) {
    return (h >> 16) & 1;
}
constexpr uint32_t mp3_hdr_bitrate_index(uint32_t h) {
    return (h >> 12) & 15;
}
constexpr uint32_t mp3_hdr_rate_index(uint32_t h) {
    return (h >> 10) & 3;
}
constexpr uint32_t mp3_hdr_padding(uint32_t h) {
    return (h >> 9) & 1;
}
constexpr uint32_t mp3_hdr_mode(uint32_t h) {
    return (h >> 6) & 3;
}
constexpr uint32_t mp3_hdr_mode_extension(uint32_t h) {
    return (h >> 4) & 3;
}
// The 32-bit header of four stream bytes, and whether it begins with the sync word.
constexpr uint32_t mp3_hdr_word(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
constexpr bool mp3_hdr_has_sync(uint32_t word) {
    return (word >> 21) == MP3_SYNC_WORD;
}

// The decoder's version for the header's version bits; the layer number (1..3, 0 for the
// reserved bits 00) for its layer bits.
constexpr uint32_t mp3_version_of_bits(uint32_t bits) {
    const uint32_t v = (bits & 3) ^ 2;
    return v & ~(v >> 1);
}
constexpr uint32_t mp3_layer_of_bits(uint32_t bits) {
    return (bits & 3) == 0 ? 0 : 4 - (bits & 3);
}

// Sampling rate in Hz by rate code (tMPEGHeader::sample_rate); 0 for the reserved codes.
constexpr int MP3_RATE_CODES = 12;
inline constexpr std::array<int32_t, MP3_RATE_CODES> MP3_RATE_CODE_HZ = {
    11025, 12000, 8000, 0, 22050, 24000, 16000, 0, 44100, 48000, 32000, 0,
};
constexpr int32_t mp3_rate_code(uint32_t version, uint32_t rate_index) {
    const uint32_t v = (version & 1) != 0 ? 2 : (version == MP3_VERSION_MPEG2 ? 1 : 0);
    return static_cast<int32_t>(4 * v + (rate_index & 3));
}
constexpr int32_t mp3_rate_code_hz(int32_t code) {
    return code >= 0 && code < MP3_RATE_CODES ? MP3_RATE_CODE_HZ[static_cast<size_t>(code)] : 0;
}
// Hz by the decoder's version and the sampling-frequency index; 0 for the reserved index.
constexpr int32_t mp3_sample_rate_hz(uint32_t version, uint32_t rate_index) {
    return rate_index > 3 ? 0 : mp3_rate_code_hz(mp3_rate_code(version, rate_index));
}

// Bitrates in kbit/s by [MPEG-1 ? 1 : 0][layer - 1][bitrate index 0..14]; index 0 is free
// format. MPEG-2.5 has the MPEG-2 rates.
constexpr int MP3_BITRATE_INDICES = 15;
inline constexpr std::array<std::array<std::array<int16_t, MP3_BITRATE_INDICES>, 3>, 2>
    MP3_BITRATE_KBPS = {{
        {{
            {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
            {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
            {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
        }},
        {{
            {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
            {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
            {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
        }},
    }};
// kbit/s by the decoder's version, the layer number and the bitrate index; 0 for free
// format and for values outside the table.
constexpr int32_t mp3_bitrate_kbps(uint32_t version, uint32_t layer, uint32_t index) {
    if (layer < 1 || layer > 3 || index >= MP3_BITRATE_INDICES) return 0;
    return MP3_BITRATE_KBPS[version & 1][layer - 1][index];
}
// The same for a packed header word (0 for the reserved layer bits).
constexpr int32_t mp3_hdr_bitrate_kbps(uint32_t h) {
    return mp3_bitrate_kbps(mp3_version_of_bits(mp3_hdr_version_bits(h)),
                            mp3_layer_of_bits(mp3_hdr_layer_bits(h)), mp3_hdr_bitrate_index(h));
}
// Hz for a packed header word, as the decoder reads it; 0 for the reserved index.
constexpr int32_t mp3_hdr_sample_rate_hz(uint32_t h) {
    return mp3_sample_rate_hz(mp3_version_of_bits(mp3_hdr_version_bits(h)), mp3_hdr_rate_index(h));
}

// PCM samples per channel: one granule, and one frame by the decoder's version and the layer
// number (Layer III unless given).
constexpr int MP3_GRANULE_SAMPLES = 576;
constexpr int32_t mp3_samples_per_frame(uint32_t version, uint32_t layer = MP3_LAYER_III) {
    if (layer == 1) return 384;
    return layer == 2 || (version & 1) != 0 ? 2 * MP3_GRANULE_SAMPLES : MP3_GRANULE_SAMPLES;
}

// ---- Header check and frame length ----
//
// What can be wrong with a 32-bit frame header, as bits of mp3_hdr_faults: no sync word;
// the reserved version bits 01 (the decoder takes them as MPEG-2.5, a stream check refuses
// them); the reserved layer bits 00, and any layer but III; bitrate index 15; sampling-
// frequency index 3. The emphasis bits are not looked at: streams with the reserved value
// exist, and nothing decoded depends on it.
constexpr uint32_t MP3_FAULT_NO_SYNC = 1u << 0;
constexpr uint32_t MP3_FAULT_RESERVED_VERSION = 1u << 1;
constexpr uint32_t MP3_FAULT_RESERVED_LAYER = 1u << 2;
constexpr uint32_t MP3_FAULT_NOT_LAYER_III = 1u << 3; // also set with the reserved layer
constexpr uint32_t MP3_FAULT_FORBIDDEN_BITRATE = 1u << 4;
constexpr uint32_t MP3_FAULT_RESERVED_RATE = 1u << 5;

// The faults of the whole 32-bit header `word` (first stream byte in bits 31..24); 0 for a
// valid Layer III header. Each caller refuses the faults it cannot take.
constexpr uint32_t mp3_hdr_faults(uint32_t word) {
    uint32_t faults = 0;
    if (!mp3_hdr_has_sync(word)) faults |= MP3_FAULT_NO_SYNC;
    if (mp3_hdr_version_bits(word) == 1) faults |= MP3_FAULT_RESERVED_VERSION;
    if (mp3_hdr_layer_bits(word) == 0) faults |= MP3_FAULT_RESERVED_LAYER;
    if (mp3_layer_of_bits(mp3_hdr_layer_bits(word)) != MP3_LAYER_III)
        faults |= MP3_FAULT_NOT_LAYER_III;
    if (mp3_hdr_bitrate_index(word) == MP3_FORBIDDEN_BITRATE_INDEX)
        faults |= MP3_FAULT_FORBIDDEN_BITRATE;
    if (mp3_hdr_rate_index(word) == MP3_RESERVED_RATE_INDEX) faults |= MP3_FAULT_RESERVED_RATE;
    return faults;
}

// Bits of stream that `samples` samples per channel take at the bitrate and rate of the
// header `h` (a packed word or the whole header): samples x bit/s / Hz, rounded down; 0 for
// free format and for a reserved rate, layer or bitrate. Every frame length and every
// byte position of a constant-bitrate stream comes from this rule. One frame fits in 32
// bits unsigned (at most 1152 x 448000); a count of frames wants int64_t, and from a second
// on is taken in whole seconds and the rest, so that hours of samples do not overflow.
template <typename Count> constexpr Count mp3_bits_of_samples(uint32_t h, Count samples) {
    const auto hz = static_cast<Count>(mp3_hdr_sample_rate_hz(h));
    const auto bits_per_second = static_cast<Count>(mp3_hdr_bitrate_kbps(h)) * 1000;
    if (hz == 0) return 0;
    if (samples < hz) return samples * bits_per_second / hz;
    return samples / hz * bits_per_second + samples % hz * bits_per_second / hz;
}

// Bytes of the frame whose header is `h`, its padding included: its samples' bits at its
// bitrate in whole slots (4 bytes in Layer I, else 1) and the padding slot. A free-format
// frame is `free_bytes` long (the stream's length without padding, as learned) with its
// padding, 0 while that is not known; 0 also for a reserved rate, layer or bitrate.
constexpr int32_t mp3_frame_bytes(uint32_t h, int32_t free_bytes = 0) {
    const auto padding = static_cast<int32_t>(mp3_hdr_padding(h));
    if (mp3_hdr_bitrate_index(h) == 0) return free_bytes > 0 ? free_bytes + padding : 0;
    const uint32_t layer = mp3_layer_of_bits(mp3_hdr_layer_bits(h));
    const auto samples = static_cast<uint32_t>(
        mp3_samples_per_frame(mp3_version_of_bits(mp3_hdr_version_bits(h)), layer));
    const uint32_t bits = mp3_bits_of_samples(h, samples);
    if (bits == 0) return 0;
    if (layer == 1) return (static_cast<int32_t>(bits / 32) + padding) * 4;
    return static_cast<int32_t>(bits / 8) + padding;
}

// Bits of a decoded header's frame after the header, for a caller that holds a frame whole
// before it is decoded: its length, or for free format while the stream's length is not
// known the longest the header allows (bits_required, whole bytes).
constexpr int64_t mp3_frame_data_bits(const tMPEGHeader& header, int32_t free_bytes) {
    const int32_t bytes = mp3_frame_bytes(header.packed_info, free_bytes);
    return bytes > 0 ? int64_t{8} * bytes - 32 : header.bits_required & ~7;
}

// Bytes of the frame header, and of the Layer III side information that follows it (and
// the CRC word, when there is one) by the decoder's version and the channel count.
constexpr int MP3_HEADER_BYTES = 4;
constexpr int32_t mp3_side_info_bytes(uint32_t version, uint32_t nch) {
    if ((version & 1) != 0) return nch == 1 ? 17 : 32;
    return nch == 1 ? 9 : 17;
}

// Main-data reservoir: a ring of this many bytes at the start of the instance.
constexpr int MP3_RESERVOIR_BYTES = 2048;

static_assert(sizeof(tMPEGInstance::reservoir) == MP3_RESERVOIR_BYTES);
static_assert(sizeof(tMPEGInstance::overlap) == 2 * MP3_GRANULE_SAMPLES * sizeof(int32_t));
static_assert(sizeof(tMPEGInstance::xr) == 2 * MP3_GRANULE_SAMPLES * sizeof(int32_t));
static_assert(sizeof(tMPEGInstance::reordered) == MP3_GRANULE_SAMPLES * sizeof(int32_t));
static_assert(sizeof(tMPEGStatus) == sizeof(int32_t));
static_assert(offsetof(tMPEGInstance, reservoir) == 0, "the reservoir walk relies on it");
static_assert(sizeof(tMPEGInstance::synth_buf) == 2 * 2048);
static_assert(offsetof(tMPEGInstance, xr) == offsetof(tMPEGInstance, work) + sizeof(int32_t) * 128);

constexpr int MP3_INSTANCE_ALIGN = 2048;
constexpr int MP3_MAX_SAMPLES = 2 * MP3_GRANULE_SAMPLES; // per channel and frame

// Input the caller must hold for MP3DecodeData. The decoder reads whole 32-bit words and
// never compares a read with the amount of valid data, so after MP3DecodeInfo has returned
// eNoErr every word holding one of the next R bytes after the position must lie inside the
// caller's array (the bytes need not be valid stream data, only readable):
//   - header with a bitrate index (free_format 0): R = bits_required / 8, the rest of the
//     frame; nothing past the frame is read;
//   - free format (free_format 1): R = MP3_FREE_FORMAT_READ_BYTES, since the first frame
//     of a free-format run is measured by looking for the next header up to 2881 bytes past
//     the side information, and a later frame may be that long.
// MP3SearchForSyncword reads only the words holding the nbits bits after the position,
// MP3DecodeInfo only the words holding the 32 header bits. A buffer of 2917 bytes plus
// 3 bytes for the position's offset within its word, i.e. 730 words counted from the word
// the position is in, satisfies every frame.
constexpr int MP3_FREE_FORMAT_READ_BYTES = 2917;
