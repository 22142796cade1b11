#include "mp3files.h"

#include "proc.h"
#include "tempdir.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <unistd.h>

namespace {
constexpr const char* LAME = "/usr/bin/lame";
}

const std::array<ConformanceVector, 16> conformance_vectors = {{
    {"l3-compl", 1152, 1},
    {"l3-he_32khz", 1152, 1},
    {"l3-he_44khz", 1152, 1},
    {"l3-he_48khz", 1152, 1},
    {"l3-he_free", 1152, 2},
    {"l3-he_mode", 1152, 2},
    {"l3-hecommon", 1152, 2},
    {"l3-si", 1152, 2},
    {"l3-si_block", 1152, 2},
    {"l3-si_huff", 1152, 2},
    {"l3-sin1k0db", 1152, 2},
    {"M2L3_bitrate_16_all", 576, 1},
    {"M2L3_bitrate_22_all", 576, 1},
    {"M2L3_bitrate_24_all", 576, 1},
    {"M2L3_compl24", 576, 1},
    {"M2L3_noise", 576, 2},
}};

std::string vector_dir() {
    return VEXA_VECTOR_DIR;
}

bool have_vectors() {
    return file_exists(vector_dir() + "/l3-compl.bit");
}

PcmComparison compare_pcm(const std::vector<int16_t>& got, const std::vector<int16_t>& ref) {
    PcmComparison c{ref.size(), 0, 0, 0};
    double square = 0;
    for (size_t i = 0; i < ref.size(); i++) {
        const int d = std::abs((i < got.size() ? got[i] : 0) - ref[i]);
        square += static_cast<double>(d) * d;
        if (d > c.max_diff) c.max_diff = d;
    }
    const double mse = ref.empty() ? 0 : square / static_cast<double>(ref.size());
    c.rms = std::sqrt(mse);
    c.psnr = mse > 0 ? 10 * std::log10(32768.0 * 32768.0 / mse) : 999.0;
    return c;
}

std::vector<int16_t> test_sound(int rate, int channels, double seconds, uint32_t seed) {
    const auto n = static_cast<size_t>(rate * seconds);
    std::vector<int16_t> s(n * static_cast<size_t>(channels));
    uint32_t x = seed;
    double phase[3] = {0, 0, 0};
    for (size_t i = 0; i < n; i++) {
        const double t = static_cast<double>(i) / rate;
        const double f[3] = {220 + 40 * t, 554 * (1 + 0.1 * std::sin(t)), 1760 - 100 * t};
        double v = 0;
        for (int k = 0; k < 3; k++) {
            phase[k] += 2 * M_PI * f[k] / rate;
            v += 0.2 * std::sin(phase[k]) * (k == 2 ? 0.5 + 0.5 * std::sin(3 * t) : 1.0);
        }
        x = x * 1103515245u + 12345u;
        const double noise = (static_cast<double>(x >> 16) / 32768.0 - 1.0) *
                             (std::fmod(t, 1.0) < 0.2 ? 0.25 : 0.02);
        for (int c = 0; c < channels; c++) {
            const double pan = c == 0 ? 1.0 : 0.7;
            s[i * static_cast<size_t>(channels) + static_cast<size_t>(c)] =
                static_cast<int16_t>(std::lround(32767 * 0.9 * (v * pan + noise) / 1.5));
        }
    }
    return s;
}

bool have_lame() {
    return access(LAME, X_OK) == 0;
}

void lame_encode(const std::string& mp3, int rate, int channels,
                 const std::vector<int16_t>& samples, const std::vector<std::string>& options) {
    const std::string wav = mp3 + ".wav";
    write_file(wav, make_wav(channels, rate, samples));
    std::vector<std::string> argv = {LAME, "--quiet"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(wav);
    argv.push_back(mp3);
    const ProcResult r = run_program(argv, {}, 120);
    EXPECT_EQ(r.exit_code, 0) << "lame " << mp3 << ": " << r.err;
}
