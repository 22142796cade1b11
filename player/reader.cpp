// The reader process: copies the file into the pipe so that a slow disk never stalls
// the player, which reads the other end without blocking.
#include "input.h"
#include "playfile.h"
#include "safeguards.h"
#include "settings.h"
#include "tracks.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

tProcesses processes = {-1, -1, -1};

namespace {

constexpr int READER_BUFFER = 4096;
constexpr int PIPE_PIECE = 512;
constexpr int PIPE_AHEAD_BYTES = 1 << 20; // 1048576
uint8_t reader_buffer[READER_BUFFER];

// The player's status once it has ended.
int wait_for_player() {
    int status = 0;
    pid_t r;
    do {
        r = waitpid(processes.child_pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r != processes.child_pid)
        status = processes.player_wait_status; // reaped by the SIGCHLD handler
    return status;
}

// The started process's status follows the player's: 0 only when it played to the end and
// no file `failed`.
[[noreturn]] void finish_reader(int failed) {
    const int status = wait_for_player();
    const bool played = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::exit(played && !failed ? 0 : 1);
}

// The rest of the file cannot be had: the player must not play on from what it holds
// and leave the command's status to say nothing. It is stopped, and the command ends
// with status 1 once it has gone.
[[noreturn]] void copy_failed() {
    if (processes.child_pid > 0) {
        kill(processes.child_pid, SIGTERM);
        wait_for_player();
    }
    std::exit(1);
}

} // namespace

int run_reader(const char* file, int64_t start_offset, int outfd) {
    const int fd = input_reader_open(file, start_offset);
    for (;;) {
        const long n = input_read(fd, reader_buffer, READER_BUFFER);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::perror(file);
            copy_failed();
        }
        if (n == 0) {
            close(outfd);
            close(fd);
            return 0;
        }
        for (ssize_t done = 0; done < n;) {
            const size_t piece = n - done < PIPE_PIECE ? static_cast<size_t>(n - done) : PIPE_PIECE;
            ssize_t w = write(outfd, reader_buffer + done, piece);
            if (w < 0 && errno == EINTR) continue;
            // The player has gone: nothing more to copy.
            if (w < 0 && errno == EPIPE) {
                close(outfd);
                close(fd);
                return 0;
            }
            if (w < 0) copy_failed();
            done += w;
        }
    }
}

void make_track_pipe(int (&fds)[2]) {
    if (pipe(fds) < 0) {
        std::perror("pipe");
        std::exit(1);
    }
    // While the player waits on a full device it does not read the pipe, so the pipe
    // itself is what lets the reader run ahead of a slow disk: as large as the pipe buffer.
    if (fcntl(fds[1], F_SETPIPE_SZ, PIPE_AHEAD_BYTES) < 0 && debug >= 1)
        std::printf("pipe capacity stays at the system default\n");
}

void fork_reader(const tProbeResult& track, const char* file) {
    if (debug >= 1)
        std::printf("forking sub-process, offset=%lld\n",
                    static_cast<long long>(track.start_offset));
    int fds[2];
    make_track_pipe(fds);
    std::fflush(stdout); // what is buffered is printed once, not by both processes
    const pid_t reader = getpid();
    processes.child_pid = fork();
    if (processes.child_pid < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (processes.child_pid > 0) {
        close(fds[0]);
        // A player that ends before the whole file is copied closes the pipe; the copy
        // then stops instead of the reader being killed by SIGPIPE.
        signal(SIGPIPE, SIG_IGN);
        // The reader needs neither locked pages nor the pipe buffer, which were set up
        // before the fork; giving them back halves its resident memory.
        if (munlockall() < 0) std::perror("munlockall()");
        free_pipe_buffer();
        run_reader(file, track.start_offset, fds[1]);
        finish_reader(copy_more_tracks());
    }
    follow_reader(reader);
    raise_priority();
    close(fds[1]);
    processes.infd = fds[0];
    int flags = fcntl(processes.infd, F_GETFL);
    if (flags < 0) {
        std::perror("fcntl");
        std::exit(1);
    }
    if (fcntl(processes.infd, F_SETFL, flags | O_NONBLOCK) < 0) {
        std::perror("fcntl");
        std::exit(1);
    }
}
