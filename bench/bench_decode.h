// Decoder benchmark: the records shared by our decoder's runner and the peers' runners.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One MPEG audio file held in memory. `bytes` has `size` stream bytes followed by at
// least BENCH_TAIL_BYTES zero bytes.
struct tInputFile {
    std::string name;
    std::vector<uint8_t> bytes;
    int64_t size;
};

// Decoded PCM, planar, kept by the untimed run for the comparison between decoders.
struct tPcm {
    int32_t rate;     // Hz, 0 when nothing was decoded
    int32_t channels; // 1 or 2
    std::vector<int16_t> left;
    std::vector<int16_t> right; // empty for one channel
};

// Result of one decoding of a whole file.
struct tDecodeRun {
    int64_t samples;  // per channel
    int32_t frames;   // frames that gave PCM
    int32_t failures; // frames the decoder refused or dropped
};

// Zero bytes kept after the last stream byte: libmad's guard.
constexpr int BENCH_TAIL_BYTES = 2048;

// Peers. `available` tells whether the program was built with the library. Each run
// decodes the whole file from memory to 16-bit samples; with `keep` the samples are
// stored there as well (untimed runs only).
struct tPeer {
    const char* name;
    bool available;
    tDecodeRun (*run)(const tInputFile& in, tPcm* keep);
};

tPeer peer_libmad();
tPeer peer_mpg123();                    // the library's own choice of synthesis code
tPeer peer_mpg123_generic();            // its portable C synthesis
const char* peer_mpg123_decoder_name(); // the decoder mpg123 chose, or "-"
void peer_mpg123_finish();              // releases its handles
tPeer peer_avcodec_fixed();             // libavcodec's fixed-point decoder ("mp3")
tPeer peer_avcodec_float();             // libavcodec's float decoder ("mp3float")

// Keeps one sample of a decoded block alive (shared by all runners, same cost for all).
void decode_keep(int64_t value);
