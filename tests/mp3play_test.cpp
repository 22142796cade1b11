// MPEG audio files played end to end through the OSS simulator: what reaches the device
// is the decoder's own output (vexa-decode) converted to 44100 Hz by the same audio
// functions, frame for frame; start offsets, -i, damaged and hostile input.
#include "audio.h"
#include "control_path.h"
#include "mp3files.h"
#include "ossim_report.h"
#include "proc.h"
#include "rivover.h"
#include "scripted_peer.h"
#include "settings.h"
#include "tempdir.h"
#include "wait.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The first MPEG audio frames' positions, walked header to header from `from`; a byte that
// starts no valid header is passed over. Free-format frames end the walk.
std::vector<size_t> frame_starts(const std::string& b, size_t from) {
    static const int rates[3] = {44100, 48000, 32000};
    static const int kbit1[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int kbit2[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    std::vector<size_t> starts;
    size_t p = from;
    while (p + 4 <= b.size()) {
        const auto b1 = static_cast<uint8_t>(b[p + 1]), b2 = static_cast<uint8_t>(b[p + 2]);
        const int version = (b1 >> 3) & 3, index = b2 >> 4, sf = (b2 >> 2) & 3;
        const bool valid = static_cast<uint8_t>(b[p]) == 0xFF && (b1 & 0xE0) == 0xE0 &&
                           version != 1 && ((b1 >> 1) & 3) == 1 && index != 15 && sf != 3;
        if (!valid) {
            p++;
            continue;
        }
        if (index == 0) break;
        const int rate = rates[sf] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
        const int kbit = version == 3 ? kbit1[index] : kbit2[index];
        const int length = (version == 3 ? 144 : 72) * kbit * 1000 / rate + ((b2 >> 1) & 1);
        starts.push_back(p);
        p += static_cast<size_t>(length);
    }
    return starts;
}

// One decoded frame, stereo, as audio_write gets it.
struct Frame {
    std::vector<int16_t> left, right;
};

struct Decoded {
    int rate = 0;
    std::vector<Frame> frames;
    std::string err;
};

// Device bytes of each frame, converted by the player's own audio_write arithmetic.
std::vector<std::string> device_blocks(const std::vector<Frame>& frames, int rate) {
    audio_configure({.silent = 1, .swap_channels = 0, .output_file = nullptr, .output_name = ""});
    debug = 0;
    audio_conversion_reset();
    std::vector<std::string> blocks;
    const tAudioBlock& b = audio_block();
    for (const Frame& f : frames) {
        audio_write(f.left.data(), f.right.data(), static_cast<int>(f.left.size()), rate, 0);
        blocks.emplace_back(reinterpret_cast<const char*>(b.outBuffer.data()),
                            static_cast<size_t>(4 * b.outSamples));
    }
    return blocks;
}

// The play times reported to a control daemon of the test's own, on the path held for
// the test; not ok() when another daemon has the path (the reports are then not looked at).
class TimeReports {
  public:
    TimeReports() {
        if (!path_lock_.held() || daemon_on_path()) return;
        unlink(CTL_SOCKET_PATH);
        peer_ = std::make_unique<ScriptedPeer>();
    }
    bool ok() const { return peer_ != nullptr && peer_->ok(); }
    // Reports are not waited for: they are all here once the player's connection has
    // been read to its end.
    std::vector<int> times() { return of(CTL_CMD_PLAY_TIME); }
    // The records of one command, their last parameter each.
    std::vector<int> of(int32_t command) {
        wait_until([&] { return peer_->own_closed(); });
        std::vector<int> t;
        for (const auto& recs : peer_->own_connections())
            for (const auto& r : recs)
                if (r.command == command) t.push_back(r.param4);
        return t;
    }

  private:
    ControlPathLock path_lock_; // first member: taken before, released after the peer
    std::unique_ptr<ScriptedPeer> peer_;
};

class Mp3Play : public testing::Test {
  protected:
    std::string device() const { return dir.file("device.raw"); }
    std::string report() const { return dir.file("report.jsonl"); }
    std::string played() const { return file_exists(device()) ? read_file(device()) : ""; }

    ProcResult vexa(const std::vector<std::string>& args, bool realtime = false) {
        std::vector<std::string> argv = {vexa_bin("vexa")};
        argv.insert(argv.end(), args.begin(), args.end());
        EnvList env = ossim_env(device(), report(), realtime);
        env.emplace_back("VEXA_DEBUG_LEVEL", "0");
        write_file(device(), "");
        return run_program(argv, env, 120);
    }

    // Encodes `sound` with lame and the given options into dir/name.
    std::string encode(const std::string& name, int rate, int channels,
                       const std::vector<int16_t>& sound, std::vector<std::string> options) {
        lame_encode(dir.file(name), rate, channels, sound, options);
        return dir.file(name);
    }

    // vexa-decode -w of a file: stereo frames of `frame_samples` samples each.
    Decoded decode(const std::string& file, int frame_samples) {
        Decoded d;
        const std::string out = dir.file(file.substr(file.rfind('/') + 1) + ".dec.wav");
        ProcResult r = run_program({vexa_bin("vexa-decode"), "-w", file, out}, {}, 120);
        d.err = r.err;
        if (r.exit_code != 0 || !file_exists(out)) return d;
        const std::string wav = read_file(out);
        if (wav.size() < 44) return d;
        d.rate = static_cast<uint8_t>(wav[24]) | static_cast<uint8_t>(wav[25]) << 8 |
                 static_cast<uint8_t>(wav[26]) << 16;
        const std::vector<int16_t> s = pcm_samples(wav.substr(44));
        const auto per_frame = static_cast<size_t>(2 * frame_samples);
        for (size_t i = 0; i + per_frame <= s.size(); i += per_frame) {
            Frame f;
            for (size_t k = 0; k < per_frame; k += 2) {
                f.left.push_back(s[i + k]);
                f.right.push_back(s[i + k + 1]);
            }
            d.frames.push_back(std::move(f));
        }
        return d;
    }

    // The device got the converted frames in order from the first, none missing or
    // changed, and stopped at most `may_miss` frames before the end.
    void expect_frames_played(const std::string& what, const std::vector<Frame>& frames, int rate,
                              size_t may_miss) {
        const std::string out = played();
        const std::vector<std::string> blocks = device_blocks(frames, rate);
        size_t pos = 0, k = 0;
        while (k < blocks.size() && pos + blocks[k].size() <= out.size() &&
               out.compare(pos, blocks[k].size(), blocks[k]) == 0) {
            pos += blocks[k].size();
            k++;
        }
        EXPECT_EQ(pos, out.size()) << what << ": device output departs from the decoder's in frame "
                                   << k << " of " << blocks.size();
        EXPECT_LE(blocks.size() - k, may_miss)
            << what << ": " << k << " of " << blocks.size() << " frames played";
        EXPECT_GT(k, 0u) << what;
    }

    // Plays `file` from its start and compares with the decoder's output.
    void expect_bit_exact(const std::string& what, const std::string& file, int frame_samples,
                          int rate = 0) {
        Decoded d = decode(file, frame_samples);
        ASSERT_FALSE(d.frames.empty()) << what << ": " << d.err;
        if (rate != 0) {
            EXPECT_EQ(d.rate, rate) << what;
        }
        ProcResult r = vexa({file});
        ASSERT_EQ(r.exit_code, 0) << what << r.err;
        const std::string bytes = read_file(file);
        // Every whole frame plays, up to the last one in the file.
        expect_frames_played(what, d.frames, d.rate, 0);
    }

    TempDir dir;
};

int frame_samples_at(int rate) {
    return rate >= 32000 ? 1152 : 576;
}

// lame options that keep the file at `rate`: CBR at a rate fit for the MPEG version, or VBR.
std::vector<std::string> lame_options(int rate, int channels, bool vbr) {
    char khz[16];
    std::snprintf(khz, sizeof khz, "%g", rate / 1000.0);
    std::vector<std::string> o = {"--resample", khz, "-m", channels == 1 ? "m" : "j"};
    if (vbr) {
        o.insert(o.end(), {"-V", "4"});
    } else {
        o.insert(o.end(), {"-b", rate >= 32000 ? "128" : rate >= 16000 ? "64" : "32"});
    }
    return o;
}

TEST_F(Mp3Play, EveryRateMonoAndStereoCbrAndVbrPlaysAsDecoded) {
    REQUIRE_LAME();
    for (int rate : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000}) {
        for (int channels : {1, 2}) {
            for (bool vbr : {false, true}) {
                const std::string name =
                    std::to_string(rate) + (channels == 1 ? "m" : "s") + (vbr ? "v" : "c") + ".mp3";
                const std::string file =
                    encode(name, rate, channels, test_sound(rate, channels, 2.0, 7u + rate),
                           lame_options(rate, channels, vbr));
                expect_bit_exact(name, file, frame_samples_at(rate), rate);
                std::remove(file.c_str());
            }
        }
    }
}

TEST_F(Mp3Play, ConformanceStreamsPlayAsDecoded) {
    if (!have_vectors()) GTEST_SKIP() << "no conformance vectors in " << vector_dir();
    for (const ConformanceVector& v : conformance_vectors)
        expect_bit_exact(v.name, vector_dir() + "/" + v.name + ".bit", v.frame_samples);
}

// An ID3v2.3 tag of `total` bytes, header included, with no sync pattern inside.
std::string id3_tag(size_t total) {
    const size_t size = total - 10;
    std::string t = std::string("ID3\x03\x00\x00", 6);
    t += static_cast<char>((size >> 21) & 0x7F);
    t += static_cast<char>((size >> 14) & 0x7F);
    t += static_cast<char>((size >> 7) & 0x7F);
    t += static_cast<char>(size & 0x7F);
    t += "TIT2";
    t.resize(total, '\0');
    return t;
}

TEST_F(Mp3Play, TaggedCbrFileSoughtTo60Seconds) {
    REQUIRE_LAME();
    const std::string mp3 = read_file(encode("long.mp3", 44100, 2, test_sound(44100, 2, 66.0, 99u),
                                             {"-b", "128", "-m", "j", "--resample", "44.1"}));
    const std::string file = dir.file("tagged.mp3");
    write_file(file, id3_tag(4096) + mp3);

    TimeReports daemon;
    std::vector<std::string> argv = {vexa_bin("vexa"), "-d1", file, "60"};
    EnvList env = ossim_env(device(), report());
    ProcResult r = run_program(argv, env, 120);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // 4096 + 128000 * 60 / 8
    EXPECT_NE(r.out.find("found id3v2 header, mp3 offset = 4096\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("forking sub-process, offset=964096\n"), std::string::npos) << r.out;
    if (daemon.ok()) {
        const std::vector<int> times = daemon.times();
        ASSERT_FALSE(times.empty());
        EXPECT_EQ(times.front(), 60) << testing::PrintToString(times);
        EXPECT_EQ(times.back(), 65) << testing::PrintToString(times);
    }
    // What plays is the stream from that byte, less the first two frames decoded there.
    const std::string bytes = read_file(file);
    write_file(dir.file("from.mp3"), bytes.substr(964096));
    Decoded d = decode(dir.file("from.mp3"), 1152);
    ASSERT_GT(d.frames.size(), 2u) << d.err;
    d.frames.erase(d.frames.begin(), d.frames.begin() + 2);
    expect_frames_played("tagged 60 s", d.frames, d.rate, 0);
}

// A file beyond 4 GiB, almost all hole: the probe, the start byte, the reader's seek and
// the track time all need 64-bit offsets, also on a 32-bit machine.
TEST_F(Mp3Play, SparseFileBeyond4GiBSoughtNearItsEnd) {
    REQUIRE_LAME();
    // No Xing tag: the probe measures 128 kbit/s, 16000 bytes a second, from the first frames.
    const std::string mp3 = read_file(encode("piece.mp3", 44100, 2, test_sound(44100, 2, 3.0, 5u),
                                             {"-t", "-b", "128", "-m", "j", "--resample", "44.1"}));
    const int64_t seconds = 270000;
    const int64_t at = 16000 * seconds; // 4320000000, past 2^32
    const std::string file = dir.file("sparse.mp3");
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const auto n = static_cast<ssize_t>(mp3.size());
    const bool written = pwrite(fd, mp3.data(), mp3.size(), 0) == n &&
                         pwrite(fd, mp3.data(), mp3.size(), static_cast<off_t>(at)) == n;
    close(fd);
    ASSERT_TRUE(written) << "cannot write a sparse file of " << at << " bytes here";

    ProcResult info = vexa({"-i", file});
    EXPECT_EQ(info.exit_code, 1);
    const int64_t track = (at + static_cast<int64_t>(mp3.size())) / 16000;
    const std::string says = "total_track_time " + std::to_string(track);
    EXPECT_EQ(info.out.rfind(says, 0), 0u) << info.out << " (want about " << track << ")";

    ProcResult r = vexa({"-d1", file, std::to_string(seconds)});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("file_length " + std::to_string(at + n) + "\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("forking sub-process, offset=" + std::to_string(at) + "\n"),
              std::string::npos)
        << r.out;
    // What plays is the second copy from its start, less the first two frames decoded there.
    Decoded d = decode(dir.file("piece.mp3"), 1152);
    ASSERT_GT(d.frames.size(), 2u) << d.err;
    d.frames.erase(d.frames.begin(), d.frames.begin() + 2);
    expect_frames_played("sparse file from 4320000000", d.frames, d.rate, 0);
    std::remove(file.c_str());
}

uint32_t be32_at(const std::string& b, size_t p) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[p])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[p + 1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[p + 2])) << 8 |
           static_cast<uint8_t>(b[p + 3]);
}

TEST_F(Mp3Play, VbrFileSeeksByItsXingAverage) {
    REQUIRE_LAME();
    const std::string file = encode("vbr.mp3", 44100, 2, test_sound(44100, 2, 20.0, 5u),
                                    {"-V", "2", "-m", "j", "--resample", "44.1"});
    const std::string bytes = read_file(file);
    ASSERT_EQ(bytes.substr(36, 4), "Xing");
    ASSERT_EQ(be32_at(bytes, 40) & 3, 3u);
    const uint32_t frames = be32_at(bytes, 44), stream_bytes = be32_at(bytes, 48);
    const int seconds = static_cast<int>(frames / 38.28125);
    const int average =
        static_cast<int>(static_cast<float>(stream_bytes * 8) / static_cast<float>(seconds));
    const int64_t start = static_cast<int64_t>(average) * 10 / 8;

    ProcResult r = vexa({"-d1", file, "10"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(
        r.out.find("decoder: VBR detected, average bitrate " + std::to_string(average) + " bps\n"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("forking sub-process, offset=" + std::to_string(start) + "\n"),
              std::string::npos);
    EXPECT_EQ(r.out.find("decoder: bitrate is"), std::string::npos) << "no frame is decoded";

    write_file(dir.file("from.mp3"), bytes.substr(static_cast<size_t>(start)));
    Decoded d = decode(dir.file("from.mp3"), 1152);
    ASSERT_GT(d.frames.size(), 2u) << d.err;
    d.frames.erase(d.frames.begin(), d.frames.begin() + 2);
    expect_frames_played("vbr 10 s", d.frames, d.rate, 0);

    // Behind a tag the header is found all the same, and the start moves by the tag.
    const std::string tagged = dir.file("tagged-vbr.mp3");
    write_file(tagged, id3_tag(3000) + bytes);
    ProcResult t = vexa({"-d1", tagged, "10"});
    EXPECT_EQ(t.exit_code, 0);
    EXPECT_NE(
        t.out.find("decoder: VBR detected, average bitrate " + std::to_string(average) + " bps\n"),
        std::string::npos)
        << t.out;
    EXPECT_NE(t.out.find("forking sub-process, offset=" + std::to_string(3000 + start) + "\n"),
              std::string::npos);

    // -i: the file's bits over that average.
    ProcResult i = vexa({"-i", file});
    EXPECT_EQ(i.exit_code, 1);
    EXPECT_EQ(i.out, "total_track_time " +
                         std::to_string(static_cast<int>(static_cast<float>(bytes.size() * 8) /
                                                         static_cast<float>(average))) +
                         "\n\n");
}

std::string info_line(float bits, float rate) {
    return "total_track_time " + std::to_string(static_cast<int>(bits / rate)) + "\n\n";
}

TEST_F(Mp3Play, InfoPrintsTheTrackTime) {
    REQUIRE_LAME();
    const auto sound = test_sound(44100, 2, 12.0, 3u);
    const std::string cbr = encode("cbr.mp3", 44100, 2, sound, {"-b", "128", "-m", "j"});
    const std::string bytes = read_file(cbr);
    {
        ProcResult r = vexa({"-i", cbr});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, info_line(static_cast<float>(bytes.size() * 8), 128000.0f));
        EXPECT_EQ(played(), "");
    }
    { // tagged: the tag counts in the file length
        const std::string tagged = dir.file("tagged.mp3");
        write_file(tagged, id3_tag(4096) + bytes);
        ProcResult r = vexa({"-i", tagged});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, info_line(static_cast<float>((bytes.size() + 4096) * 8), 128000.0f));
    }
    { // truncated: what is there
        const std::string cut = dir.file("cut.mp3");
        write_file(cut, bytes.substr(0, bytes.size() / 3));
        ProcResult r = vexa({"-i", cut});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, info_line(static_cast<float>(bytes.size() / 3 * 8), 128000.0f));
    }
    { // free format: 417- and 418-byte frames, timed by the shorter: 417 * 8 * 44100 / 1152
        const std::string ff =
            encode("ff.mp3", 44100, 2, sound, {"--freeformat", "-b", "128", "-m", "j"});
        const std::string ffb = read_file(ff);
        ASSERT_EQ(static_cast<uint8_t>(ffb[2]) >> 4, 0) << "bitrate index 0";
        ProcResult r = vexa({"-i", ff});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, info_line(static_cast<float>(ffb.size() * 8), 127706.0f)) << r.out;
        // and it seeks: 127706 * 5 / 8 bytes in, the two frames after that dropped
        ProcResult s = vexa({"-d1", ff, "5"});
        EXPECT_EQ(s.exit_code, 0);
        EXPECT_NE(s.out.find("forking sub-process, offset=79816\n"), std::string::npos) << s.out;
        EXPECT_GT(played().size(), 0u);
    }
    { // fewer than three frames before bytes that are no frame: no stream to time or play
        const auto starts = frame_starts(bytes, 0);
        ASSERT_GT(starts.size(), 3u);
        for (size_t keep : {size_t{0}, size_t{1}, size_t{2}}) {
            const std::string few = dir.file("few.mp3");
            write_file(few, bytes.substr(0, starts[keep]) + std::string(1600, '\0'));
            ProcResult r = vexa({"-i", few});
            EXPECT_EQ(r.exit_code, 1) << keep;
            EXPECT_EQ(r.out, "") << keep;
            EXPECT_NE(r.err.find("no MPEG audio Layer III or WAV stream found"), std::string::npos)
                << keep << r.err;
            ProcResult p = vexa({few, "1"});
            EXPECT_FALSE(p.timed_out);
            EXPECT_EQ(p.exit_code, 1);
            EXPECT_EQ(played(), "") << keep;
        }
    }
}

TEST_F(Mp3Play, XingHeadersWithOneCountOrUnderASecond) {
    REQUIRE_LAME();
    const std::string file =
        encode("v.mp3", 44100, 2, test_sound(44100, 2, 8.0, 11u), {"-V", "4", "-m", "j"});
    const std::string bytes = read_file(file);
    ASSERT_EQ(bytes.substr(36, 4), "Xing");
    const uint32_t frames = be32_at(bytes, 44);
    auto with_fields = [&](uint32_t flags, const std::vector<uint32_t>& values) {
        std::string b = bytes;
        std::string f;
        for (uint32_t v : {flags})
            for (int s = 24; s >= 0; s -= 8)
                f += static_cast<char>(v >> s);
        for (uint32_t v : values)
            for (int s = 24; s >= 0; s -= 8)
                f += static_cast<char>(v >> s);
        b.replace(40, f.size(), f);
        const std::string path = dir.file("x.mp3");
        write_file(path, b);
        return path;
    };
    { // frame count only: the bytes are the rest of the file
        const std::string f = with_fields(1, {frames});
        const int seconds = static_cast<int>(frames / 38.28125);
        const int average =
            static_cast<int>(static_cast<float>(bytes.size() * 8) / static_cast<float>(seconds));
        ProcResult r = vexa({"-d1", f, "2"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_NE(r.out.find("average bitrate " + std::to_string(average) + " bps"),
                  std::string::npos)
            << r.out;
        EXPECT_GT(played().size(), 0u);
    }
    { // byte count only: measured from the first frames instead
        const std::string f = with_fields(2, {static_cast<uint32_t>(bytes.size())});
        ProcResult r = vexa({"-d1", f, "2"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_NE(r.out.find("decoder: VBR not detected\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("decoder: bitrate is"), std::string::npos);
        ProcResult i = vexa({"-i", f});
        EXPECT_EQ(i.exit_code, 1);
        EXPECT_EQ(i.out.rfind("total_track_time ", 0), 0u);
    }
    { // 20 frames, about half a second: a bitrate, no division by zero
        const std::string f = with_fields(3, {20, 8000});
        ProcResult i = vexa({"-d1", "-i", f});
        EXPECT_EQ(i.exit_code, 1);
        EXPECT_NE(i.out.find("average bitrate 122500 bps"), std::string::npos) << i.out;
        EXPECT_NE(i.out.find("total_track_time " +
                             std::to_string(static_cast<int>(static_cast<float>(bytes.size() * 8) /
                                                             122500.0f)) +
                             "\n\n"),
                  std::string::npos);
    }
}

TEST_F(Mp3Play, OffsetsBeforeAtAndPastTheEnd) {
    REQUIRE_LAME();
    const std::string file =
        encode("five.mp3", 44100, 2, test_sound(44100, 2, 5.0, 1u), {"-b", "128", "-m", "j"});
    ProcResult from0 = vexa({file});
    ASSERT_EQ(from0.exit_code, 0);
    const std::string all = played();
    ASSERT_GT(all.size(), 0u);
    ProcResult neg = vexa({file, "-3"});
    EXPECT_EQ(neg.exit_code, 1) << "a negative offset is refused";
    EXPECT_EQ(played(), "");
    for (const char* offset : {"5", "6", "100000000000"}) {
        ProcResult r = vexa({file, offset});
        EXPECT_FALSE(r.timed_out) << offset;
        EXPECT_EQ(r.exit_code, 0) << offset << r.err;
        EXPECT_LT(played().size(), 44100u * 4 / 10) << offset;
    }
}

TEST_F(Mp3Play, EachTrackCountsFromZeroUnderOneRegistration) {
    REQUIRE_LAME();
    const std::string a = encode("a.mp3", 44100, 2, test_sound(44100, 2, 2.5, 3u), {"-b", "128"});
    const std::string b = encode("b.mp3", 22050, 1, test_sound(22050, 1, 1.5, 4u), {"-b", "32"});
    TimeReports daemon;
    if (!daemon.ok()) GTEST_SKIP() << "the control socket path is in use";
    ProcResult r = run_program({vexa_bin("vexa"), a, b}, ossim_env(device(), report()), 120);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(daemon.times(), (std::vector<int>{0, 1, 2, 0, 1}));
    EXPECT_EQ(daemon.of(CTL_CMD_REGISTER).size(), 1u);
}

TEST_F(Mp3Play, OverriddenRateCountsTheSecondsPlayed) {
    REQUIRE_LAME();
    // 15 s at 22050 Hz taken as 44100 Hz from 10 s in: the count starts at 10 * 44100
    // samples and the 5 s of stream left play in 2.5 s.
    const std::string file = encode("r.mp3", 22050, 2, test_sound(22050, 2, 15.0, 6u),
                                    {"-b", "64", "-m", "j", "--resample", "22.05"});
    TimeReports daemon;
    if (!daemon.ok()) GTEST_SKIP() << "the control socket path is in use";
    ProcResult r =
        run_program({vexa_bin("vexa"), "-r44100", file, "10"}, ossim_env(device(), report()), 120);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(daemon.times(), (std::vector<int>{10, 11, 12}));
}

TEST_F(Mp3Play, CorruptFramesAreDroppedAndPlayGoesOn) {
    REQUIRE_LAME();
    const std::string file =
        encode("c.mp3", 44100, 2, test_sound(44100, 2, 6.0, 21u), {"-b", "128", "-m", "j"});
    std::string bytes = read_file(file);
    const auto starts = frame_starts(bytes, 0);
    ASSERT_GT(starts.size(), 200u);
    // A header with a reserved rate, one with a forbidden bitrate, one of another layer,
    // a frame of noise, and a run of bytes lost from the middle of a frame.
    bytes[starts[40] + 2] = static_cast<char>(bytes[starts[40] + 2] | 0x0C);
    bytes[starts[60] + 2] = static_cast<char>(bytes[starts[60] + 2] | 0xF0);
    bytes[starts[80] + 1] = static_cast<char>((bytes[starts[80] + 1] & ~0x06) | 0x04);
    uint32_t x = 77;
    for (size_t i = starts[100] + 4; i < starts[101]; i++) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    bytes.erase(starts[150] + 100, 150);
    write_file(file, bytes);
    Decoded d = decode(file, 1152);
    // The broken headers start no run of frames: they never reach the decoder.
    EXPECT_NE(d.err.find(" sync words outside the stream"), std::string::npos) << d.err;
    EXPECT_EQ(d.err.find("eReservedSamplingFrequency "), std::string::npos) << d.err;
    EXPECT_GT(d.frames.size(), starts.size() - 12) << d.err;
    ProcResult r = vexa({file});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    expect_frames_played("corrupt", d.frames, d.rate, 0);
}

TEST_F(Mp3Play, StreamEndingWithoutASyncWordEnds) {
    REQUIRE_LAME();
    const std::string file = encode("t.mp3", 22050, 1, test_sound(22050, 1, 2.0, 4u),
                                    {"-b", "32", "-m", "m", "--resample", "22.05"});
    const std::string bytes = read_file(file);
    for (size_t tail : {size_t{3000}, size_t{100}, size_t{7}}) {
        const std::string padded = dir.file("pad.mp3");
        write_file(padded, bytes + std::string(tail, '\0'));
        Decoded d = decode(padded, 576);
        ProcResult r = vexa({padded});
        EXPECT_FALSE(r.timed_out) << tail;
        EXPECT_EQ(r.exit_code, 0) << tail;
        // The last frame plays whatever follows it.
        expect_frames_played("padded", d.frames, d.rate, 0);
    }
}

// Starts of the free-format frames of `b` from `from`: the first header, the frame length
// from the distance to the next one, then header after header at that length (and padding).
std::vector<size_t> free_frame_starts(const std::string& b, size_t from) {
    auto free_header = [&b](size_t p) {
        return p + 4 <= b.size() && static_cast<uint8_t>(b[p]) == 0xFF &&
               (static_cast<uint8_t>(b[p + 1]) & 0xFE) == 0xFA &&
               (static_cast<uint8_t>(b[p + 2]) & 0xF0) == 0;
    };
    auto padding = [&b](size_t p) { return (static_cast<uint8_t>(b[p + 2]) >> 1) & 1; };
    std::vector<size_t> starts;
    size_t second = from + 8;
    while (second < b.size() && !free_header(second))
        second++;
    if (!free_header(from) || second >= b.size()) return starts;
    const size_t length = second - from - padding(from);
    for (size_t p = from; free_header(p); p += length + padding(p))
        starts.push_back(p);
    return starts;
}

TEST_F(Mp3Play, StreamEndingInAFreeFormatFrame) {
    // Made by lame when it is there, else the free-format conformance stream.
    std::string bytes;
    if (have_lame()) {
        bytes = read_file(encode("ff.mp3", 44100, 2, test_sound(44100, 2, 3.0, 17u),
                                 {"--freeformat", "-b", "200", "-m", "j"}));
    } else {
        const std::string vector = vector_dir() + "/l3-he_free.bit";
        if (!file_exists(vector)) GTEST_SKIP() << "neither lame nor " << vector;
        bytes = read_file(vector);
    }
    const std::vector<size_t> starts = free_frame_starts(bytes, 0);
    ASSERT_GT(starts.size(), 10u);
    const size_t last = starts.back();
    // The whole stream; its last frame without its last bytes; only that frame's header.
    const std::pair<size_t, size_t> cuts[] = {{bytes.size(), starts.size()},
                                              {bytes.size() - 100, starts.size() - 1},
                                              {last + 10, starts.size() - 1}};
    for (const auto& [size, frames] : cuts) {
        const std::string file = dir.file("cut.mp3");
        write_file(file, bytes.substr(0, size));
        Decoded d = decode(file, 1152);
        EXPECT_EQ(d.frames.size(), frames) << size << d.err;
        ProcResult r = vexa({file});
        EXPECT_EQ(r.exit_code, 0) << size << r.err;
        expect_frames_played("free format cut at " + std::to_string(size), d.frames, d.rate, 0);
        EXPECT_EQ(played().size(), 4 * 1152 * frames) << size;
    }
}

TEST_F(Mp3Play, SyncWordsOutsideTheStreamArePassedOver) {
    // Junk with sync words before the first frame and between two frames, tags after the
    // last: the stream plays exactly as it does alone.
    const std::string plain = std::string(VEXA_SOURCE_DIR) + "/samples/chime.mp3";
    const std::string bytes = read_file(plain);
    const auto starts = frame_starts(bytes, 0);
    ASSERT_GT(starts.size(), 40u);
    std::string junk = "junk: \xFF\xFB\x90\x64";
    uint32_t x = 5;
    for (int i = 0; i < 700; i++) {
        x = x * 1103515245u + 12345u;
        junk += static_cast<char>(i % 97 == 0 ? 0xFF : x >> 24);
    }
    const std::string tags = std::string("APETAGEX\xD0\x07\0\0\xFF\xFB\x90\x64", 16) +
                             std::string(40, 'a') + "TAG" + std::string(125, 't');
    const std::string file = dir.file("junk.mp3");
    write_file(file, id3_tag(600) + junk + bytes.substr(0, starts[30]) + junk +
                         bytes.substr(starts[30]) + tags);
    ASSERT_EQ(vexa({plain}).exit_code, 0);
    const std::string alone = played();
    ProcResult r = vexa({file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(played(), alone);
    // The decode tool passes them over the same way.
    Decoded a = decode(plain, 1152), j = decode(file, 1152);
    EXPECT_EQ(j.frames.size(), a.frames.size()) << j.err;
    EXPECT_NE(j.err.find("sync words outside the stream"), std::string::npos) << j.err;
}

TEST_F(Mp3Play, MonoAndChannelAndRateOverrides) {
    REQUIRE_LAME();
    const std::string stereo =
        encode("s.mp3", 44100, 2, test_sound(44100, 2, 2.0, 8u), {"-b", "128", "-m", "s"});
    Decoded d = decode(stereo, 1152);
    ASSERT_FALSE(d.frames.empty());
    // -c1: the left channel on both sides.
    for (Frame& f : d.frames)
        f.right = f.left;
    ASSERT_EQ(vexa({"-c1", stereo}).exit_code, 0);
    expect_frames_played("-c1", d.frames, 44100, 0);
    // -r22050: the 44100 Hz frames converted as 22050 Hz ones, twice as many samples.
    Decoded d2 = decode(stereo, 1152);
    ASSERT_EQ(vexa({"-r22050", stereo}).exit_code, 0);
    expect_frames_played("-r22050", d2.frames, 22050, 0);
    // -w leaves the words as the machine reads them: no run of frames lines up, so the
    // file is refused and nothing plays.
    ProcResult w = vexa({"-w", stereo});
    EXPECT_FALSE(w.timed_out);
    EXPECT_EQ(w.exit_code, 1);
    EXPECT_EQ(played(), "");
}

TEST_F(Mp3Play, HostileInputEndsCleanly) {
    std::string noise(200000, '\0');
    uint32_t x = 4242;
    for (char& c : noise) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    write_file(dir.file("noise.mp3"), noise);
    write_file(dir.file("empty.mp3"), "");
    for (const char* name : {"noise.mp3", "empty.mp3"}) {
        for (const std::vector<std::string>& extra :
             {std::vector<std::string>{}, std::vector<std::string>{"3"},
              std::vector<std::string>{"-i"}}) {
            std::vector<std::string> args = {dir.file(name)};
            args.insert(extra == std::vector<std::string>{"-i"} ? args.begin() : args.end(),
                        extra.begin(), extra.end());
            ProcResult r = vexa(args);
            EXPECT_FALSE(r.timed_out) << name;
            EXPECT_EQ(r.exit_code, 1) << name << r.err;
            EXPECT_EQ(r.term_signal, 0) << name;
            EXPECT_EQ(r.out, "") << name;
            // One line, naming the file and what is wrong with it.
            EXPECT_EQ(r.err, dir.file(name) + (name == std::string("empty.mp3")
                                                   ? ": empty file\n"
                                                   : ": no MPEG audio Layer III or WAV stream "
                                                     "found\n"))
                << name;
            EXPECT_EQ(played(), "") << name;
        }
    }

    ProcResult missing = vexa({dir.file("absent.mp3")});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.err, dir.file("absent.mp3") + ": No such file or directory\n");
    EXPECT_EQ(played(), "");

    // A directory opens but cannot be read.
    ProcResult folder = vexa({dir.path});
    EXPECT_FALSE(folder.timed_out);
    EXPECT_EQ(folder.exit_code, 1);
    EXPECT_EQ(folder.err, dir.path + ": Is a directory\n");
    EXPECT_EQ(played(), "");
    ProcResult folder_info = vexa({"-i", dir.path});
    EXPECT_EQ(folder_info.exit_code, 1);
    EXPECT_NE(folder_info.err.find("Is a directory"), std::string::npos) << folder_info.err;
}

TEST_F(Mp3Play, ThirtySecondsAt320kInRealTimeWithoutUnderruns) {
    REQUIRE_LAME();
    const std::string file = encode("rt.mp3", 44100, 2, test_sound(44100, 2, 30.0, 320u),
                                    {"-b", "320", "-m", "s", "--resample", "44.1"});
    ProcResult r = vexa({file}, true);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_GT(r.elapsed_s, 29.0);
    long underruns = 0;
    long long bytes = 0;
    for (const auto& rep : read_ossim_reports(report())) {
        underruns += rep.underruns;
        bytes += rep.bytes;
    }
    EXPECT_GT(bytes, 44100LL * 4 * 29);
    EXPECT_EQ(underruns, 0);
}

} // namespace
