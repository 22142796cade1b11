#include "xing.h"

#include "mp3dec.h"
#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Offset of the tag from the frame start: after the header and the side information.
constexpr int tag_offset(int mpeg1, uint32_t mode) {
    return MP3_HEADER_BYTES + mp3_side_info_bytes(mpeg1 ? MP3_VERSION_MPEG1 : MP3_VERSION_MPEG2,
                                                  mode == MP3_MODE_SINGLE_CHANNEL ? 1 : 2);
}
static_assert(tag_offset(1, 0) == 36 && tag_offset(1, 3) == 21 && tag_offset(0, 0) == 21 &&
              tag_offset(0, 3) == 13);

// `samplerate` of the reserved rate index, before the halving.
constexpr int32_t RESERVED_RATE_HZ = 99999;

// A frame of 1152 samples at 44100 Hz lasts 1 / 38.28125 s.
constexpr double FRAMES_PER_SECOND_44100 = 44100.0 / 1152.0;
static_assert(FRAMES_PER_SECOND_44100 == 38.28125);

int32_t be32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 |
                                static_cast<uint32_t>(p[1]) << 16 |
                                static_cast<uint32_t>(p[2]) << 8 | p[3]);
}

// Track length in seconds, unrounded, from the frame count and the stream's own frame
// duration; 0 when either is unknown.
double track_length(const tXingHeader* h) {
    if (!(h->flags & XING_FRAMES) || h->frames <= 0 || h->frame_hz <= 0) return 0;
    return static_cast<double>(h->frames) * h->frame_samples / h->frame_hz;
}

// A bitrate as an int; absurd counts give the largest, not an overflow.
int clamp_rate(double bits_per_second) {
    return bits_per_second >= INT32_MAX ? INT32_MAX : static_cast<int>(bits_per_second);
}

} // namespace

int xing_parse(const uint8_t* buffer, int length, tXingHeader* header) {
    header->flags = 0;
    if (length < 4) return 0;
    const uint32_t h = mp3_hdr_word(buffer);
    const uint32_t version_bits = mp3_hdr_version_bits(h); // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int mpeg1 = static_cast<int>(version_bits & 1);
    const uint32_t rate_index = mp3_hdr_rate_index(h);
    int pos = tag_offset(mpeg1, mp3_hdr_mode(h));
    if (pos + 8 > length || std::memcmp(buffer + pos, "Xing", 4) != 0) return 0;

    header->mpeg1 = mpeg1;
    // The version bit alone halves the MPEG-1 rate here.
    const int32_t mpeg1_hz = rate_index == MP3_RESERVED_RATE_INDEX
                                 ? RESERVED_RATE_HZ
                                 : mp3_sample_rate_hz(MP3_VERSION_MPEG1, rate_index);
    header->samplerate = mpeg1 ? mpeg1_hz : mpeg1_hz >> 1;
    header->frame_samples = mp3_samples_per_frame(mpeg1 ? MP3_VERSION_MPEG1 : MP3_VERSION_MPEG2);
    // The true rate; 0 for the reserved index and the reserved version bits 01.
    header->frame_hz =
        (mp3_hdr_faults(h) & MP3_FAULT_RESERVED_VERSION) ? 0 : mp3_hdr_sample_rate_hz(h);
    header->frames = 0;
    header->bytes = 0;
    pos += 4;
    header->flags = be32(buffer + pos);
    pos += 4;
    // Each field only when its flag is set, and only when it lies inside the buffer.
    if ((header->flags & XING_FRAMES) && pos + 4 <= length) {
        header->frames = be32(buffer + pos);
        pos += 4;
    }
    if ((header->flags & XING_BYTES) && pos + 4 <= length) {
        header->bytes = be32(buffer + pos);
        pos += 4;
    }
    if ((header->flags & XING_TOC) && pos + 100 <= length) {
        std::memcpy(header->toc, buffer + pos, sizeof header->toc);
        pos += 100;
    }
    header->vbr_scale = -1;
    if ((header->flags & XING_SCALE) && pos + 4 <= length) header->vbr_scale = be32(buffer + pos);
    return 1;
}

int read_xing_header(int fd, tXingHeader* header) {
    uint8_t buffer[XING_PROBE_BYTES];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n != XING_PROBE_BYTES) {
        // A short file is no read error; its message should not carry a stale one.
        if (n >= 0) errno = ENODATA;
        std::perror("read_xing_header()");
        header->flags = 0;
        return 0;
    }
    if (!xing_parse(buffer, XING_PROBE_BYTES, header)) return 0;
    if (header->flags & (XING_FRAMES | XING_BYTES)) return 1;
    if (debug > 0) std::printf("stupid useless Xing header\n");
    return 0;
}

int xing_track_seconds(const tXingHeader* header) {
    return static_cast<int>(track_length(header));
}

int xing_average_bitrate(const tXingHeader* header) {
    if (!(header->flags & XING_BYTES) || header->bytes <= 0) return 0;
    const double length = track_length(header);
    if (length <= 0) return 0;
    const int64_t bits = static_cast<int64_t>(header->bytes) * 8;
    const int seconds = xing_track_seconds(header);
    // A track shorter than a second is timed by its fraction of a second, exactly:
    // bits / (frames * samples / Hz).
    if (seconds == 0)
        return clamp_rate(
            static_cast<double>(bits * header->frame_hz /
                                (static_cast<int64_t>(header->frames) * header->frame_samples)));
    return clamp_rate(static_cast<float>(bits) / static_cast<float>(seconds));
}

int xing_samplerate(const tXingHeader* header) {
    return header->frame_hz;
}
