// The spectral stages: requantisation, stereo processing, alias reduction and short-block
// reordering. Expected values were worked out independently (exact integer arithmetic on
// the stated constants) and are written here as numbers; tools/gen_test_expectations.py
// recomputes the requantisation and stereo tables (test test_expectations_current).
#include "fixed.h"
#include "mp3instance.h"
#include "stages.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

namespace {

using mp3::tSfbRecord;

// The stages run with the fastest kernels this processor has, as the decoder runs them.
const mp3::tDspKernels& kernels() {
    return mp3::dsp_kernels(mp3::dsp_best());
}

// Band bounds the expectations were worked out with.
constexpr tSfbRecord kRec44100 = {{0,  4,  8,   12,  16,  20,  24,  30,  36,  44,  52, 62,
                                   74, 90, 110, 134, 162, 196, 238, 288, 342, 418, 576},
                                  {0, 4, 8, 12, 16, 22, 30, 40, 52, 66, 84, 106, 136, 192}};
constexpr tSfbRecord kRec48000 = {{0,  4,  8,   12,  16,  20,  24,  30,  36,  42,  50, 60,
                                   72, 88, 106, 128, 156, 190, 230, 276, 330, 384, 576},
                                  {0, 4, 8, 12, 16, 22, 28, 38, 50, 64, 80, 100, 126, 192}};
constexpr tSfbRecord kRec22050 = {{0,   6,   12,  18,  24,  30,  36,  44,  54,  66,  80, 96,
                                   116, 140, 168, 200, 238, 284, 336, 396, 464, 522, 576},
                                  {0, 4, 8, 12, 18, 24, 32, 42, 56, 74, 100, 132, 174, 192}};
constexpr tSfbRecord kRec8000 = {{0,   12,  24,  36,  48,  60,  72,  88,  108, 132, 160, 192,
                                  232, 280, 336, 400, 476, 566, 568, 570, 572, 574, 576},
                                 {0, 8, 16, 24, 36, 52, 72, 96, 124, 160, 162, 164, 166, 192}};

// version: 1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5; freq: sampling-frequency index.
void set_format(tMPEGInstance* inst, int version, int freq) {
    inst->version = static_cast<uint8_t>(version);
    inst->sampling_frequency = static_cast<uint8_t>(freq);
}

bool same_record(const tSfbRecord& a, const tSfbRecord& b) {
    return std::memcmp(a.l, b.l, sizeof a.l) == 0 && std::memcmp(a.s, b.s, sizeof a.s) == 0;
}

// Every test below relies on these records; a missing or wrong table shows here first.
TEST(SpectralBands, RecordsTheExpectationsUse) {
    auto inst = new_instance(false);
    set_format(inst.get(), 1, 0);
    EXPECT_TRUE(same_record(mp3::sfb_record(inst.get()), kRec44100));
    set_format(inst.get(), 1, 1);
    EXPECT_TRUE(same_record(mp3::sfb_record(inst.get()), kRec48000));
    set_format(inst.get(), 0, 0);
    EXPECT_TRUE(same_record(mp3::sfb_record(inst.get()), kRec22050));
    set_format(inst.get(), 2, 2);
    EXPECT_TRUE(same_record(mp3::sfb_record(inst.get()), kRec8000));
}

// ---------------------------------------------------------------------------------------
// Requantisation

// Lines first .. end - 1 hold value after requantising 8192 (1.0 in Q13).
struct Segment {
    int first, end;
    int32_t value;
};

class Requantize : public testing::Test {
  protected:
    void SetUp() override { inst = new_instance(false); }
    tGranuleInfo& gi() { return inst->side[0].gr_info[0]; }
    int32_t* xr() { return inst->xr[0]; }
    void fill(int32_t v) {
        for (int i = 0; i < 576; ++i)
            xr()[i] = v;
    }
    void identity_scalefac() {
        for (int i = 0; i < 40; ++i)
            inst->scalefac[0][i] = static_cast<uint8_t>(i);
    }
    template <size_t N> void expect_segments(const Segment (&segs)[N], int line_count) {
        int covered = 0;
        for (const Segment& s : segs) {
            ASSERT_EQ(s.first, covered);
            for (int i = s.first; i < s.end; ++i)
                EXPECT_EQ(xr()[i], s.value) << "line " << i;
            covered = s.end;
        }
        ASSERT_EQ(covered, line_count);
        for (int i = line_count; i < 576; ++i)
            EXPECT_EQ(xr()[i], 8192) << "line " << i;
    }
    Instance inst;
};

TEST_F(Requantize, NoDecodedLinesChangesNothing) {
    set_format(inst.get(), 1, 0);
    gi().global_gain = 255;
    for (int i = 0; i < 576; ++i)
        xr()[i] = i * 977 - 3000;
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), 0, 0);
    for (int i = 0; i < 576; ++i)
        EXPECT_EQ(xr()[i], i * 977 - 3000);
}

TEST_F(Requantize, UnitGainZeroAndTinyGains) {
    set_format(inst.get(), 1, 0);
    // global_gain 210 and no scale factors: E = 0, 1.0 in Q13 becomes 1.0 in Q27.
    gi().global_gain = 210;
    xr()[0] = 8192;
    xr()[1] = -8192;
    xr()[2] = 0;
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), 3, 0);
    EXPECT_EQ(xr()[0], 0x08000000);
    EXPECT_EQ(xr()[1], -0x08000000);
    EXPECT_EQ(xr()[2], 0);

    // E = -128: a negative value floors to -1, a positive one to 0.
    gi().global_gain = 82;
    xr()[0] = -8192;
    xr()[1] = 8192;
    xr()[2] = 0;
    xr()[3] = -1;
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), 4, 0);
    EXPECT_EQ(xr()[0], -1);
    EXPECT_EQ(xr()[1], 0);
    EXPECT_EQ(xr()[2], 0);
    EXPECT_EQ(xr()[3], -1);

    // The smallest gain of all: E = -210 - 4 x 255, a shift far beyond 32 bits.
    gi().global_gain = 0;
    gi().gr_flags = 2; // scalefac_scale
    inst->scalefac[0][0] = 255;
    xr()[0] = -8192;
    xr()[1] = 8192;
    xr()[2] = 0;
    xr()[3] = -0x7FFFFFFF;
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), 4, 0);
    EXPECT_EQ(xr()[0], -1);
    EXPECT_EQ(xr()[1], 0);
    EXPECT_EQ(xr()[2], 0);
    EXPECT_EQ(xr()[3], -1);
}

TEST_F(Requantize, ExactValuesAcrossBothShiftDirections) {
    // 44100 Hz long block, global_gain 255, scalefac_scale 0: band b has
    // E = 45 - 2 s_b, here 45, 25, 1, -1, -35, -55, -63, -65, -155, -465.
    set_format(inst.get(), 1, 0);
    gi().global_gain = 255;
    const uint8_t sf[10] = {0, 10, 22, 23, 40, 50, 54, 55, 100, 255};
    std::memcpy(inst->scalefac[0], sf, sizeof sf);
    const int32_t in[8] = {8192, -8192, 1, -1, 123456789, -987654321, 0x7FFFFFFF, INT32_MIN};
    for (int i = 0; i < 576; ++i)
        xr()[i] = in[i % 8];
    constexpr int32_t expected[52] = {
        0,         0,          39903168, -39903170, -931489608, -220714406,  -1246976,  0,
        159612676, -159612678, 19482,    -19484,    -179586414, 1436567306,  -13778,    0,
        311742,    -311744,    38,       -40,       146815690,  -1174525546, -2,        0,
        2435,      -2436,      0,        -1,        36703922,   -293631387,  451452825, -451452826,
        1722,      -1723,      0,        -1,        4,          -36,         76,        -77,
        0,         -1,         0,        -1,        0,          -1,          0,         -1,
        0,         -1,         0,        -1};
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), 52, 0);
    for (int i = 0; i < 52; ++i)
        EXPECT_EQ(xr()[i], expected[i]) << "line " << i;
    for (int i = 52; i < 576; ++i)
        EXPECT_EQ(xr()[i], in[i % 8]) << "line " << i;
}

TEST_F(Requantize, PureShortCutInsideBand6) {
    // 44100 Hz, line_count 95: band 6 (10 lines per window, lines 90..119) keeps only
    // 90..94 of window 0. Scale-factor byte i = i; subblock gains 1, 2, 3.
    set_format(inst.get(), 1, 0);
    gi().global_gain = 210;
    gi().block_type = 2;
    gi().subblock_gain = (1 << 6) | (2 << 3) | 3;
    identity_scalefac();
    fill(8192);
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), 95, 0);
    constexpr Segment segs[] = {
        {0, 4, 33554432},  {4, 8, 5931640},   {8, 12, 1048576},  {12, 16, 11863282},
        {16, 20, 2097152}, {20, 24, 370726},  {24, 28, 4194304}, {28, 32, 741454},
        {32, 36, 131072},  {36, 40, 1482910}, {40, 44, 262144},  {44, 48, 46340},
        {48, 54, 524288},  {54, 60, 92680},   {60, 66, 16384},   {66, 74, 185362},
        {74, 82, 32768},   {82, 90, 5792},    {90, 95, 65536},
    };
    expect_segments(segs, 95);
}

TEST_F(Requantize, MixedBelow36UsesLongBandsOnly) {
    set_format(inst.get(), 1, 0);
    gi().global_gain = 210;
    gi().block_type = 2;
    gi().mixed_block_flag = 1;
    gi().subblock_gain = 0x1FF; // would show if a short gain were applied
    identity_scalefac();
    fill(8192);
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), 30, 0);
    constexpr Segment segs[] = {
        {0, 4, 134217728},  {4, 8, 94906264},   {8, 12, 67108864},  {12, 16, 47453132},
        {16, 20, 33554432}, {20, 24, 23726566}, {24, 30, 16777216},
    };
    expect_segments(segs, 30);
}

TEST_F(Requantize, Mixed8000HzStartsWithFourLineWindows) {
    // Long bands 0..2 (lines 0..35), then 4-line windows (36..47) with bytes 3..5, then
    // short band 2 onward. Subblock gains 1, 0, 2; preflag set but short bands ignore it.
    set_format(inst.get(), 2, 2);
    gi().global_gain = 210;
    gi().block_type = 2;
    gi().mixed_block_flag = 1;
    gi().subblock_gain = (1 << 6) | (0 << 3) | 2;
    gi().gr_flags = 4;
    identity_scalefac();
    fill(8192);
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), 576, 0);
    constexpr Segment segs[] = {
        {0, 12, 134217728}, {12, 24, 94906264},  {24, 36, 67108864}, {36, 40, 11863282},
        {40, 44, 33554432}, {44, 48, 1482910},   {48, 56, 4194304},  {56, 64, 11863282},
        {64, 72, 524288},   {72, 84, 1482910},   {84, 96, 4194304},  {96, 108, 185362},
        {108, 124, 524288}, {124, 140, 1482910}, {140, 156, 65536},  {156, 176, 185362},
        {176, 196, 524288}, {196, 216, 23170},   {216, 240, 65536},  {240, 264, 185362},
        {264, 288, 8192},   {288, 316, 23170},   {316, 344, 65536},  {344, 372, 2896},
        {372, 408, 8192},   {408, 444, 23170},   {444, 480, 1024},   {480, 482, 2896},
        {482, 484, 8192},   {484, 486, 362},     {486, 488, 1024},   {488, 490, 2896},
        {490, 492, 128},    {492, 494, 362},     {494, 496, 1024},   {496, 498, 45},
        {498, 524, 128},    {524, 550, 362},     {550, 576, 16},
    };
    expect_segments(segs, 576);
}

TEST_F(Requantize, PureShortWithScalefacScaleIgnoresPreflag) {
    // 48000 Hz, global_gain 214, scalefac_scale 1, preflag 1, byte i = i mod 13; band 12
    // is 66 lines per window.
    set_format(inst.get(), 1, 1);
    gi().global_gain = 214;
    gi().block_type = 2;
    gi().gr_flags = 4 | 2;
    for (int i = 0; i < 40; ++i)
        inst->scalefac[0][i] = static_cast<uint8_t>(i % 13);
    fill(8192);
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), 576, 0);
    constexpr Segment segs[] = {
        {0, 4, 268435456},    {4, 8, 134217728},    {8, 12, 67108864},     {12, 16, 33554432},
        {16, 20, 16777216},   {20, 24, 8388608},    {24, 28, 4194304},     {28, 32, 2097152},
        {32, 36, 1048576},    {36, 40, 524288},     {40, 44, 262144},      {44, 48, 131072},
        {48, 54, 65536},      {54, 60, 268435456},  {60, 66, 134217728},   {66, 72, 67108864},
        {72, 78, 33554432},   {78, 84, 16777216},   {84, 94, 8388608},     {94, 104, 4194304},
        {104, 114, 2097152},  {114, 126, 1048576},  {126, 138, 524288},    {138, 150, 262144},
        {150, 164, 131072},   {164, 178, 65536},    {178, 192, 268435456}, {192, 208, 134217728},
        {208, 224, 67108864}, {224, 240, 33554432}, {240, 260, 16777216},  {260, 280, 8388608},
        {280, 300, 4194304},  {300, 326, 2097152},  {326, 352, 1048576},   {352, 378, 524288},
        {378, 444, 262144},   {444, 510, 131072},   {510, 576, 65536},
    };
    expect_segments(segs, 576);
}

TEST_F(Requantize, PreflagAddsPretabToLongBands) {
    // 44100 Hz long block, global_gain 214, scalefac_scale 1, preflag 1, byte b = b mod 3
    // for bands 0..20, byte 21 = 0.
    set_format(inst.get(), 1, 0);
    gi().global_gain = 214;
    gi().block_type = 0;
    gi().gr_flags = 4 | 2;
    for (int b = 0; b < 21; ++b)
        inst->scalefac[0][b] = static_cast<uint8_t>(b % 3);
    fill(8192);
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), 576, 0);
    constexpr Segment segs[] = {
        {0, 4, 268435456},    {4, 8, 134217728},     {8, 12, 67108864},    {12, 16, 268435456},
        {16, 20, 134217728},  {20, 24, 67108864},    {24, 30, 268435456},  {30, 36, 134217728},
        {36, 44, 67108864},   {44, 52, 268435456},   {52, 62, 134217728},  {62, 74, 33554432},
        {74, 90, 134217728},  {90, 110, 67108864},   {110, 134, 33554432}, {134, 162, 67108864},
        {162, 196, 33554432}, {196, 238, 8388608},   {238, 288, 33554432}, {288, 342, 16777216},
        {342, 418, 16777216}, {418, 576, 268435456},
    };
    expect_segments(segs, 576);
}

TEST_F(Requantize, CountsOutsideTheGranuleAreClamped) {
    set_format(inst.get(), 1, 0);
    gi().global_gain = 206; // E = -4: one half
    fill(8192);
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), -5, 0);
    for (int i = 0; i < 576; ++i)
        ASSERT_EQ(xr()[i], 8192);
    mp3::requantize(kernels(), xr(), inst.get(), &gi(), 100000, 0);
    for (int i = 0; i < 576; ++i)
        ASSERT_EQ(xr()[i], 0x04000000);
    for (int i = 0; i < 576; ++i)
        ASSERT_EQ(inst->xr[1][i], 0); // the next array
}

TEST_F(Requantize, ChannelOneUsesItsOwnScaleFactors) {
    set_format(inst.get(), 1, 0);
    gi().global_gain = 210;
    inst->scalefac[0][0] = 40; // channel 0's byte would give a far smaller value
    inst->scalefac[1][0] = 2;  // E = -4: one half
    inst->xr[1][0] = 8192;
    mp3::requantize(kernels(), inst->xr[1], inst.get(), &gi(), 1, 1);
    EXPECT_EQ(inst->xr[1][0], 0x04000000);
}

// ---------------------------------------------------------------------------------------
// Stereo processing

// Result of one position on a left value of +100000003 (index 0) or -100000003 (index 1)
// with a right value of 0: {left, right}.
struct Pair {
    int32_t l, r;
};
constexpr int32_t kLeft[2] = {100000003, -100000003};

// MPEG-1 positions 0..6; 7 and above are not intensity coded.
constexpr Pair kMpeg1Is[7][2] = {
    {{3, 100000000}, {1, -100000004}},
    {{21132491, 78867512}, {-21132487, -78867516}},
    {{36602543, 63397460}, {-36602539, -63397464}},
    {{50000003, 50000000}, {-49999999, -50000004}},
    {{63397463, 36602540}, {-63397459, -36602544}},
    {{78867519, 21132484}, {-78867515, -21132488}},
    {{100000003, 0}, {-100000003, 0}},
};
// Mid/side of (left, 0).
constexpr Pair kMidSide[2] = {{70710680, 70710680}, {-70710682, -70710682}};

// MPEG-2 positions 0..15, then 254 and 255 (index 16, 17), for intensity_scale 0 and 1.
constexpr Pair kMpeg2Is[2][18][2] = {
    {
        {{100000003, 100000003}, {-100000003, -100000003}},
        {{84089644, 100000003}, {-84089648, -100000003}},
        {{100000003, 84089644}, {-100000003, -84089648}},
        {{70710680, 100000003}, {-70710684, -100000003}},
        {{100000003, 70710680}, {-100000003, -70710684}},
        {{59460356, 100000003}, {-59460360, -100000003}},
        {{100000003, 59460356}, {-100000003, -59460360}},
        {{100000003, 0}, {-100000003, 0}}, // 7: not intensity coded
        {{100000003, 50000000}, {-100000003, -50000004}},
        {{42044820, 100000003}, {-42044824, -100000003}},
        {{100000003, 42044820}, {-100000003, -42044824}},
        {{35355340, 100000003}, {-35355344, -100000003}},
        {{100000003, 35355340}, {-100000003, -35355344}},
        {{29730176, 100000003}, {-29730180, -100000003}},
        {{100000003, 29730176}, {-100000003, -29730180}},
        {{25000000, 100000003}, {-25000004, -100000003}},
        {{100000003, 0}, {-100000003, 0}},
        {{0, 100000003}, {0, -100000003}},
    },
    {
        {{100000003, 100000003}, {-100000003, -100000003}},
        {{70710680, 100000003}, {-70710684, -100000003}},
        {{100000003, 70710680}, {-100000003, -70710684}},
        {{50000000, 100000003}, {-50000004, -100000003}},
        {{100000003, 50000000}, {-100000003, -50000004}},
        {{35355340, 100000003}, {-35355344, -100000003}},
        {{100000003, 35355340}, {-100000003, -35355344}},
        {{100000003, 0}, {-100000003, 0}},
        {{100000003, 25000000}, {-100000003, -25000004}},
        {{17677668, 100000003}, {-17677672, -100000003}},
        {{100000003, 17677668}, {-100000003, -17677672}},
        {{12500000, 100000003}, {-12500004, -100000003}},
        {{100000003, 12500000}, {-100000003, -12500004}},
        {{8838832, 100000003}, {-8838836, -100000003}},
        {{100000003, 8838832}, {-100000003, -8838836}},
        {{6250000, 100000003}, {-6250004, -100000003}},
        {{100000003, 0}, {-100000003, 0}},
        {{0, 100000003}, {0, -100000003}},
    },
};

// Lines first .. end - 1 take position pos (7: not intensity coded).
struct PosRange {
    int first, end, pos;
};

class Stereo : public testing::Test {
  protected:
    void SetUp() override {
        inst = new_instance(false);
        inst->nch = 2;
        inst->mode = 1;
    }
    tGranuleInfo& gi(int ch) { return inst->side[ch].gr_info[0]; }
    // Left lines alternate +100000003 / -100000003, right lines 0.
    void fill_alternating() {
        for (int i = 0; i < 576; ++i) {
            inst->xr[0][i] = kLeft[i & 1];
            inst->xr[1][i] = 0;
        }
    }
    void set_positions(std::initializer_list<int> bytes) {
        int i = 0;
        for (int b : bytes)
            inst->scalefac[1][i++] = static_cast<uint8_t>(b);
    }
    // Checks every line against the ranges; right_in holds the right input of lines
    // that are not intensity coded (they keep it when mid/side is off).
    template <size_t N>
    void expect_ranges(const PosRange (&ranges)[N], bool mpeg1, int scale, bool mid_side,
                       const int32_t* right_in) {
        int covered = 0;
        for (const PosRange& r : ranges) {
            ASSERT_EQ(r.first, covered);
            for (int i = r.first; i < r.end; ++i) {
                const int sign = i & 1;
                Pair want;
                const bool not_is = r.pos == 7 || (mpeg1 && r.pos > 7);
                if (not_is) {
                    want = mid_side ? kMidSide[sign] : Pair{kLeft[sign], right_in[i]};
                } else if (mpeg1) {
                    want = kMpeg1Is[r.pos][sign];
                } else {
                    const int idx = r.pos == 254 ? 16 : r.pos == 255 ? 17 : r.pos;
                    want = kMpeg2Is[scale][idx][sign];
                }
                EXPECT_EQ(inst->xr[0][i], want.l) << "left line " << i << " pos " << r.pos;
                EXPECT_EQ(inst->xr[1][i], want.r) << "right line " << i << " pos " << r.pos;
            }
            covered = r.end;
        }
        ASSERT_EQ(covered, 576);
    }
    Instance inst;
    int32_t zero[576] = {};
};

TEST_F(Stereo, MonoPlainStereoAndDualChannelUnchanged) {
    set_format(inst.get(), 1, 0);
    struct Case {
        uint8_t nch, mode;
    };
    for (Case c : {Case{1, 3}, Case{1, 1}, Case{2, 0}, Case{2, 2}}) {
        inst->nch = c.nch;
        inst->mode = c.mode;
        inst->mode_extension = 3;
        for (int i = 0; i < 576; ++i) {
            inst->xr[0][i] = i * 1000 + 1;
            inst->xr[1][i] = -i * 3000 - 7;
        }
        mp3::stereo_process(kernels(), inst.get(), 0, 576);
        for (int i = 0; i < 576; ++i) {
            ASSERT_EQ(inst->xr[0][i], i * 1000 + 1) << "nch " << +c.nch << " mode " << +c.mode;
            ASSERT_EQ(inst->xr[1][i], -i * 3000 - 7) << "nch " << +c.nch << " mode " << +c.mode;
        }
    }
}

TEST_F(Stereo, MidSideOnlyRoundsExactlyAndWraps) {
    set_format(inst.get(), 0, 1); // version does not matter without intensity
    inst->mode_extension = 2;
    struct Case {
        int32_t m, s, l, r;
    };
    constexpr Case cases[8] = {
        {134217728, 67108864, 142359396, 47453132},
        {-5, 3, -2, -6},
        {3, -5, -2, 6},
        {2147483647, 2147483647, -1257966800, 0},
        {INT32_MIN, INT32_MIN, 1257966796, 0},
        {123456789, -987654321, -611079936, 785674200},
        {0, 0, 0, 0},
        {-1, -1, -4, 0},
    };
    for (int i = 0; i < 576; ++i) {
        inst->xr[0][i] = cases[i % 8].m;
        inst->xr[1][i] = cases[i % 8].s;
    }
    mp3::stereo_process(kernels(), inst.get(), 0, 576);
    for (int i = 0; i < 576; ++i) {
        EXPECT_EQ(inst->xr[0][i], cases[i % 8].l) << "line " << i;
        EXPECT_EQ(inst->xr[1][i], cases[i % 8].r) << "line " << i;
    }
    // mode_extension 0: nothing.
    inst->mode_extension = 0;
    mp3::stereo_process(kernels(), inst.get(), 0, 576);
    for (int i = 0; i < 576; ++i)
        EXPECT_EQ(inst->xr[0][i], cases[i % 8].l);
}

// Long block, right channel all zero: band 0 is not intensity coded, bands 1..20 take
// their positions and the lines above band 20 take band 20's. Positions 8..15 count as
// not intensity coded, like 7.
constexpr PosRange kLongMpeg1[] = {
    {0, 4, 7},     {4, 8, 0},     {8, 12, 1},     {12, 16, 2},    {16, 20, 3},    {20, 24, 4},
    {24, 30, 5},   {30, 36, 6},   {36, 44, 7},    {44, 52, 8},    {52, 62, 9},    {62, 74, 10},
    {74, 90, 11},  {90, 110, 12}, {110, 134, 13}, {134, 162, 14}, {162, 196, 15}, {196, 238, 0},
    {238, 288, 6}, {288, 342, 7}, {342, 576, 3},
};

TEST_F(Stereo, Mpeg1IntensityLongBlockZeroRight) {
    set_format(inst.get(), 1, 0);
    for (int mode_extension : {1, 3}) {
        inst->mode_extension = static_cast<uint8_t>(mode_extension);
        fill_alternating();
        set_positions({9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 6, 7, 3, 5});
        mp3::stereo_process(kernels(), inst.get(), 0, 576);
        SCOPED_TRACE(mode_extension);
        expect_ranges(kLongMpeg1, true, 0, mode_extension == 3, zero);
    }
}

TEST_F(Stereo, Mpeg1LongBlockHighestLineInBand20MeansNoIntensity) {
    set_format(inst.get(), 1, 0);
    inst->mode_extension = 1;
    fill_alternating();
    inst->xr[1][400] = 5;
    int32_t right[576] = {};
    right[400] = 5;
    mp3::stereo_process(kernels(), inst.get(), 0, 576);
    constexpr PosRange all[] = {{0, 576, 7}};
    expect_ranges(all, true, 0, false, right);
}

TEST_F(Stereo, Mpeg1LongBlockHighestLineInBand19) {
    set_format(inst.get(), 1, 0);
    inst->mode_extension = 1;
    fill_alternating();
    inst->xr[1][300] = 5;
    int32_t right[576] = {};
    right[300] = 5;
    mp3::stereo_process(kernels(), inst.get(), 0, 576);
    constexpr PosRange ranges[] = {{0, 342, 7}, {342, 576, 0}};
    expect_ranges(ranges, true, 0, false, right);
}

TEST_F(Stereo, Mpeg2IntensityLongBlock) {
    // 22050 Hz; positions include 3 and 2 and the extremes 254 and 255.
    set_format(inst.get(), 0, 0);
    inst->mode_extension = 1;
    constexpr PosRange ranges[] = {
        {0, 6, 7},      {6, 12, 3},     {12, 18, 2},     {18, 24, 0},     {24, 30, 1},
        {30, 36, 4},    {36, 44, 5},    {44, 54, 6},     {54, 66, 7},     {66, 80, 8},
        {80, 96, 9},    {96, 116, 10},  {116, 140, 11},  {140, 168, 12},  {168, 200, 13},
        {200, 238, 14}, {238, 284, 15}, {284, 336, 254}, {336, 396, 255}, {396, 464, 3},
        {464, 576, 2},
    };
    for (int scale : {0, 1}) {
        gi(1).scalefac_compress = static_cast<uint16_t>(0x1F0 | scale);
        fill_alternating();
        set_positions({0, 3, 2, 0, 1, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 254, 255, 3, 2});
        mp3::stereo_process(kernels(), inst.get(), 0, 576);
        SCOPED_TRACE(scale);
        expect_ranges(ranges, false, scale, false, zero);
    }
}

TEST_F(Stereo, PureShortWindowsSearchedSeparately) {
    // 44100 Hz: right window 0 ends in band 4 (line 50), window 1 in band 11 (line 353),
    // window 2 is empty. Band 12 takes band 11's byte: 33 (window 0) = 2, 35 (window 2) = 6.
    set_format(inst.get(), 1, 0);
    inst->mode_extension = 1;
    gi(0).block_type = 2;
    gi(1).block_type = 2;
    fill_alternating();
    inst->xr[1][50] = 9;
    inst->xr[1][353] = -9;
    int32_t right[576] = {};
    right[50] = 9;
    right[353] = -9;
    inst->scalefac[1][33] = 2;
    inst->scalefac[1][35] = 6;
    mp3::stereo_process(kernels(), inst.get(), 0, 576);
    constexpr PosRange ranges[] = {
        {0, 8, 7},     {8, 12, 0},    {12, 20, 7},   {20, 24, 0},   {24, 32, 7},   {32, 36, 0},
        {36, 44, 7},   {44, 48, 0},   {48, 60, 7},   {60, 74, 0},   {74, 82, 7},   {82, 100, 0},
        {100, 110, 7}, {110, 132, 0}, {132, 144, 7}, {144, 170, 0}, {170, 184, 7}, {184, 216, 0},
        {216, 234, 7}, {234, 274, 0}, {274, 296, 7}, {296, 318, 0}, {318, 348, 2}, {348, 378, 7},
        {378, 408, 6}, {408, 464, 2}, {464, 520, 7}, {520, 576, 6},
    };
    expect_ranges(ranges, true, 0, false, right);
}

// MPEG-1 mixed block at 44100 Hz: long bytes 0..7, short band k window w at byte
// 3 k + w - 1 (band 12 as band 11).
constexpr uint8_t kMixedBytes[40] = {0, 1, 2, 3, 4, 5, 6, 0, 3, 6, 2, 5, 1, 4, 0, 3, 6, 2, 5, 1,
                                     4, 0, 3, 6, 2, 5, 1, 4, 0, 3, 6, 2, 5, 1, 4, 0, 3, 6, 2, 5};

class StereoMixed : public Stereo {
  protected:
    void SetUp() override {
        Stereo::SetUp();
        set_format(inst.get(), 1, 0);
        inst->mode_extension = 1;
        gi(0).block_type = 2;
        gi(0).mixed_block_flag = 1;
        fill_alternating();
        std::memcpy(inst->scalefac[1], kMixedBytes, sizeof kMixedBytes);
    }
};

TEST_F(StereoMixed, ZeroRightUsesEveryPosition) {
    mp3::stereo_process(kernels(), inst.get(), 0, 576);
    constexpr PosRange ranges[] = {
        {0, 4, 0},     {4, 8, 1},     {8, 12, 2},    {12, 16, 3},   {16, 20, 4},   {20, 24, 5},
        {24, 30, 6},   {30, 36, 0},   {36, 40, 3},   {40, 44, 6},   {44, 48, 2},   {48, 54, 5},
        {54, 60, 1},   {60, 66, 4},   {66, 74, 0},   {74, 82, 3},   {82, 90, 6},   {90, 100, 2},
        {100, 110, 5}, {110, 120, 1}, {120, 132, 4}, {132, 144, 0}, {144, 156, 3}, {156, 170, 6},
        {170, 184, 2}, {184, 198, 5}, {198, 216, 1}, {216, 234, 4}, {234, 252, 0}, {252, 274, 3},
        {274, 296, 6}, {296, 318, 2}, {318, 348, 5}, {348, 378, 1}, {378, 408, 4}, {408, 464, 5},
        {464, 520, 1}, {520, 576, 4},
    };
    expect_ranges(ranges, true, 0, false, zero);
}

TEST_F(StereoMixed, NonzeroShortBandKeepsLongPartOff) {
    // Window 1 of short band 5 holds line 75: bands 3..5 of window 1 and all 36 long
    // lines are not intensity coded.
    inst->xr[1][75] = 1;
    int32_t right[576] = {};
    right[75] = 1;
    mp3::stereo_process(kernels(), inst.get(), 0, 576);
    constexpr PosRange ranges[] = {
        {0, 36, 7},    {36, 40, 3},   {40, 44, 7},   {44, 48, 2},   {48, 54, 5},   {54, 60, 7},
        {60, 66, 4},   {66, 74, 0},   {74, 82, 7},   {82, 90, 6},   {90, 100, 2},  {100, 110, 5},
        {110, 120, 1}, {120, 132, 4}, {132, 144, 0}, {144, 156, 3}, {156, 170, 6}, {170, 184, 2},
        {184, 198, 5}, {198, 216, 1}, {216, 234, 4}, {234, 252, 0}, {252, 274, 3}, {274, 296, 6},
        {296, 318, 2}, {318, 348, 5}, {348, 378, 1}, {378, 408, 4}, {408, 464, 5}, {464, 520, 1},
        {520, 576, 4},
    };
    expect_ranges(ranges, true, 0, false, right);
}

TEST_F(StereoMixed, NonzeroLongLineMovesIntensityStart) {
    // Right line 20 (long band 5): lines 0..23 are not intensity coded, bands 6 and 7 are.
    inst->xr[1][20] = 1;
    int32_t right[576] = {};
    right[20] = 1;
    mp3::stereo_process(kernels(), inst.get(), 0, 576);
    constexpr PosRange ranges[] = {
        {0, 24, 7},    {24, 30, 6},   {30, 36, 0},   {36, 40, 3},   {40, 44, 6},   {44, 48, 2},
        {48, 54, 5},   {54, 60, 1},   {60, 66, 4},   {66, 74, 0},   {74, 82, 3},   {82, 90, 6},
        {90, 100, 2},  {100, 110, 5}, {110, 120, 1}, {120, 132, 4}, {132, 144, 0}, {144, 156, 3},
        {156, 170, 6}, {170, 184, 2}, {184, 198, 5}, {198, 216, 1}, {216, 234, 4}, {234, 252, 0},
        {252, 274, 3}, {274, 296, 6}, {296, 318, 2}, {318, 348, 5}, {348, 378, 1}, {378, 408, 4},
        {408, 464, 5}, {464, 520, 1}, {520, 576, 4},
    };
    expect_ranges(ranges, true, 0, false, right);
}

TEST_F(Stereo, Mixed8000HzLongPartRunsToBand5) {
    // MPEG-2.5 at 8000 Hz: long bands 0..5 (lines 0..71) take bytes 0..5, short bands
    // from 3 (line 72) take byte 3 k + w - 3. Byte i = i mod 7.
    set_format(inst.get(), 2, 2);
    inst->mode_extension = 1;
    gi(0).block_type = 2;
    gi(0).mixed_block_flag = 1;
    fill_alternating();
    for (int i = 0; i < 40; ++i)
        inst->scalefac[1][i] = static_cast<uint8_t>(i % 7);
    mp3::stereo_process(kernels(), inst.get(), 0, 576);
    constexpr PosRange ranges[] = {
        {0, 12, 0},    {12, 24, 1},   {24, 36, 2},   {36, 48, 3},   {48, 60, 4},   {60, 72, 5},
        {72, 84, 6},   {84, 96, 0},   {96, 108, 1},  {108, 124, 2}, {124, 140, 3}, {140, 156, 4},
        {156, 176, 5}, {176, 196, 6}, {196, 216, 0}, {216, 240, 1}, {240, 264, 2}, {264, 288, 3},
        {288, 316, 4}, {316, 344, 5}, {344, 372, 6}, {372, 408, 0}, {408, 444, 1}, {444, 480, 2},
        {480, 482, 3}, {482, 484, 4}, {484, 486, 5}, {486, 488, 6}, {488, 490, 0}, {490, 492, 1},
        {492, 494, 2}, {494, 496, 3}, {496, 498, 4}, {498, 524, 2}, {524, 550, 3}, {550, 576, 4},
    };
    expect_ranges(ranges, false, 0, false, zero);
}

TEST_F(Stereo, UsesTheGranulesOwnSideInformation) {
    // Granule 1 holds a short block and intensity_scale 1, granule 0 a long block.
    set_format(inst.get(), 0, 0);
    inst->mode_extension = 1;
    inst->side[1].gr_info[1].scalefac_compress = 1;
    inst->side[0].gr_info[1].block_type = 2;
    fill_alternating();
    for (int i = 0; i < 40; ++i)
        inst->scalefac[1][i] = 3;
    mp3::stereo_process(kernels(), inst.get(), 1, 576);
    // Pure short with an empty right channel: every line takes position 3.
    constexpr PosRange all[] = {{0, 576, 3}};
    expect_ranges(all, false, 1, false, zero);
}

// ---------------------------------------------------------------------------------------
// Alias reduction

TEST(AliasReduce, TouchesOnlyTheSixteenLinesAroundEachBoundary) {
    for (uint8_t block_type : {0, 1, 3}) {
        tGranuleInfo gi{};
        gi.block_type = block_type;
        std::array<int32_t, 576> x{};
        for (int i = 0; i < 576; ++i)
            x[i] = (i * 7919 % 2001 - 1000) * 100000 + 12345;
        const auto in = x;
        mp3::alias_reduce(kernels(), x.data(), &gi);
        for (int i = 0; i < 576; ++i) {
            const int r = i % 18;
            const bool touched = (r <= 7 && i >= 18) || (r >= 10 && i < 558);
            if (touched)
                EXPECT_NE(x[i], in[i]) << "line " << i;
            else
                EXPECT_EQ(x[i], in[i]) << "line " << i;
        }
    }
}

TEST(AliasReduce, MixedBlockOnlyBetweenItsLongSubbandsPureShortNone) {
    // A mixed block's long subbands 0 and 1 meet at line 18: butterflies there alone, at
    // every rate (the stage does not depend on it); a pure short block gets none.
    for (uint8_t mixed : {0, 1}) {
        tGranuleInfo gi{};
        gi.block_type = 2;
        gi.mixed_block_flag = mixed;
        std::array<int32_t, 576> x{};
        for (int i = 0; i < 576; ++i)
            x[i] = i * 4099 - 1000000;
        x[17] = 134217728; // butterfly 0 with the hand-worked result below
        x[18] = 67108864;
        const auto in = x;
        mp3::alias_reduce(kernels(), x.data(), &gi);
        for (int i = 0; i < 576; ++i) {
            const bool touched = mixed && i >= 10 && i <= 25;
            if (touched)
                EXPECT_NE(x[i], in[i]) << "line " << i;
            else
                EXPECT_EQ(x[i], in[i]) << "mixed " << int(mixed) << " line " << i;
        }
        if (mixed) {
            EXPECT_EQ(x[17], 149617978);
            EXPECT_EQ(x[18], -11509078);
        }
    }
}

TEST(AliasReduce, ButterfliesEvenAndOdd) {
    tGranuleInfo gi{};
    std::array<int32_t, 576> x{};
    // Boundary 1, butterfly 0 (lines 17, 18) and 1 (lines 16, 19).
    x[17] = 134217728;
    x[18] = 67108864;
    x[16] = 134217728;
    x[19] = 67108864;
    // Boundary 5, butterfly 0 (lines 89, 90): the sum a + b wraps.
    x[89] = 0x7FFFFFFF;
    x[90] = 0x7FFFFFFF;
    // Boundary 31, butterfly 6 (lines 551, 564) and 7 (lines 550, 565).
    x[551] = -123456789;
    x[564] = 987654321;
    x[550] = -123456789;
    x[565] = 987654321;
    // Boundary 10, butterfly 3 (lines 176, 183), negative extremes.
    x[176] = INT32_MIN;
    x[183] = -5;
    // Boundary 20, butterfly 7 (lines 352, 367): the Q32 word's halving rounds down.
    x[352] = INT32_MIN;
    x[367] = 5;
    mp3::alias_reduce(kernels(), x.data(), &gi);
    EXPECT_EQ(x[17], 149617978);
    EXPECT_EQ(x[18], -11509078);
    EXPECT_EQ(x[16], 150002804);
    EXPECT_EQ(x[19], -4142090);
    EXPECT_EQ(x[89], 736580814);
    EXPECT_EQ(x[90], 736580814);
    EXPECT_EQ(x[551], -109421068);
    EXPECT_EQ(x[564], 989307668);
    EXPECT_EQ(x[550], -119801649);
    EXPECT_EQ(x[565], 988104346);
    EXPECT_EQ(x[176], -1330340767);
    EXPECT_EQ(x[183], 390655614);
    EXPECT_EQ(x[352], -2147468948);
    EXPECT_EQ(x[367], 7975036);
    for (int i = 0; i < 576; ++i) {
        if (i == 16 || i == 17 || i == 18 || i == 19 || i == 89 || i == 90 || i == 550 ||
            i == 551 || i == 564 || i == 565 || i == 176 || i == 183 || i == 352 || i == 367)
            continue;
        EXPECT_EQ(x[i], 0) << "line " << i;
    }
}

// ---------------------------------------------------------------------------------------
// Short-block reordering

class Reorder : public testing::Test {
  protected:
    void SetUp() override {
        inst = new_instance(false);
        for (int i = 0; i < 576; ++i) {
            inst->xr[0][i] = 1000 + i;
            inst->reordered[i] = -1;
        }
        gi.block_type = 2;
    }
    int32_t x(int i) const { return 1000 + i; }
    int32_t* run() { return mp3::reorder_short(inst->xr[0], inst->reordered, &gi, inst.get()); }
    Instance inst;
    tGranuleInfo gi{};
};

TEST_F(Reorder, LongBlocksReturnTheirOwnSpectrum) {
    set_format(inst.get(), 1, 0);
    for (uint8_t bt : {0, 1, 3}) {
        gi.block_type = bt;
        EXPECT_EQ(run(), inst->xr[0]);
        for (int i = 0; i < 576; ++i)
            ASSERT_EQ(inst->xr[0][i], x(i));
        for (int i = 0; i < 576; ++i)
            ASSERT_EQ(inst->reordered[i], -1);
    }
}

// Short band k holds lines 3 s[k] .. 3 s[k + 1] - 1, window after window; reordered,
// line j of window w goes to 3 s[k] + 3 j + w. A mixed block keeps its long part (36
// lines, 72 at 8000 Hz) and starts with short band 3. Every input line lands exactly
// once, and the input is kept.
TEST_F(Reorder, ShortBandsInterleaveTheirWindows) {
    struct Case {
        int version, freq;
        const tSfbRecord& rec;
        bool mixed;
        int copied;
    };
    const Case cases[] = {{1, 0, kRec44100, false, 0},
                          {1, 1, kRec48000, false, 0},
                          {1, 0, kRec44100, true, 36},
                          {2, 2, kRec8000, true, 72}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "version " << c.version << " freq " << c.freq << (c.mixed ? " mixed" : ""));
        set_format(inst.get(), c.version, c.freq);
        gi.mixed_block_flag = c.mixed ? 1 : 0;
        int32_t* out = run();
        ASSERT_EQ(out, inst->reordered);
        for (int i = 0; i < c.copied; ++i)
            EXPECT_EQ(out[i], x(i)) << i;
        for (int k = c.mixed ? 3 : 0; k < 13; ++k) {
            const int start = 3 * c.rec.s[k], width = c.rec.s[k + 1] - c.rec.s[k];
            for (int j = 0; j < width; ++j)
                for (int w = 0; w < 3; ++w)
                    EXPECT_EQ(out[start + 3 * j + w], x(start + w * width + j))
                        << "band " << k << " window " << w << " line " << j;
        }
        std::array<int, 576> seen{};
        for (int i = 0; i < 576; ++i) {
            ASSERT_GE(out[i], 1000);
            ASSERT_LT(out[i], 1576);
            ++seen[static_cast<size_t>(out[i] - 1000)];
            ASSERT_EQ(inst->xr[0][i], x(i));
        }
        for (int n : seen)
            EXPECT_EQ(n, 1);
    }
}

// ---------------------------------------------------------------------------------------
// Hostile side information: every stage stays inside its own lines for any field values.

TEST(SpectralHostile, RandomFieldsStayInBounds) {
    std::mt19937 rng(20261208);
    auto inst = new_instance(false);
    auto before = new_instance(false);
    auto byte = [&]() { return static_cast<uint8_t>(rng() & 0xFF); };
    constexpr size_t kXr = offsetof(tMPEGInstance, xr);
    constexpr size_t kReordered = offsetof(tMPEGInstance, reordered);
    // Bytes of the instance outside [from, to) must not change.
    auto unchanged_outside = [&](size_t from, size_t to) {
        const auto* a = reinterpret_cast<const unsigned char*>(inst.get());
        const auto* b = reinterpret_cast<const unsigned char*>(before.get());
        return std::memcmp(a, b, from) == 0 &&
               std::memcmp(a + to, b + to, sizeof(tMPEGInstance) - to) == 0;
    };
    for (int iter = 0; iter < 4000; ++iter) {
        set_format(inst.get(), static_cast<int>(rng() % 3), static_cast<int>(rng() % 3));
        inst->nch = (rng() & 3) == 0 ? 1 : 2;
        inst->mode = byte() & 3;
        inst->mode_extension = byte() & 3;
        for (auto& ch : inst->scalefac)
            for (auto& s : ch)
                s = (rng() & 1) ? byte() : static_cast<uint8_t>(byte() & 15);
        for (auto& side : inst->side)
            for (auto& g : side.gr_info) {
                g.scalefac_compress = static_cast<uint16_t>(rng());
                g.global_gain = byte();
                g.block_type = (rng() & 7) == 0 ? byte() : static_cast<uint8_t>(rng() & 3);
                g.mixed_block_flag = (rng() & 1) ? byte() : 0;
                g.subblock_gain = static_cast<uint16_t>(rng());
                g.gr_flags = byte();
            }
        const int gr = static_cast<int>(rng() & 1);
        int32_t counts[2];
        for (int ch = 0; ch < 2; ++ch) {
            counts[ch] = static_cast<int32_t>(rng() % 577);
            for (int i = 0; i < 576; ++i) {
                const uint32_t r = rng();
                inst->xr[ch][i] = i >= counts[ch] ? 0
                                  : (r & 3) == 0  ? 0
                                  : (r & 12) == 0 ? static_cast<int32_t>(rng())
                                                  : static_cast<int32_t>(rng() % 20000) - 10000;
            }
        }
        for (int ch = 0; ch < 2; ++ch) {
            std::memcpy(before.get(), inst.get(), sizeof(tMPEGInstance));
            const tGranuleInfo* gi = &inst->side[ch].gr_info[gr];
            mp3::requantize(kernels(), inst->xr[ch], inst.get(), gi, counts[ch], ch);
            const size_t from = kXr + sizeof(int32_t) * 576 * ch;
            ASSERT_TRUE(unchanged_outside(from, from + sizeof(int32_t) * counts[ch]))
                << "requantize, iteration " << iter;
        }
        std::memcpy(before.get(), inst.get(), sizeof(tMPEGInstance));
        mp3::stereo_process(kernels(), inst.get(), gr, counts[1]);
        ASSERT_TRUE(unchanged_outside(kXr, kXr + sizeof inst->xr)) << "stereo, iteration " << iter;
        for (int ch = 0; ch < 2; ++ch) {
            const tGranuleInfo* gi = &inst->side[ch].gr_info[gr];
            std::memcpy(before.get(), inst.get(), sizeof(tMPEGInstance));
            mp3::alias_reduce(kernels(), inst->xr[ch], gi);
            const size_t from = kXr + sizeof(int32_t) * 576 * ch;
            ASSERT_TRUE(unchanged_outside(from, from + sizeof(int32_t) * 576))
                << "alias, iteration " << iter;
            std::memcpy(before.get(), inst.get(), sizeof(tMPEGInstance));
            int32_t* out = mp3::reorder_short(inst->xr[ch], inst->reordered, gi, inst.get());
            ASSERT_TRUE(unchanged_outside(kReordered, kReordered + sizeof inst->reordered))
                << "reorder, iteration " << iter;
            ASSERT_TRUE(out == inst->xr[ch] || out == inst->reordered);
        }
    }
}

} // namespace
