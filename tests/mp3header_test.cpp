// Frame sync search and header decoding on hand-made input words.
#include "mp3dec.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

class FrameHeader : public testing::Test {
  protected:
    void SetUp() override {
        std::memset(&inst, 0, sizeof inst);
        MP3InitInstance(&inst);
        words.fill(0);
        bs = {words.data(), 0};
    }
    void put(size_t i, uint32_t w) { words[i] = w; }
    // Bits from the start of the input to the position (word end and next word's start
    // are the same position).
    long position() const { return (bs.bufptr - words.data()) * 32L + bs.bitidx; }

    tMPEGInstance inst;
    std::array<uint32_t, 16> words;
    tMPEGBitstream bs;
    tMPEGHeader h{};
};

TEST_F(FrameHeader, Mpeg1At128kJointStereo) {
    put(0, 0xFFFB9064u);
    ASSERT_EQ(MP3DecodeInfo(&inst, &bs, &h), eNoErr);
    EXPECT_EQ(h.sample_rate, 8);
    EXPECT_EQ(h.samplesperchannel, 1152);
    EXPECT_EQ(h.numchans, 2);
    EXPECT_EQ(h.bits_required, 3311);
    EXPECT_EQ(h.free_format, 0);
    EXPECT_EQ(h.packed_info, 0xFFFB9064u & 0x1FFFFFu);
    EXPECT_EQ(inst.version, 1);
    EXPECT_EQ(inst.mode, 1);
    EXPECT_EQ(inst.crc_present, 0);
    EXPECT_EQ(position(), 32);
}

// Every header check and frame length against values worked out by hand from the
// standards' tables: bytes = samples / 8 x bit/s / Hz rounded down, + the padding byte
// (Layer I: 4-byte slots, 12 x bit/s / Hz); the decoder's bits_required = samples x bit/s /
// Hz rounded down - 32, + 8 with padding. Its refusals come in the order rate, bitrate,
// layer; a refused header leaves the position after it, a missing sync word where it was.
TEST_F(FrameHeader, ChecksAndLengths) {
    constexpr uint32_t NOT_III = MP3_FAULT_NOT_LAYER_III;
    struct Case {
        uint32_t word;
        uint32_t faults;
        int32_t bytes;
        tMPEGStatus status;
        int32_t bits_required; // -1: not given
    };
    const Case cases[] = {
        // MPEG-1 Layer III, 128 kbit/s, 44100 Hz: 417.96 bytes, 3343.67 bits.
        {0xFFFB9064u, 0, 417, eNoErr, 3311},
        {0xFFFB9264u, 0, 418, eNoErr, 3319}, // padded
        {0xFFFB9066u, 0, 417, eNoErr, 3311}, // reserved emphasis: taken, as decoders do
        {0xFFFBE464u, 0, 960, eNoErr, 7648}, // 320 kbit/s, 48000 Hz: 144 x 320000 / 48000
        // MPEG-2: 64 kbit/s at 22050 Hz, 72 x 64000 / 22050 = 208.98; 160 kbit/s at 24000
        // Hz padded, 480 + 1.
        {0xFFF38064u, 0, 208, eNoErr, 1639},
        {0xFFF3E664u, 0, 481, eNoErr, 3816},
        // MPEG-2.5: 8 kbit/s at 8000 Hz, 72; 80 kbit/s at 12000 Hz, 480.
        {0xFFE31864u, 0, 72, eNoErr, 544},
        {0xFFE39464u, 0, 480, eNoErr, 3808},
        // Version bits 01: refused by a stream check, decoded as MPEG-2.5 (80 kbit/s at
        // 11025 Hz: 522.45 bytes, 4179.59 bits).
        {0xFFEB9064u, MP3_FAULT_RESERVED_VERSION, 522, eNoErr, 4147},
        // Layer I at 128 kbit/s and 44100 Hz: 34 slots (34.83), 35 padded.
        {0xFFFF4064u, NOT_III, 136, eUnsupportedLayer, -1},
        {0xFFFF4264u, NOT_III, 140, eUnsupportedLayer, -1},
        // Layer II: MPEG-1 384 kbit/s at 32000 Hz padded, 1728 + 1; MPEG-2 64 kbit/s at
        // 22050 Hz has 1152 samples, unlike Layer III: 144 x 64000 / 22050 = 417.96.
        {0xFFFDEA64u, NOT_III, 1729, eUnsupportedLayer, -1},
        {0xFFF58064u, NOT_III, 417, eUnsupportedLayer, -1},
        // Free format: no length of its own; the decoder assumes the rate of index 14
        // (1152 x 320000 / 44100 = 8359.18 bits; at 32000 Hz 11520, padded + 8).
        {0xFFFB0064u, 0, 0, eNoErr, 8327},
        {0xFFFB0A64u, 0, 0, eNoErr, 11496},
        // Refused.
        {0xFFF99064u, MP3_FAULT_RESERVED_LAYER | NOT_III, 0, eUnsupportedLayer, -1},
        {0xFFFBF064u, MP3_FAULT_FORBIDDEN_BITRATE, 0, eForbiddenBitRate, -1},
        {0xFFFB9C64u, MP3_FAULT_RESERVED_RATE, 0, eReservedSamplingFrequency, -1},
        {0xFFFBFC64u, MP3_FAULT_FORBIDDEN_BITRATE | MP3_FAULT_RESERVED_RATE, 0,
         eReservedSamplingFrequency, -1},
        {0x7FFB9064u, MP3_FAULT_NO_SYNC, -1, eNoSyncword, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.word);
        EXPECT_EQ(mp3_hdr_faults(c.word), c.faults);
        if (c.bytes >= 0) {
            EXPECT_EQ(mp3_frame_bytes(c.word), c.bytes);
        }
        SetUp();
        put(0, c.word);
        EXPECT_EQ(MP3DecodeInfo(&inst, &bs, &h), c.status);
        EXPECT_EQ(position(), c.status == eNoSyncword ? 0 : 32);
        if (c.bits_required >= 0) {
            EXPECT_EQ(h.bits_required, c.bits_required);
            EXPECT_EQ(h.free_format, mp3_hdr_bitrate_index(c.word) == 0 ? 1 : 0);
        }
        // A layer refused after the channel count was set; nothing set without a sync word.
        EXPECT_EQ(inst.nch, c.status == eNoErr || c.status == eUnsupportedLayer ? 2 : 0);
        EXPECT_EQ(h.numchans, c.status == eNoErr ? 2 : 0);
    }
    // The reserved version bits are read as MPEG-2.5.
    SetUp();
    put(0, 0xFFEB1000u);
    ASSERT_EQ(MP3DecodeInfo(&inst, &bs, &h), eNoErr);
    EXPECT_EQ(inst.version, MP3_VERSION_MPEG25);
    EXPECT_EQ(h.sample_rate, 0);
}

// A free-format frame is as long as the stream has shown (300 bytes here) with its
// padding; until then a caller that holds frames whole waits for the longest the header
// allows. Other frames: their length after the header, in whole bytes (3311 -> 3304).
TEST_F(FrameHeader, FreeFormatLengthAndDataBits) {
    struct Case {
        uint32_t word;
        int32_t free_bytes, bytes;
        int64_t data_bits;
    };
    const Case cases[] = {
        {0xFFFB0064u, 0, 0, 8320},
        {0xFFFB0064u, 300, 300, 2368},
        {0xFFFB0264u, 300, 301, 2376},
        {0xFFFB9064u, 300, 417, 3304},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.word << std::dec << " " << c.free_bytes);
        EXPECT_EQ(mp3_frame_bytes(c.word, c.free_bytes), c.bytes);
        SetUp();
        put(0, c.word);
        ASSERT_EQ(MP3DecodeInfo(&inst, &bs, &h), eNoErr);
        EXPECT_EQ(mp3_frame_data_bits(h, c.free_bytes), c.data_bits);
    }
}

// The rule over a count of samples, as a constant-bitrate seek takes it: exact where the
// plain product would overflow 64 bits.
TEST(StreamTables, BitsOfSamples) {
    EXPECT_EQ(mp3_bits_of_samples(0xFFFB9064u, 1152u), 3343u); // 3343.67
    // 1000 frames at 128 kbit/s and 44100 Hz: 417959.18 bytes.
    EXPECT_EQ(mp3_bits_of_samples(0xFFFB9064u, int64_t{1152000}) / 8, 417959);
    // 2^30 s at 320 kbit/s and 48000 Hz: 2^30 x 320000 bits.
    EXPECT_EQ(mp3_bits_of_samples(0xFFFBE464u, (int64_t{1} << 30) * 48000),
              (int64_t{1} << 30) * 320000);
    EXPECT_EQ(mp3_bits_of_samples(0xFFFB0064u, int64_t{1152}), 0); // free format
    EXPECT_EQ(mp3_bits_of_samples(0xFFFB9C64u, int64_t{1152}), 0); // reserved rate
}

TEST_F(FrameHeader, SearchFindsByteAlignedSyncWords) {
    put(1, 0x00FFE000u); // sync word starting in byte 1 of word 1
    ASSERT_EQ(MP3SearchForSyncword(&inst, &bs, 16 * 32), eNoErr);
    EXPECT_EQ(position(), 40);
}

TEST_F(FrameHeader, SearchStartsAtTheNextByteBoundary) {
    put(0, 0x0FFE0000u); // eleven ones starting at bit 4: not on a byte boundary
    bs.bitidx = 3;
    EXPECT_EQ(MP3SearchForSyncword(&inst, &bs, 64), eNoSyncword);
}

TEST_F(FrameHeader, FailedSearchResumesOnTheLastWindow) {
    put(0, 0x000000FFu);
    put(1, 0xE0000000u); // sync word straddles the end of the first word
    // With only 32 bits to look at the search fails ...
    EXPECT_EQ(MP3SearchForSyncword(&inst, &bs, 32), eNoSyncword);
    // ... and leaves the position 11 bits before the last bit read,
    EXPECT_EQ(position(), 16);
    // so that with more data the straddling word is found.
    EXPECT_EQ(MP3SearchForSyncword(&inst, &bs, 64), eNoErr);
    EXPECT_EQ(position(), 24);
}

TEST_F(FrameHeader, SearchWithTooFewBitsStopsOnTheBoundary) {
    bs.bitidx = 4;
    EXPECT_EQ(MP3SearchForSyncword(&inst, &bs, 14), eNoSyncword);
    EXPECT_EQ(position(), 8);
}

// The stream tables of mp3dec.h against the standards' values: the ends of every bitrate
// table, a rate of each version, and the fields of FF FB 90 64.
TEST(StreamTables, RatesBitratesFieldsAndNames) {
    EXPECT_EQ(mp3_sample_rate_hz(MP3_VERSION_MPEG1, 1), 48000);
    EXPECT_EQ(mp3_sample_rate_hz(MP3_VERSION_MPEG2, 2), 16000);
    EXPECT_EQ(mp3_sample_rate_hz(MP3_VERSION_MPEG25, 0), 11025);
    EXPECT_EQ(mp3_sample_rate_hz(MP3_VERSION_MPEG1, 3), 0);
    const int32_t ends[2][3][2] = {{{32, 256}, {8, 160}, {8, 160}},
                                   {{32, 448}, {32, 384}, {32, 320}}};
    for (uint32_t v : {MP3_VERSION_MPEG2, MP3_VERSION_MPEG1, MP3_VERSION_MPEG25})
        for (uint32_t layer = 1; layer <= 3; ++layer) {
            EXPECT_EQ(mp3_bitrate_kbps(v, layer, 1), ends[v & 1][layer - 1][0]) << v << layer;
            EXPECT_EQ(mp3_bitrate_kbps(v, layer, 14), ends[v & 1][layer - 1][1]) << v << layer;
        }
    constexpr uint8_t bytes[4] = {0xFF, 0xFB, 0x90, 0x64};
    const uint32_t h = mp3_hdr_word(bytes);
    EXPECT_TRUE(mp3_hdr_has_sync(h));
    EXPECT_EQ(mp3_hdr_bitrate_kbps(h), 128);
    EXPECT_EQ(mp3_hdr_sample_rate_hz(h), 44100);
    EXPECT_EQ(mp3_layer_of_bits(mp3_hdr_layer_bits(h)), 3u);
    EXPECT_EQ(mp3_hdr_protection_bit(h), 1u); // no CRC word
    EXPECT_EQ(mp3_hdr_mode(h), 1u);           // joint stereo
    EXPECT_EQ(mp3_hdr_mode_extension(h), 2u);
    EXPECT_STREQ(mp3_status_name(eForbiddenBitRate), "eForbiddenBitRate");
    EXPECT_EQ(mp3_status_name(MP3_STATUS_COUNT), nullptr);
}

} // namespace
