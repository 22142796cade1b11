// Xing VBR header in the first frame of an MPEG audio stream: frame and byte counts
// that time a variable-bitrate file and let a start time be turned into a byte offset.
#pragma once

#include <cstdint>

constexpr int XING_PROBE_BYTES = 512;

constexpr int32_t XING_FRAMES = 0x1; // flags: frame count present
constexpr int32_t XING_BYTES = 0x2;  // byte count present
constexpr int32_t XING_TOC = 0x4;    // table of contents present
constexpr int32_t XING_SCALE = 0x8;  // VBR scale present

struct tXingHeader {
    int32_t mpeg1;      // the header's version bit: 1 for MPEG-1
    int32_t samplerate; // Hz by the rate index, halved by the version bit alone (so
                        // 22050 for an MPEG-2.5 file at 11025 Hz); 99999 for index 3
    int32_t flags;      // XING_* bits; 0 when no tag was found
    int32_t frames;     // frame count (0 when absent)
    int32_t bytes;      // byte count (0 when absent)
    int32_t vbr_scale;  // -1 when absent
    uint8_t toc[100];   // table of contents, when present
    // What the frame header says about time, for the derived values below.
    int32_t frame_hz;      // the stream's true sampling rate (MPEG-2.5 included); 0 if reserved
    int32_t frame_samples; // samples per channel in one frame: 1152 or 576
};

// Parses a Xing tag in the first frame held in `buffer` (its first 4 bytes are taken as
// the frame header). Returns 1 when the tag was found, else 0 (then only `flags` is set,
// to 0).
int xing_parse(const uint8_t* buffer, int length, tXingHeader* header);

// Reads 512 bytes from the current position of `fd` (the first frame) and parses them.
// 1 when a Xing header with a frame count or a byte count is there, else 0.
int read_xing_header(int fd, tXingHeader* header);

// Whole seconds of the track from the frame count; 0 without one.
int xing_track_seconds(const tXingHeader* header);
// Average bitrate in bit/s from the byte count and the track time; 0 when the header
// lacks either count.
int xing_average_bitrate(const tXingHeader* header);
// The stream's sampling rate in Hz.
int xing_samplerate(const tXingHeader* header);
