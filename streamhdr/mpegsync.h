// MPEG audio frame headers of every layer, and the test that tells a stream from bytes
// that only happen to hold a sync pattern.
//
// A position starts a stream when the frame there and the frames that follow it, each at
// the distance the one before announces, make a run of MPEG_RUN_FRAMES headers of the same
// version, layer and sampling rate. A free-format run (bitrate index 0) measures its frame
// length as the distance to the next matching header and must find the header after that
// at the same length. The end of the stream, or a tag at the end of a file, may stand for
// the headers a run still lacks: the last frames of a file follow each other just as well.
#pragma once

#include <cstdint>
#include <span>

constexpr int MPEG_RUN_FRAMES = 3;
// Longest frame of any layer: Layer II at 384 kbit/s and 32000 Hz with padding is 1729
// bytes, Layer III at 320 kbit/s 1441; free format is taken up to 640 kbit/s at 32000 Hz.
constexpr int MPEG_MAX_FREE_BYTES = 2881;
// Bytes after a candidate header that always settle whether it starts a run.
constexpr int MPEG_RUN_WINDOW = 2 * MPEG_MAX_FREE_BYTES + 4;

// One frame header, as the run test reads it.
struct tFrameInfo {
    uint32_t word;         // the header's 32 bits, first byte in bits 31..24
    int32_t version_bits;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int32_t layer;         // 1, 2 or 3
    int32_t bitrate_index; // 0 (free format) to 14
    int32_t rate_index;    // 0 to 2
    int32_t rate;          // Hz
    int32_t padding;       // 0 or 1
    int32_t length;        // bytes of the frame with its padding; 0 for free format
};

// Reads the four bytes at `bytes` (at least four). False when they are no valid header of
// any layer (mp3_hdr_faults): no sync word, a reserved version, layer, bitrate or sampling
// rate.
bool mpeg_frame_header(std::span<const uint8_t> bytes, tFrameInfo* info);

// Same version, layer and rate, and both free format or both not.
bool mpeg_same_stream(const tFrameInfo& a, const tFrameInfo& b);

constexpr int32_t MPEG_RUN_NONE = 0;  // the candidate starts no stream
constexpr int32_t MPEG_RUN_FOUND = 1; // it does
constexpr int32_t MPEG_RUN_MORE = 2;  // more bytes are needed to tell

struct tFrameRun {
    tFrameInfo first;    // the candidate's header
    int32_t free_length; // free format: frame length without padding; else 0
};

// Whether the header at the start of `window` begins a run. `stream_ends` says that the
// stream ends with the window's last byte; otherwise a run that reaches past the window
// gives MPEG_RUN_MORE. A window of MPEG_RUN_WINDOW bytes always settles it.
int32_t mpeg_confirm_run(std::span<const uint8_t> window, bool stream_ends, tFrameRun* run);

// Where a stream being played has its next frame due.
struct tStreamSync {
    int32_t in_sync;        // the last frame's header was taken and its length is known
    int64_t next_header_at; // stream byte where the next frame is due
    tFrameInfo last;        // that frame's header
};

// True when `head` (the bytes at stream byte `at`) is the header of the frame due there:
// such a frame needs no new run to be believed.
bool mpeg_sync_due(const tStreamSync& sync, int64_t at, std::span<const uint8_t> head);

// Records that the decoder took the header `head` at stream byte `at`. `free_length` is the
// stream's free-format frame length without padding, 0 when not known.
void mpeg_sync_take(tStreamSync& sync, int64_t at, std::span<const uint8_t> head,
                    int32_t free_length);

// Learning a free-format stream's frame length (bytes without the padding byte, 0 while
// not known) from what the stream shows, `seen`, by one of:
constexpr int32_t MPEG_FREE_BY_RUN = 0;     // a run of frames found (tFrameRun::free_length)
constexpr int32_t MPEG_FREE_BY_HEADERS = 1; // the distance between two free-format headers
                                            // taken one after the other, less the first
                                            // one's padding
// The length known after `seen`: a run's measure is taken when none is known; a distance
// also when it is shorter than the one known (a frame lost between the two headers makes
// it longer, never shorter). Nothing else changes it.
int32_t mpeg_learn_free_length(int32_t known, int64_t seen, int32_t by);
