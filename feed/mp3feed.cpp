#include "mp3feed.h"

#include "smbuf.h"

#include <algorithm>

#if defined(__SANITIZE_ADDRESS__)
#define VEXA_FEED_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEXA_FEED_ASAN 1
#endif
#endif
#ifdef VEXA_FEED_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr int32_t HEADER_BITS = 32;

// Under the address sanitizer the words of smbuf past those a decoder call may read (the
// word at the position, and those holding the `bits` after it, as mp3dec.h promises) are
// unreadable while it runs.
void guard_reads(const tInputBuffer& in, int64_t bits) {
#ifdef VEXA_FEED_ASAN
    const uint32_t* smbuf = in.smbuf.data();
    const int64_t end = (in.bitstream.bufptr - smbuf) +
                        std::max<int64_t>(1, (in.bitstream.bitidx + bits + 31) / 32);
    const auto size = static_cast<int64_t>(in.smbuf.size());
    if (end < size)
        ASAN_POISON_MEMORY_REGION(smbuf + end, static_cast<size_t>(size - end) * sizeof smbuf[0]);
#else
    (void)in;
    (void)bits;
#endif
}

void end_guard(const tInputBuffer& in) {
#ifdef VEXA_FEED_ASAN
    ASAN_UNPOISON_MEMORY_REGION(in.smbuf.data(), sizeof in.smbuf);
#else
    (void)in;
#endif
}

// A free-format frame decoded to its end leaves the position on the next header: the
// distance between the two is the frame's length, which the end of the stream needs.
void learn_free_length(tMp3Feed& feed, const tMPEGHeader& previous, int64_t header_at,
                       tMPEGStatus status) {
    if (status == eNoErr && feed.header.free_format) {
        if (feed.free_header_at >= 0 && previous.free_format &&
            previous.sample_rate == feed.header.sample_rate) {
            feed.free_frame_bytes = mpeg_learn_free_length(
                feed.free_frame_bytes,
                header_at - feed.free_header_at - mp3_hdr_padding(previous.packed_info),
                MPEG_FREE_BY_HEADERS);
        }
        feed.free_header_at = header_at;
    } else {
        feed.free_header_at = -1;
    }
}

// A sync word is believed when it starts the frame the stream has due there, or a run of
// Layer III frames; otherwise it is passed over. The step is FEED_HEADER when it is
// believed, and the event counts only when it is not.
tFeedEvent confirm_stream(tMp3Feed& feed) {
    tInputBuffer& in = *feed.in;
    const std::span<uint8_t> window(in.window);
    bool ends = false;
    const int64_t here = stream_position(in);
    int n = stream_peek(in, window.first(4), &ends);
    if (mpeg_sync_due(feed.sync, here, window.first(static_cast<size_t>(n)))) {
        feed.step = FEED_HEADER;
        return FEED_SYNC_FOUND;
    }
    n = stream_peek(in, window, &ends);
    tFrameRun run{};
    const int32_t found = mpeg_confirm_run(window.first(static_cast<size_t>(n)), ends, &run);
    if (found == MPEG_RUN_MORE) {
        feed.step = FEED_SEARCH;
        return FEED_LOOK_AHEAD;
    }
    if (found == MPEG_RUN_FOUND && run.first.layer == 3) {
        feed.free_frame_bytes =
            mpeg_learn_free_length(feed.free_frame_bytes, run.free_length, MPEG_FREE_BY_RUN);
        feed.step = FEED_HEADER;
        return FEED_SYNC_FOUND;
    }
    in.bitstream.bitidx += 8;
    feed.step = FEED_SEARCH;
    return FEED_NOT_STREAM;
}

tFeedEvent search(tMp3Feed& feed) {
    tInputBuffer& in = *feed.in;
    const int32_t bits = unread_bits(in);
    guard_reads(in, bits);
    const tMPEGStatus s = MP3SearchForSyncword(feed.inst, &in.bitstream, bits);
    end_guard(in);
    if (s != eNoErr) {
        feed.status = s;
        return FEED_NO_SYNC;
    }
    feed.step = FEED_CONFIRM;
    return FEED_SYNC_FOUND;
}

tFeedEvent read_header(tMp3Feed& feed) {
    tInputBuffer& in = *feed.in;
    const std::span<uint8_t> window(in.window);
    // After the input has ended the frames still held whole are decoded too.
    if (feed.input_ended && unread_bits(in) < HEADER_BITS) {
        feed.step = FEED_DONE;
        return FEED_END;
    }
    feed.step = FEED_SEARCH;
    const int64_t header_at = stream_position(in);
    const tMPEGHeader previous = feed.header;
    bool ends = false;
    const int head = feed.follow_stream ? stream_peek(in, window.first(4), &ends) : 0;
    guard_reads(in, HEADER_BITS);
    const tMPEGStatus s = MP3DecodeInfo(feed.inst, &in.bitstream, &feed.header);
    end_guard(in);
    feed.header_at = header_at;
    if (feed.follow_stream) {
        learn_free_length(feed, previous, header_at, s);
        if (s == eNoErr)
            mpeg_sync_take(feed.sync, header_at, window.first(static_cast<size_t>(head)),
                           feed.free_frame_bytes);
        else
            feed.sync.in_sync = 0;
    }
    if (s != eNoErr) {
        feed.status = s;
        return FEED_BAD_HEADER;
    }
    feed.step = FEED_DATA;
    return FEED_HEADER_READ;
}

tFeedEvent read_data(tMp3Feed& feed) {
    tInputBuffer& in = *feed.in;
    // A frame cut short by the end of the input is not decoded.
    if (feed.input_ended &&
        unread_bits(in) < mp3_frame_data_bits(feed.header, feed.free_frame_bytes)) {
        feed.step = FEED_DONE;
        return FEED_CUT_SHORT;
    }
    feed.step = FEED_SEARCH;
    guard_reads(in,
                8 * static_cast<int64_t>(feed.header.free_format ? MP3_FREE_FORMAT_READ_BYTES
                                                                 : feed.header.bits_required / 8));
    const tMPEGStatus s = MP3DecodeData(feed.inst, feed.left, feed.right, &in.bitstream);
    end_guard(in);
    // A frame that read past the end of the stream is not used, and nothing follows it.
    if (unread_bits(in) < 0) {
        feed.step = FEED_DONE;
        return FEED_CUT_SHORT;
    }
    if (feed.follow_stream && s != eNoErr && s != eFrameDiscarded) feed.free_header_at = -1;
    if (s != eNoErr) {
        feed.status = s;
        return FEED_DROPPED;
    }
    return FEED_FRAME;
}

} // namespace

void mp3feed_init(tMp3Feed& feed, tMPEGInstance* inst, int16_t* left, int16_t* right,
                  tInputBuffer* in, int32_t follow_stream) {
    feed = tMp3Feed{};
    feed.inst = inst;
    feed.left = left;
    feed.right = right;
    feed.in = in;
    feed.follow_stream = follow_stream;
    feed.step = FEED_SEARCH;
    feed.status = eNoErr;
    feed.header_at = -1;
    feed.free_header_at = -1;
}

tFeedEvent mp3feed_next(tMp3Feed& feed) {
    if (feed.step == FEED_DONE) return FEED_END;
    if (feed.step == FEED_CONFIRM) {
        const tFeedEvent e = feed.follow_stream ? confirm_stream(feed) : FEED_SYNC_FOUND;
        if (feed.step != FEED_CONFIRM && feed.step != FEED_HEADER) return e;
        feed.step = FEED_HEADER;
    }
    if (!feed.refilled) {
        const int r = input_refill(*feed.in);
        if (r == 0) return FEED_NEED_INPUT;
        feed.refilled = 1;
        if (r < 0) {
            feed.input_ended = 1;
            return FEED_INPUT_ENDED;
        }
    }
    feed.refilled = 0;
    if (feed.step == FEED_SEARCH) return search(feed);
    if (feed.step == FEED_HEADER) return read_header(feed);
    return read_data(feed);
}

bool mp3feed_over(const tMp3Feed& feed, tFeedEvent event) {
    return event == FEED_CUT_SHORT || event == FEED_END ||
           (event == FEED_NO_SYNC && feed.input_ended);
}
