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

} // namespace

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
