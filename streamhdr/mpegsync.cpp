#include "mpegsync.h"

#include "mp3dec.h"

#include <array>
#include <cstring>
#include <string_view>

namespace {

// Tags that may follow the last frame of a file: ID3v1, APE, an appended ID3v2, Lyrics3.
constexpr std::array<std::string_view, 4> tail_tags = {"TAG", "APETAGEX", "ID3", "LYRICSBEGIN"};

bool tag_at(std::span<const uint8_t> window, size_t pos) {
    for (std::string_view tag : tail_tags)
        if (pos + tag.size() <= window.size() &&
            std::memcmp(window.data() + pos, tag.data(), tag.size()) == 0)
            return true;
    return false;
}

// What stands at `pos`, where the frame before announced the next header.
enum tNext { NEXT_HEADER, NEXT_END, NEXT_NOTHING, NEXT_MORE };

tNext next_at(std::span<const uint8_t> window, bool stream_ends, size_t pos,
              const tFrameInfo& first, tFrameInfo* info) {
    if (pos + 4 <= window.size() && mpeg_frame_header(window.subspan(pos), info) &&
        mpeg_same_stream(first, *info))
        return NEXT_HEADER;
    if (pos == window.size() && stream_ends) return NEXT_END;
    if (tag_at(window, pos)) return NEXT_END;
    if (pos + 4 > window.size() && !stream_ends) return NEXT_MORE;
    return NEXT_NOTHING;
}

int32_t verdict(tNext next) {
    return next == NEXT_MORE ? MPEG_RUN_MORE : next == NEXT_END ? MPEG_RUN_FOUND : MPEG_RUN_NONE;
}

int32_t confirm_fixed(std::span<const uint8_t> window, bool stream_ends, const tFrameInfo& first) {
    size_t pos = 0;
    tFrameInfo info = first;
    for (int frames = 1; frames < MPEG_RUN_FRAMES; frames++) {
        pos += static_cast<size_t>(info.length);
        const tNext next = next_at(window, stream_ends, pos, first, &info);
        if (next != NEXT_HEADER) return verdict(next);
    }
    return MPEG_RUN_FOUND;
}

// Free format: each matching header within reach is tried as the second one; the run is
// found when the third lies at the same frame length after it.
int32_t confirm_free(std::span<const uint8_t> window, bool stream_ends, tFrameRun* run) {
    const tFrameInfo& first = run->first;
    constexpr size_t min_length = 8; // a header and the shortest side information
    for (size_t at = min_length + static_cast<size_t>(first.padding);
         at <= static_cast<size_t>(MPEG_MAX_FREE_BYTES); at++) {
        tFrameInfo second{};
        const tNext next = next_at(window, stream_ends, at, first, &second);
        if (next == NEXT_MORE) return MPEG_RUN_MORE;
        // Only a second header gives the length: the end of the data would give any.
        if (next != NEXT_HEADER) continue;
        const int32_t length = static_cast<int32_t>(at) - first.padding;
        tFrameInfo third{};
        const tNext after = next_at(
            window, stream_ends, at + static_cast<size_t>(length + second.padding), first, &third);
        if (after == NEXT_MORE) return MPEG_RUN_MORE;
        if (after != NEXT_NOTHING) {
            run->free_length = length;
            return MPEG_RUN_FOUND;
        }
    }
    return MPEG_RUN_NONE;
}

} // namespace

bool mpeg_frame_header(std::span<const uint8_t> bytes, tFrameInfo* info) {
    if (bytes.size() < 4) return false;
    const uint32_t h = mp3_hdr_word(bytes.data());
    // Every layer is taken: a run of Layer I or II frames is told apart from noise, too.
    if ((mp3_hdr_faults(h) & ~MP3_FAULT_NOT_LAYER_III) != 0) return false;
    info->word = h;
    info->version_bits = static_cast<int32_t>(mp3_hdr_version_bits(h));
    info->layer = static_cast<int32_t>(mp3_layer_of_bits(mp3_hdr_layer_bits(h)));
    info->bitrate_index = static_cast<int32_t>(mp3_hdr_bitrate_index(h));
    info->rate_index = static_cast<int32_t>(mp3_hdr_rate_index(h));
    info->rate = mp3_hdr_sample_rate_hz(h);
    info->padding = static_cast<int32_t>(mp3_hdr_padding(h));
    info->length = mp3_frame_bytes(h);
    return true;
}

bool mpeg_same_stream(const tFrameInfo& a, const tFrameInfo& b) {
    return a.version_bits == b.version_bits && a.layer == b.layer && a.rate_index == b.rate_index &&
           (a.bitrate_index == 0) == (b.bitrate_index == 0);
}

int32_t mpeg_confirm_run(std::span<const uint8_t> window, bool stream_ends, tFrameRun* run) {
    run->free_length = 0;
    if (window.size() < 4) return stream_ends ? MPEG_RUN_NONE : MPEG_RUN_MORE;
    if (!mpeg_frame_header(window, &run->first)) return MPEG_RUN_NONE;
    if (run->first.bitrate_index == 0) return confirm_free(window, stream_ends, run);
    return confirm_fixed(window, stream_ends, run->first);
}

bool mpeg_sync_due(const tStreamSync& sync, int64_t at, std::span<const uint8_t> head) {
    tFrameInfo info{};
    return sync.in_sync && at == sync.next_header_at && mpeg_frame_header(head, &info) &&
           mpeg_same_stream(info, sync.last);
}

void mpeg_sync_take(tStreamSync& sync, int64_t at, std::span<const uint8_t> head,
                    int32_t free_length) {
    sync.in_sync = 0;
    if (!mpeg_frame_header(head, &sync.last)) return;
    // A free-format frame is as long as the stream has shown.
    const int32_t length =
        sync.last.length > 0 ? sync.last.length : mp3_frame_bytes(sync.last.word, free_length);
    if (length == 0) return;
    sync.in_sync = 1;
    sync.next_header_at = at + length;
}

int32_t mpeg_learn_free_length(int32_t known, int64_t seen, int32_t by) {
    if (by == MPEG_FREE_BY_RUN) return known != 0 ? known : static_cast<int32_t>(seen);
    const bool shorter = seen > 0 && seen < INT32_MAX && (known == 0 || seen < known);
    return shorter ? static_cast<int32_t>(seen) : known;
}
