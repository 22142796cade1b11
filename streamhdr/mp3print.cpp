#include "mp3print.h"

#include "settings.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

namespace {

constexpr const char* status_text[] = {
    "eNoErr:                     (All systems normal).\n",
    "eNoSyncword:                (Synchronization word not found).\n",
    "eCRCError:                  (CRC Error detected).\n",
    "eBrokenFrame:               (MPEG frame header is inconsistant).\n",
    "eEndOfBitstram:             (End of file condition.  Not a problem).\n",
    "eDataOverflow:              (Some kind of data overflow).\n",
    "eCantAllocateBuffer:        (Some kind of allocation error).\n",
    "eUnsupportedLayer:          (Unsupported or illegal MPEG layer (00)).\n",
    "eFrameDiscarded:            (Frame discarded).\n",
    "eReservedSamplingFrequency: (Reserved sampling frequency (11)).\n",
    "eForbiddenBitRate:          (Illegal bitrate (1111)).\n",
    "eWrongMPEGBuild:            (Some weird error).\n",
};
constexpr const char* undefined_status = "??????????:                 (Undefined error value).\n";

constexpr const char* rate_text[] = {
    "11025 Hz", "12000 Hz",    "8000 Hz",  "ReservedMPEG2_5", "22050 Hz", "24000 Hz",
    "16000 Hz", "ReservedLSF", "44100 Hz", "48000 Hz",        "32000 Hz", "Reserved",
};

} // namespace

int MP3PrintStatus(int status) {
    if (debug > 0) {
        auto code = static_cast<unsigned>(status);
        std::fputs(code < std::size(status_text) ? status_text[code] : undefined_status, stdout);
    }
    return status;
}

void MP3PrintHeader(const tMPEGHeader* header) {
    if (debug > 0) {
        std::printf("MP3PrintHeader:\n");
        auto code = static_cast<unsigned>(header->sample_rate);
        std::printf("        sample_rate       = %s\n",
                    code < std::size(rate_text) ? rate_text[code] : "Invalid");
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
