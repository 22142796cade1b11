#include "tracks.h"

#include "audio.h"
#include "input.h"
#include "settings.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <type_traits>
#include <unistd.h>

namespace {

// What the reader hands the player for each track after the first, with the track's pipe.
struct tTrackRecord {
    tPlayback pb;
    int32_t file_index; // in the run's list of files
};
static_assert(std::is_trivially_copyable_v<tTrackRecord>);

// The run's files, and the socket between reader and player (0: the reader's end, 1: the
// player's; -1 when closed or never made, as for one file).
struct tTrackList {
    char* const* files;
    int32_t count;
    long offset;
    int32_t next;    // the file the reader probes next
    int32_t playing; // the file the player plays
    int32_t failed;  // a file has failed (the reader's count)
    int32_t channel[2];
};
tTrackList tracks = {nullptr, 0, 0, 0, 0, 0, {-1, -1}};

// Time as m:ss, or h:mm:ss from an hour on.
void format_time(long seconds, char (&text)[32]) {
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
}

// The probe, in the child of prepare_track: the record goes to `out` when the file can be
// played; a refused file ends the process with its own message before.
[[noreturn]] void probe_child(const char* file, long offset, int out) {
    processes.child_pid = -1;
    tPlayback pb{};
    pb.rate = 44100;
    pb.last_second = -1;
    pb.file_fd = -1;
    if (debug >= 1)
        std::printf("initializing MP3 library, inst=0x%08X\n",
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(inst)));
    MP3InitInstance(inst);
    probe_file(pb, file, offset);
    close(pb.file_fd);
    pb.file_fd = -1;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&pb);
    for (size_t done = 0; done < sizeof pb;) {
        const ssize_t n = write(out, bytes + done, sizeof pb - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(1);
        done += static_cast<size_t>(n);
    }
    std::fflush(stdout);
    _exit(0);
}

bool past_end(const tPlayback& pb) {
    return pb.wavmode ? pb.wav_bytes_done >= pb.wav.data_size : pb.start_offset >= pb.file_length;
}

// The ancillary data of one track message: the descriptor of the track's pipe.
struct tTrackControl {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(int))];
};

// One track record with room for its descriptor, the same on both ends of the channel.
msghdr track_message(iovec& iov, tTrackControl& control) {
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof control.bytes;
    return msg;
}

// Sends the player a track and its pipe's read end. False when the player has gone.
bool send_track(const tTrackRecord& record, int fd) {
    iovec iov{const_cast<tTrackRecord*>(&record), sizeof record};
    tTrackControl control{};
    msghdr msg = track_message(iov, control);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    ssize_t n;
    while ((n = sendmsg(tracks.channel[0], &msg, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(sizeof record);
}

// In the player: the reader's next track, its pipe made the input. False when there is none.
bool next_track(tPlayback& pb) {
    if (tracks.channel[0] >= 0) { // the reader's end, inherited
        close(tracks.channel[0]);
        tracks.channel[0] = -1;
    }
    if (tracks.channel[1] < 0) return false;
    tTrackRecord record{};
    iovec iov{&record, sizeof record};
    tTrackControl control{};
    msghdr msg = track_message(iov, control);
    ssize_t n;
    while ((n = recvmsg(tracks.channel[1], &msg, 0)) < 0 && errno == EINTR) {
    }
    const cmsghdr* c = CMSG_FIRSTHDR(&msg);
    if (n != static_cast<ssize_t>(sizeof record) || c == nullptr || c->cmsg_type != SCM_RIGHTS) {
        close(tracks.channel[1]);
        tracks.channel[1] = -1;
        return false;
    }
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    pb = record.pb;
    tracks.playing = record.file_index;
    processes.infd = fd;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        std::perror("fcntl");
        std::exit(1);
    }
    return true;
}

// The first file from `tracks.next` on that can be played; -1 when none is left.
int next_ready(tPlayback& pb) {
    while (tracks.next < tracks.count) {
        const int k = tracks.next++;
        const int r = prepare_track(pb, tracks.files[k], tracks.offset);
        if (r == TRACK_READY) return k;
        if (r == TRACK_FAILED) tracks.failed = 1;
    }
    return -1;
}

} // namespace

int prepare_track(tPlayback& pb, const char* file, long offset) {
    if (debug >= 1) std::printf("playfile(%s, %ld);\n", file, offset);
    if (!input_check(file)) return TRACK_FAILED;
    int fds[2];
    if (pipe(fds) < 0) {
        std::perror("pipe");
        std::exit(1);
    }
    // The probe's process is reaped here, not by the handler that waits for the player.
    sigset_t chld, saved;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &saved);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (pid == 0) {
        close(fds[0]);
        probe_child(file, offset, fds[1]);
    }
    close(fds[1]);
    size_t got = 0;
    auto* bytes = reinterpret_cast<uint8_t*>(&pb);
    while (got < sizeof pb) {
        const ssize_t n = read(fds[0], bytes + got, sizeof pb - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fds[0]);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (got != sizeof pb) return TRACK_FAILED;
    // An MPEG stream's length is not known ahead: the reader finds where it ends.
    if (offset > 0 && (pb.wavmode || !input_is_stream(file)) && past_end(pb)) {
        char at[32], length[32];
        format_time(offset, at);
        format_time(pb.total_track_time, length);
        std::fprintf(stderr, "%s: %s is at or past the end of the track (%s)\n", file, at, length);
        return TRACK_EMPTY;
    }
    return TRACK_READY;
}

int play_tracks(char* const* files, int count, long offset) {
    tracks = {files, count, offset, 0, 0, 0, {-1, -1}};
    tPlayback pb{};
    const int first = next_ready(pb);
    if (first < 0) return tracks.failed;
    tracks.playing = first;
    if (tracks.next < tracks.count && socketpair(AF_UNIX, SOCK_SEQPACKET, 0, tracks.channel) < 0) {
        std::perror("socketpair");
        std::exit(1);
    }
    int failed = play_first_track(pb, files[first]); // only the player comes back
    while (failed == 0 && next_track(pb))
        failed = play_track(pb);
    end_play(failed);
    return failed;
}

int copy_more_tracks() {
    if (tracks.channel[1] >= 0) { // the player's end, inherited
        close(tracks.channel[1]);
        tracks.channel[1] = -1;
    }
    tTrackRecord record{};
    while (tracks.channel[0] >= 0) {
        record.file_index = next_ready(record.pb);
        if (record.file_index < 0) break;
        const int k = record.file_index;
        int fds[2];
        make_track_pipe(fds);
        const bool sent = send_track(record, fds[0]);
        close(fds[0]);
        if (!sent) { // the player has gone
            close(fds[1]);
            break;
        }
        run_reader(tracks.files[k], record.pb.start_offset, fds[1]);
    }
    if (tracks.channel[0] >= 0) close(tracks.channel[0]);
    tracks.channel[0] = -1;
    return tracks.failed;
}

int info_tracks(char* const* files, int count, long offset) {
    for (int k = 0; k < count; k++) {
        tPlayback pb{};
        prepare_track(pb, files[k], offset);
    }
    return 1;
}

const char* track_name() {
    return tracks.files != nullptr ? tracks.files[tracks.playing] : "";
}
