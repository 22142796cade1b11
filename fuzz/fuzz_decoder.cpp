// The decoder driven by the player's frame feed: sync search, header, data, frame after
// frame through the whole input, every sync word tried. Under the address sanitizer the
// feed makes the bit buffer unreadable past the words that the promise in mp3dec.h allows
// each call to read, so any read past that promise is reported. Each input is decoded on
// the portable path and again on every fast path the processor runs; the paths must give
// the same events and the same PCM, bit for bit.
#include "dsp.h"
#include "mp3dec.h"
#include "mp3feed.h"
#include "mp3rate.h"
#include "smbuf.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <span>

namespace {

alignas(MP3_INSTANCE_ALIGN) tMPEGInstance instance;
tInputBuffer input;
int16_t pcm_left[MP3_MAX_SAMPLES];
int16_t pcm_right[MP3_MAX_SAMPLES];

constexpr std::array<mp3::tDspPath, 5> PATHS = {mp3::DSP_PORTABLE, mp3::DSP_SSE41, mp3::DSP_AVX2,
                                                mp3::DSP_NEON, mp3::DSP_ARMV5E};

// FNV-1a over what a run produced: every event, and every frame's samples.
struct tRunDigest {
    uint64_t hash;
    uint64_t frames;
};

void digest_bytes(tRunDigest& d, const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; i++)
        d.hash = (d.hash ^ b[i]) * 0x100000001b3ULL;
}

tRunDigest decode_all(const uint8_t* data, size_t length, mp3::tDspPath path) {
    tRunDigest digest{0xcbf29ce484222325ULL, 0};
    std::memset(static_cast<void*>(&instance), 0, sizeof instance);
    MP3InitInstance(&instance);
    mp3::dsp_select(&instance, path);
    tMp3Feed feed{};
    input_bind_bytes(input, std::span<const uint8_t>(data, length), 1);
    mp3feed_init(feed, &instance, pcm_left, pcm_right, &input, 0);
    for (;;) {
        const tFeedEvent e = mp3feed_next(feed);
        const int64_t at = stream_position(input);
        const tMPEGHeader& h = feed.header;
        if (e == FEED_SYNC_FOUND && input.bitstream.bitidx % 8 != 0) __builtin_trap();
        if (e == FEED_HEADER_READ) {
            if (at != feed.header_at + 4 || input.bitstream.bitidx % 8 != 0) __builtin_trap();
            if (h.samplesperchannel != MP3_GRANULE_SAMPLES &&
                h.samplesperchannel != MP3_MAX_SAMPLES)
                __builtin_trap();
            if (MP3SampleRate(&h) <= 0) __builtin_trap();
        }
        if (e == FEED_FRAME || e == FEED_DROPPED) {
            // The data call ends inside what it may read, and a frame with a bitrate
            // exactly at its end.
            const int64_t data_at = feed.header_at + 4;
            const int64_t promised =
                h.free_format != 0 ? MP3_FREE_FORMAT_READ_BYTES : h.bits_required / 8;
            if (at < data_at || at > data_at + promised) __builtin_trap();
            if (e == FEED_FRAME && h.free_format == 0 && at != data_at + promised) __builtin_trap();
        }
        digest_bytes(digest, &e, sizeof e);
        if (e == FEED_FRAME) {
            const size_t n = static_cast<size_t>(h.samplesperchannel) * sizeof(int16_t);
            digest_bytes(digest, pcm_left, n);
            if (h.numchans == 2) digest_bytes(digest, pcm_right, n);
            digest.frames++;
        }
        if (mp3feed_over(feed, e)) break;
    }
    return digest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length) {
    const tRunDigest reference = decode_all(data, length, mp3::DSP_PORTABLE);
    for (mp3::tDspPath path : PATHS) {
        if (path == mp3::DSP_PORTABLE || !mp3::dsp_available(path)) continue;
        const tRunDigest fast = decode_all(data, length, path);
        if (fast.hash != reference.hash || fast.frames != reference.frames) __builtin_trap();
    }
    return 0;
}
