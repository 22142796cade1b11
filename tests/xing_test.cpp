// Xing VBR headers: where the tag lies, which fields it carries, and the time and
// bitrate derived from them; the sampling rate of a decoded frame header and its debug text.
#include "mp3print.h"
#include "mp3rate.h"
#include "settings.h"
#include "xing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

std::string be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// 512 bytes: a frame header, zero side information, the tag at `at`, then `fields`.
std::string first_frame(const std::string& header, int at, const std::string& fields) {
    std::string b =
        header + std::string(static_cast<size_t>(at) - header.size(), '\0') + "Xing" + fields;
    b.resize(512, '\0');
    return b;
}

const std::string MPEG1_STEREO_44100("\xFF\xFB\x90\x64", 4);
const std::string MPEG1_STEREO_48000("\xFF\xFB\x94\x64", 4);
const std::string MPEG1_MONO_44100("\xFF\xFB\x90\xC4", 4);
const std::string MPEG2_MONO_22050("\xFF\xF3\x80\xC4", 4);
const std::string MPEG2_MONO_RESERVED("\xFF\xF3\x8C\xC4", 4);
const std::string MPEG2_STEREO_24000("\xFF\xF3\x84\x44", 4);
const std::string MPEG25_MONO_11025("\xFF\xE3\x40\xC4", 4);

int parse(const std::string& bytes, tXingHeader* h) {
    return xing_parse(reinterpret_cast<const uint8_t*>(bytes.data()),
                      static_cast<int>(bytes.size()), h);
}

// read_xing_header on a file holding `bytes`, from its start.
int read_from_file(const std::string& bytes, tXingHeader* h) {
    std::FILE* f = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fflush(f);
    lseek(fileno(f), 0, SEEK_SET);
    const int r = read_xing_header(fileno(f), h);
    std::fclose(f);
    return r;
}

TEST(Xing, CountsGiveTimeAndAverageBitrate) {
    tXingHeader h{};
    const std::string frame =
        first_frame(MPEG1_STEREO_44100, 36, be32(3) + be32(1000) + be32(400000));
    ASSERT_EQ(read_from_file(frame, &h), 1);
    EXPECT_EQ(h.mpeg1, 1);
    EXPECT_EQ(h.samplerate, 44100);
    EXPECT_EQ(h.flags, 3);
    EXPECT_EQ(h.frames, 1000);
    EXPECT_EQ(h.bytes, 400000);
    EXPECT_EQ(h.vbr_scale, -1);
    // 1000 / 38.28125 = 26.12 -> 26; 3,200,000 / 26 = 123076.9 -> 123076
    EXPECT_EQ(xing_track_seconds(&h), 26);
    EXPECT_EQ(xing_average_bitrate(&h), 123076);
    EXPECT_EQ(xing_samplerate(&h), 44100);
}

TEST(Xing, TagOffsetFollowsVersionAndMode) {
    tXingHeader h{};
    // Single-channel MPEG-1: 17 bytes of side information.
    EXPECT_EQ(parse(first_frame(MPEG1_MONO_44100, 21, be32(1) + be32(5)), &h), 1);
    EXPECT_EQ(h.frames, 5);
    EXPECT_EQ(parse(first_frame(MPEG1_MONO_44100, 36, be32(1) + be32(5)), &h), 0);
    EXPECT_EQ(h.flags, 0);
    // MPEG-2: 17 bytes for two channels, 9 for one.
    EXPECT_EQ(parse(first_frame(MPEG2_STEREO_24000, 21, be32(1) + be32(5)), &h), 1);
    EXPECT_EQ(h.samplerate, 24000);
    EXPECT_EQ(h.mpeg1, 0);
    EXPECT_EQ(parse(first_frame(MPEG2_MONO_22050, 13, be32(1) + be32(5)), &h), 1);
    EXPECT_EQ(h.samplerate, 22050);
    EXPECT_EQ(parse(first_frame(MPEG2_MONO_RESERVED, 13, be32(1) + be32(5)), &h), 1);
    EXPECT_EQ(h.samplerate, 49999);
    // A tag anywhere else is not looked for.
    EXPECT_EQ(parse(first_frame(MPEG1_STEREO_44100, 40, be32(3)), &h), 0);
}

TEST(Xing, OptionalFieldsFollowEachOtherWithoutGaps) {
    tXingHeader h{};
    std::string toc;
    for (int i = 0; i < 100; i++)
        toc += static_cast<char>(2 * i + 1);
    ASSERT_EQ(parse(first_frame(MPEG1_STEREO_44100, 36,
                                be32(0x0F) + be32(7) + be32(9000) + toc + be32(77)),
                    &h),
              1);
    EXPECT_EQ(h.frames, 7);
    EXPECT_EQ(h.bytes, 9000);
    EXPECT_EQ(h.toc[0], 1);
    EXPECT_EQ(h.toc[99], 199);
    EXPECT_EQ(h.vbr_scale, 77);

    ASSERT_EQ(
        parse(first_frame(MPEG1_STEREO_44100, 36, be32(0x0B) + be32(7) + be32(9000) + be32(55)),
              &h),
        1);
    EXPECT_EQ(h.vbr_scale, 55);
    ASSERT_EQ(parse(first_frame(MPEG1_STEREO_44100, 36, be32(0x0A) + be32(9000) + be32(33)), &h),
              1);
    EXPECT_EQ(h.bytes, 9000);
    EXPECT_EQ(h.frames, 0);
    EXPECT_EQ(h.vbr_scale, 33);
}

TEST(Xing, UnusableHeadersAreNotReported) {
    tXingHeader h{};
    // Neither count: found, but of no use.
    const std::string no_counts = first_frame(MPEG1_STEREO_44100, 36, be32(0x0C));
    ASSERT_EQ(parse(no_counts, &h), 1);
    debug = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_from_file(no_counts, &h), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "stupid useless Xing header\n");
    debug = 0;
    // Shorter than 512 bytes.
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_from_file(no_counts.substr(0, 200), &h), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "read_xing_header(): No data available\n");
    // A buffer too short for its fields leaves them out instead of reading past it.
    const std::string cut = first_frame(MPEG1_STEREO_44100, 36, be32(3) + be32(1000));
    ASSERT_EQ(parse(cut.substr(0, 36 + 12), &h), 1);
    EXPECT_EQ(h.frames, 1000);
    EXPECT_EQ(h.bytes, 0);
}

TEST(Xing, MissingCountsAndShortTracksDoNotDivideByZero) {
    tXingHeader h{};
    // Only a frame count: a time, but no bitrate.
    ASSERT_EQ(read_from_file(first_frame(MPEG1_STEREO_44100, 36, be32(1) + be32(1000)), &h), 1);
    EXPECT_EQ(xing_track_seconds(&h), 26);
    EXPECT_EQ(xing_average_bitrate(&h), 0);
    // Only a byte count: neither.
    ASSERT_EQ(read_from_file(first_frame(MPEG1_STEREO_44100, 36, be32(2) + be32(400000)), &h), 1);
    EXPECT_EQ(xing_track_seconds(&h), 0);
    EXPECT_EQ(xing_average_bitrate(&h), 0);
    // 20 frames: 0.52 s. 64,000 bits / (20 * 1152 / 44100 s) = 122500 bit/s.
    ASSERT_EQ(parse(first_frame(MPEG1_STEREO_44100, 36, be32(3) + be32(20) + be32(8000)), &h), 1);
    EXPECT_EQ(xing_track_seconds(&h), 0);
    EXPECT_EQ(xing_average_bitrate(&h), 122500);
    // Zero counts.
    ASSERT_EQ(parse(first_frame(MPEG1_STEREO_44100, 36, be32(3) + be32(0) + be32(0)), &h), 1);
    EXPECT_EQ(xing_track_seconds(&h), 0);
    EXPECT_EQ(xing_average_bitrate(&h), 0);
}

TEST(Xing, LargeFilesDoNotOverflowTheBitCount) {
    tXingHeader h{};
    // 300,000,000 bytes are 2.4e9 bits, past 32-bit range. 1,000,000 frames: 26122 s;
    // 2.4e9 / 26122 = 91876.6 -> 91876.
    ASSERT_EQ(
        parse(first_frame(MPEG1_STEREO_44100, 36, be32(3) + be32(1000000) + be32(300000000)), &h),
        1);
    EXPECT_EQ(xing_track_seconds(&h), 26122);
    EXPECT_EQ(xing_average_bitrate(&h), 91876);
    // Absurd counts give the largest bitrate, not an overflow.
    ASSERT_EQ(parse(first_frame(MPEG1_STEREO_44100, 36, be32(3) + be32(1) + be32(0x7FFFFFFF)), &h),
              1);
    EXPECT_EQ(xing_average_bitrate(&h), INT32_MAX);
    ASSERT_EQ(parse(first_frame(MPEG1_STEREO_44100, 36, be32(3) + be32(40) + be32(0x7FFFFFFF)), &h),
              1);
    EXPECT_EQ(xing_average_bitrate(&h), INT32_MAX);
    // Negative counts are no counts.
    ASSERT_EQ(
        parse(first_frame(MPEG1_STEREO_44100, 36, be32(3) + be32(0x80000000u) + be32(1000)), &h),
        1);
    EXPECT_EQ(xing_track_seconds(&h), 0);
    EXPECT_EQ(xing_average_bitrate(&h), 0);
}

TEST(Xing, TimeFollowsTheStreamsOwnFrameDuration) {
    tXingHeader h{};
    // 48000 Hz: 1000 frames of 1152 samples are 24 s, not 26.
    ASSERT_EQ(parse(first_frame(MPEG1_STEREO_48000, 36, be32(3) + be32(1000) + be32(480000)), &h),
              1);
    EXPECT_EQ(h.samplerate, 48000);
    EXPECT_EQ(xing_track_seconds(&h), 24);
    EXPECT_EQ(xing_average_bitrate(&h), 160000); // 3,840,000 / 24
    // MPEG-2.5 at 11025 Hz: the record keeps the rate the version bit alone gives, 22050,
    // but the stream plays at 11025 Hz, 576 samples a frame: 1000 frames are 52.2 s.
    ASSERT_EQ(parse(first_frame(MPEG25_MONO_11025, 13, be32(3) + be32(1000) + be32(104000)), &h),
              1);
    EXPECT_EQ(h.mpeg1, 0);
    EXPECT_EQ(h.samplerate, 22050);
    EXPECT_EQ(xing_samplerate(&h), 11025);
    EXPECT_EQ(xing_track_seconds(&h), 52);
    EXPECT_EQ(xing_average_bitrate(&h), 16000); // 832,000 / 52
    // MPEG-2 at 22050 Hz: 576 samples at 22050 Hz last as long as 1152 at 44100 Hz.
    ASSERT_EQ(parse(first_frame(MPEG2_MONO_22050, 13, be32(3) + be32(1000) + be32(104000)), &h), 1);
    EXPECT_EQ(xing_samplerate(&h), 22050);
    EXPECT_EQ(xing_track_seconds(&h), 26);
}

TEST(SampleRate, CodesAndTheReservedFallback) {
    const int hz[12] = {11025, 12000, 8000, 0, 22050, 24000, 16000, 0, 44100, 48000, 32000, 0};
    for (int code = 0; code < 12; code++) {
        tMPEGHeader h{};
        h.sample_rate = code;
        h.samplesperchannel = code >= 8 ? 1152 : 576;
        const int fallback = code >= 8 ? 44100 : 22050; // samples * 1225 / 32
        EXPECT_EQ(MP3SampleRate(&h), hz[code] != 0 ? hz[code] : fallback) << code;
    }
}

TEST(DecoderPrint, StatusColumnsRateNamesAndBitsAtAnyLevel) {
    tMPEGHeader h{7, 576, 1, 0x1FFFFF, 544, 0};
    testing::internal::CaptureStdout();
    debug = 3;
    EXPECT_EQ(MP3PrintStatus(4), 4);
    MP3PrintStatus(-1);
    MP3PrintHeader(&h);
    debug = 0;
    EXPECT_EQ(MP3PrintStatus(9), 9);
    MP3PrintHeader(&h);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "eEndOfBitstram:             (End of file condition.  Not a problem).\n"
              "??????????:                 (Undefined error value).\n"
              "MP3PrintHeader:\n        sample_rate       = ReservedLSF\n"
              "        samplesperchannel = 576\n        numchans          = 1\n"
              "        packed_info       = 111111111111111111111\n"
              "        bits_required     = 544\n        free_format       = 0\n"
              "111111111111111111111");
}

} // namespace
