// The kernel tables of the paths, and the choice among them: the one place that knows
// which paths a build has.
#include "dsp.h"

#include <array>
#include <initializer_list>

#if defined(VEXA_SIMD_NEON) && !defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace mp3 {

namespace {

constexpr tDspKernels portable_kernels = {
    2,
    requant_lines_portable,
    mid_side_portable,
    alias_butterflies_portable,
    imdct_long_portable,
    imdct_zero_portable,
    synth_dct_portable,
    synth_row0_portable,
    synth_rows_portable,
};

// The kernels of each path, by tDspPath; the portable ones stand in for a path this
// build does not have.
#if defined(VEXA_SIMD_X86)
constexpr tDspKernels sse41_kernels = {
    4,
    requant_lines_sse41,
    mid_side_sse41,
    alias_butterflies_sse41,
    imdct_long_sse41,
    imdct_zero_sse41,
    synth_dct_sse41,
    synth_row0_portable,
    synth_rows_sse41,
};
constexpr tDspKernels avx2_kernels = {
    4,
    requant_lines_avx2,
    mid_side_avx2,
    alias_butterflies_avx2,
    imdct_long_avx2,
    imdct_zero_sse41,
    synth_dct_avx2,
    synth_row0_avx2,
    synth_rows_avx2,
};
constexpr std::array<const tDspKernels*, DSP_PATHS> path_kernels = {
    &portable_kernels, &sse41_kernels, &avx2_kernels, &portable_kernels, &portable_kernels};
#elif defined(VEXA_SIMD_NEON) || defined(VEXA_SIMD_ARM)
#if defined(VEXA_DSP_ARMV5E)
constexpr tDspKernels armv5e_kernels = {
    2,
    requant_lines_armv5e,
    mid_side_armv5e,
    alias_butterflies_portable,
    imdct_long_armv5e,
    imdct_zero_portable,
    synth_dct_portable,
    synth_row0_armv5e,
    synth_rows_armv5e,
};
#else
constexpr const tDspKernels& armv5e_kernels = portable_kernels;
#endif
#if defined(VEXA_SIMD_NEON)
constexpr tDspKernels neon_kernels = {
    4,
    requant_lines_neon,
    mid_side_neon,
    alias_butterflies_neon,
    imdct_long_neon,
    imdct_zero_neon,
    synth_dct_neon,
    synth_row0_neon,
    synth_rows_neon,
};
#else
constexpr const tDspKernels& neon_kernels = portable_kernels;
#endif
constexpr std::array<const tDspKernels*, DSP_PATHS> path_kernels = {
    &portable_kernels, &portable_kernels, &portable_kernels, &neon_kernels, &armv5e_kernels};
#else
constexpr std::array<const tDspKernels*, DSP_PATHS> path_kernels = {
    &portable_kernels, &portable_kernels, &portable_kernels, &portable_kernels, &portable_kernels};
#endif

// The IMDCT skips the all-zero top of a granule in whole groups (imdct.cpp).
constexpr bool groups_fit(const std::array<const tDspKernels*, DSP_PATHS>& paths) {
    for (const tDspKernels* k : paths)
        if (k->imdct_group != 2 && k->imdct_group != 4) return false;
    return true;
}
static_assert(groups_fit(path_kernels));

bool processor_runs(tDspPath path) {
    switch (path) {
    case DSP_PORTABLE:
        return true;
#if defined(VEXA_SIMD_X86)
    case DSP_SSE41:
        __builtin_cpu_init(); // this may run before the library's own start-up code
        return __builtin_cpu_supports("sse4.1");
    case DSP_AVX2:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
#endif
#if defined(VEXA_DSP_ARMV5E)
    case DSP_ARMV5E:
        return true;
#endif
#if defined(VEXA_SIMD_NEON)
    case DSP_NEON:
#if defined(__aarch64__)
        return true;
#else
        return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0;
#endif
#endif
    default:
        return false;
    }
}

// Which paths this processor runs, and the fastest, asked once when the library loads.
// Until then (a static initialiser elsewhere) every path reads as not run: the portable
// kernels stand in.
struct tRunnable {
    std::array<bool, DSP_PATHS> runs;
    tDspPath best;
};

tRunnable find_runnable() {
    tRunnable r{};
    for (int p = 0; p < DSP_PATHS; ++p)
        r.runs[size_t(p)] = processor_runs(tDspPath(p));
    r.best = DSP_PORTABLE;
    for (tDspPath p : {DSP_AVX2, DSP_SSE41, DSP_NEON, DSP_ARMV5E})
        if (r.runs[size_t(p)]) {
            r.best = p;
            break;
        }
    return r;
}

const tRunnable runnable = find_runnable();

} // namespace

bool dsp_available(tDspPath path) {
    return path >= 0 && path < DSP_PATHS && processor_runs(path);
}

tDspPath dsp_best() {
    return runnable.best;
}

const tDspKernels& dsp_kernels(int32_t path) {
    const bool runs = path >= 0 && path < DSP_PATHS && runnable.runs[size_t(path)];
    return *path_kernels[runs ? size_t(path) : 0];
}

const tDspKernels& dsp_kernels(const tMPEGInstance* inst) {
    return dsp_kernels(inst->dsp_path);
}

tDspPath dsp_select(tMPEGInstance* inst, tDspPath path) {
    const tDspPath taken = dsp_available(path) ? path : DSP_PORTABLE;
    inst->dsp_path = static_cast<uint8_t>(taken);
    return taken;
}

const char* dsp_name(tDspPath path) {
    switch (path) {
    case DSP_SSE41:
        return "SSE4.1";
    case DSP_AVX2:
        return "AVX2";
    case DSP_NEON:
        return "NEON";
    case DSP_ARMV5E:
        return "ARMv5E";
    default:
        return "portable";
    }
}

} // namespace mp3
