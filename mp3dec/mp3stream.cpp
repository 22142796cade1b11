// The stream decoder: bytes in, frames of PCM out, over the four frame calls.
//
// Each decoder holds its input in a word buffer of its own, as each of the frame feed's
// input records does. The steps of a frame are those of the player's frame feed: a sync
// word is searched, believed only where the frame due there or a run of frames starts
// (mpegsync), the header is read, and the frame is decoded. A step runs only when a whole
// look-ahead window is held after the position, or the input has ended; so what a step
// sees does not depend on how the input was cut into pushes, and the PCM is the same for
// any pieces.
#include "mp3dec.h"
#include "mpegsync.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

namespace {

// Input held at most, and the words after it that a free-format frame at the very end may
// be read into; those, like every byte past the held ones, stay zero.
constexpr int32_t STREAM_BYTES = 12288;
constexpr int32_t STREAM_WORDS = STREAM_BYTES / 4;
constexpr int32_t STREAM_SPARE_WORDS = (MP3_FREE_FORMAT_READ_BYTES + 3) / 4 + 2;
// Bytes a step needs after the position unless the input has ended: enough to settle
// whether a sync word starts a run of frames, which holds any frame too.
constexpr int32_t STREAM_AHEAD = MPEG_RUN_WINDOW;
static_assert(STREAM_AHEAD + 4096 < STREAM_BYTES,
              "a push of 4 KiB always finds room once the frames held have been pulled");

// ID3v2 tag at the start: "ID3", version, flags, four syncsafe size bytes.
constexpr int32_t ID3V2_HEADER_BYTES = 10;

constexpr int32_t STEP_TAG = 0; // is there an ID3v2 tag to pass over?
constexpr int32_t STEP_SEARCH = 1;
constexpr int32_t STEP_CONFIRM = 2;
constexpr int32_t STEP_HEADER = 3;
constexpr int32_t STEP_DATA = 4;
constexpr int32_t STEP_DONE = 5;

constexpr int32_t HEADER_BITS = 32;

constexpr std::array<const char*, 5> STATUS_NAMES = {
    "eStreamFrame", "eStreamNeedInput", "eStreamEnd", "eStreamBadHeader", "eStreamFrameDropped",
};
constexpr std::array<const char*, 2> FATAL_NAMES = {"eStreamBadArgument", "eStreamPcmTooSmall"};

} // namespace

struct tMP3Stream {
    alignas(MP3_INSTANCE_ALIGN) tMPEGInstance inst;
    // Stream words, the earliest byte in bits 31..24; zero past the held bytes.
    std::array<uint32_t, STREAM_WORDS + STREAM_SPARE_WORDS> words;
    int32_t held;       // bytes held from words[0] on
    int32_t read_bit;   // the decoder's position, in bits from words[0]
    int64_t passed;     // stream bytes before words[0]
    int64_t skip;       // bytes of the tag still to pass over as they are pushed
    int32_t ended;      // MP3StreamEnd was called
    int32_t step;       // STEP_TAG .. STEP_DONE
    int32_t free_bytes; // free format: frame length without padding, 0 when unknown
    int32_t allocated;  // made by MP3StreamCreate
    tStreamSync sync;   // where the next frame is due
    tMPEGHeader header; // of the frame being decoded
    int64_t header_at;  // its stream byte
    tMPEGStatus status; // of the last frame call
    int64_t frames;     // frames given
    int64_t samples;    // samples per channel given
    std::array<int16_t, MP3_MAX_SAMPLES> left;
    std::array<int16_t, MP3_MAX_SAMPLES> right;
    std::array<uint8_t, MPEG_RUN_WINDOW> window; // bytes after the position, to look at
};
static_assert(STREAM_BYTES % 4 == 0);
// The records callers compile against: a change here changes the interface.
static_assert(sizeof(tMPEGHeader) == 24 && sizeof(tMPEGBitstream) == 2 * sizeof(void*));
static_assert(offsetof(tMP3StreamFrame, frame_index) == 16);
static_assert(offsetof(tMP3StreamFrame, decoder_status) == 40);
static_assert(offsetof(tMP3StreamFrame, header) == 48 && sizeof(tMP3StreamFrame) == 72);
static_assert(MP3_STREAM_PCM_VALUES == 2 * MP3_MAX_SAMPLES);

namespace {

// Bits held after the position (negative when a frame call read past the held bytes).
int64_t ahead_bits(const tMP3Stream& s) {
    return int64_t{8} * s.held - s.read_bit;
}

int64_t stream_byte(const tMP3Stream& s) {
    return s.passed + s.read_bit / 8;
}

tMPEGBitstream position(tMP3Stream& s) {
    return tMPEGBitstream{s.words.data() + s.read_bit / 32, s.read_bit % 32};
}

void set_position(tMP3Stream& s, const tMPEGBitstream& bs) {
    s.read_bit = static_cast<int32_t>((bs.bufptr - s.words.data()) * 32 + bs.bitidx);
}

// Up to the window's size of the bytes from the (byte-aligned) position on.
std::span<const uint8_t> peek(tMP3Stream& s, size_t most) {
    const int64_t at = s.read_bit / 8;
    const auto n =
        static_cast<size_t>(std::clamp<int64_t>(s.held - at, 0, static_cast<int64_t>(most)));
    for (size_t i = 0; i < n; i++) {
        const auto b = static_cast<size_t>(at) + i;
        s.window[i] = static_cast<uint8_t>(s.words[b / 4] >> (24 - 8 * (b % 4)));
    }
    return std::span<const uint8_t>(s.window).first(n);
}

// Moves the words from the one holding the position on to the front.
void compact(tMP3Stream& s) {
    const int32_t first = std::min(s.read_bit / 32, s.held / 4);
    if (first == 0) return;
    const int32_t used = (s.held + 3) / 4;
    std::memmove(s.words.data(), s.words.data() + first, sizeof(uint32_t) * (used - first));
    std::fill(s.words.begin() + (used - first), s.words.begin() + used, 0u);
    s.held -= 4 * first;
    s.read_bit -= 32 * first;
    s.passed += 4 * first;
}

void append(tMP3Stream& s, const uint8_t* bytes, int32_t n) {
    int32_t i = 0;
    for (; i < n && s.held % 4 != 0; i++, s.held++)
        s.words[s.held / 4] |= static_cast<uint32_t>(bytes[i]) << (24 - 8 * (s.held % 4));
    for (; i + 4 <= n; i += 4, s.held += 4)
        s.words[s.held / 4] = mp3_hdr_word(bytes + i);
    for (; i < n; i++, s.held++)
        s.words[s.held / 4] |= static_cast<uint32_t>(bytes[i]) << (24 - 8 * (s.held % 4));
}

// Passes over an ID3v2 tag at the start: what is held now, the rest as it is pushed.
void pass_tag(tMP3Stream& s) {
    s.step = STEP_SEARCH;
    const std::span<const uint8_t> h = peek(s, ID3V2_HEADER_BYTES);
    if (h.size() < ID3V2_HEADER_BYTES || std::memcmp(h.data(), "ID3", 3) != 0) return;
    int64_t length = ID3V2_HEADER_BYTES;
    for (size_t i = 6; i < 10; i++)
        length += int64_t{h[i] & 0x7F} << (7 * (9 - i));
    const int64_t held_after = s.held - s.read_bit / 8;
    if (length <= held_after) {
        s.read_bit += static_cast<int32_t>(8 * length);
        return;
    }
    // The rest of the tag is passed over as it is pushed: nothing held is needed.
    std::fill(s.words.begin(), s.words.begin() + (s.held + 3) / 4, 0u);
    s.passed += s.held;
    s.held = 0;
    s.read_bit = 0;
    s.skip = length - held_after;
}

void describe(const tMP3Stream& s, tMP3StreamFrame* frame) {
    if (frame == nullptr) return;
    *frame = tMP3StreamFrame{};
    const tMPEGHeader& h = s.header;
    frame->sample_rate = mp3_rate_code_hz(h.sample_rate);
    frame->channels = h.numchans;
    frame->samples = h.samplesperchannel;
    frame->bitrate = mp3_hdr_bitrate_kbps(h.packed_info);
    if (h.free_format && s.free_bytes > 0 && h.samplesperchannel > 0)
        frame->bitrate = static_cast<int32_t>(int64_t{8} * s.free_bytes * frame->sample_rate /
                                              (int64_t{1000} * h.samplesperchannel));
    frame->frame_index = s.frames;
    frame->sample_position = s.samples;
    frame->stream_byte = s.header_at;
    frame->decoder_status = s.status;
    frame->header = h;
}

// The decoded frame into the caller's array. (Trimming the encoder's delay and padding,
// once the stream's LAME tag is read, would shorten `samples` here.)
void put_pcm(tMP3Stream& s, int16_t* pcm, int32_t layout) {
    const auto n = static_cast<size_t>(s.header.samplesperchannel);
    if (s.header.numchans == 1) {
        std::copy_n(s.left.begin(), n, pcm);
    } else if (layout == MP3_PCM_PLANAR) {
        std::copy_n(s.left.begin(), n, pcm);
        std::copy_n(s.right.begin(), n, pcm + n);
    } else {
        for (size_t i = 0; i < n; i++) {
            pcm[2 * i] = s.left[i];
            pcm[2 * i + 1] = s.right[i];
        }
    }
}

void search(tMP3Stream& s) {
    tMPEGBitstream bs = position(s);
    const tMPEGStatus st = MP3SearchForSyncword(
        &s.inst, &bs, static_cast<int32_t>(std::max<int64_t>(0, ahead_bits(s))));
    set_position(s, bs);
    if (st == eNoErr)
        s.step = STEP_CONFIRM;
    else if (s.ended)
        s.step = STEP_DONE;
    // else: the rest of the held bytes is searched once more are pushed
}

void confirm(tMP3Stream& s) {
    const int64_t here = stream_byte(s);
    if (mpeg_sync_due(s.sync, here, peek(s, MP3_HEADER_BYTES))) {
        s.step = STEP_HEADER;
        return;
    }
    const std::span<const uint8_t> w = peek(s, MPEG_RUN_WINDOW);
    const bool ends = s.ended && static_cast<int64_t>(w.size()) * 8 >= ahead_bits(s);
    tFrameRun run{};
    const int32_t found = mpeg_confirm_run(w, ends, &run);
    if (found == MPEG_RUN_FOUND && run.first.layer == 3) {
        s.free_bytes = mpeg_learn_free_length(s.free_bytes, run.free_length, MPEG_FREE_BY_RUN);
        s.step = STEP_HEADER;
    } else { // no run; a whole window (or the end) always settles it, so never "more"
        s.read_bit += 8;
        s.step = STEP_SEARCH;
    }
}

// False when the decoder refused the header.
bool read_header(tMP3Stream& s) {
    if (s.ended && ahead_bits(s) < HEADER_BITS) {
        s.step = STEP_DONE;
        return true;
    }
    s.step = STEP_SEARCH;
    s.header_at = stream_byte(s);
    std::array<uint8_t, MP3_HEADER_BYTES> head{};
    const std::span<const uint8_t> h = peek(s, MP3_HEADER_BYTES);
    std::copy(h.begin(), h.end(), head.begin());
    tMPEGBitstream bs = position(s);
    s.status = MP3DecodeInfo(&s.inst, &bs, &s.header);
    set_position(s, bs);
    if (s.status != eNoErr) {
        s.sync.in_sync = 0;
        return false;
    }
    mpeg_sync_take(s.sync, s.header_at, head, s.free_bytes);
    s.step = STEP_DATA;
    return true;
}

} // namespace

size_t MP3StreamSize(void) {
    return sizeof(tMP3Stream) + MP3_INSTANCE_ALIGN - 1;
}

tMP3Stream* MP3StreamInit(void* memory, size_t bytes) {
    if (memory == nullptr || bytes < MP3StreamSize()) return nullptr;
    const auto at = reinterpret_cast<uintptr_t>(memory);
    const uintptr_t aligned = (at + MP3_INSTANCE_ALIGN - 1) & ~uintptr_t{MP3_INSTANCE_ALIGN - 1};
    auto* s = new (reinterpret_cast<void*>(aligned)) tMP3Stream{};
    MP3StreamReset(s);
    return s;
}

tMP3Stream* MP3StreamCreate(void) {
    void* memory = std::aligned_alloc(MP3_INSTANCE_ALIGN, sizeof(tMP3Stream));
    if (memory == nullptr) return nullptr;
    auto* s = new (memory) tMP3Stream{};
    MP3StreamReset(s);
    s->allocated = 1;
    return s;
}

void MP3StreamDestroy(tMP3Stream* s) {
    if (s != nullptr && s->allocated) std::free(s);
}

void MP3StreamReset(tMP3Stream* s) {
    if (s == nullptr) return;
    const int32_t allocated = s->allocated;
    std::memset(static_cast<void*>(s), 0, sizeof *s);
    s->allocated = allocated;
    s->header_at = -1;
    MP3InitInstance(&s->inst);
}

size_t MP3StreamPush(tMP3Stream* s, const uint8_t* bytes, size_t count) {
    if (s == nullptr || bytes == nullptr || s->ended) return 0;
    size_t taken = 0;
    if (s->skip > 0) {
        taken = static_cast<size_t>(
            std::min<int64_t>(s->skip, static_cast<int64_t>(std::min<size_t>(count, INT32_MAX))));
        s->skip -= static_cast<int64_t>(taken);
        s->passed += static_cast<int64_t>(taken);
    }
    if (s->held + static_cast<int64_t>(count - taken) > STREAM_BYTES) compact(*s);
    const auto n = static_cast<int32_t>(
        std::min<size_t>(count - taken, static_cast<size_t>(STREAM_BYTES - s->held)));
    append(*s, bytes + taken, n);
    return taken + static_cast<size_t>(n);
}

void MP3StreamEnd(tMP3Stream* s) {
    if (s != nullptr) s->ended = 1;
}

tMP3StreamStatus MP3StreamPull(tMP3Stream* s, int16_t* pcm, size_t pcm_values, int32_t layout,
                               tMP3StreamFrame* frame) {
    if (s == nullptr || pcm == nullptr ||
        (layout != MP3_PCM_INTERLEAVED && layout != MP3_PCM_PLANAR))
        return eStreamBadArgument;
    for (;;) {
        if (s->step == STEP_DONE) return eStreamEnd;
        if (!s->ended && (s->skip > 0 || ahead_bits(*s) < 8 * STREAM_AHEAD))
            return eStreamNeedInput;
        if (s->step == STEP_TAG) {
            pass_tag(*s);
        } else if (s->step == STEP_SEARCH) {
            search(*s);
        } else if (s->step == STEP_CONFIRM) {
            confirm(*s);
        } else if (s->step == STEP_HEADER) {
            if (!read_header(*s)) {
                describe(*s, frame);
                return eStreamBadHeader;
            }
        } else {
            // At the end of the input a frame is decoded only when it is held whole.
            if (s->ended && ahead_bits(*s) < mp3_frame_data_bits(s->header, s->free_bytes)) {
                s->step = STEP_DONE;
                continue;
            }
            const auto need = static_cast<size_t>(s->header.samplesperchannel) *
                              static_cast<size_t>(s->header.numchans);
            if (pcm_values < need) return eStreamPcmTooSmall;
            s->step = STEP_SEARCH;
            tMPEGBitstream bs = position(*s);
            s->status = MP3DecodeData(&s->inst, s->left.data(), s->right.data(), &bs);
            set_position(*s, bs);
            // A frame that read past the end of the input is not used; nothing follows it.
            if (ahead_bits(*s) < 0) {
                s->step = STEP_DONE;
                continue;
            }
            describe(*s, frame);
            if (s->status != eNoErr) return eStreamFrameDropped;
            put_pcm(*s, pcm, layout);
            s->frames += 1;
            s->samples += s->header.samplesperchannel;
            return eStreamFrame;
        }
    }
}

const char* MP3StreamStatusName(int32_t status) {
    if (status >= 0 && status < static_cast<int32_t>(STATUS_NAMES.size()))
        return STATUS_NAMES[static_cast<size_t>(status)];
    if (status < 0 && -status <= static_cast<int32_t>(FATAL_NAMES.size()))
        return FATAL_NAMES[static_cast<size_t>(-status - 1)];
    return nullptr;
}

int MP3StreamStatusIsFatal(int32_t status) {
    return status < 0 && MP3StreamStatusName(status) != nullptr ? 1 : 0;
}

const char* MP3StatusName(int32_t status) {
    return mp3_status_name(status);
}

int32_t MP3HeaderSampleRate(const tMPEGHeader* header) {
    return header == nullptr ? 0 : mp3_rate_code_hz(header->sample_rate);
}
