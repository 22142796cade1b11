// MPEG test streams: the ISO Layer III conformance streams in tests/vectors with the
// bar a decoded stream must clear against its reference output, and files made with lame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ConformanceVector {
    const char* name;  // <name>.bit and its reference <name>.pcm
    int frame_samples; // per channel
    int channels;      // of the widest frame
};
extern const std::array<ConformanceVector, 16> conformance_vectors;

// The folder of the streams, and whether they are there.
std::string vector_dir();
bool have_vectors();

// A decoded stream against its reference: no sample more than one step off, at least
// 96 dB PSNR.
constexpr int CONFORMANCE_MAX_DIFF = 1;
constexpr double CONFORMANCE_PSNR_DB = 96.0;
struct PcmComparison {
    size_t samples; // of the reference
    double rms;
    int max_diff;
    double psnr;
};
// A sample missing from `got` counts as silence.
PcmComparison compare_pcm(const std::vector<int16_t>& got, const std::vector<int16_t>& ref);

// A sound that keeps an encoder busy: three tones gliding in pitch, a beat in loudness and
// bursts of noise from a fixed seed. Interleaved when stereo.
std::vector<int16_t> test_sound(int rate, int channels, double seconds, uint32_t seed);

// lame, used to make test files; tests that need it are skipped without it.
bool have_lame();
#define REQUIRE_LAME()                                                                             \
    if (!have_lame()) GTEST_SKIP() << "lame is needed to make the test files"
// Encodes the interleaved samples to `mp3` with lame and the given options; a failure
// fails the current test.
void lame_encode(const std::string& mp3, int rate, int channels,
                 const std::vector<int16_t>& samples, const std::vector<std::string>& options);
