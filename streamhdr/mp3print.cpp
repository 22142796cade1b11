#include "mp3print.h"

#include "settings.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// What each status means, by its code.
constexpr std::array<const char*, MP3_STATUS_COUNT> status_meaning = {
    "All systems normal",
    "Synchronization word not found",
    "CRC Error detected",
    "MPEG frame header is inconsistant",
    "End of file condition.  Not a problem",
    "Some kind of data overflow",
    "Some kind of allocation error",
    "Unsupported or illegal MPEG layer (00)",
    "Frame discarded",
    "Reserved sampling frequency (11)",
    "Illegal bitrate (1111)",
    "Some weird error",
};
constexpr const char* undefined_name = "??????????";
constexpr const char* undefined_meaning = "Undefined error value";
constexpr int STATUS_COLUMN = 28; // where the meaning starts

// Rate codes 3, 7 and 11 (reserved) by the version part of the code.
constexpr std::array<const char*, 3> reserved_rate_text = {"ReservedMPEG2_5", "ReservedLSF",
                                                           "Reserved"};

} // namespace

int MP3PrintStatus(int status) {
    if (debug > 0) {
        const char* name = mp3_status_name(status);
        const char* meaning =
            name != nullptr ? status_meaning[static_cast<size_t>(status)] : undefined_meaning;
        if (name == nullptr) name = undefined_name;
        const int pad = STATUS_COLUMN - 1 - static_cast<int>(std::strlen(name));
        std::printf("%s:%*s(%s).\n", name, pad, "", meaning);
    }
    return status;
}

void MP3PrintHeader(const tMPEGHeader* header) {
    if (debug > 0) {
        std::printf("MP3PrintHeader:\n");
        const int code = header->sample_rate;
        const int hz = mp3_rate_code_hz(code);
        std::printf("        sample_rate       = ");
        if (hz != 0)
            std::printf("%d Hz\n", hz);
        else
            std::printf("%s\n", code >= 0 && code < MP3_RATE_CODES
                                    ? reserved_rate_text[static_cast<size_t>(code / 4)]
                                    : "Invalid");
        std::printf("        samplesperchannel = %d\n", header->samplesperchannel);
        std::printf("        numchans          = %d\n", header->numchans);
        std::printf("        packed_info       = ");
    }
    // The bit characters go out whatever the level.
    for (int bit = 20; bit >= 0; bit--)
        std::putc((header->packed_info >> bit) & 1 ? '1' : '0', stdout);
    if (debug > 0) {
        std::printf("\n");
        std::printf("        bits_required     = %d\n", header->bits_required);
        std::printf("        free_format       = %d\n", header->free_format);
    }
}

void MP3PrintBitstream(const tMPEGBitstream* bs) {
    if (debug > 0) {
        std::printf("MP3PrintBitstream:  bitstream->bufptr = 0x%08X\n",
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(bs->bufptr)));
        std::printf("MP3PrintBitstream:  bitstream->bitidx = %02d\n", bs->bitidx);
    }
}
