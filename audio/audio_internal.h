// The audio output's own record of a converted block, and the calls that let its tests
// look at a conversion and stand a file in for the device. For audio/ and the tests; the
// player uses audio.h only.
#pragma once

#include "audio.h"

#include <array>
#include <cstdint>

constexpr int AUDIO_OUT_MAX = 6350;    // samples per channel of one converted block
constexpr int AUDIO_OUT_BYTES = 25400; // one converted block, interleaved
static_assert(AUDIO_OUT_BYTES == 4 * AUDIO_OUT_MAX);

// One converted block: both channels at the output rate, then interleaved as the device
// gets them (for sample k, bytes 4k..4k+3 are left then right, each little-endian).
struct tAudioBlock {
    std::array<int16_t, AUDIO_OUT_MAX> outLeft;
    std::array<int16_t, AUDIO_OUT_MAX> outRight;
    std::array<uint8_t, AUDIO_OUT_BYTES> outBuffer;
    int32_t outSamples; // samples per channel in the block
};
static_assert(sizeof(tAudioBlock::outBuffer) ==
              sizeof(tAudioBlock::outLeft) + sizeof(tAudioBlock::outRight));

// The block audio_write converted last.
const tAudioBlock& audio_block();

// The device's descriptor; -1 while none is open (always in silent mode).
int audio_device();
// Writes to `fd`, an open file, as to the device, without asking it for a mode: a file
// standing in for the device. -1 leaves the module without one.
void audio_attach(int fd);

// Restarts the conversion state (previous samples, 8000 Hz group counter, rate converter),
// as at program start.
void audio_conversion_reset();
