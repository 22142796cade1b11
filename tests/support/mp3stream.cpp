#include "mp3stream.h"

#include "mp3feed.h"
#include "smbuf.h"

#include <cstring>
#include <span>

namespace {

alignas(MP3_INSTANCE_ALIGN) tMPEGInstance instance;
int16_t left[MP3_MAX_SAMPLES];
int16_t right[MP3_MAX_SAMPLES];
tInputBuffer input;

} // namespace

FedStream feed_stream(const std::string& bytes, int32_t follow_stream) {
    FedStream out;
    std::memset(static_cast<void*>(&instance), 0, sizeof instance);
    MP3InitInstance(&instance);
    tMp3Feed feed{};
    input_bind_bytes(input, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                     1);
    mp3feed_init(feed, &instance, left, right, &input, follow_stream);
    for (;;) {
        const tFeedEvent e = mp3feed_next(feed);
        if (e == FEED_FRAME || e == FEED_DROPPED)
            out.frames.push_back({feed.header_at, stream_position(input),
                                  e == FEED_FRAME ? eNoErr : feed.status, feed.header.free_format});
        if (e == FEED_FRAME) {
            out.decoded++;
            for (int i = 0; i < feed.header.samplesperchannel; i++) {
                out.pcm.push_back(left[i]);
                if (feed.header.numchans == 2) out.pcm.push_back(right[i]);
            }
        }
        out.not_stream += e == FEED_NOT_STREAM;
        out.bad_headers += e == FEED_BAD_HEADER;
        out.cut_short = out.cut_short || e == FEED_CUT_SHORT;
        if (mp3feed_over(feed, e)) return out;
    }
}
