// Choice of the fast paths.
#include "dsp.h"

#include <initializer_list>

#if defined(VEXA_SIMD_NEON) && !defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace mp3 {

namespace {

// The path a test or benchmark asked for; -1: the best one. The only variable of the
// library: it picks code, never changes a result.
int32_t chosen_path = -1;

} // namespace

bool dsp_available(tDspPath path) {
    switch (path) {
    case DSP_PORTABLE:
        return true;
#if defined(VEXA_SIMD_X86)
    case DSP_SSE41:
        return __builtin_cpu_supports("sse4.1");
    case DSP_AVX2:
        return __builtin_cpu_supports("avx2");
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

namespace {

tDspPath find_best() {
#if defined(VEXA_SIMD_X86)
    __builtin_cpu_init(); // this may run before the library's own start-up code
#endif
    for (tDspPath p : {DSP_AVX2, DSP_SSE41, DSP_NEON})
        if (dsp_available(p)) return p;
    return DSP_PORTABLE;
}

// Asked for at every stage of every granule, so the processor is asked once, when the
// library loads.
const tDspPath best_path = find_best();

} // namespace

tDspPath dsp_best() {
    return best_path;
}

tDspPath dsp_path() {
    if (chosen_path < 0) return dsp_best();
    return static_cast<tDspPath>(chosen_path);
}

void dsp_use(tDspPath path) {
    chosen_path = dsp_available(path) ? path : DSP_PORTABLE;
}

const char* dsp_name(tDspPath path) {
    switch (path) {
    case DSP_SSE41:
        return "SSE4.1";
    case DSP_AVX2:
        return "AVX2";
    case DSP_NEON:
        return "NEON";
    default:
        return "portable";
    }
}

} // namespace mp3
