// Main-data reservoir: a ring of 1024 16-bit units (2048 bytes) inside the instance.
//
// Byte number k (counted since the last reset) sits in unit (k mod 2048) / 2, in bits
// 15..8 when k is even. The read head is unit res_rd mod 1024 with res_bits of its bits
// unread. Every index is masked, so no counter value can reach outside the ring.
#include "stages.h"

#include <bit>
#include <cstring>

namespace mp3 {

namespace {

// Unread bytes the ring keeps after a frame: all that main_data_begin can reach back.
constexpr int32_t FRAME_END_LIMIT = 512;

inline void put_byte(tMPEGInstance* inst, uint32_t b) {
    const int32_t k = inst->res_wr & (RES_BYTES - 1);
    uint16_t& unit = inst->reservoir[k >> 1];
    unit = (k & 1) != 0 ? static_cast<uint16_t>((unit & 0xFF00) | b)
                        : static_cast<uint16_t>((unit & 0x00FF) | (b << 8));
    inst->res_wr += 1;
}

// k whole words from a read position on a byte boundary into the ring at res_wr (a
// multiple of 4): what k calls of getbits(br, 32) return, taken apart here, and the
// position they leave. Two units go in one store, in the order the ring reads them.
void put_words(tMPEGInstance* inst, tBitReader& br, int32_t k) {
    uint32_t* p = br.ptr;
    int b = 32 - br.bits_left; // bits of *p already read: 0, 8, 16, 24 or 32
    if (b == 32) {
        ++p;
        b = 0;
    }
    for (int32_t i = 0; i < k; ++i) {
        const uint32_t w = b == 0 ? p[i] : (p[i] << b) | (p[i + 1] >> (32 - b));
        const uint32_t units = std::endian::native == std::endian::little ? std::rotl(w, 16) : w;
        std::memcpy(&inst->reservoir[(inst->res_wr & (RES_BYTES - 1)) >> 1], &units, sizeof units);
        inst->res_wr += 4;
    }
    // A word read to its end stays the current one, with no bits left.
    br.ptr = b == 0 ? p + k - 1 : p + k;
    br.bits_left = b == 0 ? 0 : 32 - b;
    br.word = *br.ptr;
}

} // namespace

uint32_t res_getbits(tMPEGInstance* inst, int n) {
    if (n == 0) return 0;
    if (inst->res_bits == 0) {
        inst->res_rd += 1;
        inst->res_bits = 16;
    }
    const uint32_t unit = inst->reservoir[inst->res_rd & (RES_UNITS - 1)];
    if (n <= inst->res_bits) {
        inst->res_bits -= n;
        return (unit >> inst->res_bits) & ((1u << n) - 1);
    }
    const int low = n - inst->res_bits;
    const uint32_t high = unit & ((1u << inst->res_bits) - 1);
    inst->res_rd += 1;
    inst->res_bits = 16 - low;
    const uint32_t next = inst->reservoir[inst->res_rd & (RES_UNITS - 1)];
    return (high << low) | (next >> inst->res_bits);
}

int32_t res_position(const tMPEGInstance* inst) {
    return (16 * inst->res_rd + 16 - inst->res_bits) & (RES_BITS - 1);
}

int32_t res_avail(const tMPEGInstance* inst) {
    return (inst->res_wr - (2 * inst->res_rd + 2 - inst->res_bits / 8)) & (RES_BYTES - 1);
}

void res_rewind(tMPEGInstance* inst, int32_t d) {
    const int32_t t = inst->res_bits + d;
    // floor division by 16 and a remainder in 0..15, for either sign of t
    const int32_t units = t >= 0 ? t / 16 : -((-t + 15) / 16);
    inst->res_rd -= units;
    inst->res_bits = t - 16 * units;
}

void res_copy_in(tMPEGInstance* inst, tBitReader& br, int32_t n) {
    while (n > 0 && (inst->res_wr & 3) != 0) {
        put_byte(inst, getbits(br, 8));
        n -= 1;
    }
    if (n >= 4 && (br.bits_left & 7) == 0) {
        put_words(inst, br, n / 4);
        n &= 3;
    }
    while (n >= 4) {
        const uint32_t w = getbits(br, 32);
        const int32_t u = (inst->res_wr & (RES_BYTES - 1)) >> 1; // even
        inst->reservoir[u] = static_cast<uint16_t>(w >> 16);
        inst->reservoir[u + 1] = static_cast<uint16_t>(w & 0xFFFF);
        inst->res_wr += 4;
        n -= 4;
    }
    if (n >= 2) {
        inst->reservoir[(inst->res_wr & (RES_BYTES - 1)) >> 1] =
            static_cast<uint16_t>(getbits(br, 16));
        inst->res_wr += 2;
        n -= 2;
    }
    if (n == 1) put_byte(inst, getbits(br, 8));
}

void res_store_rest(tMPEGInstance* inst, tBitReader& br, int32_t m) {
    if (m < 0) m = 0;
    const int32_t avail = res_avail(inst);
    const int32_t excess = avail + m - FRAME_END_LIMIT;
    if (excess > 0) {
        // The oldest unread bytes go first, then the first bytes of this frame's own data.
        res_rewind(inst, -8 * (excess < avail ? excess : avail));
        if (excess > avail) {
            skipbits(br, 8 * (excess - avail));
            m -= excess - avail;
        }
    }
    res_copy_in(inst, br, m);
}

} // namespace mp3
