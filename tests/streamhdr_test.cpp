// RIFF WAVE and ID3v2 headers read from files laid out byte by byte.
#include "id3v2.h"
#include "settings.h"
#include "wavhdr.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// An open temporary file holding `bytes`, positioned at 0.
class TempInput {
  public:
    explicit TempInput(const std::string& bytes) : f_(std::tmpfile()) {
        std::fwrite(bytes.data(), 1, bytes.size(), f_);
        std::fflush(f_);
        lseek(fileno(f_), 0, SEEK_SET);
    }
    ~TempInput() { std::fclose(f_); }
    int fd() const { return fileno(f_); }

  private:
    std::FILE* f_;
};

std::string u32(uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}
std::string u16(uint16_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8)};
}

std::string chunk(const std::string& id, const std::string& body, uint32_t size_field) {
    return id + u32(size_field) + body;
}
std::string chunk(const std::string& id, const std::string& body) {
    return chunk(id, body, static_cast<uint32_t>(body.size()));
}

std::string fmt_body(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
    return u16(tag) + u16(channels) + u32(rate) + u32(rate * align) + u16(align) + u16(bits);
}

std::string riff(const std::string& chunks) {
    return "RIFF" + u32(4 + chunks.size()) + "WAVE" + chunks;
}

int parse(const std::string& bytes, tWAVInfo& info) {
    TempInput in(bytes);
    return wav_read_header(in.fd(), &info);
}

TEST(WavHeader, CanonicalHeader) {
    tWAVInfo info{};
    const std::string data(8, '\0');
    ASSERT_EQ(parse(riff(chunk("fmt ", fmt_body(1, 2, 44100, 16)) + chunk("data", data)), info),
              WAV_PCM);
    EXPECT_EQ(info.format_tag, 1);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_EQ(info.block_align, 4);
    EXPECT_EQ(info.bitspersample, 16);
    EXPECT_EQ(info.data_offset, 44);
    EXPECT_EQ(info.data_size, 8);
    EXPECT_EQ(wav_unplayable_reason(&info), nullptr);
}

TEST(WavHeader, ChunksBeforeDataAreSkippedWithTheirPadByte) {
    tWAVInfo info{};
    const std::string fmt = chunk("fmt ", fmt_body(1, 1, 22050, 16));
    ASSERT_EQ(parse(riff(fmt + chunk("LIST", std::string(26, 'x')) + chunk("data", "")), info),
              WAV_PCM);
    EXPECT_EQ(info.data_offset, 44 + 8 + 26);
    // An odd-sized chunk is followed by one pad byte.
    ASSERT_EQ(parse(riff(fmt + chunk("junk", std::string(5, 'x')) + "\x01" + chunk("data", "abcd")),
                    info),
              WAV_PCM);
    EXPECT_EQ(info.data_offset, 44 + 8 + 6);
    EXPECT_EQ(info.data_size, 4);
}

TEST(WavHeader, ExtensibleFormatIsReadAsItsSubFormat) {
    // 40-byte body: the 16 basic bytes, extension size 22, valid bits, channel mask,
    // sub-format GUID whose first two bytes are the format tag.
    std::string body = fmt_body(0xFFFE, 2, 48000, 16) + u16(22) + u16(16) + u32(3) + u16(1) +
                       std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    ASSERT_EQ(body.size(), 40u);
    tWAVInfo info{};
    ASSERT_EQ(parse(riff(chunk("fmt ", body) + chunk("data", "xx")), info), WAV_PCM);
    EXPECT_EQ(info.format_tag, 1);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.data_offset, 20 + 40 + 8);
}

TEST(WavHeader, FormatsThatAreNotPlayable) {
    tWAVInfo info{};
    // IEEE float: a WAVE file, but not one this player can play.
    EXPECT_EQ(parse(riff(chunk("fmt ", fmt_body(3, 2, 44100, 32)) + chunk("data", "")), info),
              WAV_UNPLAYABLE);
    ASSERT_NE(wav_unplayable_reason(&info), nullptr);
    EXPECT_NE(std::string(wav_unplayable_reason(&info)).find("0x0003"), std::string::npos);
    // A format body too short to hold the fields.
    EXPECT_EQ(
        parse(riff(chunk("fmt ", std::string("\x01\x00\x02\x00", 4)) + chunk("data", "")), info),
        WAV_UNPLAYABLE);
    EXPECT_NE(wav_unplayable_reason(&info), nullptr);
    // PCM headers the player must refuse: 8-bit, 6 channels, rate 0.
    ASSERT_EQ(parse(riff(chunk("fmt ", fmt_body(1, 2, 44100, 8)) + chunk("data", "")), info),
              WAV_PCM);
    EXPECT_NE(wav_unplayable_reason(&info), nullptr);
    ASSERT_EQ(parse(riff(chunk("fmt ", fmt_body(1, 6, 44100, 16)) + chunk("data", "")), info),
              WAV_PCM);
    EXPECT_NE(wav_unplayable_reason(&info), nullptr);
    ASSERT_EQ(parse(riff(chunk("fmt ", fmt_body(1, 2, 0, 16)) + chunk("data", "")), info), WAV_PCM);
    EXPECT_NE(wav_unplayable_reason(&info), nullptr);
}

TEST(WavHeader, MpegInsideWaveGoesToTheMpegPath) {
    tWAVInfo info{};
    EXPECT_EQ(parse(riff(chunk("fmt ", fmt_body(0x55, 2, 44100, 0)) + chunk("data", "")), info),
              WAV_NOT_PCM);
}

TEST(WavHeader, NotWaveFiles) {
    tWAVInfo info{};
    EXPECT_EQ(parse("RIFX" + u32(100) + "WAVE" + chunk("fmt ", fmt_body(1, 2, 44100, 16)), info),
              WAV_NOT_PCM);
    EXPECT_EQ(parse("RIFF" + u32(100) + "AVI " + std::string(40, '\0'), info), WAV_NOT_PCM);
    EXPECT_EQ(wav_read_header(0, nullptr), WAV_ERROR);
    EXPECT_EQ(parse("RIFF", info), WAV_ERROR);
}

// Chunks in any order before "fmt " and "data", RF64 sizes, sizes never filled in, and the
// WAVE files that cannot play: what each layout gives.
TEST(WavHeader, Layouts) {
    const std::string fmt = chunk("fmt ", fmt_body(1, 2, 44100, 16));
    const std::string ds64 =
        chunk("ds64", u32(0) + u32(0) + u32(0x40000000u) + u32(1) + u32(0) + u32(0) + u32(0));
    struct Case {
        const char* name;
        std::string bytes;
        int result;
        int32_t data_offset;
        int64_t data_size;
        const char* problem;
    };
    const Case cases[] = {
        {"JUNK before fmt",
         riff(chunk("JUNK", std::string(28, '\0')) + fmt + chunk("data", "abcd")), WAV_PCM,
         12 + 36 + 24 + 8, 4, nullptr},
        {"LIST, odd, before fmt",
         riff(chunk("LIST", "abc") + std::string(1, '\0') + fmt + chunk("data", "abcd")), WAV_PCM,
         12 + 12 + 24 + 8, 4, nullptr},
        {"size 0: to the end", riff(fmt + chunk("data", "abcd", 0)), WAV_PCM, 44,
         WAV_DATA_SIZE_UNKNOWN, nullptr},
        {"size 0xFFFFFFFF: to the end", riff(fmt + chunk("data", "", 0xFFFFFFFFu)), WAV_PCM, 44,
         WAV_DATA_SIZE_UNKNOWN, nullptr},
        {"RF64", "RF64" + u32(0xFFFFFFFFu) + "WAVE" + ds64 + fmt + chunk("data", "", 0xFFFFFFFFu),
         WAV_PCM, 12 + 36 + 24 + 8, 0x140000000LL, nullptr},
        {"no data chunk", riff(fmt + chunk("LIST", "ab")), WAV_UNPLAYABLE, 0, WAV_DATA_SIZE_UNKNOWN,
         "no data chunk"},
        {"no fmt chunk", riff(chunk("LIST", "ab")), WAV_UNPLAYABLE, 0, WAV_DATA_SIZE_UNKNOWN,
         "no fmt chunk"},
        {"data before fmt", riff(chunk("data", "abcd") + fmt), WAV_UNPLAYABLE, 0,
         WAV_DATA_SIZE_UNKNOWN, "no fmt chunk before the data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tWAVInfo info{};
        EXPECT_EQ(parse(c.bytes, info), c.result);
        EXPECT_EQ(info.data_offset, c.data_offset);
        EXPECT_EQ(info.data_size, c.data_size);
        if (c.problem != nullptr) {
            EXPECT_STREQ(wav_unplayable_reason(&info), c.problem);
        }
    }
}

std::string id3(uint8_t flags, const char size[4]) {
    return std::string("ID3\x03\x00", 5) + static_cast<char>(flags) + std::string(size, 4) +
           std::string(10, 'x');
}

int id3_result(const std::string& bytes) {
    TempInput in(bytes);
    unsigned char buffer[ID3V2_PROBE_BYTES];
    return read_id3v2_header(in.fd(), buffer);
}

TEST(Id3v2, SizeIsSyncsafe) {
    EXPECT_EQ(id3_result(id3(0, "\x00\x00\x02\x01")), 267);
    EXPECT_EQ(id3_result(id3(0, "\x7F\x7F\x7F\x7F")), 268435465);
    EXPECT_EQ(id3_result(id3(0, "\x80\x80\x80\x81")), 11);    // bit 7 of each byte ignored
    EXPECT_EQ(id3_result(id3(0x10, "\x00\x00\x00\x00")), 10); // a footer adds nothing
}

TEST(Id3v2, NoTag) {
    EXPECT_EQ(id3_result("TAG" + std::string(30, 'x')), 0);
    EXPECT_EQ(id3_result(std::string("\xFF\xFB\x90\x64", 4) + std::string(30, '\0')), 0);
    EXPECT_EQ(id3_result("ID3" + std::string(16, '\0')), -1); // 19 bytes
}

TEST(Id3v2, FlagsArePrintedAtDebugLevelOne) {
    debug = 1;
    testing::internal::CaptureStdout();
    id3_result(id3(0xF0, "\x00\x00\x00\x05"));
    const std::string out = testing::internal::GetCapturedStdout();
    debug = 0;
    EXPECT_EQ(out, "size = 00 00 00 05\nID3V2 FLAGS: UNSYNC EXT_HEADER EXT_EXPERIMENTAL "
                   "EXT_FOOTER \nid3v2 size = 5\n");
}

} // namespace
