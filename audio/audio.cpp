#include "audio.h"

#include "audio_internal.h"
#include "resample.h"
#include "settings.h"
#include "sink.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/soundcard.h>
#include <unistd.h>

namespace {

// Conversion state carried from block to block, one per channel.
struct tChannelState {
    int16_t prev;        // last input sample (scaled on the 8000 Hz path)
    int16_t before_prev; // the one before it (8000 Hz path only)
};

// Everything the module keeps, for the whole run. Only the functions of this file touch
// it; the signal path reaches it through audio_reset and audio_close.
struct tAudioOutput {
    tAudioConfig config = {0, 0, nullptr, "", nullptr}; // from the player's options
    int32_t audio_fd = -1;                   // the OSS device once opened, else -1 (also with ALSA)
    const char* oss_path = "/dev/dsp";       // the OSS device's path, for messages
    int32_t copy_failed;                     // a write to config.output_file has failed
    tAudioBlock block;                       // the converted block
    std::array<tChannelState, 2> chan_state; // left, right
    int64_t input_counter;                   // inputs converted on the 8000 Hz path since start
    // The converted block being handed to the device, and how much of it the device
    // took. A device that has no room takes part of a block or none of it; the rest goes
    // out on the next call, so a block is converted once however often it is offered.
    int32_t block_held;
    int32_t block_bytes;
    int32_t block_sent;
};

tAudioOutput output;

// ---- device mode -----------------------------------------------------------

// Asks the device for one mode setting; returns its answer or -1 after perror.
int request_mode(unsigned long request, const char* name, int value) {
    int arg = value;
    if (ioctl(output.audio_fd, request, &arg) < 0) {
        std::perror(name);
        return -1;
    }
    return arg;
}

// 16-bit little-endian, two channels, 44100 Hz, whatever mode the device starts in.
int set_device_mode() {
    int fmt = request_mode(SNDCTL_DSP_SETFMT, "ioctl SNDCTL_DSP_SETFMT", AFMT_S16_LE);
    if (fmt < 0) return 1;
    if (fmt != AFMT_S16_LE) {
        std::fprintf(stderr, "%s: 16-bit little-endian samples not supported\n", output.oss_path);
        return 1;
    }
    int channels = 0;
    int arg = 2;
    if (ioctl(output.audio_fd, SNDCTL_DSP_CHANNELS, &arg) == 0) {
        channels = arg;
    } else {
        // Older drivers only know the stereo switch.
        int stereo = request_mode(SNDCTL_DSP_STEREO, "ioctl SNDCTL_DSP_STEREO", 1);
        if (stereo < 0) return 1;
        channels = stereo == 1 ? 2 : 1;
    }
    if (channels != 2) {
        std::fprintf(stderr, "%s: stereo output not supported\n", output.oss_path);
        return 1;
    }
    int speed = request_mode(SNDCTL_DSP_SPEED, "ioctl SNDCTL_DSP_SPEED", AUDIO_OUT_RATE);
    if (speed < 0) return 1;
    // Drivers may answer a rate a hair off the one asked for; anything beyond 0.5 %
    // would be audibly wrong.
    if (speed < AUDIO_OUT_RATE - AUDIO_OUT_RATE / 200 ||
        speed > AUDIO_OUT_RATE + AUDIO_OUT_RATE / 200) {
        std::fprintf(stderr, "%s: %d Hz not supported (device offers %d Hz)\n", output.oss_path,
                     AUDIO_OUT_RATE, speed);
        return 1;
    }
    return 0;
}

// ---- conversion ------------------------------------------------------------

int16_t sample16(int32_t v) {
    return static_cast<int16_t>(static_cast<uint16_t>(v));
}

void convert_copy(const int16_t* in, int16_t* out, int samples) {
    std::memcpy(out, in, static_cast<size_t>(samples) * sizeof(int16_t));
}

// 22050 Hz: two outputs per input, the first halfway from the previous input.
void convert_x2(const int16_t* in, int16_t* out, int samples, tChannelState& st) {
    int32_t p = st.prev;
    for (int i = 0; i < samples; i++) {
        int32_t c = in[i];
        out[2 * i] = sample16((p + c) >> 1);
        out[2 * i + 1] = sample16(c);
        p = c;
    }
    st.prev = sample16(p);
}

// 11025 Hz: four outputs per input on the straight line from the previous input.
void convert_x4(const int16_t* in, int16_t* out, int samples, tChannelState& st) {
    int32_t p = st.prev;
    for (int i = 0; i < samples; i++) {
        int32_t c = in[i];
        out[4 * i] = sample16((3 * p + c) >> 2);
        out[4 * i + 1] = sample16((p + c) >> 1);
        out[4 * i + 2] = sample16((p + 3 * c) >> 2);
        out[4 * i + 3] = sample16(c);
        p = c;
    }
    st.prev = sample16(p);
}

int32_t scale_49_50(int32_t c) {
    return sample16((c * 49) / 50);
}

// 8000 Hz: 441 outputs for every 80 inputs. Each input interval is covered by a group
// of 5 or 6 outputs ending on the input: a start point one step along the tangent at
// the previous input, an end point one step back along the tangent at this one, and
// the straight line between them. Inputs are scaled by 49/50 for headroom.
// `group_counter` is the shared input counter; both channels run the same sequence.
int convert_8000(const int16_t* in, int16_t* out, int samples, tChannelState& st,
                 int64_t group_counter) {
    int32_t y1 = st.prev;
    int32_t y2 = st.before_prev;
    int pos = 0;
    for (int i = 0; i < samples; i++) {
        int64_t k = group_counter + i + 1;
        int32_t c = in[i];
        int32_t x = scale_49_50(c);
        int32_t g = ((k & 1) != 0 || k % 80 == 0) ? 6 : 5;

        int32_t m = (x - y2) >> 1;
        int32_t s = y1 + m / g;
        if ((y1 > 0 && m > 0 && (s & 0x8000) != 0) || (y1 < 0 && m < 0 && sample16(s) > 0)) s = y1;

        int32_t next = i + 1 < samples ? scale_49_50(in[i + 1]) : x;
        int32_t d = (next - y1) >> 1;
        int32_t e = x - d / g;
        if ((c > 0 && d < 0 && (e & 0x8000) != 0) || (c < 0 && d > 0 && sample16(e) > 0)) e = c;

        if (g == 6) {
            out[pos++] = sample16(s);
            out[pos++] = sample16((3 * s + e) >> 2);
            out[pos++] = sample16((s + e) >> 1);
            out[pos++] = sample16((s + 3 * e) >> 2);
            out[pos++] = sample16(e);
            out[pos++] = sample16(x);
        } else {
            out[pos++] = sample16(s);
            out[pos++] = sample16((5 * s + 3 * e) >> 3);
            out[pos++] = sample16((3 * s + 5 * e) >> 3);
            out[pos++] = sample16(e);
            out[pos++] = sample16(x);
        }
        y2 = y1;
        y1 = x;
    }
    st.prev = sample16(y1);
    st.before_prev = sample16(y2);
    return pos;
}

// Largest block each path can take without overrunning the output arrays.
int max_input_for(int rate) {
    switch (rate) {
    case 44100:
        return AUDIO_OUT_MAX;
    case 22050:
        return AUDIO_OUT_MAX / 2;
    case 11025:
        return AUDIO_OUT_MAX / 4;
    case 8000:
        return AUDIO_OUT_MAX / 6;
    default:
        return AUDIO_OUT_MAX;
    }
}

void convert(const int16_t* left, const int16_t* right, int samples, int rate) {
    tAudioBlock& b = output.block;
    std::array<tChannelState, 2>& chan_state = output.chan_state;
    if (samples < 0) samples = 0;
    if (samples > max_input_for(rate)) samples = max_input_for(rate);
    switch (rate) {
    case 44100:
        convert_copy(left, b.outLeft.data(), samples);
        convert_copy(right, b.outRight.data(), samples);
        b.outSamples = samples;
        break;
    case 22050:
        convert_x2(left, b.outLeft.data(), samples, chan_state[0]);
        convert_x2(right, b.outRight.data(), samples, chan_state[1]);
        b.outSamples = 2 * samples;
        break;
    case 11025:
        convert_x4(left, b.outLeft.data(), samples, chan_state[0]);
        convert_x4(right, b.outRight.data(), samples, chan_state[1]);
        b.outSamples = 4 * samples;
        break;
    case 8000:
        b.outSamples =
            convert_8000(left, b.outLeft.data(), samples, chan_state[0], output.input_counter);
        convert_8000(right, b.outRight.data(), samples, chan_state[1], output.input_counter);
        output.input_counter += samples;
        break;
    default:
        // Every other rate goes through the band-limited converter; a rate it cannot
        // take produces nothing rather than wrong sound (the player refuses such files).
        b.outSamples = resample_supported(rate)
                           ? resample_block(left, right, samples, rate, b.outLeft.data(),
                                            b.outRight.data(), AUDIO_OUT_MAX)
                           : 0;
        break;
    }
}

void interleave() {
    tAudioBlock& b = output.block;
    for (int k = 0; k < b.outSamples; k++) {
        auto l = static_cast<uint16_t>(b.outLeft[k]);
        auto r = static_cast<uint16_t>(b.outRight[k]);
        b.outBuffer[4 * k] = static_cast<uint8_t>(l & 0xFF);
        b.outBuffer[4 * k + 1] = static_cast<uint8_t>(l >> 8);
        b.outBuffer[4 * k + 2] = static_cast<uint8_t>(r & 0xFF);
        b.outBuffer[4 * k + 3] = static_cast<uint8_t>(r >> 8);
    }
}

// The first failing write to the copy is reported and ends it.
void copy_failure() {
    std::fprintf(stderr, "%s: %s\n", output.config.output_name, std::strerror(errno));
    std::fclose(output.config.output_file);
    output.config.output_file = nullptr;
    output.copy_failed = 1;
}

void copy_out(int32_t offset, int32_t bytes) {
    std::FILE* copy = output.config.output_file;
    if (copy != nullptr && std::fwrite(output.block.outBuffer.data() + offset,
                                       static_cast<size_t>(bytes), 1, copy) != 1)
        copy_failure();
}

int16_t out_word(int i) {
    const tAudioBlock& b = output.block;
    return static_cast<int16_t>(
        static_cast<uint16_t>(b.outBuffer[2 * i] | (b.outBuffer[2 * i + 1] << 8)));
}

// ---- device buffer and writing -------------------------------------------

// About half a second of sound queued in the device, so that a player that is briefly
// descheduled on a busy system is not heard: 11 fragments of 8 KiB (0.51 s).
constexpr int FRAGMENT_SHIFT = 13;
constexpr int FRAGMENT_COUNT = 11;
static_assert(((FRAGMENT_COUNT << FRAGMENT_SHIFT) * 1000) / (4 * AUDIO_OUT_RATE) >= 500);

// Asks for the fragment setup and reads back what the driver granted. A driver that
// refuses keeps its own setup; that is traced, not fatal.
void request_fragments() {
    int arg = (FRAGMENT_COUNT << 16) | FRAGMENT_SHIFT;
    if (ioctl(output.audio_fd, SNDCTL_DSP_SETFRAGMENT, &arg) < 0 && debug > 0)
        std::printf("audio: fragment setup refused (%s)\n", std::strerror(errno));
    audio_buf_info info{};
    if (ioctl(output.audio_fd, SNDCTL_DSP_GETOSPACE, &info) == 0 && debug > 0)
        std::printf(
            "audio: %d fragments of %d bytes (%d ms)\n", info.fragstotal, info.fragsize,
            static_cast<int>((static_cast<int64_t>(info.fragstotal) * info.fragsize * 1000) /
                             (4 * AUDIO_OUT_RATE)));
}

// The play loop never blocks in a device write: a full device answers EAGAIN and the
// loop waits for it in poll, together with the pipe.
void set_nonblocking() {
    int flags = fcntl(output.audio_fd, F_GETFL);
    if (flags < 0 || fcntl(output.audio_fd, F_SETFL, flags | O_NONBLOCK) < 0) std::perror("fcntl");
}

// Hands the rest of the held block to the device in one write, repeated only when a
// signal cut it off before it took anything: a device with little room takes part of the
// block, and the rest waits for poll rather than trailing the device a few bytes at a
// time. Returns the bytes taken, or -1 when the device took nothing (errno says why).
ssize_t write_rest(int retry) {
    tAudioOutput& o = output;
    for (;;) {
        const uint8_t* rest = o.block.outBuffer.data() + o.block_sent;
        const int32_t count = o.block_bytes - o.block_sent;
        ssize_t n = alsa_is_open() ? alsa_write(rest, count)
                                   : write(o.audio_fd, rest, static_cast<size_t>(count));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && retry && errno == EAGAIN) {
            errno = 0;
            sched_yield();
            continue;
        }
        if (n <= 0) return n;
        // The copy gets exactly what the device took, so a block the device takes in
        // pieces appears once in the file.
        copy_out(o.block_sent, static_cast<int32_t>(n));
        o.block_sent += static_cast<int32_t>(n);
        if (o.block_sent == o.block_bytes || !retry) return n;
    }
}

} // namespace

void audio_configure(const tAudioConfig& config) {
    output.config = config;
}

const tAudioBlock& audio_block() {
    return output.block;
}

int audio_device() {
    return output.audio_fd;
}

void audio_attach(int fd) {
    output.audio_fd = fd;
}

namespace {

// With no OSS device at all, ALSA's default PCM plays. `oss_errno` says why the device
// could not be had; a missing PCM too is reported in one line with both reasons.
int open_alsa_default(int oss_errno) {
    if (alsa_open("default", 1) == 0) {
        if (debug > 0)
            std::printf("audio: no /dev/dsp (%s), playing through ALSA default\n",
                        std::strerror(oss_errno));
        return 0;
    }
    if (!alsa_built_in())
        std::fprintf(stderr, "/dev/dsp: %s\n", std::strerror(oss_errno));
    else if (device_missing(errno))
        std::fprintf(stderr, "/dev/dsp: %s; ALSA default: %s\n", std::strerror(oss_errno),
                     std::strerror(errno));
    return 1;
}

} // namespace

int audio_open() {
    if (output.config.silent) return 0;
    const char* device = output.config.device;
    // A name that is not a path is an ALSA PCM's.
    if (device != nullptr && device[0] != '/') return alsa_open(device, 0);
    output.oss_path = device != nullptr ? device : "/dev/dsp";
    output.audio_fd = open(output.oss_path, O_WRONLY);
    if (debug > 0) std::printf("audio_fd = %d\n", output.audio_fd);
    if (output.audio_fd < 0) {
        const int err = errno;
        if (device == nullptr && device_missing(err)) return open_alsa_default(err);
        std::perror(output.oss_path);
        return 1;
    }
    request_fragments();
    if (set_device_mode() != 0) return 1;
    set_nonblocking();
    return 0;
}

int audio_reset() {
    const int fd = output.audio_fd;
    if (output.config.silent) return 0;
    if (alsa_is_open())
        alsa_drop();
    else if (fd < 0)
        return 0;
    else if (ioctl(fd, SNDCTL_DSP_RESET, 0) < 0)
        std::perror("ioctl SNDCTL_DSP_RESET");
    output.block.outLeft.fill(0);
    output.block.outRight.fill(0);
    output.block_held = 0;
    return 0;
}

int audio_sync() {
    const int fd = output.audio_fd;
    if (output.config.silent) return 0;
    if (alsa_is_open()) return alsa_drain();
    if (fd < 0) return 0;
    // Some drivers refuse to wait for the drain on a non-blocking descriptor.
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    int arg = 0;
    if (ioctl(fd, SNDCTL_DSP_SYNC, &arg) < 0) {
        std::perror("ioctl SNDCTL_DSP_SYNC");
        return -1;
    }
    return 0;
}

int audio_close() {
    if (alsa_is_open()) return alsa_close();
    const int r = close(output.audio_fd);
    output.audio_fd = -1;
    return r;
}

int audio_poll_fds(std::span<pollfd> fds) {
    if (alsa_is_open()) return alsa_poll_fds(fds);
    if (output.audio_fd < 0 || fds.empty()) return 0;
    fds[0] = pollfd{output.audio_fd, POLLOUT, 0};
    return 1;
}

int audio_poll_room(std::span<pollfd> fds) {
    if (alsa_is_open()) return alsa_poll_room(fds);
    return !fds.empty() && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
}

int audio_finish_copy() {
    std::FILE*& copy = output.config.output_file;
    if (copy != nullptr && std::fclose(copy) != 0) {
        copy = nullptr;
        std::fprintf(stderr, "%s: %s\n", output.config.output_name, std::strerror(errno));
        output.copy_failed = 1;
    }
    copy = nullptr;
    return output.copy_failed;
}

int audio_rate_supported(int rate) {
    return rate == 44100 || rate == 22050 || rate == 11025 || rate == 8000 ||
           resample_supported(rate);
}

void audio_conversion_reset() {
    output.chan_state[0] = output.chan_state[1] = tChannelState{};
    output.input_counter = 0;
    resample_reset();
    output.block_held = 0;
}

int audio_write(const int16_t* left, const int16_t* right, int samples, int rate, int retry) {
    tAudioOutput& o = output;
    const tAudioBlock& b = o.block;
    if (debug > 3)
        std::printf("audio_write(%08X, %08X, %d, %d)\n",
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(left)),
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(right)), samples, rate);
    if (o.config.swap_channels) {
        const int16_t* t = left;
        left = right;
        right = t;
    }
    if (debug > 4)
        for (int i = 0; i < 4; i++) {
            std::printf("left[%d] = %d\n", i, i < samples ? left[i] : 0);
            std::printf("right[%d] = %d\n", i, i < samples ? right[i] : 0);
        }
    if (!o.block_held) {
        convert(left, right, samples, rate);
        if (debug > 4)
            for (int i = 0; i < 4; i++) {
                std::printf("outLeft[%d] = %d\n", i, b.outLeft[i]);
                std::printf("outRight[%d] = %d\n", i, b.outRight[i]);
            }
        interleave();
        if (debug > 4) {
            std::printf("outSamples = %d\n", b.outSamples);
            for (int i = 0; i < 4; i++)
                std::printf("outBuffer[%d] = %d\n", i, out_word(i));
        }
        if (o.config.silent) return 1;
        o.block_held = 1;
        o.block_bytes = 4 * b.outSamples;
        o.block_sent = 0;
    }

    ssize_t n = write_rest(retry);
    const int write_errno = errno;
    if (debug > 3)
        std::printf("audio_write: write(%d, %08X, %d) = %d\n", o.audio_fd,
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(b.outBuffer.data())),
                    o.block_bytes, static_cast<int>(n));
    // A full device takes the rest later; any other error does not pass.
    if (n < 0 && write_errno != EAGAIN) {
        // The ALSA path has said what failed.
        if (!alsa_is_open())
            std::fprintf(stderr, "%s: %s\n", o.oss_path, std::strerror(write_errno));
        o.block_held = 0;
        return AUDIO_WRITE_FAILED;
    }
    if (n < 0 || o.block_sent < o.block_bytes) return 0;
    o.block_held = 0;
    return 1;
}
