// Frame sync search and the 32-bit frame header.
#include "bitreader.h"
#include "mp3dec.h"

namespace {

// A free-format frame's length assumes the rate of bitrate index 14 (the field at bits
// 15..12 of the packed word).
constexpr uint32_t FREE_FORMAT_BITRATE = 14u << 12;

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
    while ((acc & MP3_SYNC_WORD) != MP3_SYNC_WORD) {
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
    const uint32_t word = getbits(br, 32);
    const uint32_t faults = mp3_hdr_faults(word);
    if (faults & MP3_FAULT_NO_SYNC) return eNoSyncword;
    const uint32_t h = word & 0x1FFFFF; // the 21 bits after the sync word
    header->packed_info = h;
    inst->version = static_cast<uint8_t>(mp3_version_of_bits(mp3_hdr_version_bits(h)));
    inst->layer = static_cast<uint8_t>(mp3_hdr_layer_bits(h));
    inst->crc_present = static_cast<uint8_t>(1 - mp3_hdr_protection_bit(h));
    inst->bitrate_index = static_cast<uint8_t>(mp3_hdr_bitrate_index(h));
    inst->sampling_frequency = static_cast<uint8_t>(mp3_hdr_rate_index(h));
    inst->padding = static_cast<uint8_t>(mp3_hdr_padding(h));
    inst->mode = static_cast<uint8_t>(mp3_hdr_mode(h));
    inst->mode_extension = static_cast<uint8_t>(mp3_hdr_mode_extension(h));
    bitreader_store(br, bs);

    // The reserved version bits are not refused: they are decoded as MPEG-2.5.
    if (inst->bitrate_index != 0) inst->ff_state = 0;
    if (faults & MP3_FAULT_RESERVED_RATE) return eReservedSamplingFrequency;
    if (faults & MP3_FAULT_FORBIDDEN_BITRATE) return eForbiddenBitRate;
    inst->nch = inst->mode == MP3_MODE_SINGLE_CHANNEL ? 1 : 2;
    if (faults & MP3_FAULT_NOT_LAYER_III) return eUnsupportedLayer;

    const uint32_t samples = static_cast<uint32_t>(mp3_samples_per_frame(inst->version));
    const uint32_t bits =
        mp3_bits_of_samples(inst->bitrate_index != 0 ? h : h | FREE_FORMAT_BITRATE, samples);
    inst->frame_bits = static_cast<int32_t>(bits) - 32 + (inst->padding ? 8 : 0);

    header->numchans = inst->nch;
    header->samplesperchannel = static_cast<int32_t>(samples);
    header->sample_rate = mp3_rate_code(inst->version, inst->sampling_frequency);
    header->bits_required = inst->frame_bits;
    header->free_format = inst->bitrate_index == 0 ? 1 : 0;
    return eNoErr;
}
