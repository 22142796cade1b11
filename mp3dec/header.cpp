// Frame sync search and the 32-bit frame header.
#include "bitreader.h"
#include "mp3dec.h"

#include <array>

namespace {

constexpr uint32_t SYNC_WORD = 0x7FF; // 2047: eleven one bits

// Hz, by version (0 MPEG-2, 1 MPEG-1, 2 MPEG-2.5) and sampling-frequency index.
constexpr std::array<std::array<uint32_t, 4>, 3> frequency_hz = {{
    {22050, 24000, 16000, 0},
    {44100, 48000, 32000, 0},
    {11025, 12000, 8000, 0},
}};

// Layer III bitrates in units of 2 kbit/s, by (version & 1) and bitrate index 0..14.
constexpr std::array<std::array<uint32_t, 15>, 2> bitrate_2k = {{
    {0, 4, 8, 12, 16, 20, 24, 28, 32, 40, 48, 56, 64, 72, 80},
    {0, 16, 20, 24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160},
}};

constexpr uint32_t FREE_FORMAT_INDEX = 14; // a free-format frame's length assumes this rate

} // namespace

tMPEGStatus MP3SearchForSyncword(tMPEGInstance*, tMPEGBitstream* bs, int32_t nbits) {
    tBitReader br = bitreader_load(bs);
    const int32_t a = (32 - br.bits_left) % 8;
    if (a != 0) {
        skipbits(br, 8 - a);
        nbits -= 8 - a;
    }
    nbits -= 11;
    if (nbits < 0) {
        bitreader_store(br, bs);
        return eNoSyncword;
    }
    uint32_t acc = getbits(br, 11);
    bool found = true;
    while ((acc & SYNC_WORD) != SYNC_WORD) {
        nbits -= 8;
        if (nbits < 0) {
            found = false;
            break;
        }
        acc = (acc << 8) | getbits(br, 8);
    }
    skipbits(br, -11);
    bitreader_store(br, bs);
    return found ? eNoErr : eNoSyncword;
}

tMPEGStatus MP3DecodeInfo(tMPEGInstance* inst, tMPEGBitstream* bs, tMPEGHeader* header) {
    header->samplesperchannel = 0;
    header->numchans = 0;
    tBitReader br = bitreader_load(bs);
    if (getbits(br, 11) != SYNC_WORD) return eNoSyncword;
    const uint32_t h = getbits(br, 21);
    header->packed_info = h;
    const uint32_t v = (h >> 19) ^ 2;
    inst->version = static_cast<uint8_t>(v & ~(v >> 1));
    inst->layer = static_cast<uint8_t>((h >> 17) & 3);
    inst->crc_present = static_cast<uint8_t>(1 - ((h >> 16) & 1));
    inst->bitrate_index = static_cast<uint8_t>((h >> 12) & 15);
    inst->sampling_frequency = static_cast<uint8_t>((h >> 10) & 3);
    inst->padding = static_cast<uint8_t>((h >> 9) & 1);
    inst->mode = static_cast<uint8_t>((h >> 6) & 3);
    inst->mode_extension = static_cast<uint8_t>((h >> 4) & 3);
    bitreader_store(br, bs);

    if (inst->bitrate_index != 0) inst->ff_state = 0;
    if (inst->sampling_frequency == 3) return eReservedSamplingFrequency;
    if (inst->bitrate_index == 15) return eForbiddenBitRate;
    inst->nch = inst->mode == 3 ? 1 : 2;
    if (inst->layer != 1) return eUnsupportedLayer;

    const uint32_t samples = (inst->version & 1) != 0 ? 1152 : 576;
    const uint32_t index = inst->bitrate_index != 0 ? inst->bitrate_index : FREE_FORMAT_INDEX;
    const uint32_t b = bitrate_2k[inst->version & 1][index];
    const uint32_t f = frequency_hz[inst->version][inst->sampling_frequency];
    inst->frame_bits = static_cast<int32_t>(samples * b * 2000 / f) - 32 + (inst->padding ? 8 : 0);

    header->numchans = inst->nch;
    header->samplesperchannel = static_cast<int32_t>(samples);
    const int32_t v4 = (inst->version & 1) != 0 ? 2 : (inst->version == 0 ? 1 : 0);
    header->sample_rate = inst->sampling_frequency + 4 * v4;
    header->bits_required = inst->frame_bits;
    header->free_format = inst->bitrate_index == 0 ? 1 : 0;
    return eNoErr;
}
