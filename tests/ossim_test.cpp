// The OSS device simulator (through the ossim_probe helper) and the test-support code
// that the integration tests build on.

#include "ossim_report.h"
#include "proc.h"
#include "tempdir.h"
#include "wait.h"
#include "wavfile.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <linux/soundcard.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <vector>

namespace {

// Bytes the probe writes: one running pattern per process, byte i is i mod 251.
std::string pattern(size_t from, size_t n) {
    std::string s;
    for (size_t i = from; i < from + n; i++)
        s.push_back(static_cast<char>(i % 251));
    return s;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Value of "key=value" in a probe line, "" when absent.
std::string field(const std::string& line, const std::string& key) {
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    size_t from = at + key.size() + 2;
    return line.substr(from, line.find(' ', from) - from);
}

long num(const std::string& line, const std::string& key) {
    std::string v = field(line, key);
    EXPECT_FALSE(v.empty()) << "no " << key << " in: " << line;
    return std::strtol(v.c_str(), nullptr, 10);
}

double seconds(const std::string& line, const std::string& key) {
    std::string v = field(line, key);
    EXPECT_FALSE(v.empty()) << "no " << key << " in: " << line;
    return std::strtod(v.c_str(), nullptr);
}

// Duration of one step, and the time from the start of one step to the end of another.
double elapsed(const std::string& line) {
    return seconds(line, "elapsed");
}

double span(const std::string& first, const std::string& last) {
    return seconds(last, "at") - (seconds(first, "at") - seconds(first, "elapsed"));
}

uint32_t le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | static_cast<unsigned char>(s.at(at + i));
    return v;
}

uint16_t le16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s.at(at)) |
                                 (static_cast<unsigned char>(s.at(at + 1)) << 8));
}

struct ProbeRun {
    ProcResult result;
    std::vector<std::string> lines;

    const std::string& line(size_t i) const {
        static const std::string none;
        EXPECT_LT(i, lines.size()) << result.out;
        return i < lines.size() ? lines[i] : none;
    }
};

class Ossim : public ::testing::Test {
  protected:
    TempDir tmp;
    std::string output = tmp.file("dsp.out");
    std::string report = tmp.file("report");

    EnvList env(bool realtime = false, const std::string& fail = "") const {
        return ossim_env(output, report, realtime, fail);
    }

    ProbeRun probe(const std::vector<std::string>& steps, const EnvList& environment) {
        std::vector<std::string> argv = {test_bin("ossim_probe")};
        argv.insert(argv.end(), steps.begin(), steps.end());
        ProbeRun run{run_program(argv, environment, 30), {}};
        EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
        EXPECT_EQ(run.result.err, "");
        run.lines = lines_of(run.result.out);
        return run;
    }

    ProbeRun probe(const std::vector<std::string>& steps, bool realtime = false,
                   const std::string& fail = "") {
        return probe(steps, env(realtime, fail));
    }

    // Waits until a realtime device has taken a whole buffer (65536 bytes): a write of
    // more is then blocked.
    bool buffer_filled() const {
        return wait_until([&] {
            struct stat st {};
            return stat(output.c_str(), &st) == 0 && st.st_size >= 65536;
        });
    }

    // The single report line of a run that should have written exactly one.
    OssimReport only_report() {
        std::vector<OssimReport> reports = read_ossim_reports(report);
        EXPECT_EQ(reports.size(), 1u);
        return reports.empty() ? OssimReport{} : reports[0];
    }
};

// --- report lines ----------------------------------------------------------------------

TEST(OssimReportParse, ReadsEveryField) {
    OssimReport r;
    ASSERT_TRUE(parse_ossim_report("{\"pid\":42,\"opens\":2,\"ioctls\":[\"SNDCTL_DSP_RESET\","
                                   "\"0x0000abcd\"],\"writes\":7,\"bytes\":123456789012,"
                                   "\"underruns\":3,\"dry_ms\":12.5,\"first_write_ms\":-1,"
                                   "\"gaps\":[[1500.25,10],[2000,2.5]]}\n",
                                   &r));
    EXPECT_EQ(r.pid, 42);
    EXPECT_EQ(r.opens, 2);
    EXPECT_EQ(r.ioctls, (std::vector<std::string>{"SNDCTL_DSP_RESET", "0x0000abcd"}));
    EXPECT_EQ(r.writes, 7);
    EXPECT_EQ(r.bytes, 123456789012LL);
    EXPECT_EQ(r.underruns, 3);
    EXPECT_EQ(r.dry_ms, 12.5);
    EXPECT_EQ(r.first_write_ms, -1);
    ASSERT_EQ(r.gaps.size(), 2u);
    EXPECT_EQ(r.gaps[0].at_ms, 1500.25);
    EXPECT_EQ(r.gaps[1].ms, 2.5);

    ASSERT_TRUE(parse_ossim_report("{\"pid\":1,\"opens\":0,\"ioctls\":[],\"writes\":0,\"bytes\":0,"
                                   "\"underruns\":0,\"dry_ms\":0.000,\"first_write_ms\":3.250,"
                                   "\"gaps\":[]}",
                                   &r));
    EXPECT_EQ(r.first_write_ms, 3.25);
    EXPECT_TRUE(r.ioctls.empty());
    EXPECT_TRUE(r.gaps.empty());
}

TEST(OssimReportParse, RejectsOtherText) {
    OssimReport r;
    EXPECT_FALSE(parse_ossim_report("", &r));
    EXPECT_FALSE(parse_ossim_report("{\"pid\":1,\"opens\":0}", &r));
    EXPECT_FALSE(parse_ossim_report(
        "{\"pid\":1,\"opens\":0,\"ioctls\":[\"A\"\"B\"],\"writes\":0,\"bytes\":0,\"underruns\":0}",
        &r));
    EXPECT_FALSE(parse_ossim_report(
        "{\"pid\":1,\"opens\":0,\"ioctls\":[],\"writes\":0,\"bytes\":0,\"underruns\":0}", &r));
}

// --- opening ---------------------------------------------------------------------------

class OssimOpenEntry : public Ossim, public ::testing::WithParamInterface<const char*> {};

TEST_P(OssimOpenEntry, OpensTheDevice) {
    std::string entry = GetParam();
    ProbeRun run = probe({entry, "write:1000", "close"});
    ASSERT_EQ(run.lines.size(), 3u) << run.result.out;
    EXPECT_GE(num(run.line(0), "ret"), 0) << run.line(0);
    EXPECT_EQ(num(run.line(1), "ret"), 1000);
    EXPECT_EQ(num(run.line(2), "ret"), 0);
    EXPECT_EQ(read_file(output), pattern(0, 1000));
    OssimReport r = only_report();
    EXPECT_EQ(r.pid, run.result.pid);
    EXPECT_EQ(r.opens, 1);
    EXPECT_TRUE(r.ioctls.empty());
    EXPECT_EQ(r.bytes, 1000);
    if (entry.rfind("fopen", 0) == 0) {
        EXPECT_GE(r.writes, 1); // stdio decides how it splits the data
    } else {
        EXPECT_EQ(r.writes, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(AllEntryPoints, OssimOpenEntry,
                         ::testing::Values("open", "open64", "openat", "openat64", "open_2",
                                           "open64_2", "openat_2", "openat64_2", "fopen", "fopen64",
                                           "creat", "creat64"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

TEST_F(Ossim, FailedOpenSaysENOENTAndCreatesNoOutput) {
    ProbeRun run = probe({"open", "fopen", "write:10"}, false, "open");
    EXPECT_EQ(field(run.line(0), "ret"), "-1");
    EXPECT_EQ(field(run.line(0), "err"), "ENOENT");
    EXPECT_EQ(field(run.line(1), "err"), "ENOENT");
    EXPECT_FALSE(file_exists(output));
    OssimReport r = only_report();
    EXPECT_EQ(r.opens, 2); // attempts count
    EXPECT_EQ(r.writes, 0);
}

TEST_F(Ossim, OtherFilesPassThroughUntouched) {
    std::string plain = tmp.file("plain");
    ProbeRun run = probe({"open:" + plain, "write:1000", "ioctl:SETFMT:16", "close", "write:10"});
    EXPECT_EQ(num(run.line(1), "ret"), 1000);
    EXPECT_EQ(field(run.line(2), "err"), "ENOTTY"); // the real ioctl on a regular file
    EXPECT_EQ(field(run.line(4), "err"), "EBADF");
    EXPECT_EQ(read_file(plain), pattern(0, 1000));
    EXPECT_FALSE(file_exists(output));
    EXPECT_FALSE(file_exists(report)); // never touched the device
}

TEST_F(Ossim, DeviceAndFileSideBySide) {
    std::string plain = tmp.file("plain");
    ProbeRun run = probe({"open", "open:" + plain, "write:100", "use:0", "write:50", "close",
                          "use:1", "write:7", "close"});
    EXPECT_EQ(read_file(plain), pattern(0, 100) + pattern(150, 7));
    EXPECT_EQ(read_file(output), pattern(100, 50));
    OssimReport r = only_report();
    EXPECT_EQ(r.opens, 1);
    EXPECT_EQ(r.writes, 1);
    EXPECT_EQ(r.bytes, 50);
}

TEST_F(Ossim, DescriptorNumberReusedAfterAHiddenCloseIsAFileAgain) {
    std::string plain = tmp.file("plain");
    ProbeRun run = probe({"open", "rawclose", "open:" + plain, "write:10", "close"});
    EXPECT_EQ(num(run.line(2), "ret"), num(run.line(0), "ret")); // the same number
    EXPECT_EQ(read_file(plain), pattern(0, 10));
    EXPECT_EQ(read_file(output), "");
    OssimReport r = only_report();
    EXPECT_EQ(r.opens, 1);
    EXPECT_EQ(r.writes, 0);
}

// --- data and report -------------------------------------------------------------------

TEST_F(Ossim, OutputHoldsExactlyWhatWasWritten) {
    probe({"open", "write:1000", "writev:3001", "write:0", "write:5", "close"});
    EXPECT_EQ(read_file(output), pattern(0, 4006));
    OssimReport r = only_report();
    EXPECT_EQ(r.writes, 4);
    EXPECT_EQ(r.bytes, 4006);
    EXPECT_EQ(r.underruns, 0);
}

TEST_F(Ossim, FailedWritesSayEIOAndAreNotCopied) {
    ProbeRun run = probe({"open", "write:100", "writev:100", "ioctl:SETFMT:16"}, false, "write");
    EXPECT_EQ(field(run.line(1), "ret"), "-1");
    EXPECT_EQ(field(run.line(1), "err"), "EIO");
    EXPECT_EQ(field(run.line(2), "err"), "EIO");
    EXPECT_EQ(field(run.line(3), "ret"), "0"); // the device itself still answers
    EXPECT_EQ(read_file(output), "");
    OssimReport r = only_report();
    EXPECT_EQ(r.writes, 2);
    EXPECT_EQ(r.bytes, 0);
}

TEST_F(Ossim, ReportNamesIoctlsInCallOrder) {
    ProbeRun run = probe({"open", "ioctl:SETFMT:16", "ioctl:CHANNELS:2", "ioctl:SPEED:44100",
                          "ioctl:5099", "ioctl:SYNC", "ioctl:RESET", "close"});
    EXPECT_EQ(field(run.line(4), "err"), "EINVAL");
    OssimReport r = only_report();
    EXPECT_EQ(r.ioctls, (std::vector<std::string>{"SNDCTL_DSP_SETFMT", "SNDCTL_DSP_CHANNELS",
                                                  "SNDCTL_DSP_SPEED", "0x00005099",
                                                  "SNDCTL_DSP_SYNC", "SNDCTL_DSP_RESET"}));
    EXPECT_EQ(r.writes, 0);
}

TEST_F(Ossim, ModeIoctlsAnswerAs16BitStereo44100) {
    ProbeRun run =
        probe({"open", "ioctl:SETFMT:8", "ioctl:SETFMT:16", "ioctl:GETFMTS", "ioctl:CHANNELS:1",
               "ioctl:STEREO:0", "ioctl:SPEED:22050", "ioctl:GETBLKSIZE",
               "ioctl:SETFRAGMENT:1048588", "ioctl:POST", "ioctl:GETOSPACE"});
    for (size_t i = 1; i < run.lines.size(); i++) {
        EXPECT_EQ(field(run.line(i), "ret"), "0") << run.line(i);
    }
    EXPECT_EQ(num(run.line(1), "val"), AFMT_S16_LE);
    EXPECT_EQ(num(run.line(2), "val"), AFMT_S16_LE);
    EXPECT_EQ(num(run.line(3), "val"), AFMT_S16_LE);
    EXPECT_EQ(num(run.line(4), "val"), 2);
    EXPECT_EQ(num(run.line(5), "val"), 1);
    EXPECT_EQ(num(run.line(6), "val"), 44100);
    EXPECT_EQ(num(run.line(7), "val"), 4096);
    const std::string& space = run.line(10);
    EXPECT_EQ(num(space, "fragsize"), 4096);
    EXPECT_EQ(num(space, "fragstotal"), 16);
    EXPECT_EQ(num(space, "fragments"), 16);
    EXPECT_EQ(num(space, "bytes"), 65536);
}

// --- processes -------------------------------------------------------------------------

TEST_F(Ossim, ForkedChildReportsOnlyWhenItTouchesTheDevice) {
    ProbeRun run = probe({"open", "write:100", "fork{", "sleep:0", "}", "fork{", "write:30",
                          "ioctl:RESET", "}", "write:20", "close"});
    // Lines: open, write, sleep (child), fork, write (child), ioctl (child), fork, ...
    long idle_child = num(run.line(3), "pid");
    long busy_child = num(run.line(6), "pid");
    std::vector<OssimReport> reports = read_ossim_reports(report);
    ASSERT_EQ(reports.size(), 2u);
    // The busy child exits first.
    EXPECT_EQ(reports[0].pid, busy_child);
    EXPECT_EQ(reports[0].opens, 0);
    EXPECT_EQ(reports[0].ioctls, std::vector<std::string>{"SNDCTL_DSP_RESET"});
    EXPECT_EQ(reports[0].writes, 1);
    EXPECT_EQ(reports[0].bytes, 30);
    EXPECT_EQ(reports[1].pid, run.result.pid);
    EXPECT_EQ(reports[1].opens, 1);
    EXPECT_TRUE(reports[1].ioctls.empty());
    EXPECT_EQ(reports[1].writes, 2);
    EXPECT_EQ(reports[1].bytes, 120);
    EXPECT_NE(reports[0].pid, idle_child);
    EXPECT_EQ(read_file(output), pattern(0, 100) + pattern(100, 30) + pattern(100, 20));
}

TEST_F(Ossim, ProcessesThatSkipExitHandlersWriteNoReport) {
    probe({"open", "write:10", "fork{", "write:5", "_exit:0", "}"});
    OssimReport r = only_report(); // the parent's; the child left through _exit
    EXPECT_EQ(r.bytes, 10);
}

TEST_F(Ossim, ConcurrentProcessesAppendWholeLines) {
    std::vector<std::string> argv = {test_bin("ossim_probe"), "open",        "write:20000",
                                     "ioctl:SETFMT:16",       "write:20000", "close"};
    std::vector<ProcHandle> handles;
    std::set<long> pids;
    for (int i = 0; i < 4; i++) {
        handles.push_back(start_program(argv, env()));
        pids.insert(handles.back().pid);
    }
    for (ProcHandle& h : handles) {
        ProcResult r = wait_program(h, 30);
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }
    std::vector<OssimReport> reports = read_ossim_reports(report);
    ASSERT_EQ(reports.size(), 4u);
    std::set<long> reported;
    for (const OssimReport& r : reports) {
        reported.insert(r.pid);
        EXPECT_EQ(r.bytes, 40000);
        EXPECT_EQ(r.ioctls, std::vector<std::string>{"SNDCTL_DSP_SETFMT"});
    }
    EXPECT_EQ(reported, pids);
    EXPECT_EQ(read_file(output).size(), 160000u);
}

// --- realtime --------------------------------------------------------------------------

// 176400 bytes are one second of 16-bit stereo at 44100 Hz; the buffer holds 65536.

TEST_F(Ossim, RealTimeWriteBlocksWhileTheBufferIsFull) {
    ProbeRun run = probe({"open", "write:241936", "ioctl:GETOSPACE"}, true);
    EXPECT_EQ(num(run.line(1), "ret"), 241936);
    double t = elapsed(run.line(1));
    EXPECT_GE(t, 0.9); // a full buffer plus one second of sound
    EXPECT_LT(t, 2.5);
    EXPECT_LT(num(run.line(2), "bytes"), 8192); // still nearly full on return
    EXPECT_EQ(read_file(output), pattern(0, 241936));
    EXPECT_EQ(only_report().bytes, 241936);
}

TEST_F(Ossim, RealTimeBufferTakesItsCapacityAtOnce) {
    ProbeRun run = probe({"open", "write:65536", "ioctl:GETOSPACE", "ioctl:GETODELAY"}, true);
    EXPECT_LT(elapsed(run.line(1)), 0.25);
    long room = num(run.line(2), "bytes");
    EXPECT_LT(room, 32768);
    EXPECT_EQ(num(run.line(2), "fragments"), room / 4096);
    long queued = num(run.line(3), "val"); // a moment later
    EXPECT_GT(queued, 0);
    EXPECT_LE(queued, 65536 - room);
}

TEST_F(Ossim, RealTimeSyncWaitsForTheQueueToPlay) {
    ProbeRun run = probe({"open", "write:35280", "ioctl:SYNC", "ioctl:GETOSPACE"}, true);
    double t = span(run.line(1), run.line(2)); // 0.2 s of sound
    EXPECT_GE(t, 0.195);
    EXPECT_LT(t, 1.0);
    EXPECT_EQ(num(run.line(3), "bytes"), 65536);
}

TEST_F(Ossim, RealTimeResetDropsTheQueue) {
    ProbeRun run =
        probe({"open", "write:65536", "ioctl:RESET", "ioctl:GETOSPACE", "ioctl:SYNC"}, true);
    EXPECT_EQ(num(run.line(3), "bytes"), 65536);
    EXPECT_LT(elapsed(run.line(4)), 0.1);
}

TEST_F(Ossim, RealTimeGapsThatEmptyTheBufferAreUnderruns) {
    // 4096 bytes play in 23 ms, so each pause lets the device run dry.
    probe({"open", "write:4096", "sleep:0.1", "write:4096", "sleep:0.1", "writev:4096", "sleep:0.1",
           "close"},
          true);
    EXPECT_EQ(only_report().underruns, 2); // the drain after the last write is not one
}

TEST_F(Ossim, RealTimeDeviceStartsOnAWholeFragmentOrOnPost) {
    // Less than a fragment (4096 bytes) waits for the rest however long it takes; POST
    // plays it at once, so the pause after it lets the device run dry.
    ProbeRun run = probe({"open", "write:1000", "sleep:0.1", "ioctl:GETODELAY", "write:4096",
                          "ioctl:SYNC", "write:1000", "ioctl:POST", "sleep:0.1", "write:4096"},
                         true);
    EXPECT_EQ(num(run.line(3), "val"), 1000);
    const OssimReport rep = only_report();
    EXPECT_EQ(rep.underruns, 1);
    ASSERT_EQ(rep.gaps.size(), 1u);
    EXPECT_GT(rep.gaps[0].ms, 80);
}

TEST_F(Ossim, RealTimeSteadyWritesHaveNoUnderruns) {
    probe({"open", "write:65536", "write:8192", "write:8192", "write:8192", "write:8192",
           "sleep:0.5"},
          true);
    EXPECT_EQ(only_report().underruns, 0);
}

TEST_F(Ossim, RealTimeSyncOrResetBeforeAPauseIsNoUnderrun) {
    probe({"open", "write:4096", "ioctl:SYNC", "sleep:0.05", "write:4096", "ioctl:RESET",
           "sleep:0.05", "write:4096"},
          true);
    EXPECT_EQ(only_report().underruns, 0);
}

TEST_F(Ossim, RealTimeSpeedFactorDrainsFaster) {
    EnvList e = env(true);
    e.emplace_back("OSSIM_SPEED", "4");
    ProbeRun run = probe({"open", "write:241936"}, e);
    double t = elapsed(run.line(1));
    EXPECT_GE(t, 0.22);
    EXPECT_LT(t, 0.9);
}

TEST_F(Ossim, RealTimeNonblockingWriteTakesOnlyWhatFits) {
    ProbeRun run = probe({"open", "nonblock", "write:131072"}, true);
    long taken = num(run.line(2), "ret");
    EXPECT_GE(taken, 65536);
    EXPECT_LT(taken, 65536 + 16384);
    EXPECT_LT(elapsed(run.line(2)), 0.25);
    EXPECT_EQ(read_file(output).size(), static_cast<size_t>(taken));
}

TEST_F(Ossim, RealTimeFragmentSetupIsGrantedWithinBounds) {
    ProbeRun run =
        probe({"open", "ioctl:SETFRAGMENT:" + std::to_string(11 << 16 | 13), "ioctl:GETOSPACE",
               "ioctl:GETBLKSIZE", "write:4096",
               "ioctl:SETFRAGMENT:" + std::to_string(4 << 16 | 12), "close",
               // too small a fragment, no limit on the count
               "open", "ioctl:SETFRAGMENT:" + std::to_string(0x7fff << 16 | 4), "ioctl:GETOSPACE",
               "close",
               // too large a fragment, one of them
               "open", "ioctl:SETFRAGMENT:" + std::to_string(1 << 16 | 20), "ioctl:GETOSPACE"},
              true);
    EXPECT_EQ(num(run.line(1), "val"), 11 << 16 | 13);
    EXPECT_EQ(num(run.line(2), "fragstotal"), 11);
    EXPECT_EQ(num(run.line(2), "fragsize"), 8192);
    EXPECT_EQ(num(run.line(3), "val"), 8192);
    EXPECT_EQ(field(run.line(5), "err"), "EINVAL"); // fixed by the first write
    EXPECT_EQ(num(run.line(8), "val"), 1024 << 16 | 7);
    EXPECT_EQ(num(run.line(9), "fragsize"), 128);
    EXPECT_EQ(num(run.line(9), "fragstotal"), 1024);
    EXPECT_EQ(num(run.line(12), "val"), 2 << 16 | 16);
    EXPECT_EQ(num(run.line(13), "fragstotal"), 2);
}

TEST_F(Ossim, RealTimePollWaitsForAFreeFragment) {
    ProbeRun run = probe({"open", "nonblock", "write:65536", "poll:0", "poll:1000"}, true);
    EXPECT_EQ(num(run.line(3), "ret"), 0);
    EXPECT_EQ(num(run.line(4), "ret"), 1);
    EXPECT_EQ(num(run.line(4), "revents"), POLLOUT);
    EXPECT_GE(elapsed(run.line(4)), 0.015); // 4096 bytes play in 23 ms
    EXPECT_LT(elapsed(run.line(4)), 0.5);
}

TEST_F(Ossim, RealTimeStopInsideABlockedWriteIsAnUnderrun) {
    // The write blocks for about two seconds; stopped for one of them, the device runs
    // dry for about 0.6 s (its buffer holds 0.37 s).
    ProcHandle h = start_program({test_bin("ossim_probe"), "open", "write:400000"}, env(true));
    ASSERT_TRUE(buffer_filled()) << "the write is under way";
    kill(h.pid, SIGSTOP);
    struct timespec pause = {1, 0};
    nanosleep(&pause, nullptr);
    kill(h.pid, SIGCONT);
    ProcResult r = wait_program(h, 30);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const OssimReport rep = only_report();
    EXPECT_EQ(rep.underruns, 1);
    EXPECT_GT(rep.dry_ms, 300);
    EXPECT_LT(rep.dry_ms, 1000);
    EXPECT_EQ(rep.bytes, 400000);
}

TEST_F(Ossim, StalledDiskHoldsReadsOfFilesForItsTime) {
    write_file(tmp.file("data"), std::string(10000, 'x'));
    EnvList e = env(true);
    e.emplace_back("OSSIM_STALL", "100:1");
    e.emplace_back("OSSIM_SPEED", "2"); // a stall of 1 s of device time is 0.5 s
    ProbeRun run = probe({"read:" + tmp.file("data"), "sleep:0.2", "read:" + tmp.file("data"),
                          "read:" + tmp.file("data"), "open", "write:4096"},
                         e);
    EXPECT_EQ(num(run.line(0), "bytes"), 10000);
    EXPECT_LT(elapsed(run.line(0)), 0.09); // before the stall
    EXPECT_GE(seconds(run.line(2), "at"), 0.59);
    EXPECT_LT(elapsed(run.line(3)), 0.09); // after it
    EXPECT_EQ(num(run.line(3), "bytes"), 10000);
    const OssimReport rep = only_report();
    EXPECT_GE(rep.first_write_ms, 600);
    EXPECT_LT(rep.first_write_ms, 5000);
}

TEST_F(Ossim, WithoutRealtimeWritesNeverWait) {
    ProbeRun run = probe({"open", "write:1000000", "ioctl:SYNC", "ioctl:GETOSPACE"});
    EXPECT_LT(elapsed(run.line(1)) + elapsed(run.line(2)), 1.0); // 5.7 s of sound
    EXPECT_EQ(num(run.line(3), "bytes"), 65536);
}

TEST_F(Ossim, SignalHandlerEndsABlockedWriteAsThePlayerDoes) {
    // The probe's SIGTERM handler issues RESET, closes the device and exits 1.
    ProcHandle h =
        start_program({test_bin("ossim_probe"), "open", "trap", "write:1000000"}, env(true));
    // Once data arrives the handler is in place and the write is blocked on a full buffer.
    ASSERT_TRUE(buffer_filled());
    kill(h.pid, SIGTERM);
    ProcResult r = wait_program(h, 30);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    OssimReport rep = only_report();
    EXPECT_EQ(rep.ioctls, std::vector<std::string>{"SNDCTL_DSP_RESET"});
    EXPECT_GE(rep.bytes, 65536);
    EXPECT_LT(rep.bytes, 1000000);
    EXPECT_EQ(read_file(output).size(), static_cast<size_t>(rep.bytes));
}

// --- running programs ------------------------------------------------------------------

TEST(TestSupportProc, CapturesBothStreamsAndTheExitStatus) {
    ProcResult r = run_program({"/bin/sh", "-c", "printf out; printf err >&2; exit 3"}, {});
    EXPECT_EQ(r.out, "out");
    EXPECT_EQ(r.err, "err");
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_FALSE(r.timed_out);
}

TEST(TestSupportProc, LargeOutputOnBothStreamsDoesNotDeadlock) {
    ProcResult r = run_program(
        {"/bin/sh", "-c", "head -c 300000 /dev/zero >&2; head -c 300000 /dev/zero"}, {}, 20);
    EXPECT_EQ(r.out.size(), 300000u);
    EXPECT_EQ(r.err.size(), 300000u);
    EXPECT_EQ(r.exit_code, 0);
}

TEST(TestSupportProc, EnvironmentIsAddedAndOverridden) {
    ProcResult r =
        run_program({"/bin/sh", "-c", "printf '%s %s %s' \"$VEXA_T1\" \"$HOME\" \"$PATH\""},
                    {{"VEXA_T1", "a"}, {"HOME", "/nowhere"}, {"VEXA_T1", "b"}});
    const char* path = getenv("PATH");
    EXPECT_EQ(r.out, std::string("b /nowhere ") + (path != nullptr ? path : ""));
}

TEST(TestSupportProc, TimeoutKillsTheWholeProgramGroup) {
    // The background sleep keeps the output open; it must be killed too.
    ProcResult r = run_program({"/bin/sh", "-c", "sleep 30 & sleep 30"}, {}, 0.3);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.term_signal, SIGKILL);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_LT(r.elapsed_s, 10.0);
}

TEST(TestSupportProc, SignalledProgramShowsTheSignal) {
    ProcHandle h = start_program({"/bin/sleep", "30"}, {});
    ASSERT_GT(h.pid, 0);
    kill(h.pid, SIGTERM);
    ProcResult r = wait_program(h, 10);
    EXPECT_EQ(r.term_signal, SIGTERM);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_FALSE(r.timed_out);
}

TEST(TestSupportProc, MissingProgramExits127) {
    ProcResult r = run_program({"/nonexistent/program"}, {});
    EXPECT_EQ(r.exit_code, 127);
    EXPECT_NE(r.err.find("/nonexistent/program"), std::string::npos);
}

TEST(TestSupportProc, OssimEnvironmentPreloadsTheSimulator) {
    EnvList e = ossim_env("/o", "/r", true, "write");
    auto value = [&](const std::string& name) {
        std::string v = "<unset>";
        for (const auto& [k, val] : e) {
            if (k == name) v = val;
        }
        return v;
    };
    std::string preload = value("LD_PRELOAD");
    EXPECT_EQ(preload.substr(preload.size() - std::string(VEXA_OSSIM_LIB).size()), VEXA_OSSIM_LIB);
    EXPECT_EQ(value("OSSIM_OUTPUT"), "/o");
    EXPECT_EQ(value("OSSIM_REPORT"), "/r");
    EXPECT_EQ(value("OSSIM_REALTIME"), "1");
    EXPECT_EQ(value("OSSIM_FAIL"), "write");
    if (std::string(VEXA_ASAN_RUNTIME).empty()) {
        EXPECT_EQ(preload, VEXA_OSSIM_LIB);
    } else {
        EXPECT_EQ(preload.rfind(VEXA_ASAN_RUNTIME, 0), 0u); // runtime first
    }
}

// --- files -----------------------------------------------------------------------------

TEST(TestSupportFiles, TempDirIsRemovedWithItsContents) {
    std::string path;
    {
        TempDir d;
        path = d.path;
        ASSERT_FALSE(path.empty());
        write_file(d.file("a"), std::string("x\0y", 3));
        ASSERT_EQ(mkdir(d.file("sub").c_str(), 0755), 0);
        write_file(d.file("sub/b"), "z");
        EXPECT_EQ(read_file(d.file("a")), std::string("x\0y", 3));
        EXPECT_TRUE(file_exists(d.file("sub/b")));
    }
    EXPECT_FALSE(file_exists(path));
}

TEST(TestSupportWav, CanonicalHeader) {
    std::string w = make_wav(2, 22050, {1, -2, 300, -32768});
    ASSERT_EQ(w.size(), 44u + 8u);
    EXPECT_EQ(w.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(w, 4), 44u);
    EXPECT_EQ(w.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(le32(w, 16), 16u);
    EXPECT_EQ(le16(w, 20), 1);      // PCM
    EXPECT_EQ(le16(w, 22), 2);      // channels
    EXPECT_EQ(le32(w, 24), 22050u); // rate
    EXPECT_EQ(le32(w, 28), 88200u); // bytes per second
    EXPECT_EQ(le16(w, 32), 4);      // block align
    EXPECT_EQ(le16(w, 34), 16);     // bits
    EXPECT_EQ(w.substr(36, 4), "data");
    EXPECT_EQ(le32(w, 40), 8u);
    EXPECT_EQ(w.substr(44), std::string("\x01\x00\xfe\xff\x2c\x01\x00\x80", 8));

    std::string mono = make_wav(1, 8000, {5});
    EXPECT_EQ(le16(mono, 32), 2);
    EXPECT_EQ(le32(mono, 28), 16000u);
}

TEST(TestSupportWav, RawLayouts) {
    std::string data = "abcd";
    // A 26-byte LIST chunk: the samples start at 44 + 8 + 26.
    std::string w = make_wav_raw(1, 2, 44100, 4, 16, 16, {{"LIST", std::string(26, 'L')}}, data);
    EXPECT_EQ(w.substr(36, 4), "LIST");
    EXPECT_EQ(le32(w, 40), 26u);
    EXPECT_EQ(w.substr(70, 4), "data");
    EXPECT_EQ(w.substr(78), data);
    EXPECT_EQ(le32(w, 4), w.size() - 8);

    // An odd chunk gets its pad byte; a wrong data size field is written as given.
    w = make_wav_raw(3, 1, 8000, 2, 8, 16, {{"junk", "12345"}}, data, 0x7fffffff);
    EXPECT_EQ(le16(w, 20), 3);
    EXPECT_EQ(le16(w, 34), 8);
    EXPECT_EQ(le32(w, 40), 5u);
    EXPECT_EQ(w.substr(44, 6), std::string("12345\0", 6));
    EXPECT_EQ(w.substr(50, 4), "data");
    EXPECT_EQ(le32(w, 54), 0x7fffffffu);

    // fmt bodies longer or shorter than 16 bytes.
    w = make_wav_raw(1, 2, 44100, 4, 16, 18, {}, data);
    EXPECT_EQ(le32(w, 16), 18u);
    EXPECT_EQ(le16(w, 36), 0);
    EXPECT_EQ(w.substr(38, 4), "data");
    w = make_wav_raw(1, 2, 44100, 4, 16, 13, {}, data);
    EXPECT_EQ(le32(w, 16), 13u);
    EXPECT_EQ(w.substr(34, 4), "data"); // 20 + 13 + pad byte
    EXPECT_EQ(w[33], '\0');

    WavLayout lay;
    lay.riff_id = "RIFX";
    lay.has_data_chunk = false;
    w = build_wav(lay);
    EXPECT_EQ(w.substr(0, 4), "RIFX");
    EXPECT_EQ(w.size(), 36u);
}

TEST(TestSupportWav, SamplesRoundTrip) {
    std::vector<int16_t> s = {0, 1, -1, 32767, -32768, 258};
    std::string b = pcm_bytes(s);
    EXPECT_EQ(b.substr(10, 2), std::string("\x02\x01", 2));
    EXPECT_EQ(pcm_samples(b), s);
}

} // namespace
