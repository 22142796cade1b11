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
//                       first open of the device)
//   OSSIM_REPORT=path   at exit each process that touched the device (opened it, or used
//                       a device descriptor itself) appends one line
//                       {"pid":N,"opens":N,"ioctls":["SNDCTL_DSP_RESET",...],"writes":N,
//                        "bytes":N,"underruns":N}
//                       opens counts open calls on the device, failed ones too; ioctls are
//                       named in call order (unknown requests as "0x%08lx", at most 16384
//                       listed); writes counts write and writev calls; bytes counts what the
//                       device accepted. A forked child starts from zero.
//   OSSIM_REALTIME=1    the device plays 176400 bytes/s from a 65536-byte buffer: a write
//                       sleeps while the buffer is full and returns when all of it has been
//                       taken (with O_NONBLOCK it takes what fits, or fails with EAGAIN);
//                       a write that finds the buffer run dry since the previous one counts
//                       an underrun, unless a RESET or SYNC came in between
//   OSSIM_CLOSE_DROPS=1 with OSSIM_REALTIME: closing the device, or exiting with it open,
//                       drops what it has not played yet, as a buffered device does when
//                       no SYNC waited for it; those bytes come off the end of OSSIM_OUTPUT
//   OSSIM_SPEED=x       the realtime device plays x times faster (default 1)
//   OSSIM_FAIL=list     comma-separated: open (ENOENT), write (EIO), ioctl (EIO); the
//                       failing calls are still counted
//
// Requests: RESET drops the queue, SYNC sleeps until it has played, POST and SETFRAGMENT
// are accepted, SETFMT and GETFMTS answer AFMT_S16_LE, CHANNELS 2, STEREO 1, SPEED 44100,
// GETBLKSIZE 4096, GETODELAY the queued bytes, GETOSPACE the free space in 4096-byte
// fragments of 16; any other request fails with EINVAL.
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
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr const char* kDevicePath = "/dev/dsp";
constexpr int64_t kBufferBytes = 65536;
constexpr int kFragmentBytes = 4096;
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
unsigned long ioctl_log[kMaxLoggedIoctls];
long ioctl_count = 0;

// Realtime buffer: it holds whatever has not played by empty_at_ns (CLOCK_MONOTONIC).
int64_t empty_at_ns = 0;
bool playing = false; // data written since open, reset or sync

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
    ioctl_count = 0;
    playing = false;
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

    copy_env("OSSIM_OUTPUT", output_path);
    copy_env("OSSIM_REPORT", report_path);
    const char* rt = getenv("OSSIM_REALTIME");
    realtime = rt != nullptr && rt[0] != '\0' && strcmp(rt, "0") != 0;
    const char* drops = getenv("OSSIM_CLOSE_DROPS");
    close_drops = drops != nullptr && drops[0] != '\0' && strcmp(drops, "0") != 0;
    const char* speed = getenv("OSSIM_SPEED");
    if (speed != nullptr && speed[0] != '\0') {
        char* end = nullptr;
        double x = strtod(speed, &end);
        if (*end == '\0' && x > 0 && std::isfinite(x)) {
            drain_rate = kBytesPerSecond * x;
        } else {
            say("ossim: bad OSSIM_SPEED ignored\n");
        }
    }
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
    playing = false;
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

int64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_until(int64_t when_ns) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(when_ns / 1000000000);
    ts.tv_nsec = static_cast<long>(when_ns % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Counts accepted bytes and appends them to the output file as one step that no signal
// splits: a process stopped by its signal handler reports exactly what the file holds.
void accept_bytes(const void* p, size_t n) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    bytes_accepted += static_cast<long long>(n);
    if (output_fd >= 0) append_all(output_fd, p, n);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

int64_t bytes_to_ns(int64_t n) {
    return static_cast<int64_t>(std::llround(static_cast<double>(n) * 1e9 / drain_rate));
}

// Bytes still queued at time t (a partly played byte counts as queued).
int64_t queued_at(int64_t t) {
    if (!realtime || empty_at_ns <= t) return 0;
    double q = std::ceil(static_cast<double>(empty_at_ns - t) * drain_rate / 1e9);
    return q > kBufferBytes ? kBufferBytes : static_cast<int64_t>(q);
}

void drop_queue() {
    empty_at_ns = now_ns();
    playing = false;
}

void wait_drained() {
    if (realtime && empty_at_ns > now_ns()) sleep_until(empty_at_ns);
    playing = false;
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

    int64_t t = now_ns();
    if (playing && empty_at_ns <= t) underruns++;
    bool nonblocking = (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
    // A non-blocking write takes what fits when it is made. Measured again while copying,
    // the room would grow with the draining queue on a machine slow enough (an emulator)
    // and the write would take everything.
    const int64_t room_now = kBufferBytes - queued_at(t);
    size_t accepted = 0;
    for (int i = 0; i < iovcnt; i++) {
        const char* p = static_cast<const char*>(iov[i].iov_base);
        size_t left = iov[i].iov_len;
        while (left > 0) {
            t = now_ns();
            int64_t room = nonblocking ? room_now - static_cast<int64_t>(accepted)
                                       : kBufferBytes - queued_at(t);
            if (room > 0) {
                size_t chunk = left < static_cast<size_t>(room) ? left : static_cast<size_t>(room);
                accept_bytes(p, chunk);
                if (empty_at_ns < t) empty_at_ns = t;
                empty_at_ns += bytes_to_ns(static_cast<int64_t>(chunk));
                playing = true;
                accepted += chunk;
                p += chunk;
                left -= chunk;
                continue;
            }
            if (nonblocking) {
                if (accepted > 0) return static_cast<ssize_t>(accepted);
                errno = EAGAIN;
                return -1;
            }
            // Wake when a fragment (or the rest of this write) fits.
            int64_t want = left < kFragmentBytes ? static_cast<int64_t>(left) : kFragmentBytes;
            sleep_until(empty_at_ns - bytes_to_ns(kBufferBytes - want) + 1000);
        }
    }
    return static_cast<ssize_t>(accepted);
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
        return answer_int(arg, kFragmentBytes);
    case SNDCTL_DSP_SETFRAGMENT:
        if (arg == nullptr) {
            errno = EFAULT;
            return -1;
        }
        return 0;
    case SNDCTL_DSP_GETODELAY:
        return answer_int(arg, static_cast<int>(queued_at(now_ns())));
    case SNDCTL_DSP_GETOSPACE: {
        if (arg == nullptr) {
            errno = EFAULT;
            return -1;
        }
        int room = static_cast<int>(kBufferBytes - queued_at(now_ns()));
        audio_buf_info* info = static_cast<audio_buf_info*>(arg);
        info->fragments = room / kFragmentBytes;
        info->fragstotal = static_cast<int>(kBufferBytes / kFragmentBytes);
        info->fragsize = kFragmentBytes;
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
    line_add(&line, "],\"writes\":%ld,\"bytes\":%lld,\"underruns\":%ld}\n", writes, bytes_accepted,
             underruns);
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

int close(int fd) {
    ossim_init();
    if (is_device_fd(fd)) return device_close(fd);
    if (real.close != nullptr) return real.close(fd);
    return static_cast<int>(syscall(SYS_close, fd));
}

} // extern "C"
