// vexa-decode [-w] IN OUT: decodes an MPEG audio Layer III file with the project's decoder.
//
// OUT gets raw 16-bit little-endian PCM at the stream's own rate, each frame's samples
// interleaved with that frame's own channel count (one value per sample for a mono
// frame, two for a stereo one). With -w OUT is a WAV file instead: stereo throughout
// (mono frames on both channels) at the rate of the first frame. An ID3v2 tag at the
// start is skipped. The input goes through the player's own bit buffer and frame feed, so
// the decoder sees exactly the words the player gives it.
#include "id3v2.h"
#include "mp3dec.h"
#include "mp3feed.h"
#include "mp3rate.h"

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
int16_t left[MP3_MAX_SAMPLES];
int16_t right[MP3_MAX_SAMPLES];
uint8_t out_bytes[4 * MP3_MAX_SAMPLES];
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
};

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

void write_frame(tDecodeRun& run, const tMPEGHeader& h) {
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
    const int n = h.samplesperchannel;
    const int channels = run.wav ? 2 : h.numchans;
    const int16_t* r = h.numchans == 1 ? left : right;
    for (int i = 0; i < n; i++) {
        put16(out_bytes + 2 * channels * i, left[i]);
        if (channels == 2) put16(out_bytes + 4 * i + 2, r[i]);
    }
    write_out(run, out_bytes, static_cast<size_t>(2 * channels * n));
    run.frames += 1;
    run.samples += n;
    run.seconds += rate > 0 ? static_cast<double>(n) / rate : 0;
}

// The rest of the file from its current position, whole, in a block of its own.
std::span<const uint8_t> read_rest(const char* name) {
    uint8_t* bytes = nullptr;
    size_t held = 0;
    constexpr size_t piece = 65536;
    for (;;) {
        bytes = static_cast<uint8_t*>(std::realloc(bytes, held + piece));
        if (bytes == nullptr) fail(name, std::strerror(ENOMEM));
        const ssize_t n = read(infd, bytes + held, piece);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(name, std::strerror(errno));
        if (n == 0) return std::span<const uint8_t>(bytes, held);
        held += static_cast<size_t>(n);
    }
}

// Every frame of the stream, fed to the decoder as the player feeds it.
void decode(tDecodeRun& run, std::span<const uint8_t> stream) {
    MP3InitInstance(&instance);
    tMp3Feed feed{};
    mp3feed_init(feed, &instance, left, right, FEED_BYTES, 1);
    mp3feed_attach_bytes(stream);
    for (;;) {
        const tFeedEvent e = mp3feed_next(feed);
        if (e == FEED_FRAME) write_frame(run, feed.header);
        if (e == FEED_NOT_STREAM) run.unconfirmed += 1;
        if (e == FEED_BAD_HEADER || e == FEED_DROPPED) run.dropped[feed.status] += 1;
        if (e == FEED_CUT_SHORT) run.cut_short += 1;
        if (mp3feed_over(feed, e)) return;
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
    if (run.unconfirmed > 0)
        std::fprintf(stderr, ", %lld sync words outside the stream",
                     static_cast<long long>(run.unconfirmed));
    std::fprintf(stderr, ", %.3f s\n", run.seconds);
}

} // namespace

constexpr const char* usage_text =
    "usage: vexa-decode [-w] IN OUT\n"
    "  decodes an MPEG audio Layer III file to raw 16-bit PCM\n"
    "  (each frame with its own channel count), -w: to a stereo WAV;\n"
    "  - as IN reads standard input, as OUT writes standard output\n";

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
    int arg = 1;
    if (arg < argc && std::strcmp(argv[arg], "-w") == 0) {
        run.wav = true;
        arg++;
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
    unsigned char tag[ID3V2_PROBE_BYTES];
    const int t = read_id3v2_header(infd, tag);
    const int64_t stream_start = t > 0 ? t : 0;
    if (lseek(infd, static_cast<off_t>(stream_start), SEEK_SET) < 0)
        fail(run.in_name, std::strerror(errno));

    const std::span<const uint8_t> stream = read_rest(run.in_name);
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
