// Conversion to 44100 Hz interleaved stereo, checked against values worked out by hand
// from the conversion rules, and the device write with its file copy.
#include "audio_internal.h"
#include "settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Blocks are converted without a device: silent mode writes nothing.
class Conversion : public testing::Test {
  protected:
    void SetUp() override {
        audio_conversion_reset();
        audio_configure(
            {.silent = 1, .swap_channels = 0, .output_file = nullptr, .output_name = ""});
        debug = 0;
    }

    // Converts a block with the same samples on both channels; returns the left output.
    static std::vector<int> run(std::vector<int16_t> in, int rate) {
        EXPECT_EQ(audio_write(in.data(), in.data(), static_cast<int>(in.size()), rate, 0), 1);
        const tAudioBlock& b = audio_block();
        std::vector<int> out(b.outLeft.begin(), b.outLeft.begin() + b.outSamples);
        for (int k = 0; k < b.outSamples; k++)
            EXPECT_EQ(b.outLeft[k], b.outRight[k]);
        return out;
    }
};

TEST_F(Conversion, At44100OutputIsInputInterleavedLittleEndian) {
    int16_t left[3] = {0x0102, -2, 300};
    int16_t right[3] = {0x0304, 5, -300};
    ASSERT_EQ(audio_write(left, right, 3, 44100, 0), 1);
    const tAudioBlock& b = audio_block();
    ASSERT_EQ(b.outSamples, 3);
    const uint8_t expect[12] = {0x02, 0x01, 0x04, 0x03, 0xFE, 0xFF,
                                0x05, 0x00, 0x2C, 0x01, 0xD4, 0xFE};
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(b.outBuffer[i], expect[i]) << i;
}

TEST_F(Conversion, HandWorkedBlocks) {
    struct Step {
        int rate;
        bool fresh; // conversion state reset first
        std::vector<int16_t> in;
        std::vector<int> out;
    };
    const Step steps[] = {
        // 22050 Hz: halfway points, carried across blocks; odd sums round toward minus
        // infinity.
        {22050, true, {100, 200}, {50, 100, 150, 200}},
        {22050, false, {-200}, {0, -200}},
        {22050, false, {-199}, {-200, -199}},
        // 11025 Hz: quarter points.
        {11025, true, {4}, {1, 2, 3, 4}},
        {11025, false, {-4}, {2, 0, -2, -4}},
        {11025, false, {-5}, {-5, -5, -5, -5}},
        // Extreme samples do not overflow the linear paths. From -32768 to 32767:
        // -65537 >> 2 = -16385, -1 >> 1 = -1, 65533 >> 2 = 16383.
        {22050, true, {32767, -32768}, {16383, 32767, -1, -32768}},
        {11025, false, {32767}, {-16385, -1, 16383, 32767}},
        // 8000 Hz, first group from rest. c = 100: x = 98, start slope 49, S = 49/6 = 8;
        // last input: d = 49, E = 98 - 8 = 90.
        {8000, true, {100}, {8, 28, 49, 69, 90, 98}},
        // Negative values: x = -98; S = -49/6 = -8 (division truncates); E = -98 + 8 = -90;
        // (3S + E) >> 2 = -114 >> 2 = -29, (S + 3E) >> 2 = -278 >> 2 = -70.
        {8000, true, {-100}, {-8, -29, -49, -70, -90, -98}},
    };
    for (const Step& s : steps) {
        if (s.fresh) audio_conversion_reset();
        EXPECT_EQ(run(s.in, s.rate), s.out) << s.rate << " Hz, first input " << s.in[0];
    }
}

TEST_F(Conversion, At8000InputsAreScaledBy49Over50) {
    auto out = run({32767, 0, -32768}, 8000);
    ASSERT_EQ(out.size(), 17u); // groups of 6, 5, 6
    EXPECT_EQ(out[5], 32111);
    EXPECT_EQ(out[10], 0);
    EXPECT_EQ(out[16], -32112);
}

TEST_F(Conversion, At8000StartPointGuardHoldsThePreviousSample) {
    // Scaled inputs 20000 (k = 1), 32000 (k = 2), then 32111 (k = 3, a group of 6):
    // m = 6055, S would be 32000 + 1009 = 33009, so S = y1 = 32000. Last input:
    // d = (32111 - 32000) >> 1 = 55, E = 32111 - 9 = 32102.
    run({20409, 32654}, 8000);
    EXPECT_EQ(run({32767}, 8000), (std::vector<int>{32000, 32025, 32051, 32076, 32102, 32111}));
}

TEST_F(Conversion, At8000GroupSizesFollowTheCounter) {
    std::vector<int16_t> one = {0};
    std::vector<size_t> sizes;
    for (int k = 1; k <= 160; k++)
        sizes.push_back(run(one, 8000).size());
    EXPECT_EQ(sizes[0], 6u);  // k = 1
    EXPECT_EQ(sizes[1], 5u);  // k = 2
    EXPECT_EQ(sizes[2], 6u);  // k = 3
    EXPECT_EQ(sizes[78], 6u); // k = 79
    EXPECT_EQ(sizes[79], 6u); // k = 80
    EXPECT_EQ(sizes[81], 5u); // k = 82
    size_t total = 0;
    for (size_t i = 0; i < 80; i++)
        total += sizes[i];
    EXPECT_EQ(total, 441u);
}

TEST_F(Conversion, At8000OneBlockOf80Gives441) {
    std::vector<int16_t> block(80, 1000);
    EXPECT_EQ(run(block, 8000).size(), 441u);
    EXPECT_EQ(run(block, 8000).size(), 441u);
}

TEST_F(Conversion, At8000NextInputShapesTheEndPoint) {
    // Inputs 100 then 200 in one block: the first group's end slope looks at the
    // second input: d = (196 - 0) >> 1 = 98, E = 98 - 98/6 = 82.
    auto out = run({100, 200}, 8000);
    ASSERT_EQ(out.size(), 11u);
    EXPECT_EQ(out[0], 8);
    EXPECT_EQ(out[4], 82);
    EXPECT_EQ(out[5], 98);
    // Second group (g = 5): m = (196 - 0) >> 1 = 98, S = 98 + 19 = 117;
    // last input: d = (196 - 98) >> 1 = 49, E = 196 - 9 = 187.
    EXPECT_EQ(out[6], 117);
    EXPECT_EQ(out[7], (5 * 117 + 3 * 187) >> 3);
    EXPECT_EQ(out[8], (3 * 117 + 5 * 187) >> 3);
    EXPECT_EQ(out[9], 187);
    EXPECT_EQ(out[10], 196);
}

TEST_F(Conversion, SwapChannelsExchangesBeforeConversion) {
    audio_configure({.silent = 1, .swap_channels = 1, .output_file = nullptr, .output_name = ""});
    std::vector<int16_t> left(4, 1), right(4, 2);
    ASSERT_EQ(audio_write(left.data(), right.data(), 4, 22050, 0), 1);
    const tAudioBlock& b = audio_block();
    ASSERT_EQ(b.outSamples, 8);
    EXPECT_EQ(b.outLeft[1], 2);
    EXPECT_EQ(b.outRight[1], 1);
    EXPECT_EQ(b.outBuffer[4], 2);
    EXPECT_EQ(b.outBuffer[6], 1);
}

TEST_F(Conversion, EmptyBlockGivesNothingAtEveryRate) {
    int16_t none[1] = {0};
    std::vector<int16_t> some(10, 3);
    for (int rate : {44100, 22050, 11025, 8000, 48000}) {
        run(some, rate); // something in the block, which the empty one must not leave
        EXPECT_EQ(audio_write(none, none, 0, rate, 0), 1);
        EXPECT_EQ(audio_block().outSamples, 0) << rate;
    }
}

TEST_F(Conversion, UnconvertibleRateWritesNothing) {
    // A block at a rate without a conversion must not replay the previous block.
    std::vector<int16_t> block(100, 7);
    run(block, 44100);
    EXPECT_EQ(audio_rate_supported(1), 0);
    EXPECT_EQ(run(block, 1).size(), 0u);
}

TEST_F(Conversion, TraceAtLevelFive) {
    debug = 5;
    int16_t left[4] = {1, 2, 3, 4}, right[4] = {-1, -2, -3, -4};
    testing::internal::CaptureStdout();
    audio_write(left, right, 4, 44100, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    debug = 0;
    EXPECT_EQ(out.find("audio_write("), 0u);
    EXPECT_NE(out.find(", 4, 44100)\nleft[0] = 1\nright[0] = -1\nleft[1] = 2\n"),
              std::string::npos);
    EXPECT_NE(
        out.find("outLeft[3] = 4\noutRight[3] = -4\noutSamples = 4\n"
                 "outBuffer[0] = 1\noutBuffer[1] = -1\noutBuffer[2] = 2\noutBuffer[3] = -2\n"),
        std::string::npos)
        << out;
}

TEST(AudioDevice, SilentModeTouchesNothing) {
    audio_configure({.silent = 1, .swap_channels = 0, .output_file = nullptr, .output_name = ""});
    audio_attach(-1);
    EXPECT_EQ(audio_open(), 0);
    EXPECT_EQ(audio_device(), -1);
    EXPECT_EQ(audio_reset(), 0);
    EXPECT_EQ(audio_sync(), 0);
    EXPECT_EQ(audio_close(), -1); // closes descriptor -1 all the same
}

// The device write and the -o copy, with a plain file standing in for the device.
class DeviceWrite : public testing::Test {
  protected:
    void SetUp() override {
        audio_conversion_reset();
        debug = 0;
        device = std::tmpfile();
        copy = std::tmpfile();
        ASSERT_NE(device, nullptr);
        ASSERT_NE(copy, nullptr);
        audio_configure(
            {.silent = 0, .swap_channels = 0, .output_file = copy, .output_name = "copy"});
        audio_attach(fileno(device));
    }
    void TearDown() override {
        audio_configure(
            {.silent = 0, .swap_channels = 0, .output_file = nullptr, .output_name = ""});
        audio_attach(-1);
        std::fclose(device);
        std::fclose(copy);
    }
    static std::string contents(std::FILE* f) {
        std::fflush(f);
        std::string s;
        std::rewind(f);
        int c;
        while ((c = std::fgetc(f)) != EOF)
            s.push_back(static_cast<char>(c));
        return s;
    }
    std::FILE* device = nullptr;
    std::FILE* copy = nullptr;
};

TEST_F(DeviceWrite, CopyHoldsExactlyWhatTheDeviceGot) {
    std::vector<int16_t> left = {1, 2, 3}, right = {-1, -2, -3};
    ASSERT_EQ(audio_write(left.data(), right.data(), 3, 22050, 0), 1);
    ASSERT_EQ(audio_write(left.data(), right.data(), 3, 44100, 0), 1);
    std::string dev = contents(device);
    EXPECT_EQ(dev.size(), 4u * (6 + 3));
    EXPECT_EQ(dev, contents(copy));
}

TEST_F(DeviceWrite, RefusedWriteIsReportedAndNotCopied) {
    std::vector<int16_t> block = {5, 6};
    audio_attach(-1); // every write fails, and not for want of room: the device has failed
    EXPECT_EQ(audio_write(block.data(), block.data(), 2, 44100, 0), AUDIO_WRITE_FAILED);
    EXPECT_EQ(contents(copy).size(), 0u);
    audio_attach(fileno(device)); // the same block, taken on the next try, appears once
    EXPECT_EQ(audio_write(block.data(), block.data(), 2, 44100, 0), 1);
    EXPECT_EQ(contents(copy).size(), 8u);
}

TEST_F(DeviceWrite, ResetClearsTheOutputArrays) {
    std::vector<int16_t> block(10, 9);
    audio_write(block.data(), block.data(), 10, 44100, 0);
    audio_reset(); // the ioctl fails on a plain file; the arrays are cleared anyway
    const tAudioBlock& b = audio_block();
    for (int k = 0; k < AUDIO_OUT_MAX; k++)
        ASSERT_EQ(b.outLeft[k] | b.outRight[k], 0);
}

} // namespace
