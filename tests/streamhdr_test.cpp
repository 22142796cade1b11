// RIFF WAVE and ID3v2 headers, the tags around an MPEG stream and the header in its first
// frame, read from files laid out byte by byte.
#include "frametag.h"
#include "id3v2.h"
#include "layout.h"
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

// ID3v2 header of `body` bytes: version 3 or 4 (4 with a footer when asked).
std::string id3v2(int version, size_t body, bool footer = false, const char* id = "ID3") {
    std::string h = std::string(id, 3) + static_cast<char>(version) + '\0' +
                    static_cast<char>(footer ? 0x10 : 0) + static_cast<char>((body >> 21) & 0x7F) +
                    static_cast<char>((body >> 14) & 0x7F) + static_cast<char>((body >> 7) & 0x7F) +
                    static_cast<char>(body & 0x7F);
    return h;
}

TEST(TagSpan, TagsAtBothEnds) {
    const std::string audio(5000, '\x55');
    const std::string v23 = id3v2(3, 300) + std::string(300, 'x');
    const std::string v24f = id3v2(4, 50, true) + std::string(50, 'y') + id3v2(4, 50, true, "3DI");
    const std::string v1 = "TAG" + std::string(125, 't');
    const std::string ape_foot =
        "APETAGEX" + u32(2000) + u32(40) + u32(1) + u32(0x80000000u) + std::string(8, '\0');
    const std::string ape_head =
        "APETAGEX" + u32(2000) + u32(40) + u32(1) + u32(0xA0000000u) + std::string(8, '\0');
    const std::string ape = ape_head + std::string(8, 'a') + ape_foot;
    const std::string lyrics = "LYRICSBEGININD0000210" + std::string("000021") + "LYRICS200";
    const std::string appended =
        id3v2(4, 20, true) + std::string(20, 'z') + id3v2(4, 20, true, "3DI");
    struct Case {
        const char* name;
        std::string bytes;
        int64_t start, end;
        int32_t starts, ends;
    };
    const int64_t n = static_cast<int64_t>(audio.size());
    const Case cases[] = {
        {"none", audio, 0, n, 0, 0},
        {"two at the start", v23 + v23 + audio, 620, 620 + n, 2, 0},
        {"v2.4 with footer", v24f + audio, 70, 70 + n, 1, 0},
        {"ID3v1", audio + v1, 0, n, 0, 1},
        {"APEv2, Lyrics3v2, appended ID3v2, ID3v1", v23 + audio + ape + lyrics + appended + v1, 310,
         310 + n, 1, 4},
        {"a tag longer than the file", id3v2(3, 100000) + audio, 0, 10 + n, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempInput in(c.bytes);
        tTagSpan span{};
        find_tag_span(in.fd(), static_cast<int64_t>(c.bytes.size()), &span);
        EXPECT_EQ(span.start_tags_end, c.start);
        EXPECT_EQ(span.end_tags_start, c.end);
        EXPECT_EQ(span.start_tags, c.starts);
        EXPECT_EQ(span.end_tags, c.ends);
    }
}

std::string be(uint32_t v, int n) {
    std::string s;
    for (int k = n - 1; k >= 0; k--)
        s += static_cast<char>(v >> (8 * k));
    return s;
}

// A 417-byte MPEG-1 frame (128 kbit/s, 44100 Hz, joint stereo) with an Info header: 1000
// frames, 256000 bytes, a table, and a LAME extension with delay 576 and padding 1200.
std::string info_frame(bool good_crc) {
    std::string f("\xFF\xFB\x90\x64", 4);
    f.resize(36, '\0');
    f += "Info" + be(0x0F, 4) + be(1000, 4) + be(256000, 4);
    for (int i = 0; i < 100; i++)
        f += static_cast<char>(2 * i);
    f += be(50, 4);
    f += "LAME3.100";
    f.resize(156 + 21, '\0');
    f += be(576 << 12 | 1200, 3);
    f.resize(156 + 34, '\0');
    const uint16_t crc =
        lame_crc16(std::span(reinterpret_cast<const uint8_t*>(f.data()), f.size()));
    f += be(good_crc ? crc : crc ^ 1, 2);
    f.resize(417, '\0');
    return f;
}

tFrameTag parse_tag(const std::string& frame) {
    tFrameTag tag{};
    frame_tag_parse(std::span(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()), &tag);
    return tag;
}

TEST(FrameTag, LameCrcIsCrc16Arc) {
    const std::string check = "123456789";
    EXPECT_EQ(lame_crc16(std::span(reinterpret_cast<const uint8_t*>(check.data()), check.size())),
              0xBB3D);
}

TEST(FrameTag, InfoWithLameExtension) {
    const tFrameTag tag = parse_tag(info_frame(true));
    EXPECT_EQ(tag.kind, FRAME_TAG_INFO);
    EXPECT_EQ(tag.frames, 1000);
    EXPECT_EQ(tag.bytes, 256000);
    EXPECT_EQ(tag.frame_bytes, 417);
    EXPECT_EQ(tag.lame, 1);
    EXPECT_EQ(tag.delay, 576);
    EXPECT_EQ(tag.padding, 1200);
    EXPECT_EQ(frame_tag_samples(tag), 1000 * 1152 - 576 - 1200);
    // A CRC that does not match: the counts hold, delay and padding are not trusted.
    const tFrameTag bad = parse_tag(info_frame(false));
    EXPECT_EQ(bad.frames, 1000);
    EXPECT_EQ(bad.lame, 0);
    EXPECT_EQ(bad.lame_crc_bad, 1);
    EXPECT_EQ(frame_tag_samples(bad), 1000 * 1152);
    // Only a valid Layer III header has the side information the tag's place is counted
    // after: a Layer II header or a forbidden bitrate reads no tag.
    for (const auto& [at, byte] : {std::pair{1, '\xFD'}, std::pair{2, '\xF0'}}) {
        std::string other = info_frame(true);
        other[static_cast<size_t>(at)] = byte;
        EXPECT_EQ(parse_tag(other).kind, FRAME_TAG_NONE);
    }
}

TEST(FrameTag, TableOfContentsSeeks) {
    const tFrameTag tag = parse_tag(info_frame(true));
    struct Case {
        int64_t target, byte, landing;
    };
    // toc[i] = 2i over 256000 bytes; 1152000 samples in all.
    const Case cases[] = {
        {576000, 100000, 576000},   // 50 %: point 100/256
        {293760, 51000, 293760},    // 25.5 %: halfway from 50 to 52
        {1152000, 256000, 1152000}, // the end: from 198 to 256
        {2000000, 256000, 1152000}, // past the end
    };
    for (const Case& c : cases) {
        int64_t byte = -1, landing = -1;
        ASSERT_TRUE(frame_tag_seek(tag, 256000, c.target, &byte, &landing));
        EXPECT_EQ(byte, c.byte) << c.target;
        EXPECT_EQ(landing, c.landing) << c.target;
    }
    // VBRI: three entries of 10 frames, 500, 1000 and 1500 units of 2 bytes.
    std::string v("\xFF\xFB\x90\x64", 4);
    v.resize(36, '\0');
    v += "VBRI" + be(1, 2) + be(576, 2) + be(75, 2) + be(6000, 4) + be(30, 4) + be(3, 2) +
         be(2, 2) + be(2, 2) + be(10, 2) + be(500, 2) + be(1000, 2) + be(1500, 2);
    v.resize(417, '\0');
    const tFrameTag vbri = parse_tag(v);
    EXPECT_EQ(vbri.kind, FRAME_TAG_VBRI);
    EXPECT_EQ(vbri.frames, 30);
    EXPECT_EQ(vbri.bytes, 6000);
    int64_t byte = -1, landing = -1;
    ASSERT_TRUE(frame_tag_seek(vbri, 6000, 15 * 1152, &byte, &landing));
    EXPECT_EQ(byte, 1000 + 2000 * 5 / 10); // frame 15: after entry 0, halfway into entry 1
    EXPECT_EQ(landing, 15 * 1152);
}

TEST(FrameTag, GaplessWindow) {
    const tFrameTag tag = parse_tag(info_frame(true));
    const tGaplessWindow all = gapless_window(tag, false);
    EXPECT_EQ(all.first, 576 + 529);
    EXPECT_EQ(all.end, -1);
    const tGaplessWindow w = gapless_window(tag, true);
    EXPECT_EQ(w.end, 1000 * 1152 - 1200 + 529);
    struct Case {
        tGaplessWindow w;
        int64_t at;
        int32_t from, kept;
    };
    const Case cases[] = {
        {{1105, 5000}, 0, 1105, 47}, {{1105, 5000}, 1152, 0, 1152}, {{1105, 5000}, 4608, 0, 392},
        {{1105, 5000}, 5760, 0, 0},  {{1105, -1}, 4608, 0, 1152},   {{1500, -1}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        int32_t from = -1, kept = -1;
        gapless_clip(c.w, c.at, 1152, &from, &kept);
        EXPECT_EQ(kept, c.kept) << c.at;
        if (c.kept > 0) {
            EXPECT_EQ(from, c.from) << c.at;
        }
    }
}

} // namespace
