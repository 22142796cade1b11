// The player built without libasound: no ALSA PCM can be opened.
#include "sink.h"

#include <cerrno>
#include <cstdio>

int alsa_built_in() {
    return 0;
}

int alsa_open(const char* name, int quiet_missing) {
    errno = ENODEV;
    if (!quiet_missing) std::fprintf(stderr, "ALSA %s: not built into this player\n", name);
    return 1;
}

int alsa_is_open() {
    return 0;
}

ssize_t alsa_write(const uint8_t*, int32_t) {
    errno = EBADF;
    return -1;
}

int alsa_poll_fds(std::span<pollfd>) {
    return 0;
}

int alsa_poll_room(std::span<pollfd>) {
    return 0;
}

void alsa_drop() {}

int alsa_drain() {
    return 0;
}

int alsa_close() {
    return 0;
}

long alsa_underruns() {
    return 0;
}
