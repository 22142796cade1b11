// The decoder's input bit buffer and the callbacks that refill it.
//
// smbuf holds stream words for the decoder, four bytes each, the earliest byte in
// bits 31..24. A refill first moves the unread words to the front, then tops the buffer
// up from the record's source: an open file, the pipe buffer (while playing) or a stream in
// memory (the tools).
#pragma once

#include "mp3dec.h"
#include "mpegsync.h"
#include "pbuffer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

constexpr int SMBUF_WORDS = 768; // 3072 bytes, 24576 bits
// A refill leaves at least this many bits from the start of the current word: a whole
// padded frame of the longest length taken (free format at 640 kbit/s and 32000 Hz, 2881
// bytes) even when it starts in the last byte of that word. One word more stays free for
// the sync search, which may look one word past the data.
constexpr int REFILL_BITS = 23072;
static_assert(REFILL_BITS == 8 * (2881 + 3));
// The first free-format frame is measured by reading past it: those words (from the word
// of the position, at the start of smbuf after a refill) stay inside the array.
static_assert(MP3_FREE_FORMAT_READ_BYTES + 3 <= 4 * SMBUF_WORDS);
static_assert(REFILL_BITS + 32 <= SMBUF_WORDS * 32);

constexpr int PIPE_BLOCK_BYTES = 1024;
constexpr int PIPE_BLOCKS = 1024;
constexpr int PIPE_BLOCK_WORDS = PIPE_BLOCK_BYTES / 4;

// One word more than is ever filled, always zero: the sync search and the bit reader may
// look one word past the held data, and that look stays inside the array.
constexpr int SMBUF_SPARE_WORDS = 1;

// Where an input record's words come from, bound once (input_bind_*).
constexpr int32_t INPUT_NONE = 0;  // nothing bound yet
constexpr int32_t INPUT_FILE = 1;  // an open file, read by read_data_from_file
constexpr int32_t INPUT_PIPE = 2;  // a pipe buffer, taken from by rdfi (or, for a WAV file,
                                   // read_wav_data_from_inbuf)
constexpr int32_t INPUT_BYTES = 3; // a stream in memory, read by read_data_from_bytes

// An input record: the words for the decoder, its position in them, and the one source they
// come from. Whoever drives the decoder holds one (the player a single static one for the
// whole run) and binds its source before the first refill. Only the functions below change
// it, except for the decoder's position, which the decoder calls move. The position points
// into the record itself: a bound record is not copied.
struct tInputBuffer {
    // Stream words, the earliest byte in bits 31..24.
    std::array<uint32_t, SMBUF_WORDS + SMBUF_SPARE_WORDS> smbuf;
    int32_t smbufcnt;         // words of smbuf that hold stream data, from smbuf[0] on
    int32_t tail_filler;      // zero bytes after the stream's end in the last held word
    int64_t smbuf_words_in;   // words that have entered smbuf since the binding: with
                              // smbufcnt and the position it places the decoder in the stream
    tMPEGBitstream bitstream; // the decoder's position: bufptr points into smbuf
    int32_t source;           // INPUT_NONE .. INPUT_BYTES
    int32_t reverse_words;    // words as loaded from memory are byte-reversed on their way
                              // into smbuf (from the binding's swap_bytes and the machine)
    int32_t input_fd;         // INPUT_FILE: the file; else -1
    pbuffer* pbuf;            // INPUT_PIPE: the pipe buffer; else null
    std::array<uint32_t, PIPE_BLOCK_WORDS> rdfi_block; // the pipe block rdfi took last
    int32_t readcnt;                                   // words held in rdfi_block
    int32_t usedcnt;                                   // words of it already moved into smbuf
    int32_t rdfi_block_bytes; // stream bytes in rdfi_block: fewer than a block when it
                              // is the pipe's last, short block
    int32_t wav_count;        // bytes in wav_block (a whole block after a fetch)
    // The WAV block read_wav_data_from_inbuf took last.
    std::array<uint8_t, PIPE_BLOCK_BYTES> wav_block;
    std::span<const uint8_t> input_bytes; // INPUT_BYTES: the stream, the caller's
    size_t input_bytes_used;              // bytes of it moved into smbuf
    // Stream bytes ahead of the position, copied out by stream_peek to be looked at.
    std::array<uint8_t, MPEG_RUN_WINDOW> window;
};
static_assert(sizeof(tInputBuffer::smbuf) == 4 * (SMBUF_WORDS + SMBUF_SPARE_WORDS));
static_assert(sizeof(tInputBuffer::rdfi_block) == PIPE_BLOCK_BYTES);
static_assert(sizeof(tInputBuffer::wav_block) == PIPE_BLOCK_BYTES);
static_assert(std::is_standard_layout_v<tInputBuffer>);

// Binds the record to its source and empties it, the position on its first word. With
// swap_bytes 1 a word's earliest stream byte goes to bits 31..24, whatever the machine's
// byte order; with 0 (as -w asks) the other way round.
// The open file `fd`, for read_data_from_file.
void input_bind_file(tInputBuffer& in, int fd, int32_t swap_bytes);
// The pipe buffer `pb` (emptied too), for rdfi and read_wav_data_from_inbuf.
void input_bind_pipe(tInputBuffer& in, pbuffer* pb, int32_t swap_bytes);
// The stream `bytes`, for read_data_from_bytes; they stay the caller's and must outlive the
// reading.
void input_bind_bytes(tInputBuffer& in, std::span<const uint8_t> bytes, int32_t swap_bytes);

// Reverses the byte order of a word (b0 b1 b2 b3 become b3 b2 b1 b0).
constexpr uint32_t byte_reverse(uint32_t w) {
    return (w >> 24) | ((w >> 8) & 0xFF00u) | ((w << 8) & 0xFF0000u) | (w << 24);
}
static_assert(byte_reverse(0x6490FBFFu) == 0xFFFB9064u);
// Puts bytes as the file holds them into the order the decoder reads them: unchanged with
// swap_bytes 1; with 0 (-w) each whole group of four reversed, a trailing part left as it is.
void stream_bytes_in(std::span<uint8_t> bytes, int32_t swap_bytes);

// Empties the bit buffer and points the read position at its start; the source stays.
void smbuf_reset(tInputBuffer& in);
// Bits from the start of the current word to the end of the held words.
int validbits(const tInputBuffer& in);
// Bits from the read position itself to the end of the held words.
int unread_bits(const tInputBuffer& in);
// Byte of the stream (counted from the first byte after the binding) that holds the next
// unread bit.
int64_t stream_position(const tInputBuffer& in);
// A position at the end of a word becomes the start of the next one.
void normalise_bitstream(tInputBuffer& in);
void shift_bitstream(tInputBuffer& in);
uint32_t* smbuf_free_ptr(tInputBuffer& in);

// -1 at end of file; else the words added by the last read (0 when none was needed).
int read_data_from_file(tInputBuffer& in);
// 1 when the target is reached, 0 when the pipe buffer is empty for now, -1 at the end.
int rdfi(tInputBuffer& in);
// As rdfi, from the bound bytes: 1 when the target is reached, -1 when more was needed and
// none is left. The last bytes enter as one word filled up with zero bytes.
int read_data_from_bytes(tInputBuffer& in);
// The refill of the bound source: 1 when the target is reached (or, from a file, as much as
// it holds), 0 when the pipe buffer is empty for now, -1 when the input has ended.
int input_refill(tInputBuffer& in);
// Copies the stream bytes from the (byte-aligned) read position on into `dest`, in the
// order the decoder reads them, without taking them: what smbuf holds, then what the pipe
// buffer (or the bound bytes) holds; of a file, only what smbuf holds. Returns how many;
// `at_end` says that the stream ends after them (for a file: that smbuf holds no more).
int stream_peek(const tInputBuffer& in, std::span<uint8_t> dest, bool* at_end);
// 1 when a block was taken into wav_block, 0 when none is there yet, -1 at the end.
int read_wav_data_from_inbuf(tInputBuffer& in);
