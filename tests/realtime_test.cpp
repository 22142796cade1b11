// The player against a real-time device and a disk that stops answering, through the
// OSS device simulator. The device plays OSSIM_SPEED times faster than real time and the
// simulator shortens its stalls by the same factor, so every duration below is device
// time and the run is a copy of one at real speed, only quicker. Only the scheduler does
// not speed up: at factor x the half second the device holds lasts 0.5/x s, and a player
// that a busy machine leaves waiting that long is heard. Hence a factor of 2: 250 ms
// covers the wake-up delays seen with a CPU hog on the player's core of a loaded machine
// (up to 110 ms). VEXA_REALTIME_SPEED overrides the factor (1 for real speed, e.g. on a
// slow emulator). The same runs through ALSA play to a real-time PCM of the tests' own ALSA
// plugin (tests/alsa_paced), with the simulator stalling the disk only.
#include "mp3files.h"
#include "ossim_report.h"
#include "proc.h"
#include "tempdir.h"
#include "wait.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

double speed() {
    const char* s = std::getenv("VEXA_REALTIME_SPEED");
    const double x = s != nullptr ? std::atof(s) : 0;
    return x > 0 ? x : 2;
}

// Sleeps for `seconds` of device time.
void device_sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds / speed()));
}

// The test sound, stereo at 44100 Hz.
std::vector<int16_t> sound(double seconds) {
    return test_sound(44100, 2, seconds, 1u);
}

struct Totals {
    long underruns = 0;
    double dry_ms = 0;
    long long bytes = 0;
    std::string gaps; // when the first underruns came and how long they were, device time
};

// CPU time (user + system) a process has used so far, in seconds.
double cpu_seconds(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
    std::vector<std::string> fields;
    size_t pos = close + 2;
    while (pos < stat.size() && fields.size() < 13) {
        const size_t end = stat.find(' ', pos);
        fields.push_back(stat.substr(pos, end - pos));
        pos = end + 1;
    }
    if (fields.size() < 13) return -1;
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The player: the process the started program forked to play. It is looked for once sound
// reaches `device`: before, the started program's child may be the probe of the file.
pid_t player_of(pid_t pid, const std::string& device) {
    const std::string p = std::to_string(pid);
    pid_t child = -1;
    wait_until([&] {
        struct stat st {};
        return stat(device.c_str(), &st) == 0 && st.st_size > 0;
    });
    wait_until([&] {
        child = static_cast<pid_t>(
            std::atol(read_file("/proc/" + p + "/task/" + p + "/children").c_str()));
        return child > 0;
    });
    return child > 0 ? child : -1;
}

// Where the player's sound goes: the simulated OSS device, or the real-time ALSA PCM.
enum class Sink { oss, alsa };

#ifdef VEXA_HAVE_ALSA
constexpr bool have_alsa = true;
#else
constexpr bool have_alsa = false;
#endif
#define REQUIRE_ALSA()                                                                             \
    if (!have_alsa) GTEST_SKIP() << "the player is built without ALSA"

class RealTime : public testing::Test {
  protected:
    void SetUp() override { REQUIRE_LAME(); }

    std::string device() const { return dir.file("device.raw"); }
    std::string report() const { return dir.file("report.jsonl"); }

    std::string encode(const std::string& name, double seconds, const std::string& kbps) {
        lame_encode(dir.file(name), 44100, 2, sound(seconds), {"-b", kbps, "-m", "s"});
        return dir.file(name);
    }

    // The sound of `file` as the player gives it to a device that never waits.
    std::string unstalled(const std::string& file) {
        const std::string out = dir.file("reference.raw");
        EnvList env = ossim_env(out, "");
        env.emplace_back("VEXA_DEBUG_LEVEL", "0");
        ProcResult r = run_program({vexa_bin("vexa"), file}, env, 120);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return file_exists(out) ? read_file(out) : "";
    }

    // Starts the player on a real-time device; stall is OSSIM_STALL ("" for none).
    ProcHandle start(const std::string& file, const std::string& stall, Sink sink = Sink::oss) {
        EnvList env = ossim_env(sink == Sink::oss ? device() : "", report(), sink == Sink::oss);
        env.emplace_back("OSSIM_SPEED", std::to_string(speed()));
        env.emplace_back("OSSIM_STALL", stall);
        env.emplace_back("VEXA_DEBUG_LEVEL", "0");
        std::vector<std::string> argv = {vexa_bin("vexa"), file};
#ifdef VEXA_HAVE_ALSA
        if (sink == Sink::alsa) {
            const std::string conf = dir.file("asound.conf");
            write_file(conf, "pcm_type.vexapaced { lib \"" VEXA_ALSA_PACED "\" }\n"
                             "pcm.paced { type vexapaced file \"" +
                                 device() + "\" report \"" + alsa_report() + "\" speed " +
                                 std::to_string(speed()) + " }\n");
            env.emplace_back("ALSA_CONFIG_PATH", conf);
            argv.insert(argv.begin() + 1, "-apaced");
        }
#endif
        return start_program(argv, env);
    }

    std::string alsa_report() const {
        return dir.file("alsa-report.txt");
    }

    // A stall from `after` to `after` + `seconds`, in device time.
    static std::string stall(double after, double seconds) {
        return std::to_string(static_cast<long>(after * 1000 / speed())) + ":" +
               std::to_string(seconds);
    }

    Totals totals() const {
        Totals t;
        // The ALSA plugin's lines: "underruns N dry_ms X frames F unplayed U", in device
        // time; what a PCM was given and did not play before it closed was lost.
        if (file_exists(alsa_report())) {
            std::istringstream lines(read_file(alsa_report()));
            std::string u, d, f, l;
            long underruns = 0;
            double dry_ms = 0;
            long long frames = 0;
            long long unplayed = 0;
            while (lines >> u >> underruns >> d >> dry_ms >> f >> frames >> l >> unplayed) {
                t.underruns += underruns;
                t.dry_ms += dry_ms / speed(); // as the simulator counts it
                t.bytes += 4 * (frames - unplayed);
            }
        }
        for (const auto& rep : read_ossim_reports(report())) {
            t.underruns += rep.underruns;
            t.dry_ms += rep.dry_ms;
            for (const OssimGap& g : rep.gaps)
                t.gaps += " at " + std::to_string(g.at_ms * speed() / 1000) + " s for " +
                          std::to_string(g.ms * speed()) + " ms;";
            t.bytes += rep.bytes;
        }
        return t;
    }

    // Plays `file` with the disk stalled for `seconds` from `after` on: nothing is heard.
    void survives(const std::string& file, double after, double seconds, Sink sink = Sink::oss) {
        const std::string expected = unstalled(file);
        ProcHandle h = start(file, stall(after, seconds), sink);
        ProcResult r = wait_program(h, 300);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        const Totals t = totals();
        EXPECT_EQ(t.underruns, 0) << t.dry_ms * speed() << " ms of silence:" << t.gaps << "\n"
                                  << r.err;
        EXPECT_EQ(static_cast<size_t>(t.bytes), expected.size());
        EXPECT_TRUE(read_file(device()) == expected) << "device output differs";
    }

    // Stops the player for 2 s while it plays 12 s.
    void stopped_player(Sink sink);

    TempDir dir;
};

// The pipe alone holds 65 s at 128 kbit/s; the file is longer than pipe and pipe buffer
// together, so the reader is still copying when the disk stops.
TEST_F(RealTime, MinuteOfDiskStallAt128kIsNotHeard) {
    survives(encode("s128.mp3", 150, "128"), 2, 60);
}

// At 320 kbit/s the pipe holds 26 s: the pipe buffer must carry the rest.
TEST_F(RealTime, FortyFiveSecondsOfDiskStallAt320kAreNotHeard) {
    survives(encode("s320.mp3", 60, "320"), 2, 45);
}

TEST_F(RealTime, MinuteOfDiskStallAt128kIsNotHeardThroughAlsa) {
    REQUIRE_ALSA();
    survives(encode("s128.mp3", 150, "128"), 2, 60, Sink::alsa);
}

TEST_F(RealTime, FortyFiveSecondsOfDiskStallAt320kAreNotHeardThroughAlsa) {
    REQUIRE_ALSA();
    survives(encode("s320.mp3", 60, "320"), 2, 45, Sink::alsa);
}

TEST_F(RealTime, StarvedPlayerSleepsUntilDataComes) {
    // 20 s of WAV: pipe and pipe buffer hold 12 s of it, so a 50 s stall leaves the player
    // with nothing to play for over 30 s, which it must spend asleep.
    const std::string file = dir.file("starve.wav");
    write_file(file, make_wav(2, 44100, sound(20)));
    const std::string expected = unstalled(file);
    ProcHandle h = start(file, stall(2, 50));
    const pid_t player = player_of(h.pid, device());
    ASSERT_GT(player, 0);
    device_sleep(16); // everything buffered has played
    const double cpu_before = cpu_seconds(player);
    device_sleep(30);
    const double cpu_after = cpu_seconds(player);
    ProcResult r = wait_program(h, 300);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_LT(cpu_after - cpu_before, 0.2) << "CPU seconds in 30 s of starvation";
    const Totals t = totals();
    // The starvation is heard (restarting from the first blocks that come in may add a
    // short gap on a busy machine).
    EXPECT_GE(t.underruns, 1);
    EXPECT_GT(t.dry_ms * speed(), 30000);
    EXPECT_TRUE(read_file(device()) == expected) << "device output differs";
}

void RealTime::stopped_player(Sink sink) {
    const std::string file = dir.file("stop.wav");
    write_file(file, make_wav(2, 44100, sound(12)));
    ProcHandle h = start(file, "", sink);
    const pid_t player = player_of(h.pid, device());
    ASSERT_GT(player, 0);
    device_sleep(4);
    kill(player, SIGSTOP);
    device_sleep(2);
    kill(player, SIGCONT);
    ProcResult r = wait_program(h, 300);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const Totals t = totals();
    EXPECT_GE(t.underruns, 1); // restarting from an empty device may add a short gap
    // Stopped for 2 s, of which the device buffer covers half a second.
    EXPECT_GT(t.dry_ms * speed(), 1000);
    EXPECT_LT(t.dry_ms * speed(), 2000 + 1000 * speed());
    EXPECT_EQ(t.bytes, 12LL * 44100 * 4);
}

TEST_F(RealTime, StoppedPlayerIsHeardAsAnUnderrun) {
    stopped_player(Sink::oss);
}

// Through ALSA the underrun is recovered (snd_pcm_recover) and nothing is lost.
TEST_F(RealTime, StoppedPlayerIsHeardAsAnUnderrunThroughAlsa) {
    REQUIRE_ALSA();
    stopped_player(Sink::alsa);
}

} // namespace
