// The decoder's input buffer: refills from a file and from the pipe buffer.
#include "settings.h"
#include "smbuf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

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

TEST_F(InputBuffer, EarliestByteLandsInTheTopBits) {
    open_file(std::string("\xFF\xFB\x90\x64", 4));
    EXPECT_EQ(read_data_from_file(in), -1); // the word arrives, then the end of the file
    EXPECT_EQ(in.smbufcnt, 1);
    EXPECT_EQ(smbuf[0], 0xFFFB9064u);
    EXPECT_EQ(smbuf[0] >> 21, 0x7FFu); // the sync word

    input_bind_file(in, fileno(file_), 0); // -w: the earliest byte lands in the low bits, on any machine
    lseek(fileno(file_), 0, SEEK_SET);
    EXPECT_EQ(read_data_from_file(in), -1);
    EXPECT_EQ(smbuf[0] >> 24, 0x64u);
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
