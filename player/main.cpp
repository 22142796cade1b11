// vexa: plays MPEG audio Layer III and PCM WAV files to the OSS device.
#include "audio.h"
#include "cmdline.h"
#include "playfile.h"
#include "rivover.h"
#include "safeguards.h"
#include "settings.h"
#include "tracks.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int number(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

// Both stop the play at once: the device's queue is dropped, and the reader passes the
// signal on to the player.
void stop_now() {
    if (debug >= 1) std::printf("got SIGTERM or SIGINT\n");
    close(processes.infd);
    audio_reset();
    audio_close();
    if (processes.child_pid > 0) kill(processes.child_pid, SIGTERM);
}

// SIGTERM ends with status 1: the device's caller relies on it.
void sigterm_handler(int) {
    stop_now();
    std::exit(1);
}

// SIGINT ends the process by SIGINT itself, as the shell expects of an interrupted program
// (a loop over files stops).
void sigint_handler(int) {
    stop_now();
    std::fflush(nullptr);
    signal(SIGINT, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    raise(SIGINT);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    _exit(1);
}

void sigchld_handler(int) {
    const int saved = errno;
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        // The reader's only child is the player. Its pid is not compared: a player that
        // ends at once can be reaped before fork() has returned its pid to us.
        processes.player_wait_status = status;
        if (debug >= 1) {
            if (WIFEXITED(status))
                std::printf("child process exited normally (%d).\n", WEXITSTATUS(status));
            else if (WIFSIGNALED(status))
                std::printf("child process exited because of an uncaught signal (%d).\n",
                            WTERMSIG(status));
        }
    }
    errno = saved;
}

} // namespace

int main(int argc, char** argv) {
    startup_hygiene();
    // Asked first, they answer without contacting the daemon.
    if (argc > 1) info_option(argv[1]);
    if (const char* level = std::getenv("VEXA_DEBUG_LEVEL")) debug = number(level);
    // A closed standard output or copy is a write error, told once; the sound goes on.
    signal(SIGPIPE, SIG_IGN);
    if (debug >= 1) std::printf("vexa\ninitializing rivover\n");
    ctl_report_open();

    refuse_output_on_input(argc, argv);
    tOperands files{};
    if (!take_operands(argc, argv, parse_options(argc, argv), &files)) {
        ctl_report_close();
        return 1;
    }
    audio_configure({silent, swap_channels, output_file, output_name, output_device});
    const tPlayerConfig config{override_channels, override_samplerate, info_only,
                               gapless,           swap_bytes,          silent};

    if (debug >= 1) std::printf("installing signal handlers\n");
    if (signal(SIGTERM, sigterm_handler) == SIG_ERR || signal(SIGINT, sigint_handler) == SIG_ERR) {
        std::perror("signal()");
        std::exit(1);
    }
    if (signal(SIGCHLD, sigchld_handler) == SIG_ERR) {
        std::perror("signal");
        std::exit(1);
    }

    if (debug >= 1) std::printf("initializing decoder\n");
    decoder_init();
    if (debug >= 1) std::printf("locking pages in memory\n");
    lock_pages({});

    char* const* names = argv + files.first;
    const int result = config.info_only ? info_tracks(config, names, files.count, files.offset)
                                        : play_tracks(config, names, files.count, files.offset);
    if (debug >= 1)
        std::printf("playfile(%s, %ld) returned %d\n", track_name(), files.offset, result);
    int status = result != 0 ? 1 : 0;
    if (audio_finish_copy() != 0) status = 1;

    if (munlockall() < 0) std::perror("munlockall()");
    ctl_report_close();
    kest_sleep();
    return status;
}
