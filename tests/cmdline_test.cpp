// The player's command line as people use it: several files, offsets, faults, standard
// input, signals and the terminal line, through the OSS device simulator.
#include "cmdline.h"
#include "control_path.h"
#include "ossim_report.h"
#include "proc.h"
#include "tempdir.h"
#include "wait.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

TEST(Offset, FormsAndMalformedOnes) {
    const struct {
        const char* text;
        long seconds; // -1: refused
    } cases[] = {
        {"0", 0},        {"90", 90},        {"1:30", 90},    {"01:30", 90},
        {"90:00", 5400}, {"1:02:03", 3723}, {"0:0:59", 59},  {"100000000000", OFFSET_LIMIT},
        {"", -1},        {"-5", -1},        {"+5", -1},      {"abc", -1},
        {"5s", -1},      {"1:60", -1},      {"1:60:00", -1}, {"1:2:3:4", -1},
        {":30", -1},     {"1:", -1},        {"1.5", -1},     {" 5", -1},
    };
    for (const auto& c : cases) {
        long got = -1;
        const bool ok = parse_offset(c.text, &got);
        EXPECT_EQ(ok, c.seconds >= 0) << c.text;
        if (ok) {
            EXPECT_EQ(got, c.seconds) << c.text;
        }
    }
}

std::vector<int16_t> ramp(size_t n, int step) {
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<int16_t>(static_cast<int>(i) * step);
    return v;
}

class CommandLine : public testing::Test {
  protected:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); } // a FIFO's reader may go early

    std::string device() const { return dir.file("device.raw"); }
    std::string report() const { return dir.file("report.jsonl"); }
    EnvList env(const std::string& fail = "", bool realtime = false) const {
        EnvList e = ossim_env(device(), report(), realtime, fail);
        e.emplace_back("VEXA_DEBUG_LEVEL", "0");
        return e;
    }
    ProcResult vexa(const std::vector<std::string>& args, const std::string& fail = "",
                    const std::string& stdin_path = "") {
        std::vector<std::string> argv = {vexa_bin("vexa")};
        argv.insert(argv.end(), args.begin(), args.end());
        write_file(device(), "");
        std::remove(report().c_str());
        ProcHandle h = start_program(argv, env(fail), {}, stdin_path);
        return wait_program(h, 120);
    }
    std::string played() const { return file_exists(device()) ? read_file(device()) : ""; }
    std::string file(const std::string& name, const std::string& bytes) const {
        write_file(dir.file(name), bytes);
        return dir.file(name);
    }
    // A FIFO that a thread fills with `bytes` once a reader has opened it.
    std::string fifo(const std::string& bytes) {
        const std::string path = dir.file("fifo" + std::to_string(writers.size()));
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        writers.emplace_back([path, bytes] {
            const int fd = open(path.c_str(), O_WRONLY);
            for (size_t done = 0; fd >= 0 && done < bytes.size();) {
                const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            if (fd >= 0) close(fd);
        });
        return path;
    }
    void TearDown() override {
        for (std::thread& t : writers)
            t.join();
    }

    TempDir dir;
    std::vector<std::thread> writers;
};

TEST_F(CommandLine, Table) {
    const auto sa = ramp(2 * (44100 + 37), 3), sb = ramp(2 * 22050, -5),
               st = ramp(2 * 44100 * 3, 7);
    const std::string pa = pcm_bytes(sa), pb = pcm_bytes(sb), pt = pcm_bytes(st);
    const std::string a = file("a.wav", make_wav(2, 44100, sa));
    const std::string b = file("b.wav", make_wav(2, 44100, sb));
    const std::string t = file("t.wav", make_wav(2, 44100, st));
    const std::string missing = dir.file("missing.wav");
    const std::string empty = file("empty.mp3", "");
    const std::string noise = file("noise.mp3", std::string(20000, '\x55'));
    const std::string eight = file("8bit.wav", make_wav_raw(1, 2, 44100, 2, 8, 16, {}, "abcd"));
    mkdir(dir.file("folder").c_str(), 0700);
    const std::string folder = dir.file("folder");
    const std::string usage = "usage:   vexa [options] file [offset]\n"
                              "         vexa [options] file file...\n";
    auto bad_offset = [&](const std::string& text) {
        return "vexa: " + text + ": neither a file nor an offset (seconds, mm:ss or hh:mm:ss)\n" +
               usage;
    };
    const std::string after1 = pt.substr(176400);
#ifdef VEXA_HAVE_ALSA // and no ALSA default PCM either
    const std::string no_device =
        "/dev/dsp: No such file or directory; ALSA default: No such file or directory\n";
#else
    const std::string no_device = "/dev/dsp: No such file or directory\n";
#endif
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err; // whole, or its start when it does not end in a newline
        std::string played;
        std::string fail = ""; // what the simulated device refuses
    };
    const std::vector<Case> cases = {
        // Several files play one after another, the seam sample-exact.
        {{a, b}, 0, "", pa + pb},
        {{a, b, a}, 0, "", pa + pb + pa},
        {{a, missing, b}, 1, missing + ": No such file or directory\n", pa + pb},
        {{"-q", a, b}, 0, "", ""},
        // Offsets.
        {{t, "1"}, 0, "", after1},
        {{t, "0:01"}, 0, "", after1},
        {{t, "00:00:01"}, 0, "", after1},
        {{t, "3"}, 0, t + ": 0:03 is at or past the end of the track (0:03)\n", ""},
        {{t, "1:00:00"}, 0, t + ": 1:00:00 is at or past the end of the track (0:03)\n", ""},
        {{t, "abc"}, 1, bad_offset("abc"), ""},
        {{t, "-5"}, 1, bad_offset("-5"), ""},
        {{t, "1:75"}, 1, bad_offset("1:75"), ""},
        {{t, "2x"}, 1, bad_offset("2x"), ""},
        {{t, "-i"}, 1, bad_offset("-i"), ""},
        // Arguments.
        {{}, 1, usage, ""},
        {{"-q"}, 1, usage, ""},
        {{"-x", a}, 0, "vexa: unknown option -x ignored\n", pa},
        {{"--bogus", "-y3", a},
         0,
         "vexa: unknown option --bogus ignored\nvexa: unknown option -y3 ignored\n",
         pa},
        // One line for each fault.
        {{missing}, 1, missing + ": No such file or directory\n", ""},
        {{folder}, 1, folder + ": Is a directory\n", ""},
        {{empty}, 1, empty + ": empty file\n", ""},
        {{noise}, 1, noise + ": no MPEG audio Layer III or WAV stream found\n", ""},
        {{eight}, 1, eight + ": cannot play this WAV file: ", ""},
        {{a}, 1, no_device, "", "open"},
        {{a, b}, 1, "/dev/dsp: Input/output error\n", "", "write"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& arg : c.args)
            line += " " + arg;
        ProcResult r = vexa(c.args, c.fail);
        EXPECT_EQ(r.exit_code, c.status) << line << "\n" << r.err;
        if (!c.err.empty() && c.err.back() != '\n') {
            EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << line << "\n" << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << line << "\n" << r.err;
        } else {
            EXPECT_EQ(r.err, c.err) << line;
        }
        EXPECT_EQ(r.out, "") << line;
        EXPECT_TRUE(played() == c.played) << line << ": " << played().size() << " bytes played, "
                                          << c.played.size() << " expected";
    }
    // The device stays open from one track to the next.
    vexa({a, b, a});
    int opens = 0;
    for (const OssimReport& rep : read_ossim_reports(report()))
        opens += rep.opens;
    EXPECT_EQ(opens, 1);
    // -i: one line per file, in order.
    ProcResult info = vexa({"-i", t, missing, a});
    EXPECT_EQ(info.exit_code, 1);
    EXPECT_EQ(info.out, "total_track_time 3\n\ntotal_track_time 1\n\n");
    EXPECT_EQ(info.err, missing + ": No such file or directory\n");
}

TEST_F(CommandLine, AlbumInRealTimeWithoutAGapBetweenTracks) {
    // Three tracks of 3 s, the middle one an MPEG stream: the device never runs dry.
    const std::string a = file("a.wav", make_wav(2, 44100, ramp(2 * 44100 * 3, 2)));
    const std::string mp3 = std::string(VEXA_SOURCE_DIR) + "/samples/chime.mp3";
    write_file(device(), "");
    std::remove(report().c_str());
    std::vector<std::string> argv = {vexa_bin("vexa"), a, mp3, a};
    ProcHandle h = start_program(argv, env("", true));
    ProcResult r = wait_program(h, 120);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    long underruns = 0;
    int opens = 0;
    for (const OssimReport& rep : read_ossim_reports(report())) {
        underruns += rep.underruns;
        opens += rep.opens;
    }
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(underruns, 0);
}

TEST_F(CommandLine, StandardInputAndPipes) {
    const auto st = ramp(2 * 44100 * 3, 7);
    const std::string pt = pcm_bytes(st), wav = make_wav(2, 44100, st);
    const std::string mp3 = read_file(std::string(VEXA_SOURCE_DIR) + "/samples/chime.mp3");
    const std::string chime = file("chime.mp3", mp3);
    // A stream plays what the file plays, with and without an offset.
    for (const char* offset : {"", "1"}) {
        std::vector<std::string> args = {chime};
        if (*offset) args.push_back(offset);
        ASSERT_EQ(vexa(args).exit_code, 0);
        const std::string from_file = played();
        ASSERT_FALSE(from_file.empty());
        args[0] = "-";
        ProcResult r = vexa(args, "", fifo(mp3));
        EXPECT_EQ(r.exit_code, 0) << offset << r.err;
        EXPECT_TRUE(played() == from_file) << offset;
    }
    ProcResult w = vexa({"-", "2"}, "", fifo(wav));
    EXPECT_EQ(w.exit_code, 0) << w.err;
    EXPECT_TRUE(played() == pt.substr(2 * 176400));
    // A stream's WAV header may not know the length: the sound ends with the stream, also
    // inside a pipe block.
    WavLayout open_ended;
    open_ended.riff_size_field = 0xFFFFFFFF;
    open_ended.data_size_field = 0xFFFFFFFF;
    open_ended.data = pt.substr(0, 4 * 1000);
    ProcResult u = vexa({"-"}, "", fifo(build_wav(open_ended)));
    EXPECT_EQ(u.exit_code, 0) << u.err;
    EXPECT_TRUE(played() == open_ended.data) << played().size();
    // A FIFO by name, between files; -i counts a stream to its end.
    const std::string a = file("a.wav", wav);
    ProcResult f = vexa({a, fifo(wav), a});
    EXPECT_EQ(f.exit_code, 0) << f.err;
    EXPECT_TRUE(played() == pt + pt + pt);
    EXPECT_EQ(vexa({"-i", "-"}, "", fifo(mp3)).out, vexa({"-i", chime}).out);
    // Offsets past the end: a WAV header tells, an MPEG stream is read to its end.
    ProcResult past = vexa({"-", "1:00"}, "", fifo(wav));
    EXPECT_EQ(past.exit_code, 0);
    EXPECT_EQ(past.err, "-: 1:00 is at or past the end of the track (0:03)\n");
    EXPECT_EQ(played(), "");
    ProcResult beyond = vexa({"-", "1:00"}, "", fifo(mp3));
    EXPECT_EQ(beyond.exit_code, 0);
    EXPECT_EQ(beyond.err, "-: the stream ends before the offset, after " +
                              std::to_string(mp3.size()) + " bytes\n");
    EXPECT_EQ(played(), "");
    ProcResult none = vexa({"-"}, "", fifo(""));
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_EQ(none.err, "-: empty input\n");
    // -o- copies to standard output.
    ProcResult copy = vexa({"-o-", a});
    EXPECT_EQ(copy.exit_code, 0) << copy.err;
    EXPECT_TRUE(copy.out == pt);
    EXPECT_TRUE(played() == pt);
}

TEST_F(CommandLine, ClosedStandardOutputEndsOnlyTheCopy) {
    const std::string pt = pcm_bytes(ramp(2 * 44100 * 3, 7));
    const std::string a = file("a.wav", make_wav(2, 44100, ramp(2 * 44100 * 3, 7)));
    write_file(device(), "");
    const std::string vexa_cmd = shell_command({vexa_bin("vexa"), "-o-", a}, env());
    const int share = control_path_share();
    ProcResult r = run_program(
        {"/bin/bash", "-c", vexa_cmd + " | head -c 1000 >/dev/null; exit ${PIPESTATUS[0]}"}, {},
        120);
    if (share >= 0) close(share);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "standard output: Broken pipe\n");
    EXPECT_TRUE(played() == pt);
}

TEST_F(CommandLine, OneInterruptStopsAShellLoop) {
    const std::string long_wav = file("long.wav", make_wav(2, 44100, ramp(2 * 44100 * 20, 1)));
    write_file(device(), "");
    const std::string vexa_cmd = shell_command({vexa_bin("vexa")}, env("", true));
    const int share = control_path_share();
    ProcHandle h =
        start_program({"/bin/bash", "-c",
                       "for f in 1 2 3; do " + vexa_cmd + " \"$0\"; echo next; done", long_wav},
                      {});
    struct stat st {};
    ASSERT_TRUE(wait_until([&] { return stat(device().c_str(), &st) == 0 && st.st_size > 0; }, 60));
    kill(-h.pid, SIGINT); // as the terminal sends it: to the whole group
    ProcResult r = wait_program(h, 60);
    if (share >= 0) close(share);
    EXPECT_EQ(r.term_signal, SIGINT) << r.exit_code << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(CommandLine, TerminalShowsTheTrackAndItsTime) {
    if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no script(1)";
    const std::string a = file("a.wav", make_wav(2, 44100, ramp(2 * (44100 + 600), 3)));
    const std::string b = file("b.wav", make_wav(1, 22050, ramp(22050 * 2 + 10, 3)));
    const int share = control_path_share();
    ProcResult r = run_program(
        {"/usr/bin/script", "-qec", shell_command({vexa_bin("vexa"), a, b}, env()), "/dev/null"},
        {}, 120);
    if (share >= 0) close(share);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "\r" + a + "  00:00 / 00:01\r" + a + "  00:01 / 00:01\r\n\r" + b +
                         "  00:00 / 00:02\r" + b + "  00:01 / 00:02\r" + b + "  00:02 / 00:02\r\n");
}

} // namespace
