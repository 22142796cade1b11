// x86-64 fast paths (SSE4.1, AVX2): the portable kernels' products and sums, four or two
// 64-bit lanes at a time. Each function carries its own target, so nothing here runs on
// a processor that lacks the instructions unless the dispatch chose it.
#include "dsp.h"
#include "synth_window.h"

#if defined(VEXA_SIMD_X86)

#include <immintrin.h>

namespace mp3 {

namespace {

constexpr const int32_t* synth_row_window(int j) {
    return synth_window.data() + SYNTH_ROW0_WORDS + SYNTH_ROW_WORDS * (j - 1);
}

} // namespace

// Per history row: four columns per register; columns 4t + 1 and 4t + 2 moved to the
// even lanes (what the signed 32 x 32 -> 64 multiply reads), against both window rows.
// The loaded row is stored back two columns on.
__attribute__((target("sse4.1"))) void synth_rows_sse41(int32_t (*buf)[32], int16_t* out) {
    for (int j = 1; j < 16; ++j) {
        int32_t* h = buf[j];
        const int32_t* lo_w = synth_row_window(j);
        const int32_t* up_w = lo_w + SYNTH_ROW_WORDS / 2;
        __m128i r[8];
        for (int t = 0; t < 8; ++t)
            r[t] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4 * t));
        __m128i lo = _mm_setzero_si128(), up = _mm_setzero_si128();
        for (int t = 0; t < 8; ++t) {
            const __m128i v = _mm_shuffle_epi32(r[t], _MM_SHUFFLE(3, 2, 0, 1));
            const __m128i wl =
                _mm_cvtepi32_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(lo_w + 2 * t)));
            const __m128i wu =
                _mm_cvtepi32_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(up_w + 2 * t)));
            lo = _mm_add_epi64(lo, _mm_mul_epi32(v, wl));
            up = _mm_add_epi64(up, _mm_mul_epi32(v, wu));
        }
        for (int t = 0; t < 7; ++t)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4 * t + 2), r[t]);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(h + 30), r[7]);
        const __m128i s = _mm_add_epi64(_mm_unpacklo_epi64(lo, up), _mm_unpackhi_epi64(lo, up));
        out[j] = synth_pcm(_mm_cvtsi128_si64(s));
        out[32 - j] = synth_pcm(_mm_extract_epi64(s, 1));
    }
}

// Eight columns per register: 8q + 1, 8q + 2, 8q + 5, 8q + 6 moved to the even lanes.
__attribute__((target("avx2"))) void synth_rows_avx2(int32_t (*buf)[32], int16_t* out) {
    const __m256i pick = _mm256_setr_epi32(1, 1, 2, 2, 5, 5, 6, 6);
    for (int j = 1; j < 16; ++j) {
        int32_t* h = buf[j];
        const int32_t* lo_w = synth_row_window(j);
        const int32_t* up_w = lo_w + SYNTH_ROW_WORDS / 2;
        __m256i r[4];
        for (int q = 0; q < 4; ++q)
            r[q] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + 8 * q));
        __m256i lo = _mm256_setzero_si256(), up = _mm256_setzero_si256();
        for (int q = 0; q < 4; ++q) {
            const __m256i v = _mm256_permutevar8x32_epi32(r[q], pick);
            const __m256i wl = _mm256_cvtepi32_epi64(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo_w + 4 * q)));
            const __m256i wu = _mm256_cvtepi32_epi64(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(up_w + 4 * q)));
            lo = _mm256_add_epi64(lo, _mm256_mul_epi32(v, wl));
            up = _mm256_add_epi64(up, _mm256_mul_epi32(v, wu));
        }
        for (int q = 0; q < 3; ++q)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(h + 8 * q + 2), r[q]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 26), _mm256_castsi256_si128(r[3]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(h + 30), _mm256_extracti128_si256(r[3], 1));
        const __m256i p =
            _mm256_add_epi64(_mm256_unpacklo_epi64(lo, up), _mm256_unpackhi_epi64(lo, up));
        const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(p), _mm256_extracti128_si256(p, 1));
        out[j] = synth_pcm(_mm_cvtsi128_si64(s));
        out[32 - j] = synth_pcm(_mm_extract_epi64(s, 1));
    }
}

} // namespace mp3

#endif
