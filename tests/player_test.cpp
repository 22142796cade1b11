// The player end to end, through the OSS device simulator.
#include "ossim_report.h"
#include "proc.h"
#include "tempdir.h"
#include "wait.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

class Player : public testing::Test {
  protected:
    std::string device() const { return dir.file("device.raw"); }
    std::string report() const { return dir.file("report.jsonl"); }

    ProcResult vexa(const std::vector<std::string>& args, bool realtime = false,
                    const std::string& fail = "", EnvList extra = {}) {
        std::vector<std::string> argv = {vexa_bin("vexa")};
        argv.insert(argv.end(), args.begin(), args.end());
        EnvList env = ossim_env(device(), report(), realtime, fail);
        env.insert(env.end(), extra.begin(), extra.end());
        env.emplace_back("VEXA_DEBUG_LEVEL", "0");
        return run_program(argv, env, 120);
    }
    std::string wav(const std::string& name, const std::string& bytes) {
        write_file(dir.file(name), bytes);
        return dir.file(name);
    }
    std::string played() const { return file_exists(device()) ? read_file(device()) : ""; }
    // Waits until sound reaches the device, that is until both processes are up and the
    // player plays, however slowly the machine (or an emulator) starts them.
    bool sound_started() const {
        return wait_until([&] { return device_bytes() > 0; }, 30);
    }
    long long device_bytes() const {
        struct stat st {};
        return stat(device().c_str(), &st) == 0 ? st.st_size : 0;
    }
    // Seconds from the device's last write (its output file's modification) until now.
    double seconds_since_last_sound() const {
        struct stat st {};
        if (stat(device().c_str(), &st) != 0) return -1;
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        return static_cast<double>(now.tv_sec - st.st_mtim.tv_sec) +
               static_cast<double>(now.tv_nsec - st.st_mtim.tv_nsec) * 1e-9;
    }

    TempDir dir;
};

std::vector<int16_t> ramp(size_t n, int step = 7) {
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<int16_t>(static_cast<int>(i) * step);
    return v;
}

// Samples (left, right) of the interleaved device output.
std::vector<int16_t> channel(const std::string& bytes, int which) {
    std::vector<int16_t> all = pcm_samples(bytes), out;
    for (size_t i = static_cast<size_t>(which); i < all.size(); i += 2)
        out.push_back(all[i]);
    return out;
}

TEST_F(Player, StereoAt44100ReachesTheDeviceByteForByte) {
    // 25001 frames: 100004 bytes, a multiple of none of 512, 1024 and 4096.
    const auto samples = ramp(2 * 25001);
    const std::string file = wav("s.wav", make_wav(2, 44100, samples));
    ProcResult r = vexa({file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(played(), pcm_bytes(samples));
    // The fragment setup and the mode were asked for once, right after the open; the end
    // waits for the queue.
    auto reports = read_ossim_reports(report());
    ASSERT_FALSE(reports.empty());
    int opens = 0;
    long long bytes = 0;
    for (const auto& rep : reports) {
        opens += rep.opens;
        bytes += rep.bytes;
        if (rep.opens > 0) {
            EXPECT_EQ(rep.ioctls,
                      (std::vector<std::string>{"SNDCTL_DSP_SETFRAGMENT", "SNDCTL_DSP_GETOSPACE",
                                                "SNDCTL_DSP_SETFMT", "SNDCTL_DSP_CHANNELS",
                                                "SNDCTL_DSP_SPEED", "SNDCTL_DSP_SYNC"}));
        }
    }
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(bytes, 100004);
}

TEST_F(Player, MonoPlaysOnBothChannels) {
    const auto samples = ramp(3000, -5);
    ProcResult r = vexa({wav("m.wav", make_wav(1, 44100, samples))});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::string out = played();
    EXPECT_EQ(channel(out, 0), samples);
    EXPECT_EQ(channel(out, 1), samples);
}

TEST_F(Player, LowRatesAreConverted) {
    // 22050 Hz: halfway points; 11025 Hz: quarter points; 8000 Hz: groups of 6 and 5.
    {
        std::vector<int16_t> s(1000, 200);
        s[0] = 100;
        ASSERT_EQ(vexa({wav("a.wav", make_wav(1, 22050, s))}).exit_code, 0);
        auto left = channel(played(), 0);
        ASSERT_EQ(left.size(), 2000u);
        EXPECT_EQ(std::vector<int16_t>(left.begin(), left.begin() + 4),
                  (std::vector<int16_t>{50, 100, 150, 200}));
    }
    write_file(device(), "");
    {
        std::vector<int16_t> s(1000, 4);
        ASSERT_EQ(vexa({wav("b.wav", make_wav(1, 11025, s))}).exit_code, 0);
        auto left = channel(played(), 0);
        ASSERT_EQ(left.size(), 4000u);
        EXPECT_EQ(std::vector<int16_t>(left.begin(), left.begin() + 5),
                  (std::vector<int16_t>{1, 2, 3, 4, 4}));
    }
    write_file(device(), "");
    {
        std::vector<int16_t> s(1000, 100);
        ASSERT_EQ(vexa({wav("c.wav", make_wav(1, 8000, s))}).exit_code, 0);
        auto left = channel(played(), 0);
        // 5 per input, one more for each odd k and each multiple of 80 up to 1000.
        ASSERT_EQ(left.size(), 5000u + 500u + 12u);
        EXPECT_EQ(std::vector<int16_t>(left.begin(), left.begin() + 6),
                  (std::vector<int16_t>{8, 28, 49, 69, 90, 98}));
        EXPECT_EQ(left.back(), 98);
    }
}

TEST_F(Player, OtherRatesPlayAtTheirOwnSpeed) {
    for (int rate : {48000, 32000, 24000, 16000, 12000, 96000}) {
        write_file(device(), "");
        const size_t n = static_cast<size_t>(rate) * 3 / 2; // 1.5 s
        ProcResult r = vexa({wav("r.wav", make_wav(2, rate, std::vector<int16_t>(2 * n, 1000)))});
        ASSERT_EQ(r.exit_code, 0) << rate << r.err;
        auto left = channel(played(), 0);
        EXPECT_EQ(left.size(), static_cast<uint64_t>(n) * 44100 / static_cast<uint64_t>(rate))
            << rate;
        // Past the filter's start-up, a constant stays that constant.
        ASSERT_GT(left.size(), 40000u);
        EXPECT_NEAR(left[40000], 1000, 2) << rate;
    }
}

TEST_F(Player, RatesWithoutConversionAreRefused) {
    ProcResult r = vexa({wav("r.wav", make_wav(2, 1000, std::vector<int16_t>(2000, 1)))});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("1000 Hz"), std::string::npos) << r.err;
    EXPECT_EQ(played(), "");
}

TEST_F(Player, SwapOutputCopyAndQuiet) {
    std::vector<int16_t> s;
    for (int i = 0; i < 5000; i++) {
        s.push_back(1);
        s.push_back(2);
    }
    const std::string file = wav("p.wav", make_wav(2, 44100, s));
    const std::string copy = dir.file("copy.raw");
    ASSERT_EQ(vexa({"-p", "-o" + copy, file}).exit_code, 0);
    EXPECT_EQ(read_file(copy), played());
    EXPECT_EQ(channel(played(), 0), std::vector<int16_t>(5000, 2));
    EXPECT_EQ(channel(played(), 1), std::vector<int16_t>(5000, 1));

    // Quiet: no device, nothing written anywhere.
    write_file(device(), "");
    std::remove(report().c_str());
    ProcResult q = vexa({"-q", "-o" + copy, file});
    EXPECT_EQ(q.exit_code, 0);
    EXPECT_EQ(played(), "");
    EXPECT_EQ(read_file(copy), "");
    for (const auto& rep : read_ossim_reports(report()))
        EXPECT_EQ(rep.opens, 0);
}

TEST_F(Player, DataSizeEndsPlayEvenMidBlockWithBytesAfterIt) {
    WavLayout layout;
    layout.channels = 2;
    layout.data = pcm_bytes(ramp(2 * 700)); // 2800 bytes: ends inside the third block
    layout.chunks_after_data = {{"LIST", std::string(5000, 'z')}};
    ASSERT_EQ(vexa({wav("t.wav", build_wav(layout))}).exit_code, 0);
    EXPECT_EQ(played(), layout.data);
}

TEST_F(Player, DataSizeBeyondTheFileStopsAtTheFileEnd) {
    const auto samples = ramp(2 * 1000);
    std::string bytes = make_wav_raw(1, 2, 44100, 4, 16, 16, {}, pcm_bytes(samples), 1 << 30);
    ProcResult r = vexa({wav("big.wav", bytes)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(played(), pcm_bytes(samples));
}

TEST_F(Player, FileEndingInsideASampleFramePlaysWholeFramesOnly) {
    const auto samples = ramp(2 * 1000);
    std::string bytes = make_wav_raw(1, 2, 44100, 4, 16, 16, {}, pcm_bytes(samples), 1 << 30);
    bytes += "\x01\x02\x03"; // three bytes of a frame that never finishes
    ASSERT_EQ(vexa({wav("odd.wav", bytes)}).exit_code, 0);
    EXPECT_EQ(played(), pcm_bytes(samples));
}

// WAV layouts as recorders and tools write them: chunks before "fmt ", sizes never filled
// in, RF64. Each plays its samples whole, to the end of the file where the size does not
// say, in whole sample frames.
TEST_F(Player, WavLayoutsPlayWhole) {
    auto le32s = [](uint32_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    };
    auto chunk = [&](const std::string& id, const std::string& body, int64_t size = -1) {
        std::string c = id + le32s(static_cast<uint32_t>(size < 0 ? body.size() : size)) + body;
        if (body.size() % 2) c += '\0';
        return c;
    };
    const std::string fmt = make_wav(2, 44100, {}).substr(12, 24);
    const std::string data = pcm_bytes(ramp(2 * 3000));
    auto riff = [&](const std::string& chunks) {
        return "RIFF" + le32s(static_cast<uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
    };
    const std::string ds64 =
        chunk("ds64", le32s(0) + le32s(0) + le32s(static_cast<uint32_t>(data.size())) + le32s(0) +
                          std::string(12, '\0'));
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"JUNK before fmt", riff(chunk("JUNK", std::string(28, '\0')) + fmt + chunk("data", data))},
        {"LIST of odd size before fmt",
         riff(chunk("LIST", "INFOx") + fmt + chunk("bext", "abc") + chunk("data", data))},
        {"data size 0", riff(fmt + chunk("data", data, 0))},
        {"data size 0xFFFFFFFF", riff(fmt + chunk("data", data, 0xFFFFFFFFu))},
        {"data size 0, half a frame at the end", riff(fmt + chunk("data", data + "\x01\x02", 0))},
        {"RF64",
         "RF64" + le32s(0xFFFFFFFFu) + "WAVE" + ds64 + fmt + chunk("data", data, 0xFFFFFFFFu)},
    };
    for (const auto& c : cases) {
        write_file(device(), "");
        ProcResult r = vexa({wav("l.wav", c.bytes)});
        EXPECT_EQ(r.exit_code, 0) << c.name << r.err;
        const std::string out = played();
        EXPECT_TRUE(out == data) << c.name << ": " << out.size() << " bytes played of "
                                 << data.size();
    }
    // A WAVE file that cannot play says why in one line (each reason: probe_test).
    write_file(device(), "");
    ProcResult r = vexa({wav("r.wav", riff(fmt + chunk("LIST", "ab")))});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, dir.file("r.wav") + ": cannot play this WAV file: no data chunk\n");
    EXPECT_EQ(played().size(), 0u);
}

TEST_F(Player, ExtensibleHeaderPlays) {
    WavLayout layout;
    layout.fmt_tag = 0xFFFE;
    layout.fmt_body_size = 40;
    layout.data = pcm_bytes(ramp(2 * 500));
    std::string bytes = build_wav(layout);
    // Sub-format GUID of PCM: its first two bytes are the format tag 1.
    bytes[20 + 24] = 1;
    ASSERT_EQ(vexa({wav("x.wav", bytes)}).exit_code, 0);
    EXPECT_EQ(played(), layout.data);
}

TEST_F(Player, ZeroBlockAlignIsDerivedFromTheFormat) {
    // 3 s of stereo; block align 0 in the header must neither divide by zero nor misplace
    // the seek: starting at 1 s skips exactly 176400 bytes.
    const auto samples = ramp(2 * 44100 * 3, 1);
    const std::string file =
        wav("z.wav", make_wav_raw(1, 2, 44100, 0, 16, 16, {}, pcm_bytes(samples)));
    ProcResult r = vexa({file, "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(played(), pcm_bytes(samples).substr(176400));
    ProcResult i = vexa({"-i", file});
    EXPECT_EQ(i.out, "total_track_time 3\n\n");
}

TEST_F(Player, StartOffsets) {
    const auto samples = ramp(2 * 44100 * 3 + 2 * 100, 3); // 3 s and 100 frames
    const std::string file = wav("o.wav", make_wav(2, 44100, samples));
    const std::string all = pcm_bytes(samples);
    ASSERT_EQ(vexa({file, "2"}).exit_code, 0);
    EXPECT_EQ(played(), all.substr(2 * 176400));
    for (const char* offset : {"3", "4", "100000000000"}) { // at, past and far past the end
        write_file(device(), "");
        ProcResult r = vexa({file, offset});
        EXPECT_EQ(r.exit_code, 0) << offset << r.err;
        EXPECT_EQ(played().size(), offset[0] == '3' ? 400u : 0u) << offset;
    }
}

TEST_F(Player, InfoPrintsTheTrackTimeOnly) {
    const std::string file =
        wav("i.wav", make_wav(1, 22050, std::vector<int16_t>(22050 * 5 + 7, 1)));
    ProcResult r = vexa({"-i", file});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "total_track_time 5\n\n");
    EXPECT_EQ(played(), "");
    ProcResult later = vexa({"-i", file, "2"});
    EXPECT_EQ(later.out, "total_track_time 5\n\n");
}

// MPEG-1 Layer III frames at 128 kbit/s, 44100 Hz, with empty bodies.
std::string mpeg_frames(int count) {
    std::string frame(417, '\0');
    frame[0] = '\xFF';
    frame[1] = '\xFB';
    frame[2] = '\x90';
    frame[3] = '\x64';
    std::string s;
    for (int i = 0; i < count; i++)
        s += frame;
    return s;
}

TEST_F(Player, NonWavInputAlwaysComesToAnEnd) {
    // Whatever the decoder makes of them, streams of frames end the play, with or without a
    // start offset or -i; noise and files too short to hold a stream are refused.
    std::string noise(100000, '\0');
    uint32_t x = 12345;
    for (char& c : noise) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    const std::vector<std::pair<std::string, std::string>> files = {
        {"frames.mp3", mpeg_frames(200)},
        {"tagged.mp3", std::string("ID3\x04\x00\x00\x00\x00\x02\x01", 10) + std::string(257, 'T') +
                           mpeg_frames(50)},
        {"noise.bin", noise},
        {"empty.mp3", ""},
        {"three.mp3", "\xFF\xFB\x90"},
        {"id3only.mp3", "ID3"},
        {"cut.mp3", mpeg_frames(3).substr(0, 1000)},
    };
    for (const auto& [name, bytes] : files) {
        const std::string file = wav(name, bytes);
        const bool stream =
            name.find("frames") != std::string::npos || name == "tagged.mp3" || name == "cut.mp3";
        ProcResult r = vexa({file});
        EXPECT_FALSE(r.timed_out) << name;
        EXPECT_EQ(r.exit_code, stream ? 0 : 1) << name << r.err;
        ProcResult seek = vexa({file, "2"});
        EXPECT_FALSE(seek.timed_out) << name;
        EXPECT_EQ(seek.exit_code, stream ? 0 : 1) << name << seek.err;
        ProcResult info = vexa({"-i", file});
        EXPECT_EQ(info.exit_code, 1) << name;
        if (!stream) {
            EXPECT_NE(r.err.find(bytes.empty() ? "empty file"
                                               : "no MPEG audio Layer III or WAV stream found"),
                      std::string::npos)
                << name << r.err;
            continue;
        }
        ASSERT_GE(info.out.size(), 2u) << name;
        EXPECT_EQ(info.out.rfind("total_track_time ", 0), 0u) << name << info.out;
        EXPECT_EQ(info.out.substr(info.out.size() - 2), "\n\n") << name;
    }
}

// The same pseudo-random bytes on every run.
std::string noise_bytes(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (char& c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    return s;
}

// MPEG-1 frames of Layer I (136 bytes at 128 kbit/s, 44100 Hz) or Layer II (417 bytes),
// with bodies of noise: what a real stream of those layers looks like to the player.
std::string layer12_frames(int layer, int count) {
    const size_t length = layer == 1 ? 136 : 417;
    std::string s;
    for (int i = 0; i < count; i++) {
        std::string frame = noise_bytes(length, 99u + static_cast<uint32_t>(i));
        frame[0] = '\xFF';
        frame[1] = layer == 1 ? '\xFF' : '\xFD';
        frame[2] = layer == 1 ? '\x40' : '\x80';
        frame[3] = '\x44';
        s += frame;
    }
    return s;
}

// Output of a tool run on `in`, or "" when the tool is not there.
std::string tool_output(const char* tool, const std::vector<std::string>& args) {
    if (access(tool, X_OK) != 0) return "";
    std::vector<std::string> argv = {tool};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcResult r = run_program(argv, {}, 60);
    return r.exit_code == 0 ? r.out : "";
}

TEST_F(Player, FilesOfOtherKindsPlayNothingAndSaySo) {
    const std::string source = wav("src.wav", make_wav(2, 44100, ramp(2 * 44100, 13)));
    // Made by the tools when they are there; else bytes that begin the same way.
    std::string flac;
    if (access("/usr/bin/sox", X_OK) == 0 &&
        run_program({"/usr/bin/sox", source, dir.file("t.flac")}, {}, 60).exit_code == 0)
        flac = read_file(dir.file("t.flac"));
    if (flac.empty()) flac = std::string("fLaC\0\0\0\x22", 8) + noise_bytes(50000, 1);
    std::string gz = tool_output("/bin/gzip", {"-c", "-n", source});
    if (gz.empty()) gz = std::string("\x1F\x8B\x08\0\0\0\0\0", 8) + noise_bytes(100000, 2);
    std::string text;
    while (text.size() < 50000)
        text += "The quick brown fox jumps over the lazy dog; 0123456789.\n";
    const std::string png = std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16) +
                            noise_bytes(30000, 3) + std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
    struct Case {
        const char* name;
        std::string bytes;
        const char* says;
    };
    const char* none = "no MPEG audio Layer III or WAV stream found";
    const std::vector<Case> cases = {
        {"t.flac", flac, none},
        {"t.wav.gz", gz, none},
        {"t.bin", noise_bytes(300000, 4), none},
        {"t.txt", text, none},
        {"t.png", png, none},
        {"t.mp2", layer12_frames(2, 200), "MPEG audio Layer II is not supported, only Layer III"},
        {"t.mp1", layer12_frames(1, 300), "MPEG audio Layer I is not supported, only Layer III"},
    };
    for (const Case& c : cases) {
        const std::string file = wav(c.name, c.bytes);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{file}, std::vector<std::string>{file, "2"}}) {
            std::remove(report().c_str());
            ProcResult r = vexa(args);
            EXPECT_EQ(r.exit_code, 1) << c.name;
            EXPECT_EQ(r.err, file + ": " + c.says + "\n") << c.name;
            EXPECT_EQ(played(), "") << c.name;
            for (const auto& rep : read_ossim_reports(report()))
                EXPECT_EQ(rep.bytes, 0) << c.name;
        }
    }
}

TEST_F(Player, DeviceWriteErrorsEndThePlay) {
    const std::string mp3 = std::string(VEXA_SOURCE_DIR) + "/samples/chime.mp3";
    const std::string pcm = wav("w.wav", make_wav(2, 44100, ramp(2 * 44100 * 3)));
    // 30 s of sound keep the reader copying when the player stops: it ends too.
    const std::string big = wav("big.wav", make_wav(2, 44100, ramp(2 * 44100 * 30)));
    for (const std::string& file : {pcm, mp3, big}) {
        ProcResult r = vexa({file}, false, "write");
        EXPECT_FALSE(r.timed_out) << file;
        EXPECT_EQ(r.exit_code, 1) << file;
        EXPECT_EQ(r.err, "/dev/dsp: Input/output error\n") << file;
        EXPECT_LT(r.elapsed_s, 10) << file;
    }
}

TEST_F(Player, EveryByteIsPlayedBeforeTheDeviceIsClosed) {
    // A device that drops what it holds when closed without a sync: nothing may be lost.
    const auto samples = ramp(2 * 44100, 11);
    const EnvList drops = {{"OSSIM_CLOSE_DROPS", "1"}};
    ProcResult r = vexa({wav("d.wav", make_wav(2, 44100, samples))}, true, "", drops);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(played(), pcm_bytes(samples));
    const std::string mp3 = std::string(VEXA_SOURCE_DIR) + "/samples/chime.mp3";
    write_file(device(), "");
    ASSERT_EQ(vexa({mp3}).exit_code, 0);
    const std::string all = played();
    write_file(device(), "");
    ProcResult m = vexa({mp3}, true, "", drops);
    EXPECT_EQ(m.exit_code, 0) << m.err;
    EXPECT_EQ(played(), all);
}

TEST_F(Player, SigtermDuringTheDrainStopsAtOnce) {
    // At a twentieth of the speed the 0.2 s of sound take 4 s to play out of the queue.
    const std::string file = wav("q.wav", make_wav(2, 44100, ramp(2 * 8820)));
    EnvList env = ossim_env(device(), report(), true);
    env.emplace_back("OSSIM_SPEED", "0.05");
    ProcHandle h = start_program({vexa_bin("vexa"), file}, env);
    ASSERT_TRUE(wait_until([&] { return device_bytes() == 4 * 8820; })) << "all of it written";
    const auto killed = std::chrono::steady_clock::now();
    kill(h.pid, SIGTERM);
    ProcResult r = wait_program(h, 30);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - killed;
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_LT(took.count(), 2.0);
}

// One mapping of a process, from /proc/PID/smaps: sizes in KiB.
struct tMapping {
    std::string path;
    long size = 0;
    long rss = 0;
    bool locked = false;
};

std::vector<tMapping> mappings(pid_t pid) {
    std::vector<tMapping> all;
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first.find('-') != std::string::npos && first.back() != ':') {
            std::string perms, offset, dev, inode, path;
            words >> perms >> offset >> dev >> inode >> path;
            all.push_back({path});
        } else if (!all.empty() && first == "Size:") {
            words >> all.back().size;
        } else if (!all.empty() && first == "Rss:") {
            words >> all.back().rss;
        } else if (!all.empty() && first == "VmFlags:") {
            all.back().locked = line.find(" lo") != std::string::npos;
        }
    }
    return all;
}

// While it plays, the player holds its own code, tables and state and the whole pipe
// buffer resident and locked (the sound must never wait for a page from the disk or for a
// free page), and a shared library only in the pages it uses, not the whole library.
TEST_F(Player, LocksItsImageAndPipeBufferWholeAndLibrariesOnlyAsUsed) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a sanitized player does not lock its memory";
#endif
    // At a twentieth of the speed the device stays full for the whole test.
    const std::string file = wav("l.wav", make_wav(2, 44100, ramp(2 * 44100)));
    EnvList env = ossim_env(device(), report(), true);
    env.emplace_back("OSSIM_SPEED", "0.05");
    ProcHandle h = start_program({vexa_bin("vexa"), file}, env);
    pid_t player = 0;
    auto locked_kib = [&] {
        std::ifstream children("/proc/" + std::to_string(h.pid) + "/task/" + std::to_string(h.pid) +
                               "/children");
        if (!(children >> player)) return 0L;
        long total = 0;
        for (const tMapping& m : mappings(player))
            if (m.locked) total += m.size;
        return total;
    };
    const bool locks = wait_until([&] { return locked_kib() > 0; }, 30);
    char exe[PATH_MAX] = {};
    const ssize_t n =
        readlink(("/proc/" + std::to_string(player) + "/exe").c_str(), exe, sizeof exe - 1);
    char own[PATH_MAX] = {};
    const bool native = n > 0 && realpath(vexa_bin("vexa").c_str(), own) != nullptr &&
                        std::string(exe, static_cast<size_t>(n)) == own;
    const std::vector<tMapping> all = locks ? mappings(player) : std::vector<tMapping>{};
    kill(h.pid, SIGTERM);
    wait_program(h, 30);
    if (!native) GTEST_SKIP() << "an emulator's mappings are its own";
    ASSERT_TRUE(locks);
    int image = 0, buffers = 0, libraries = 0, libraries_in_part = 0;
    for (const tMapping& m : all) {
        if (m.path == own) {
            image++;
            EXPECT_TRUE(m.locked && m.rss == m.size) << "image: " << m.rss << " of " << m.size;
        } else if (m.path.empty() && m.size >= 1024) { // the 1 MiB pipe buffer
            buffers++;
            EXPECT_TRUE(m.locked && m.rss == m.size) << "buffer: " << m.rss << " of " << m.size;
        } else if (m.path.find(".so") != std::string::npos && m.size >= 256) {
            libraries++;
            if (m.rss < m.size) libraries_in_part++;
        }
    }
    EXPECT_GT(image, 0);
    EXPECT_EQ(buffers, 1);
    if (libraries > 0) {
        EXPECT_GT(libraries_in_part, 0) << "every library resident whole";
    }
}

TEST_F(Player, FailingCopyIsReportedOnceAndPlayGoesOn) {
    const auto samples = ramp(2 * 44100, 5);
    ProcResult r = vexa({"-o/dev/full", wav("c.wav", make_wav(2, 44100, samples))});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "/dev/full: No space left on device\n");
    EXPECT_EQ(played(), pcm_bytes(samples));
}

TEST_F(Player, HelpTextAndExitStatus) {
    ProcResult r = vexa({"-h", "-d5", "nofile.wav"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "usage:   vexa [options] file [offset]\n"
                     "options:\n"
                     "         -c<i> set number of channels (override) to <i>\n"
                     "         -d<i> set debug level to <i>\n"
                     "         -h    print this message\n"
                     "         -i    only print mp3 info, do not play.\n"
                     "         -o<f> output to file <f>\n"
                     "         -p    swap left and right channels\n"
                     "         -q    quiet mode\n"
                     "         -r<i> set sample rate (override) to <i>\n"
                     "         -s    spin down the hard drive when buffer is full\n"
                     "         -w    set word byte swapping (LE/BE conversion)\n"
                     "         --no-gapless  also play the encoder's delay, padding and header "
                     "frame\n"
                     "\n");
}

TEST_F(Player, OptionParsing) {
    const auto samples = ramp(2 * 300);
    const std::string file = wav("-dash.wav", make_wav(2, 44100, samples));
    // "--" ends the options, so a file name may begin with a dash.
    ASSERT_EQ(vexa({"--", file}).exit_code, 0);
    EXPECT_EQ(played(), pcm_bytes(samples));

    const std::string plain = wav("plain.wav", make_wav(2, 44100, samples));
    write_file(device(), "");
    ProcResult x = vexa({"-x", "-s", plain}); // unknown letters are named and ignored
    EXPECT_EQ(x.exit_code, 0);
    EXPECT_EQ(x.err, "vexa: unknown option -x ignored\n");
    EXPECT_EQ(played(), pcm_bytes(samples));

    // -c3 is refused, so the file's two channels stay; -c1 reads the data as mono.
    write_file(device(), "");
    ProcResult c3 = vexa({"-d1", "-c3", plain});
    EXPECT_NE(c3.out.find("override_channels invalid (3)\noverride_channels = 0\n"),
              std::string::npos);
    EXPECT_EQ(played(), pcm_bytes(samples));
    write_file(device(), "");
    ASSERT_EQ(vexa({"-c1", plain}).exit_code, 0);
    EXPECT_EQ(channel(played(), 0), samples);

    // -r48000 is refused; -r22050 plays the 44100 Hz data as 22050 Hz.
    write_file(device(), "");
    ProcResult r48 = vexa({"-d1", "-r48000", plain});
    EXPECT_NE(r48.out.find("override_samplerate invalid (48000)\noverride_samplerate = 0\n"),
              std::string::npos);
    EXPECT_EQ(played(), pcm_bytes(samples));
    write_file(device(), "");
    ASSERT_EQ(vexa({"-r22050", plain}).exit_code, 0);
    EXPECT_EQ(played().size(), 2 * pcm_bytes(samples).size());
}

TEST_F(Player, KestSleepDelaysTheExit) {
    const std::string file = wav("k.wav", make_wav(2, 44100, ramp(200)));
    // Timed from the last sound to the exit, so that a slow start (a loaded machine, an
    // emulator locking its memory) does not count.
    ProcResult quick = vexa({file});
    const double quick_tail = seconds_since_last_sound();
    ProcResult slow = vexa({file}, false, "", {{"KEST_SLEEP", "1000000"}});
    const double slow_tail = seconds_since_last_sound();
    EXPECT_EQ(quick.exit_code, 0);
    EXPECT_EQ(slow.exit_code, 0);
    EXPECT_GE(slow_tail, 1.0);
    EXPECT_GE(slow_tail - quick_tail, 0.7);
}

TEST_F(Player, DebugTraceFollowsTheLoop) {
    const std::string file = wav("d.wav", make_wav(1, 44100, ramp(600)));
    ProcResult r = vexa({"-d3", file});
    EXPECT_EQ(r.exit_code, 0);
    // The first pass finds the pipe buffer empty, reads, then converts and writes.
    EXPECT_NE(r.out.find("Entering main decode/play loop.\nDL_START\nDL_DECODE\nDL_DECODE wavmode\n"
                         "DL_DECODE reading some data\nDL_DECODE pbuffer empty\nDL_TRY_READ\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("DL_TRY_WRITE samplecount = 512 rate = 44100\n"), std::string::npos);
    EXPECT_NE(r.out.find("DL_TRY_WRITE samplecount = 88 rate = 44100\n"), std::string::npos);
    // Level 0 prints nothing at all.
    EXPECT_EQ(vexa({file}).out, "");
}

TEST_F(Player, NoFileOpensNoDevice) {
    ProcResult r = vexa({});
    EXPECT_EQ(r.exit_code, 1);
    for (const auto& rep : read_ossim_reports(report()))
        EXPECT_EQ(rep.opens, 0);
}

TEST_F(Player, StartFailuresEndWithStatusOneAndPlayNothing) {
    const std::string file = wav("d.wav", make_wav(2, 44100, ramp(200)));
    struct Case {
        std::string file;
        const char* fail; // what the simulated device refuses
        std::string err;  // standard error, whole (missing device) or its start
    };
    const Case cases[] = {
#ifdef VEXA_HAVE_ALSA // and no ALSA default PCM either
        {file, "open",
         "/dev/dsp: No such file or directory; ALSA default: No such file or directory\n"},
#else
        {file, "open", "/dev/dsp: No such file or directory\n"},
#endif
        {file, "ioctl", "ioctl SNDCTL_DSP_SETFMT: "},
        {dir.file("absent.wav"), "", dir.file("absent.wav") + ": No such file or directory"},
    };
    for (const Case& c : cases) {
        write_file(device(), "");
        ProcResult r = vexa({c.file}, false, c.fail);
        EXPECT_EQ(r.exit_code, 1) << c.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        if (c.err.back() == '\n') {
            EXPECT_EQ(r.err, c.err);
        }
        EXPECT_EQ(played(), "") << c.err;
    }
}

TEST_F(Player, SigtermStopsBothProcesses) {
    const std::string file =
        wav("long.wav", make_wav(2, 44100, std::vector<int16_t>(2 * 44100 * 10, 5)));
    std::vector<std::string> argv = {vexa_bin("vexa"), file};
    EnvList env = ossim_env(device(), report(), true);
    write_file(device(), "");
    ProcHandle h = start_program(argv, env);
    ASSERT_TRUE(sound_started());
    const auto killed = std::chrono::steady_clock::now();
    kill(h.pid, SIGTERM);
    ProcResult r = wait_program(h, 30);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(5));
    // The player writes its report as it ends, which may be a moment after the reader.
    int resets = 0;
    wait_until([&] {
        resets = 0;
        for (const auto& rep : read_ossim_reports(report()))
            for (const auto& name : rep.ioctls)
                resets += name == "SNDCTL_DSP_RESET";
        return resets > 0;
    });
    EXPECT_EQ(resets, 1) << "the player, which alone holds the device, drops its queue";
}

TEST_F(Player, PlayerEndingEarlyDoesNotKillTheReader) {
    // The player stops at the data size while the reader still has megabytes to copy:
    // the reader stops copying and the run ends 0, not by SIGPIPE.
    WavLayout layout;
    layout.data = pcm_bytes(ramp(2 * 1000));
    layout.chunks_after_data = {{"junk", std::string(3 << 20, 'j')}};
    ProcResult r = vexa({wav("tail.wav", build_wav(layout))});
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(played(), layout.data);
}

TEST_F(Player, KilledPlayerIsNotReportedAsSuccess) {
    const std::string file =
        wav("k.wav", make_wav(2, 44100, std::vector<int16_t>(2 * 44100 * 10, 5)));
    write_file(device(), "");
    ProcHandle h = start_program({vexa_bin("vexa"), file}, ossim_env(device(), report(), true));
    ASSERT_TRUE(sound_started());
    const std::string children = read_file("/proc/" + std::to_string(h.pid) + "/task/" +
                                           std::to_string(h.pid) + "/children");
    const int player = std::atoi(children.c_str());
    ASSERT_GT(player, 0);
    const auto killed = std::chrono::steady_clock::now();
    kill(player, SIGTERM);
    ProcResult r = wait_program(h, 30);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(5));
}

// Position of the reader's file descriptor on `path`, from /proc; -1 when not found.
long long reader_position(int pid, const std::string& path) {
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 0; fd < 64; fd++) {
        char target[4096];
        ssize_t n = readlink((fd_dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
        if (n <= 0 || std::string(target, static_cast<size_t>(n)) != path) continue;
        const std::string info =
            read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
        return std::atoll(info.c_str() + info.find("pos:") + 4);
    }
    return -1;
}

TEST_F(Player, ReaderRunsTwoMegabytesAheadOfTheSound) {
    // 20 s of sound, played in real time: the pipe and the pipe buffer together come to
    // hold the next two megabytes (about 12 s) beyond the sound played, that is beyond
    // what the device took less the half second it holds. The reader must get there
    // while the rest of the file is still longer than that.
    const std::string file =
        wav("ahead.wav", make_wav(2, 44100, std::vector<int16_t>(2 * 44100 * 20, 5)));
    write_file(device(), "");
    ProcHandle h = start_program({vexa_bin("vexa"), file}, ossim_env(device(), report(), true));
    ASSERT_TRUE(sound_started());
    long long ahead = 0;
    const bool got_there = wait_until([&] {
        const long long played = device_bytes() - 88200;
        ahead = reader_position(h.pid, file) - played;
        return ahead > (2 << 20);
    });
    kill(h.pid, SIGTERM);
    wait_program(h, 30);
    EXPECT_TRUE(got_there) << "reader " << ahead << " bytes ahead of the sound";
}

TEST_F(Player, TwentySecondsInRealTimeWithoutUnderruns) {
    const std::string file =
        wav("rt.wav", make_wav(2, 44100, std::vector<int16_t>(2 * 44100 * 20, 300)));
    ProcResult r = vexa({file}, true);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_GT(r.elapsed_s, 19.0);
    long underruns = 0;
    long long bytes = 0;
    for (const auto& rep : read_ossim_reports(report())) {
        underruns += rep.underruns;
        bytes += rep.bytes;
    }
    EXPECT_EQ(bytes, 44100LL * 4 * 20);
    EXPECT_EQ(underruns, 0);
}

} // namespace
