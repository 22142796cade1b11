// What a file is, where its sound starts, and how long it lasts.
#include "audio.h"
#include "frametag.h"
#include "input.h"
#include "layout.h"
#include "mp3feed.h"
#include "mpegsync.h"
#include "playfile.h"
#include "settings.h"
#include "smbuf.h"

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

constexpr long MAX_OFFSET = 1L << 30; // seconds, about 34 years

// What the probe learns of an MPEG file's layout, for the start position and the time.
struct tMpegLayout {
    int64_t audio_start; // first byte of the first frame
    int64_t audio_end;   // first byte after the last frame: where the tags at the end start
    int32_t free_length; // free format: frame length without padding; else 0
    tFrameTag tag;       // the header in the first frame, if any
};
tMpegLayout layout;
std::array<uint8_t, MPEG_MAX_FREE_BYTES> first_frame;

// The file being examined, and the first read error met in it (0: none). After an error
// every read finds nothing, and the probe ends with the error as its verdict.
struct tProbeInput {
    int32_t fd;
    int32_t swap_bytes;
    int32_t read_error; // errno
};

tProbeVerdict refused(const char* format, const char* text) {
    tProbeVerdict v{PROBE_REFUSED, {}};
    std::snprintf(v.why, sizeof v.why, format, text);
    return v;
}

// A WAV file that cannot be played is refused before anything is started.
tProbeVerdict refuse_wav(const char* why) {
    return refused("cannot play this WAV file: %s", why);
}

bool check_wav(const tPlayerConfig& config, tProbeResult& pb, tProbeVerdict* verdict) {
    tWAVInfo& w = pb.wav;
    if (const char* why = wav_unplayable_reason(&w)) {
        *verdict = refuse_wav(why);
        return false;
    }
    const int rate = config.override_samplerate != 0 ? config.override_samplerate : w.samplerate;
    if (!audio_rate_supported(rate)) {
        char why[64];
        std::snprintf(why, sizeof why, "no conversion from %d Hz", rate);
        *verdict = refuse_wav(why);
        return false;
    }
    // A data chunk that claims more than the file holds, or whose size was never filled in,
    // ends with the file; a block alignment that disagrees with the sample format would
    // misplace every seek.
    const int64_t in_file = pb.file_length - w.data_offset;
    if (w.data_size > in_file) w.data_size = in_file > 0 ? in_file : 0;
    w.block_align = static_cast<int16_t>(2 * w.channels);
    // A trailing part of a sample frame is not played as a whole one.
    w.data_size -= w.data_size % w.block_align;
    return true;
}

// How far the search for the first frame goes past the tags before it gives up. Junk before
// the first frame is mostly a few bytes to a few kilobytes (tag padding, a RIFF wrapper, a
// tag whose size is off); the largest kind is a cover picture left outside a tag whose size
// is wrong, and covers stay under 1 MiB. Scanning 1 MiB costs a few milliseconds, so a
// file of nothing but non-audio, or an endless device, is refused at once.
constexpr int64_t SEARCH_LIMIT = 1 << 20;

// The file read in pieces for the stream check, with a window's room behind each piece.
constexpr int SCAN_PIECE = 65536;
uint8_t scan_buffer[SCAN_PIECE + MPEG_RUN_WINDOW];

// Reads up to `bytes` bytes of the file at `at`, fewer only at its end or after a read
// error (kept in `in`).
size_t read_at(tProbeInput& in, int64_t at, uint8_t* dest, size_t bytes) {
    size_t done = 0;
    while (done < bytes && in.read_error == 0) {
        const ssize_t n = pread(in.fd, dest + done, bytes - done, static_cast<off_t>(at) + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            in.read_error = errno;
            break;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

// The first run of MPEG audio frames from stream byte `from` on, as the decoder will see
// the bytes (-w leaves each word in the machine's order): its layer, and in `*at` its first
// byte; 0 when none starts within SEARCH_LIMIT bytes or before the end of the file, or the
// file cannot be read.
int32_t find_run(tProbeInput& in, int64_t from, tFrameRun* run, int64_t* at_byte) {
    size_t held = 0, at = 0;
    int64_t next_read = from;
    int64_t held_from = from; // stream byte of scan_buffer[0]
    bool ended = false;
    for (;;) {
        if (held - at < static_cast<size_t>(MPEG_RUN_WINDOW) && !ended) {
            std::memmove(scan_buffer, scan_buffer + at, held - at);
            held_from += static_cast<int64_t>(at);
            held -= at;
            at = 0;
            const size_t n = read_at(in, next_read, scan_buffer + held, SCAN_PIECE);
            if (in.read_error != 0) return 0;
            stream_bytes_in(std::span(scan_buffer + held, n), in.swap_bytes);
            next_read += static_cast<int64_t>(n);
            held += n;
            ended = n < static_cast<size_t>(SCAN_PIECE);
        }
        if (held_from + static_cast<int64_t>(at) - from > SEARCH_LIMIT) return 0;
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
        if (mpeg_confirm_run(window, ended, run) == MPEG_RUN_FOUND) {
            *at_byte = held_from + static_cast<int64_t>(at);
            return run->first.layer;
        }
        at++;
    }
}

// Nothing is played from a file that holds no Layer III stream: the bytes of anything else
// would reach the speaker as noise. Junk before the first frame is passed over; the first
// frame's header (Xing, Info, VBRI) is read. False, with the verdict, when the file is
// refused.
bool check_stream(tProbeInput& in, tProbeResult& pb, tProbeVerdict* verdict) {
    tFrameRun run{};
    int64_t at = pb.start_offset;
    const int32_t layer = find_run(in, pb.start_offset, &run, &at);
    if (layer == 3) {
        pb.free_frame_bytes =
            mpeg_learn_free_length(pb.free_frame_bytes, run.free_length, MPEG_FREE_BY_RUN);
        if (debug >= 1 && at != pb.start_offset)
            std::printf("decoder: %lld bytes before the first frame passed over\n",
                        static_cast<long long>(at - pb.start_offset));
        pb.start_offset = at;
        layout.audio_start = at;
        layout.free_length = pb.free_frame_bytes;
        // The tag is read as the file holds it; under -w the words are turned.
        const size_t n = read_at(in, at, first_frame.data(), first_frame.size());
        if (in.read_error != 0) return false;
        if (pb.swap_bytes) frame_tag_parse(std::span(first_frame).first(n), &layout.tag);
        return true;
    }
    if (in.read_error != 0) return false;
    if (layer != 0)
        *verdict = refused("MPEG audio Layer %s is not supported, only Layer III",
                           layer == 1 ? "I" : "II");
    else
        *verdict = refused("%s", "no MPEG audio Layer III or WAV stream found");
    return false;
}

// The frame header at `at` as the file holds it; false when there is none.
bool header_at(tProbeInput& in, int64_t at, tFrameInfo* f) {
    uint8_t h[4];
    return read_at(in, at, h, 4) == 4 && mpeg_frame_header(h, f);
}

// Length of the frame `f`, free format by the stream's learned length.
int32_t frame_length(const tFrameInfo& f) {
    return mp3_frame_bytes(f.word, layout.free_length);
}

struct tWalk {
    int64_t frames; // whole frames passed
    int64_t at;     // byte of the next one
    int64_t reads;  // header reads it took
};

// Walks the frame headers from the frame at `from`, reading 4 bytes at each, until `stop`
// frames have been passed or the audio ends. Where a header is missing the next run of
// frames is searched for (up to the same bound as the first one).
tWalk walk_frames(tProbeInput& in, int64_t from, int64_t stop) {
    tWalk w{0, from, 0};
    tFrameInfo first{};
    if (!header_at(in, from, &first)) return w;
    while (w.frames < stop && w.at + 4 <= layout.audio_end) {
        tFrameInfo f{};
        w.reads += 1;
        if (header_at(in, w.at, &f) && mpeg_same_stream(f, first)) {
            const int32_t length = frame_length(f);
            if (length <= 0 || w.at + length > layout.audio_end) break;
            w.frames += 1;
            w.at += length;
            continue;
        }
        tFrameRun run{};
        int64_t next = 0;
        if (find_run(in, w.at + 1, &run, &next) != 3 || next >= layout.audio_end) break;
        w.at = next;
    }
    return w;
}

// A computed frame start made exact: the nearest byte within a few where a header of the
// stream starts and the next one follows it. -1 when none is near.
int64_t settle_on_frame(tProbeInput& in, int64_t at) {
    constexpr int NEAR = 8;
    for (int d = 0; d <= 2 * NEAR; d++) {
        const int64_t p = at + ((d & 1) ? -(d + 1) / 2 : d / 2);
        tFrameInfo f{}, g{};
        if (p < layout.audio_start || !header_at(in, p, &f)) continue;
        const int32_t length = frame_length(f);
        if (length > 0 && header_at(in, p + length, &g) && mpeg_same_stream(f, g)) return p;
    }
    return -1;
}

// Where to start in an MPEG stream, the time counted from there, and how long it lasts:
// exact from a header's frame count, else by walking the frame headers. A start time goes
// through the header's table of contents, CBR arithmetic over the audio bytes (an Info
// header), or a walk to the frame. False when the file cannot be read.
bool place_mpeg(const tPlayerConfig& config, tProbeInput& in, tProbeResult& pb, long offset) {
    pb.skip_frames = 2;
    if (debug >= 1)
        std::printf("decoder: seeking to %d:%02d\n", static_cast<int>(offset / 60),
                    static_cast<int>(offset % 60));
    const tFrameTag& tag = layout.tag;
    tFrameInfo first{};
    if (!header_at(in, layout.audio_start, &first)) first.rate = 0;
    if (in.read_error != 0) return false;
    const int32_t rate = tag.kind != FRAME_TAG_NONE ? tag.rate : first.rate;
    const int32_t spf = first.version_bits == 3 ? 1152 : 576;
    // The first frame of sound: after the header's frame.
    const int64_t body =
        layout.audio_start + (tag.kind != FRAME_TAG_NONE ? frame_length(first) : 0);
    const int64_t kept_from = config.gapless && tag.lame ? tag.delay + GAPLESS_DECODER_DELAY : 0;
    const int32_t play_rate = config.override_samplerate != 0 ? config.override_samplerate : rate;

    int64_t total = 0;
    if (tag.frames > 0) {
        total = frame_tag_samples(tag);
        if (debug >= 1)
            std::printf("decoder: %s header: %d frames, delay %d, padding %d\n",
                        tag.kind == FRAME_TAG_VBRI   ? "VBRI"
                        : tag.kind == FRAME_TAG_INFO ? "Info"
                                                     : "Xing",
                        tag.frames, tag.delay, tag.padding);
    } else if (config.info_only) {
        const tWalk w = walk_frames(in, body, INT64_MAX);
        if (in.read_error != 0) return false;
        total = w.frames * spf;
        if (debug >= 1)
            std::printf("decoder: %lld frames in %lld header reads\n",
                        static_cast<long long>(w.frames), static_cast<long long>(w.reads));
    }
    pb.total_track_time = rate > 0 ? static_cast<int32_t>(total / rate) : 0;
    if (debug >= 1 && total > 0)
        std::printf("decoder: total track time is %d:%02d\n", pb.total_track_time / 60,
                    pb.total_track_time % 60);
    if (config.info_only || rate <= 0) return true;

    const int64_t target = static_cast<int64_t>(offset) * rate + kept_from;
    int64_t byte = 0, landing = 0;
    bool exact = false;
    const int32_t kbps = mp3_hdr_bitrate_kbps(first.word);
    const int64_t stream_bytes = tag.bytes > 0 && tag.bytes <= layout.audio_end - layout.audio_start
                                     ? tag.bytes
                                     : layout.audio_end - layout.audio_start;
    if (tag.kind == FRAME_TAG_INFO && kbps > 0) {
        // Constant bitrate: frame k starts k * spf/8 * bitrate / rate bytes after the first.
        const int64_t k = target / spf;
        const int64_t at = body + mp3_bits_of_samples(first.word, k * spf) / 8;
        const int64_t settled = settle_on_frame(in, at);
        if (in.read_error != 0) return false;
        byte = settled >= 0 ? settled : at;
        landing = k * spf;
        exact = settled >= 0;
        if (debug >= 1) std::printf("decoder: CBR, frame %lld\n", static_cast<long long>(k));
    } else if (frame_tag_seek(tag, stream_bytes, target, &byte, &landing)) {
        byte += layout.audio_start;
        if (debug >= 1) std::printf("decoder: VBR detected, seeking by the table of contents\n");
    } else {
        const tWalk w = walk_frames(in, body, target / spf);
        if (in.read_error != 0) return false;
        byte = w.at;
        landing = w.frames * spf;
        exact = true;
        if (debug >= 1)
            std::printf("decoder: frame %lld found in %lld header reads\n",
                        static_cast<long long>(w.frames), static_cast<long long>(w.reads));
    }
    if (byte < body) byte = body;
    if (byte > layout.audio_end) byte = layout.audio_end;
    pb.start_offset = byte;
    pb.stream_bytes = layout.audio_end - byte;
    const int64_t from = landing > kept_from ? landing - kept_from : 0;
    pb.samples_played = rate > 0 ? from * play_rate / rate : 0;
    pb.decoded_at = exact ? landing : -1;
    pb.skip_header = 0;
    if (debug >= 1)
        std::printf("decoder: starting at byte %lld, %lld samples into the track\n",
                    static_cast<long long>(byte), static_cast<long long>(from));
    return true;
}

// The probe's end: the file is closed (the reader opens it again); a read error met on the
// way is the verdict.
tProbeVerdict finish(tProbeInput& in, tProbeVerdict verdict) {
    if (in.fd >= 0) close(in.fd);
    if (in.read_error != 0) return refused("%s", std::strerror(in.read_error));
    return verdict;
}

} // namespace

tProbeVerdict probe_file(const tPlayerConfig& config, const char* file, long offset,
                         tProbeResult& pb) {
    if (debug >= 1) std::printf("decoder: filename=%s, time=%d\n", file, static_cast<int>(offset));
    // A start before the beginning is a start at the beginning; one past any track's end
    // is kept in a range where byte and sample counts cannot overflow.
    if (offset < 0) offset = 0;
    if (offset > MAX_OFFSET) offset = MAX_OFFSET;
    pb = tProbeResult{};
    pb.stream_bytes = -1;
    pb.decoded_at = -1;
    pb.gapless = tGaplessWindow{0, -1};
    tProbeVerdict verdict{PROBE_PLAY, {}};
    tProbeInput in{input_open(file), config.swap_bytes, 0};
    if (in.fd < 0) {
        std::perror(file);
        pb.unreadable = 1;
    }
    struct stat st {};
    if (fstat(in.fd, &st) < 0) {
        std::perror(file);
        pb.unreadable = 1;
    } else {
        pb.file_length = st.st_size;
        if (debug >= 1) std::printf("file_length %lld\n", static_cast<long long>(pb.file_length));
    }
    if (debug >= 1) std::printf("reader: infd = %d\n", in.fd);

    pb.swap_bytes = config.swap_bytes;
    const int r = wav_read_header(in.fd, &pb.wav);
    if (r == WAV_PCM) {
        pb.swap_bytes = 0;
        pb.wavmode = 1;
        pb.start_offset = pb.wav.data_offset;
        if (!check_wav(config, pb, &verdict)) return finish(in, verdict);
    } else if (r == WAV_UNPLAYABLE) {
        return finish(in, refuse_wav(wav_unplayable_reason(&pb.wav)));
    } else {
        layout = tMpegLayout{};
        // Only a file has an end to look at: a stream's end is not known before it comes.
        const bool whole_file = S_ISREG(st.st_mode) && !input_is_stream(file);
        tTagSpan span{};
        find_tag_span(in.fd, whole_file ? pb.file_length : -1, &span);
        if (span.start_tags_end > 0 && debug >= 1)
            std::printf("found id3v2 header, mp3 offset = %lld\n",
                        static_cast<long long>(span.start_tags_end));
        if (span.end_tags > 0 && debug >= 1)
            std::printf("decoder: %d tags at the end, from byte %lld\n", span.end_tags,
                        static_cast<long long>(span.end_tags_start));
        pb.start_offset = span.start_tags_end;
        layout.audio_end = whole_file ? span.end_tags_start : INT64_MAX;
        if (!pb.unreadable && !check_stream(in, pb, &verdict)) return finish(in, verdict);
        pb.stream_bytes = layout.audio_end - pb.start_offset;
        // Played from the start, the header's frame is decoded but not heard, and the
        // encoder's delay and padding are trimmed.
        if (config.gapless && layout.tag.kind != FRAME_TAG_NONE) {
            pb.skip_header = 1;
            pb.decoded_at = 0;
            // A stream's length is not known before its end: its header is taken at its word.
            pb.gapless = gapless_window(layout.tag,
                                        layout.tag.bytes > 0 &&
                                            (!whole_file || layout.tag.bytes == pb.stream_bytes));
        }
    }

    if (offset == 0 && !config.info_only) return finish(in, verdict);

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
    } else if (!place_mpeg(config, in, pb, offset)) {
        return finish(in, verdict);
    }
    if (config.info_only) verdict.verdict = PROBE_INFO;
    return finish(in, verdict);
}
