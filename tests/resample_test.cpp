// Band-limited rate converter: sound quality, exact sample counts, block independence,
// capacity, restarts.
#include "resample.h"
#include "resample_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int OUT_RATE = 44100;
constexpr int MPEG_FRAME = 1152;

using Samples = std::vector<int16_t>;

struct Stereo {
    Samples left;
    Samples right;
};

int64_t expected_count(int64_t inputs, int rate) {
    return inputs * OUT_RATE / rate;
}

// Whole-stream conversion from a fresh start. Blocks have the sizes `next_size` returns
// (the rest of the input at most); the output arrays get `cap` per call.
template <typename NextSize>
Stereo convert(const Stereo& in, int rate, NextSize next_size, int cap = 1 << 17) {
    resample_reset();
    Stereo out;
    Samples bl(static_cast<size_t>(cap)), br(static_cast<size_t>(cap));
    size_t done = 0;
    while (done < in.left.size()) {
        const int n = std::min<int>(next_size(), static_cast<int>(in.left.size() - done));
        const int got = resample_block(in.left.data() + done, in.right.data() + done, n, rate,
                                       bl.data(), br.data(), cap);
        out.left.insert(out.left.end(), bl.begin(), bl.begin() + got);
        out.right.insert(out.right.end(), br.begin(), br.begin() + got);
        done += static_cast<size_t>(n);
    }
    return out;
}

Stereo convert_frames(const Stereo& in, int rate) {
    return convert(in, rate, [] { return MPEG_FRAME; });
}

Stereo convert_whole(const Stereo& in, int rate) {
    const int n = static_cast<int>(in.left.size());
    return convert(
        in, rate, [n] { return n; }, static_cast<int>(expected_count(n, rate)) + 1);
}

// Random block sizes, 0 and 1 often among them.
struct RandomSizes {
    std::mt19937 gen;
    int max_size;
    int operator()() {
        const unsigned pick = gen() % 8;
        if (pick == 0) return 0;
        if (pick == 1) return 1;
        return static_cast<int>(gen() % static_cast<unsigned>(max_size + 1));
    }
};

Stereo tone(int rate, double freq, double amplitude, int samples, double right_phase = 0.0) {
    Stereo s{Samples(static_cast<size_t>(samples)), Samples(static_cast<size_t>(samples))};
    for (int n = 0; n < samples; n++) {
        const double a = 2.0 * PI * freq * n / rate;
        s.left[size_t(n)] = static_cast<int16_t>(std::lround(amplitude * std::sin(a)));
        s.right[size_t(n)] =
            static_cast<int16_t>(std::lround(amplitude * std::sin(a + right_phase)));
    }
    return s;
}

// Output arrays for one call, larger than any block here produces.
Stereo out_arrays() {
    return {Samples(16384), Samples(16384)};
}

Stereo constant(int16_t value, int samples) {
    return {Samples(size_t(samples), value), Samples(size_t(samples), value)};
}

// Full-range noise with bursts at the rails: exercises every tap and saturation.
Stereo rough(int samples, unsigned seed) {
    std::mt19937 gen(seed);
    Stereo s{Samples(size_t(samples)), Samples(size_t(samples))};
    for (int n = 0; n < samples; n++) {
        const bool rail = (n / 300) % 5 == 0;
        s.left[size_t(n)] = rail ? ((n / 7) % 2 ? 32767 : -32768) : static_cast<int16_t>(gen());
        s.right[size_t(n)] = static_cast<int16_t>(gen() >> 3);
    }
    return s;
}

// ---- sine fitting -----------------------------------------------------------------

// Least-squares fit of DC plus sines at the given frequencies (Hz at the output rate)
// to y[from .. from + count).
struct Fit {
    std::vector<double> sin_coef, cos_coef;
    double dc = 0;
    double residual_power = 0;
    double amplitude(size_t i) const { return std::hypot(sin_coef[i], cos_coef[i]); }
    double phase(size_t i) const { return std::atan2(cos_coef[i], sin_coef[i]); }
};

Fit fit_sines(const Samples& y, size_t from, size_t count, const std::vector<double>& freqs) {
    const size_t m = 2 * freqs.size() + 1;
    std::vector<double> ata(m * m, 0.0), aty(m, 0.0), row(m);
    auto basis = [&](size_t k) {
        for (size_t i = 0; i < freqs.size(); i++) {
            const double a = 2.0 * PI * freqs[i] * double(k) / OUT_RATE;
            row[2 * i] = std::sin(a);
            row[2 * i + 1] = std::cos(a);
        }
        row[m - 1] = 1.0;
    };
    for (size_t k = from; k < from + count; k++) {
        basis(k);
        for (size_t i = 0; i < m; i++) {
            aty[i] += row[i] * y[k];
            for (size_t j = 0; j < m; j++)
                ata[i * m + j] += row[i] * row[j];
        }
    }
    // Gaussian elimination with partial pivoting.
    std::vector<double> x = aty;
    for (size_t c = 0; c < m; c++) {
        size_t p = c;
        for (size_t r = c + 1; r < m; r++)
            if (std::fabs(ata[r * m + c]) > std::fabs(ata[p * m + c])) p = r;
        for (size_t j = 0; j < m; j++)
            std::swap(ata[c * m + j], ata[p * m + j]);
        std::swap(x[c], x[p]);
        for (size_t r = c + 1; r < m; r++) {
            const double f = ata[r * m + c] / ata[c * m + c];
            for (size_t j = c; j < m; j++)
                ata[r * m + j] -= f * ata[c * m + j];
            x[r] -= f * x[c];
        }
    }
    for (size_t c = m; c-- > 0;) {
        for (size_t j = c + 1; j < m; j++)
            x[c] -= ata[c * m + j] * x[j];
        x[c] /= ata[c * m + c];
    }
    Fit fit;
    for (size_t i = 0; i < freqs.size(); i++) {
        fit.sin_coef.push_back(x[2 * i]);
        fit.cos_coef.push_back(x[2 * i + 1]);
    }
    fit.dc = x[m - 1];
    double res = 0;
    for (size_t k = from; k < from + count; k++) {
        basis(k);
        double model = 0;
        for (size_t i = 0; i < m; i++)
            model += row[i] * x[i];
        res += (y[k] - model) * (y[k] - model);
    }
    fit.residual_power = res / double(count);
    return fit;
}

double db(double power_ratio) {
    return 10.0 * std::log10(power_ratio);
}

// Folds a frequency into 0 .. 22050 Hz as sampling at 44100 Hz does.
double fold(double f) {
    f = std::fmod(f, double(OUT_RATE));
    return f > OUT_RATE / 2.0 ? OUT_RATE - f : f;
}

// ---- rates --------------------------------------------------------------------------

// MPEG rates without an exact path, rates found in WAV files, the ends of the range
// and awkward ratios (44101: 44100 outputs per 44101 inputs).
const std::vector<int> every_rate = {48000, 32000, 24000,  16000, 12000, 96000, 88200,
                                     64000, 4000,  192000, 44101, 44099, 22050, 8000};
const std::vector<int> quality_rates = {48000, 32000, 24000, 16000, 12000,
                                        96000, 88200, 64000, 4000,  192000};

std::string rate_name(const testing::TestParamInfo<int>& info) {
    return std::to_string(info.param);
}

// ---- which rates ---------------------------------------------------------------------

TEST(ResampleRates, TakesWholeRangeAndRefusesTheRest) {
    for (int rate : {4000, 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000,
                     88200, 96000, 176400, 192000, 7999, 44101})
        EXPECT_EQ(resample_supported(rate), 1) << rate;
    for (int rate : {0, -44100, 1, 3999, 192001, 384000, INT32_MAX})
        EXPECT_EQ(resample_supported(rate), 0) << rate;
}

TEST(ResampleRates, RefusedRateWritesNothingAndLeavesStreamAlone) {
    const Stereo in = rough(6000, 1);
    const Stereo ref = convert_frames(in, 48000);

    resample_reset();
    Stereo buf = out_arrays();
    Samples& l = buf.left;
    Samples& r = buf.right;
    Stereo out;
    for (size_t done = 0; done < in.left.size(); done += MPEG_FRAME) {
        const int n = std::min<int>(MPEG_FRAME, int(in.left.size() - done));
        // An unsupported block in between changes nothing.
        std::fill(l.begin(), l.end(), 77);
        std::fill(r.begin(), r.end(), 77);
        EXPECT_EQ(resample_block(in.left.data(), in.right.data(), n, 3000, l.data(), r.data(),
                                 int(l.size())),
                  0);
        EXPECT_TRUE(std::all_of(l.begin(), l.end(), [](int16_t v) { return v == 77; }));
        EXPECT_TRUE(std::all_of(r.begin(), r.end(), [](int16_t v) { return v == 77; }));
        const int got = resample_block(in.left.data() + done, in.right.data() + done, n, 48000,
                                       l.data(), r.data(), int(l.size()));
        out.left.insert(out.left.end(), l.begin(), l.begin() + got);
        out.right.insert(out.right.end(), r.begin(), r.begin() + got);
    }
    EXPECT_EQ(out.left, ref.left);
    EXPECT_EQ(out.right, ref.right);
}

// ---- sound quality --------------------------------------------------------------------

class ResampleQuality : public testing::TestWithParam<int> {};

// A full-scale 1 kHz sine keeps its level, its timing, and its purity: THD+N is the
// power of everything but the fitted sine over one second after the start-up.
TEST_P(ResampleQuality, FullScaleSineStaysPure) {
    const int rate = GetParam();
    const Stereo in = tone(rate, 1000.0, 32767.0, rate * 3 / 2, PI / 2);
    const Stereo out = convert_frames(in, rate);
    ASSERT_EQ(int64_t(out.left.size()), expected_count(int64_t(in.left.size()), rate));

    const size_t from = OUT_RATE / 4;
    for (const Samples* ch : {&out.left, &out.right}) {
        const Fit fit = fit_sines(*ch, from, OUT_RATE, {1000.0});
        const double amp = fit.amplitude(0);
        const double thdn = db(fit.residual_power / (amp * amp / 2));
        std::printf("rate %6d Hz: THD+N %.1f dB, level %+.4f dB\n", rate, thdn,
                    db(amp * amp / (32767.0 * 32767.0)));
        EXPECT_LT(thdn, -90.0);
        // Level: within 0.01 dB, and no gain above 1 (a full-scale sine would clip).
        EXPECT_NEAR(amp, 32767.0, 32767.0 * 0.0012);
        EXPECT_LE(amp, 32767.5);
        EXPECT_NEAR(fit.dc, 0.0, 0.5);
        // Timing: output k is input time k * rate / 44100 - delay, to well under a
        // microsecond.
        const double input_phase = ch == &out.left ? 0.0 : PI / 2;
        const double expect = input_phase - 2.0 * PI * 1000.0 * resample_delay(rate) / rate;
        const double err = std::remainder(fit.phase(0) - expect, 2.0 * PI);
        EXPECT_LT(std::fabs(err), 2.0 * PI * 1000.0 * 1e-7) << "phase error " << err;
    }
}

// Upward, a tone's image at rate - f is removed; downward, a tone above 22050 Hz is
// removed instead of folding back into the audible band. A tone well inside the
// band keeps its level.
TEST_P(ResampleQuality, RemovesImagesAndAliasesKeepsPassband) {
    const int rate = GetParam();
    const int lower = std::min(rate, OUT_RATE);
    const size_t from = OUT_RATE / 4;

    const double pass_freq = 0.3 * lower;
    const Stereo pass = convert_frames(tone(rate, pass_freq, 30000.0, rate * 3 / 2), rate);
    const double pass_amp = fit_sines(pass.left, from, OUT_RATE, {pass_freq}).amplitude(0);
    const double pass_level = db(pass_amp * pass_amp / (30000.0 * 30000.0));
    std::printf("rate %6d Hz: %.0f Hz passes at %+.4f dB\n", rate, pass_freq, pass_level);
    EXPECT_NEAR(pass_level, 0.0, 0.01) << pass_freq << " Hz";

    double in_freq, unwanted;
    std::vector<double> freqs;
    if (rate < OUT_RATE) {
        in_freq = 0.4 * rate; // image at 0.6 * rate, 0.1 * rate into the stopband
        unwanted = fold(rate - in_freq);
        freqs = {unwanted, in_freq};
    } else {
        in_freq = (OUT_RATE / 2.0 + rate / 2.0) / 2.0; // above 22050 Hz
        unwanted = fold(in_freq);
        freqs = {unwanted};
    }
    const Stereo out = convert_frames(tone(rate, in_freq, 32767.0, rate * 3 / 2), rate);
    const double amp = fit_sines(out.left, from, OUT_RATE, freqs).amplitude(0);
    const double level = db(amp * amp / (32767.0 * 32767.0));
    std::printf("rate %6d Hz: %.0f Hz in, %.0f Hz out at %.1f dB\n", rate, in_freq, unwanted,
                level);
    EXPECT_LT(level, -90.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, ResampleQuality, testing::ValuesIn(quality_rates), rate_name);

// ---- stream behaviour -------------------------------------------------------------------

class ResampleStream : public testing::TestWithParam<int> {};

// After N inputs since the start, exactly floor(N * 44100 / rate) outputs, at every
// call of a long stream cut into random blocks: ten minutes at 48000 Hz and at the
// awkward 44101 Hz, twenty seconds at the others.
TEST_P(ResampleStream, CountFollowsRateExactly) {
    const int rate = GetParam();
    const int64_t total = int64_t{rate} * (rate == 48000 || rate == 44101 ? 600 : 20);
    const Samples zeros(MPEG_FRAME, 0);
    Stereo buf = out_arrays();
    RandomSizes sizes{std::mt19937(unsigned(rate)), MPEG_FRAME};
    resample_reset();
    int64_t in = 0, out = 0;
    int64_t mismatches = 0;
    while (in < total) {
        const int n = sizes();
        const int got = resample_block(zeros.data(), zeros.data(), n, rate, buf.left.data(),
                                       buf.right.data(), int(buf.left.size()));
        in += n;
        out += got;
        if (out != expected_count(in, rate)) mismatches++;
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(out, expected_count(in, rate));
}

// Cutting a stream into blocks, of any sizes, changes nothing in the output.
TEST_P(ResampleStream, BlockSplitGivesSameOutput) {
    const int rate = GetParam();
    const Stereo in = rough(rate * 2 + 77, unsigned(rate));
    const Stereo whole = convert_whole(in, rate);
    ASSERT_EQ(int64_t(whole.left.size()), expected_count(int64_t(in.left.size()), rate));
    for (int max_size : {3, 512, 1152, 4000}) {
        const Stereo split =
            convert(in, rate, RandomSizes{std::mt19937(unsigned(max_size)), max_size});
        EXPECT_EQ(split.left, whole.left) << "blocks up to " << max_size;
        EXPECT_EQ(split.right, whole.right) << "blocks up to " << max_size;
    }
}

// Silence gives silence; so does the start of a new stream after a loud one, whether
// restarted by a change of rate or by resample_reset.
TEST_P(ResampleStream, SilenceGivesSilenceAfterRestart) {
    const int rate = GetParam();
    const Stereo quiet = constant(0, rate / 2);
    const int other = rate == 48000 ? 32000 : 48000;
    for (int restart = 0; restart < 3; restart++) {
        Stereo buf = out_arrays();
        Samples& l = buf.left;
        Samples& r = buf.right;
        resample_reset();
        if (restart > 0) {
            const Stereo loud = rough(OUT_RATE, 5);
            for (size_t done = 0; done + 1000 <= loud.left.size(); done += 1000)
                resample_block(loud.left.data() + done, loud.right.data() + done, 1000,
                               restart == 1 ? other : rate, l.data(), r.data(), int(l.size()));
            if (restart == 2) resample_reset();
        }
        int64_t nonzero = 0, total = 0;
        for (size_t done = 0; done < quiet.left.size(); done += MPEG_FRAME) {
            const int n = std::min<int>(MPEG_FRAME, int(quiet.left.size() - done));
            const int got = resample_block(quiet.left.data(), quiet.right.data(), n, rate, l.data(),
                                           r.data(), int(l.size()));
            total += got;
            for (int k = 0; k < got; k++)
                nonzero += (l[size_t(k)] != 0) + (r[size_t(k)] != 0);
        }
        EXPECT_EQ(total, expected_count(int64_t(quiet.left.size()), rate)) << restart;
        EXPECT_EQ(nonzero, 0) << "restart " << restart;
    }
}

// A constant comes out unchanged once the filter has filled; exactly upward (every
// phase of the kernel sums to one), within one step downward.
TEST_P(ResampleStream, ConstantKeepsItsValue) {
    const int rate = GetParam();
    const int tolerance = rate > OUT_RATE ? 1 : 0;
    for (int16_t value : {int16_t{32767}, int16_t{-32768}, int16_t{12345}, int16_t{-1}}) {
        const Stereo out = convert_frames(constant(value, rate / 2), rate);
        const size_t settled = size_t(2 * resample_delay(rate)) * OUT_RATE / size_t(rate) + 2;
        ASSERT_GT(out.left.size(), settled);
        int worst = 0;
        for (size_t k = settled; k < out.left.size(); k++)
            worst =
                std::max({worst, std::abs(out.left[k] - value), std::abs(out.right[k] - value)});
        EXPECT_LE(worst, tolerance) << "value " << value;
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, ResampleStream, testing::ValuesIn(every_rate), rate_name);

// ---- exact arithmetic ----------------------------------------------------------------

// Output k of a stream from silence, straight from the kernel table: output k lies at
// input time k * down / up - delay. Each tap interpolates the table at a Q15 position
// (Q23). Rates with a table of phases (48000 Hz, and upward those whose phases are among
// the 441 of 44100 / gcd) take the tap times the gain (Q24) to Q19, rounded; taps 16 to
// 31 of the window (to 39 at 48000 Hz) give their products floored to Q14 one by one,
// the others' exact sum is floored to Q14 once; the total is rounded to an integer and
// saturated. Other rates: the sum of taps (Q23) times samples drops 8 bits, takes the
// gain and drops 31 more, rounded, then saturates.
int16_t reference_output(const Samples& in, int rate, int64_t k) {
    const int g = std::gcd(rate, OUT_RATE), up = OUT_RATE / g, down = rate / g;
    const int64_t one = int64_t{1} << 15, end = RSK_HALF_WIDTH * RSK_PHASES * one;
    const int64_t step =
        rate <= OUT_RATE ? RSK_PHASES * one : (OUT_RATE * RSK_PHASES * one + rate / 2) / rate;
    const int64_t gain = rate <= OUT_RATE ? 1 << 24 : ((int64_t{OUT_RATE} << 24) + rate / 2) / rate;
    const bool table = rate == 48000 || (rate <= OUT_RATE && 441 % up == 0);
    const int64_t center_end = rate <= OUT_RATE ? 32 : 40;
    const uint64_t pos_scale = ((uint64_t(step) << 32) + uint64_t(up / 2)) / uint64_t(up);
    const int reach = resample_delay(rate);
    const int64_t base = k * down / up - reach; // input at or before it
    const auto u0 = int64_t((uint64_t(k * down % up) * pos_scale) >> 32);
    int64_t sum = 0, center = 0;
    for (int side = 0; side < 2; side++) {
        int64_t n = side == 0 ? base : base + 1;
        int64_t place = side == 0 ? reach - 1 : reach; // in the window
        for (int64_t pos = side == 0 ? u0 : step - u0; pos < end; pos += step) {
            const int32_t* e = rsk_table.data() + (pos >> 15);
            int64_t tap = e[0] + (((e[1] - e[0]) * (pos & (one - 1)) + one / 2) >> 15);
            if (table) tap = (tap * gain + (int64_t{1} << 27)) >> 28;
            const int64_t x = n >= 0 && n < int64_t(in.size()) ? in[size_t(n)] : 0;
            if (table && place >= 16 && place < center_end)
                center += tap * x >> 5;
            else
                sum += tap * x;
            n += side == 0 ? -1 : 1;
            place += side == 0 ? -1 : 1;
        }
    }
    const int64_t v = table ? (center + (sum >> 5) + (1 << 13)) >> 14
                            : ((sum >> 8) * gain + (int64_t{1} << 38)) >> 39;
    return int16_t(std::clamp<int64_t>(v, -32768, 32767));
}

class ResampleExact : public testing::TestWithParam<int> {};

// Both inner loops (the fast one where the processor has it, and the portable one) give
// exactly the table's arithmetic, for rough input with full-scale bursts in blocks of
// any size.
TEST_P(ResampleExact, OutputIsTheKernelArithmetic) {
    const int rate = GetParam();
    const Stereo in = rough(rate / 4, unsigned(rate) + 9);
    for (int fast : {1, 0}) {
        resample_use_fast(fast);
        const Stereo out = convert(in, rate, RandomSizes{std::mt19937(unsigned(fast)), 1500});
        ASSERT_EQ(int64_t(out.left.size()), expected_count(int64_t(in.left.size()), rate));
        int64_t differ = 0;
        for (size_t k = 0; k < out.left.size(); k++)
            differ += (out.left[k] != reference_output(in.left, rate, int64_t(k))) +
                      (out.right[k] != reference_output(in.right, rate, int64_t(k)));
        EXPECT_EQ(differ, 0) << (fast != 0 && resample_fast_available() != 0 ? "fast" : "portable");
    }
    resample_use_fast(1);
}

INSTANTIATE_TEST_SUITE_P(Rates, ResampleExact,
                         testing::Values(48000, 32000, 24000, 16000, 12000, 8000, 4000, 14700,
                                         64000, 44101),
                         rate_name);

// ---- limits -------------------------------------------------------------------------

// The output arrays are never written past `cap`; what does not fit is dropped, and the
// stream goes on in step as if it had been taken.
TEST(ResampleLimits, CapIsRespectedAndStreamStaysInStep) {
    const int rate = 16000;
    const Stereo in = rough(20 * MPEG_FRAME, 3);
    const Stereo ref = convert_frames(in, rate);

    resample_reset();
    constexpr int guard = 64;
    Stereo buf = out_arrays();
    Samples& l = buf.left;
    Samples& r = buf.right;
    size_t ref_at = 0;
    for (int f = 0; f < 20; f++) {
        const int cap = f % 4 == 1 ? 100 : f % 4 == 2 ? 0 : f % 4 == 3 ? -5 : 4000;
        std::fill(l.begin(), l.end(), 555);
        std::fill(r.begin(), r.end(), 555);
        const int due = int(expected_count(int64_t(f + 1) * MPEG_FRAME, rate) -
                            expected_count(int64_t(f) * MPEG_FRAME, rate));
        const int got =
            resample_block(in.left.data() + f * MPEG_FRAME, in.right.data() + f * MPEG_FRAME,
                           MPEG_FRAME, rate, l.data(), r.data(), cap);
        EXPECT_EQ(got, std::clamp(due, 0, std::max(cap, 0))) << "frame " << f;
        for (int k = 0; k < got; k++) {
            ASSERT_EQ(l[size_t(k)], ref.left[ref_at + size_t(k)]) << "frame " << f;
            ASSERT_EQ(r[size_t(k)], ref.right[ref_at + size_t(k)]) << "frame " << f;
        }
        for (int k = std::max(got, 0); k < std::max(got, 0) + guard; k++) {
            ASSERT_EQ(l[size_t(k)], 555) << "written past cap in frame " << f;
            ASSERT_EQ(r[size_t(k)], 555) << "written past cap in frame " << f;
        }
        ref_at += size_t(due);
    }
}

// Band-limited overshoot of full-scale edges saturates instead of wrapping round.
TEST(ResampleLimits, OvershootSaturates) {
    for (int rate : {12000, 32000, 48000, 96000}) {
        for (int16_t rail : {int16_t{32767}, int16_t{-32768}}) {
            Stereo square = constant(0, rate);
            for (size_t n = 0; n < square.left.size(); n++)
                if ((n / 97) % 2 == 0) square.left[n] = square.right[n] = rail;
            const Stereo out = convert_frames(square, rate);
            const auto [lo, hi] = std::minmax_element(out.left.begin(), out.left.end());
            if (rail > 0) {
                EXPECT_EQ(*hi, 32767) << rate; // the overshoot reached the rail
                EXPECT_GT(*lo, -8000) << rate; // and did not wrap to the other one
            } else {
                EXPECT_EQ(*lo, -32768) << rate;
                EXPECT_LT(*hi, 8000) << rate;
            }
        }
    }
}

} // namespace
