// What a file is, where its sound starts, and how long it lasts.
#include "audio.h"
#include "id3v2.h"
#include "input.h"
#include "mp3feed.h"
#include "mp3rate.h"
#include "mpegsync.h"
#include "playfile.h"
#include "settings.h"
#include "smbuf.h"
#include "xing.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// bit/s of a frame by its header's bitrate index; 0 for a free-format frame.
int frame_bitrate(const tMPEGHeader& h) {
    return mp3_hdr_bitrate_kbps(h.packed_info) * 1000;
}

constexpr long MAX_OFFSET = 1L << 30; // seconds, about 34 years

// A WAV file that cannot be played is refused here, before anything is started.
[[noreturn]] void refuse_wav(const char* file, const char* why) {
    std::fprintf(stderr, "%s: cannot play this WAV file: %s\n", file, why);
    std::exit(1);
}

void check_wav(tPlayback& pb, const char* file) {
    tWAVInfo& w = pb.wav;
    if (const char* why = wav_unplayable_reason(&w)) refuse_wav(file, why);
    const int rate = override_samplerate != 0 ? override_samplerate : w.samplerate;
    if (!audio_rate_supported(rate)) {
        char why[64];
        std::snprintf(why, sizeof why, "no conversion from %d Hz", rate);
        refuse_wav(file, why);
    }
    // A data chunk that claims more than the file holds ends with the file; a block
    // alignment that disagrees with the sample format would misplace every seek.
    const int64_t in_file = pb.file_length - w.data_offset;
    if (w.data_size > in_file) w.data_size = static_cast<int32_t>(in_file > 0 ? in_file : 0);
    w.block_align = static_cast<int16_t>(2 * w.channels);
    // A trailing part of a sample frame is not played as a whole one.
    w.data_size -= w.data_size % w.block_align;
}

// Reads the first three frames to learn the bitrate of a stream without a VBR header.
// Returns the average in bit/s of the frames that decoded (all three, or fewer when the
// file ended first: end_flag is then set); 0 when none did. Free-format frames, whose
// header gives no rate, are timed by the distance between successive frame headers.
// `scan` is left with the last header read.
int measure_bitrate(tPlayback& pb, tMp3Feed& scan) {
    int bitrate[3] = {0, 0, 0};
    int found = 0;
    int64_t last_header = -1;    // stream byte of the last header accepted
    int64_t free_length = 0;     // shortest distance between two free-format headers
    int32_t last_free_code = -1; // rate code of the last free-format header, else -1
    tMPEGHeader free_header{};
    // Every sync word is tried, and the end of the file is told by the longest frame a
    // free-format header allows.
    mp3feed_init(scan, inst, pcm_left, pcm_right, FEED_FILE, 0);
    while (found < 3) {
        const tFeedEvent e = mp3feed_next(scan);
        if (e == FEED_INPUT_ENDED) {
            if (debug >= 1) std::printf("decoder:  EOF reached\n");
            pb.end_flag = 1;
        } else if (e == FEED_HEADER_READ) {
            const tMPEGHeader& h = scan.header;
            const int64_t here = scan.header_at;
            if (h.free_format) {
                if (last_free_code == h.sample_rate && last_header >= 0 && here > last_header &&
                    (free_length == 0 || here - last_header < free_length))
                    free_length = here - last_header;
                last_free_code = h.sample_rate;
                free_header = h;
            } else {
                last_free_code = -1;
            }
            last_header = here;
        } else if (e == FEED_FRAME) {
            bitrate[found] = frame_bitrate(scan.header);
            if (debug >= 1) std::printf("decoder: bitrate is %d bps\n", bitrate[found]);
            found++;
        } else if (e == FEED_CUT_SHORT || e == FEED_END) {
            break;
        } else if (e == FEED_NO_SYNC || e == FEED_BAD_HEADER || e == FEED_DROPPED) {
            // Only a frame read to its end leaves the position at the next header; after
            // any other failure the next sync word may lie inside this frame.
            if (e == FEED_DROPPED && scan.status != eFrameDiscarded) last_header = -1;
            if (pb.end_flag) break;
        }
    }
    if (free_length > 0) pb.feed.free_frame_bytes = static_cast<int32_t>(free_length);
    if (found == 0) return 0;
    // bit/s = bytes per frame * 8 * frames per second
    const int free_rate = free_length > 0
                              ? static_cast<int>(free_length * 8 * MP3SampleRate(&free_header) /
                                                 free_header.samplesperchannel)
                              : 0;
    int sum = 0;
    for (int k = 0; k < found; k++)
        sum += bitrate[k] != 0 ? bitrate[k] : free_rate;
    if (free_rate != 0 && debug >= 1)
        std::printf("decoder: free format, %lld bytes a frame, %d bps\n",
                    static_cast<long long>(free_length), free_rate);
    return sum / found;
}

// The file read in pieces for the stream check, with a window's room behind each piece.
constexpr int SCAN_PIECE = 65536;
uint8_t scan_buffer[SCAN_PIECE + MPEG_RUN_WINDOW];

// Reads up to `bytes` bytes of the file at `at`, fewer only at its end; the process ends on
// a read error.
size_t read_at(const tPlayback& pb, const char* file, int64_t at, uint8_t* dest, size_t bytes) {
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n =
            pread(pb.file_fd, dest + done, bytes - done, static_cast<off_t>(at) + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            std::perror(file);
            std::exit(1);
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

// Layer number of the first run of MPEG audio frames from stream byte `from` on, as the
// decoder will see the bytes (-w leaves each word in the machine's order); 0 when none.
int32_t first_run_layer(const tPlayback& pb, const char* file, int64_t from, tFrameRun* run) {
    size_t held = 0, at = 0;
    int64_t next_read = from;
    bool ended = false;
    for (;;) {
        if (held - at < static_cast<size_t>(MPEG_RUN_WINDOW) && !ended) {
            std::memmove(scan_buffer, scan_buffer + at, held - at);
            held -= at;
            at = 0;
            const size_t n = read_at(pb, file, next_read, scan_buffer + held, SCAN_PIECE);
            if (!pb.swap_bytes)
                for (size_t k = 0; k + 4 <= n; k += 4)
                    std::reverse(scan_buffer + held + k, scan_buffer + held + k + 4);
            next_read += static_cast<int64_t>(n);
            held += n;
            ended = n < static_cast<size_t>(SCAN_PIECE);
        }
        const auto* sync =
            static_cast<const uint8_t*>(std::memchr(scan_buffer + at, 0xFF, held - at));
        if (sync == nullptr) {
            if (ended) return 0;
            at = held;
            continue;
        }
        at = static_cast<size_t>(sync - scan_buffer);
        if (held - at < static_cast<size_t>(MPEG_RUN_WINDOW) && !ended) continue;
        const std::span<const uint8_t> window(scan_buffer + at, held - at);
        if (mpeg_confirm_run(window, ended, run) == MPEG_RUN_FOUND) return run->first.layer;
        at++;
    }
}

// Nothing is played from a file that holds no Layer III stream: the bytes of anything else
// would reach the speaker as noise.
void check_stream(tPlayback& pb, const char* file) {
    tFrameRun run{};
    const int32_t layer = first_run_layer(pb, file, pb.start_offset, &run);
    if (layer == 3) {
        pb.feed.free_frame_bytes = run.free_length;
        return;
    }
    if (layer != 0)
        std::fprintf(stderr, "%s: MPEG audio Layer %s is not supported, only Layer III\n", file,
                     layer == 1 ? "I" : "II");
    else
        std::fprintf(stderr, "%s: no MPEG audio Layer III or WAV stream found\n", file);
    std::exit(1);
}

int32_t track_seconds(int64_t file_length, int bitrate) {
    if (bitrate <= 0) return 0;
    return static_cast<int32_t>(static_cast<float>(file_length * 8) / static_cast<float>(bitrate));
}

// Where to start in an MPEG stream and how long it lasts: from a Xing header when the
// first frame has a usable one, else by measuring the first frames.
void place_mpeg(tPlayback& pb, long offset) {
    pb.skip_frames = 2;
    if (debug >= 1)
        std::printf("decoder: seeking to %d:%02d\n", static_cast<int>(offset / 60),
                    static_cast<int>(offset % 60));
    // The first frame follows the ID3v2 tag, if there is one.
    const int64_t stream_start = pb.start_offset;
    if (lseek(pb.file_fd, static_cast<off_t>(stream_start), SEEK_SET) < 0) std::perror("lseek");
    tXingHeader xing{};
    int v = read_xing_header(pb.file_fd, &xing);
    if (v != 0 && !(xing.flags & XING_BYTES) && xing.frames > 0) {
        // Only the frame count: the stream's bytes are the rest of the file.
        xing.bytes =
            static_cast<int32_t>(std::min<int64_t>(pb.file_length - stream_start, INT32_MAX));
        xing.flags |= XING_BYTES;
    }
    const int xing_rate = v != 0 ? xing_average_bitrate(&xing) : 0;
    if (xing_rate > 0) {
        if (debug >= 1) std::printf("decoder: VBR detected, average bitrate %d bps\n", xing_rate);
        pb.start_offset += static_cast<int64_t>(xing_rate) * offset / 8;
        pb.rate = override_samplerate != 0 ? override_samplerate : xing_samplerate(&xing);
        pb.samples_played = static_cast<int64_t>(pb.rate) * offset;
        pb.total_track_time = track_seconds(pb.file_length, xing_rate);
        return;
    }
    if (debug >= 1) std::printf("decoder: VBR not detected\n");
    if (lseek(pb.file_fd, static_cast<off_t>(stream_start), SEEK_SET) < 0) std::perror("lseek");
    smbuf_reset();
    tMp3Feed scan{};
    const int average = measure_bitrate(pb, scan);
    pb.start_offset += static_cast<int64_t>(average) * offset / 8;
    pb.rate = override_samplerate != 0 ? override_samplerate : MP3SampleRate(&scan.header);
    pb.samples_played = static_cast<int64_t>(pb.rate) * offset;
    pb.total_track_time = track_seconds(pb.file_length, average);
    if (debug >= 1)
        std::printf("decoder: total track time is %d:%02d\n", pb.total_track_time / 60,
                    pb.total_track_time % 60);
    // What the measurement left in the bit buffer lies before the start position; the
    // loop begins with the bytes from there.
    smbuf_reset();
}

} // namespace

void probe_file(tPlayback& pb, const char* file, long offset) {
    if (debug >= 1) std::printf("decoder: filename=%s, time=%d\n", file, static_cast<int>(offset));
    // A start before the beginning is a start at the beginning; one past any track's end
    // is kept in a range where byte and sample counts cannot overflow.
    if (offset < 0) offset = 0;
    if (offset > MAX_OFFSET) offset = MAX_OFFSET;
    pb.file_fd = input_open(file);
    if (pb.file_fd < 0) {
        std::perror(file);
        pb.end_flag = 1;
    }
    struct stat st {};
    if (fstat(pb.file_fd, &st) < 0) {
        std::perror(file);
        pb.end_flag = 1;
    } else {
        pb.file_length = st.st_size;
        if (debug >= 1) std::printf("file_length %lld\n", static_cast<long long>(pb.file_length));
    }
    if (debug >= 1) std::printf("reader: infd = %d\n", pb.file_fd);

    pb.swap_bytes = swap_bytes;
    const int r = wav_read_header(pb.file_fd, &pb.wav);
    if (r == WAV_PCM) {
        pb.swap_bytes = 0;
        pb.wavmode = 1;
        pb.start_offset = pb.wav.data_offset;
        check_wav(pb, file);
    } else if (r == WAV_UNPLAYABLE) {
        refuse_wav(file, wav_unplayable_reason(&pb.wav));
    } else {
        lseek(pb.file_fd, 0, SEEK_SET);
        unsigned char buffer[ID3V2_PROBE_BYTES];
        const int t = read_id3v2_header(pb.file_fd, buffer);
        if (t > 0) {
            if (debug >= 1) std::printf("found id3v2 header, mp3 offset = %d\n", t);
            pb.start_offset = t;
        }
        if (!pb.end_flag) check_stream(pb, file);
    }
    smbuf_input(pb.file_fd, pb.swap_bytes);

    if (offset == 0 && !info_only) return;

    if (pb.wavmode) {
        const int64_t bytes_per_second =
            static_cast<int64_t>(pb.wav.block_align) * pb.wav.samplerate;
        // Past the end of the data there is nothing to play; the counts stay in range.
        int64_t skip = bytes_per_second * offset;
        if (skip > pb.wav.data_size) skip = pb.wav.data_size;
        pb.samples_played = skip / pb.wav.block_align;
        pb.start_offset += skip;
        pb.wav_bytes_done = skip;
        pb.total_track_time = static_cast<int32_t>(pb.wav.data_size / bytes_per_second);
    } else {
        place_mpeg(pb, offset);
    }

    if (info_only) {
        std::printf("total_track_time %d\n\n", pb.total_track_time < 0 ? 0 : pb.total_track_time);
        std::exit(1);
    }
}
