// OSS device simulator, loaded with LD_PRELOAD.
//
// Opening "/dev/dsp" (the absolute path) through open, open64, openat, openat64, their
// __*_2 fortified forms, creat, creat64, fopen or fopen64 hands out a descriptor of
// "/dev/null" that is remembered as the device (fopen gives a stdio stream whose writes
// come here). ioctl, write, writev and close on a device descriptor are handled here;
// everything else goes on to the next definition (libc, or the sanitizer runtime when that
// is preloaded first). The device plays 16-bit little-endian stereo at 44100 Hz: the
// mode requests answer that whatever is asked for.
//
// Environment, read once when the library is loaded:
//   OSSIM_OUTPUT=path   every byte the device accepts is appended to path (created at the
//                       first open of the device); a realtime device's clock stands still
//                       while the bytes are appended
//   OSSIM_REPORT=path   at exit each process that touched the device (opened it, or used
//                       a device descriptor itself) appends one line
//                       {"pid":N,"opens":N,"ioctls":["SNDCTL_DSP_RESET",...],"writes":N,
//                        "bytes":N,"underruns":N,"dry_ms":N,"first_write_ms":N,
//                        "gaps":[[at_ms,ms],...]}
//                       opens counts open calls on the device, failed ones too; ioctls are
//                       named in call order (unknown requests as "0x%08lx", at most 16384
//                       listed); writes counts write and writev calls; bytes counts what the
//                       device accepted; dry_ms is the device time (ms, 3 decimals) the
//                       underruns lasted; first_write_ms the time from the program's start
//                       (exec, as seen by this library's load) to the first byte the device
//                       accepted, -1 for none; gaps the first 8 underruns, each as the
//                       time from the start at which the device ran dry and how long it
//                       stayed dry. A forked child starts from zero but keeps the
//                       program's start.
//   OSSIM_REALTIME=1    the device plays 176400 bytes/s from a buffer of 16 fragments of
//                       4096 bytes (see SETFRAGMENT): a write sleeps while the buffer is
//                       full and returns when all of it has been taken (with O_NONBLOCK it
//                       takes what fits, or fails with EAGAIN); poll and ppoll see a device
//                       descriptor writable while a fragment is free. As a driver does, it
//                       starts playing once a whole fragment is queued, or on POST or SYNC.
//                       When it has run dry and starts again, that is an underrun, unless a
//                       RESET or SYNC came in between; this holds inside one write too (a
//                       process stopped in a blocked write is heard)
//   OSSIM_CLOSE_DROPS=1 with OSSIM_REALTIME: closing the device, or exiting with it open,
//                       drops what it has not played yet, as a buffered device does when
//                       no SYNC waited for it; those bytes come off the end of OSSIM_OUTPUT
//   OSSIM_SPEED=x       the realtime device plays x times faster (default 1); stalls below
//                       are shortened by the same factor
//   OSSIM_STALL=ms:s    the program's reads (read, __read_chk) of regular files that start
//                       from ms milliseconds after its start on wait until s seconds after
//                       that point: a disk that stops answering for s seconds
//   OSSIM_FAIL=list     comma-separated: open (ENOENT), write (EIO), ioctl (EIO); the
//                       failing calls are still counted
//
// Requests: RESET drops the queue, SYNC sleeps until it has played, POST is accepted,
// SETFRAGMENT (before the first write after an open) sets the fragment size to 2^n bytes
// with n in 7..16 and the count to 2..(128 KiB / size) and answers what it granted, SETFMT
// and GETFMTS answer AFMT_S16_LE, CHANNELS 2, STEREO 1, SPEED 44100, GETBLKSIZE the fragment
// size, GETODELAY the queued bytes, GETOSPACE the free space in fragments; any other request
// fails with EINVAL.
//
// Each process models its own buffer. dup'ed device descriptors are not followed. The
// write, ioctl and close paths run inside the player's signal handlers, so they use only
// static state and system calls; the report at exit may use stdio and malloc. There is
// no locking: the programs under test are single-threaded.

#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr const char* kDevicePath = "/dev/dsp";
constexpr int kDefaultFragmentShift = 12;
constexpr int kDefaultFragments = 16;
constexpr int kMinFragmentShift = 7;
constexpr int kMaxFragmentShift = 16;
constexpr int64_t kMaxBufferBytes = 131072;
constexpr int kMaxPollFds = 64;
constexpr double kBytesPerSecond = 176400.0;
constexpr int kMaxDeviceFds = 32;
constexpr long kMaxLoggedIoctls = 16384;
constexpr size_t kPathMax = 4096;

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using open2_fn = int (*)(const char*, int);
using openat2_fn = int (*)(int, const char*, int);
using fopen_fn = FILE* (*)(const char*, const char*);
using ioctl_fn = int (*)(int, unsigned long, ...);
using write_fn = ssize_t (*)(int, const void*, size_t);
using writev_fn = ssize_t (*)(int, const struct iovec*, int);
using close_fn = int (*)(int);
using read_fn = ssize_t (*)(int, void*, size_t);
using read_chk_fn = ssize_t (*)(int, void*, size_t, size_t);
using poll_fn = int (*)(struct pollfd*, nfds_t, int);
using ppoll_fn = int (*)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);

struct tRealCalls {
    open_fn open;
    open_fn open64;
    openat_fn openat;
    openat_fn openat64;
    open2_fn open_2;
    open2_fn open64_2;
    openat2_fn openat_2;
    openat2_fn openat64_2;
    fopen_fn fopen;
    fopen_fn fopen64;
    ioctl_fn ioctl;
    ioctl_fn ioctl_time64;
    write_fn write;
    writev_fn writev;
    close_fn close;
    read_fn read;
    read_chk_fn read_chk;
    poll_fn poll;
    ppoll_fn ppoll;
};

enum tOpenEntry {
    E_OPEN,
    E_OPEN64,
    E_OPENAT,
    E_OPENAT64,
    E_OPEN_2,
    E_OPEN64_2,
    E_OPENAT_2,
    E_OPENAT64_2
};

// Settings.
tRealCalls real;
bool initialised = false;
char output_path[kPathMax];
char report_path[kPathMax];
bool realtime = false;
bool close_drops = false;
double drain_rate = kBytesPerSecond; // bytes per second
bool fail_open = false;
bool fail_write = false;
bool fail_ioctl = false;
int64_t start_ns = 0;       // the program's start: this library's load
int64_t stall_from_ns = -1; // reads of regular files wait in [stall_from_ns, stall_until_ns)
int64_t stall_until_ns = -1;

// Descriptors of this process that are the device, and the output copy.
int device_fds[kMaxDeviceFds];
int device_fd_count = 0;
int output_fd = -1;

// What this process did to the device (zeroed in a forked child).
bool touched = false;
long opens = 0;
long writes = 0;
long long bytes_accepted = 0;
long underruns = 0;
int64_t dry_ns = 0;             // device time the underruns lasted
int64_t first_write_at_ns = -1; // when the device first took a byte
constexpr int kMaxLoggedGaps = 8;
int64_t gap_at_ns[kMaxLoggedGaps]; // when the first underruns began, and how long they lasted
int64_t gap_ns[kMaxLoggedGaps];
unsigned long ioctl_log[kMaxLoggedIoctls];
long ioctl_count = 0;

// Realtime buffer. Like a driver, the device starts playing only once a whole fragment
// is queued (or on POST or SYNC): until then the bytes are held. Once started it plays
// on by the clock and holds whatever has not played by empty_at_ns (CLOCK_MONOTONIC);
// when that passes, it has run dry and stops until a fragment is queued again.
int64_t empty_at_ns = 0;
bool running = false;      // the device clock runs
int64_t held_bytes = 0;    // queued while the device is stopped
bool playing = false;      // data written since open, reset or sync
int64_t dry_since_ns = -1; // a playing device ran dry then, and has not started again
int64_t fragment_bytes = int64_t{1} << kDefaultFragmentShift;
int64_t buffer_bytes = kDefaultFragments * (int64_t{1} << kDefaultFragmentShift);
bool written_since_open = false; // the fragment setup is fixed by the first write

template <class F> F next_symbol(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void say(const char* text) {
    syscall(SYS_write, 2, text, strlen(text));
}

void copy_env(const char* name, char* dest) {
    const char* value = getenv(name);
    dest[0] = '\0';
    if (value == nullptr) return;
    if (strlen(value) >= kPathMax) {
        say("ossim: path in environment too long, ignored\n");
        return;
    }
    strcpy(dest, value);
}

void read_fail_list(const char* list) {
    const char* p = list;
    while (*p != '\0') {
        const char* end = strchr(p, ',');
        size_t len = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
        if (len == 4 && strncmp(p, "open", 4) == 0) {
            fail_open = true;
        } else if (len == 5 && strncmp(p, "write", 5) == 0) {
            fail_write = true;
        } else if (len == 5 && strncmp(p, "ioctl", 5) == 0) {
            fail_ioctl = true;
        } else if (len > 0) {
            say("ossim: unknown OSSIM_FAIL entry ignored\n");
        }
        p += len;
        if (*p == ',') p++;
    }
}

void forget_counters() {
    touched = false;
    opens = 0;
    writes = 0;
    bytes_accepted = 0;
    underruns = 0;
    dry_ns = 0;
    first_write_at_ns = -1;
    ioctl_count = 0;
    playing = false;
    dry_since_ns = -1;
}

int64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// "ms:s": from ms milliseconds after the start, for s seconds of device time.
void read_stall(const char* text, double speed) {
    char* end = nullptr;
    double after_ms = strtod(text, &end);
    if (end == text || *end != ':' || !(after_ms >= 0)) {
        say("ossim: bad OSSIM_STALL ignored\n");
        return;
    }
    const char* rest = end + 1;
    double seconds = strtod(rest, &end);
    if (end == rest || *end != '\0' || !(seconds >= 0) || !std::isfinite(seconds)) {
        say("ossim: bad OSSIM_STALL ignored\n");
        return;
    }
    stall_from_ns = start_ns + static_cast<int64_t>(after_ms * 1e6);
    stall_until_ns = stall_from_ns + static_cast<int64_t>(seconds * 1e9 / speed);
}

void ossim_init() {
    if (initialised) return;
    initialised = true;

    real.open = next_symbol<open_fn>("open");
    real.open64 = next_symbol<open_fn>("open64");
    real.openat = next_symbol<openat_fn>("openat");
    real.openat64 = next_symbol<openat_fn>("openat64");
    real.open_2 = next_symbol<open2_fn>("__open_2");
    real.open64_2 = next_symbol<open2_fn>("__open64_2");
    real.openat_2 = next_symbol<openat2_fn>("__openat_2");
    real.openat64_2 = next_symbol<openat2_fn>("__openat64_2");
    real.fopen = next_symbol<fopen_fn>("fopen");
    real.fopen64 = next_symbol<fopen_fn>("fopen64");
    real.ioctl = next_symbol<ioctl_fn>("ioctl");
    real.ioctl_time64 = next_symbol<ioctl_fn>("__ioctl_time64");
    real.write = next_symbol<write_fn>("write");
    real.writev = next_symbol<writev_fn>("writev");
    real.close = next_symbol<close_fn>("close");
    real.read = next_symbol<read_fn>("read");
    real.read_chk = next_symbol<read_chk_fn>("__read_chk");
    real.poll = next_symbol<poll_fn>("poll");
    real.ppoll = next_symbol<ppoll_fn>("ppoll");
    start_ns = now_ns();

    copy_env("OSSIM_OUTPUT", output_path);
    copy_env("OSSIM_REPORT", report_path);
    const char* rt = getenv("OSSIM_REALTIME");
    realtime = rt != nullptr && rt[0] != '\0' && strcmp(rt, "0") != 0;
    const char* drops = getenv("OSSIM_CLOSE_DROPS");
    close_drops = drops != nullptr && drops[0] != '\0' && strcmp(drops, "0") != 0;
    const char* speed = getenv("OSSIM_SPEED");
    double x = 1;
    if (speed != nullptr && speed[0] != '\0') {
        char* end = nullptr;
        x = strtod(speed, &end);
        if (*end == '\0' && x > 0 && std::isfinite(x)) {
            drain_rate = kBytesPerSecond * x;
        } else {
            say("ossim: bad OSSIM_SPEED ignored\n");
            x = 1;
        }
    }
    const char* stall = getenv("OSSIM_STALL");
    if (stall != nullptr && stall[0] != '\0') read_stall(stall, x);
    const char* fail = getenv("OSSIM_FAIL");
    if (fail != nullptr) read_fail_list(fail);

    pthread_atfork(nullptr, nullptr, forget_counters);
}

// --- descriptors -----------------------------------------------------------------------

bool is_device_fd(int fd) {
    for (int i = 0; i < device_fd_count; i++) {
        if (device_fds[i] == fd) return true;
    }
    return false;
}

void forget_device_fd(int fd) {
    for (int i = 0; i < device_fd_count; i++) {
        if (device_fds[i] == fd) {
            device_fds[i] = device_fds[--device_fd_count];
            return;
        }
    }
}

// The path check must not be folded into callers whose argument is declared nonnull.
__attribute__((noinline)) bool is_device_path(const char* path) {
    return path != nullptr && strcmp(path, kDevicePath) == 0;
}

int sys_open(const char* path, int flags, mode_t mode) {
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

void append_all(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        long r = syscall(SYS_write, fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        p += r;
        n -= static_cast<size_t>(r);
    }
}

int open_device(int flags) {
    ossim_init();
    touched = true;
    opens++;
    if (fail_open) {
        errno = ENOENT;
        return -1;
    }
    int fd = sys_open("/dev/null", flags & (O_ACCMODE | O_NONBLOCK | O_CLOEXEC), 0);
    if (fd < 0) return -1;
    if (device_fd_count == kMaxDeviceFds) {
        say("ossim: too many device descriptors\n");
        syscall(SYS_close, fd);
        errno = EMFILE;
        return -1;
    }
    device_fds[device_fd_count++] = fd;
    if (output_fd < 0 && output_path[0] != '\0') {
        int saved = errno;
        output_fd = sys_open(output_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (output_fd < 0) say("ossim: cannot open OSSIM_OUTPUT\n");
        errno = saved;
    }
    running = false;
    held_bytes = 0;
    playing = false;
    dry_since_ns = -1;
    written_since_open = false;
    fragment_bytes = int64_t{1} << kDefaultFragmentShift;
    buffer_bytes = kDefaultFragments * fragment_bytes;
    return fd;
}

int pass_open(tOpenEntry entry, int dirfd, const char* path, int flags, mode_t mode) {
    switch (entry) {
    case E_OPEN:
        if (real.open != nullptr) return real.open(path, flags, mode);
        break;
    case E_OPEN64:
        if (real.open64 != nullptr) return real.open64(path, flags, mode);
        break;
    case E_OPENAT:
        if (real.openat != nullptr) return real.openat(dirfd, path, flags, mode);
        break;
    case E_OPENAT64:
        if (real.openat64 != nullptr) return real.openat64(dirfd, path, flags, mode);
        break;
    case E_OPEN_2:
        if (real.open_2 != nullptr) return real.open_2(path, flags);
        break;
    case E_OPEN64_2:
        if (real.open64_2 != nullptr) return real.open64_2(path, flags);
        break;
    case E_OPENAT_2:
        if (real.openat_2 != nullptr) return real.openat_2(dirfd, path, flags);
        break;
    case E_OPENAT64_2:
        if (real.openat64_2 != nullptr) return real.openat64_2(dirfd, path, flags);
        break;
    }
    return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
}

int open_common(tOpenEntry entry, int dirfd, const char* path, int flags, mode_t mode) {
    ossim_init();
    if (is_device_path(path)) return open_device(flags);
    int fd = pass_open(entry, dirfd, path, flags, mode);
    // A number the kernel hands out again cannot still be the device: its close went
    // through a path this library does not see.
    if (fd >= 0) forget_device_fd(fd);
    return fd;
}

bool takes_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// --- realtime buffer -------------------------------------------------------------------

void sleep_until(int64_t when_ns) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(when_ns / 1000000000);
    ts.tv_nsec = static_cast<long>(when_ns % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Counts accepted bytes and appends them to the output file as one step that no signal
// splits: a process stopped by its signal handler reports exactly what the file holds.
// Returns the time the append took: a file write on a busy disk can take tens of
// milliseconds, which is the simulator's own cost, not the device's.
int64_t accept_bytes(const void* p, size_t n) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    bytes_accepted += static_cast<long long>(n);
    const int64_t t = now_ns();
    if (first_write_at_ns < 0 && n > 0) first_write_at_ns = t;
    int64_t spent = 0;
    if (output_fd >= 0) {
        append_all(output_fd, p, n);
        spent = now_ns() - t;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return spent;
}

int64_t bytes_to_ns(int64_t n) {
    return static_cast<int64_t>(std::llround(static_cast<double>(n) * 1e9 / drain_rate));
}

// Bytes still queued at time t (a partly played byte counts as queued).
int64_t queued_at(int64_t t) {
    if (!realtime) return 0;
    if (!running) return held_bytes;
    if (empty_at_ns <= t) return 0;
    double q = std::ceil(static_cast<double>(empty_at_ns - t) * drain_rate / 1e9);
    return q > static_cast<double>(buffer_bytes) ? buffer_bytes : static_cast<int64_t>(q);
}

// A started device whose queue played out before t has stopped; if it was playing, the
// silence lasts until it starts again.
void settle(int64_t t) {
    if (!running || empty_at_ns >= t) return;
    running = false;
    if (playing) dry_since_ns = empty_at_ns;
}

// The device starts playing what it holds at t; after running dry, that is an underrun.
void start_playing(int64_t t) {
    if (running) return;
    if (dry_since_ns >= 0) {
        if (underruns < kMaxLoggedGaps) {
            gap_at_ns[underruns] = dry_since_ns;
            gap_ns[underruns] = t - dry_since_ns;
        }
        underruns++;
        dry_ns += t - dry_since_ns;
        dry_since_ns = -1;
    }
    running = true;
    empty_at_ns = t + bytes_to_ns(held_bytes);
    held_bytes = 0;
}

// Takes n bytes at t: onto a running queue, or held until a fragment is there.
void queue_bytes(int64_t n, int64_t t) {
    settle(t);
    playing = true;
    if (running) {
        empty_at_ns += bytes_to_ns(n);
        return;
    }
    held_bytes += n;
    if (held_bytes >= fragment_bytes) start_playing(t);
}

// POST and SYNC start a device that holds less than a fragment.
void post_queue() {
    if (!realtime) return;
    const int64_t t = now_ns();
    settle(t);
    if (!running && held_bytes > 0) start_playing(t);
}

void drop_queue() {
    empty_at_ns = now_ns();
    running = false;
    held_bytes = 0;
    playing = false;
    dry_since_ns = -1;
}

void wait_drained() {
    post_queue();
    if (realtime && running && empty_at_ns > now_ns()) sleep_until(empty_at_ns);
    playing = false;
    dry_since_ns = -1;
}

// --- write -----------------------------------------------------------------------------

ssize_t device_writev(int fd, const struct iovec* iov, int iovcnt) {
    ossim_init();
    touched = true;
    writes++;
    if (fail_write) {
        errno = EIO;
        return -1;
    }
    if (iovcnt < 0) {
        errno = EINVAL;
        return -1;
    }
    size_t total = 0;
    for (int i = 0; i < iovcnt; i++)
        total += iov[i].iov_len;
    if (total == 0) return 0;

    if (!realtime) {
        for (int i = 0; i < iovcnt; i++)
            accept_bytes(iov[i].iov_base, iov[i].iov_len);
        return static_cast<ssize_t>(total);
    }

    written_since_open = true;
    int64_t t = now_ns();
    bool nonblocking = (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
    // Like a driver, the device takes what fits when the write comes (a non-blocking
    // write ends there: it takes the room there was when it was made, which on a slow
    // machine such as an emulator would otherwise grow with the drain while copying) and
    // then a fragment (or the rest of the write) at a time, so a write into a full buffer
    // does not trail the drain a few bytes at a time.
    const int64_t room_now = buffer_bytes - queued_at(t);
    size_t accepted = 0;
    bool first = true;
    for (int i = 0; i < iovcnt; i++) {
        const char* p = static_cast<const char*>(iov[i].iov_base);
        size_t left = iov[i].iov_len;
        while (left > 0) {
            t = now_ns();
            const int64_t room = nonblocking ? room_now - static_cast<int64_t>(accepted)
                                             : buffer_bytes - queued_at(t);
            const int64_t want = static_cast<int64_t>(left) < fragment_bytes
                                     ? static_cast<int64_t>(left)
                                     : fragment_bytes;
            if (room > 0 && (first || nonblocking || room >= want)) {
                size_t chunk = left < static_cast<size_t>(room) ? left : static_cast<size_t>(room);
                const int64_t copying = accept_bytes(p, chunk);
                // The device may have run dry before these bytes came, whether the writer
                // was away between writes or stopped inside this one.
                queue_bytes(static_cast<int64_t>(chunk), t);
                // The device waits while the simulator copies what it took.
                if (running) empty_at_ns += copying;
                accepted += chunk;
                p += chunk;
                left -= chunk;
                first = false;
                continue;
            }
            first = false;
            if (nonblocking) {
                if (accepted > 0) return static_cast<ssize_t>(accepted);
                errno = EAGAIN;
                return -1;
            }
            // Wake when a fragment (or the rest of this write) fits.
            sleep_until(empty_at_ns - bytes_to_ns(buffer_bytes - want) + 1000);
        }
    }
    return static_cast<ssize_t>(accepted);
}

// --- poll ------------------------------------------------------------------------------

// When a device descriptor asking for POLLOUT has a fragment free: now, or a later time.
int64_t device_writable_at() {
    if (!realtime || !running) return 0;
    return empty_at_ns - bytes_to_ns(buffer_bytes - fragment_bytes) + 1000;
}

int pass_ppoll(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask) {
    if (real.ppoll != nullptr) return real.ppoll(fds, n, timeout, mask);
    return static_cast<int>(syscall(SYS_ppoll, fds, n, timeout, mask, sizeof(sigset_t)));
}

bool has_device_fd(const struct pollfd* fds, nfds_t n) {
    for (nfds_t i = 0; i < n; i++) {
        if (is_device_fd(fds[i].fd)) return true;
    }
    return false;
}

// poll over a set that holds device descriptors: the others go to the kernel, which is
// woken in time for the device's next free fragment. timeout_ns < 0 waits for ever.
int device_poll(struct pollfd* fds, nfds_t n, int64_t timeout_ns, const sigset_t* mask) {
    struct pollfd others[kMaxPollFds];
    const int64_t deadline = timeout_ns < 0 ? -1 : now_ns() + timeout_ns;
    bool wants_room = false;
    for (nfds_t i = 0; i < n; i++) {
        others[i] = fds[i];
        if (is_device_fd(fds[i].fd)) {
            others[i].fd = -1; // ignored by the kernel
            if ((fds[i].events & (POLLOUT | POLLWRNORM)) != 0) wants_room = true;
        }
    }
    for (;;) {
        const int64_t t = now_ns();
        const bool room = wants_room && device_writable_at() <= t;
        int64_t wake = deadline;
        if (room) {
            wake = t;
        } else if (wants_room && (wake < 0 || device_writable_at() < wake)) {
            wake = device_writable_at();
        }
        struct timespec ts;
        if (wake >= 0) {
            const int64_t wait = wake > t ? wake - t : 0;
            ts.tv_sec = static_cast<time_t>(wait / 1000000000);
            ts.tv_nsec = static_cast<long>(wait % 1000000000);
        }
        int r = pass_ppoll(others, n, wake >= 0 ? &ts : nullptr, mask);
        if (r < 0) return r;
        const bool room_now = wants_room && device_writable_at() <= now_ns();
        int ready = 0;
        for (nfds_t i = 0; i < n; i++) {
            if (is_device_fd(fds[i].fd)) {
                fds[i].revents =
                    room_now ? static_cast<short>(fds[i].events & (POLLOUT | POLLWRNORM)) : 0;
            } else {
                fds[i].revents = others[i].revents;
            }
            if (fds[i].revents != 0) ready++;
        }
        if (ready > 0 || (deadline >= 0 && now_ns() >= deadline)) return ready;
    }
}

// --- reads of a stalled disk -----------------------------------------------------------

void stall_read(int fd) {
    if (stall_from_ns < 0) return;
    const int64_t t = now_ns();
    if (t < stall_from_ns || t >= stall_until_ns) return;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    sleep_until(stall_until_ns);
}

// --- ioctl -----------------------------------------------------------------------------

struct tIoctlName {
    unsigned long request;
    const char* name;
};

#define OSSIM_NAME(x)                                                                              \
    { static_cast<unsigned long>(x), #x }
const tIoctlName ioctl_names[] = {
    OSSIM_NAME(SNDCTL_DSP_RESET),       OSSIM_NAME(SNDCTL_DSP_SYNC),
    OSSIM_NAME(SNDCTL_DSP_SPEED),       OSSIM_NAME(SNDCTL_DSP_STEREO),
    OSSIM_NAME(SNDCTL_DSP_GETBLKSIZE),  OSSIM_NAME(SNDCTL_DSP_SETFMT),
    OSSIM_NAME(SNDCTL_DSP_CHANNELS),    OSSIM_NAME(SOUND_PCM_WRITE_FILTER),
    OSSIM_NAME(SNDCTL_DSP_POST),        OSSIM_NAME(SNDCTL_DSP_SUBDIVIDE),
    OSSIM_NAME(SNDCTL_DSP_SETFRAGMENT), OSSIM_NAME(SNDCTL_DSP_GETFMTS),
    OSSIM_NAME(SNDCTL_DSP_GETOSPACE),   OSSIM_NAME(SNDCTL_DSP_GETISPACE),
    OSSIM_NAME(SNDCTL_DSP_NONBLOCK),    OSSIM_NAME(SNDCTL_DSP_GETCAPS),
    OSSIM_NAME(SNDCTL_DSP_GETTRIGGER),  OSSIM_NAME(SNDCTL_DSP_SETTRIGGER),
    OSSIM_NAME(SNDCTL_DSP_GETIPTR),     OSSIM_NAME(SNDCTL_DSP_GETOPTR),
    OSSIM_NAME(SNDCTL_DSP_MAPINBUF),    OSSIM_NAME(SNDCTL_DSP_MAPOUTBUF),
    OSSIM_NAME(SNDCTL_DSP_SETSYNCRO),   OSSIM_NAME(SNDCTL_DSP_SETDUPLEX),
    OSSIM_NAME(SNDCTL_DSP_GETODELAY),   OSSIM_NAME(SNDCTL_DSP_PROFILE),
    OSSIM_NAME(SOUND_PCM_READ_RATE),    OSSIM_NAME(SOUND_PCM_READ_CHANNELS),
    OSSIM_NAME(SOUND_PCM_READ_BITS),    OSSIM_NAME(SOUND_PCM_READ_FILTER),
};
#undef OSSIM_NAME

const char* ioctl_name(unsigned long request) {
    for (const tIoctlName& n : ioctl_names) {
        if (n.request == request) return n.name;
    }
    return nullptr;
}

// An int-valued request: the answer goes back through the caller's int.
int answer_int(void* arg, int value) {
    if (arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    *static_cast<int*>(arg) = value;
    return 0;
}

// 0xMMMMSSSS: at most MMMM fragments of 2^SSSS bytes, within the driver's bounds; the
// granted setup is answered the same way. Like a driver, this fixes the buffer only
// before the first write after an open.
int set_fragments(void* arg) {
    if (arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (written_since_open) {
        errno = EINVAL;
        return -1;
    }
    const int asked = *static_cast<int*>(arg);
    int shift = asked & 0xFFFF;
    if (shift < kMinFragmentShift) shift = kMinFragmentShift;
    if (shift > kMaxFragmentShift) shift = kMaxFragmentShift;
    const int64_t size = int64_t{1} << shift;
    int64_t count = (asked >> 16) & 0xFFFF;
    if (count > kMaxBufferBytes / size) count = kMaxBufferBytes / size;
    if (count < 2) count = 2;
    fragment_bytes = size;
    buffer_bytes = count * size;
    *static_cast<int*>(arg) = static_cast<int>(count << 16 | shift);
    return 0;
}

int device_ioctl(unsigned long request, void* arg) {
    ossim_init();
    touched = true;
    if (ioctl_count < kMaxLoggedIoctls) ioctl_log[ioctl_count] = request;
    ioctl_count++;
    if (fail_ioctl) {
        errno = EIO;
        return -1;
    }
    switch (request) {
    case SNDCTL_DSP_RESET:
        drop_queue();
        return 0;
    case SNDCTL_DSP_SYNC:
        wait_drained();
        return 0;
    case SNDCTL_DSP_POST:
        post_queue();
        return 0;
    case SNDCTL_DSP_SETFMT:
    case SNDCTL_DSP_GETFMTS:
        return answer_int(arg, AFMT_S16_LE);
    case SNDCTL_DSP_CHANNELS:
        return answer_int(arg, 2);
    case SNDCTL_DSP_STEREO:
        return answer_int(arg, 1);
    case SNDCTL_DSP_SPEED:
        return answer_int(arg, 44100);
    case SNDCTL_DSP_GETBLKSIZE:
        return answer_int(arg, static_cast<int>(fragment_bytes));
    case SNDCTL_DSP_SETFRAGMENT:
        return set_fragments(arg);
    case SNDCTL_DSP_GETODELAY:
        return answer_int(arg, static_cast<int>(queued_at(now_ns())));
    case SNDCTL_DSP_GETOSPACE: {
        if (arg == nullptr) {
            errno = EFAULT;
            return -1;
        }
        int room = static_cast<int>(buffer_bytes - queued_at(now_ns()));
        audio_buf_info* info = static_cast<audio_buf_info*>(arg);
        info->fragments = room / static_cast<int>(fragment_bytes);
        info->fragstotal = static_cast<int>(buffer_bytes / fragment_bytes);
        info->fragsize = static_cast<int>(fragment_bytes);
        info->bytes = room;
        return 0;
    }
    default:
        errno = EINVAL;
        return -1;
    }
}

// A device let go of without a SYNC loses what it still holds, as a real one does when
// it is closed: those bytes never played, so they come off the end of the output file.
void drop_unplayed() {
    if (!close_drops) return;
    const int64_t unplayed = playing ? queued_at(now_ns()) : 0; // this process wrote them
    if (unplayed > 0 && output_fd >= 0) {
        const long end = syscall(SYS_lseek, output_fd, 0, SEEK_END);
        if (end >= unplayed) syscall(SYS_ftruncate, output_fd, end - unplayed);
    }
    drop_queue();
}

int device_close(int fd) {
    ossim_init();
    touched = true;
    drop_unplayed();
    forget_device_fd(fd);
    if (real.close != nullptr) return real.close(fd);
    return static_cast<int>(syscall(SYS_close, fd));
}

// --- stdio streams on the device -------------------------------------------------------

ssize_t cookie_read(void*, char*, size_t) {
    return 0;
}

ssize_t cookie_write(void* cookie, const char* buf, size_t size) {
    struct iovec iov = {const_cast<char*>(buf), size};
    ssize_t r = device_writev(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), &iov, 1);
    return r < 0 ? 0 : r;
}

int cookie_close(void* cookie) {
    return device_close(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
}

FILE* fopen_device(const char* mode) {
    int flags = O_RDONLY;
    if (mode[0] == 'w' || mode[0] == 'a') flags = O_WRONLY;
    if (strchr(mode, '+') != nullptr) flags = O_RDWR;
    if (strchr(mode, 'e') != nullptr) flags |= O_CLOEXEC;
    int fd = open_device(flags);
    if (fd < 0) return nullptr;
    cookie_io_functions_t io = {cookie_read, cookie_write, nullptr, cookie_close};
    FILE* f = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), mode, io);
    if (f == nullptr) {
        int saved = errno;
        forget_device_fd(fd);
        syscall(SYS_close, fd);
        errno = saved;
    }
    return f;
}

FILE* fopen_common(fopen_fn next, const char* path, const char* mode) {
    ossim_init();
    if (is_device_path(path)) return fopen_device(mode);
    if (next == nullptr) {
        errno = ENOSYS;
        return nullptr;
    }
    FILE* f = next(path, mode);
    if (f != nullptr) forget_device_fd(fileno(f));
    return f;
}

// --- report ----------------------------------------------------------------------------

struct tLine {
    char* text;
    size_t len;
    size_t cap;
};

void line_add(tLine* line, const char* fmt, ...) {
    if (line->text == nullptr) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line->text + line->len, line->cap - line->len, fmt, ap);
    va_end(ap);
    if (n < 0 || line->len + static_cast<size_t>(n) >= line->cap) {
        free(line->text);
        line->text = nullptr;
        return;
    }
    line->len += static_cast<size_t>(n);
}

__attribute__((destructor)) void write_report() {
    if (initialised && device_fd_count > 0) drop_unplayed(); // closed by the exit
    if (!initialised || !touched || report_path[0] == '\0') return;
    long logged = ioctl_count < kMaxLoggedIoctls ? ioctl_count : kMaxLoggedIoctls;
    tLine line;
    line.cap = 256 + static_cast<size_t>(logged) * 40;
    line.text = static_cast<char*>(malloc(line.cap));
    line.len = 0;
    line_add(&line, "{\"pid\":%ld,\"opens\":%ld,\"ioctls\":[", static_cast<long>(getpid()), opens);
    for (long i = 0; i < logged; i++) {
        const char* name = ioctl_name(ioctl_log[i]);
        const char* sep = i > 0 ? "," : "";
        if (name != nullptr) {
            line_add(&line, "%s\"%s\"", sep, name);
        } else {
            line_add(&line, "%s\"0x%08lx\"", sep, ioctl_log[i]);
        }
    }
    line_add(&line, "],\"writes\":%ld,\"bytes\":%lld,\"underruns\":%ld,\"dry_ms\":%.3f", writes,
             bytes_accepted, underruns, static_cast<double>(dry_ns) / 1e6);
    line_add(&line, ",\"first_write_ms\":%.3f,\"gaps\":[",
             first_write_at_ns < 0 ? -1.0
                                   : static_cast<double>(first_write_at_ns - start_ns) / 1e6);
    for (long i = 0; i < underruns && i < kMaxLoggedGaps; i++)
        line_add(&line, "%s[%.3f,%.3f]", i > 0 ? "," : "",
                 static_cast<double>(gap_at_ns[i] - start_ns) / 1e6,
                 static_cast<double>(gap_ns[i]) / 1e6);
    line_add(&line, "]}\n");
    if (line.text == nullptr) {
        say("ossim: report line could not be built\n");
        return;
    }
    int fd = sys_open(report_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        say("ossim: cannot open OSSIM_REPORT\n");
    } else {
        // One write per line keeps lines of concurrent processes whole.
        append_all(fd, line.text, line.len);
        syscall(SYS_close, fd);
    }
    free(line.text);
}

__attribute__((constructor)) void ossim_load() {
    ossim_init();
}

} // namespace

// --- interposed entry points -----------------------------------------------------------

extern "C" {

#define OSSIM_TAKE_MODE(flags, last)                                                               \
    mode_t mode = 0;                                                                               \
    if (takes_mode(flags)) {                                                                       \
        va_list ap;                                                                                \
        va_start(ap, last);                                                                        \
        mode = static_cast<mode_t>(va_arg(ap, int));                                               \
        va_end(ap);                                                                                \
    }

int open(const char* path, int flags, ...) {
    OSSIM_TAKE_MODE(flags, flags);
    return open_common(E_OPEN, AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    OSSIM_TAKE_MODE(flags, flags);
    return open_common(E_OPEN64, AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    OSSIM_TAKE_MODE(flags, flags);
    return open_common(E_OPENAT, dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    OSSIM_TAKE_MODE(flags, flags);
    return open_common(E_OPENAT64, dirfd, path, flags, mode);
}

#undef OSSIM_TAKE_MODE

int creat(const char* path, mode_t mode) {
    return open_common(E_OPEN, AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

int creat64(const char* path, mode_t mode) {
    return open_common(E_OPEN64, AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

int __open_2(const char* path, int flags) {
    return open_common(E_OPEN_2, AT_FDCWD, path, flags, 0);
}

int __open64_2(const char* path, int flags) {
    return open_common(E_OPEN64_2, AT_FDCWD, path, flags, 0);
}

int __openat_2(int dirfd, const char* path, int flags) {
    return open_common(E_OPENAT_2, dirfd, path, flags, 0);
}

int __openat64_2(int dirfd, const char* path, int flags) {
    return open_common(E_OPENAT64_2, dirfd, path, flags, 0);
}

FILE* fopen(const char* path, const char* mode) {
    ossim_init();
    return fopen_common(real.fopen, path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
    ossim_init();
    return fopen_common(real.fopen64 != nullptr ? real.fopen64 : real.fopen, path, mode);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    ossim_init();
    if (is_device_fd(fd)) return device_ioctl(request, arg);
    if (real.ioctl != nullptr) return real.ioctl(fd, request, arg);
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

// The 64-bit time_t entry point of 32-bit targets.
int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    ossim_init();
    if (is_device_fd(fd)) return device_ioctl(request, arg);
    if (real.ioctl_time64 != nullptr) return real.ioctl_time64(fd, request, arg);
    if (real.ioctl != nullptr) return real.ioctl(fd, request, arg);
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

ssize_t write(int fd, const void* buf, size_t n) {
    ossim_init();
    if (is_device_fd(fd)) {
        struct iovec iov = {const_cast<void*>(buf), n};
        return device_writev(fd, &iov, 1);
    }
    if (real.write != nullptr) return real.write(fd, buf, n);
    return syscall(SYS_write, fd, buf, n);
}

ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
    ossim_init();
    if (is_device_fd(fd)) return device_writev(fd, iov, iovcnt);
    if (real.writev != nullptr) return real.writev(fd, iov, iovcnt);
    return syscall(SYS_writev, fd, iov, iovcnt);
}

ssize_t read(int fd, void* buf, size_t n) {
    ossim_init();
    stall_read(fd);
    if (real.read != nullptr) return real.read(fd, buf, n);
    return syscall(SYS_read, fd, buf, n);
}

ssize_t __read_chk(int fd, void* buf, size_t n, size_t buflen) {
    ossim_init();
    stall_read(fd);
    if (real.read_chk != nullptr) return real.read_chk(fd, buf, n, buflen);
    return syscall(SYS_read, fd, buf, n);
}

int poll(struct pollfd* fds, nfds_t n, int timeout_ms) {
    ossim_init();
    if (n <= static_cast<nfds_t>(kMaxPollFds) && has_device_fd(fds, n))
        return device_poll(fds, n, timeout_ms < 0 ? -1 : int64_t{timeout_ms} * 1000000, nullptr);
    if (real.poll != nullptr) return real.poll(fds, n, timeout_ms);
    struct timespec ts = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    return pass_ppoll(fds, n, timeout_ms < 0 ? nullptr : &ts, nullptr);
}

int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask) {
    ossim_init();
    if (n <= static_cast<nfds_t>(kMaxPollFds) && has_device_fd(fds, n)) {
        const int64_t ns = timeout == nullptr ? -1
                                              : static_cast<int64_t>(timeout->tv_sec) * 1000000000 +
                                                    timeout->tv_nsec;
        return device_poll(fds, n, ns, mask);
    }
    return pass_ppoll(fds, n, timeout, mask);
}

int close(int fd) {
    ossim_init();
    if (is_device_fd(fd)) return device_close(fd);
    if (real.close != nullptr) return real.close(fd);
    return static_cast<int>(syscall(SYS_close, fd));
}

} // extern "C"
