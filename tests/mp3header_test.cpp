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

TEST_F(FrameHeader, FrameLengths) {
    // Free format, MPEG-1 at 32000 Hz: the length of index 14 (320 kbit/s).
    put(0, 0xFFFB0800u);
    ASSERT_EQ(MP3DecodeInfo(&inst, &bs, &h), eNoErr);
    EXPECT_EQ(h.bits_required, 11488);
    EXPECT_EQ(h.free_format, 1);
    bs = {words.data(), 0};
    put(0, 0xFFFB0A00u); // with padding
    ASSERT_EQ(MP3DecodeInfo(&inst, &bs, &h), eNoErr);
    EXPECT_EQ(h.bits_required, 11496);
    // MPEG-2.5 at 8000 Hz and 8 kbit/s: 576 * 4 * 2000 / 8000 - 32 = 544.
    bs = {words.data(), 0};
    put(0, 0xFFE31800u);
    ASSERT_EQ(MP3DecodeInfo(&inst, &bs, &h), eNoErr);
    EXPECT_EQ(h.bits_required, 544);
    EXPECT_EQ(h.sample_rate, 2);
    EXPECT_EQ(h.samplesperchannel, 576);
    // Version bits 01 are taken as MPEG-2.5.
    bs = {words.data(), 0};
    put(0, 0xFFEB1000u);
    ASSERT_EQ(MP3DecodeInfo(&inst, &bs, &h), eNoErr);
    EXPECT_EQ(inst.version, 2);
    EXPECT_EQ(h.sample_rate, 0);
}

TEST_F(FrameHeader, RefusedHeadersInCheckingOrder) {
    put(0, 0xFFFB9C64u); // frequency index 3
    EXPECT_EQ(MP3DecodeInfo(&inst, &bs, &h), eReservedSamplingFrequency);
    EXPECT_EQ(position(), 32);
    bs = {words.data(), 0};
    put(0, 0xFFFBFC64u); // index 3 and bitrate 15: the frequency is checked first
    EXPECT_EQ(MP3DecodeInfo(&inst, &bs, &h), eReservedSamplingFrequency);
    bs = {words.data(), 0};
    put(0, 0xFFFBF064u);
    EXPECT_EQ(MP3DecodeInfo(&inst, &bs, &h), eForbiddenBitRate);
    bs = {words.data(), 0};
    put(0, 0xFFFD9064u); // Layer II
    EXPECT_EQ(MP3DecodeInfo(&inst, &bs, &h), eUnsupportedLayer);
    EXPECT_EQ(inst.nch, 2);
    bs = {words.data(), 0};
    put(0, 0x7FFB9064u); // not a sync word: nothing moves
    EXPECT_EQ(MP3DecodeInfo(&inst, &bs, &h), eNoSyncword);
    EXPECT_EQ(position(), 0);
    EXPECT_EQ(h.samplesperchannel, 0);
    EXPECT_EQ(h.numchans, 0);
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
