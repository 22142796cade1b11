// Where the audio of an MPEG file lies between the tags around it: every ID3v2 tag in a
// row at the start, and the tags at the end (ID3v1, APEv2, Lyrics3v2, an appended ID3v2
// with its footer), in any order and number.
#pragma once

#include <cstdint>

struct tTagSpan {
    int64_t start_tags_end; // first byte after the ID3v2 tags at the start (0 for none)
    int32_t start_tags;     // how many of them
    int32_t end_tags;       // how many tags end the file
    int64_t end_tags_start; // first byte of the tags at the end (the file length for none)
};

// Looks at `fd` (file_length bytes; < 0 when unknown, as for a pipe or a device) with pread,
// without moving its position. A tag that claims to reach past the end of the file ends
// the search on its side.
void find_tag_span(int fd, int64_t file_length, tTagSpan* span);
