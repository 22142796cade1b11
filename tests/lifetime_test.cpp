// The player on a device it shares: it ends with the command that started it, keeps
// text out of its audio, survives the limits and mistakes of its user, and holds the
// sound against other programs' load.
#include "mp3files.h"
#include "ossim_report.h"
#include "proc.h"
#include "tempdir.h"
#include "wait.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

class SharedDevice : public testing::Test {
  protected:
    std::string device() const { return dir.file("device.raw"); }
    std::string report() const { return dir.file("report.jsonl"); }
    std::string wav(const std::string& name, int channels, double seconds, int16_t value = 77) {
        const std::string path = dir.file(name);
        write_file(path, make_wav(channels, 44100,
                                  std::vector<int16_t>(
                                      static_cast<size_t>(channels * 44100 * seconds), value)));
        return path;
    }
    std::string played() const { return file_exists(device()) ? read_file(device()) : ""; }
    long long device_bytes() const {
        struct stat st {};
        return stat(device().c_str(), &st) == 0 ? st.st_size : 0;
    }
    EnvList env(bool realtime = false) const {
        EnvList e = ossim_env(device(), report(), realtime);
        e.emplace_back("VEXA_DEBUG_LEVEL", "0");
        return e;
    }
    TempDir dir;
};

// The player: the process the started one forked.
pid_t player_of(pid_t pid) {
    const std::string p = std::to_string(pid);
    pid_t child = -1;
    wait_until([&] {
        child = static_cast<pid_t>(
            std::atol(read_file("/proc/" + p + "/task/" + p + "/children").c_str()));
        return child > 0;
    });
    return child;
}

// Gone, or a zombie nobody has reaped yet.
bool ended(pid_t pid) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (f == nullptr) return true;
    char line[512] = "";
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    const char* close = got ? std::strrchr(line, ')') : nullptr;
    return close == nullptr || close[2] == 'Z' || close[2] == 'X';
}

int resets_reported(const std::string& report) {
    int resets = 0;
    for (const auto& rep : read_ossim_reports(report))
        for (const auto& name : rep.ioctls)
            resets += name == "SNDCTL_DSP_RESET";
    return resets;
}

// ---- The player never outlives its command ----

TEST_F(SharedDevice, PlayerEndsWhenTheReaderIsKilled) {
    for (int sig : {SIGKILL, SIGHUP, SIGUSR1, SIGALRM}) {
        SCOPED_TRACE(strsignal(sig));
        unlink(report().c_str());
        write_file(device(), "");
        ProcHandle h = start_program({vexa_bin("vexa"), wav("k.wav", 2, 20)}, env(true));
        ASSERT_TRUE(wait_until([&] { return device_bytes() > 0; }, 30));
        const pid_t player = player_of(h.pid);
        ASSERT_GT(player, 0);
        kill(h.pid, sig);
        EXPECT_TRUE(wait_until([&] { return ended(player); }, 20)) << "the player plays on";
        // It ended as on SIGTERM: the device's queue was dropped.
        EXPECT_TRUE(wait_until([&] { return resets_reported(report()) == 1; }, 20));
        ProcResult r = wait_program(h, 30);
        EXPECT_EQ(r.term_signal, sig);
        EXPECT_LT(device_bytes(), 44100LL * 4 * 10);
    }
}

TEST_F(SharedDevice, ReaderReadErrorEndsPlayerAndCommand) {
    // The disk fails 1 MiB into a 20 s file that plays in real time.
    const std::string file = wav("eio.wav", 2, 20);
    EnvList e = env(true);
    for (auto& [name, value] : e)
        if (name == "LD_PRELOAD") value += std::string(" ") + VEXA_FAULTSHIM_LIB;
    e.emplace_back("FAULTSHIM_EIO_AFTER", std::to_string(1 << 20));
    ProcResult r = run_program({vexa_bin("vexa"), file}, e, 60);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, file + ": Input/output error\n");
    // The command waited for the player, which stopped long before the file's end.
    EXPECT_LT(device_bytes(), 1 << 20);
}

// ---- Text never mixes into the audio ----

TEST_F(SharedDevice, ClosedStandardOutputAndErrorLeaveTheCopyPurePcm) {
    const std::vector<int16_t> samples(2 * 44100, 321);
    const std::string file = dir.file("c.wav");
    write_file(file, make_wav(2, 44100, samples));
    const std::string copy = dir.file("copy.raw");
    for (const std::vector<int>& closed : {std::vector<int>{1}, std::vector<int>{2},
                                           std::vector<int>{1, 2}, std::vector<int>{0, 1, 2}}) {
        SCOPED_TRACE(testing::PrintToString(closed));
        write_file(device(), "");
        ProcHandle h = start_program({vexa_bin("vexa"), "-d3", "-o" + copy, file}, env(), closed);
        ProcResult r = wait_program(h, 60);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_TRUE(read_file(copy) == pcm_bytes(samples)) << "text in the -o copy";
        EXPECT_TRUE(played() == pcm_bytes(samples)) << "text in the sound";
    }
}

// ---- Small faults, one row each ----

TEST_F(SharedDevice, MonoFramesUnderTwoChannelsCopyLeftToRight) {
    REQUIRE_LAME();
    // One stream that changes from stereo to mono halfway.
    const std::string st = dir.file("st.mp3"), mo = dir.file("mo.mp3");
    lame_encode(st, 44100, 2, test_sound(44100, 2, 1, 3u), {"-b", "128", "-m", "s", "-t"});
    lame_encode(mo, 44100, 1, test_sound(44100, 1, 1, 4u), {"-b", "64", "-m", "m", "-t"});
    const std::string both = dir.file("both.mp3");
    write_file(both, read_file(st) + read_file(mo));
    ProcResult r = run_program({vexa_bin("vexa"), "-c2", both}, env(), 60);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<int16_t> pcm = pcm_samples(played());
    ASSERT_GT(pcm.size(), 2u * 44100 * 3 / 2);
    // The last half second is mono: both channels the same.
    size_t differ = 0;
    for (size_t i = pcm.size() - 2 * 22050; i + 1 < pcm.size(); i += 2)
        differ += pcm[i] != pcm[i + 1];
    EXPECT_EQ(differ, 0u);
}

TEST_F(SharedDevice, FileSizeLimitEndsOnlyTheCopy) {
    // 51200 bytes may be written; the device output is not kept, since it would meet the
    // same limit. The limit is this process's while the player starts, which inherits it.
    const std::string file = wav("f.wav", 2, 1);
    const std::string copy = dir.file("limited.raw");
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = 51200;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    ProcHandle h = start_program({vexa_bin("vexa"), "-o" + copy, file}, ossim_env("", report()));
    setrlimit(RLIMIT_FSIZE, &old);
    ProcResult r = wait_program(h, 60);
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, copy + ": File too large\n");
    long long bytes = 0;
    for (const auto& rep : read_ossim_reports(report()))
        bytes += rep.bytes;
    EXPECT_EQ(bytes, 44100LL * 4) << "the sound goes on";
    EXPECT_LE(read_file(copy).size(), 51200u);
}

TEST_F(SharedDevice, CopyOntoTheInputIsRefusedBeforeAnythingIsWritten) {
    const std::string file = wav("same.wav", 2, 1);
    const std::string before = read_file(file);
    const std::string link = dir.file("other-name.wav");
    ASSERT_EQ(::link(file.c_str(), link.c_str()), 0);
    for (const std::string& out : {file, link, dir.path + "/./same.wav"}) {
        SCOPED_TRACE(out);
        write_file(device(), "");
        ProcResult r = run_program({vexa_bin("vexa"), "-o" + out, file}, env(), 60);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, out + ": the -o file is the file to play\n");
        EXPECT_TRUE(read_file(file) == before) << "the input was changed";
        EXPECT_EQ(played(), "");
    }
}

TEST_F(SharedDevice, KestSleepTakesOnlyNonNegativeWholeNumbers) {
    const std::string file = wav("k.wav", 2, 0.01);
    struct Row {
        const char* value;
        bool sleeps;
    };
    for (const Row& row :
         {Row{"-1", false}, Row{"abc", false}, Row{"1.5", false}, Row{"", false}, Row{"12x", false},
          Row{"99999999999999999999", false}, Row{"0", true}, Row{"1000", true}}) {
        SCOPED_TRACE(row.value);
        EnvList e = env();
        e.emplace_back("KEST_SLEEP", row.value);
        ProcResult r = run_program({vexa_bin("vexa"), "-d1", file}, e, 60);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out.find("kest sleep before exit\n") != std::string::npos, row.sleeps);
    }
}

// ---- Under CPU load ----

// The player takes a real-time priority where it may, and says so; VEXA_NO_PRIORITY
// keeps the ordinary one.
TEST_F(SharedDevice, PriorityIsRaisedWherePermittedUnlessTurnedOff) {
    const std::string file = wav("p.wav", 2, 0.1);
    EnvList on = env();
    on.emplace_back("VEXA_NO_PRIORITY", "0");
    ProcResult r = run_program({vexa_bin("vexa"), "-d1", file}, on, 60);
    EXPECT_EQ(r.exit_code, 0);
    const bool raised =
        r.out.find("player runs at real-time priority (SCHED_FIFO 10)\n") != std::string::npos ||
        r.out.find("player runs at nice -10\n") != std::string::npos;
    const bool unchanged = r.out.find("player priority unchanged: ") != std::string::npos;
    EXPECT_TRUE(raised != unchanged) << r.out;
    ProcResult off = run_program({vexa_bin("vexa"), "-d1", file}, env(), 60);
    EXPECT_EQ(off.out.find("priority"), std::string::npos) << off.out;
}

// 320 kbit/s in real time while eight busy processes share the two cores: no underrun,
// where the player may raise its priority (else skipped).
TEST_F(SharedDevice, RealTimeUnderEightBusyProcessesNoUnderrun) {
    REQUIRE_LAME();
    sched_param param{};
    param.sched_priority = 10;
    const int policy = sched_getscheduler(0);
    sched_param old{};
    sched_getparam(0, &old);
    if (sched_setscheduler(0, SCHED_FIFO, &param) != 0)
        GTEST_SKIP() << "no real-time priority may be taken here: run as root or with "
                        "CAP_SYS_NICE";
    sched_setscheduler(0, policy, &old);

    const std::string file = dir.file("l320.mp3");
    lame_encode(file, 44100, 2, test_sound(44100, 2, 20, 9u), {"-b", "320", "-m", "s"});
    std::vector<pid_t> hogs;
    for (int i = 0; i < 8; i++) {
        const pid_t p = fork();
        if (p == 0) {
            for (;;)
                asm volatile("" ::: "memory"); // spin, not optimised away
        }
        hogs.push_back(p);
    }
    EnvList e = env(true);
    e.emplace_back("VEXA_NO_PRIORITY", "0");
    e.emplace_back("OSSIM_SPEED", "1");
    ProcResult r = run_program({vexa_bin("vexa"), file}, e, 300);
    for (pid_t p : hogs) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
    EXPECT_EQ(r.exit_code, 0) << r.err;
    long underruns = 0;
    double dry_ms = 0;
    for (const auto& rep : read_ossim_reports(report())) {
        underruns += rep.underruns;
        dry_ms += rep.dry_ms;
    }
    EXPECT_EQ(underruns, 0) << dry_ms << " ms of silence";
}

} // namespace
