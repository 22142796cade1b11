#include "smbuf.h"

#include "settings.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

// Whether words as loaded from memory are byte-reversed on their way into smbuf: a
// little-endian machine reverses them to put the earliest byte on top, a big-endian one
// finds it there already; -w (swap_bytes 0) asks for the opposite of either.
int32_t reverse_words(int32_t swap_bytes) {
    return (swap_bytes != 0) == (std::endian::native == std::endian::little) ? 1 : 0;
}

// Puts `words` words just copied from the stream into p (as memory holds them) into stream
// order.
void stream_words_in(const tInputBuffer& in, uint32_t* p, int words) {
    if (!in.reverse_words) return;
    for (int i = 0; i < words; i++)
        p[i] = byte_reverse(p[i]);
}

// Binds `source`, the record emptied.
void bind(tInputBuffer& in, int32_t source, int32_t swap_bytes) {
    in.source = source;
    in.reverse_words = reverse_words(swap_bytes);
    in.input_fd = -1;
    in.pbuf = nullptr;
    in.input_bytes = {};
    smbuf_reset(in);
}

[[noreturn]] void fatal_read() {
    std::fprintf(stderr, "%s at \"%s\":%d: %s\n", "read", "../vexa", 480, std::strerror(errno));
    std::exit(1);
}

} // namespace

void input_bind_file(tInputBuffer& in, int fd, int32_t swap_bytes) {
    bind(in, INPUT_FILE, swap_bytes);
    in.input_fd = fd;
}

void input_bind_pipe(tInputBuffer& in, pbuffer* pb, int32_t swap_bytes) {
    bind(in, INPUT_PIPE, swap_bytes);
    in.pbuf = pb;
    pbuffer_reset(pb);
}

void input_bind_bytes(tInputBuffer& in, std::span<const uint8_t> bytes, int32_t swap_bytes) {
    bind(in, INPUT_BYTES, swap_bytes);
    in.input_bytes = bytes;
}

void stream_bytes_in(std::span<uint8_t> bytes, int32_t swap_bytes) {
    if (swap_bytes != 0) return;
    for (size_t k = 0; k + 4 <= bytes.size(); k += 4) {
        uint32_t w;
        std::memcpy(&w, bytes.data() + k, 4);
        w = byte_reverse(w);
        std::memcpy(bytes.data() + k, &w, 4);
    }
}

void smbuf_reset(tInputBuffer& b) {
    b.input_bytes_used = 0;
    b.bitstream.bufptr = b.smbuf.data();
    b.bitstream.bitidx = 0;
    b.smbufcnt = 0;
    b.smbuf_words_in = 0;
    b.readcnt = b.usedcnt = 0;
    b.rdfi_block_bytes = 0;
    b.tail_filler = 0;
    // Words past the held ones are always zero, so that a look beyond the data never
    // finds stale stream bytes.
    b.smbuf.fill(0);
}

int validbits(const tInputBuffer& b) {
    return 32 * b.smbufcnt -
           8 * static_cast<int>((b.bitstream.bufptr - b.smbuf.data()) * sizeof(uint32_t));
}

int unread_bits(const tInputBuffer& in) {
    return validbits(in) - in.bitstream.bitidx;
}

int64_t stream_position(const tInputBuffer& b) {
    return 4 * (b.smbuf_words_in - b.smbufcnt + (b.bitstream.bufptr - b.smbuf.data())) +
           b.bitstream.bitidx / 8;
}

void normalise_bitstream(tInputBuffer& in) {
    tMPEGBitstream& bs = in.bitstream;
    if (bs.bitidx == 32) {
        bs.bufptr += 1;
        bs.bitidx = 0;
    }
}

void shift_bitstream(tInputBuffer& b) {
    uint32_t* smbuf = b.smbuf.data();
    const uint32_t* end = smbuf + b.smbufcnt;
    auto cur = reinterpret_cast<uintptr_t>(b.bitstream.bufptr);
    auto base = reinterpret_cast<uintptr_t>(smbuf);
    if (cur > reinterpret_cast<uintptr_t>(end) || cur < base) {
        if (debug > 0) {
            std::printf("cur  = %d\n", static_cast<int>(cur));
            std::printf("end  = %d\n", static_cast<int>(reinterpret_cast<uintptr_t>(end)));
            std::printf("dest = %d\n", static_cast<int>(base));
            std::printf("smbufcnt = %d\n", b.smbufcnt);
            std::printf("cur > end:  really really wrong.\n");
        }
        std::exit(1);
    }
    const auto used = static_cast<int>(cur - base);
    if (used % sizeof(uint32_t) != 0) {
        if (debug > 0) std::printf("used %% sizeof(unsigned int) != 0\n");
        std::exit(1);
    }
    int cpycnt = b.smbufcnt - used / 4;
    if (cpycnt < 0) {
        if (debug > 0) std::printf("cpycnt < 0: bad\n");
        cpycnt = 0;
    }
    if (debug >= 3)
        std::printf("shift_bitstream:  end - cur = %d\n",
                    static_cast<int>(reinterpret_cast<uintptr_t>(end) - cur));
    std::memmove(smbuf, b.bitstream.bufptr, static_cast<size_t>(cpycnt) * sizeof(uint32_t));
    if (debug >= 3) std::printf("shift_bitstream:  shifted %d bytes\n", cpycnt * 4);
    b.bitstream.bufptr = smbuf;
    b.smbufcnt -= used / 4;
    std::memset(smbuf + b.smbufcnt, 0, static_cast<size_t>(used / 4) * sizeof(uint32_t));
}

uint32_t* smbuf_free_ptr(tInputBuffer& b) {
    return b.smbufcnt >= SMBUF_WORDS ? nullptr : b.smbuf.data() + b.smbufcnt;
}

int read_data_from_file(tInputBuffer& b) {
    shift_bitstream(b);
    int result = 0;
    if (debug >= 4) std::printf("validbits = %d, required = %d\n", validbits(b), REFILL_BITS);
    while (validbits(b) < REFILL_BITS) {
        uint32_t* p = smbuf_free_ptr(b);
        if (p == nullptr) break;
        const int room = SMBUF_WORDS - b.smbufcnt;
        if (debug >= 4) std::printf("read_data_from_file: Reading up to %d ints\n", room);
        ssize_t n = read(b.input_fd, p, static_cast<size_t>(room) * 4);
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
        stream_words_in(b, p, words);
        b.smbufcnt += words;
        b.smbuf_words_in += words;
        result = words;
        if (debug >= 4) {
            std::printf("read_data_from_file:  read %d ints\n", words);
            std::printf("read_data_from_file:  smbufcnt=%d\n", b.smbufcnt);
        }
    }
    return result;
}

int rdfi(tInputBuffer& b) {
    shift_bitstream(b);
    int result = 1;
    int n = 0;
    if (debug >= 4) {
        std::printf("rdfi: smbufcnt = %d\n", b.smbufcnt);
        std::printf("rdfi: validbits = %d, required = %d\n", validbits(b), REFILL_BITS);
    }
    while (validbits(b) < REFILL_BITS) {
        uint32_t* p = smbuf_free_ptr(b);
        if (p == nullptr) break;
        if (debug >= 4) std::printf("rdfi: readcnt = %d, usedcnt = %d\n", b.readcnt, b.usedcnt);
        if (b.readcnt == b.usedcnt) {
            if (debug >= 4) std::printf("rdfi: need to read from pbuffer\n");
            b.readcnt = b.usedcnt = 0;
            // The block that came with the end flag may be partly filler.
            const int bytes = pbuffer_block_bytes(b.pbuf, 0);
            int r = pbuffer_read(b.pbuf, b.rdfi_block.data(), 1);
            if (r < 0 || (r == 0 && pbuffer_eof(b.pbuf))) {
                if (debug >= 2) std::printf("rdfi: end of file reached.\n");
                result = -1;
                break;
            }
            if (r == 0) {
                if (debug >= 4) std::printf("rdfi: nothing in pbuffer\n");
                result = 0;
                break;
            }
            b.rdfi_block_bytes = bytes;
            b.readcnt = (bytes + 3) / 4;
            auto* block = reinterpret_cast<uint8_t*>(b.rdfi_block.data());
            std::memset(block + bytes, 0, static_cast<size_t>(4 * b.readcnt - bytes));
            result = 1;
        }
        n = b.readcnt - b.usedcnt;
        if (n > SMBUF_WORDS - b.smbufcnt) n = SMBUF_WORDS - b.smbufcnt;
        std::memcpy(p, b.rdfi_block.data() + b.usedcnt, static_cast<size_t>(n) * sizeof(uint32_t));
        stream_words_in(b, p, n);
        b.usedcnt += n;
        b.smbufcnt += n;
        b.smbuf_words_in += n;
        if (b.rdfi_block_bytes < PIPE_BLOCK_BYTES && b.usedcnt == b.readcnt)
            b.tail_filler = 4 * b.readcnt - b.rdfi_block_bytes;
    }
    if (debug >= 4) {
        std::printf("rdfi: read %d ints\n", n);
        std::printf("rdfi: smbufcnt=%d\n", b.smbufcnt);
        std::printf("rdfi: returning %d\n", result);
    }
    return result;
}

int read_data_from_bytes(tInputBuffer& b) {
    shift_bitstream(b);
    while (validbits(b) < REFILL_BITS) {
        uint32_t* p = smbuf_free_ptr(b);
        if (p == nullptr) break;
        const size_t left = b.input_bytes.size() - b.input_bytes_used;
        if (left == 0) return -1;
        const size_t n = std::min(left, static_cast<size_t>(SMBUF_WORDS - b.smbufcnt) * 4);
        const auto words = static_cast<int>((n + 3) / 4);
        p[words - 1] = 0;
        std::memcpy(p, b.input_bytes.data() + b.input_bytes_used, n);
        b.input_bytes_used += n;
        if (b.input_bytes_used == b.input_bytes.size())
            b.tail_filler = static_cast<int>(4 * words - n);
        stream_words_in(b, p, words);
        b.smbufcnt += words;
        b.smbuf_words_in += words;
    }
    return 1;
}

int input_refill(tInputBuffer& in) {
    normalise_bitstream(in);
    switch (in.source) {
    case INPUT_PIPE:
        return rdfi(in);
    case INPUT_BYTES:
        return read_data_from_bytes(in);
    case INPUT_FILE:
        return read_data_from_file(in) < 0 ? -1 : 1;
    default:
        return -1;
    }
}

namespace {

// Appends up to `room` stream bytes of `words` (as they come from the pipe) to `dest`, in
// the order the decoder reads them; `bytes` of the words are stream data.
int peek_words(const tInputBuffer& in, const uint32_t* words, int bytes, uint8_t* dest, int room) {
    int n = 0;
    for (int k = 0; k < bytes && n < room; k++, n++) {
        const uint32_t w = in.reverse_words ? byte_reverse(words[k / 4]) : words[k / 4];
        dest[n] = static_cast<uint8_t>(w >> (24 - 8 * (k % 4)));
    }
    return n;
}

} // namespace

int stream_peek(const tInputBuffer& b, std::span<uint8_t> dest, bool* at_end) {
    const int room = static_cast<int>(dest.size());
    int n = 0;
    // What smbuf holds from the position on: already in the decoder's order. The pipe's
    // last word may end in filler.
    const int held = validbits(b) / 8 - b.tail_filler;
    for (int k = b.bitstream.bitidx / 8; k < held && n < room; k++, n++)
        dest[static_cast<size_t>(n)] =
            static_cast<uint8_t>(b.bitstream.bufptr[k / 4] >> (24 - 8 * (k % 4)));
    // The rest of the stream in memory; or the rest of the block rdfi is taking words from,
    // then the blocks still in the ring.
    if (b.source == INPUT_BYTES) {
        // Word by word, as read_data_from_bytes will take them (the last one filled up).
        const size_t rest = b.input_bytes.size() - b.input_bytes_used;
        for (size_t k = 0; k < rest && n < room; k += 4) {
            uint32_t w = 0;
            const size_t got = std::min<size_t>(4, rest - k);
            std::memcpy(&w, b.input_bytes.data() + b.input_bytes_used + k, got);
            n += peek_words(b, &w, static_cast<int>(got), dest.data() + n, room - n);
        }
        *at_end = n < room;
        return n;
    }
    // A file is not looked into beyond what smbuf holds.
    if (b.source != INPUT_PIPE) {
        *at_end = n < room;
        return n;
    }
    if (b.readcnt > b.usedcnt)
        n += peek_words(b, b.rdfi_block.data() + b.usedcnt, b.rdfi_block_bytes - 4 * b.usedcnt,
                        dest.data() + n, room - n);
    const int level = pbuffer_level(b.pbuf);
    for (int i = 0; i < level && n < room; i++) {
        const auto* words = reinterpret_cast<const uint32_t*>(pbuffer_peek(b.pbuf, i));
        n += peek_words(b, words, pbuffer_block_bytes(b.pbuf, i), dest.data() + n, room - n);
    }
    *at_end = n < room && pbuffer_eof(b.pbuf);
    return n;
}

int read_wav_data_from_inbuf(tInputBuffer& b) {
    if (debug >= 4) std::printf("read_wav_data_from_inbuf: \n");
    // The pipe's last block may be short: a stream whose header gives no length ends there.
    const int bytes = pbuffer_block_bytes(b.pbuf, 0);
    int r = pbuffer_read(b.pbuf, b.wav_block.data(), 1);
    if (r > 0) {
        b.wav_count = bytes;
        return 1;
    }
    if (r < 0 || pbuffer_eof(b.pbuf)) {
        if (debug >= 2) std::printf("end of file reached.\n");
        return -1;
    }
    if (debug >= 4) std::printf("buffer empty\n");
    return 0;
}
