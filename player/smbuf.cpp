#include "smbuf.h"

#include "settings.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

uint32_t smbuf[SMBUF_WORDS + SMBUF_SPARE_WORDS];
int smbufcnt = 0;
int64_t smbuf_words_in = 0;
tMPEGBitstream bitstream = {smbuf, 0};
pbuffer* pbuf = nullptr;
uint8_t wav_block[PIPE_BLOCK_BYTES];
int wav_count = 0;

namespace {

uint32_t rdfi_block[PIPE_BLOCK_WORDS]; // the pipe block rdfi took last
int readcnt = 0;                       // words held in rdfi_block
int usedcnt = 0;                       // words of it already moved into smbuf
int last_block_bytes = 0;              // stream bytes in the pipe's last block; 0: whole
bool rdfi_block_is_last = false;       // rdfi_block holds the pipe's last, short block
int tail_filler = 0;                  // zero bytes after the stream's end in smbuf's last held word
int input_fd = -1;                    // the file read_data_from_file reads
int input_swap_bytes = 1;             // words are byte-reversed on their way in (smbuf_input)
std::span<const uint8_t> input_bytes; // the stream in memory (smbuf_input_bytes)
bool bytes_input = false;             // it is the input, not the file or the pipe
size_t input_bytes_used = 0;          // bytes of it moved into smbuf

constexpr uint32_t byte_reverse(uint32_t w) {
    return (w >> 24) | ((w >> 8) & 0xFF00u) | ((w << 8) & 0xFF0000u) | (w << 24);
}
static_assert(byte_reverse(0x6490FBFFu) == 0xFFFB9064u);

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

// Whether words as loaded from memory are byte-reversed on their way into smbuf: a
// little-endian machine reverses them to put the earliest byte on top, a big-endian one
// finds it there already; -w (swap_bytes 0) asks for the opposite of either.
bool reverse_words() {
    return (input_swap_bytes != 0) == (std::endian::native == std::endian::little);
}

[[noreturn]] void fatal_read() {
    std::fprintf(stderr, "%s at \"%s\":%d: %s\n", "read", "../vexa", 480, std::strerror(errno));
    std::exit(1);
}

} // namespace

void stream_words_in(uint32_t* p, int words) {
    if (!reverse_words()) return;
    for (int i = 0; i < words; i++)
        p[i] = byte_reverse(p[i]);
}

void smbuf_input(int file_fd, int swap_bytes) {
    bytes_input = false;
    input_fd = file_fd;
    input_swap_bytes = swap_bytes;
}

void smbuf_input_bytes(std::span<const uint8_t> bytes) {
    input_bytes = bytes;
    input_bytes_used = 0;
    bytes_input = true;
}

void smbuf_reset() {
    input_bytes_used = 0;
    bitstream.bufptr = smbuf;
    bitstream.bitidx = 0;
    smbufcnt = 0;
    smbuf_words_in = 0;
    readcnt = usedcnt = 0;
    last_block_bytes = 0;
    rdfi_block_is_last = false;
    tail_filler = 0;
    // Words past the held ones are always zero, so that a look beyond the data never
    // finds stale stream bytes.
    std::memset(smbuf, 0, sizeof smbuf);
}

int validbits() {
    return 32 * smbufcnt - 8 * static_cast<int>((bitstream.bufptr - smbuf) * sizeof(uint32_t));
}

int unread_bits() {
    return validbits() - bitstream.bitidx;
}

int64_t stream_position() {
    return 4 * (smbuf_words_in - smbufcnt + (bitstream.bufptr - smbuf)) + bitstream.bitidx / 8;
}

void normalise_bitstream() {
    if (bitstream.bitidx == 32) {
        bitstream.bufptr += 1;
        bitstream.bitidx = 0;
    }
}

void shift_bitstream() {
    const uint32_t* end = smbuf + smbufcnt;
    auto cur = reinterpret_cast<uintptr_t>(bitstream.bufptr);
    auto base = reinterpret_cast<uintptr_t>(smbuf);
    if (cur > reinterpret_cast<uintptr_t>(end) || cur < base) {
        if (debug > 0) {
            std::printf("cur  = %d\n", static_cast<int>(cur));
            std::printf("end  = %d\n", static_cast<int>(reinterpret_cast<uintptr_t>(end)));
            std::printf("dest = %d\n", static_cast<int>(base));
            std::printf("smbufcnt = %d\n", smbufcnt);
            std::printf("cur > end:  really really wrong.\n");
        }
        std::exit(1);
    }
    const auto used = static_cast<int>(cur - base);
    if (used % sizeof(uint32_t) != 0) {
        if (debug > 0) std::printf("used %% sizeof(unsigned int) != 0\n");
        std::exit(1);
    }
    int cpycnt = smbufcnt - used / 4;
    if (cpycnt < 0) {
        if (debug > 0) std::printf("cpycnt < 0: bad\n");
        cpycnt = 0;
    }
    if (debug >= 3)
        std::printf("shift_bitstream:  end - cur = %d\n",
                    static_cast<int>(reinterpret_cast<uintptr_t>(end) - cur));
    std::memmove(smbuf, bitstream.bufptr, static_cast<size_t>(cpycnt) * sizeof(uint32_t));
    if (debug >= 3) std::printf("shift_bitstream:  shifted %d bytes\n", cpycnt * 4);
    bitstream.bufptr = smbuf;
    smbufcnt -= used / 4;
    std::memset(smbuf + smbufcnt, 0, static_cast<size_t>(used / 4) * sizeof(uint32_t));
}

uint32_t* smbuf_free_ptr() {
    return smbufcnt >= SMBUF_WORDS ? nullptr : smbuf + smbufcnt;
}

int read_data_from_file() {
    shift_bitstream();
    int result = 0;
    if (debug >= 4) std::printf("validbits = %d, required = %d\n", validbits(), REFILL_BITS);
    while (validbits() < REFILL_BITS) {
        uint32_t* p = smbuf_free_ptr();
        if (p == nullptr) break;
        const int room = SMBUF_WORDS - smbufcnt;
        if (debug >= 4) std::printf("read_data_from_file: Reading up to %d ints\n", room);
        ssize_t n = read(input_fd, p, static_cast<size_t>(room) * 4);
        if (n < 0) {
            if (errno == EINTR) continue;
            fatal_read();
        }
        if (n % 4 != 0 && debug > 0) std::printf("ACK!  read a non-integer number of integers!\n");
        const int words = static_cast<int>(n / 4);
        // A word the file ended inside is not stream data: it stays zero.
        if (n % 4 != 0) p[words] = 0;
        if (words == 0) {
            if (debug > 0) std::printf("end of file reached.\n");
            return -1;
        }
        stream_words_in(p, words);
        smbufcnt += words;
        smbuf_words_in += words;
        result = words;
        if (debug >= 4) {
            std::printf("read_data_from_file:  read %d ints\n", words);
            std::printf("read_data_from_file:  smbufcnt=%d\n", smbufcnt);
        }
    }
    return result;
}

int rdfi() {
    shift_bitstream();
    int result = 1;
    int n = 0;
    if (debug >= 4) {
        std::printf("rdfi: smbufcnt = %d\n", smbufcnt);
        std::printf("rdfi: validbits = %d, required = %d\n", validbits(), REFILL_BITS);
    }
    while (validbits() < REFILL_BITS) {
        uint32_t* p = smbuf_free_ptr();
        if (p == nullptr) break;
        if (debug >= 4) std::printf("rdfi: readcnt = %d, usedcnt = %d\n", readcnt, usedcnt);
        if (readcnt == usedcnt) {
            if (debug >= 4) std::printf("rdfi: need to read from pbuffer\n");
            readcnt = usedcnt = 0;
            int r = pbuffer_read(pbuf, rdfi_block, 1);
            if (r < 0 || (r == 0 && pbuffer_eof(pbuf))) {
                if (debug >= 2) std::printf("rdfi: end of file reached.\n");
                result = -1;
                break;
            }
            if (r == 0) {
                if (debug >= 4) std::printf("rdfi: nothing in pbuffer\n");
                result = 0;
                break;
            }
            readcnt = PIPE_BLOCK_WORDS;
            // The block that came with the end flag may be partly filler.
            rdfi_block_is_last =
                last_block_bytes > 0 && pbuffer_eof(pbuf) && pbuffer_level(pbuf) == 0;
            if (rdfi_block_is_last) {
                readcnt = (last_block_bytes + 3) / 4;
                auto* bytes = reinterpret_cast<uint8_t*>(rdfi_block);
                std::memset(bytes + last_block_bytes, 0,
                            static_cast<size_t>(4 * readcnt - last_block_bytes));
            }
            result = 1;
        }
        n = readcnt - usedcnt;
        if (n > SMBUF_WORDS - smbufcnt) n = SMBUF_WORDS - smbufcnt;
        std::memcpy(p, rdfi_block + usedcnt, static_cast<size_t>(n) * sizeof(uint32_t));
        stream_words_in(p, n);
        usedcnt += n;
        smbufcnt += n;
        smbuf_words_in += n;
        if (rdfi_block_is_last && usedcnt == readcnt) tail_filler = 4 * readcnt - last_block_bytes;
    }
    if (debug >= 4) {
        std::printf("rdfi: read %d ints\n", n);
        std::printf("rdfi: smbufcnt=%d\n", smbufcnt);
        std::printf("rdfi: returning %d\n", result);
    }
    return result;
}

int read_data_from_bytes() {
    shift_bitstream();
    while (validbits() < REFILL_BITS) {
        uint32_t* p = smbuf_free_ptr();
        if (p == nullptr) break;
        const size_t left = input_bytes.size() - input_bytes_used;
        if (left == 0) return -1;
        const size_t n = std::min(left, static_cast<size_t>(SMBUF_WORDS - smbufcnt) * 4);
        const auto words = static_cast<int>((n + 3) / 4);
        p[words - 1] = 0;
        std::memcpy(p, input_bytes.data() + input_bytes_used, n);
        input_bytes_used += n;
        if (input_bytes_used == input_bytes.size()) tail_filler = static_cast<int>(4 * words - n);
        stream_words_in(p, words);
        smbufcnt += words;
        smbuf_words_in += words;
    }
    return 1;
}

namespace {

// Appends up to `room` stream bytes of `words` (as they come from the pipe) to `dest`, in
// the order the decoder reads them; `bytes` of the words are stream data.
int peek_words(const uint32_t* words, int bytes, uint8_t* dest, int room) {
    int n = 0;
    for (int k = 0; k < bytes && n < room; k++, n++) {
        const uint32_t w = reverse_words() ? byte_reverse(words[k / 4]) : words[k / 4];
        dest[n] = static_cast<uint8_t>(w >> (24 - 8 * (k % 4)));
    }
    return n;
}

} // namespace

int stream_peek(std::span<uint8_t> dest, bool* at_end) {
    const int room = static_cast<int>(dest.size());
    int n = 0;
    // What smbuf holds from the position on: already in the decoder's order. The pipe's
    // last word may end in filler.
    const int held = validbits() / 8 - tail_filler;
    for (int k = bitstream.bitidx / 8; k < held && n < room; k++, n++)
        dest[static_cast<size_t>(n)] =
            static_cast<uint8_t>(bitstream.bufptr[k / 4] >> (24 - 8 * (k % 4)));
    // The rest of the stream in memory; or the rest of the block rdfi is taking words from,
    // then the blocks still in the ring.
    if (bytes_input) {
        const size_t rest = input_bytes.size() - input_bytes_used;
        const int more = std::min(room - n, static_cast<int>(std::min<size_t>(rest, INT32_MAX)));
        if (more > 0)
            std::memcpy(dest.data() + n, input_bytes.data() + input_bytes_used,
                        static_cast<size_t>(more));
        n += more;
        *at_end = n < room;
        return n;
    }
    if (readcnt > usedcnt) {
        const int bytes =
            rdfi_block_is_last ? last_block_bytes - 4 * usedcnt : 4 * (readcnt - usedcnt);
        n += peek_words(rdfi_block + usedcnt, bytes, dest.data() + n, room - n);
    }
    const int level = pbuffer_level(pbuf);
    for (int i = 0; i < level && n < room; i++) {
        const bool last = i == level - 1 && pbuffer_eof(pbuf) && last_block_bytes > 0;
        const auto* words = reinterpret_cast<const uint32_t*>(pbuffer_peek(pbuf, i));
        n += peek_words(words, last ? last_block_bytes : PIPE_BLOCK_BYTES, dest.data() + n,
                        room - n);
    }
    *at_end = n < room && pbuffer_eof(pbuf);
    return n;
}

void rdfi_last_block_bytes(int bytes) {
    last_block_bytes = bytes > 0 && bytes < PIPE_BLOCK_BYTES ? bytes : 0;
}

int read_wav_data_from_inbuf() {
    if (debug >= 4) std::printf("read_wav_data_from_inbuf: \n");
    int r = pbuffer_read(pbuf, wav_block, 1);
    if (r > 0) {
        wav_count = PIPE_BLOCK_BYTES;
        return 1;
    }
    if (r < 0 || pbuffer_eof(pbuf)) {
        if (debug >= 2) std::printf("end of file reached.\n");
        return -1;
    }
    if (debug >= 4) std::printf("buffer empty\n");
    return 0;
}
