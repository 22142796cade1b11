#include "layout.h"

#include <cstring>
#include <unistd.h>

namespace {

constexpr int ID3V2_HEADER = 10;
constexpr int ID3V1_BYTES = 128;
constexpr int APE_FOOTER = 32;
constexpr uint32_t APE_HAS_HEADER = 0x80000000u;
constexpr int LYRICS3_END = 15; // six size digits, then "LYRICS200"
constexpr int32_t MAX_END_TAGS = 16;

bool read_at(int fd, int64_t at, uint8_t* dest, int n) {
    int done = 0;
    while (done < n) {
        const ssize_t r =
            pread(fd, dest + done, static_cast<size_t>(n - done), static_cast<off_t>(at + done));
        if (r <= 0) return false;
        done += static_cast<int>(r);
    }
    return true;
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The size of an ID3v2 header or footer (10 bytes at p, starting with `id`), or -1 when
// the bytes are none: a version from 2 to 4 and four syncsafe size bytes.
int64_t id3v2_size(const uint8_t* p, const char* id) {
    if (std::memcmp(p, id, 3) != 0 || p[3] < 2 || p[3] > 4 || p[4] == 0xFF) return -1;
    for (int k = 6; k < 10; k++)
        if (p[k] & 0x80) return -1;
    return static_cast<int64_t>(p[6]) << 21 | p[7] << 14 | p[8] << 7 | p[9];
}

// Whole length of the ID3v2 tag whose header is at p: header, body and a v2.4 footer.
int64_t id3v2_total(const uint8_t* p, int64_t size) {
    const bool footer = p[3] == 4 && (p[5] & 0x10);
    return ID3V2_HEADER + size + (footer ? ID3V2_HEADER : 0);
}

// Length of the tag that ends at `end`, or 0 when none does.
int64_t tag_before(int fd, int64_t end) {
    uint8_t b[APE_FOOTER];
    if (end >= ID3V2_HEADER && read_at(fd, end - ID3V2_HEADER, b, ID3V2_HEADER)) {
        const int64_t size = id3v2_size(b, "3DI");
        if (size >= 0) return size + 2 * ID3V2_HEADER;
    }
    if (end >= APE_FOOTER && read_at(fd, end - APE_FOOTER, b, APE_FOOTER) &&
        std::memcmp(b, "APETAGEX", 8) == 0) {
        const int64_t size = le32(b + 12); // items and footer
        return size + ((le32(b + 20) & APE_HAS_HEADER) ? APE_FOOTER : 0);
    }
    if (end >= LYRICS3_END && read_at(fd, end - LYRICS3_END, b, LYRICS3_END) &&
        std::memcmp(b + 6, "LYRICS200", 9) == 0) {
        int64_t size = 0;
        for (int k = 0; k < 6; k++) {
            if (b[k] < '0' || b[k] > '9') return 0;
            size = size * 10 + (b[k] - '0');
        }
        return size + LYRICS3_END;
    }
    if (end >= ID3V1_BYTES && read_at(fd, end - ID3V1_BYTES, b, 3) && std::memcmp(b, "TAG", 3) == 0)
        return ID3V1_BYTES;
    return 0;
}

} // namespace

void find_tag_span(int fd, int64_t file_length, tTagSpan* span) {
    *span = tTagSpan{0, 0, 0, file_length};
    uint8_t h[ID3V2_HEADER];
    int64_t at = 0;
    while ((file_length < 0 || at + ID3V2_HEADER <= file_length) &&
           read_at(fd, at, h, ID3V2_HEADER)) {
        const int64_t size = id3v2_size(h, "ID3");
        if (size < 0) break;
        const int64_t next = at + id3v2_total(h, size);
        if (file_length >= 0 && next > file_length) break;
        at = next;
        span->start_tags += 1;
    }
    span->start_tags_end = at;
    if (file_length < 0) return;
    int64_t end = file_length;
    for (int32_t k = 0; k < MAX_END_TAGS; k++) {
        const int64_t length = tag_before(fd, end);
        if (length <= 0 || end - length < at) break;
        end -= length;
        span->end_tags += 1;
    }
    span->end_tags_start = end;
}
