// Audio output: the OSS device or an ALSA PCM, and the conversion of decoded blocks to
// interleaved 16-bit little-endian stereo at 44100 Hz.
#pragma once

#include <cstdint>
#include <cstdio>
#include <poll.h>
#include <span>

constexpr int AUDIO_OUT_RATE = 44100;

// What the player's options ask of the output. The player hands them over once, before the
// device is opened; the module reads no option itself.
struct tAudioConfig {
    int32_t silent;               // no device: nothing is opened, and nothing written anywhere
    int32_t swap_channels;        // left and right change places before conversion
    std::FILE* output_file;       // every byte the device takes is also appended here, or null;
                                  // from here on the module owns it (audio_finish_copy closes it)
    const char* output_name;      // the name output_file was opened under, for messages
    const char* device = nullptr; // the device asked for: a path is an OSS device, any other name
                                  // an ALSA PCM; null for "/dev/dsp", or ALSA's default PCM when
                                  // there is no such device
};
void audio_configure(const tAudioConfig& config);

// Device. Each returns 0 on success unless said otherwise.
int audio_open();  // 1 when the device cannot be opened or set to the output mode
int audio_reset(); // drops what the device has queued
int audio_sync();  // waits for the queue to drain; -1 on failure
int audio_close(); // close()'s result; the descriptor is forgotten

// The descriptors to poll for room in the device, with the events to wait for: the OSS
// device's own, or the ALSA PCM's. Returns how many were filled (at most AUDIO_POLL_MAX);
// 0 while no device is open.
constexpr int AUDIO_POLL_MAX = 4;
int audio_poll_fds(std::span<pollfd> fds);
// After poll on the descriptors audio_poll_fds gave: 1 when the device can take more.
// Every wait on them ends with this call (an ALSA plugin may need to see the events).
int audio_poll_room(std::span<pollfd> fds);

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
