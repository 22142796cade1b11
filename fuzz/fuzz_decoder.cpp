// The decoder driven the way the player drives it: sync search, header, data, frame
// after frame through the whole input. Each call gets its input in a heap block of exactly
// the words that the promise in mp3dec.h allows it to read, so the address sanitizer
// reports any read past that promise.
#include "mp3dec.h"
#include "mp3rate.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The player's input buffer holds at most this many bits for one search.
constexpr int64_t SEARCH_BITS = 384 * 32;

alignas(MP3_INSTANCE_ALIGN) tMPEGInstance instance;
int16_t pcm_left[MP3_MAX_SAMPLES];
int16_t pcm_right[MP3_MAX_SAMPLES];

// Input words of one call: the stream from the word holding bit `first_bit` on, `words`
// words long, four bytes each with the earliest in bits 31..24; bytes past the end of the
// input read as zero (as the player pads its buffer).
struct tWindow {
    uint32_t* words;
    int64_t base_bit; // stream bit at bit 31 of words[0]
};

tWindow make_window(const uint8_t* data, int64_t size, int64_t first_bit, int64_t last_bit) {
    const int64_t first_word = first_bit / 32;
    const auto count = static_cast<size_t>(last_bit / 32 - first_word + 1);
    auto* words = static_cast<uint32_t*>(std::malloc(count * sizeof(uint32_t)));
    for (size_t w = 0; w < count; w++) {
        uint32_t v = 0;
        for (int64_t b = 0; b < 4; b++) {
            const int64_t at = (first_word + static_cast<int64_t>(w)) * 4 + b;
            v = v << 8 | (at < size ? data[at] : 0u);
        }
        words[w] = v;
    }
    return tWindow{words, first_word * 32};
}

tMPEGBitstream position_in(const tWindow& win, int64_t bit) {
    const int64_t rel = bit - win.base_bit;
    return tMPEGBitstream{win.words + rel / 32, static_cast<int32_t>(rel % 32)};
}

// The stream bit a position in the window stands for; the decoder may leave the position
// anywhere, so this is worked out on addresses, not on pointer arithmetic.
int64_t stream_bit(const tWindow& win, const tMPEGBitstream& bs) {
    const auto delta = static_cast<int64_t>(reinterpret_cast<uintptr_t>(bs.bufptr) -
                                            reinterpret_cast<uintptr_t>(win.words));
    return win.base_bit + delta / 4 * 32 + bs.bitidx;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length) {
    const auto size = static_cast<int64_t>(length);
    const int64_t end_bit = size * 8;
    std::memset(static_cast<void*>(&instance), 0, sizeof instance);
    MP3InitInstance(&instance);

    int64_t bit = 0;
    while (bit < end_bit) {
        // 1. Search over what the player's buffer would hold.
        const int64_t nbits = std::min(end_bit - bit, SEARCH_BITS);
        tWindow win = make_window(data, size, bit, bit + nbits - 1);
        tMPEGBitstream bs = position_in(win, bit);
        tMPEGStatus s = MP3SearchForSyncword(&instance, &bs, static_cast<int32_t>(nbits));
        const int64_t found = stream_bit(win, bs);
        std::free(win.words);
        if (s != eNoErr) {
            if (bit + nbits >= end_bit) break;
            bit = std::max(found, bit + 8);
            continue;
        }
        if (found < bit || found % 8 != 0 || found + 11 > bit + nbits) __builtin_trap();
        bit = found;

        // 2. The header: the words holding its 32 bits.
        win = make_window(data, size, bit, bit + 31);
        bs = position_in(win, bit);
        tMPEGHeader header{};
        s = MP3DecodeInfo(&instance, &bs, &header);
        const int64_t after_header = stream_bit(win, bs);
        std::free(win.words);
        if (s != eNoErr) {
            bit = s == eNoSyncword ? bit + 8 : after_header;
            continue;
        }
        if (after_header != bit + 32) __builtin_trap();
        if (header.samplesperchannel != 576 && header.samplesperchannel != 1152) __builtin_trap();
        if (MP3SampleRate(&header) <= 0) __builtin_trap();
        bit = after_header;

        // 3. The data: exactly the bytes the promise names.
        const int64_t promised =
            header.free_format != 0 ? MP3_FREE_FORMAT_READ_BYTES : header.bits_required / 8;
        if (promised <= 0) __builtin_trap();
        win = make_window(data, size, bit, bit + promised * 8 - 1);
        bs = position_in(win, bit);
        s = MP3DecodeData(&instance, pcm_left, pcm_right, &bs);
        const int64_t after_data = stream_bit(win, bs);
        std::free(win.words);
        if (s == eNoErr && header.free_format == 0 &&
            after_data != bit + header.bits_required / 8 * 8)
            __builtin_trap();
        if (after_data < bit || after_data > bit + promised * 8) __builtin_trap();
        bit = after_data;
    }
    return 0;
}
