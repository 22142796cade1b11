// Every fast kernel against the portable one, word for word, on every path this processor
// runs: random words, the extremes INT32_MIN and INT32_MAX, all zero, and single nonzero
// lines. A mismatch names the kernel, the path, the arguments, the input and the first
// word that differs.
#include "dsp.h"
#include "imdct_window.h"
#include "mp3instance.h"
#include "stages.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using mp3::tDspKernels;
using tWords = std::vector<int32_t>;

// The factors the decoder hands the kernels: requantisation's 2^(r/4) in Q30, and 1/sqrt(2)
// in Q31 for mid/side.
constexpr std::array<int32_t, 4> kQuarterSteps = {0x40000000, 0x4C1BF829, 0x5A82799A, 0x6BA27E65};
constexpr int32_t kMidSide = 0x5A82799A;
constexpr std::array<int, 15> kLineCounts = {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 100, 576};
constexpr std::array<int, 14> kSubbandCounts = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 16, 30, 32};
const std::array<const int32_t*, 3> kWindows = {
    mp3::imdct_window_normal.data(), mp3::imdct_window_start.data(), mp3::imdct_window_stop.data()};

// The kernels with the arguments they are tried with, variant v of each.
std::string requant_args(int v) {
    return "n " + std::to_string(kLineCounts[size_t(v / 324)]) + ", k " +
           std::to_string(v / 4 % 81 - 40) + ", f " + std::to_string(kQuarterSteps[v % 4]);
}
void requant(const tDspKernels& k, int v, int32_t* w, int16_t*) {
    k.requant_lines(w, kLineCounts[size_t(v / 324)], kQuarterSteps[size_t(v % 4)], v / 4 % 81 - 40);
}
// The variant of line count kLineCounts[i], k and factor kQuarterSteps[f].
constexpr int requant_variant(int i, int k, int f) {
    return i * 324 + (k + 40) * 4 + f;
}
std::string lines_args(int v) {
    return "n " + std::to_string(kLineCounts[size_t(v)]);
}
void mid_side(const tDspKernels& k, int v, int32_t* w, int16_t*) {
    k.mid_side(w, w + 576, kLineCounts[size_t(v)], kMidSide);
}
std::string count_args(int v) {
    return "n " + std::to_string(v);
}
void alias(const tDspKernels& k, int v, int32_t* w, int16_t*) {
    k.alias_butterflies(w, v, mp3::alias_coef.data());
}
std::string imdct_args(int v) {
    return "n " + std::to_string(kSubbandCounts[size_t(v / 3)]) + ", window " +
           std::to_string(v % 3);
}
void imdct_long(const tDspKernels& k, int v, int32_t* w, int16_t*) {
    k.imdct_long(w, w + 576, kSubbandCounts[size_t(v / 3)], kWindows[size_t(v % 3)]);
}
std::string subbands_args(int v) {
    return "n " + std::to_string(kSubbandCounts[size_t(v)]);
}
void imdct_zero(const tDspKernels& k, int v, int32_t* w, int16_t*) {
    k.imdct_zero(w, w + 576, kSubbandCounts[size_t(v)]);
}
std::string no_args(int) {
    return "";
}
void synth_dct(const tDspKernels& k, int, int32_t* w, int16_t*) {
    k.synth_dct(w);
}
void synth_row0(const tDspKernels& k, int, int32_t* w, int16_t* pcm) {
    k.synth_row0(w, pcm);
}
std::string ring_args(int v) {
    return "p " + std::to_string(2 * v);
}
void synth_rows(const tDspKernels& k, int v, int32_t* w, int16_t* pcm) {
    k.synth_rows(reinterpret_cast<int32_t(*)[32]>(w), 2 * v, pcm);
}

// An array a kernel reads or writes.
struct Part {
    const char* name;
    int words;
};

// A kernel's case: its input words (the arrays `parts`, one after the other), run in place
// with every variant of its arguments (the single-line inputs with the variants `singles`
// only); the PCM a kernel writes (pcm samples, each preset so that a stray write shows) is
// compared too.
struct KernelCase {
    const char* kernel;
    std::vector<Part> parts;
    int pcm;
    int variants;
    std::vector<int> singles;
    std::string (*args)(int v);
    void (*run)(const tDspKernels& k, int v, int32_t* w, int16_t* pcm);
};

const std::vector<int> kEveryRing = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const std::vector<int> kRequantSingles = {requant_variant(14, -31, 0), requant_variant(14, -3, 1),
                                          requant_variant(14, 5, 2), requant_variant(14, 30, 3)};
const KernelCase kCases[] = {
    // clang-format off
    {"requant_lines", {{"x", 576}}, 0, 15 * 81 * 4, kRequantSingles, requant_args, requant},
    {"mid_side", {{"l", 576}, {"r", 576}}, 0, 15, {14}, lines_args, mid_side},
    {"alias_butterflies", {{"xr", 576}}, 0, 32, {31}, count_args, alias},
    {"imdct_long", {{"x", 576}, {"ov", 576}}, 0, 14 * 3, {39, 40, 41}, imdct_args, imdct_long},
    {"imdct_zero", {{"x", 576}, {"ov", 576}}, 0, 14, {13}, subbands_args, imdct_zero},
    {"synth_dct", {{"x", 576}}, 0, 1, {0}, no_args, synth_dct},
    {"synth_row0", {{"h", 32}}, 32, 1, {0}, no_args, synth_row0},
    {"synth_rows", {{"buf", 16 * 32}}, 32, 16, kEveryRing, ring_args, synth_rows},
    // clang-format on
};
static_assert(kLineCounts.size() == 15 && kSubbandCounts.size() == 14);

int input_words(const KernelCase& c) {
    int n = 0;
    for (const Part& p : c.parts)
        n += p.words;
    return n;
}

// Where a and b first differ, as array[index]; empty when they agree.
std::string first_difference(const KernelCase& c, const tWords& a, const tWords& b) {
    size_t i = 0;
    while (i < a.size() && a[i] == b[i])
        ++i;
    if (i == a.size()) return "";
    int at = int(i);
    std::string where = "pcm";
    for (const Part& p : c.parts) {
        if (at < p.words) {
            where = p.name;
            break;
        }
        at -= p.words;
    }
    return where + "[" + std::to_string(at) + "] is " + std::to_string(b[i]) +
           ", the portable kernel gives " + std::to_string(a[i]);
}

// The inputs: each fills `words` words.
struct Input {
    std::string name;
    tWords words;
};

std::vector<Input> inputs(int words) {
    std::mt19937 rng(20261209);
    auto fill = [&](auto word) {
        tWords w(size_t(words), 0);
        for (int i = 0; i < words; ++i)
            w[size_t(i)] = word(i);
        return w;
    };
    std::vector<Input> in = {
        {"random words", fill([&](int) { return int32_t(rng()); })},
        {"random values below 2^20",
         fill([&](int) { return int32_t(rng() % (1u << 21)) - (1 << 20); })},
        {"INT32_MIN and INT32_MAX at random",
         fill([&](int) { return (rng() & 1) ? INT32_MIN : INT32_MAX; })},
        {"all INT32_MIN", fill([](int) { return INT32_MIN; })},
        {"all INT32_MAX", fill([](int) { return INT32_MAX; })},
        {"all zero", fill([](int) { return 0; })},
    };
    // One nonzero line at each place (a sparse set for the larger inputs), at both extremes
    // in turn.
    const int step = words <= 576 ? 1 : 7;
    for (int at = 0; at < words; at += step)
        in.push_back({"single line " + std::to_string(at), fill([&](int i) {
                          return i != at ? 0 : (at & 1) ? INT32_MIN : INT32_MAX;
                      })});
    return in;
}

tWords run_case(const KernelCase& c, const tDspKernels& k, int v, const tWords& input) {
    tWords w = input;
    std::vector<int16_t> pcm(size_t(c.pcm), int16_t(0x5A5A));
    c.run(k, v, w.data(), pcm.data());
    w.insert(w.end(), pcm.begin(), pcm.end());
    return w;
}

TEST(Kernels, EveryFastKernelGivesThePortableWords) {
    const tDspKernels& portable = mp3::dsp_kernels(mp3::DSP_PORTABLE);
    int paths = 0;
    for (mp3::tDspPath path : {mp3::DSP_SSE41, mp3::DSP_AVX2, mp3::DSP_NEON, mp3::DSP_ARMV5E}) {
        if (!mp3::dsp_available(path)) continue;
        ++paths;
        const tDspKernels& fast = mp3::dsp_kernels(path);
        for (const KernelCase& c : kCases) {
            int mismatches = 0;
            for (const Input& in : inputs(input_words(c))) {
                const bool single = in.name.rfind("single", 0) == 0;
                const int variants = single ? int(c.singles.size()) : c.variants;
                for (int v = 0; v < variants && mismatches < 3; ++v) {
                    const int arg = single ? c.singles[size_t(v)] : v;
                    const tWords want = run_case(c, portable, arg, in.words);
                    const tWords got = run_case(c, fast, arg, in.words);
                    const std::string diff = first_difference(c, want, got);
                    if (diff.empty()) continue;
                    ++mismatches;
                    ADD_FAILURE() << c.kernel << " on " << mp3::dsp_name(path) << " ("
                                  << c.args(arg) << "), input " << in.name << ": " << diff;
                }
            }
        }
    }
    if (paths == 0) GTEST_SKIP() << "no fast path on this processor";
}

// The path an instance decodes with: the fastest after MP3InitInstance, or the one chosen;
// the portable kernels for a path this processor cannot run and for a value that is no
// path (the instance is the caller's memory).
TEST(Kernels, InstanceCarriesItsPath) {
    const Instance inst = new_instance();
    EXPECT_EQ(inst->dsp_path, mp3::dsp_best());
    EXPECT_EQ(&mp3::dsp_kernels(inst.get()), &mp3::dsp_kernels(mp3::dsp_best()));
    const tDspKernels* portable = &mp3::dsp_kernels(mp3::DSP_PORTABLE);
    for (mp3::tDspPath path :
         {mp3::DSP_PORTABLE, mp3::DSP_SSE41, mp3::DSP_AVX2, mp3::DSP_NEON, mp3::DSP_ARMV5E}) {
        SCOPED_TRACE(mp3::dsp_name(path));
        const bool runs = mp3::dsp_available(path);
        EXPECT_EQ(mp3::dsp_select(inst.get(), path), runs ? path : mp3::DSP_PORTABLE);
        EXPECT_EQ(&mp3::dsp_kernels(inst.get()), runs ? &mp3::dsp_kernels(path) : portable);
    }
    for (int junk : {int(mp3::DSP_PATHS), 0x7F, 0xFF}) {
        inst->dsp_path = uint8_t(junk);
        EXPECT_EQ(&mp3::dsp_kernels(inst.get()), portable) << junk;
    }
    EXPECT_EQ(&mp3::dsp_kernels(-1), portable);
}

} // namespace
