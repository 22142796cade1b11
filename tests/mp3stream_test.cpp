// The stream decoder of vexa/mp3dec.h: the same PCM as the player's frame feed (and
// vexa-decode) whatever pieces the bytes come in, the tag at the start, the frame
// description, and calls made wrongly.
#include "mp3files.h"
#include "mp3stream.h"
#include "proc.h"
#include "tempdir.h"
#include "vexa/mp3dec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

struct Decoded {
    std::vector<int16_t> pcm; // each frame interleaved with its own channel count
    std::vector<tMP3StreamFrame> frames;
    tMP3StreamStatus last;
};

// Pushes `bytes` in pieces of `piece` bytes, pulling every frame after each push.
Decoded decode(tMP3Stream* s, const std::string& bytes, size_t piece,
               int32_t layout = MP3_PCM_INTERLEAVED) {
    Decoded out;
    std::vector<int16_t> pcm(MP3_STREAM_PCM_VALUES);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t at = 0;
    for (;;) {
        const size_t n = std::min(piece, bytes.size() - at);
        at += MP3StreamPush(s, p + at, n);
        if (at == bytes.size()) MP3StreamEnd(s);
        tMP3StreamFrame f{};
        while ((out.last = MP3StreamPull(s, pcm.data(), pcm.size(), layout, &f)) !=
               eStreamNeedInput) {
            if (out.last == eStreamEnd || MP3StreamStatusIsFatal(out.last)) return out;
            if (out.last != eStreamFrame) continue;
            out.frames.push_back(f);
            for (int i = 0; i < f.samples; i++)
                for (int c = 0; c < f.channels; c++)
                    out.pcm.push_back(layout == MP3_PCM_PLANAR ? pcm[c * f.samples + i]
                                                               : pcm[i * f.channels + c]);
        }
    }
}

Decoded decode_new(const std::string& bytes, size_t piece, int32_t layout = MP3_PCM_INTERLEAVED) {
    tMP3Stream* s = MP3StreamCreate();
    Decoded d = decode(s, bytes, piece, layout);
    MP3StreamDestroy(s);
    return d;
}

// Every stream at hand: the conformance streams, the decoder fixtures, the fuzz corpus.
std::vector<std::string> stream_files() {
    std::vector<std::string> files;
    if (have_vectors())
        for (const ConformanceVector& v : conformance_vectors)
            files.push_back(vector_dir() + "/" + v.name + ".bit");
    for (const char* dir : {"/tests/fixtures/mp3", "/fuzz/corpus/decoder"}) {
        const std::string path = std::string(VEXA_SOURCE_DIR) + dir;
        if (DIR* d = opendir(path.c_str())) {
            while (const dirent* e = readdir(d))
                if (e->d_name[0] != '.') files.push_back(path + "/" + e->d_name);
            closedir(d);
        }
    }
    return files;
}

const std::string fixture =
    std::string(VEXA_SOURCE_DIR) + "/tests/fixtures/mp3/s44_cbr128_joint.mp3";

TEST(StreamDecoder, AnyPiecesGiveThePcmOfThePlayersFeed) {
    for (const std::string& file : stream_files()) {
        SCOPED_TRACE(file);
        const std::string bytes = read_file(file);
        const FedStream fed = feed_stream(bytes);
        ASSERT_GT(fed.decoded, 0);
        for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, bytes.size()}) {
            SCOPED_TRACE(piece);
            const Decoded d = decode_new(bytes, piece);
            EXPECT_EQ(d.last, eStreamEnd);
            EXPECT_EQ(d.frames.size(), static_cast<size_t>(fed.decoded));
            EXPECT_TRUE(d.pcm == fed.pcm);
        }
        EXPECT_TRUE(decode_new(bytes, 4096, MP3_PCM_PLANAR).pcm == fed.pcm);
    }
}

// The example program against vexa-decode: the WAV data is vexa-decode's raw output with
// every decoded sample kept.
TEST(StreamDecoder, ExampleProgramWritesWhatVexaDecodeWrites) {
    TempDir dir;
    for (const std::string& file : stream_files()) {
        SCOPED_TRACE(file);
        const ProcResult ex = run_program({vexa_bin("mp3towav"), file, dir.file("x.wav")}, {}, 120);
        const ProcResult tool = run_program(
            {vexa_bin("vexa-decode"), "--no-gapless", file, dir.file("x.raw")}, {}, 120);
        ASSERT_EQ(ex.exit_code, 0) << ex.err;
        ASSERT_EQ(tool.exit_code, 0) << tool.err;
        const std::string wav = read_file(dir.file("x.wav"));
        ASSERT_GT(wav.size(), 44u);
        EXPECT_TRUE(wav.substr(44) == read_file(dir.file("x.raw")));
    }
}

TEST(StreamDecoder, Id3v2TagIsPassedOverInAnyPieces) {
    const std::string bytes = read_file(fixture);
    const Decoded plain = decode_new(bytes, 4096);
    // 20000 bytes of tag after its header, holding sync patterns; size 20000 syncsafe.
    std::string tag("ID3\x04\x00\x00\x00\x01\x1C\x20", 10);
    for (int i = 0; i < 20000; i++)
        tag += static_cast<char>(i % 3 == 0 ? 0xFF : 0xFB);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, tag.size() + bytes.size()}) {
        SCOPED_TRACE(piece);
        const Decoded d = decode_new(tag + bytes, piece);
        EXPECT_TRUE(d.pcm == plain.pcm);
        ASSERT_FALSE(d.frames.empty());
        EXPECT_EQ(d.frames[0].stream_byte, plain.frames[0].stream_byte + 20010);
    }
}

TEST(StreamDecoder, FrameDescription) {
    const Decoded d = decode_new(read_file(fixture), 4096);
    ASSERT_GT(d.frames.size(), 2u);
    int64_t samples = 0;
    for (size_t i = 0; i < d.frames.size(); i++) {
        const tMP3StreamFrame& f = d.frames[i];
        EXPECT_EQ(f.sample_rate, 44100);
        EXPECT_EQ(f.channels, 2);
        EXPECT_EQ(f.samples, 1152);
        EXPECT_EQ(f.bitrate, 128);
        EXPECT_EQ(f.frame_index, static_cast<int64_t>(i));
        EXPECT_EQ(f.sample_position, samples);
        samples += f.samples;
        // 144 * 128000 / 44100 = 417.96: 417 bytes, 418 with the padding byte.
        if (i > 0) {
            EXPECT_EQ(f.stream_byte - d.frames[i - 1].stream_byte,
                      417 + ((d.frames[i - 1].header.packed_info >> 9) & 1));
        }
    }
}

TEST(StreamDecoder, WrongCallsAreFatalAndChangeNothing) {
    const std::string bytes = read_file(fixture);
    const Decoded whole = decode_new(bytes, bytes.size());
    tMP3Stream* s = MP3StreamCreate();
    ASSERT_NE(s, nullptr);
    MP3StreamPush(s, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); // what fits
    std::vector<int16_t> pcm(MP3_STREAM_PCM_VALUES);
    struct Case {
        tMP3Stream* stream;
        int16_t* pcm;
        size_t values;
        int32_t layout;
        tMP3StreamStatus expected;
    };
    const Case cases[] = {
        {nullptr, pcm.data(), pcm.size(), MP3_PCM_INTERLEAVED, eStreamBadArgument},
        {s, nullptr, pcm.size(), MP3_PCM_INTERLEAVED, eStreamBadArgument},
        {s, pcm.data(), pcm.size(), 2, eStreamBadArgument},
        {s, pcm.data(), 2303, MP3_PCM_INTERLEAVED, eStreamPcmTooSmall},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MP3StreamPull(c.stream, c.pcm, c.values, c.layout, nullptr), c.expected);
        EXPECT_EQ(MP3StreamStatusIsFatal(c.expected), 1);
    }
    MP3StreamReset(s);
    EXPECT_TRUE(decode(s, bytes, 1000).pcm == whole.pcm);
    EXPECT_EQ(MP3StreamPush(s, reinterpret_cast<const uint8_t*>(bytes.data()), 10), 0u);
    MP3StreamDestroy(s);
    MP3StreamDestroy(nullptr);
    for (int32_t st = -2; st <= 4; st++) {
        ASSERT_NE(MP3StreamStatusName(st), nullptr) << st;
        EXPECT_EQ(MP3StreamStatusIsFatal(st), st < 0 ? 1 : 0);
    }
    EXPECT_EQ(MP3StreamStatusName(5), nullptr);
    EXPECT_EQ(MP3StreamStatusName(-3), nullptr);
    EXPECT_STREQ(MP3StatusName(eFrameDiscarded), "eFrameDiscarded");
}

TEST(StreamDecoder, CallersMemoryAtAnyAlignment) {
    const std::string bytes = read_file(fixture);
    const Decoded whole = decode_new(bytes, bytes.size());
    std::vector<uint8_t> memory(MP3StreamSize() + 1);
    EXPECT_EQ(MP3StreamInit(memory.data(), MP3StreamSize() - 1), nullptr);
    EXPECT_EQ(MP3StreamInit(nullptr, MP3StreamSize()), nullptr);
    tMP3Stream* s = MP3StreamInit(memory.data() + 1, MP3StreamSize());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % 2048, 0u);
    EXPECT_TRUE(decode(s, bytes, 7).pcm == whole.pcm);
    MP3StreamDestroy(s); // frees nothing: the memory is the vector's
}

} // namespace
