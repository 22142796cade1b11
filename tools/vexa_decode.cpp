// vexa-decode [-w] [--no-gapless] IN OUT: decodes an MPEG audio Layer III file with the
// project's decoder.
//
// OUT gets raw 16-bit little-endian PCM at the stream's own rate, each frame's samples
// interleaved with that frame's own channel count (one value per sample for a mono
// frame, two for a stereo one). With -w OUT is a WAV file instead: stereo throughout
// (mono frames on both channels) at the rate of the first frame. An ID3v2 tag at the
// start is skipped, and so are the tags at the end. As the player does, a header frame
// (Xing, Info, VBRI) is not written and the encoder's delay and padding from a LAME header
// are trimmed; --no-gapless writes every decoded sample. The input goes through the player's own
// bit buffer and frame feed, so the decoder sees exactly the words the player gives it.
#include "frametag.h"
#include "layout.h"
#include "mp3dec.h"
#include "mp3feed.h"
#include "mp3rate.h"
#include "smbuf.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

alignas(MP3_INSTANCE_ALIGN) tMPEGInstance instance;
tInputBuffer input;
int16_t left[MP3_MAX_SAMPLES];
int16_t right[MP3_MAX_SAMPLES];
int16_t out_samples[2 * MP3_MAX_SAMPLES];
int infd = -1; // the input file

constexpr int WAV_HEADER_BYTES = 44;

struct tDecodeRun {
    const char* in_name;
    const char* out_name;
    bool wav;
    std::FILE* out; // opened with the first decoded frame
    int64_t frames; // frames decoded and written
    int64_t dropped[MP3_STATUS_COUNT];
    int64_t cut_short;   // a last frame the file ends inside
    int64_t unconfirmed; // sync words that started no run of frames
    int64_t samples;     // sample frames written (per channel)
    double seconds;      // their duration at each frame's own rate
    int32_t wav_rate;    // -w: rate of the first frame
    int64_t data_bytes;  // bytes of PCM written
    bool gapless;        // trim the header frame and the encoder's delay and padding
    bool lost;           // the stream was lost for good before the end of the input
};

// After the stream was found, a stretch this long without a frame ends it (as in the player).
constexpr int64_t LOST_SYNC_BYTES = 1 << 20;

void put16(uint8_t* p, int16_t v) {
    const auto u = static_cast<uint16_t>(v);
    p[0] = static_cast<uint8_t>(u & 0xFF);
    p[1] = static_cast<uint8_t>(u >> 8);
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void wav_header(uint8_t* h, int32_t rate, int64_t data_bytes) {
    const auto data = static_cast<uint32_t>(data_bytes > 0x7FFFFFD0 ? 0x7FFFFFD0 : data_bytes);
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, 36 + data);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(h + 16, 16);
    put16(h + 20, 1); // PCM
    put16(h + 22, 2);
    put32(h + 24, static_cast<uint32_t>(rate));
    put32(h + 28, static_cast<uint32_t>(rate) * 4);
    put16(h + 32, 4);
    put16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    put32(h + 40, data);
}

[[noreturn]] void fail(const char* name, const char* why) {
    std::fprintf(stderr, "vexa-decode: %s: %s\n", name, why);
    std::exit(1);
}

void write_out(tDecodeRun& run, const uint8_t* bytes, size_t n) {
    if (std::fwrite(bytes, 1, n, run.out) != n) fail(run.out_name, std::strerror(errno));
    run.data_bytes += static_cast<int64_t>(n);
}

bool to_stdout(const tDecodeRun& run) {
    return std::strcmp(run.out_name, "-") == 0;
}

// Standard input as a file that can be sought: a pipe's bytes are first taken into memory.
int stdin_as_file() {
    if (lseek(0, 0, SEEK_CUR) >= 0) return 0;
    const int fd = memfd_create("vexa-decode-in", 0);
    if (fd < 0) fail("-", std::strerror(errno));
    static uint8_t piece[65536];
    for (;;) {
        const ssize_t n = read(0, piece, sizeof piece);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("-", std::strerror(errno));
        if (n == 0) break;
        if (write(fd, piece, static_cast<size_t>(n)) != n) fail("-", std::strerror(errno));
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

void write_frame(tDecodeRun& run, const tMPEGHeader& h, int from, int n) {
    const int rate = MP3SampleRate(&h);
    if (run.out == nullptr) {
        run.out = to_stdout(run) ? stdout : std::fopen(run.out_name, "wb");
        if (run.out == nullptr) fail(run.out_name, std::strerror(errno));
        run.wav_rate = rate;
        if (run.wav) {
            // A pipe cannot be gone back to for the length: it says the longest.
            uint8_t header[WAV_HEADER_BYTES];
            wav_header(header, rate, to_stdout(run) ? INT64_MAX : 0);
            if (std::fwrite(header, 1, sizeof header, run.out) != sizeof header)
                fail(run.out_name, std::strerror(errno));
        }
    }
    const int channels = run.wav ? 2 : h.numchans;
    const int16_t* l = left + from;
    const int16_t* r = (h.numchans == 1 ? left : right) + from;
    // Interleaved in one pass. Where the samples' own bytes are little-endian they are
    // written as they are, elsewhere each is put byte by byte in its place. A 32-bit
    // little-endian target moves two of each channel at a time as words (64-bit ones
    // vectorise the plain loop).
    auto* bytes = reinterpret_cast<uint8_t*>(out_samples);
    if (channels == 1) {
        std::memcpy(out_samples, l, sizeof(int16_t) * static_cast<size_t>(n));
    } else {
        int i = 0;
        if constexpr (std::endian::native == std::endian::little && sizeof(void*) == 4)
            for (; i + 2 <= n; i += 2) {
                uint32_t a, b;
                std::memcpy(&a, l + i, sizeof a);
                std::memcpy(&b, r + i, sizeof b);
                const uint32_t w[2] = {(a & 0xFFFF) | (b << 16), (a >> 16) | (b & 0xFFFF0000)};
                std::memcpy(out_samples + 2 * i, w, sizeof w);
            }
        for (; i < n; i++) {
            out_samples[2 * i] = l[i];
            out_samples[2 * i + 1] = r[i];
        }
    }
    if constexpr (std::endian::native != std::endian::little)
        for (int i = 0; i < channels * n; i++)
            put16(bytes + 2 * i, out_samples[i]);
    write_out(run, bytes, static_cast<size_t>(2 * channels * n));
    run.frames += 1;
    run.samples += n;
    run.seconds += rate > 0 ? static_cast<double>(n) / rate : 0;
}

// Whether `bytes` hold the start of a run of MPEG audio frames.
bool holds_frames(std::span<const uint8_t> bytes, bool ends) {
    for (size_t at = 0; at + 4 <= bytes.size(); at++) {
        const auto* sync =
            static_cast<const uint8_t*>(std::memchr(bytes.data() + at, 0xFF, bytes.size() - at));
        if (sync == nullptr) return false;
        at = static_cast<size_t>(sync - bytes.data());
        tFrameRun run{};
        if (mpeg_confirm_run(bytes.subspan(at), ends || bytes.size() - at >= MPEG_RUN_WINDOW,
                             &run) == MPEG_RUN_FOUND)
            return true;
    }
    return false;
}

// The rest of the file from its current position, whole, in a block of its own; at most
// `limit` bytes (< 0: no limit). Input that never ends (a device) is read only while it
// holds MPEG audio frames: a stretch of LOST_SYNC_BYTES without one ends it.
std::span<const uint8_t> read_rest(tDecodeRun& run, int64_t limit) {
    uint8_t* bytes = nullptr;
    size_t held = 0;
    size_t checked = 0;     // bytes looked at for frames
    size_t frames_seen = 0; // end of the last stretch that held frames
    constexpr size_t piece = 65536;
    for (;;) {
        bytes = static_cast<uint8_t*>(std::realloc(bytes, held + piece));
        if (bytes == nullptr) fail(run.in_name, std::strerror(ENOMEM));
        size_t want = piece;
        if (limit >= 0 && static_cast<int64_t>(held + want) > limit)
            want = static_cast<size_t>(limit - static_cast<int64_t>(held));
        const ssize_t n = want > 0 ? read(infd, bytes + held, want) : 0;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(run.in_name, std::strerror(errno));
        if (n == 0) return std::span<const uint8_t>(bytes, held);
        held += static_cast<size_t>(n);
        if (limit >= 0) continue;
        while (held - checked >= piece + MPEG_RUN_WINDOW) {
            if (holds_frames(std::span<const uint8_t>(bytes + checked, piece + MPEG_RUN_WINDOW),
                             false))
                frames_seen = checked + piece;
            checked += piece;
        }
        if (held - frames_seen > static_cast<size_t>(LOST_SYNC_BYTES) + piece + MPEG_RUN_WINDOW) {
            run.lost = true;
            return std::span<const uint8_t>(bytes, held);
        }
    }
}

// Every frame of the stream, fed to the decoder as the player feeds it.
void decode(tDecodeRun& run, std::span<const uint8_t> stream) {
    MP3InitInstance(&instance);
    tMp3Feed feed{};
    input_bind_bytes(input, stream, 1);
    mp3feed_init(feed, &instance, left, right, &input, 1);
    bool first = true;
    int64_t skip_at = -1; // the frame that carries the stream's header
    tGaplessWindow window{0, -1};
    int64_t decoded = 0; // samples decoded after the header frame
    int64_t last_frame_at = 0;
    for (;;) {
        const tFeedEvent e = mp3feed_next(feed);
        if (e == FEED_HEADER_READ && first) {
            first = false;
            const auto at = static_cast<size_t>(feed.header_at);
            tFrameTag tag{};
            if (run.gapless && at < stream.size() && frame_tag_parse(stream.subspan(at), &tag)) {
                skip_at = feed.header_at;
                window = gapless_window(
                    tag, tag.bytes > 0 && tag.bytes == static_cast<int64_t>(stream.size() - at));
            }
        }
        if (e == FEED_FRAME) {
            last_frame_at = feed.header_at;
            const int n = feed.header.samplesperchannel;
            if (feed.header_at != skip_at) {
                int32_t from = 0, kept = 0;
                gapless_clip(window, decoded, n, &from, &kept);
                decoded += n;
                if (kept > 0) write_frame(run, feed.header, from, kept);
            }
        }
        if (e == FEED_NOT_STREAM) run.unconfirmed += 1;
        if (e == FEED_BAD_HEADER || e == FEED_DROPPED) run.dropped[feed.status] += 1;
        if (e == FEED_CUT_SHORT) run.cut_short += 1;
        if (mp3feed_over(feed, e)) return;
        if ((e == FEED_NO_SYNC || e == FEED_NOT_STREAM) &&
            stream_position(input) - last_frame_at > LOST_SYNC_BYTES) {
            run.lost = true;
            return;
        }
    }
}

void summary(const tDecodeRun& run) {
    int64_t dropped = 0;
    for (int64_t d : run.dropped)
        dropped += d;
    std::fprintf(stderr, "vexa-decode: %s: %lld frames, %lld dropped", run.in_name,
                 static_cast<long long>(run.frames), static_cast<long long>(dropped));
    const char* sep = " (";
    for (int i = 0; i < MP3_STATUS_COUNT; i++) {
        if (run.dropped[i] == 0) continue;
        std::fprintf(stderr, "%s%s %lld", sep, mp3_status_name(i),
                     static_cast<long long>(run.dropped[i]));
        sep = ", ";
    }
    if (dropped > 0) std::fprintf(stderr, ")");
    if (run.cut_short > 0) std::fprintf(stderr, ", last frame cut short");
    if (run.lost) std::fprintf(stderr, ", no frame in the last 1 MiB");
    if (run.unconfirmed > 0)
        std::fprintf(stderr, ", %lld sync words outside the stream",
                     static_cast<long long>(run.unconfirmed));
    std::fprintf(stderr, ", %.3f s\n", run.seconds);
}

} // namespace

constexpr const char* usage_text =
    "usage: vexa-decode [-w] [--no-gapless] IN OUT\n"
    "  decodes an MPEG audio Layer III file to raw 16-bit PCM\n"
    "  (each frame with its own channel count), -w: to a stereo WAV;\n"
    "  - as IN reads standard input, as OUT writes standard output;\n"
    "  --no-gapless: also the encoder's delay, padding and header frame\n";

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vexa-decode %s\n", VEXA_VERSION);
        return 0;
    }
    tDecodeRun run{};
    run.gapless = true;
    int arg = 1;
    for (; arg < argc; arg++) {
        if (std::strcmp(argv[arg], "-w") == 0)
            run.wav = true;
        else if (std::strcmp(argv[arg], "--no-gapless") == 0)
            run.gapless = false;
        else
            break;
    }
    if (argc - arg != 2) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    run.in_name = argv[arg];
    run.out_name = argv[arg + 1];

    infd = std::strcmp(run.in_name, "-") == 0 ? stdin_as_file() : open(run.in_name, O_RDONLY);
    if (infd < 0) fail(run.in_name, std::strerror(errno));
    struct stat st {};
    if (fstat(infd, &st) < 0) fail(run.in_name, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) fail(run.in_name, std::strerror(EISDIR));
    const bool regular = S_ISREG(st.st_mode);
    tTagSpan tags{};
    find_tag_span(infd, regular ? static_cast<int64_t>(st.st_size) : -1, &tags);
    if (lseek(infd, static_cast<off_t>(tags.start_tags_end), SEEK_SET) < 0 && regular)
        fail(run.in_name, std::strerror(errno));

    const std::span<const uint8_t> stream =
        read_rest(run, regular ? tags.end_tags_start - tags.start_tags_end : -1);
    decode(run, stream);
    summary(run);
    if (run.frames == 0) fail(run.in_name, "no decodable MPEG audio frame");
    if (run.wav) {
        uint8_t header[WAV_HEADER_BYTES];
        wav_header(header, run.wav_rate, run.data_bytes);
        const bool seekable = std::fseek(run.out, 0, SEEK_SET) == 0;
        if (!seekable && !(to_stdout(run) && errno == ESPIPE))
            fail(run.out_name, std::strerror(errno));
        if (seekable && std::fwrite(header, 1, sizeof header, run.out) != sizeof header)
            fail(run.out_name, std::strerror(errno));
    }
    if (std::fclose(run.out) != 0) fail(run.out_name, std::strerror(errno));
    return 0;
}
