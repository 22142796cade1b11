// RIFF WAVE header: where the PCM samples are and what they are.
#pragma once

#include <cstdint>

struct tWAVInfo {
    int16_t format_tag; // 1 = PCM (the sub-format, for the extensible form)
    int16_t channels;
    int32_t samplerate;  // Hz
    int16_t block_align; // bytes per sample frame, all channels
    int16_t bitspersample;
    int32_t data_offset; // file offset of the first sample byte; 0 until found
    int64_t data_size;   // bytes of sample data; WAV_DATA_SIZE_UNKNOWN until found, and
                         // when the file does not say (0 or 0xFFFFFFFF: to its end)
    const char* problem; // a WAVE file whose chunks cannot be played: why; else null
};

constexpr int16_t WAVE_FORMAT_PCM = 0x0001;
constexpr int16_t WAVE_FORMAT_MPEGLAYER3 = 0x0055;
constexpr int16_t WAVE_FORMAT_EXTENSIBLE = static_cast<int16_t>(0xFFFE);
constexpr int64_t WAV_DATA_SIZE_UNKNOWN = INT64_MAX;

constexpr int WAV_PCM = 0;        // a PCM WAVE file whose data chunk was found
constexpr int WAV_NOT_PCM = 1;    // not a WAVE file, or MPEG audio wrapped in one
constexpr int WAV_ERROR = -1;     // null info, or a read failed or came up short
constexpr int WAV_UNPLAYABLE = 2; // a WAVE file whose sample format cannot be played

// Parses the header of `fd` (positioned at 0): RIFF or RF64 (sizes from its ds64 chunk),
// any chunks in any order before "fmt " and "data". On WAV_PCM the file position is just
// past the data chunk's header. WAV_UNPLAYABLE leaves the format fields filled (or
// `problem` set) so the caller can say why.
int wav_read_header(int fd, tWAVInfo* info);

// Why a parsed PCM header cannot be played as 16-bit mono or stereo, or null when it can.
const char* wav_unplayable_reason(const tWAVInfo* info);
