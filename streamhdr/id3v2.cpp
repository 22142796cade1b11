#include "id3v2.h"

#include "settings.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

int read_id3v2_header(int fd, unsigned char* buffer) {
    if (read(fd, buffer, ID3V2_PROBE_BYTES) != ID3V2_PROBE_BYTES) return -1;
    if (std::memcmp(buffer, "ID3", 3) != 0) return 0;

    const unsigned char flags = buffer[5];
    const unsigned char* sz = buffer + 6;
    if (debug > 0) {
        std::printf("size = %02X %02X %02X %02X\n", sz[0], sz[1], sz[2], sz[3]);
        std::printf("ID3V2 FLAGS: ");
        if (flags & 0x80) std::printf("UNSYNC ");
        if (flags & 0x40) std::printf("EXT_HEADER ");
        if (flags & 0x20) std::printf("EXT_EXPERIMENTAL ");
        if (flags & 0x10) std::printf("EXT_FOOTER ");
        std::printf("\n");
    }
    // Syncsafe: four 7-bit groups, most significant first; bit 7 of each byte is ignored.
    int size = (sz[0] & 0x7F) << 21 | (sz[1] & 0x7F) << 14 | (sz[2] & 0x7F) << 7 | (sz[3] & 0x7F);
    if (debug > 0) std::printf("id3v2 size = %d\n", size);
    return size + 10;
}
