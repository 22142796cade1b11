// Frame headers of every layer and the run of frames that confirms a stream.
#include "mpegsync.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A frame of `length` bytes: the header, then bytes that hold no sync word.
Bytes frame(uint8_t b1, uint8_t b2, size_t length) {
    Bytes f(length, 0x55);
    f[0] = 0xFF;
    f[1] = b1;
    f[2] = b2;
    f[3] = 0x64;
    return f;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

int32_t confirm(const Bytes& b, bool ends, tFrameRun* run) {
    return mpeg_confirm_run(std::span<const uint8_t>(b), ends, run);
}

// The run test takes a header of any layer, so that a Layer I or II stream is told apart
// from noise, but not the reserved version the decoder would take. (The checks and lengths
// themselves are the decoder header's, tested with it.)
TEST(MpegSync, HeadersOfEveryLayer) {
    struct Case {
        uint8_t b1, b2;
        int32_t layer, rate, length;
    };
    const Case cases[] = {
        {0xFB, 0x92, 3, 44100, 418},
        {0xFD, 0xEA, 2, 32000, 1729},
        {0xFF, 0x40, 1, 44100, 136},
        {0xFB, 0x04, 3, 48000, 0},
    };
    for (const Case& c : cases) {
        tFrameInfo info{};
        const Bytes h = {0xFF, c.b1, c.b2, 0x00};
        ASSERT_TRUE(mpeg_frame_header(h, &info)) << std::hex << int{c.b1} << " " << int{c.b2};
        EXPECT_EQ(info.layer, c.layer);
        EXPECT_EQ(info.rate, c.rate);
        EXPECT_EQ(info.length, c.length) << std::hex << int{c.b1} << " " << int{c.b2};
    }
    // Reserved version, reserved layer, bitrate index 15, rate index 3, no sync word, too short.
    for (const Bytes& h :
         {Bytes{0xFF, 0xEB, 0x90, 0}, Bytes{0xFF, 0xF9, 0x90, 0}, Bytes{0xFF, 0xFB, 0xF0, 0},
          Bytes{0xFF, 0xFB, 0x9C, 0}, Bytes{0xFE, 0xFB, 0x90, 0}, Bytes{0xFF, 0xFB, 0x90}}) {
        tFrameInfo info{};
        EXPECT_FALSE(mpeg_frame_header(h, &info));
    }
}

TEST(MpegSync, RunsOfFrames) {
    const Bytes f = frame(0xFB, 0x90, 417);
    const Bytes other_rate = frame(0xFB, 0x94, 417); // 48000 Hz
    tFrameRun run{};
    EXPECT_EQ(confirm(f + f + f, false, &run), MPEG_RUN_FOUND);
    EXPECT_EQ(run.first.layer, 3);
    // The third header is enough; the frames need not be whole.
    EXPECT_EQ(confirm(f + f + Bytes{0xFF, 0xFB, 0x90, 0x64}, false, &run), MPEG_RUN_FOUND);
    EXPECT_EQ(confirm(f + f + Bytes{0xFF, 0xFB}, false, &run), MPEG_RUN_MORE);
    EXPECT_EQ(confirm(f + f + Bytes{0xFF, 0xFB}, true, &run), MPEG_RUN_NONE);
    EXPECT_EQ(confirm(f + other_rate + f, false, &run), MPEG_RUN_NONE);
    EXPECT_EQ(confirm(f + Bytes(417, 0) + f, false, &run), MPEG_RUN_NONE);
    // The end of the stream, or a tag, stands for the headers still missing.
    EXPECT_EQ(confirm(f + f, true, &run), MPEG_RUN_FOUND);
    const Bytes tag = {'T', 'A', 'G', 'x'};
    EXPECT_EQ(confirm(f + tag, false, &run), MPEG_RUN_FOUND);
    EXPECT_EQ(confirm(f + Bytes(3, 0), true, &run), MPEG_RUN_NONE);
    // The reserved emphasis value does not keep a stream from being found.
    Bytes emphasis = f;
    emphasis[3] = 0x66;
    EXPECT_EQ(confirm(emphasis + emphasis + emphasis, false, &run), MPEG_RUN_FOUND);
}

TEST(MpegSync, FreeFormatRunsMeasureTheirLength) {
    // 44100 Hz free format, frames of 300 bytes, the second one padded to 301.
    const Bytes f = frame(0xFB, 0x00, 300), padded = frame(0xFB, 0x02, 301);
    tFrameRun run{};
    EXPECT_EQ(confirm(f + padded + f, false, &run), MPEG_RUN_FOUND);
    EXPECT_EQ(run.free_length, 300);
    EXPECT_EQ(confirm(f + padded, true, &run), MPEG_RUN_FOUND);
    EXPECT_EQ(run.free_length, 300);
    // A header that is the last thing in the stream gives no length.
    EXPECT_EQ(confirm(f, true, &run), MPEG_RUN_NONE);
    // A second header at a distance the third does not repeat.
    EXPECT_EQ(confirm(f + padded + Bytes(50, 0x55) + f, true, &run), MPEG_RUN_NONE);
}

TEST(MpegSync, FrameDueWhereTheLastOneEnds) {
    const Bytes h = {0xFF, 0xFB, 0x90, 0x64}, other = {0xFF, 0xFA, 0x94, 0x64};
    tStreamSync sync{};
    EXPECT_FALSE(mpeg_sync_due(sync, 0, h));
    mpeg_sync_take(sync, 1000, h, 0);
    EXPECT_TRUE(mpeg_sync_due(sync, 1417, h));
    EXPECT_FALSE(mpeg_sync_due(sync, 1416, h));
    EXPECT_FALSE(mpeg_sync_due(sync, 1417, other));
    // Free format: due only once the length is known.
    const Bytes free_header = {0xFF, 0xFB, 0x02, 0x64};
    mpeg_sync_take(sync, 0, free_header, 0);
    EXPECT_FALSE(mpeg_sync_due(sync, 301, free_header));
    mpeg_sync_take(sync, 0, free_header, 300);
    EXPECT_TRUE(mpeg_sync_due(sync, 301, free_header));
}

// What a free-format stream is taken to have shown: a run's measure only while nothing is
// known, a distance between two headers also when it is shorter (a frame lost between them
// doubles it); nothing that is no length.
TEST(MpegSync, FreeFormatLengthLearned) {
    struct Case {
        int32_t known;
        int64_t seen;
        int32_t by, learned;
    };
    const Case cases[] = {
        {0, 300, MPEG_FREE_BY_RUN, 300},
        {310, 300, MPEG_FREE_BY_RUN, 310},
        {0, 0, MPEG_FREE_BY_RUN, 0},
        {0, 300, MPEG_FREE_BY_HEADERS, 300},
        {310, 300, MPEG_FREE_BY_HEADERS, 300},
        {300, 601, MPEG_FREE_BY_HEADERS, 300},
        {300, 0, MPEG_FREE_BY_HEADERS, 300},
        {300, -4, MPEG_FREE_BY_HEADERS, 300},
        {0, int64_t{1} << 40, MPEG_FREE_BY_HEADERS, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(mpeg_learn_free_length(c.known, c.seen, c.by), c.learned)
            << c.known << " " << c.seen << " " << c.by;
}

} // namespace
