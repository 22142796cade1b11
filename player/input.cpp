#include "input.h"

#include "mpegsync.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The one stream of a run (standard input can be read once only; a FIFO likewise).
struct tStreamInput {
    const char* name;     // as given on the command line; null when there is none
    int32_t fd;           // the stream, read on after the prefix
    int32_t prefix_fd;    // the first bytes, in memory
    int64_t prefix_bytes; // how many
    int64_t prefix_used;  // of them handed to the reader
};
tStreamInput stream = {nullptr, -1, -1, 0, 0};

uint8_t copy_buffer[4096];

int32_t be28(const uint8_t* p) { // an ID3v2 size: four bytes of seven bits
    return (p[0] & 0x7F) << 21 | (p[1] & 0x7F) << 14 | (p[2] & 0x7F) << 7 | (p[3] & 0x7F);
}

// Reads until `bytes` are in or the stream ends; returns how many, -1 on a read error.
int64_t read_full(int fd, uint8_t* dest, int64_t bytes) {
    int64_t done = 0;
    while (done < bytes) {
        const ssize_t n = read(fd, dest + done, static_cast<size_t>(bytes - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += n;
    }
    return done;
}

bool write_full(int fd, const uint8_t* src, int64_t bytes) {
    for (int64_t done = 0; done < bytes;) {
        const ssize_t n = write(fd, src + done, static_cast<size_t>(bytes - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// Moves `bytes` (at most; fewer at the stream's end) from the stream into the prefix, or
// over them when `into` is -1. Returns how many, -1 on an error.
int64_t take_stream(int fd, int into, int64_t bytes) {
    int64_t done = 0;
    while (done < bytes) {
        const int64_t want = std::min<int64_t>(bytes - done, sizeof copy_buffer);
        const int64_t n = read_full(fd, copy_buffer, want);
        if (n < 0) return -1;
        if (into >= 0 && !write_full(into, copy_buffer, n)) return -1;
        done += n;
        if (n < want) break;
    }
    return done;
}

// Whether the prefix (its first `bytes`) holds the start of a run of MPEG audio frames.
bool prefix_holds_frames(int prefix, int64_t bytes) {
    static uint8_t window[MPEG_RUN_WINDOW];
    for (int64_t at = 0; at + 4 <= bytes; at++) {
        uint8_t b = 0;
        if (pread(prefix, &b, 1, static_cast<off_t>(at)) != 1) return false;
        if (b != 0xFF) continue;
        const int64_t n = std::min<int64_t>(bytes - at, MPEG_RUN_WINDOW);
        if (pread(prefix, window, static_cast<size_t>(n), static_cast<off_t>(at)) != n)
            return false;
        tFrameRun run{};
        if (mpeg_confirm_run(std::span<const uint8_t>(window, static_cast<size_t>(n)),
                             n < MPEG_RUN_WINDOW, &run) == MPEG_RUN_FOUND)
            return true;
    }
    return false;
}

bool prepare_stream(const char* file, int fd, bool count_length) {
    const int prefix = memfd_create("vexa-stream", 0);
    if (prefix < 0) {
        std::perror("memfd_create");
        return false;
    }
    // A tag in front of the stream is kept whole, so that the probe finds the first frame.
    int64_t got = take_stream(fd, prefix, 10);
    uint8_t head[10] = {};
    int64_t want = STREAM_PREFIX_BYTES;
    if (got == 10 && pread(prefix, head, 10, 0) == 10 && std::memcmp(head, "ID3", 3) == 0)
        want += std::min<int64_t>(be28(head + 6) + 20, STREAM_TAG_LIMIT);
    if (got == 10) {
        const int64_t more = take_stream(fd, prefix, want - 10);
        got = more < 0 ? -1 : got + more;
    }
    int64_t length = got;
    // The track time needs the whole length; a stream whose first bytes hold neither a WAV
    // header nor MPEG audio is refused by the probe, and is not read to an end it may not
    // have (a device such as /dev/zero).
    if (got > 0 && count_length &&
        (std::memcmp(head, "RIFF", 4) == 0 || prefix_holds_frames(prefix, got))) {
        const int64_t rest = take_stream(fd, -1, INT64_MAX);
        if (rest > 0) length += rest;
        if (rest < 0) got = -1;
    }
    // A WAV stream lasts as long as its header says or until it ends, whatever the
    // prefix holds: its length reads as the longest a header can give.
    if (got >= 12 && !count_length && std::memcmp(head, "RIFF", 4) == 0) length = got + INT32_MAX;
    if (got < 0) {
        std::perror(file);
        close(prefix);
        return false;
    }
    if (got == 0) {
        std::fprintf(stderr, "%s: empty input\n", file);
        close(prefix);
        return false;
    }
    // Beyond the prefix a counted stream reads as zeros; only its length is looked at.
    if (length > got && ftruncate(prefix, static_cast<off_t>(length)) < 0) std::perror("ftruncate");
    stream = {file, fd, prefix, got, 0};
    return true;
}

} // namespace

bool input_check(const char* file, bool count_length) {
    const bool standard_input = std::strcmp(file, "-") == 0;
    if (standard_input && stream.name != nullptr) {
        std::fprintf(stderr, "-: standard input is read once only\n");
        return false;
    }
    const int fd = standard_input ? 0 : open(file, O_RDONLY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) < 0) {
        std::perror(file);
        if (fd >= 0) close(fd);
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        if (!standard_input) close(fd);
        if (st.st_size > 0) {
            if (!standard_input) return true;
            // A file given as standard input is read as a stream all the same.
        } else {
            std::fprintf(stderr, "%s: empty file\n", file);
            return false;
        }
    }
    if (S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "%s: %s\n", file, std::strerror(EISDIR));
        close(fd);
        return false;
    }
    if (stream.name != nullptr) { // a second stream: the first is done with
        close(stream.fd);
        close(stream.prefix_fd);
        stream = {nullptr, -1, -1, 0, 0};
    }
    return prepare_stream(file, fd, count_length);
}

bool input_is_stream(const char* file) {
    return stream.name != nullptr && std::strcmp(file, stream.name) == 0;
}

int input_open(const char* file) {
    if (!input_is_stream(file)) return open(file, O_RDONLY);
    const int fd = dup(stream.prefix_fd);
    if (fd >= 0) lseek(fd, 0, SEEK_SET);
    return fd;
}

int input_reader_open(const char* file, int64_t start) {
    if (input_is_stream(file)) {
        stream.prefix_used = std::min(start, stream.prefix_bytes);
        const int64_t over = start - stream.prefix_bytes;
        if (over > 0) {
            const int64_t n = take_stream(stream.fd, -1, over);
            if (n < 0) std::exit(1);
            if (n < over) // nothing is left to play
                std::fprintf(stderr, "%s: the stream ends before the offset, after %lld bytes\n",
                             file, static_cast<long long>(stream.prefix_bytes + n));
        }
        return stream.fd;
    }
    const int fd = open(file, O_RDONLY);
    if (fd < 0) std::exit(1);
    if (lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0) {
        std::perror("lseek");
        std::exit(1);
    }
    return fd;
}

long input_read(int fd, uint8_t* dest, size_t bytes) {
    if (fd == stream.fd && stream.prefix_used < stream.prefix_bytes) {
        const int64_t n = std::min<int64_t>(static_cast<int64_t>(bytes),
                                            stream.prefix_bytes - stream.prefix_used);
        const ssize_t r = pread(stream.prefix_fd, dest, static_cast<size_t>(n),
                                static_cast<off_t>(stream.prefix_used));
        if (r > 0) stream.prefix_used += r;
        return r;
    }
    return read(fd, dest, bytes);
}
