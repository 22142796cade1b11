// Drives the OSS device simulator from a script given on the command line, one step per
// argument, and prints one line per step:
//
//   pid                     "pid <n>"
//   ENTRY[:PATH]            open PATH (default "/dev/dsp") write-only through ENTRY, one of
//                           open open64 openat openat64 open_2 open64_2 openat_2 openat64_2
//                           fopen fopen64 creat creat64; a PATH other than the device is
//                           created.
//                           The opened descriptor becomes the current one.
//   use:K                   make the K-th opened descriptor (from 0) current again
//   nonblock                set O_NONBLOCK on the current descriptor
//   write:N / writev:N      write N bytes (writev: in two pieces) of a running byte
//                           pattern (byte i of everything this process wrote is i mod 251)
//   ioctl:NAME[:VALUE]      NAME is the request without "SNDCTL_DSP_" or a hex number;
//                           int requests pass a pointer to VALUE (default 0), RESET and
//                           POST pass 0
//   sleep:S                 sleep S seconds
//   poll:MS                 poll the current descriptor for POLLOUT, MS ms at most
//   read:PATH               read the file at PATH to its end, "read bytes=<n>"
//   close                   close (or fclose) the current descriptor
//   rawclose                close the current descriptor with the bare system call,
//                           behind the back of anything that intercepts close
//   trap                    SIGTERM handler: ioctl RESET, close, exit(1), as the player does
//   fork{ ... }             the steps up to the matching "}" run in a child, which then
//                           exits 0; the parent waits for it
//   _exit:N                 end at once, skipping exit handlers
//
// Each line ends with " elapsed=<seconds>" for the step and " at=<seconds>", the time
// since the probe started at the end of the step.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern "C" int __open_2(const char*, int);
extern "C" int __open64_2(const char*, int);
extern "C" int __openat_2(int, const char*, int);
extern "C" int __openat64_2(int, const char*, int);

namespace {

struct tHandle {
    int fd;
    FILE* stream;
};

std::vector<tHandle> handles;
int current = -1;
unsigned long pattern_pos = 0;
volatile int trap_fd = -1;
double started = 0;

double now_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

const char* errno_name(int e) {
    switch (e) {
    case ENOENT:
        return "ENOENT";
    case EIO:
        return "EIO";
    case EINVAL:
        return "EINVAL";
    case EBADF:
        return "EBADF";
    case EAGAIN:
        return "EAGAIN";
    case EFAULT:
        return "EFAULT";
    case ENOTTY:
        return "ENOTTY";
    default:
        return "other";
    }
}

void print_result(long ret, int err) {
    if (ret < 0) {
        printf(" ret=%ld err=%s", ret, errno_name(err));
    } else {
        printf(" ret=%ld", ret);
    }
}

std::string arg_of(const std::string& step) {
    size_t colon = step.find(':');
    return colon == std::string::npos ? std::string() : step.substr(colon + 1);
}

std::string head_of(const std::string& step) {
    return step.substr(0, step.find(':'));
}

bool is_open_entry(const std::string& name) {
    static const char* const entries[] = {"open",   "open64",   "openat",   "openat64",
                                          "open_2", "open64_2", "openat_2", "openat64_2",
                                          "fopen",  "fopen64",  "creat",    "creat64"};
    for (const char* e : entries) {
        if (name == e) return true;
    }
    return false;
}

void step_open(const std::string& entry, std::string path) {
    if (path.empty()) path = "/dev/dsp";
    const char* p = path.c_str();
    int flags = O_WRONLY;
    if (path != "/dev/dsp") {
        if (entry.find("_2") != std::string::npos) {
            // The fortified forms cannot create, so the file is made first.
            int fd = ::open(p, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) ::close(fd);
        } else {
            flags |= O_CREAT | O_TRUNC;
        }
    }
    tHandle h = {-1, nullptr};
    errno = 0;
    if (entry == "open") h.fd = open(p, flags, 0644);
    if (entry == "open64") h.fd = open64(p, flags, 0644);
    if (entry == "openat") h.fd = openat(AT_FDCWD, p, flags, 0644);
    if (entry == "openat64") h.fd = openat64(AT_FDCWD, p, flags, 0644);
    if (entry == "creat") h.fd = creat(p, 0644);
    if (entry == "creat64") h.fd = creat64(p, 0644);
    if (entry == "open_2") h.fd = __open_2(p, flags);
    if (entry == "open64_2") h.fd = __open64_2(p, flags);
    if (entry == "openat_2") h.fd = __openat_2(AT_FDCWD, p, flags);
    if (entry == "openat64_2") h.fd = __openat64_2(AT_FDCWD, p, flags);
    if (entry == "fopen" || entry == "fopen64") {
        h.stream = entry == "fopen" ? fopen(p, "w") : fopen64(p, "w");
        h.fd = h.stream != nullptr ? 0 : -1;
    }
    int err = errno;
    printf("%s", entry.c_str());
    print_result(h.fd, err);
    if (h.fd >= 0) {
        handles.push_back(h);
        current = static_cast<int>(handles.size()) - 1;
    }
}

void step_write(bool vectored, long n) {
    std::string data(static_cast<size_t>(n), '\0');
    for (char& c : data)
        c = static_cast<char>(pattern_pos++ % 251);
    long ret = -1;
    int err = EBADF;
    if (current >= 0) {
        tHandle& h = handles[static_cast<size_t>(current)];
        errno = 0;
        if (h.stream != nullptr) {
            size_t put = fwrite(data.data(), 1, data.size(), h.stream);
            ret = fflush(h.stream) == 0 ? static_cast<long>(put) : -1;
        } else if (vectored) {
            struct iovec iov[2];
            iov[0].iov_base = data.data();
            iov[0].iov_len = data.size() / 3;
            iov[1].iov_base = data.data() + data.size() / 3;
            iov[1].iov_len = data.size() - data.size() / 3;
            ret = writev(h.fd, iov, 2);
        } else {
            ret = write(h.fd, data.data(), data.size());
        }
        err = errno;
    }
    printf("%s n=%ld", vectored ? "writev" : "write", n);
    print_result(ret, err);
}

struct tRequest {
    const char* name;
    unsigned long request;
    bool no_arg;
};

const tRequest requests[] = {
    {"RESET", SNDCTL_DSP_RESET, true},
    {"SYNC", SNDCTL_DSP_SYNC, false},
    {"POST", SNDCTL_DSP_POST, true},
    {"SETFMT", SNDCTL_DSP_SETFMT, false},
    {"GETFMTS", SNDCTL_DSP_GETFMTS, false},
    {"CHANNELS", SNDCTL_DSP_CHANNELS, false},
    {"STEREO", SNDCTL_DSP_STEREO, false},
    {"SPEED", SNDCTL_DSP_SPEED, false},
    {"GETBLKSIZE", SNDCTL_DSP_GETBLKSIZE, false},
    {"SETFRAGMENT", SNDCTL_DSP_SETFRAGMENT, false},
    {"GETODELAY", SNDCTL_DSP_GETODELAY, false},
};

void step_ioctl(const std::string& arg) {
    std::string name = head_of(arg);
    std::string value_text = arg_of(arg);
    int fd = current >= 0 ? handles[static_cast<size_t>(current)].fd : -1;
    errno = 0;
    if (name == "GETOSPACE") {
        audio_buf_info info = {-1, -1, -1, -1};
        int ret = ioctl(fd, SNDCTL_DSP_GETOSPACE, &info);
        int err = errno;
        printf("ioctl GETOSPACE");
        print_result(ret, err);
        printf(" fragments=%d fragstotal=%d fragsize=%d bytes=%d", info.fragments, info.fragstotal,
               info.fragsize, info.bytes);
        return;
    }
    unsigned long request = 0;
    bool no_arg = false;
    bool known = false;
    for (const tRequest& r : requests) {
        if (name == r.name) {
            request = r.request;
            no_arg = r.no_arg;
            known = true;
        }
    }
    if (!known) request = strtoul(name.c_str(), nullptr, 16);
    int value = value_text.empty() ? 0 : atoi(value_text.c_str());
    int ret = no_arg ? ioctl(fd, request, 0) : ioctl(fd, request, &value);
    int err = errno;
    printf("ioctl %s", name.c_str());
    print_result(ret, err);
    if (!no_arg) printf(" val=%d", value);
}

void step_close() {
    long ret = -1;
    int err = EBADF;
    if (current >= 0) {
        tHandle& h = handles[static_cast<size_t>(current)];
        errno = 0;
        ret = h.stream != nullptr ? fclose(h.stream) : close(h.fd);
        err = errno;
        h.stream = nullptr;
        h.fd = -1;
    }
    printf("close");
    print_result(ret, err);
}

void on_term(int) {
    ioctl(trap_fd, SNDCTL_DSP_RESET, 0);
    close(trap_fd);
    exit(1);
}

void run_steps(const std::vector<std::string>& steps, size_t from, size_t to);

size_t matching_brace(const std::vector<std::string>& steps, size_t open_at, size_t to) {
    int depth = 0;
    for (size_t i = open_at; i < to; i++) {
        if (steps[i] == "fork{") depth++;
        if (steps[i] == "}" && --depth == 0) return i;
    }
    fprintf(stderr, "ossim_probe: unmatched fork{\n");
    exit(2);
}

void run_steps(const std::vector<std::string>& steps, size_t from, size_t to) {
    for (size_t i = from; i < to; i++) {
        const std::string& step = steps[i];
        std::string head = head_of(step);
        double start = now_s();
        if (step == "fork{") {
            size_t close_at = matching_brace(steps, i, to);
            fflush(stdout);
            pid_t pid = fork();
            if (pid == 0) {
                run_steps(steps, i + 1, close_at);
                exit(0);
            }
            int status = 0;
            waitpid(pid, &status, 0);
            printf("fork pid=%d status=%d", static_cast<int>(pid),
                   WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            i = close_at;
        } else if (step == "pid") {
            printf("pid %d", static_cast<int>(getpid()));
        } else if (is_open_entry(head)) {
            step_open(head, arg_of(step));
        } else if (head == "use") {
            current = atoi(arg_of(step).c_str());
            printf("use %d", current);
        } else if (step == "nonblock") {
            int fd = handles[static_cast<size_t>(current)].fd;
            int ret = fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            printf("nonblock");
            print_result(ret, errno);
        } else if (head == "poll") {
            struct pollfd p = {current >= 0 ? handles[static_cast<size_t>(current)].fd : -1,
                               POLLOUT, 0};
            errno = 0;
            int ret = poll(&p, 1, atoi(arg_of(step).c_str()));
            printf("poll");
            print_result(ret, errno);
            printf(" revents=%d", p.revents);
        } else if (head == "read") {
            int fd = open(arg_of(step).c_str(), O_RDONLY);
            char buf[4096];
            long total = 0;
            for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
                total += n;
            if (fd >= 0) close(fd);
            printf("read bytes=%ld", total);
        } else if (head == "write" || head == "writev") {
            step_write(head == "writev", atol(arg_of(step).c_str()));
        } else if (head == "ioctl") {
            step_ioctl(arg_of(step));
        } else if (head == "sleep") {
            double s = atof(arg_of(step).c_str());
            struct timespec ts;
            ts.tv_sec = static_cast<time_t>(s);
            ts.tv_nsec = static_cast<long>((s - static_cast<double>(ts.tv_sec)) * 1e9);
            while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
            }
            printf("sleep");
        } else if (step == "close") {
            step_close();
        } else if (step == "rawclose") {
            int fd = current >= 0 ? handles[static_cast<size_t>(current)].fd : -1;
            long ret = syscall(SYS_close, fd);
            printf("rawclose");
            print_result(ret, errno);
        } else if (step == "trap") {
            trap_fd = current >= 0 ? handles[static_cast<size_t>(current)].fd : -1;
            signal(SIGTERM, on_term);
            printf("trap fd=%d", trap_fd);
        } else if (head == "_exit") {
            fflush(stdout);
            _exit(atoi(arg_of(step).c_str()));
        } else {
            fprintf(stderr, "ossim_probe: unknown step '%s'\n", step.c_str());
            exit(2);
        }
        double end = now_s();
        printf(" elapsed=%.6f at=%.6f\n", end - start, end - started);
        fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv) {
    started = now_s();
    std::vector<std::string> steps(argv + 1, argv + argc);
    run_steps(steps, 0, steps.size());
    return 0;
}
