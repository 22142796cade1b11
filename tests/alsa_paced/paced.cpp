// A PCM that plays in real time, as an ALSA external plugin, for the player's real-time
// tests through ALSA: it takes 16-bit stereo at 44100 Hz, x times faster ("speed"), and
// appends every frame it is given to "file". Its poll descriptor is a timer that ticks
// every quarter period; the PCM can take more when a period is free. When it runs dry
// while running, the next call finds an underrun (-EPIPE) and the time it stayed dry
// counts until it starts again. At close it appends one line to "report":
// "underruns N dry_ms X frames F unplayed U" (device time): U frames were given to it and
// not played, because it was dropped (0 after a drain).
//
//   pcm_type.vexapaced { lib "<path of this library>" }
//   pcm.paced { type vexapaced file "<path>" report "<path>" speed 2 }
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int RATE = 44100;
constexpr int FRAME_BYTES = 4;

struct tPaced {
    snd_pcm_ioplug_t io;
    int out_fd = -1;
    int timer_fd = -1;
    double speed = 1;
    std::string report;
    // Frames since the last prepare: given to the PCM (appl) and played (hw, as of the
    // last look); the clock runs from origin_ns, when hw was origin_hw.
    uint64_t appl = 0;
    uint64_t hw = 0;
    uint64_t origin_hw = 0;
    int64_t origin_ns = 0;
    bool running = false;
    long underruns = 0;
    double dry_ms = 0;
    int64_t dry_since_ns = -1;
    uint64_t frames = 0;
};

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

tPaced* paced(snd_pcm_ioplug_t* io) {
    return static_cast<tPaced*>(io->private_data);
}

// Brings hw up to the clock; true when it has caught up with appl (run dry).
bool advance(tPaced* p) {
    if (!p->running) return false;
    const double frames_per_ns = RATE * p->speed / 1e9;
    const auto played =
        p->origin_hw +
        static_cast<uint64_t>(static_cast<double>(now_ns() - p->origin_ns) * frames_per_ns);
    if (played < p->appl) {
        p->hw = played;
        return false;
    }
    p->hw = p->appl;
    return true;
}

int paced_start(snd_pcm_ioplug_t* io) {
    tPaced* p = paced(io);
    const int64_t t = now_ns();
    if (p->dry_since_ns >= 0)
        p->dry_ms += static_cast<double>(t - p->dry_since_ns) * p->speed / 1e6;
    p->dry_since_ns = -1;
    p->origin_ns = t;
    p->origin_hw = p->hw;
    p->running = true;
    return 0;
}

int paced_stop(snd_pcm_ioplug_t* io) {
    paced(io)->running = false;
    return 0;
}

snd_pcm_sframes_t paced_pointer(snd_pcm_ioplug_t* io) {
    tPaced* p = paced(io);
    if (advance(p) && io->state == SND_PCM_STATE_RUNNING) {
        p->underruns++;
        p->running = false;
        p->dry_since_ns =
            p->origin_ns + static_cast<int64_t>(static_cast<double>(p->appl - p->origin_hw) /
                                                (RATE * p->speed / 1e9));
        return -EPIPE;
    }
    return static_cast<snd_pcm_sframes_t>(p->hw % io->buffer_size);
}

snd_pcm_sframes_t paced_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                 snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    tPaced* p = paced(io);
    const char* from =
        static_cast<const char*>(areas[0].addr) + (areas[0].first + offset * areas[0].step) / 8;
    size_t left = size * FRAME_BYTES;
    while (left > 0) {
        const ssize_t n = write(p->out_fd, from, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -EIO;
        from += n;
        left -= static_cast<size_t>(n);
    }
    p->appl += size;
    p->frames += size;
    return static_cast<snd_pcm_sframes_t>(size);
}

int paced_prepare(snd_pcm_ioplug_t* io) {
    tPaced* p = paced(io);
    p->appl = p->hw = p->origin_hw = 0;
    p->running = false;
    // The timer ticks from now on, every quarter period of device time.
    const auto tick_ns =
        static_cast<int64_t>(static_cast<double>(io->period_size) * 1e9 / (RATE * p->speed) / 4);
    itimerspec period{};
    period.it_interval.tv_sec = tick_ns / 1000000000;
    period.it_interval.tv_nsec = tick_ns % 1000000000;
    period.it_value = period.it_interval;
    timerfd_settime(p->timer_fd, 0, &period, nullptr);
    return 0;
}

int paced_poll_revents(snd_pcm_ioplug_t* io, struct pollfd*, unsigned int,
                       unsigned short* revents) {
    tPaced* p = paced(io);
    uint64_t ticks = 0;
    ssize_t ignored = read(p->timer_fd, &ticks, sizeof ticks);
    (void)ignored;
    advance(p);
    const uint64_t queued = p->appl - p->hw;
    *revents = io->buffer_size - queued >= io->period_size ? POLLOUT : 0;
    return 0;
}

int paced_close(snd_pcm_ioplug_t* io) {
    tPaced* p = paced(io);
    if (!p->report.empty()) {
        if (FILE* f = std::fopen(p->report.c_str(), "a")) {
            std::fprintf(f, "underruns %ld dry_ms %.3f frames %llu unplayed %llu\n", p->underruns,
                         p->dry_ms, static_cast<unsigned long long>(p->frames),
                         static_cast<unsigned long long>(p->appl - p->hw));
            std::fclose(f);
        }
    }
    close(p->out_fd);
    close(p->timer_fd);
    delete p;
    return 0;
}

constexpr snd_pcm_ioplug_callback_t callbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = paced_start;
    c.stop = paced_stop;
    c.pointer = paced_pointer;
    c.transfer = paced_transfer;
    c.close = paced_close;
    c.prepare = paced_prepare;
    c.poll_revents = paced_poll_revents;
    return c;
}();

int constrain(snd_pcm_ioplug_t* io) {
    const unsigned access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    const unsigned format[] = {SND_PCM_FORMAT_S16_LE};
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, access);
    if (err == 0) err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, format);
    if (err == 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 2, 2);
    if (err == 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, RATE, RATE);
    if (err == 0)
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 1024, 1 << 16);
    if (err == 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64);
    return err;
}

} // namespace

extern "C" SND_PCM_PLUGIN_DEFINE_FUNC(vexapaced) {
    (void)root;
    const char* file = nullptr;
    const char* report = "";
    double speed = 1;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (std::strcmp(id, "comment") == 0 || std::strcmp(id, "type") == 0) continue;
        if (std::strcmp(id, "file") == 0 && snd_config_get_string(n, &file) == 0) continue;
        if (std::strcmp(id, "report") == 0 && snd_config_get_string(n, &report) == 0) continue;
        if (std::strcmp(id, "speed") == 0 && snd_config_get_ireal(n, &speed) == 0) continue;
        SNDERR("vexapaced: bad field %s", id);
        return -EINVAL;
    }
    if (file == nullptr || stream != SND_PCM_STREAM_PLAYBACK || speed <= 0) return -EINVAL;
    auto* p = new tPaced{}; // the ioplug record zeroed, as the library expects
    p->speed = speed;
    p->report = report;
    p->out_fd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    p->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (p->out_fd < 0 || p->timer_fd < 0) {
        const int err = -errno;
        if (p->out_fd >= 0) close(p->out_fd);
        if (p->timer_fd >= 0) close(p->timer_fd);
        delete p;
        return err;
    }
    p->io.version = SND_PCM_IOPLUG_VERSION;
    p->io.name = "vexa paced PCM";
    p->io.callback = &callbacks;
    p->io.private_data = p;
    p->io.poll_fd = p->timer_fd;
    p->io.poll_events = POLLIN;
    p->io.mmap_rw = 0;
    int err = snd_pcm_ioplug_create(&p->io, name, stream, mode);
    if (err < 0) {
        close(p->out_fd);
        close(p->timer_fd);
        delete p;
        return err;
    }
    err = constrain(&p->io);
    if (err < 0) {
        snd_pcm_ioplug_delete(&p->io);
        return err;
    }
    *pcmp = p->io.pcm;
    return 0;
}

extern "C" {
SND_PCM_PLUGIN_SYMBOL(vexapaced);
}
