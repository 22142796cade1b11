// MPEG audio streams held in memory, decoded through the player's frame feed.
#pragma once

#include "mp3dec.h"

#include <cstdint>
#include <string>
#include <vector>

// One frame that reached the decoder's data call.
struct FedFrame {
    int64_t at;         // stream byte of its header
    int64_t end;        // stream byte where the data call left the position
    tMPEGStatus status; // of the data call
    int32_t free_format;
};

struct FedStream {
    std::vector<int16_t> pcm;     // decoded frames, each interleaved with its own channel count
    std::vector<FedFrame> frames; // in stream order
    int decoded = 0;
    int not_stream = 0;     // sync words passed over
    int bad_headers = 0;    // headers the decoder refused
    bool cut_short = false; // the stream ended inside its last frame
};

// Decodes `bytes` from its start to its end; follow_stream as in tMp3Feed.
FedStream feed_stream(const std::string& bytes, int32_t follow_stream = 1);
