// The stream decoder of vexa/mp3dec.h fed any bytes: pushed in pieces of a size taken from
// the input's last byte, every frame pulled in either layout. Whatever the input, no call
// reads or writes out of bounds (under the sanitizers), every frame given is well formed
// and in stream order, and the PCM is the same as when the input comes in one piece.
#include "vexa/mp3dec.h"

#include <cstdint>
#include <cstring>

namespace {

alignas(2048) uint8_t memory[256 * 1024];
int16_t pcm[MP3_STREAM_PCM_VALUES];

// FNV-1a over the PCM of every frame, with the count of frames.
struct Digest {
    uint64_t hash;
    int64_t frames;
};

Digest run(const uint8_t* data, size_t length, size_t piece, int32_t layout) {
    tMP3Stream* s = MP3StreamInit(memory, sizeof memory);
    if (s == nullptr) __builtin_trap();
    Digest d{0xCBF29CE484222325ULL, 0};
    int64_t last_byte = -1;
    size_t at = 0;
    for (;;) {
        const size_t n = length - at < piece ? length - at : piece;
        at += MP3StreamPush(s, data + at, n);
        if (at == length) MP3StreamEnd(s);
        tMP3StreamFrame f{};
        tMP3StreamStatus st;
        while ((st = MP3StreamPull(s, pcm, MP3_STREAM_PCM_VALUES, layout, &f)) !=
               eStreamNeedInput) {
            if (st == eStreamEnd) return d;
            if (MP3StreamStatusIsFatal(st) || MP3StreamStatusName(st) == nullptr) __builtin_trap();
            if (f.stream_byte <= last_byte) __builtin_trap();
            last_byte = f.stream_byte;
            if (st != eStreamFrame) continue;
            if ((f.samples != 576 && f.samples != 1152) || f.channels < 1 || f.channels > 2 ||
                f.sample_rate < 8000 || f.frame_index != d.frames)
                __builtin_trap();
            for (int i = 0; i < f.samples; i++)
                for (int c = 0; c < f.channels; c++) {
                    const int16_t v =
                        layout == MP3_PCM_PLANAR ? pcm[c * f.samples + i] : pcm[i * f.channels + c];
                    d.hash = (d.hash ^ static_cast<uint16_t>(v)) * 0x100000001B3ULL;
                }
            d.frames++;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length) {
    if (length == 0) return 0;
    const uint8_t pick = data[length - 1];
    const size_t piece = 1 + pick % 64 * (pick >= 128 ? 97 : 1);
    const int32_t layout = pick & 1 ? MP3_PCM_PLANAR : MP3_PCM_INTERLEAVED;
    const Digest pieces = run(data, length, piece, layout);
    const Digest whole = run(data, length, length, MP3_PCM_INTERLEAVED);
    if (pieces.hash != whole.hash || pieces.frames != whole.frames) __builtin_trap();
    return 0;
}
