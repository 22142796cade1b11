// Feeding the decoder one frame at a time: sync search, header, refill, data.
//
// The feed owns the order of the decoder calls and the refills of the bit buffer (smbuf)
// between them, so that every caller drives the decoder the same way and keeps the promise
// of mp3dec.h: before each call the buffer holds at least REFILL_BITS from the current word,
// or the rest of the input (under the address sanitizer, what lies past the words a call
// may read is unreadable while it runs).
// mp3feed_next goes on from where the last call stopped and returns at every point a
// caller may want to act on (trace, count, read the pipe); a decoded frame is one of them.
//
// At the end of the input a frame is decoded only when it is held whole: its length comes
// from its header, or for free format from the distance between two headers when the
// stream is followed (follow_stream), else from the longest length the header allows.
// A frame cut short ends the feed.
#pragma once

#include "mp3dec.h"
#include "mpegsync.h"
#include "smbuf.h"

#include <cstdint>
#include <span>
#include <type_traits>

// Steps of one frame. When the pipe buffer runs dry between them, the frame goes on at
// the step it reached: its header may already have been read.
constexpr int32_t FEED_SEARCH = 0;  // look for the next sync word
constexpr int32_t FEED_CONFIRM = 1; // a sync word was found: does a stream start there?
constexpr int32_t FEED_HEADER = 2;  // a sync word is at the position
constexpr int32_t FEED_DATA = 3;    // the header has been read
constexpr int32_t FEED_DONE = 4;    // the feed has ended

// What mp3feed_next has come to.
enum tFeedEvent : int32_t {
    FEED_FRAME,       // a frame decoded: header, and the PCM in the arrays given to mp3feed_init
    FEED_NEED_INPUT,  // the pipe buffer is empty for now (the refill before `step`)
    FEED_LOOK_AHEAD,  // more of the pipe is needed to tell whether a stream starts here
    FEED_INPUT_ENDED, // a refill met the end of the input (input_ended is now set)
    FEED_SYNC_FOUND,  // a sync word is at the position
    FEED_NO_SYNC,     // no sync word in what the buffer holds (status)
    FEED_NOT_STREAM,  // the sync word starts no stream; it is passed over
    FEED_HEADER_READ, // the frame's header was read (header, header_at)
    FEED_BAD_HEADER,  // MP3DecodeInfo refused the header (status)
    FEED_DROPPED,     // MP3DecodeData refused the frame (status)
    FEED_CUT_SHORT,   // the input ends inside the frame: it is not decoded, the feed ends
    FEED_END,         // the input has ended inside a header, or the feed had ended before
};

struct tMp3Feed {
    tMPEGInstance* inst; // initialised by the caller
    int16_t* left;       // PCM arrays, MP3_MAX_SAMPLES each
    int16_t* right;
    tInputBuffer* in;         // where the frames come from, its source bound by the caller
    int32_t follow_stream;    // 1: a sync word is taken only where a run of frames starts or
                              // the next frame is due, and free-format lengths are learned
    int32_t step;             // FEED_SEARCH .. FEED_DONE
    int32_t refilled;         // the refill before the step has been done
    int32_t input_ended;      // a refill has met the end of the input
    tMPEGStatus status;       // of the last call the decoder refused
    tMPEGHeader header;       // the last header read
    int64_t header_at;        // stream byte of that header
    int32_t free_frame_bytes; // free format: frame length without padding, 0 when unknown
    int64_t free_header_at;   // stream byte of the last free-format header taken, or -1
    tStreamSync sync;         // where the next frame is due
};
// Plain data: the play loop keeps one in its playback record, set up by mp3feed_init.
static_assert(std::is_trivially_copyable_v<tMp3Feed>);

// A feed from the input record `in` for the decoder instance `inst` and the two PCM
// arrays, at the start of a frame search. The record is the caller's, bound to its source
// (input_bind_file, input_bind_pipe, input_bind_bytes) before the first mp3feed_next.
void mp3feed_init(tMp3Feed& feed, tMPEGInstance* inst, int16_t* left, int16_t* right,
                  tInputBuffer* in, int32_t follow_stream);
// Goes on to the next event.
tFeedEvent mp3feed_next(tMp3Feed& feed);

// True when the feed has nothing more after `event`: the input has ended inside a frame or
// a header, or without another sync word.
bool mp3feed_over(const tMp3Feed& feed, tFeedEvent event);
