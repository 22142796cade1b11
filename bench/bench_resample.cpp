// Rate converter cost: CPU time per second of stereo audio at each input rate, next to
// two trivial peers measured in the same run: the plain copy of 44100 Hz input and the
// linear x2 interpolation of 22050 Hz input (both also make 44100 samples a second).
#include "bench.h"

#include "resample.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int OUT_RATE = 44100;
constexpr int OUT_CAP = 6350;

constexpr std::array<int, 9> rates = {48000, 32000, 24000, 16000, 12000,
                                      96000, 88200, 64000, 192000};

// Samples per channel per call, as the player sends them: MPEG-1 frames at 32000 to
// 48000 Hz, MPEG-2 frames below, WAV blocks above (and at the lowest rates, where a
// 576-sample block would not fit the output arrays).
int block_for(int rate) {
    if (rate > 48000 || rate < 6000) return 512;
    return rate >= 32000 ? 1152 : 576;
}

int16_t out_l[OUT_CAP];
int16_t out_r[OUT_CAP];

// One second of music-like input: a few tones and some noise, well below full scale.
void make_input(int rate, std::vector<int16_t>& l, std::vector<int16_t>& r) {
    l.resize(size_t(rate));
    r.resize(size_t(rate));
    uint32_t noise = 12345;
    for (int n = 0; n < rate; n++) {
        const double t = double(n) / rate;
        noise = noise * 1664525u + 1013904223u;
        const double hiss = double(int32_t(noise >> 16) - 32768) / 32768.0;
        const double v = 0.3 * std::sin(2 * M_PI * 440 * t) + 0.2 * std::sin(2 * M_PI * 3150 * t) +
                         0.1 * std::sin(2 * M_PI * 9700 * t) + 0.05 * hiss;
        l[size_t(n)] = int16_t(std::lround(v * 32767));
        r[size_t(n)] = int16_t(std::lround(-v * 30000));
    }
}

using Converter = int (*)(const int16_t*, const int16_t*, int, int);

int run_resampler(const int16_t* l, const int16_t* r, int n, int rate) {
    return resample_block(l, r, n, rate, out_l, out_r, OUT_CAP);
}

// The trivial peers, written the way the fixed paths are.
int run_copy(const int16_t* l, const int16_t* r, int n, int) {
    for (int i = 0; i < n; i++) {
        out_l[i] = l[i];
        out_r[i] = r[i];
    }
    return n;
}

int16_t prev_l, prev_r;
int run_linear_x2(const int16_t* l, const int16_t* r, int n, int) {
    for (int i = 0; i < n; i++) {
        out_l[2 * i] = int16_t((prev_l + l[i]) >> 1);
        out_l[2 * i + 1] = l[i];
        prev_l = l[i];
        out_r[2 * i] = int16_t((prev_r + r[i]) >> 1);
        out_r[2 * i + 1] = r[i];
        prev_r = r[i];
    }
    return 2 * n;
}

struct tResult {
    int64_t ns;      // CPU time for the whole run
    int64_t outputs; // samples per channel produced
};

// Converts `seconds` of audio in blocks of `block`; the best of `tries` runs.
tResult measure(Converter conv, int rate, int block, int seconds, int tries) {
    std::vector<int16_t> l, r;
    make_input(rate, l, r);
    tResult best{INT64_MAX, 0};
    for (int t = 0; t < tries; t++) {
        resample_reset();
        prev_l = prev_r = 0;
        int64_t outputs = 0, check = 0;
        const int64_t start = bench_cpu_ns();
        for (int s = 0; s < seconds; s++) {
            for (int done = 0; done < rate; done += block) {
                const int n = std::min(block, rate - done);
                const int got = conv(l.data() + done, r.data() + done, n, rate);
                outputs += got;
                check += out_l[0] + out_r[got > 0 ? got - 1 : 0];
            }
        }
        const int64_t ns = bench_cpu_ns() - start;
        bench_keep(check);
        if (ns < best.ns) best = {ns, outputs};
    }
    return best;
}

double ms_per_second(const tResult& r) {
    return double(r.ns) / 1e6 / (double(r.outputs) / OUT_RATE);
}

void print_row(const char* what, int rate, int block, int taps, const tResult& r, double copy_ms,
               double linear_ms) {
    const double ms = ms_per_second(r);
    std::printf("  %-9s %6d %6d %5d %10.3f %9.1f %9.1f %8.1f\n", what, rate, block, taps, ms,
                double(r.ns) / double(r.outputs), ms / linear_ms, ms / copy_ms);
}

} // namespace

// resample               every rate, with the peers
// resample:RATE[:SECONDS[:portable]]
//                         one rate once (2 s of audio unless said), for instruction counts
//                         under callgrind or qemu (a count at 0 s is the program's own
//                         share); with "portable", without the fast inner loop
int bench_resample(const char* arg) {
    if (arg != nullptr) {
        char* end = nullptr;
        const int rate = int(std::strtol(arg, &end, 10));
        const int seconds = *end == ':' ? int(std::strtol(end + 1, &end, 10)) : 2;
        resample_use_fast(std::strcmp(end, ":portable") == 0 ? 0 : 1);
        if (!resample_supported(rate) || seconds < 0) {
            std::fprintf(stderr, "resample: rate %s not supported\n", arg);
            return 2;
        }
        const tResult r = measure(run_resampler, rate, block_for(rate), seconds, 1);
        std::printf("resample %d Hz: %lld output samples per channel, %.3f ms CPU per s of "
                    "audio\n",
                    rate, static_cast<long long>(r.outputs),
                    r.outputs > 0 ? ms_per_second(r) : 0.0);
        return 0;
    }
    const int seconds = bench_quick ? 1 : 4;
    const int tries = bench_quick ? 1 : 3;
    const tResult copy = measure(run_copy, 44100, 1152, seconds, tries);
    const tResult linear = measure(run_linear_x2, 22050, 576, seconds, tries);
    const double copy_ms = ms_per_second(copy);
    const double linear_ms = ms_per_second(linear);

    std::printf("resample: CPU time per second of stereo audio out (44100 Hz), best of %d runs "
                "of %d s\n",
                tries, seconds);
    std::printf("  %-9s %6s %6s %5s %10s %9s %9s %8s\n", "path", "rate", "block", "taps",
                "ms per s", "ns/out", "x linear", "x copy");
    print_row("copy", 44100, 1152, 1, copy, copy_ms, linear_ms);
    print_row("linear", 22050, 576, 2, linear, copy_ms, linear_ms);
    for (int rate : rates) {
        const tResult r = measure(run_resampler, rate, block_for(rate), seconds, tries);
        print_row("filter", rate, block_for(rate), 2 * resample_delay(rate), r, copy_ms, linear_ms);
    }
    return 0;
}
