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

namespace {

// The "fmt " body of `body_size` bytes at the file position, into `info`. Returns
// WAV_PCM when it is PCM, WAV_NOT_PCM for MPEG audio, WAV_UNPLAYABLE for other formats,
// WAV_ERROR when it cannot be read.
int read_fmt(int fd, uint32_t body_size, tWAVInfo* info) {
    if (debug > 0) std::printf("fmt_ section %lld bytes\n", static_cast<long long>(body_size));
    // The body is read whole: what the buffer holds is kept, the rest passed over.
    unsigned char body[FMT_BODY_MAX] = {};
    const size_t kept = body_size < FMT_BODY_MAX ? body_size : FMT_BODY_MAX;
    if (kept > 0 && !read_exact(fd, body, kept)) return WAV_ERROR;
    const int64_t rest =
        static_cast<int64_t>(body_size) - static_cast<int64_t>(kept) + (body_size & 1);
    if (rest > 0 && lseek(fd, static_cast<off_t>(rest), SEEK_CUR) < 0) return WAV_ERROR;
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
    return WAV_PCM;
}

uint64_t le64(const unsigned char* p) {
    return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

constexpr uint32_t SIZE_UNSET = 0xFFFFFFFFu; // a size the writer never filled in (or RF64's)

} // namespace

int wav_read_header(int fd, tWAVInfo* info) {
    if (info == nullptr) return WAV_ERROR;
    info->data_size = WAV_DATA_SIZE_UNKNOWN;
    info->data_offset = 0;
    info->problem = nullptr;
    unsigned char hdr[8];
    if (!read_exact(fd, hdr, 8)) return WAV_ERROR;
    const bool rf64 = std::memcmp(hdr, "RF64", 4) == 0;
    if (std::memcmp(hdr, "RIFF", 4) != 0 && !rf64) {
        if (debug > 0) std::printf("no RIFF header\n");
        return WAV_NOT_PCM;
    }
    if (debug > 0) {
        std::printf("id   = %.4s\n", reinterpret_cast<const char*>(hdr));
        std::printf("size = %lld\n", static_cast<long long>(le32(hdr + 4)));
    }
    if (!read_exact(fd, hdr, 4)) return WAV_ERROR;
    if (std::memcmp(hdr, "WAVE", 4) != 0) {
        if (debug > 0) std::printf("not a WAVE file\n");
        return WAV_NOT_PCM;
    }
    if (debug > 0) std::printf("got WAVE file type\n");
    int64_t pos = 12;
    int64_t ds64_data = -1; // RF64: the data size from the ds64 chunk
    int fmt = -2;           // read_fmt's result; -2 before the chunk is met
    for (;;) {
        const ssize_t got = read(fd, hdr, 8);
        if (got != 8) {
            info->problem = fmt == -2 ? "no fmt chunk" : "no data chunk";
            return fmt == -2 || fmt == WAV_PCM ? WAV_UNPLAYABLE : fmt;
        }
        pos += 8;
        const uint32_t size = le32(hdr + 4);
        if (std::memcmp(hdr, "fmt ", 4) == 0) {
            fmt = read_fmt(fd, size, info);
            if (fmt != WAV_PCM) return fmt;
            pos += static_cast<int64_t>(size) + (size & 1);
            continue;
        }
        if (std::memcmp(hdr, "data", 4) == 0) {
            if (fmt == -2) {
                info->problem = "no fmt chunk before the data";
                return WAV_UNPLAYABLE;
            }
            if (pos > INT32_MAX) return WAV_ERROR;
            info->data_offset = static_cast<int32_t>(pos);
            if (rf64 && size == SIZE_UNSET && ds64_data >= 0)
                info->data_size = ds64_data;
            else if (size != 0 && size != SIZE_UNSET)
                info->data_size = size;
            break;
        }
        if (rf64 && std::memcmp(hdr, "ds64", 4) == 0 && size >= 16) {
            unsigned char sizes[16];
            if (!read_exact(fd, sizes, 16)) return WAV_ERROR;
            const uint64_t data = le64(sizes + 8);
            ds64_data =
                data > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(data);
            if (lseek(fd, static_cast<off_t>(size - 16 + (size & 1)), SEEK_CUR) < 0)
                return WAV_ERROR;
            pos += static_cast<int64_t>(size) + (size & 1);
            continue;
        }
        if (debug > 0) std::printf("didn't find data section here!");
        const int64_t skip = static_cast<int64_t>(size) + (size & 1);
        lseek(fd, static_cast<off_t>(skip), SEEK_CUR);
        pos += skip;
    }
    if (debug > 0)
        std::printf("data section %lld bytes\n", static_cast<long long>(info->data_size));
    return WAV_PCM;
}

const char* wav_unplayable_reason(const tWAVInfo* info) {
    static char text[80];
    if (info->problem != nullptr) return info->problem;
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
