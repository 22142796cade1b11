#include "frametag.h"

#include "mp3dec.h"

#include <cstring>

namespace {

constexpr int VBRI_AT = MP3_HEADER_BYTES + 32; // the tag follows 32 bytes of side information
constexpr int VBRI_FIELDS = 26;                // "VBRI" to the first table entry
constexpr int LAME_EXT_BYTES = 36;
constexpr int LAME_CRC_AT = 34; // within the extension: the CRC of the frame before it
constexpr int32_t TOC_POINTS = 100;

uint32_t be(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int k = 0; k < bytes; k++)
        v = v << 8 | p[k];
    return v;
}

// Xing/Info tag offset from the frame start: after the header and the side information.
int xing_offset(uint32_t h) {
    const uint32_t version = mp3_version_of_bits(mp3_hdr_version_bits(h));
    return MP3_HEADER_BYTES +
           mp3_side_info_bytes(version, mp3_hdr_mode(h) == MP3_MODE_SINGLE_CHANNEL ? 1 : 2);
}

void parse_lame(std::span<const uint8_t> frame, int at, tFrameTag* tag) {
    if (at + LAME_EXT_BYTES > static_cast<int>(frame.size())) return;
    const uint8_t* e = frame.data() + at;
    for (int k = 0; k < 4; k++) // an encoder's name: LAME, Lavc, Lavf, ...
        if (!((e[k] >= 'A' && e[k] <= 'Z') || (e[k] >= 'a' && e[k] <= 'z'))) return;
    const uint16_t crc = lame_crc16(frame.first(static_cast<size_t>(at + LAME_CRC_AT)));
    if (crc != be(e + LAME_CRC_AT, 2)) {
        tag->lame_crc_bad = 1;
        return;
    }
    const uint32_t dp = be(e + 21, 3);
    tag->lame = 1;
    tag->delay = static_cast<int32_t>(dp >> 12);
    tag->padding = static_cast<int32_t>(dp & 0xFFF);
}

bool parse_xing(std::span<const uint8_t> frame, uint32_t h, tFrameTag* tag) {
    const int length = static_cast<int>(frame.size());
    int pos = xing_offset(h);
    if (pos + 8 > length) return false;
    const uint8_t* b = frame.data();
    if (std::memcmp(b + pos, "Xing", 4) == 0)
        tag->kind = FRAME_TAG_XING;
    else if (std::memcmp(b + pos, "Info", 4) == 0)
        tag->kind = FRAME_TAG_INFO;
    else
        return false;
    const uint32_t flags = be(b + pos + 4, 4);
    pos += 8;
    if (flags & 1) {
        if (pos + 4 > length) return true;
        tag->frames = static_cast<int32_t>(be(b + pos, 4) & 0x7FFFFFFF);
        pos += 4;
    }
    if (flags & 2) {
        if (pos + 4 > length) return true;
        tag->bytes = be(b + pos, 4);
        pos += 4;
    }
    if (flags & 4) {
        if (pos + TOC_POINTS > length) return true;
        std::memcpy(tag->toc.data(), b + pos, TOC_POINTS);
        tag->has_toc = 1;
        pos += TOC_POINTS;
    }
    if (flags & 8) pos += 4;
    parse_lame(frame, pos, tag);
    return true;
}

bool parse_vbri(std::span<const uint8_t> frame, tFrameTag* tag) {
    const int length = static_cast<int>(frame.size());
    const uint8_t* b = frame.data() + VBRI_AT;
    if (VBRI_AT + VBRI_FIELDS > length || std::memcmp(b, "VBRI", 4) != 0) return false;
    tag->kind = FRAME_TAG_VBRI;
    tag->bytes = be(b + 10, 4);
    tag->frames = static_cast<int32_t>(be(b + 14, 4) & 0x7FFFFFFF);
    const auto entries = static_cast<int32_t>(be(b + 18, 2));
    const uint32_t scale = be(b + 20, 2);
    const auto entry_bytes = static_cast<int>(be(b + 22, 2));
    const auto per_entry = static_cast<int32_t>(be(b + 24, 2));
    if (entries <= 0 || entries > VBRI_MAX_ENTRIES || entry_bytes < 1 || entry_bytes > 4 ||
        per_entry <= 0 || VBRI_AT + VBRI_FIELDS + entries * entry_bytes > length)
        return true;
    for (int32_t k = 0; k < entries; k++)
        tag->vbri_toc[static_cast<size_t>(k)] =
            be(b + VBRI_FIELDS + k * entry_bytes, entry_bytes) * scale;
    tag->vbri_entries = entries;
    tag->vbri_frames_per_entry = per_entry;
    tag->has_toc = 1;
    return true;
}

} // namespace

uint16_t lame_crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int k = 0; k < 8; k++)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

bool frame_tag_parse(std::span<const uint8_t> frame, tFrameTag* tag) {
    *tag = tFrameTag{};
    if (frame.size() < MP3_HEADER_BYTES) return false;
    const uint32_t h = mp3_hdr_word(frame.data());
    // Only a Layer III frame has the side information the tags' places are counted after.
    if (mp3_hdr_faults(h) != 0) return false;
    const uint32_t version = mp3_version_of_bits(mp3_hdr_version_bits(h));
    tag->frame_samples = mp3_samples_per_frame(version);
    tag->rate = mp3_hdr_sample_rate_hz(h);
    if (!parse_xing(frame, h, tag) && !parse_vbri(frame, tag)) {
        *tag = tFrameTag{};
        return false;
    }
    tag->frame_bytes = mp3_frame_bytes(h);
    return true;
}

int64_t frame_tag_samples(const tFrameTag& tag) {
    if (tag.frames <= 0) return 0;
    const int64_t n =
        static_cast<int64_t>(tag.frames) * tag.frame_samples - tag.delay - tag.padding;
    return n > 0 ? n : 0;
}

bool frame_tag_seek(const tFrameTag& tag, int64_t stream_bytes, int64_t target,
                    int64_t* byte_offset, int64_t* landing_samples) {
    if (!tag.has_toc || tag.frames <= 0 || tag.rate <= 0 || stream_bytes <= 0) return false;
    const int64_t total = static_cast<int64_t>(tag.frames) * tag.frame_samples;
    if (target > total) target = total;
    if (target < 0) target = 0;
    if (tag.kind == FRAME_TAG_VBRI) {
        const int64_t frame = target / tag.frame_samples;
        int64_t index = frame / tag.vbri_frames_per_entry;
        if (index >= tag.vbri_entries) index = tag.vbri_entries - 1;
        int64_t byte = 0;
        for (int64_t k = 0; k < index; k++)
            byte += tag.vbri_toc[static_cast<size_t>(k)];
        const int64_t into = frame - index * tag.vbri_frames_per_entry;
        byte += tag.vbri_toc[static_cast<size_t>(index)] * into / tag.vbri_frames_per_entry;
        *byte_offset = byte < stream_bytes ? byte : stream_bytes;
        *landing_samples = frame * tag.frame_samples;
        return true;
    }
    // The percent of the time in 1/65536, the table's byte point in 1/(256 * 65536).
    const int64_t percent = target * TOC_POINTS * 65536 / total;
    int64_t a = percent >> 16;
    if (a > TOC_POINTS - 1) a = TOC_POINTS - 1;
    const int64_t fa = tag.toc[static_cast<size_t>(a)];
    const int64_t fb = a < TOC_POINTS - 1 ? tag.toc[static_cast<size_t>(a + 1)] : 256;
    const int64_t point = fa * 65536 + (fb - fa) * (percent - (a << 16));
    *byte_offset = point * stream_bytes / (256 * 65536);
    *landing_samples = target;
    return true;
}

tGaplessWindow gapless_window(const tFrameTag& tag, bool frames_agree) {
    tGaplessWindow w{0, -1};
    if (!tag.lame) return w;
    w.first = tag.delay + GAPLESS_DECODER_DELAY;
    if (frames_agree && tag.frames > 0)
        w.end = static_cast<int64_t>(tag.frames) * tag.frame_samples - tag.padding +
                GAPLESS_DECODER_DELAY;
    return w;
}

void gapless_clip(const tGaplessWindow& w, int64_t at, int32_t count, int32_t* from,
                  int32_t* kept) {
    int64_t lo = at > w.first ? at : w.first;
    int64_t hi = at + count;
    if (w.end >= 0 && hi > w.end) hi = w.end;
    if (hi <= lo) {
        *from = 0;
        *kept = 0;
        return;
    }
    *from = static_cast<int32_t>(lo - at);
    *kept = static_cast<int32_t>(hi - lo);
}
