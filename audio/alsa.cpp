// The ALSA PCM behind the audio output: the same bytes as the OSS device gets, handed to
// snd_pcm_writei without waiting, the play loop waiting for room in poll.
#include "sink.h"

#include "audio.h"
#include "settings.h"

#include <alsa/asoundlib.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>

namespace {

// About half a second of sound queued in the PCM, as on the OSS device.
constexpr unsigned ALSA_LATENCY_US = 500000;
constexpr int ALSA_FRAME_BYTES = 4; // 16-bit stereo

struct tAlsaOutput {
    snd_pcm_t* pcm;
    const char* name;
    long underruns;
    // Set while a call on the PCM runs, so that the signal handler, which may interrupt
    // it, leaves the PCM alone (the library keeps locks and state inside its calls).
    volatile sig_atomic_t busy;
};

tAlsaOutput alsa = {nullptr, "", 0, 0};

// The library's own messages (file, line and function of the library) are diagnostics:
// at debug level 1 they go to standard output; the player prints its one line of error.
void library_message(const char* file, int line, const char* function, int err, const char* fmt,
                     ...) {
    if (debug < 1) return;
    std::printf("ALSA lib %s:%d:(%s) ", file, line, function);
    va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    if (err != 0) std::printf(": %s", snd_strerror(err));
    std::printf("\n");
}

void report(int err) {
    std::fprintf(stderr, "ALSA %s: %s\n", alsa.name, snd_strerror(err));
}

} // namespace

int alsa_built_in() {
    return 1;
}

int alsa_open(const char* name, int quiet_missing) {
    snd_lib_error_set_handler(library_message);
    alsa.name = name;
    alsa.underruns = 0;
    int err = snd_pcm_open(&alsa.pcm, name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err == 0)
        err = snd_pcm_set_params(alsa.pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2,
                                 AUDIO_OUT_RATE, 1, ALSA_LATENCY_US);
    if (err < 0) {
        if (alsa.pcm != nullptr) snd_pcm_close(alsa.pcm);
        alsa.pcm = nullptr;
        if (!(quiet_missing && device_missing(-err))) report(err);
        errno = -err;
        return 1;
    }
    if (debug > 0) {
        snd_pcm_uframes_t buffer = 0;
        snd_pcm_uframes_t period = 0;
        snd_pcm_get_params(alsa.pcm, &buffer, &period);
        std::printf("audio: ALSA %s, %lu frames of buffer (%lu ms) in periods of %lu\n", name,
                    static_cast<unsigned long>(buffer),
                    static_cast<unsigned long>(buffer * 1000 / AUDIO_OUT_RATE),
                    static_cast<unsigned long>(period));
    }
    return 0;
}

int alsa_is_open() {
    return alsa.pcm != nullptr;
}

ssize_t alsa_write(const uint8_t* bytes, int32_t count) {
    const auto frames = static_cast<snd_pcm_uframes_t>(count / ALSA_FRAME_BYTES);
    // One more try after a recovered underrun; a second one in a row waits for poll.
    for (int attempt = 0; attempt < 2; attempt++) {
        alsa.busy = 1;
        snd_pcm_sframes_t n = snd_pcm_writei(alsa.pcm, bytes, frames);
        alsa.busy = 0;
        if (n >= 0) return static_cast<ssize_t>(n) * ALSA_FRAME_BYTES;
        if (n == -EAGAIN) break;
        if (n == -EINTR) continue;
        if (n == -EPIPE) {
            alsa.underruns++;
            if (debug > 0) std::printf("ALSA %s: underrun %ld\n", alsa.name, alsa.underruns);
        }
        if (n == -EPIPE || n == -ESTRPIPE) {
            alsa.busy = 1;
            n = snd_pcm_recover(alsa.pcm, static_cast<int>(n), 1);
            alsa.busy = 0;
            if (n == 0) continue;
        }
        report(static_cast<int>(n));
        errno = static_cast<int>(-n);
        return -1;
    }
    errno = EAGAIN;
    return -1;
}

int alsa_poll_fds(std::span<pollfd> fds) {
    if (alsa.pcm == nullptr) return 0;
    alsa.busy = 1;
    const int n = snd_pcm_poll_descriptors(alsa.pcm, fds.data(), static_cast<unsigned>(fds.size()));
    alsa.busy = 0;
    return n > 0 ? n : 0;
}

int alsa_poll_room(std::span<pollfd> fds) {
    unsigned short revents = 0;
    alsa.busy = 1;
    const int err = snd_pcm_poll_descriptors_revents(alsa.pcm, fds.data(),
                                                     static_cast<unsigned>(fds.size()), &revents);
    alsa.busy = 0;
    // An error state is "room" too: the next write finds it and recovers or reports.
    return err < 0 || (revents & (POLLOUT | POLLERR)) != 0;
}

void alsa_drop() {
    if (alsa.pcm != nullptr && !alsa.busy) snd_pcm_drop(alsa.pcm);
}

int alsa_drain() {
    if (alsa.pcm == nullptr) return 0;
    alsa.busy = 1;
    snd_pcm_nonblock(alsa.pcm, 0);
    const int err = snd_pcm_drain(alsa.pcm);
    alsa.busy = 0;
    if (debug > 0 && alsa.underruns > 0)
        std::printf("ALSA %s: %ld underruns\n", alsa.name, alsa.underruns);
    // An underrun at the very end has played everything.
    if (err < 0 && err != -EPIPE) {
        report(err);
        return -1;
    }
    return 0;
}

int alsa_close() {
    // From a signal handler that interrupted a call on the PCM, the exit that follows
    // closes it.
    if (alsa.pcm == nullptr || alsa.busy) return 0;
    alsa.busy = 1;
    const int err = snd_pcm_close(alsa.pcm);
    alsa.pcm = nullptr;
    alsa.busy = 0;
    return err;
}

long alsa_underruns() {
    return alsa.underruns;
}
