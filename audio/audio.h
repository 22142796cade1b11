// Audio output: the OSS device and the conversion of decoded blocks to
// interleaved 16-bit little-endian stereo at 44100 Hz.
#pragma once

#include <cstdint>

constexpr int AUDIO_OUT_RATE = 44100;
constexpr int AUDIO_OUT_MAX = 6350;    // samples per channel of one converted block
constexpr int AUDIO_OUT_BYTES = 25400; // one converted block, interleaved
static_assert(AUDIO_OUT_BYTES == 4 * AUDIO_OUT_MAX);

// Device. Each returns 0 on success unless said otherwise.
int audio_open();  // 1 when the device cannot be opened or set to the output mode
int audio_reset(); // drops what the device has queued
int audio_sync();  // waits for the queue to drain; -1 on failure
int audio_close(); // close()'s result; the descriptor is forgotten

// 1 when audio_write can bring blocks at `rate` Hz to the output rate.
int audio_rate_supported(int rate);

// Converts one block (`samples` per channel at `rate` Hz) and writes it to the device
// (and to output_file). The device is non-blocking: when it has no room for the whole
// block, what it took stays taken and the call returns 0; the caller keeps the block and
// calls again with it (it is not converted again) once poll says the device has room.
// Returns AUDIO_WRITE_FAILED when the device has failed for good (the error is printed;
// nothing more can be played); 1 when the whole block has been taken, and in silent mode.
// A failing write to output_file is printed once and ends the copy, not the play.
constexpr int AUDIO_WRITE_FAILED = -1;
int audio_write(const int16_t* left, const int16_t* right, int samples, int rate, int retry);

// Flushes and closes output_file. Returns 1 when any write to it has failed, else 0.
int audio_finish_copy();

// Restarts the conversion state (previous samples, 8000 Hz group counter, rate converter),
// as at program start.
void audio_conversion_reset();

// Module state, read by tests and by the signal path.
extern int audio_fd;
extern int16_t outLeft[AUDIO_OUT_MAX];
extern int16_t outRight[AUDIO_OUT_MAX];
extern int outSamples;
extern uint8_t outBuffer[AUDIO_OUT_BYTES];
