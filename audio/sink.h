// The ALSA PCM the audio output writes to when it has no OSS device. Internal to audio/:
// audio.cpp converts and holds the blocks, this hands their bytes to ALSA. Built from
// alsa.cpp when the player is linked with libasound, else from alsa_none.cpp, whose open
// refuses every name.
#pragma once

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <span>
#include <sys/types.h>

// 1 when the player is built with ALSA.
int alsa_built_in();

// The errors (errno values) that mean a device or PCM is not there at all, as opposed to
// one that is there and refuses.
constexpr bool device_missing(int err) {
    return err == ENOENT || err == ENODEV || err == ENXIO;
}

// Opens PCM `name` non-blocking for 16-bit little-endian stereo at the output rate with
// about half a second of buffer. 0 on success; else the one line "ALSA <name>: <reason>"
// has been printed to standard error, unless `quiet_missing` is set and the reason is
// that there is no such PCM or card (errno then says which), and 1 is returned.
int alsa_open(const char* name, int quiet_missing);
// 1 when a PCM is open.
int alsa_is_open();
// Hands `count` bytes (whole frames) to the PCM without waiting. Returns the bytes taken,
// or -1 with errno set: EAGAIN when it has no room, anything else when it has failed for
// good. An underrun is recovered on the way and counted.
ssize_t alsa_write(const uint8_t* bytes, int32_t count);
// The PCM's descriptors for poll, with the events to wait for; returns how many were
// filled (at most fds.size()).
int alsa_poll_fds(std::span<pollfd> fds);
// After poll on those descriptors: 1 when the PCM can take more.
int alsa_poll_room(std::span<pollfd> fds);
// Drops what is queued, at once; safe from a signal handler (it does nothing when the
// signal came in the middle of another call on the PCM: the exit that follows closes the
// PCM, and closing drops).
void alsa_drop();
// Plays out what is queued, then returns; -1 after printing the error line.
int alsa_drain();
// Closes the PCM; from a signal handler, as alsa_drop.
int alsa_close();
// Underruns recovered since the PCM was opened.
long alsa_underruns();
