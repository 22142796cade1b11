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

TEST(MpegSync, HeaderLengthsOfEveryLayerAndVersion) {
    struct Case {
        uint8_t b1, b2;
        int32_t layer, rate, length;
    };
    // Lengths by hand: 144 * 128000 / 44100 = 417 (+1 padding); Layer I (12 * 128000 /
    // 44100) * 4 = 136; MPEG-2 72 * 64000 / 22050 = 208; MPEG-2.5 72 * 8000 / 8000 = 72;
    // Layer II 144 * 384000 / 32000 + 1 = 1729.
    const Case cases[] = {
        {0xFB, 0x90, 3, 44100, 417},  {0xFB, 0x92, 3, 44100, 418}, {0xFD, 0x80, 2, 44100, 417},
        {0xFF, 0x40, 1, 44100, 136},  {0xF3, 0x80, 3, 22050, 208}, {0xE3, 0x18, 3, 8000, 72},
        {0xFD, 0xEA, 2, 32000, 1729}, {0xFB, 0x04, 3, 48000, 0},
    };
    for (const Case& c : cases) {
        tFrameInfo info{};
        const Bytes h = {0xFF, c.b1, c.b2, 0x00};
        ASSERT_TRUE(mpeg_frame_header(h, &info)) << std::hex << int{c.b1} << " " << int{c.b2};
        EXPECT_EQ(info.layer, c.layer);
        EXPECT_EQ(info.rate, c.rate);
        EXPECT_EQ(info.length, c.length) << std::hex << int{c.b1} << " " << int{c.b2};
    }
    // Reserved version, reserved layer, bitrate index 15, rate index 3, no sync word.
    for (const Bytes& h :
         {Bytes{0xFF, 0xEB, 0x90, 0}, Bytes{0xFF, 0xF9, 0x90, 0}, Bytes{0xFF, 0xFB, 0xF0, 0},
          Bytes{0xFF, 0xFB, 0x9C, 0}, Bytes{0xFE, 0xFB, 0x90, 0}}) {
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

} // namespace
