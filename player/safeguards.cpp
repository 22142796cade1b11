#include "safeguards.h"

#include "rivover.h"
#include "settings.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Low among real-time levels: above every ordinary program, below the kernel's own
// interrupt threads (50).
constexpr int PLAYER_FIFO_PRIORITY = 10;
// The nice value taken when no real-time level is permitted.
constexpr int PLAYER_NICE = -10;

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Makes the pages of [begin, end) resident and locks them; a failure is left to
// mlockall to report.
[[maybe_unused]] void lock_range(const void* begin, const void* end) {
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto first = reinterpret_cast<uintptr_t>(begin) & ~(page - 1);
    const auto last = reinterpret_cast<uintptr_t>(end);
    if (last > first) mlock(reinterpret_cast<const void*>(first), last - first);
}

} // namespace

// The program's image as the linker lays it out: code, constant tables, data and bss.
extern "C" const char __executable_start[];
extern "C" const char _end[];

void lock_pages(std::span<const uint8_t> buffer) {
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer's shadow memory cannot be locked
    // The program's code and tables must never wait on a disk that may be spun down, nor
    // the pipe buffer for a free page: both are read in or allocated now.
    lock_range(__executable_start, _end);
    lock_range(buffer.data(), buffer.data() + buffer.size());
    // A kernel before Linux 4.4 has no MCL_ONFAULT and locks every page of every mapping.
    if (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) < 0 &&
        (errno != EINVAL || mlockall(MCL_CURRENT | MCL_FUTURE) < 0))
        std::perror("mlockall(MCL_CURRENT | MCL_FUTURE)");
#else
    (void)buffer;
#endif
}

void startup_hygiene() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number is fd itself: the ones below it are open by now.
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0) _exit(1); // nothing to report through
        if (null_fd != fd) {       // cannot happen, but never leave a gap
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
    signal(SIGXFSZ, SIG_IGN);
}

void refuse_output_on_input(int argc, char** argv) {
    const char* output = nullptr;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (std::strcmp(argv[i], "--") == 0) {
            i++;
            break;
        }
        if (argv[i][1] == 'h') return; // help ends the run before anything is opened
        if (argv[i][1] == 'o') output = argv[i] + 2;
    }
    struct stat out {};
    if (output == nullptr || stat(output, &out) != 0) return;
    for (; i < argc; i++) {
        struct stat in {};
        if (stat(argv[i], &in) == 0 && same_file(in, out)) {
            std::fprintf(stderr, "%s: the -o file is the file to play\n", output);
            std::exit(1);
        }
    }
}

void follow_reader(pid_t reader) {
    // The signal comes when the reader ends; a reader that ended before this call is
    // seen by its pid no longer being our parent.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) < 0) std::perror("prctl(PR_SET_PDEATHSIG)");
    if (getppid() != reader) raise(SIGTERM);
}

void raise_priority() {
    const char* off = std::getenv("VEXA_NO_PRIORITY");
    if (off != nullptr && *off != '\0' && std::strcmp(off, "0") != 0) return;
    sched_param param{};
    param.sched_priority = PLAYER_FIFO_PRIORITY;
    if (sched_setscheduler(0, SCHED_FIFO, &param) == 0) {
        if (debug >= 1)
            std::printf("player runs at real-time priority (SCHED_FIFO %d)\n",
                        PLAYER_FIFO_PRIORITY);
        return;
    }
    const int fifo_error = errno;
    if (setpriority(PRIO_PROCESS, 0, PLAYER_NICE) == 0) {
        if (debug >= 1) std::printf("player runs at nice %d\n", PLAYER_NICE);
        return;
    }
    if (debug >= 1) std::printf("player priority unchanged: %s\n", std::strerror(fifo_error));
}

void report_play_time(int seconds) {
    if (ctl_report_play_time(seconds) == 0 && debug >= 1)
        std::printf("play-time report %d dropped: control socket full (%d dropped)\n", seconds,
                    ctl_report_dropped());
}

long long parse_kest_sleep(const char* text) {
    if (text == nullptr || *text == '\0') return -1;
    long long us = 0;
    for (const char* c = text; *c != '\0'; c++) {
        if (*c < '0' || *c > '9') return -1;
        if (us > (0x7fffffffffffffffLL - 9) / 10) return -1;
        us = us * 10 + (*c - '0');
    }
    return us;
}

void kest_sleep() {
    const long long us = parse_kest_sleep(std::getenv("KEST_SLEEP"));
    if (us < 0) return;
    if (debug >= 1) std::printf("kest sleep before exit\n");
    timespec left{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}
