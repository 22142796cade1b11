// The header an encoder leaves in the first frame of a stream: Xing (VBR) or Info (CBR),
// with the LAME extension's encoder delay and padding, or Fraunhofer's VBRI. It counts the
// stream's frames and bytes and maps time to bytes; the frame that carries it holds no
// sound of the track.
//
// Also the arithmetic the counts serve: the exact track length, a start time turned into
// a byte and the time of the frame there, and the samples a gapless player keeps.
#pragma once

#include <array>
#include <cstdint>
#include <span>

constexpr int32_t FRAME_TAG_NONE = 0;
constexpr int32_t FRAME_TAG_XING = 1; // "Xing": a VBR stream
constexpr int32_t FRAME_TAG_INFO = 2; // "Info": the same layout, a CBR stream
constexpr int32_t FRAME_TAG_VBRI = 3;

constexpr int VBRI_MAX_ENTRIES = 512;
// Decoder delay of the standard gapless players: the samples the synthesis filter bank and
// the overlap put before the first encoded sample, on top of the encoder's delay.
constexpr int32_t GAPLESS_DECODER_DELAY = 529;

struct tFrameTag {
    int32_t kind;                 // FRAME_TAG_*
    int32_t frames;               // frames of sound after the tag's frame; 0 when not given
    int64_t bytes;                // bytes of the stream, the tag's frame included; 0 when not given
    int32_t frame_samples;        // per channel in one frame: 1152 or 576
    int32_t rate;                 // Hz of the stream
    int32_t frame_bytes;          // length of the tag's frame; 0 for free format
    int32_t has_toc;              // Xing: toc holds 100 points; VBRI: vbri_entries are there
    std::array<uint8_t, 100> toc; // Xing: byte position at each percent of the time, /256
    int32_t lame;                 // the LAME extension is there (with a good CRC)
    int32_t lame_crc_bad;         // it was there, but its CRC did not match: not used
    int32_t delay;                // encoder delay, samples (LAME), else 0
    int32_t padding;              // encoder padding at the end, samples (LAME), else 0
    int32_t vbri_entries;         // VBRI table of contents: entries,
    int32_t vbri_frames_per_entry;                   // frames each entry stands for,
    std::array<uint32_t, VBRI_MAX_ENTRIES> vbri_toc; // and each entry's bytes
};

// Reads the header in the frame at the start of `frame` (at least its first 4 bytes, up to
// the frame's whole length). False when the frame carries none, or its first 4 bytes are
// no valid Layer III header; `tag` then has kind NONE.
bool frame_tag_parse(std::span<const uint8_t> frame, tFrameTag* tag);

// CRC-16 of LAME's tag (polynomial 0x8005, reflected, starting at 0).
uint16_t lame_crc16(std::span<const uint8_t> bytes);

// Samples per channel of the track: frames x samples per frame - delay - padding. 0
// without a frame count.
int64_t frame_tag_samples(const tFrameTag& tag);

// Where to start for the decoded sample `target` (per channel, counted from the first frame
// after the tag's) by the tag's table of contents, as a byte offset from the first byte of
// the tag's frame over `stream_bytes` bytes of audio; the sample that starts there goes to
// `*landing_samples`. False without a table or a frame count.
bool frame_tag_seek(const tFrameTag& tag, int64_t stream_bytes, int64_t target,
                    int64_t* byte_offset, int64_t* landing_samples);

// The decoded samples a gapless player keeps: those at indices [first, end) of the stream
// (counted from the first sample of the first frame after the tag's frame), end < 0 for all
// to the end.
struct tGaplessWindow {
    int64_t first;
    int64_t end;
};
// From the tag: delay + 529 samples dropped at the start; at the end, when `frames_agree`
// (the stream holds exactly the frames the tag counts), padding - 529.
tGaplessWindow gapless_window(const tFrameTag& tag, bool frames_agree);

// Of a block of `count` samples whose first is the stream's sample `at`, the part inside
// the window: the index of its first sample in the block and how many. count 0 when none.
void gapless_clip(const tGaplessWindow& w, int64_t at, int32_t count, int32_t* from, int32_t* kept);
