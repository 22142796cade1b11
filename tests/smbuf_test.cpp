// The decoder's input buffer: refills from a file and from the pipe buffer.
#include "settings.h"
#include "smbuf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class InputBuffer : public testing::Test {
  protected:
    void SetUp() override {
        debug = 0;
        input_bind_pipe(in, pipe_, 1);
    }
    void TearDown() override {
        pbuffer_free(pipe_);
        if (file_ != nullptr) std::fclose(file_);
    }
    // Commits one pipe block whose bytes are base, base+1, ... (mod 256).
    void put_block(int base) {
        uint8_t* slot = pbuffer_write_slot(pipe_);
        ASSERT_NE(slot, nullptr);
        for (int i = 0; i < PIPE_BLOCK_BYTES; i++)
            slot[i] = static_cast<uint8_t>(base + i);
        pbuffer_commit_write(pipe_);
    }
    void open_file(const std::string& bytes) {
        file_ = std::tmpfile();
        std::fwrite(bytes.data(), 1, bytes.size(), file_);
        std::fflush(file_);
        lseek(fileno(file_), 0, SEEK_SET);
        input_bind_file(in, fileno(file_), 1);
    }
    std::FILE* file_ = nullptr;
    pbuffer* pipe_ = pbuffer_alloc(8, PIPE_BLOCK_BYTES);
    // The tests stage the buffer's states by hand.
    tInputBuffer in{};
    uint32_t* const smbuf = in.smbuf.data();
};

// Whatever the source, the file bytes FF FB 90 64 become a word with FF on top (the sync
// word in its top 11 bits); with -w (swap_bytes 0) the word 6490FBFF, on any machine.
TEST_F(InputBuffer, EarliestByteLandsInTheTopBitsFromEverySource) {
    const std::string bytes("\xFF\xFB\x90\x64", 4);
    const auto span = std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    struct tCase {
        int32_t source;
        int32_t swap_bytes;
        uint32_t word;
    };
    constexpr tCase cases[] = {
        {INPUT_FILE, 1, 0xFFFB9064u}, {INPUT_FILE, 0, 0x6490FBFFu},  {INPUT_PIPE, 1, 0xFFFB9064u},
        {INPUT_PIPE, 0, 0x6490FBFFu}, {INPUT_BYTES, 1, 0xFFFB9064u}, {INPUT_BYTES, 0, 0x6490FBFFu},
    };
    for (const tCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "source " << c.source << ", swap " << c.swap_bytes);
        if (c.source == INPUT_FILE) {
            if (file_ == nullptr) open_file(bytes);
            lseek(fileno(file_), 0, SEEK_SET);
            input_bind_file(in, fileno(file_), c.swap_bytes);
            EXPECT_EQ(read_data_from_file(in), -1); // the word arrives, then the end of the file
        } else if (c.source == INPUT_PIPE) {
            input_bind_pipe(in, pipe_, c.swap_bytes);
            uint8_t* slot = pbuffer_write_slot(pipe_);
            std::memcpy(slot, bytes.data(), 4);
            pbuffer_commit_last(pipe_, 4);
            EXPECT_EQ(rdfi(in), -1);
        } else {
            input_bind_bytes(in, span, c.swap_bytes);
            EXPECT_EQ(read_data_from_bytes(in), -1);
        }
        EXPECT_EQ(in.smbufcnt, 1);
        EXPECT_EQ(smbuf[0], c.word);
        // The look ahead sees the bytes in the order the decoder reads them.
        uint8_t ahead[8] = {};
        bool at_end = false;
        ASSERT_EQ(stream_peek(in, ahead, &at_end), 4);
        EXPECT_TRUE(at_end);
        EXPECT_EQ(ahead[0], c.word >> 24);
        EXPECT_EQ(ahead[3], c.word & 0xFF);
    }
}

// The probe's scan turns the file's bytes the way the bit buffer turns its words: each whole
// group of four reversed under -w, a trailing part left alone.
TEST(StreamBytesIn, ReversesWholeGroupsOfFourOnlyUnderW) {
    uint8_t bytes[7] = {1, 2, 3, 4, 5, 6, 7};
    stream_bytes_in(bytes, 1);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 7), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7}));
    stream_bytes_in(bytes, 0);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 7), (std::vector<uint8_t>{4, 3, 2, 1, 5, 6, 7}));
}

// What the bit buffer has not taken yet is looked at in the order it will hold it, -w too
// (where a last part-word's bytes come after the filler the word gets).
TEST_F(InputBuffer, PeekPastTheHeldWordsKeepsTheDecodersOrder) {
    const uint8_t stream[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    for (const int32_t swap : {1, 0}) {
        input_bind_pipe(in, pipe_, swap);
        uint8_t* slot = pbuffer_write_slot(pipe_);
        std::memset(slot, 0, PIPE_BLOCK_BYTES); // as the loop clears a short last block
        std::memcpy(slot, stream, sizeof stream);
        pbuffer_commit_last(pipe_, sizeof stream);
        uint8_t from_pipe[16] = {};
        bool at_end = false;
        ASSERT_EQ(stream_peek(in, from_pipe, &at_end), 10);
        EXPECT_TRUE(at_end);
        input_bind_bytes(in, stream, swap);
        uint8_t from_bytes[16] = {};
        ASSERT_EQ(stream_peek(in, from_bytes, &at_end), 10);
        EXPECT_TRUE(at_end);
        const std::vector<uint8_t> expected =
            swap ? std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}
                 : std::vector<uint8_t>{4, 3, 2, 1, 8, 7, 6, 5, 0, 0};
        EXPECT_EQ(std::vector<uint8_t>(from_pipe, from_pipe + 10), expected) << swap;
        EXPECT_EQ(std::vector<uint8_t>(from_bytes, from_bytes + 10), expected) << swap;
    }
}

// Two records in one process, each bound to its own source, keep their streams apart.
TEST_F(InputBuffer, TwoRecordsReadTheirOwnSources) {
    std::vector<uint8_t> stream(3 * PIPE_BLOCK_BYTES);
    for (size_t i = 0; i < stream.size(); i++)
        stream[i] = static_cast<uint8_t>(0xA0 + i % 7);
    static tInputBuffer other{};
    input_bind_bytes(other, stream, 1);
    put_block(0);
    EXPECT_EQ(rdfi(in), 0); // the pipe has one block so far
    EXPECT_EQ(read_data_from_bytes(other), 1);
    EXPECT_EQ(in.smbufcnt, PIPE_BLOCK_WORDS);
    EXPECT_EQ(smbuf[1], 0x04050607u);
    EXPECT_EQ(other.smbuf[0], 0xA0A1A2A3u);
    EXPECT_EQ(pbuffer_level(pipe_), 0);
    uint8_t ahead[4] = {};
    bool at_end = true;
    ASSERT_EQ(stream_peek(other, ahead, &at_end), 4);
    EXPECT_FALSE(at_end);
    EXPECT_EQ(ahead[0], 0xA0);
    EXPECT_EQ(stream_position(other), 0);
    other.bitstream.bufptr = other.smbuf.data() + 3;
    EXPECT_EQ(stream_position(other), 12);
    EXPECT_EQ(stream_position(in), 0);
}

TEST_F(InputBuffer, FileRefillStopsAtTheTargetAndAtEndOfFile) {
    open_file(std::string(6000, '\x11') + "\x22\x22"); // 1500 words and 2 stray bytes
    EXPECT_EQ(read_data_from_file(in), SMBUF_WORDS);
    EXPECT_GE(validbits(in), REFILL_BITS);
    // Enough held: nothing is read, but the unread words move to the front.
    in.bitstream.bufptr = smbuf + 2;
    in.bitstream.bitidx = 5;
    EXPECT_EQ(read_data_from_file(in), 0);
    EXPECT_EQ(in.bitstream.bufptr, smbuf);
    EXPECT_EQ(in.bitstream.bitidx, 5);
    EXPECT_EQ(in.smbufcnt, SMBUF_WORDS - 2);
    EXPECT_EQ(smbuf[0], 0x11111111u);
    // Below the target: one read fills the buffer up.
    in.bitstream.bufptr = smbuf + 60;
    EXPECT_EQ(read_data_from_file(in), 62);
    EXPECT_EQ(in.smbufcnt, SMBUF_WORDS);
    // Drain the rest: 1500 words in all, then end of file; the trailing 2 bytes are dropped.
    int total = 2 + 60; // words consumed so far
    for (int r = 0; r != -1;) {
        total += in.smbufcnt;
        in.bitstream.bufptr = smbuf + in.smbufcnt;
        in.bitstream.bitidx = 0;
        r = read_data_from_file(in);
    }
    total += in.smbufcnt;
    EXPECT_EQ(total, 1500);
}

TEST_F(InputBuffer, PipeBlockIsSpreadOverCallsWhenSmbufIsFull) {
    // 200 words free: a fresh 256-word block gives 200 now, 56 later.
    in.smbufcnt = SMBUF_WORDS - 200;
    in.bitstream.bufptr = smbuf;
    put_block(0);
    put_block(0);
    EXPECT_EQ(rdfi(in), 1);
    EXPECT_EQ(in.smbufcnt, SMBUF_WORDS);
    // The 200th word of the block holds its bytes 796..799 (0x31C..0x31F).
    EXPECT_EQ(smbuf[SMBUF_WORDS - 1], 0x1C1D1E1Fu);

    // Consume 150 words: the next call first uses the 56 words kept back, which are not
    // enough for the target.
    in.bitstream.bufptr = smbuf + 150;
    EXPECT_EQ(rdfi(in), 1);
    const int kept_at = SMBUF_WORDS - 150; // first kept word, after the shift
    EXPECT_EQ(smbuf[kept_at], 0x20212223u);
    EXPECT_EQ(smbuf[kept_at + 56], 0x00010203u); // then the second block from its start
    EXPECT_EQ(pbuffer_level(pipe_), 0);
}

TEST_F(InputBuffer, PipeRefillReportsEmptyThenEnd) {
    EXPECT_EQ(rdfi(in), 0); // nothing there yet
    put_block(1);
    EXPECT_EQ(rdfi(in), 0); // one block is not enough for the target
    EXPECT_EQ(in.smbufcnt, PIPE_BLOCK_WORDS);
    pbuffer_set_flags(pipe_, PBUFFER_EOF);
    EXPECT_EQ(rdfi(in), -1);
    EXPECT_EQ(in.smbufcnt, PIPE_BLOCK_WORDS); // what is held stays available
    EXPECT_EQ(rdfi(in), -1);
}

TEST_F(InputBuffer, PipeRefillReachesTheTarget) {
    for (int i = 0; i < 3; i++)
        put_block(i);
    EXPECT_EQ(rdfi(in), 1);
    EXPECT_GE(validbits(in), REFILL_BITS);
    EXPECT_EQ(in.smbufcnt, SMBUF_WORDS);
}

TEST_F(InputBuffer, WavBlocksComeWhole) {
    EXPECT_EQ(read_wav_data_from_inbuf(in), 0);
    put_block(3);
    EXPECT_EQ(read_wav_data_from_inbuf(in), 1);
    EXPECT_EQ(in.wav_count, PIPE_BLOCK_BYTES);
    EXPECT_EQ(in.wav_block[0], 3);
    EXPECT_EQ(in.wav_block[1023], static_cast<uint8_t>(3 + 1023));
    pbuffer_set_flags(pipe_, PBUFFER_EOF);
    EXPECT_EQ(read_wav_data_from_inbuf(in), -1);
}

TEST_F(InputBuffer, CorruptPositionEndsTheProcess) {
    in.smbufcnt = 4;
    in.bitstream.bufptr = smbuf + 5;
    EXPECT_EXIT(shift_bitstream(in), testing::ExitedWithCode(1), "");
}

TEST_F(InputBuffer, NormalisingMovesPastAUsedUpWord) {
    in.bitstream.bufptr = smbuf + 3;
    in.bitstream.bitidx = 32;
    normalise_bitstream(in);
    EXPECT_EQ(in.bitstream.bufptr, smbuf + 4);
    EXPECT_EQ(in.bitstream.bitidx, 0);
    normalise_bitstream(in);
    EXPECT_EQ(in.bitstream.bufptr, smbuf + 4);
}

} // namespace
