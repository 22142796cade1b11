// vexa-decode [-w] IN OUT: decodes an MPEG audio Layer III file with the project's decoder.
//
// OUT gets raw 16-bit little-endian PCM at the stream's own rate, each frame's samples
// interleaved with that frame's own channel count (one value per sample for a mono
// frame, two for a stereo one). With -w OUT is a WAV file instead: stereo throughout
// (mono frames on both channels) at the rate of the first frame. An ID3v2 tag at the
// start is skipped. The input goes through the player's own bit buffer, so the decoder
// sees exactly the words the player gives it.
#include "id3v2.h"
#include "mp3dec.h"
#include "mp3rate.h"
#include "mpegsync.h"
#include "settings.h"
#include "smbuf.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr const char* status_name[] = {
    "eNoErr",
    "eNoSyncword",
    "eCRCError",
    "eBrokenFrame",
    "eEndOfBitstram",
    "eDataOverflow",
    "eCantAllocateBuffer",
    "eUnsupportedLayer",
    "eFrameDiscarded",
    "eReservedSamplingFrequency",
    "eForbiddenBitRate",
    "eWrongMPEGBuild",
};
constexpr int STATUS_COUNT = 12;
static_assert(sizeof status_name / sizeof status_name[0] == STATUS_COUNT);

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
    int64_t dropped[STATUS_COUNT];
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

void write_frame(tDecodeRun& run, const tMPEGHeader& h) {
    const int rate = MP3SampleRate(&h);
    if (run.out == nullptr) {
        run.out = std::fopen(run.out_name, "wb");
        if (run.out == nullptr) fail(run.out_name, std::strerror(errno));
        run.wav_rate = rate;
        if (run.wav) {
            uint8_t header[WAV_HEADER_BYTES];
            wav_header(header, rate, 0);
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

// Fills buf with up to `bytes` bytes of the file, fewer only at its end.
ssize_t read_fully(uint8_t* buf, size_t bytes, const char* name) {
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = read(infd, buf + done, bytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(name, std::strerror(errno));
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Tops the bit buffer up as the player's pipe callback does: at least REFILL_BITS from the
// current word, and at the end of the file its last bytes as one word filled up with
// zero bytes. True once the file has ended.
bool refill(const char* name) {
    normalise_bitstream();
    shift_bitstream();
    while (validbits() < REFILL_BITS) {
        uint32_t* p = smbuf_free_ptr();
        if (p == nullptr) break;
        const auto room = static_cast<size_t>(SMBUF_WORDS - smbufcnt) * 4;
        auto* bytes = reinterpret_cast<uint8_t*>(p);
        const ssize_t n = read_fully(bytes, room, name);
        const auto words = static_cast<int>((n + 3) / 4);
        std::memset(bytes + n, 0, static_cast<size_t>(4 * words - n));
        stream_words_in(p, words);
        smbufcnt += words;
        smbuf_words_in += words;
        if (static_cast<size_t>(n) < room) return true;
    }
    return false;
}

// Stream bytes from a sync word on, read from the file without moving its position.
uint8_t window[MPEG_RUN_WINDOW];

// Fills `window` from stream byte `at` (counted from `stream_start` in the file); the
// stream ends after the bytes read when fewer came than asked for.
std::span<const uint8_t> peek(int64_t stream_start, int64_t at, size_t bytes, bool* ends,
                              const char* name) {
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = pread(infd, window + done, bytes - done,
                                static_cast<off_t>(stream_start + at) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(name, std::strerror(errno));
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    *ends = done < bytes;
    return std::span<const uint8_t>(window, done);
}

// As the player: a sync word is believed when it starts the frame the stream has due
// there, or a run of Layer III frames. -1: pass over it; 0: decode it.
int confirm_stream(tDecodeRun& run, int64_t stream_start, tStreamSync& sync, int32_t* free_length) {
    const int64_t here = stream_position();
    bool ends = false;
    if (mpeg_sync_due(sync, here, peek(stream_start, here, 4, &ends, run.in_name))) return 0;
    tFrameRun found{};
    const auto bytes = peek(stream_start, here, MPEG_RUN_WINDOW, &ends, run.in_name);
    if (mpeg_confirm_run(bytes, ends, &found) == MPEG_RUN_FOUND && found.first.layer == 3) {
        if (*free_length == 0) *free_length = found.free_length;
        return 0;
    }
    run.unconfirmed += 1;
    return -1;
}

void decode(tDecodeRun& run, int64_t stream_start) {
    tMPEGInstance* inst = &instance;
    MP3InitInstance(inst);
    smbuf_reset();
    tMPEGHeader header{};
    bool ended = false;
    int64_t last_header = -1; // stream byte of the last accepted header
    int32_t free_length = 0;  // measured length of a free-format frame, 0 if unknown
    tStreamSync sync{};
    for (;;) {
        ended = refill(run.in_name) || ended;
        if (MP3SearchForSyncword(inst, &bitstream, unread_bits()) != eNoErr) {
            if (ended) return;
            continue;
        }
        if (confirm_stream(run, stream_start, sync, &free_length) != 0) {
            bitstream.bitidx += 8;
            continue;
        }
        ended = refill(run.in_name) || ended;
        const int64_t here = stream_position();
        bool ends = false;
        const auto head = peek(stream_start, here, 4, &ends, run.in_name);
        tMPEGStatus s = MP3DecodeInfo(inst, &bitstream, &header);
        if (s != eNoErr) {
            sync.in_sync = 0;
            run.dropped[s] += 1;
            continue;
        }
        if (header.free_format && last_header >= 0 &&
            (free_length == 0 || here - last_header < free_length))
            free_length = static_cast<int32_t>(here - last_header);
        last_header = here;
        mpeg_sync_take(sync, here, head, free_length);
        ended = refill(run.in_name) || ended;
        // At the end of the file a frame must be there whole before it is decoded.
        if (ended) {
            const int64_t padding = (header.packed_info >> 9) & 1;
            const int64_t need = header.free_format && free_length > 0
                                     ? 8 * (free_length + padding - 4)
                                     : header.bits_required & ~7;
            if (unread_bits() < need) {
                run.cut_short += 1;
                return;
            }
        }
        s = MP3DecodeData(inst, left, right, &bitstream);
        // A frame that read past the end of the file is not written, and nothing follows.
        if (unread_bits() < 0) {
            run.cut_short += 1;
            return;
        }
        // Only a frame read to its end leaves the position at the next header.
        if (s != eNoErr && s != eFrameDiscarded) last_header = -1;
        if (s != eNoErr) {
            run.dropped[s] += 1;
            continue;
        }
        write_frame(run, header);
    }
}

void summary(const tDecodeRun& run) {
    int64_t dropped = 0;
    for (int64_t d : run.dropped)
        dropped += d;
    std::fprintf(stderr, "vexa-decode: %s: %lld frames, %lld dropped", run.in_name,
                 static_cast<long long>(run.frames), static_cast<long long>(dropped));
    const char* sep = " (";
    for (int i = 0; i < STATUS_COUNT; i++) {
        if (run.dropped[i] == 0) continue;
        std::fprintf(stderr, "%s%s %lld", sep, status_name[i],
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
    "  (each frame with its own channel count), -w: to a stereo WAV\n";

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

    infd = open(run.in_name, O_RDONLY);
    if (infd < 0) fail(run.in_name, std::strerror(errno));
    struct stat st {};
    if (fstat(infd, &st) < 0) fail(run.in_name, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) fail(run.in_name, std::strerror(EISDIR));
    unsigned char tag[ID3V2_PROBE_BYTES];
    const int t = read_id3v2_header(infd, tag);
    const int64_t stream_start = t > 0 ? t : 0;
    if (lseek(infd, static_cast<off_t>(stream_start), SEEK_SET) < 0)
        fail(run.in_name, std::strerror(errno));

    decode(run, stream_start);
    summary(run);
    if (run.frames == 0) fail(run.in_name, "no decodable MPEG audio frame");
    if (run.wav) {
        uint8_t header[WAV_HEADER_BYTES];
        wav_header(header, run.wav_rate, run.data_bytes);
        if (std::fseek(run.out, 0, SEEK_SET) != 0 ||
            std::fwrite(header, 1, sizeof header, run.out) != sizeof header)
            fail(run.out_name, std::strerror(errno));
    }
    if (std::fclose(run.out) != 0) fail(run.out_name, std::strerror(errno));
    return 0;
}
