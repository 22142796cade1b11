// The decoder driven by the player's frame feed: sync search, header, data, frame after
// frame through the whole input, every sync word tried. Under the address sanitizer the
// feed makes the bit buffer unreadable past the words that the promise in mp3dec.h allows
// each call to read, so any read past that promise is reported.
#include "mp3dec.h"
#include "mp3feed.h"
#include "mp3rate.h"
#include "smbuf.h"

#include <cstdint>
#include <cstring>
#include <span>

namespace {

alignas(MP3_INSTANCE_ALIGN) tMPEGInstance instance;
int16_t pcm_left[MP3_MAX_SAMPLES];
int16_t pcm_right[MP3_MAX_SAMPLES];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length) {
    std::memset(static_cast<void*>(&instance), 0, sizeof instance);
    MP3InitInstance(&instance);
    tMp3Feed feed{};
    mp3feed_init(feed, &instance, pcm_left, pcm_right, FEED_BYTES, 0);
    mp3feed_attach_bytes(std::span<const uint8_t>(data, length));
    for (;;) {
        const tFeedEvent e = mp3feed_next(feed);
        const int64_t at = stream_position();
        const tMPEGHeader& h = feed.header;
        if (e == FEED_SYNC_FOUND && inbuf.bitstream.bitidx % 8 != 0) __builtin_trap();
        if (e == FEED_HEADER_READ) {
            if (at != feed.header_at + 4 || inbuf.bitstream.bitidx % 8 != 0) __builtin_trap();
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
        if (mp3feed_over(feed, e)) break;
    }
    return 0;
}
