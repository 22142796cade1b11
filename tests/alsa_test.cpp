// The ALSA output, with the real libasound: a configuration written by the test defines
// PCMs from ALSA's own plugins (the file plugin over the null PCM keeps what the player
// sent), and the bytes must be the OSS simulator's for the same files and options.
#include "mp3files.h"
#include "proc.h"
#include "tempdir.h"
#include "wait.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

class Alsa : public testing::Test {
  protected:
    void SetUp() override {
#ifndef VEXA_HAVE_ALSA
        GTEST_SKIP() << "the player is built without ALSA";
#endif
        // "default" and "capture" keep what they are sent; "full" fails once its file
        // plugin writes; "gone" is a card that is not there.
        const std::string pcm_file = "{ type file slave.pcm { type null } format raw file ";
        write_file(config(), "pcm.default " + pcm_file + "\"" + alsa_out() + "\" }\n" +
                                 "pcm.capture " + pcm_file + "\"" + alsa_out() + "\" }\n" +
                                 "pcm.full " + pcm_file + "\"/dev/full\" }\n" +
                                 "pcm.gone { type hw card 9 }\n");
    }

    std::string config() const {
        return dir.file("asound.conf");
    }
    std::string alsa_out() const {
        return dir.file("alsa.raw");
    }
    std::string oss_out() const {
        return dir.file("oss.raw");
    }

    // Runs the player with `args`; `fail` makes the OSS simulator refuse ("" for none).
    ProcResult vexa(const std::vector<std::string>& args, const std::string& fail = "",
                    const char* debug = "0") {
        std::vector<std::string> argv = {vexa_bin("vexa")};
        argv.insert(argv.end(), args.begin(), args.end());
        EnvList env = ossim_env(oss_out(), "", false, fail);
        env.emplace_back("ALSA_CONFIG_PATH", config());
        env.emplace_back("VEXA_DEBUG_LEVEL", debug);
        return run_program(argv, env, 120);
    }

    std::string output(const std::string& path) const {
        return file_exists(path) ? read_file(path) : "";
    }

    std::string file(const std::string& name, const std::string& bytes) {
        write_file(dir.file(name), bytes);
        return dir.file(name);
    }

    std::string mp3(const std::string& name, int rate) {
        lame_encode(dir.file(name), rate, 2, test_sound(rate, 2, 2.5, 7u), {"-b", "128"});
        return dir.file(name);
    }

    TempDir dir;
};

TEST_F(Alsa, PlaysWhatTheOssDeviceGetsBitForBit) {
    REQUIRE_LAME();
    const std::string wav44 = file("s.wav", make_wav(2, 44100, test_sound(44100, 2, 1.3, 3u)));
    const std::string wav22 = file("m.wav", make_wav(1, 22050, test_sound(22050, 1, 1.1, 4u)));
    const std::string mp44 = mp3("a.mp3", 44100);
    const std::string mp22 = mp3("b.mp3", 22050);
    const std::string mp48 = mp3("c.mp3", 48000);
    const std::string copy = dir.file("copy.raw");
    struct Case {
        std::vector<std::string> args; // options, file and offset, without -a
        bool with_copy;                // the -o copy is compared too
    };
    const Case cases[] = {
        {{wav44}, false}, {{wav22}, false},     {{mp44}, false},       {{mp22}, false},
        {{mp48}, false},  {{mp44, "1"}, false}, {{"-p", mp22}, false}, {{"-o" + copy, mp44}, true},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& a : c.args)
            trace += " " + a;
        SCOPED_TRACE(trace);
        ProcResult oss = vexa(c.args);
        ASSERT_EQ(oss.exit_code, 0) << oss.err;
        const std::string expected = output(oss_out());
        ASSERT_GT(expected.size(), 44100u) << "the simulator got next to nothing";

        std::vector<std::string> args = {"-acapture"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        write_file(oss_out(), "");
        ProcResult alsa = vexa(args);
        EXPECT_EQ(alsa.exit_code, 0) << alsa.err;
        EXPECT_EQ(alsa.err, "");
        EXPECT_EQ(output(oss_out()), "") << "the OSS device was opened";
        EXPECT_TRUE(output(alsa_out()) == expected)
            << output(alsa_out()).size() << " bytes through ALSA, " << expected.size()
            << " through the simulator";
        if (c.with_copy) {
            EXPECT_TRUE(output(copy) == expected) << "the -o copy differs";
        }
    }
}

// Without an OSS device the default PCM plays, and the debug output says so; a path given
// with -a is an OSS device and gets no such second chance.
TEST_F(Alsa, DefaultPcmPlaysWhereThereIsNoOssDevice) {
    const auto samples = test_sound(44100, 2, 0.5, 5u);
    const std::string wav = file("d.wav", make_wav(2, 44100, samples));
    ProcResult r = vexa({wav}, "open", "1");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("audio: no /dev/dsp (No such file or directory), playing through ALSA "
                         "default\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(output(alsa_out()) == pcm_bytes(samples));

    write_file(alsa_out(), "");
    r = vexa({"-a/dev/dsp", wav}, "open");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "/dev/dsp: No such file or directory\n");
    EXPECT_EQ(output(alsa_out()), "");

    // And /dev/dsp itself, named, is the OSS device.
    r = vexa({"-a/dev/dsp", wav});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(output(oss_out()) == pcm_bytes(samples));
    EXPECT_EQ(output(alsa_out()), "");
}

// A PCM that cannot be opened, or fails while playing, ends the player with one line that
// names it and says why, and status 1.
TEST_F(Alsa, DeviceFaultsEndInOneLineAndStatusOne) {
    const std::string wav = file("f.wav", make_wav(2, 44100, test_sound(44100, 2, 3, 6u)));
    struct Case {
        std::string device;
        std::string err;
    };
    const Case cases[] = {
        {"-anowhere", "ALSA nowhere: No such file or directory\n"},
        {"-agone", "ALSA gone: No such file or directory\n"},
        {"-afull", "ALSA full: Input/output error\n"},
        {"-a" + dir.file("dsp9"), dir.file("dsp9") + ": No such file or directory\n"},
    };
    for (const Case& c : cases) {
        ProcResult r = vexa({c.device, wav});
        EXPECT_EQ(r.exit_code, 1) << c.device;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(output(oss_out()), "") << c.device;
    }
}

#ifdef VEXA_ALSA_PACED
// SIGTERM drops what the PCM holds and ends both processes at once, with status 1.
TEST_F(Alsa, SigtermDropsThePcmAtOnce) {
    const std::string wav = file("t.wav", make_wav(2, 44100, test_sound(44100, 2, 10, 8u)));
    const std::string report = dir.file("paced.txt");
    write_file(config(), "pcm_type.vexapaced { lib \"" VEXA_ALSA_PACED "\" }\n"
                         "pcm.paced { type vexapaced file \"" +
                             alsa_out() + "\" report \"" + report + "\" speed 1 }\n");
    EnvList env = {{"ALSA_CONFIG_PATH", config()}, {"VEXA_DEBUG_LEVEL", "0"}};
    ProcHandle h = start_program({vexa_bin("vexa"), "-apaced", wav}, env);
    ASSERT_TRUE(wait_until([&] { return !output(alsa_out()).empty(); }, 30));
    kill(h.pid, SIGTERM);
    ProcResult r = wait_program(h, 30);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    // The PCM was closed (its report written) long before the sound's end, with what it
    // held dropped, not played.
    ASSERT_TRUE(wait_until([&] { return !output(report).empty(); }, 10));
    const std::string line = output(report);
    long long frames = 0;
    long long unplayed = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "underruns %*d dry_ms %*f frames %lld unplayed %lld",
                          &frames, &unplayed),
              2)
        << line;
    EXPECT_LT(frames, 5 * 44100) << line;
    EXPECT_GT(unplayed, 0) << line;
}
#endif

} // namespace
