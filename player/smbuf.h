// The decoder's input bit buffer and the callbacks that refill it.
//
// smbuf holds stream words for the decoder, four bytes each, the earliest byte in
// bits 31..24. A refill first moves the unread words to the front, then tops the buffer
// up from the open file (while probing) or from the pipe buffer (while playing).
#pragma once

#include "mp3dec.h"
#include "pbuffer.h"

#include <cstdint>
#include <span>

constexpr int SMBUF_WORDS = 384; // 1536 bytes, 12288 bits
// A refill leaves at least this many bits from the start of the current word: a whole
// padded 1441-byte frame even when it starts in the last byte of that word. One word
// more stays free for the sync search, which may look one word past the data.
constexpr int REFILL_BITS = 11552;
static_assert(REFILL_BITS == 8 * (1441 + 3));
static_assert(REFILL_BITS + 32 <= SMBUF_WORDS * 32);

constexpr int PIPE_BLOCK_BYTES = 1024;
constexpr int PIPE_BLOCKS = 1024;
constexpr int PIPE_BLOCK_WORDS = PIPE_BLOCK_BYTES / 4;

// One word more than is ever filled, always zero: the sync search and the bit reader may
// look one word past the held data, and that look stays inside the array.
constexpr int SMBUF_SPARE_WORDS = 1;
extern uint32_t smbuf[SMBUF_WORDS + SMBUF_SPARE_WORDS];
extern int smbufcnt;
// Words that have entered smbuf since the last smbuf_reset: with smbufcnt and the read
// position it places the decoder in the stream.
extern int64_t smbuf_words_in;
extern tMPEGBitstream bitstream;
extern pbuffer* pbuf;
extern uint8_t wav_block[PIPE_BLOCK_BYTES];
extern int wav_count;

// Where the stream comes from: the file read_data_from_file reads (while probing; -1 when
// none is open), and whether words are byte-reversed on their way in (1: the earliest byte
// goes to bits 31..24; 0, as -w asks: the other way round). Set by the probe and the fork
// step; until then no file, and the earliest byte on top.
void smbuf_input(int file_fd, int swap_bytes);
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
// The pipe's last block, committed together with the end flag, holds only `bytes` bytes
// of stream (1..1023): rdfi takes no more of it than those, the last word filled up with
// zero bytes.
void rdfi_last_block_bytes(int bytes);
// Copies the stream bytes from the (byte-aligned) read position on into `dest`, in the
// order the decoder reads them, without taking them: what smbuf holds, then what the pipe
// buffer (or the bytes of smbuf_input_bytes) holds. Returns how many; `at_end` says that the stream
// ends after them.
int stream_peek(std::span<uint8_t> dest, bool* at_end);
// 1 when a block was taken into wav_block, 0 when none is there yet, -1 at the end.
int read_wav_data_from_inbuf();
