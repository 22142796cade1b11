// MPEG audio files played end to end through the OSS simulator: what reaches the device
// is the decoder's own output (vexa-decode) converted to 44100 Hz by the same audio
// functions, frame for frame; start offsets, -i, damaged and hostile input.
#include "audio_internal.h"
#include "control_path.h"
#include "mp3dec.h"
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
// starts no valid Layer III header is passed over. Free-format frames end the walk.
std::vector<size_t> frame_starts(const std::string& b, size_t from) {
    std::vector<size_t> starts;
    size_t p = from;
    while (p + 4 <= b.size()) {
        const uint32_t h = mp3_hdr_word(reinterpret_cast<const uint8_t*>(b.data() + p));
        if (mp3_hdr_faults(h) != 0) {
            p++;
            continue;
        }
        const int32_t length = mp3_frame_bytes(h);
        if (length == 0) break;
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

    // Frame for frame against vexa-decode: both keep every decoded sample (--no-gapless).
    ProcResult vexa(const std::vector<std::string>& args, bool realtime = false) {
        std::vector<std::string> argv = {vexa_bin("vexa"), "--no-gapless"};
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
        ProcResult r =
            run_program({vexa_bin("vexa-decode"), "--no-gapless", "-w", file, out}, {}, 120);
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

uint32_t be32_at(const std::string& b, size_t p) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[p])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[p + 1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[p + 2])) << 8 |
           static_cast<uint8_t>(b[p + 3]);
}

// An ID3v2.4 tag of `total` bytes with a footer (10 bytes more).
std::string id3v24_with_footer(size_t total) {
    std::string t = id3_tag(total);
    t[3] = 4;
    t[5] = 0x10;
    std::string footer = t.substr(0, 10);
    footer.replace(0, 3, "3DI");
    return t + footer;
}

// The tags players find at the end of files: ID3v1, APEv2 (with its header), Lyrics3v2,
// and an ID3v2.4 tag appended with its footer; each holds a sync pattern.
std::string end_tags() {
    const std::string sync("\xFF\xFB\x90\x64", 4);
    std::string ape_items = sync + std::string(60, 'a');
    auto le32s = [](uint32_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    };
    const uint32_t ape_size = static_cast<uint32_t>(ape_items.size() + 32);
    const std::string ape_head = "APETAGEX" + le32s(2000) + le32s(ape_size) + le32s(1) +
                                 le32s(0xA0000000u) + std::string(8, '\0');
    const std::string ape_foot = "APETAGEX" + le32s(2000) + le32s(ape_size) + le32s(1) +
                                 le32s(0x80000000u) + std::string(8, '\0');
    const std::string lyrics = "LYRICSBEGININD00002" + sync + std::string(20, 'l');
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06zu", lyrics.size());
    std::string appended = id3v24_with_footer(300);
    appended.replace(20, 4, sync);
    return ape_head + ape_items + ape_foot + lyrics + digits + "LYRICS200" + appended + "TAG" +
           sync + std::string(121, 't');
}

// The counts of the Xing or Info header of a MPEG-1 stereo file's first frame.
struct XingCounts {
    uint32_t frames = 0, bytes = 0;
    int delay = 0, padding = 0;
};
XingCounts xing_counts(const std::string& b, size_t frame) {
    XingCounts c;
    const std::string id = b.substr(frame + 36, 4);
    if (id != "Xing" && id != "Info") return c;
    c.frames = be32_at(b, frame + 44);
    c.bytes = be32_at(b, frame + 48);
    const size_t lame = frame + 36 + 120;
    const uint32_t dp = be32_at(b, lame + 20) & 0xFFFFFF;
    c.delay = static_cast<int>(dp >> 12);
    c.padding = static_cast<int>(dp & 0xFFF);
    return c;
}

// A VBRI frame before the stream `b` (MPEG-1 stereo 44100 Hz, no header frame of its own):
// frame count, byte count and a table of one entry per `per_entry` frames.
std::string with_vbri(const std::string& b) {
    const auto starts = frame_starts(b, 0);
    const size_t per_entry = 10;
    std::vector<uint32_t> entries;
    const size_t header_bytes = 1044; // 320 kbit/s, padded
    for (size_t k = 0; k < starts.size(); k += per_entry) {
        const size_t end = k + per_entry < starts.size() ? starts[k + per_entry] : b.size();
        entries.push_back(static_cast<uint32_t>(end - starts[k] + (k == 0 ? header_bytes : 0)));
    }
    std::string f("\xFF\xFB\xE2\x44", 4); // 320 kbit/s, padded, stereo
    f.resize(36, '\0');
    auto be = [&f](uint32_t v, int n) {
        for (int s = 8 * (n - 1); s >= 0; s -= 8)
            f += static_cast<char>(v >> s);
    };
    f += "VBRI";
    be(1, 2);
    be(1105, 2);
    be(75, 2);
    be(static_cast<uint32_t>(b.size() + header_bytes), 4);
    be(static_cast<uint32_t>(starts.size()), 4);
    be(static_cast<uint32_t>(entries.size()), 2);
    be(1, 2);
    be(4, 2);
    be(static_cast<uint32_t>(per_entry), 2);
    for (uint32_t e : entries)
        be(e, 4);
    EXPECT_LE(f.size(), header_bytes);
    f.resize(header_bytes, '\0');
    return f + b;
}

TEST_F(Mp3Play, TrackTimeOfRealFiles) {
    REQUIRE_LAME();
    // 8.5 s: every exact method and every header walk gives 8.
    const auto sound = test_sound(44100, 2, 8.5, 3u);
    const std::string vbr = read_file(encode("v.mp3", 44100, 2, sound, {"-V", "4", "-m", "j"}));
    const std::string bare =
        read_file(encode("t.mp3", 44100, 2, sound, {"-t", "-V", "4", "-m", "j"}));
    const std::string cbr = read_file(encode("c.mp3", 44100, 2, sound, {"-t", "-b", "128"}));
    const std::string free =
        read_file(encode("f.mp3", 44100, 2, sound, {"-t", "--freeformat", "-b", "450"}));
    const XingCounts x = xing_counts(vbr, 0);
    ASSERT_GT(x.frames, 0u);
    EXPECT_EQ(static_cast<int64_t>(x.frames) * 1152 - x.delay - x.padding, 44100 * 17 / 2)
        << "lame keeps the length";
    std::string junk(3000, '\0');
    for (size_t i = 0; i < junk.size(); i++)
        junk[i] = static_cast<char>(i * 7 % 200);
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"Xing", vbr},
        {"two tags and a 500 KiB cover", id3_tag(512000) + id3_tag(300) + vbr},
        {"ID3v2.4 with footer", id3v24_with_footer(4000) + vbr},
        {"tags at the end", vbr + end_tags()},
        {"junk before the first frame", id3_tag(200) + junk + vbr},
        {"VBR without Xing", bare},
        {"VBRI", with_vbri(bare)},
        {"CBR without Info behind a cover, tags at the end", id3_tag(300000) + cbr + end_tags()},
        {"free format at 450 kbit/s without Info", free},
    };
    for (const auto& c : cases) {
        const std::string file = dir.file("i.mp3");
        write_file(file, c.bytes);
        ProcResult r = vexa({"-i", file});
        EXPECT_EQ(r.exit_code, 1) << c.name;
        EXPECT_EQ(r.out, "total_track_time 8\n\n") << c.name << r.err;
        EXPECT_EQ(played(), "") << c.name;
    }
}

// The decoded sample (per channel, after any header frame) that starts the frame at `byte`
// or the first after it, by the file's own frames.
int64_t sample_at(const std::string& b, size_t first_frame, bool header_frame, int64_t byte) {
    const auto starts = frame_starts(b, first_frame);
    size_t k = 0;
    while (k < starts.size() && static_cast<int64_t>(starts[k]) < byte)
        k++;
    return 1152 * (static_cast<int64_t>(k) - (header_frame ? 1 : 0));
}

TEST_F(Mp3Play, SeeksLandWhereAsked) {
    REQUIRE_LAME();
    // 40 s: a quiet tone, then loud noise; the second half takes many more bytes a second.
    std::vector<int16_t> sound(2 * 44100 * 40);
    uint32_t x = 9;
    for (size_t i = 0; i < sound.size() / 2; i++) {
        const bool loud = i >= sound.size() / 4;
        x = x * 1103515245u + 12345u;
        const auto v = static_cast<int16_t>(loud ? static_cast<int16_t>(x >> 16) / 2
                                                 : 300 * std::sin(i * 0.0627));
        sound[2 * i] = sound[2 * i + 1] = v;
    }
    const std::string vbr = read_file(encode("v.mp3", 44100, 2, sound, {"-V", "2", "-m", "j"}));
    const std::string bare =
        read_file(encode("t.mp3", 44100, 2, sound, {"-t", "-V", "2", "-m", "j"}));
    const std::string cbr = read_file(encode("c.mp3", 44100, 2, sound, {"-b", "128", "-m", "j"}));
    const XingCounts xv = xing_counts(vbr, 0), xc = xing_counts(cbr, 0);
    const double frame_s = 1152.0 / 44100;
    const std::string two_tags = id3_tag(5000) + id3_tag(70000);
    const struct {
        const char* name;
        std::string bytes;
        size_t first_frame;
        bool header_frame;
        int trimmed;     // samples the player drops before the track's time 0
        double may_miss; // seconds
    } cases[] = {
        {"Xing table of contents", vbr, 0, true, xv.delay + 529, 0.5},
        {"VBR without Xing: header walk", bare, 0, false, 0, frame_s},
        {"VBRI table of contents", with_vbri(bare), 0, true, 0, 0.5},
        {"CBR behind two tags", two_tags + cbr + end_tags(), two_tags.size(), true, xc.delay + 529,
         frame_s},
    };
    for (const auto& c : cases) {
        const std::string file = dir.file("s.mp3");
        write_file(file, c.bytes);
        for (int asked : {10, 20, 30}) {
            SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(asked));
            ProcResult r = run_program({vexa_bin("vexa"), "-q", "-d1", file, std::to_string(asked)},
                                       ossim_env(device(), report()), 120);
            ASSERT_EQ(r.exit_code, 0) << r.err;
            long long byte = -1, counted = -1;
            const size_t at = r.out.find("decoder: starting at byte ");
            ASSERT_NE(at, std::string::npos) << r.out;
            ASSERT_EQ(std::sscanf(r.out.c_str() + at,
                                  "decoder: starting at byte %lld, %lld samples", &byte, &counted),
                      2);
            // Where it really lands, by the file's own frames, and what it counts from there.
            const double landed =
                static_cast<double>(sample_at(c.bytes, c.first_frame, c.header_frame, byte) -
                                    c.trimmed) /
                44100;
            EXPECT_NEAR(landed, asked, c.may_miss);
            EXPECT_NEAR(static_cast<double>(counted) / 44100, landed, c.may_miss);
        }
    }
}

// A file beyond 4 GiB, almost all hole: its Info header counts frames to the end, and a
// start time near the end lands, by CBR arithmetic, on the frames written there. The start
// byte, the reader's seek and the track time need 64-bit numbers, also on a 32-bit machine.
TEST_F(Mp3Play, SparseFileBeyond4GiBSoughtNearItsEnd) {
    REQUIRE_LAME();
    std::string mp3 = read_file(encode("piece.mp3", 44100, 2, test_sound(44100, 2, 3.0, 5u),
                                       {"-b", "128", "-m", "j", "--resample", "44.1"}));
    ASSERT_EQ(mp3.substr(36, 4), "Info");
    const auto starts = frame_starts(mp3, 0);
    const size_t body = starts[1];
    const int64_t seconds = 270000;
    const int64_t k = seconds * 44100 / 1152; // the frame asked for
    const int64_t at = static_cast<int64_t>(body) + k * 1152 * 128 * 125 / 44100; // past 2^32
    const auto frames = static_cast<uint32_t>(k + static_cast<int64_t>(starts.size()) - 1);
    for (int s = 0; s < 4; s++)
        mp3[44 + static_cast<size_t>(s)] = static_cast<char>(frames >> (24 - 8 * s));
    const std::string file = dir.file("sparse.mp3");
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const std::string tail = mp3.substr(body);
    const bool written =
        pwrite(fd, mp3.data(), mp3.size(), 0) == static_cast<ssize_t>(mp3.size()) &&
        pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(at)) ==
            static_cast<ssize_t>(tail.size());
    close(fd);
    ASSERT_TRUE(written) << "cannot write a sparse file of " << at << " bytes here";

    ProcResult info = vexa({"-i", file});
    EXPECT_EQ(info.exit_code, 1);
    EXPECT_EQ(info.out,
              "total_track_time " + std::to_string(int64_t{frames} * 1152 / 44100) + "\n\n");
    ProcResult r = vexa({"-d1", file, std::to_string(seconds)});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("forking sub-process, offset=" + std::to_string(at) + "\n"),
              std::string::npos)
        << r.out;
    // What plays is the frames written there, less the first two decoded.
    write_file(dir.file("tail.mp3"), tail);
    Decoded d = decode(dir.file("tail.mp3"), 1152);
    ASSERT_GT(d.frames.size(), 2u) << d.err;
    d.frames.erase(d.frames.begin(), d.frames.begin() + 2);
    expect_frames_played("sparse file from " + std::to_string(at), d.frames, d.rate, 0);
    std::remove(file.c_str());
}

TEST_F(Mp3Play, FewerThanThreeFramesAreNoStream) {
    REQUIRE_LAME();
    const std::string bytes = read_file(
        encode("cbr.mp3", 44100, 2, test_sound(44100, 2, 2.0, 3u), {"-t", "-b", "128", "-m", "j"}));
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

// Samples per channel mpg123 gives for `file` (its default, gapless), or -1 without it.
int64_t mpg123_samples(const std::string& file, int channels) {
    if (access("/usr/bin/mpg123", X_OK) != 0) return -1;
    const std::string out = file + ".mpg123.raw";
    ProcResult r = run_program({"/usr/bin/mpg123", "-q", "-w", out, file}, {}, 120);
    if (r.exit_code != 0 || !file_exists(out)) return -2;
    const std::string wav = read_file(out);
    return wav.size() < 44 ? -3 : static_cast<int64_t>(wav.size() - 44) / (2 * channels);
}

// LAME files at all nine rates, CBR and VBR: the player and vexa-decode give exactly the
// samples that were encoded (the frames less the encoder's delay and padding), as mpg123
// does; with --no-gapless every frame's samples, the header frame's too.
TEST_F(Mp3Play, GaplessSampleCountsAtEveryRate) {
    REQUIRE_LAME();
    for (int rate : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000}) {
        for (bool vbr : {false, true}) {
            const int channels = rate == 16000 ? 1 : 2;
            const int spf = frame_samples_at(rate);
            const int64_t n = rate * 13 / 10; // 1.3 s
            const std::string name = std::to_string(rate) + (vbr ? "v" : "c") + ".mp3";
            SCOPED_TRACE(name);
            const std::string file =
                encode(name, rate, channels, test_sound(rate, channels, 1.3, 3u + rate),
                       lame_options(rate, channels, vbr));
            const std::string bytes = read_file(file);
            // The header's frame count, where lame puts it for this version and mode.
            const size_t tag =
                (rate >= 32000 ? 4 + 32 : 4 + 17) - (channels == 1 ? (rate >= 32000 ? 15 : 8) : 0);
            ASSERT_TRUE(bytes.substr(tag, 4) == "Xing" || bytes.substr(tag, 4) == "Info");
            const int64_t frames = be32_at(bytes, tag + 8);
            const std::string raw = dir.file("g.raw");
            ProcResult g = run_program({vexa_bin("vexa-decode"), file, raw}, {}, 120);
            ASSERT_EQ(g.exit_code, 0) << g.err;
            EXPECT_EQ(static_cast<int64_t>(read_file(raw).size()) / (2 * channels), n);
            const int64_t reference = mpg123_samples(file, channels);
            if (reference != -1) {
                EXPECT_EQ(reference, n) << "mpg123";
            }
            ProcResult all =
                run_program({vexa_bin("vexa-decode"), "--no-gapless", file, raw}, {}, 120);
            ASSERT_EQ(all.exit_code, 0) << all.err;
            EXPECT_EQ(static_cast<int64_t>(read_file(raw).size()) / (2 * channels),
                      (frames + 1) * spf);
            // The player converts 22050 and 11025 Hz by whole factors.
            if (44100 % rate == 0) {
                ProcResult p =
                    run_program({vexa_bin("vexa"), file}, ossim_env(device(), report()), 120);
                ASSERT_EQ(p.exit_code, 0) << p.err;
                EXPECT_EQ(static_cast<int64_t>(played().size()) / 4, n * (44100 / rate));
                write_file(device(), "");
            }
            std::remove(file.c_str());
        }
    }
}

// Free format up to 640 kbit/s (frames up to 2881 bytes at 32000 Hz): the player plays what
// vexa-decode decodes, and that is mpg123's output to at least 96 dB.
TEST_F(Mp3Play, FreeFormatUpTo640k) {
    REQUIRE_LAME();
    const struct {
        int rate, kbps;
    } cases[] = {{44100, 450}, {44100, 640}, {48000, 640}, {32000, 640}};
    for (const auto& c : cases) {
        const std::string name =
            "ff" + std::to_string(c.rate) + "_" + std::to_string(c.kbps) + ".mp3";
        SCOPED_TRACE(name);
        char khz[16];
        std::snprintf(khz, sizeof khz, "%g", c.rate / 1000.0);
        const std::string file =
            encode(name, c.rate, 2, test_sound(c.rate, 2, 2.0, 31u),
                   {"--freeformat", "-b", std::to_string(c.kbps), "-m", "s", "--resample", khz});
        const std::string raw = dir.file("ff.raw");
        ProcResult d = run_program({vexa_bin("vexa-decode"), file, raw}, {}, 120);
        ASSERT_EQ(d.exit_code, 0) << d.err;
        const std::vector<int16_t> got = pcm_samples(read_file(raw));
        EXPECT_EQ(got.size(), static_cast<size_t>(2 * 2 * c.rate)) << "the samples encoded";
        if (access("/usr/bin/mpg123", X_OK) == 0) {
            const std::string ref = dir.file("ff.ref");
            ASSERT_EQ(run_program({"/usr/bin/mpg123", "-q", "-w", ref, file}, {}, 120).exit_code,
                      0);
            const std::vector<int16_t> want = pcm_samples(read_file(ref).substr(44));
            EXPECT_EQ(want.size(), got.size());
            const PcmComparison cmp = compare_pcm(got, want);
            EXPECT_GE(cmp.psnr, CONFORMANCE_PSNR_DB);
        }
        if (c.rate == 44100) {
            ProcResult p =
                run_program({vexa_bin("vexa"), file}, ossim_env(device(), report()), 120);
            ASSERT_EQ(p.exit_code, 0) << p.err;
            EXPECT_TRUE(played() == pcm_bytes(got)) << played().size() << " bytes played";
            write_file(device(), "");
        }
    }
}

// A stream that turns into something else for more than 1 MiB ends there, with one line.
TEST_F(Mp3Play, LostStreamEndsTheTrack) {
    REQUIRE_LAME();
    const std::string mp3 = read_file(
        encode("l.mp3", 44100, 2, test_sound(44100, 2, 2.0, 4u), {"-t", "-b", "128", "-m", "j"}));
    std::string noise(3 << 20, '\0');
    uint32_t x = 77;
    for (char& c : noise) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    const std::string file = dir.file("lost.mp3");
    write_file(file, mp3 + noise + mp3);
    ProcResult r = vexa({file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("lost.mp3: no MPEG audio frame in 1 MiB; the track ends here\n"),
              std::string::npos)
        << r.err;
    const auto frames = frame_starts(mp3, 0).size();
    EXPECT_EQ(played().size(), 4 * 1152 * frames);
    ProcResult d = run_program({vexa_bin("vexa-decode"), file, dir.file("l.raw")}, {}, 120);
    EXPECT_EQ(d.exit_code, 0);
    EXPECT_NE(d.err.find(", no frame in the last 1 MiB"), std::string::npos) << d.err;
    EXPECT_EQ(read_file(dir.file("l.raw")).size(), 4 * 1152 * frames);
}

// Devices that never end and hold no stream: refused within a bound, not read forever.
TEST_F(Mp3Play, EndlessInputEnds) {
    for (const char* device_file : {"/dev/zero", "/dev/urandom"}) {
        for (bool info : {false, true}) {
            SCOPED_TRACE(std::string(device_file) + (info ? " -i" : ""));
            ProcResult r = info ? vexa({"-i", device_file}) : vexa({device_file});
            EXPECT_FALSE(r.timed_out);
            EXPECT_EQ(r.exit_code, 1);
            EXPECT_EQ(r.err,
                      std::string(device_file) + ": no MPEG audio Layer III or WAV stream found\n");
            EXPECT_EQ(played(), "");
        }
        ProcResult d =
            run_program({vexa_bin("vexa-decode"), device_file, dir.file("z.raw")}, {}, 60);
        EXPECT_FALSE(d.timed_out);
        EXPECT_EQ(d.exit_code, 1);
        EXPECT_NE(d.err.find("no decodable MPEG audio frame"), std::string::npos) << d.err;
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
