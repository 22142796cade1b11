// The input of a track: a file, or a stream (standard input "-", a FIFO, a device) that can
// be read only once.
//
// The probe needs to look at the start of its input, and may seek in it. A stream's first
// bytes are therefore read into memory (`STREAM_PREFIX_BYTES`, more behind an ID3v2 tag),
// where the probe finds them as in a file; the reader hands the same bytes on to the player
// and then reads on in the stream, so nothing is read twice. Where the probe would seek to
// a start position, the reader reads over the bytes before it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int64_t STREAM_PREFIX_BYTES = 256 * 1024;
constexpr int64_t STREAM_TAG_LIMIT = 16 * 1024 * 1024; // tag bytes kept in memory at most

// Checks that `file` can be played before its probe starts: prints one line naming it and
// returns false when it is missing, unreadable, a directory or empty. A stream's prefix is
// read here; with `count_length` (-i) the rest of it is counted, so that its length is known.
bool input_check(const char* file, bool count_length);
// True when `file` is the stream input_check prepared.
bool input_is_stream(const char* file);
// Opens `file` for the probe: the stream's prefix for a stream, else the file itself.
int input_open(const char* file);
// Opens `file` for the reader from byte `start` on: a file is opened and sought, a stream
// read over up to there (after its prefix). The process ends when a file cannot be had.
int input_reader_open(const char* file, int64_t start);
// Reads from what input_reader_open gave: a stream's remaining prefix first, then the
// stream itself. As read().
long input_read(int fd, uint8_t* dest, size_t bytes);
