#include "wavhdr.h"

#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int FMT_BODY_MAX = 32;  // the fields the player uses lie in the first 16 bytes
constexpr int FMT_BODY_MIN = 16;  // format, channels, rate, bytes/s, block align, bits
constexpr int FMT_SUBFORMAT = 24; // extensible form: the sub-format GUID starts here

bool read_exact(int fd, void* buf, size_t n) {
    const ssize_t got = read(fd, buf, n);
    if (got != static_cast<ssize_t>(n)) {
        // A short read is the end of the file, not whatever error happened last.
        if (got >= 0) errno = ENODATA;
        std::perror("read");
        return false;
    }
    return true;
}

uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int16_t le16(const unsigned char* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
}

} // namespace

int wav_read_header(int fd, tWAVInfo* info) {
    if (info == nullptr) return WAV_ERROR;
    info->data_size = WAV_DATA_SIZE_UNKNOWN;
    info->data_offset = 0;
    int64_t pos = 0;
    unsigned char hdr[8];

    if (!read_exact(fd, hdr, 8)) return WAV_ERROR;
    pos = 8;
    if (std::memcmp(hdr, "RIFF", 4) != 0) {
        if (debug > 0) std::printf("no RIFF header\n");
        return WAV_NOT_PCM;
    }
    if (debug > 0) {
        std::printf("id   = %.4s\n", reinterpret_cast<const char*>(hdr));
        std::printf("size = %lld\n", static_cast<long long>(le32(hdr + 4)));
    }
    if (!read_exact(fd, hdr, 4)) return WAV_ERROR;
    pos = 12;
    if (std::memcmp(hdr, "WAVE", 4) != 0) {
        if (debug > 0) std::printf("not a WAVE file\n");
        return WAV_NOT_PCM;
    }
    if (debug > 0) std::printf("got WAVE file type\n");
    if (!read_exact(fd, hdr, 4)) return WAV_ERROR;
    pos = 16;
    if (std::memcmp(hdr, "fmt ", 4) != 0) {
        if (debug > 0) std::printf("didn't find fmt_ section!");
        return WAV_NOT_PCM;
    }
    if (!read_exact(fd, hdr, 4)) return WAV_ERROR;
    pos = 20;
    const uint32_t body_size = le32(hdr);
    if (debug > 0) std::printf("fmt_ section %lld bytes\n", static_cast<long long>(body_size));

    // The body is read whole: what the buffer holds is kept, the rest passed over.
    unsigned char body[FMT_BODY_MAX] = {};
    const size_t kept = body_size < FMT_BODY_MAX ? body_size : FMT_BODY_MAX;
    if (kept > 0 && !read_exact(fd, body, kept)) return WAV_ERROR;
    const int64_t rest =
        static_cast<int64_t>(body_size) - static_cast<int64_t>(kept) + (body_size & 1);
    if (rest > 0) {
        unsigned char skip[FMT_BODY_MAX];
        for (int64_t left = rest; left > 0;) {
            size_t n = left < FMT_BODY_MAX ? static_cast<size_t>(left) : FMT_BODY_MAX;
            if (!read_exact(fd, skip, n)) return WAV_ERROR;
            left -= static_cast<int64_t>(n);
        }
    }
    pos += static_cast<int64_t>(body_size) + (body_size & 1);

    int16_t tag = le16(body);
    if (tag == WAVE_FORMAT_EXTENSIBLE && body_size >= FMT_SUBFORMAT + 2)
        tag = le16(body + FMT_SUBFORMAT);
    if (debug > 0) std::printf("format tag 0x%02X\n", static_cast<unsigned>(static_cast<int>(tag)));
    info->format_tag = tag;
    if (debug > 0) std::printf("channels %d\n", le16(body + 2));
    info->channels = le16(body + 2);
    if (debug > 0) std::printf("samplerate %d\n", static_cast<int>(le32(body + 4)));
    info->samplerate = static_cast<int32_t>(le32(body + 4));
    info->block_align = le16(body + 12);
    if (debug > 0) std::printf("bitspersample %d\n", le16(body + 14));
    info->bitspersample = le16(body + 14);

    // MPEG audio in a WAVE wrapper is left to the MPEG path, which finds its frames.
    if (tag == WAVE_FORMAT_MPEGLAYER3) return WAV_NOT_PCM;
    if (body_size < FMT_BODY_MIN || tag != WAVE_FORMAT_PCM) {
        if (body_size < FMT_BODY_MIN) info->format_tag = 0;
        return WAV_UNPLAYABLE;
    }

    for (;;) {
        if (!read_exact(fd, hdr, 8)) return WAV_ERROR;
        pos += 8;
        const uint32_t size = le32(hdr + 4);
        if (std::memcmp(hdr, "data", 4) == 0) {
            if (pos > INT32_MAX) return WAV_ERROR;
            info->data_offset = static_cast<int32_t>(pos);
            info->data_size =
                size > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(size);
            break;
        }
        if (debug > 0) std::printf("didn't find data section here!");
        const int64_t skip = static_cast<int64_t>(size) + (size & 1);
        lseek(fd, static_cast<off_t>(skip), SEEK_CUR);
        pos += skip;
    }
    if (debug > 0) std::printf("data section %ld bytes\n", static_cast<long>(info->data_size));
    return WAV_PCM;
}

const char* wav_unplayable_reason(const tWAVInfo* info) {
    static char text[80];
    if (info->format_tag != WAVE_FORMAT_PCM) {
        std::snprintf(text, sizeof text, "sample format 0x%04X is not PCM",
                      static_cast<unsigned>(static_cast<uint16_t>(info->format_tag)));
        return text;
    }
    if (info->bitspersample != 16) {
        std::snprintf(text, sizeof text, "%d-bit samples, only 16-bit PCM plays",
                      info->bitspersample);
        return text;
    }
    if (info->channels != 1 && info->channels != 2) {
        std::snprintf(text, sizeof text, "%d channels, only mono and stereo play", info->channels);
        return text;
    }
    if (info->samplerate <= 0) {
        std::snprintf(text, sizeof text, "sampling rate %d Hz", static_cast<int>(info->samplerate));
        return text;
    }
    return nullptr;
}
