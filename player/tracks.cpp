#include "tracks.h"

#include "audio.h"
#include "input.h"
#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <type_traits>
#include <unistd.h>

namespace {

// What the reader hands the player for each track after the first, with the track's pipe.
struct tTrackRecord {
    tProbeResult track;
    int32_t file_index; // in the run's list of files
};
static_assert(std::is_trivially_copyable_v<tTrackRecord>);

// The run's files, and the socket between reader and player (0: the reader's end, 1: the
// player's; -1 when closed or never made, as for one file).
struct tTrackList {
    tPlayerConfig config;
    char* const* files;
    int32_t count;
    long offset;
    int32_t next;    // the file the reader probes next
    int32_t playing; // the file the player plays
    int32_t failed;  // a file has failed (the reader's count)
    int32_t channel[2];
};
tTrackList tracks = {{}, nullptr, 0, 0, 0, 0, 0, {-1, -1}};

// Time as m:ss, or h:mm:ss from an hour on.
void format_time(long seconds, char (&text)[32]) {
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
}

bool past_end(const tProbeResult& pb) {
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
bool next_track(tProbeResult& track) {
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
    track = record.track;
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
int next_ready(tProbeResult& track) {
    while (tracks.next < tracks.count) {
        const int k = tracks.next++;
        const int r = prepare_track(tracks.config, track, tracks.files[k], tracks.offset);
        if (r == TRACK_READY) return k;
        if (r == TRACK_FAILED) tracks.failed = 1;
    }
    return -1;
}

} // namespace

int prepare_track(const tPlayerConfig& config, tProbeResult& track, const char* file, long offset) {
    if (debug >= 1) std::printf("playfile(%s, %ld);\n", file, offset);
    if (!input_check(file, config.info_only)) return TRACK_FAILED;
    // What is printed so far goes out before the probe's lines, and each file's lines go out
    // before the next file is looked at.
    std::fflush(stdout);
    if (debug >= 1)
        std::printf("initializing MP3 library, inst=0x%08X\n",
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(inst)));
    MP3InitInstance(inst);
    const tProbeVerdict v = probe_file(config, file, offset, track);
    if (v.verdict == PROBE_REFUSED) std::fprintf(stderr, "%s: %s\n", file, v.why);
    std::fflush(stdout);
    if (v.verdict == PROBE_REFUSED) return TRACK_FAILED;
    if (v.verdict == PROBE_INFO) return TRACK_INFO;
    // An MPEG stream's length is not known ahead: the reader finds where it ends.
    if (offset > 0 && (track.wavmode || !input_is_stream(file)) && past_end(track)) {
        char at[32], length[32];
        format_time(offset, at);
        format_time(track.total_track_time, length);
        std::fprintf(stderr, "%s: %s is at or past the end of the track (%s)\n", file, at, length);
        return TRACK_EMPTY;
    }
    return TRACK_READY;
}

int play_tracks(const tPlayerConfig& config, char* const* files, int count, long offset) {
    tracks = {config, files, count, offset, 0, 0, 0, {-1, -1}};
    tProbeResult track{};
    const int first = next_ready(track);
    if (first < 0) return tracks.failed;
    tracks.playing = first;
    if (tracks.next < tracks.count && socketpair(AF_UNIX, SOCK_SEQPACKET, 0, tracks.channel) < 0) {
        std::perror("socketpair");
        std::exit(1);
    }
    int failed = play_first_track(config, track, files[first]); // only the player comes back
    while (failed == 0 && next_track(track))
        failed = play_track(config, track, files[tracks.playing]);
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
        record.file_index = next_ready(record.track);
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
        run_reader(tracks.files[k], record.track.start_offset, fds[1]);
    }
    if (tracks.channel[0] >= 0) close(tracks.channel[0]);
    tracks.channel[0] = -1;
    return tracks.failed;
}

int info_tracks(const tPlayerConfig& config, char* const* files, int count, long offset) {
    for (int k = 0; k < count; k++) {
        tProbeResult track{};
        if (prepare_track(config, track, files[k], offset) != TRACK_INFO) continue;
        std::printf("total_track_time %d\n\n",
                    track.total_track_time < 0 ? 0 : track.total_track_time);
        std::fflush(stdout);
    }
    return 1;
}

const char* track_name() {
    return tracks.files != nullptr ? tracks.files[tracks.playing] : "";
}
