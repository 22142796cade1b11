// The decoder's input bit buffer and the callbacks that refill it.
//
// smbuf holds stream words for the decoder, four bytes each, the earliest byte in
// bits 31..24. A refill first moves the unread words to the front, then tops the buffer
// up from the open file (while probing) or from the pipe buffer (while playing).
#pragma once

#include "mp3dec.h"
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

// The input bit buffer: the words for the decoder, its position in them, and where the
// words come from. One per process (`inbuf`), owned by this module: only the functions
// below change it, except for the decoder's position, which the decoder calls move
// (smbuf_position). Everyone else reads it.
struct tInputBuffer {
    // Stream words, the earliest byte in bits 31..24.
    std::array<uint32_t, SMBUF_WORDS + SMBUF_SPARE_WORDS> smbuf;
    int32_t smbufcnt;         // words of smbuf that hold stream data, from smbuf[0] on
    int32_t tail_filler;      // zero bytes after the stream's end in the last held word
    int64_t smbuf_words_in;   // words that have entered smbuf since the last smbuf_reset:
                              // with smbufcnt and the position it places the decoder in the
                              // stream
    tMPEGBitstream bitstream; // the decoder's position: bufptr points into smbuf
    pbuffer* pbuf;            // the pipe buffer rdfi and read_wav_data_from_inbuf take
                              // blocks from (smbuf_input_pipe); null for none
    std::array<uint32_t, PIPE_BLOCK_WORDS> rdfi_block; // the pipe block rdfi took last
    int32_t readcnt;                                   // words held in rdfi_block
    int32_t usedcnt;                                   // words of it already moved into smbuf
    int32_t rdfi_block_bytes; // stream bytes in rdfi_block: fewer than a block when it
                              // is the pipe's last, short block
    int32_t wav_count;        // bytes in wav_block (a whole block after a fetch)
    // The WAV block read_wav_data_from_inbuf took last.
    std::array<uint8_t, PIPE_BLOCK_BYTES> wav_block;
    int32_t input_fd;         // the file read_data_from_file reads; -1 when none is open
    int32_t input_swap_bytes; // words are byte-reversed on their way in (smbuf_input)
    int32_t bytes_input;      // the stream in memory is the input, not the file or the pipe
    std::span<const uint8_t> input_bytes; // that stream (smbuf_input_bytes)
    size_t input_bytes_used;              // bytes of it moved into smbuf
};
static_assert(sizeof(tInputBuffer::smbuf) == 4 * (SMBUF_WORDS + SMBUF_SPARE_WORDS));
static_assert(sizeof(tInputBuffer::rdfi_block) == PIPE_BLOCK_BYTES);
static_assert(sizeof(tInputBuffer::wav_block) == PIPE_BLOCK_BYTES);
static_assert(std::is_standard_layout_v<tInputBuffer>);

// The process's input bit buffer, to read.
extern const tInputBuffer& inbuf;

// The decoder's position in smbuf, for the decoder calls that move it.
tMPEGBitstream& smbuf_position();

// Where the stream comes from: the file read_data_from_file reads (while probing; -1 when
// none is open), and whether words are byte-reversed on their way in (1: the earliest byte
// goes to bits 31..24; 0, as -w asks: the other way round). Set by the probe and the fork
// step; until then no file, and the earliest byte on top.
void smbuf_input(int file_fd, int swap_bytes);
// The pipe buffer rdfi and read_wav_data_from_inbuf take blocks from; null for none.
void smbuf_input_pipe(pbuffer* pb);
// The stream held in memory instead, for read_data_from_bytes; an empty span for none. The
// bytes stay the caller's and must outlive the reading.
void smbuf_input_bytes(std::span<const uint8_t> bytes);
// Empties the bit buffer and points the read position at its start.
void smbuf_reset();
// Bits from the start of the current word to the end of the held words.
int validbits();
// Bits from the read position itself to the end of the held words.
int unread_bits();
// Byte of the stream (counted from the first byte after the last reset) that holds the
// next unread bit.
int64_t stream_position();
// A position at the end of a word becomes the start of the next one.
void normalise_bitstream();
void shift_bitstream();
// Puts `words` words just copied from the stream into p (as memory holds them) into stream
// order, the earliest byte in bits 31..24, whatever the machine's byte order; with
// swap_bytes 0 (smbuf_input) the other way round.
void stream_words_in(uint32_t* p, int words);
uint32_t* smbuf_free_ptr();

// -1 at end of file; else the words added by the last read (0 when none was needed).
int read_data_from_file();
// 1 when the target is reached, 0 when the pipe buffer is empty for now, -1 at the end.
int rdfi();
// As rdfi, from the bytes given to smbuf_input_bytes: 1 when the target is reached, -1
// when more was needed and none is left. The last bytes enter as one word filled up with
// zero bytes.
int read_data_from_bytes();
// Copies the stream bytes from the (byte-aligned) read position on into `dest`, in the
// order the decoder reads them, without taking them: what smbuf holds, then what the pipe
// buffer (or the bytes of smbuf_input_bytes) holds. Returns how many; `at_end` says that the stream
// ends after them.
int stream_peek(std::span<uint8_t> dest, bool* at_end);
// 1 when a block was taken into wav_block, 0 when none is there yet, -1 at the end.
int read_wav_data_from_inbuf();
