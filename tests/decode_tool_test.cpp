// vexa-decode: output layout against the conformance references, WAV output, tags,
// its summary line and its errors.
#include "mp3files.h"
#include "proc.h"
#include "tempdir.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class DecodeTool : public testing::Test {
  protected:
    ProcResult tool(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {vexa_bin("vexa-decode")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, {}, 120);
    }
    // A lame file from the test sound.
    std::string encode(const std::string& name, int rate, int channels, double seconds,
                       const std::vector<std::string>& options) {
        lame_encode(dir.file(name), rate, channels, test_sound(rate, channels, seconds, 99u),
                    options);
        return dir.file(name);
    }
    TempDir dir;
};

TEST_F(DecodeTool, ConformanceStreamsMatchTheirReferences) {
    if (!have_vectors()) GTEST_SKIP() << "no conformance vectors in " << vector_dir();
    for (const ConformanceVector& v : conformance_vectors) {
        SCOPED_TRACE(v.name);
        const std::string in = vector_dir() + "/" + v.name;
        const std::string out = dir.file(std::string(v.name) + ".pcm");
        ProcResult r = tool({in + ".bit", out});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::vector<int16_t> got = pcm_samples(read_file(out));
        const PcmComparison c = compare_pcm(got, pcm_samples(read_file(in + ".pcm")));
        // The reference may stop one frame short of the stream.
        EXPECT_GE(got.size(), c.samples);
        EXPECT_LE(got.size(), c.samples + static_cast<size_t>(v.frame_samples * v.channels));
        EXPECT_LE(c.max_diff, CONFORMANCE_MAX_DIFF);
        EXPECT_GE(c.psnr, CONFORMANCE_PSNR_DB);
    }
}

uint32_t le32(const std::string& b, size_t p) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[p])) |
           static_cast<uint32_t>(static_cast<uint8_t>(b[p + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[p + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[p + 3])) << 24;
}

TEST_F(DecodeTool, RawAndWavLayouts) {
    // Every decoded sample (--no-gapless): whole frames.
    REQUIRE_LAME();
    // Mono at 22050 Hz: 576 samples a frame, one value each in the raw layout.
    const std::string mono =
        encode("m.mp3", 22050, 1, 1.0, {"-m", "m", "-b", "32", "--resample", "22.05"});
    ProcResult raw = tool({"--no-gapless", mono, dir.file("m.raw")});
    ASSERT_EQ(raw.exit_code, 0) << raw.err;
    const std::string r = read_file(dir.file("m.raw"));
    ASSERT_EQ(r.size() % (2 * 576), 0u);
    const size_t frames = r.size() / (2 * 576);
    char summary[128];
    std::snprintf(summary, sizeof summary, ": %zu frames, 0 dropped, %.3f s\n", frames,
                  static_cast<double>(frames) * 576 / 22050);
    EXPECT_NE(raw.err.find(summary), std::string::npos) << raw.err;

    // -w: a stereo WAV at the stream's rate, the mono samples on both channels.
    ProcResult wav = tool({"--no-gapless", "-w", mono, dir.file("m.wav")});
    ASSERT_EQ(wav.exit_code, 0) << wav.err;
    const std::string w = read_file(dir.file("m.wav"));
    ASSERT_EQ(w.size(), 44 + 2 * r.size());
    EXPECT_EQ(w.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(w, 4), w.size() - 8);
    EXPECT_EQ(w.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(le32(w, 16), 16u);
    EXPECT_EQ(le32(w, 20), 1u | 2u << 16); // PCM, 2 channels
    EXPECT_EQ(le32(w, 24), 22050u);
    EXPECT_EQ(le32(w, 28), 22050u * 4);
    EXPECT_EQ(le32(w, 32), 4u | 16u << 16);
    EXPECT_EQ(w.substr(36, 4), "data");
    EXPECT_EQ(le32(w, 40), 2 * r.size());
    const auto mono_samples = pcm_samples(r);
    const auto stereo_samples = pcm_samples(w.substr(44));
    for (size_t i = 0; i < mono_samples.size(); i++) {
        ASSERT_EQ(stereo_samples[2 * i], mono_samples[i]) << i;
        ASSERT_EQ(stereo_samples[2 * i + 1], mono_samples[i]) << i;
    }

    // Stereo at 48000 Hz: 1152 sample pairs a frame, same bytes raw and in the WAV.
    const std::string stereo = encode("s.mp3", 48000, 2, 1.0, {"-m", "s", "--resample", "48"});
    ASSERT_EQ(tool({"--no-gapless", stereo, dir.file("s.raw")}).exit_code, 0);
    ASSERT_EQ(tool({"-w", "--no-gapless", stereo, dir.file("s.wav")}).exit_code, 0);
    const std::string sr = read_file(dir.file("s.raw"));
    EXPECT_EQ(sr.size() % (4 * 1152), 0u);
    EXPECT_EQ(read_file(dir.file("s.wav")).substr(44), sr);
    EXPECT_EQ(le32(read_file(dir.file("s.wav")), 24), 48000u);
}

TEST_F(DecodeTool, TagIsSkipped) {
    REQUIRE_LAME();
    const std::string file = encode("t.mp3", 44100, 2, 1.0, {"-b", "128"});
    ASSERT_EQ(tool({file, dir.file("plain.raw")}).exit_code, 0);
    // The tag holds what looks like a silent frame; read as stream it would decode.
    std::string frame("\xFF\xFB\x90\x64", 4);
    frame.resize(417, '\0');
    const std::string body = "TIT2" + frame + frame;
    const size_t size = body.size();
    std::string tag = std::string("ID3\x03\x00\x00", 6) + static_cast<char>(0) +
                      static_cast<char>(0) + static_cast<char>((size >> 7) & 0x7F) +
                      static_cast<char>(size & 0x7F) + body;
    write_file(dir.file("tagged.mp3"), tag + read_file(file));
    ProcResult r = tool({dir.file("tagged.mp3"), dir.file("tagged.raw")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("tagged.raw")), read_file(dir.file("plain.raw")));
}

TEST_F(DecodeTool, DashIsStandardInputAndOutput) {
    REQUIRE_LAME();
    const std::string file = encode("s.mp3", 44100, 2, 1.0, {"-b", "128"});
    ASSERT_EQ(tool({file, dir.file("file.raw")}).exit_code, 0);
    ASSERT_EQ(tool({"-w", file, dir.file("file.wav")}).exit_code, 0);
    // From a pipe to a pipe: the samples are the file's; a WAV header on a pipe cannot be
    // gone back to, so only its sizes differ.
    const std::string decode = shell_command({vexa_bin("vexa-decode")}, {});
    ProcResult raw =
        run_program({"/bin/sh", "-c", "cat \"$0\" | " + decode + " - - | cat", file}, {});
    ASSERT_EQ(raw.exit_code, 0) << raw.err;
    EXPECT_TRUE(raw.out == read_file(dir.file("file.raw")));
    ProcResult wav =
        run_program({"/bin/sh", "-c", "cat \"$0\" | " + decode + " -w - - | cat", file}, {});
    ASSERT_EQ(wav.exit_code, 0) << wav.err;
    const std::string want = read_file(dir.file("file.wav"));
    ASSERT_EQ(wav.out.size(), want.size());
    EXPECT_TRUE(wav.out.substr(44) == want.substr(44));
    EXPECT_FALSE(file_exists("-"));
}

TEST_F(DecodeTool, BrokenHeadersArePassedOverAndCounted) {
    REQUIRE_LAME();
    const std::string file = encode("d.mp3", 44100, 2, 2.0, {"-b", "128", "-t"});
    std::string b = read_file(file);
    // Frames of 417 or 418 bytes; the tenth and the thirtieth header get a reserved
    // sampling rate and a forbidden bitrate.
    size_t p = 0;
    std::vector<size_t> starts;
    while (p + 4 <= b.size() && static_cast<uint8_t>(b[p]) == 0xFF) {
        starts.push_back(p);
        p += 417 + ((static_cast<uint8_t>(b[p + 2]) >> 1) & 1);
    }
    ASSERT_GT(starts.size(), 40u);
    b[starts[10] + 2] = static_cast<char>(b[starts[10] + 2] | 0x0C);
    b[starts[30] + 2] = static_cast<char>(b[starts[30] + 2] | 0xF0);
    write_file(file, b);
    ProcResult r = tool({file, dir.file("d.raw")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // They start no run of frames, so the decoder never sees them.
    EXPECT_NE(r.err.find(" sync words outside the stream"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("eReservedSamplingFrequency"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("eForbiddenBitRate"), std::string::npos) << r.err;
}

TEST_F(DecodeTool, ErrorsSayWhatIsWrong) {
    write_file(dir.file("empty.mp3"), "");
    std::string noise(20000, '\0');
    uint32_t x = 5;
    for (char& c : noise) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>((x >> 24) & 0x7F); // no 0xFF byte, so no sync word
    }
    write_file(dir.file("noise.mp3"), noise);
    struct Case {
        std::string in;
        const char* says;
    };
    const std::vector<Case> cases = {
        {dir.file("absent.mp3"), "No such file or directory"},
        {dir.path, "Is a directory"},
        {dir.file("empty.mp3"), "no decodable MPEG audio frame"},
        {dir.file("noise.mp3"), "no decodable MPEG audio frame"},
    };
    for (const Case& c : cases) {
        ProcResult r = tool({c.in, dir.file("out.raw")});
        EXPECT_NE(r.exit_code, 0) << c.in;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.in << ": " << r.err;
        EXPECT_FALSE(file_exists(dir.file("out.raw"))) << c.in;
    }
    ProcResult usage = tool({"only-one"});
    EXPECT_EQ(usage.exit_code, 2);
    EXPECT_EQ(usage.err.rfind("usage: vexa-decode [-w] [--no-gapless] IN OUT\n", 0), 0u);

    REQUIRE_LAME();
    const std::string file = encode("ok.mp3", 44100, 1, 0.5, {"-m", "m"});
    ProcResult unwritable = tool({file, dir.file("no/such/dir/out.raw")});
    EXPECT_NE(unwritable.exit_code, 0);
    EXPECT_NE(unwritable.err.find("No such file or directory"), std::string::npos);
}

} // namespace
