// IMDCT with windowing and overlap-add, and the polyphase synthesis, against direct
// double-precision evaluations of the transforms they implement.
#include "fixed.h"
#include "imdct_window.h"
#include "mp3instance.h"
#include "stages.h"
#include "synth_window.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

using namespace mp3;

namespace {

constexpr double PI = 3.14159265358979323846;

// The stages run with the fastest kernels this processor has, as the decoder runs them.
const tDspKernels& kernels() {
    return dsp_kernels(dsp_best());
}

tGranuleInfo granule(int block_type, int mixed) {
    tGranuleInfo gi{};
    gi.block_type = static_cast<uint8_t>(block_type);
    gi.mixed_block_flag = static_cast<uint8_t>(mixed);
    return gi;
}

// Pair-order index of time t of a subband.
int pair(int t) {
    return t <= 8 ? 2 * (8 - t) : 2 * (t - 9) + 1;
}

// ---- reference IMDCT (ISO/IEC 11172-3 Layer III), 1/8 scale --------------------------

double long_win(int bt, int n) {
    const double s36 = std::sin(PI / 36 * (n + 0.5));
    switch (bt) {
    case 1:
        if (n < 18) return s36;
        if (n < 24) return 1.0;
        if (n < 30) return std::sin(PI / 12 * (n - 18 + 0.5));
        return 0.0;
    case 3:
        if (n < 6) return 0.0;
        if (n < 12) return std::sin(PI / 12 * (n - 6 + 0.5));
        if (n < 18) return 1.0;
        return s36;
    default:
        return s36;
    }
}

// 36 windowed time values of one subband (input Q27, result Q24 units).
std::array<double, 36> ref_long(const int32_t* X, int bt) {
    std::array<double, 36> y{};
    for (int i = 0; i < 36; ++i) {
        double s = 0;
        for (int k = 0; k < 18; ++k)
            s += X[k] * std::cos(PI / 72 * (2 * i + 19) * (2 * k + 1));
        y[i] = s * long_win(bt, i) / 8;
    }
    return y;
}

// Three 12-point transforms of windows placed at 6 + 6w.
std::array<double, 36> ref_short(const int32_t* Y) {
    std::array<double, 36> y{};
    for (int w = 0; w < 3; ++w)
        for (int i = 0; i < 12; ++i) {
            double s = 0;
            for (int k = 0; k < 6; ++k)
                s += Y[3 * k + w] * std::cos(PI / 24 * (2 * i + 7) * (2 * k + 1));
            y[6 + 6 * w + i] += s * std::sin(PI / 12 * (i + 0.5)) / 8;
        }
    return y;
}

struct tSpectrum {
    std::array<int32_t, 576> v{};
};

tSpectrum random_spectrum(std::mt19937& rng, int32_t amplitude) {
    std::uniform_int_distribution<int32_t> d(-amplitude, amplitude);
    tSpectrum s;
    for (auto& x : s.v)
        x = d(rng);
    return s;
}

// Checks one granule's output and new overlap for every subband against the reference,
// given the overlap before the call; returns the largest error seen.
double check_granule(const tSpectrum& in, const int32_t* old_ov, const int32_t* out,
                     const int32_t* new_ov, const tGranuleInfo& gi) {
    static const int bt_of[4] = {0, 1, 2, 3};
    double worst = 0;
    for (int sb = 0; sb < 32; ++sb) {
        const bool long_sb = gi.block_type != 2 || (gi.mixed_block_flag && sb < 2);
        const int bt =
            (gi.mixed_block_flag && gi.block_type != 0 && sb < 2) ? 0 : bt_of[gi.block_type];
        const auto ref = long_sb ? ref_long(&in.v[18 * sb], bt) : ref_short(&in.v[18 * sb]);
        for (int t = 0; t < 18; ++t) {
            double want = ref[t] + old_ov[18 * sb + pair(t)];
            if ((sb & 1) && (t & 1)) want = -want;
            worst = std::max(worst, std::fabs(out[18 * sb + pair(t)] - want));
            worst = std::max(worst, std::fabs(new_ov[18 * sb + pair(t)] - ref[18 + t]));
        }
    }
    return worst;
}

} // namespace

// ---- window tables ----------------------------------------------------------------------

TEST(ImdctWindow, PublishedWords) {
    const uint32_t first[4] = {0x3DF40538, 0xBC63D330, 0xF4313C2C, 0xF52E2570};
    const uint32_t mid[4] = {0x10000000, 0xECAFB0CE, 0xE0000001, 0xF2BEC334};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(static_cast<uint32_t>(imdct_window_normal[i]), first[i]) << i;
        EXPECT_EQ(static_cast<uint32_t>(imdct_window_normal[16 + i]), mid[i]) << i;
    }
    for (int k = 3; k <= 8; ++k) {
        EXPECT_EQ(imdct_window_start[4 * k + 3], 0) << k; // start window times 30..35
        EXPECT_EQ(imdct_window_stop[4 * k], 0) << k;      // stop window times 0..5
    }
}

TEST(ImdctWindow, EveryWordNearItsDefinition) {
    const std::array<int32_t, 36>* tables[3] = {&imdct_window_normal, &imdct_window_start,
                                                &imdct_window_stop};
    const int types[3] = {0, 1, 3};
    for (int w = 0; w < 3; ++w)
        for (int k = 0; k < 9; ++k) {
            const double gd = 1 / (2 * std::sin((2 * k + 1) * PI / 72));
            const double gs = -1 / (2 * std::cos((2 * k + 1) * PI / 72));
            const double want[4] = {
                long_win(types[w], 8 - k) * gd / 8 * std::ldexp(1.0, k ? 32 : 30),
                -long_win(types[w], 9 + k) * gd / 8 * std::ldexp(1.0, k ? 31 : 30),
                long_win(types[w], 26 - k) * gs / 8 * std::ldexp(1.0, k ? 33 : 32),
                long_win(types[w], 27 + k) * gs / 8 * std::ldexp(1.0, k ? 33 : 32)};
            for (int i = 0; i < 4; ++i)
                EXPECT_NEAR((*tables[w])[4 * k + i], want[i], 2.0) << w << " " << k << " " << i;
        }
}

// ---- IMDCT --------------------------------------------------------------------------------

TEST(Imdct, ZeroSpectraStayZero) {
    auto inst = new_instance();
    for (int bt = 0; bt < 4; ++bt)
        for (int mixed = 0; mixed < 2; ++mixed) {
            const tGranuleInfo gi = granule(bt, mixed);
            std::array<int32_t, 576> x{};
            imdct_granule(kernels(), inst.get(), x.data(), 0, &gi);
            for (int i = 0; i < 576; ++i) {
                ASSERT_EQ(x[i], 0) << bt << mixed << i;
                ASSERT_EQ(inst->overlap[0][i], 0) << bt << mixed << i;
            }
        }
}

TEST(Imdct, MatchesDirectTransformInEveryBlockType) {
    std::mt19937 rng(11);
    const int cases[][2] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {2, 1}, {1, 1}, {3, 1}};
    for (const auto& c : cases) {
        auto inst = new_instance();
        const tGranuleInfo gi = granule(c[0], c[1]);
        for (int g = 0; g < 3; ++g) { // the second and third granules overlap-add
            tSpectrum in = random_spectrum(rng, 1 << 26);
            std::array<int32_t, 576> old_ov;
            std::memcpy(old_ov.data(), inst->overlap[1], sizeof old_ov);
            std::array<int32_t, 576> x = in.v;
            imdct_granule(kernels(), inst.get(), x.data(), 1, &gi);
            const double err = check_granule(in, old_ov.data(), x.data(), inst->overlap[1], gi);
            EXPECT_LT(err, 256.0) << "block type " << c[0] << " mixed " << c[1];
        }
        for (int i = 0; i < 576; ++i)
            ASSERT_EQ(inst->overlap[0][i], 0) << "other channel";
    }
}

TEST(Imdct, ZeroGranuleAfterLoudOneEmitsOverlap) {
    std::mt19937 rng(5);
    const int cases[][2] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {2, 1}};
    for (const auto& c : cases) {
        auto inst = new_instance();
        const tGranuleInfo gi = granule(c[0], c[1]);
        tSpectrum loud = random_spectrum(rng, 1 << 27);
        imdct_granule(kernels(), inst.get(), loud.v.data(), 0, &gi);
        std::array<int32_t, 576> stored;
        std::memcpy(stored.data(), inst->overlap[0], sizeof stored);
        int nonzero = 0;
        for (int32_t v : stored)
            nonzero += v != 0;
        ASSERT_GE(nonzero, 380); // start, stop and short blocks end in zeros

        std::array<int32_t, 576> x{};
        imdct_granule(kernels(), inst.get(), x.data(), 0, &gi);
        for (int sb = 0; sb < 32; ++sb)
            for (int t = 0; t < 18; ++t) {
                const int i = 18 * sb + pair(t);
                const int32_t want = ((sb & 1) && (t & 1)) ? -stored[i] : stored[i];
                ASSERT_EQ(x[i], want) << c[0] << c[1] << " sb " << sb << " t " << t;
                ASSERT_EQ(inst->overlap[0][i], 0);
            }
    }
}

TEST(Imdct, SingleLineExactWords) {
    // X[0] = 1.0 in subband 0 of a normal block, and the same in subband 1; the words
    // were worked out step by step, outside this code, from the transform's definition.
    const int32_t out[18] = {494400,  -539548,  1333114, -1737352,  1951068, -3062564,
                             2329526, -4474980, 2456966, -5931644,  2329524, -7388308,
                             1951072, -8800724, 1333104, -10125936, 494404,  -11323756};
    const int32_t ov[18] = {-12357689, -11323735, -13196388, -10125945, -13814356, -8800716,
                            -14192807, -7388308,  -14320249, -5931642,  -14192808, -4474976,
                            -13814349, -3062568,  -13196398, -1737339,  -12357672, -539548};
    auto inst = new_instance();
    const tGranuleInfo gi = granule(0, 0);
    std::array<int32_t, 576> x{};
    x[0] = 0x08000000;
    x[18] = 0x08000000;
    imdct_granule(kernels(), inst.get(), x.data(), 0, &gi);
    for (int i = 0; i < 18; ++i) {
        EXPECT_EQ(x[i], out[i]) << i;
        EXPECT_EQ(inst->overlap[0][i], ov[i]) << i;
        // Subband 1: odd times (8 - k for odd k, 9 + k for even k) negated.
        const int k = i / 2;
        const bool odd_time = (i & 1) ? (k % 2 == 0) : (k % 2 == 1);
        EXPECT_EQ(x[18 + i], odd_time ? -out[i] : out[i]) << i;
        EXPECT_EQ(inst->overlap[0][18 + i], ov[i]) << i;
    }
    for (int i = 36; i < 576; ++i) // the other subbands stay silent
        ASSERT_EQ(x[i], 0) << i;
}

TEST(Imdct, StartBlockOddSubbandExactWords) {
    // Subband 3 of a start block with a stored overlap; worked out independently.
    const int32_t in[18] = {-65536300, 60030713, 54460190,  48889667,  43319144,  37748621,
                            32178098,  26607575, 21037052,  15466529,  9896006,   4325483,
                            -1245040,  -6815563, -12386086, -17956609, -23527132, -29097655};
    const int32_t ov0[18] = {99,      -123556,  247013,  -370470,  493927,  -617384,
                             740841,  -864298,  987755,  -1111212, 1234669, -1358126,
                             1481583, -1605040, 1728497, -1851954, 1975411, -2098868};
    const int32_t out[18] = {869715,  1072580,  2264969, 2903206,  -294463, -620136,
                             2473423, 5310242,  -557563, -2619512, 1686215, 7905730,
                             115133,  -4558612, -120115, 10364914, 1619681, -6048644};
    const int32_t ov[18] = {-23281515, -17864535, -8448695, -3499564, 21397747, 2817066,
                            7170770,   0,         19253338, 0,        9500318,  0,
                            17025205,  0,         9358788,  0,        14753956, 0};
    auto inst = new_instance();
    const tGranuleInfo gi = granule(1, 0);
    std::array<int32_t, 576> x{};
    for (int i = 0; i < 18; ++i) {
        x[54 + i] = in[i];
        inst->overlap[1][54 + i] = ov0[i];
    }
    imdct_granule(kernels(), inst.get(), x.data(), 1, &gi);
    for (int i = 0; i < 18; ++i) {
        EXPECT_EQ(x[54 + i], out[i]) << i;
        EXPECT_EQ(inst->overlap[1][54 + i], ov[i]) << i;
    }
}

TEST(Imdct, ShortBlockExactWords) {
    // Lines 0 of window 0 (1.0), 1 of window 1 (-0.5) and 5 of window 2 (0.25) in
    // subband 0; times 0..29 worked out independently.
    const int32_t z[30] = {0,         0,         0,         0,         0,         0,
                           1333106,   2456966,   1333106,   -1737338,  -5931642,  -10125946,
                           -12184804, -11354430, -11242156, -12672755, -13091767, -9421099,
                           -3617053,  4448731,   3617051,   8017036,   -2351579,  2880084,
                           -2531487,  1482910,   -434335,   -333277,   614241,    -333277};
    auto inst = new_instance();
    const tGranuleInfo gi = granule(2, 0);
    std::array<int32_t, 576> x{};
    x[0] = 0x08000000;
    x[4] = -0x04000000;
    x[17] = 0x02000000;
    imdct_granule(kernels(), inst.get(), x.data(), 0, &gi);
    for (int t = 0; t < 18; ++t) {
        EXPECT_EQ(x[pair(t)], z[t]) << t;
        EXPECT_EQ(inst->overlap[0][pair(t)], t < 12 ? z[18 + t] : 0) << t;
    }
}

TEST(Imdct, MixedBlockIsLongBelowSubbandTwo) {
    // Line 0 of subbands 0 and 2 set: subband 0 must give the long normal-window response,
    // subband 2 the short one (window 0, line 0 only).
    auto inst = new_instance();
    const tGranuleInfo gi = granule(2, 1);
    std::array<int32_t, 576> x{};
    x[0] = 0x08000000;
    x[36] = 0x08000000;
    tSpectrum in;
    in.v = x;
    imdct_granule(kernels(), inst.get(), x.data(), 0, &gi);
    const auto lng = ref_long(&in.v[0], 0);
    const auto sht = ref_short(&in.v[36]);
    for (int t = 0; t < 18; ++t) {
        EXPECT_NEAR(x[pair(t)], lng[t], 32.0) << t;
        EXPECT_NEAR(x[36 + pair(t)], sht[t], 32.0) << t;
        EXPECT_NEAR(inst->overlap[0][pair(t)], lng[18 + t], 32.0) << t;
        EXPECT_NEAR(inst->overlap[0][36 + pair(t)], sht[18 + t], 32.0) << t;
    }
    // A short response starts at time 6; a long one does not vanish there.
    EXPECT_EQ(x[36 + pair(0)], 0);
    EXPECT_NE(x[pair(0)], 0);
}

TEST(Imdct, StartAndStopWithMixedFlagUseNormalWindowBelowSubbandTwo) {
    std::mt19937 rng(9);
    for (int bt : {1, 3}) {
        tSpectrum in = random_spectrum(rng, 1 << 26);
        auto a = new_instance();
        auto b = new_instance();
        std::array<int32_t, 576> xa = in.v, xb = in.v;
        const tGranuleInfo mixed = granule(bt, 1), plain = granule(bt, 0);
        imdct_granule(kernels(), a.get(), xa.data(), 0, &mixed);
        imdct_granule(kernels(), b.get(), xb.data(), 0, &plain);
        for (int sb = 0; sb < 2; ++sb) {
            const auto ref = ref_long(&in.v[18 * sb], 0);
            for (int t = 0; t < 18; ++t) {
                const double sign = ((sb & 1) && (t & 1)) ? -1 : 1;
                EXPECT_NEAR(xa[18 * sb + pair(t)], sign * ref[t], 64.0);
                EXPECT_NEAR(a->overlap[0][18 * sb + pair(t)], ref[18 + t], 64.0);
            }
        }
        for (int i = 36; i < 576; ++i) {
            ASSERT_EQ(xa[i], xb[i]) << bt << " " << i;
            ASSERT_EQ(a->overlap[0][i], b->overlap[0][i]);
        }
    }
}

TEST(Imdct, ShortBlockKeepsOldOverlapEarlyAndClearsLateOverlap) {
    std::mt19937 rng(3);
    auto inst = new_instance();
    const tGranuleInfo lng = granule(0, 0), sht = granule(2, 0);
    tSpectrum loud = random_spectrum(rng, 1 << 27);
    imdct_granule(kernels(), inst.get(), loud.v.data(), 0, &lng);
    std::array<int32_t, 576> stored;
    std::memcpy(stored.data(), inst->overlap[0], sizeof stored);

    tSpectrum in = random_spectrum(rng, 1 << 27);
    imdct_granule(kernels(), inst.get(), in.v.data(), 0, &sht);
    for (int sb = 0; sb < 32; ++sb)
        for (int t = 0; t < 18; ++t) {
            const int i = 18 * sb + pair(t);
            if (t < 6) {
                const int32_t want = ((sb & 1) && (t & 1)) ? -stored[i] : stored[i];
                ASSERT_EQ(in.v[i], want) << sb << " " << t;
            }
            if (t >= 12) {
                ASSERT_EQ(inst->overlap[0][i], 0) << sb << " " << t;
            }
        }
}

TEST(Imdct, HostileInputsWrapWithoutFault) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
    auto inst = new_instance();
    for (int round = 0; round < 40; ++round) {
        const tGranuleInfo gi = granule(round % 4, (round / 4) % 2);
        std::array<int32_t, 576> x;
        for (auto& v : x)
            v = any(rng);
        if (round % 5 == 0)
            for (auto& v : x)
                v = (v & 1) ? INT32_MIN : INT32_MAX;
        for (auto& v : inst->overlap[round & 1])
            v = any(rng);
        imdct_granule(kernels(), inst.get(), x.data(), round & 1, &gi);
    }
    SUCCEED();
}

// ---- synthesis ----------------------------------------------------------------------------

namespace {

// The standard's window D[i] (x 65536), read from the shared table.
bool load_window(std::vector<double>& D) {
    const std::string path = std::string(VEXA_TABLE_DIR) + "/synth_window.tsv";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return false;
    D.assign(512, 0.0);
    char line[256];
    int n = 0;
    while (std::fgets(line, sizeof line, f)) {
        int i;
        long v;
        if (std::sscanf(line, "%d %ld", &i, &v) == 2 && i >= 0 && i < 512) {
            D[i] = static_cast<double>(v);
            ++n;
        }
    }
    std::fclose(f);
    return n == 512;
}

// The standard's synthesis filter in double precision, one channel.
struct tRefSynth {
    std::vector<double> D; // x 65536
    std::vector<double> V = std::vector<double>(1024, 0.0);

    // 32 subband samples (Q24 units) -> 32 PCM samples before rounding (x 32768).
    void slot(const double* s, double* pcm) {
        for (int i = 1023; i >= 64; --i)
            V[i] = V[i - 64];
        for (int i = 0; i < 64; ++i) {
            double v = 0;
            for (int k = 0; k < 32; ++k)
                v += std::cos((16 + i) * (2 * k + 1) * PI / 64) * s[k];
            V[i] = v;
        }
        for (int j = 0; j < 32; ++j) {
            double acc = 0;
            for (int i = 0; i < 8; ++i) {
                acc += D[64 * i + j] * V[128 * i + j];
                acc += D[64 * i + 32 + j] * V[128 * i + 96 + j];
            }
            pcm[j] = acc / 65536 / (1 << 24) * 32768;
        }
    }
};

int16_t round_clamp(double v) {
    const double r = std::floor(v + 0.5);
    return static_cast<int16_t>(r > 32767 ? 32767 : (r < -32768 ? -32768 : r));
}

// Pair-ordered granule input from slot-major samples s[t][k].
std::array<int32_t, 576> to_pair_order(const std::vector<std::array<int32_t, 32>>& s) {
    std::array<int32_t, 576> x{};
    for (int t = 0; t < 18; ++t)
        for (int k = 0; k < 32; ++k)
            x[18 * k + pair(t)] = s[t][k];
    return x;
}

} // namespace

TEST(Synth, ZeroInZeroOut) {
    auto inst = new_instance();
    std::array<int32_t, 576> x{};
    std::array<int16_t, 576> pcm;
    for (int g = 0; g < 3; ++g) {
        pcm.fill(123);
        EXPECT_EQ(
            synth_granule(kernels(), x.data(), &inst->synth_pos[0], pcm.data(), inst->synth_buf[0]),
            0);
        for (int16_t v : pcm)
            ASSERT_EQ(v, 0);
    }
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 32; ++c)
            ASSERT_EQ(inst->synth_buf[0][r][c], 0);
}

TEST(Synth, PositionStepsBackFourPerGranule) {
    auto inst = new_instance();
    std::array<int32_t, 576> x{};
    std::array<int16_t, 576> pcm;
    EXPECT_EQ(inst->synth_pos[1], 2);
    const int want[3] = {30, 26, 22};
    for (int g = 0; g < 3; ++g) {
        synth_granule(kernels(), x.data(), &inst->synth_pos[1], pcm.data(), inst->synth_buf[1]);
        EXPECT_EQ(inst->synth_pos[1], want[g]);
    }
    EXPECT_EQ(inst->synth_pos[0], 2); // the other channel is untouched
}

TEST(Synth, ImpulseReachesExactlySixteenSlots) {
    for (int sb : {0, 5, 16, 31}) {
        auto inst = new_instance();
        std::array<int16_t, 1152> pcm{};
        std::array<int32_t, 576> x{};
        x[18 * sb + pair(3)] = 1 << 24; // 1.0 at slot 3
        synth_granule(kernels(), x.data(), &inst->synth_pos[0], pcm.data(), inst->synth_buf[0]);
        x.fill(0);
        synth_granule(kernels(), x.data(), &inst->synth_pos[0], pcm.data() + 576,
                      inst->synth_buf[0]);
        for (int slot = 0; slot < 36; ++slot) {
            bool any = false;
            for (int j = 0; j < 32; ++j)
                any |= pcm[32 * slot + j] != 0;
            EXPECT_EQ(any, slot >= 3 && slot < 19) << "subband " << sb << " slot " << slot;
        }
    }
}

TEST(Synth, HalfStepsRoundUpwards) {
    // Sample 16 of the first slot after a reset reads row 0 of the odd columns of the odd
    // ages: -104 x (age 1, column 3) + 5 x (age 15, column 31), D[48] and D[496] x 65536.
    // 3355464 x 5 - 104 = 2^24, half a PCM step.
    const struct {
        int32_t age1, age15;
        int16_t want;
    } cases[] = {{1, 3355464, 1}, {-1, -3355464, 0}, {3, 10066392, 2}, {-3, -10066392, -1}};
    for (const auto& c : cases) {
        auto inst = new_instance();
        inst->synth_buf[0][0][3] = c.age1;
        inst->synth_buf[0][0][31] = c.age15;
        std::array<int32_t, 576> x{};
        std::array<int16_t, 576> pcm{};
        synth_granule(kernels(), x.data(), &inst->synth_pos[0], pcm.data(), inst->synth_buf[0]);
        EXPECT_EQ(pcm[16], c.want) << c.age1;
    }
}

TEST(Synth, DctStaysCloseToExactSums) {
    // After a granule the history holds the DCTs of its last slots: in rows 1..15 (a
    // ring) the slot of age a at columns synth_pos + 2a and synth_pos + 2a + 1 (mod 32),
    // in row 0, moved on for the next slot, at columns 2a + 2 and 2a + 3.
    std::mt19937 rng(21);
    std::uniform_int_distribution<int32_t> d(-(1 << 24), 1 << 24);
    std::bernoulli_distribution coin;
    double worst = 0;
    for (int g = 0; g < 40; ++g) {
        auto inst = new_instance();
        std::vector<std::array<int32_t, 32>> s(18);
        for (auto& slot : s)
            for (auto& v : slot)
                v = (g % 2) ? d(rng) : (coin(rng) ? 1 << 24 : -(1 << 24));
        auto x = to_pair_order(s);
        std::array<int16_t, 576> pcm;
        synth_granule(kernels(), x.data(), &inst->synth_pos[0], pcm.data(), inst->synth_buf[0]);
        for (int age = 0; age < 15; ++age) {
            const auto& in = s[17 - age];
            double X[33];
            for (int m = 0; m <= 32; ++m) {
                X[m] = 0;
                for (int k = 0; k < 32; ++k)
                    X[m] += in[k] * std::cos(m * (2 * k + 1) * PI / 64);
            }
            const int col = (inst->synth_pos[0] + 2 * age) & 31;
            const auto& b = inst->synth_buf[0];
            worst = std::max(worst, std::fabs(b[0][2 * age + 2] - X[16]));
            worst = std::max(worst, std::fabs(b[0][2 * age + 3] + X[0]));
            for (int r = 1; r < 16; ++r) {
                worst = std::max(worst, std::fabs(b[r][col] + X[16 - r]));
                worst = std::max(worst, std::fabs(b[r][col + 1] - X[16 + r]));
            }
        }
    }
    std::printf("largest DCT error: %.1f units of 2^-24\n", worst);
    EXPECT_LT(worst, 300.0);
}

TEST(Synth, MatchesStandardFilterWithinOneStep) {
    tRefSynth ref;
    if (!load_window(ref.D)) GTEST_SKIP() << "no synth_window.tsv under " VEXA_TABLE_DIR;
    std::mt19937 rng(4);
    auto inst = new_instance();
    int worst = 0, clipped = 0;
    for (int g = 0; g < 24; ++g) {
        // Quiet, moderate and full-scale granules in turn.
        const int32_t amp = g % 3 == 0 ? (1 << 20) : (g % 3 == 1 ? (1 << 23) : (1 << 24));
        std::uniform_int_distribution<int32_t> d(-amp, amp);
        std::vector<std::array<int32_t, 32>> s(18);
        for (auto& slot : s)
            for (auto& v : slot)
                v = d(rng);
        auto x = to_pair_order(s);
        std::array<int16_t, 576> pcm;
        synth_granule(kernels(), x.data(), &inst->synth_pos[0], pcm.data(), inst->synth_buf[0]);
        for (int t = 0; t < 18; ++t) {
            double in[32], out[32];
            for (int k = 0; k < 32; ++k)
                in[k] = s[t][k];
            ref.slot(in, out);
            for (int j = 0; j < 32; ++j) {
                const int want = round_clamp(out[j]);
                worst = std::max(worst, std::abs(pcm[32 * t + j] - want));
                clipped += want == 32767 || want == -32768;
            }
        }
    }
    std::printf("largest PCM difference: %d, clipped samples: %d\n", worst, clipped);
    EXPECT_LE(worst, 1);
}

TEST(Synth, FullScaleSaturatesInsteadOfWrapping) {
    tRefSynth ref;
    if (!load_window(ref.D)) GTEST_SKIP() << "no synth_window.tsv under " VEXA_TABLE_DIR;
    auto inst = new_instance();
    // Eight low subbands at +-4.0 with alternating signs per slot: sums far beyond 16 bits.
    std::vector<std::array<int32_t, 32>> s(18);
    for (int t = 0; t < 18; ++t)
        for (int k = 0; k < 32; ++k)
            s[t][k] = k < 8 ? ((t + k) & 1 ? -(1 << 26) : 1 << 26) : 0;
    const auto x = to_pair_order(s);
    int high = 0, low = 0;
    for (int g = 0; g < 2; ++g) {
        std::array<int16_t, 576> pcm;
        auto xg = x; // the stage leaves its DCTs in its input
        synth_granule(kernels(), xg.data(), &inst->synth_pos[0], pcm.data(), inst->synth_buf[0]);
        for (int t = 0; t < 18; ++t) {
            double in[32], out[32];
            for (int k = 0; k < 32; ++k)
                in[k] = s[t][k];
            ref.slot(in, out);
            for (int j = 0; j < 32; ++j) {
                ASSERT_LE(std::abs(pcm[32 * t + j] - round_clamp(out[j])), 1) << g << t << j;
                high += out[j] > 40000;
                low += out[j] < -40000;
                if (out[j] > 40000) {
                    ASSERT_EQ(pcm[32 * t + j], 32767);
                }
                if (out[j] < -40000) {
                    ASSERT_EQ(pcm[32 * t + j], -32768);
                }
            }
        }
    }
    EXPECT_GT(high, 10);
    EXPECT_GT(low, 10);
}

TEST(Synth, HostileInputsWrapWithoutFault) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
    auto inst = new_instance();
    for (int round = 0; round < 20; ++round) {
        std::array<int32_t, 576> x;
        for (auto& v : x)
            v = any(rng);
        if (round % 4 == 0)
            for (auto& v : x)
                v = (v & 1) ? INT32_MIN : INT32_MAX;
        if (round % 3 == 0)
            for (auto& row : inst->synth_buf[1])
                for (auto& v : row)
                    v = any(rng);
        if (round == 7) inst->synth_pos[1] = 255; // a corrupted position stays in range
        std::array<int16_t, 576> pcm;
        synth_granule(kernels(), x.data(), &inst->synth_pos[1], pcm.data(), inst->synth_buf[1]);
        ASSERT_EQ(inst->synth_pos[1] % 2, 0);
        ASSERT_LE(inst->synth_pos[1], 30);
    }
}
