// ID3v2 tag at the start of an MPEG audio file: only its length matters.
#pragma once

constexpr int ID3V2_PROBE_BYTES = 20;

// Reads the first 20 bytes of `fd` (positioned at 0) into `buffer` (at least 20 bytes).
// Returns -1 when fewer than 20 bytes could be read, 0 when the file does not begin
// with "ID3", else the file offset of the first byte after the tag (10 + tag size).
int read_id3v2_header(int fd, unsigned char* buffer);
