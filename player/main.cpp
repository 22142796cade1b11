// vexa: plays one MPEG audio Layer III or PCM WAV file to the OSS device.
#include "audio.h"
#include "playfile.h"
#include "rivover.h"
#include "safeguards.h"
#include "settings.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* help_text[] = {
    "usage:   vexa [options] file [offset]\n",
    "options:\n",
    "         -c<i> set number of channels (override) to <i>\n",
    "         -d<i> set debug level to <i>\n",
    "         -h    print this message\n",
    "         -i    only print mp3 info, do not play.\n",
    "         -o<f> output to file <f>\n",
    "         -p    swap left and right channels\n",
    "         -q    quiet mode\n",
    "         -r<i> set sample rate (override) to <i>\n",
    "         -s    spin down the hard drive when buffer is full\n",
    "         -w    set word byte swapping (LE/BE conversion)\n",
    "\n",
};

void print_help() {
    for (const char* line : help_text)
        std::fputs(line, stdout);
}

// --help and --version answer and exit 0.
void info_option(const char* arg) {
    if (std::strcmp(arg, "--help") == 0) {
        print_help();
        std::exit(0);
    }
    if (std::strcmp(arg, "--version") == 0) {
        std::printf("vexa %s\n", VEXA_VERSION);
        std::exit(0);
    }
}

int number(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

void sigterm_handler(int) {
    if (debug >= 1) std::printf("got SIGTERM or SIGINT\n");
    close(processes.infd);
    audio_reset();
    audio_close();
    if (processes.child_pid > 0) kill(processes.child_pid, SIGTERM);
    std::exit(1);
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

// Options come first, each one argument; returns the index of the first operand.
int parse_options(int argc, char** argv) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) return i + 1;
        if (debug >= 1) std::printf("arg: %s\n", arg);
        const char* value = arg + (arg[1] != '\0' ? 2 : 1);
        switch (arg[1]) {
        case '-': // other long forms are passed over like unknown letters
            info_option(arg);
            break;
        case 'a': // a lone -a leaves the choice to the player
            output_device = value[0] != '\0' ? value : nullptr;
            break;
        case 'c':
            override_channels = number(value);
            if (override_channels != 1 && override_channels != 2) {
                if (debug > 0) std::printf("override_channels invalid (%d)\n", override_channels);
                override_channels = 0;
            }
            if (debug > 0) std::printf("override_channels = %d\n", override_channels);
            break;
        case 'd':
            debug = number(value);
            if (debug > 0) std::printf("debug=%d\n", debug);
            break;
        case 'h':
            print_help();
            std::exit(1);
        case 'i':
            info_only = 1;
            silent = 1;
            break;
        case 'o':
            if (debug > 0) std::printf("outputting to file %s\n", value);
            output_file = std::fopen(value, "w");
            output_name = value;
            if (output_file == nullptr) {
                std::perror(value);
                std::exit(1);
            }
            break;
        case 'p':
            swap_channels = 1;
            break;
        case 'q':
            silent = 1;
            if (debug > 0) std::printf("silent=%d\n", 1);
            break;
        case 'r':
            override_samplerate = number(value);
            if (override_samplerate != 11025 && override_samplerate != 22050 &&
                override_samplerate != 44100) {
                if (debug > 0)
                    std::printf("override_samplerate invalid (%d)\n", override_samplerate);
                override_samplerate = 0;
            }
            if (debug > 0) std::printf("override_samplerate = %d\n", override_samplerate);
            break;
        case 's':
            spindown = 1;
            if (debug > 0) std::printf("spindown=%d\n", 1);
            break;
        case 'w':
            swap_bytes = 0;
            if (debug > 0) std::printf("swap_bytes=%d\n", 0);
            break;
        default:
            break; // unknown letters and a lone dash are passed over
        }
    }
    return i;
}

void lock_memory() {
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer's shadow memory cannot be locked
    if (mlockall(MCL_CURRENT | MCL_FUTURE) < 0) std::perror("mlockall(MCL_CURRENT | MCL_FUTURE)");
#endif
}

} // namespace

int main(int argc, char** argv) {
    startup_hygiene();
    // Asked first, they answer without contacting the daemon.
    if (argc > 1) info_option(argv[1]);
    if (const char* level = std::getenv("VEXA_DEBUG_LEVEL")) debug = number(level);
    if (debug >= 1) std::printf("vexa\ninitializing rivover\n");
    ctl_report_open();

    refuse_output_on_input(argc, argv);
    const int operand = parse_options(argc, argv);
    audio_configure({silent, swap_channels, output_file, output_name, output_device});

    if (debug >= 1) std::printf("installing signal handlers\n");
    if (signal(SIGTERM, sigterm_handler) == SIG_ERR || signal(SIGINT, sigterm_handler) == SIG_ERR) {
        std::perror("signal()");
        std::exit(1);
    }
    if (signal(SIGCHLD, sigchld_handler) == SIG_ERR) {
        std::perror("signal");
        std::exit(1);
    }

    if (debug >= 1) std::printf("initializing decoder\n");
    decoder_init();
    // With a file the device is opened by the process that plays it, after the fork.
    if (operand >= argc) open_device();
    if (debug >= 1) std::printf("locking pages in memory\n");
    lock_memory();

    int status = 0;
    if (operand < argc) {
        const char* file = argv[operand];
        const long offset = operand + 1 < argc ? std::strtol(argv[operand + 1], nullptr, 10) : 0;
        if (debug >= 1) std::printf("playfile(%s, %ld);\n", file, offset);
        const int result = playfile(file, offset);
        if (debug >= 1) std::printf("playfile(%s, %ld) returned %d\n", file, offset, result);
        status = result != 0 ? 1 : 0;
    }
    if (audio_finish_copy() != 0) status = 1;

    if (munlockall() < 0) std::perror("munlockall()");
    ctl_report_close();
    kest_sleep();
    return status;
}
