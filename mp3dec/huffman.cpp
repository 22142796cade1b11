// Huffman decoding of one granule and channel: big-value pairs, count1 quadruples, the
// power 4/3 by table, and the read head left exactly at the end of the granule's data.
#include "count1_table.h"
#include "huffman_tables.h"
#include "stages.h"

#include <array>

namespace mp3 {
namespace {

// xr leaves this stage as sign(v) x |v|^(4/3) in Q13.
constexpr int XR_FRAC_BITS = 13;
constexpr int32_t ONE_Q13 = 1 << XR_FRAC_BITS; // 8192
static_assert(POW43_FRAC_BITS - 4 == XR_FRAC_BITS);

constexpr int LINES = GRANULE_LINES;
constexpr uint32_t RES_UNIT_MASK = RES_UNITS - 1;
constexpr int32_t RES_POS_MASK = RES_BITS - 1;
constexpr int32_t COUNT1_LAST_START = LINES - 4;    // a quadruple needs line + 4 <= 576
constexpr uint16_t QUAD_ZERO = quad(1, 0, 0, 0, 0); // count1 table A's code 1

// A signed 13-bit difference of two ring positions.
inline int32_t ring_diff(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a - b) << 19) >> 19;
}

// The reservoir seen through a 32-bit window: the next bits from bit 31 down, `n` of them
// valid, and the unit to load next. The ring wraps by masking the unit index, so the walk
// stays inside the reservoir whatever the instance's placement.
struct tResWindow {
    uint32_t bits;
    int32_t n;
    uint32_t next;
    const uint16_t* ring;
};

inline void refill(tResWindow& w) {
    w.bits |= static_cast<uint32_t>(w.ring[w.next]) << (16 - w.n);
    w.n += 16;
    w.next = (w.next + 1) & RES_UNIT_MASK;
}
inline void keep16(tResWindow& w) {
    if (w.n < 16) refill(w);
}
inline void skip(tResWindow& w, int k) { // k = 0..16
    w.bits <<= k;
    w.n -= k;
}
inline uint32_t take(tResWindow& w, int k) { // k = 1..16
    const uint32_t v = w.bits >> (32 - k);
    skip(w, k);
    return v;
}
inline int32_t window_position(const tResWindow& w) {
    return (static_cast<int32_t>(w.next) * 16 - w.n) & RES_POS_MASK;
}

// At the read head: unit res_rd and the one after it, less the bits already consumed.
inline tResWindow window_load(const tMPEGInstance* inst) {
    const uint32_t u = static_cast<uint32_t>(inst->res_rd) & RES_UNIT_MASK;
    const int32_t b = inst->res_bits;
    const uint32_t two =
        static_cast<uint32_t>(inst->reservoir[u]) << 16 | inst->reservoir[(u + 1) & RES_UNIT_MASK];
    return tResWindow{two << (16 - b), 16 + b, (u + 2) & RES_UNIT_MASK, inst->reservoir};
}

// Back to res_rd/res_bits; a unit read to its end stays the current unit with 0 bits.
inline void window_store(const tResWindow& w, tMPEGInstance* inst) {
    const int32_t pos = window_position(w);
    const int32_t unit = ((pos + 15) >> 4) - 1;
    inst->res_bits = 16 * (unit + 1) - pos;
    inst->res_rd = unit & static_cast<int32_t>(RES_UNIT_MASK);
}

// |v|^(4/3) in Q13 for v = 0..8206.
inline int32_t pow43(uint32_t v) {
    if (v <= 1024) return pow43_table[v] >> 4;
    const uint32_t k = v >> 3;
    const int32_t lo = pow43_table[k];
    return lo + ((pow43_table[k + 1] - lo) >> 3) * static_cast<int32_t>(v & 7);
}

inline int32_t with_sign(int32_t m, uint32_t negative) {
    const int32_t s = static_cast<int32_t>(negative);
    return (m ^ -s) + s;
}

// Whether a value is 0 is hard to predict: an out-of-order x86 core loses more to the
// mispredicted branches than the few more instructions of a branch-free sign cost; on the
// in-order ARM cores the instruction count decides.
#if defined(__x86_64__) || defined(__i386__)
constexpr bool SIGN_BRANCH_FREE = true;
#else
constexpr bool SIGN_BRANCH_FREE = false;
#endif

// m (0 when `present` is 0) with the sign bit that follows a nonzero value, consumed.
inline int32_t signed_value(tResWindow& w, int32_t m, uint32_t present) {
    const uint32_t negative = (w.bits >> 31) & present;
    skip(w, static_cast<int>(present));
    return with_sign(m, negative);
}

// One-bit levels below the first four, in runs of 7. Returns the leaf; its bit count is
// what the final run still has to consume.
uint32_t walk_deep(tResWindow& w, const uint16_t* t) {
    for (;;) {
        uint32_t b = w.bits;
        for (int j = 0; j < HUFF_RUN; ++j) {
            const uint32_t k = b >> 31;
            const uint32_t e = t[k];
            if (e & HUFF_LEAF) return e;
            t += k + (e >> 1);
            b <<= 1;
        }
        skip(w, HUFF_RUN);
        keep16(w);
    }
}

inline uint32_t consume(tResWindow& w, uint32_t leaf) {
    skip(w, static_cast<int>(leaf >> HUFF_BITS_SHIFT) & 15);
    return leaf;
}

// A code longer than the first-level table's bits: its first HUFF_FIRST_LEVELS_BITS are
// consumed and the walk goes on one bit a level from `group`.
[[gnu::noinline]] uint32_t read_long_code(tResWindow& w, const uint16_t* group) {
    skip(w, HUFF_FIRST_LEVELS_BITS); // 7 or more bits remain
    const uint32_t e = consume(w, walk_deep(w, group));
    keep16(w);
    return e;
}

// One code word of a big-value tree, its bits consumed; 16 bits must be in the window. A
// code of up to HUFF_FAST_BITS bits is one lookup in the first-level table and leaves 7 or
// more bits, enough for the two signs; a longer one walks the tree on and refills.
inline uint32_t read_code(tResWindow& w, const tHuffTable& ht) {
    const uint32_t e = ht.fast[w.bits >> ht.fast_shift];
    if (e & HUFF_LEAF) return consume(w, e);
    // A copy goes to the call, so that the window of the common path stays in registers.
    tResWindow c = w;
    const uint32_t leaf = read_long_code(c, ht.tree + e);
    w = c;
    return leaf;
}

// sign(v) x |v|^(4/3) in Q13 for a value v of a pair, its sign bit consumed.
template <bool kLinbits> inline int32_t pair_value(tResWindow& w, uint32_t v) {
    if (!SIGN_BRANCH_FREE && v == 0) return 0;
    return signed_value(w, kLinbits ? pow43(v) : pow43_table[v] >> 4, v != 0);
}

// Pairs of lines [line, stop) with one big-value table; kLinbits for the tables that have
// them (values 0..15 otherwise, straight from the table).
template <bool kLinbits>
void decode_pairs(tResWindow& w, const tHuffTable& ht, int32_t* xr, int32_t line, int32_t stop) {
    const int lin = ht.linbits;
    for (; line < stop; line += 2) {
        keep16(w);
        const uint32_t e = read_code(w, ht);
        if (kLinbits) keep16(w); // up to 13 linbits and a sign for x

        uint32_t x = (e >> HUFF_X_SHIFT) & 15;
        if (kLinbits && (e & HUFF_X_LIN)) x += take(w, lin);
        const int32_t vx = pair_value<kLinbits>(w, x);
        uint32_t y = (e >> HUFF_Y_SHIFT) & 15;
        if (kLinbits && (e & HUFF_Y_LIN)) {
            keep16(w);
            y += take(w, lin);
        }
        const int32_t vy = pair_value<kLinbits>(w, y);
        xr[line] = vx;
        xr[line + 1] = vy;
    }
}

// A whole count1 quadruple, code and sign bits, from the next QUAD_A_BITS bits (table A)
// or QUAD_B_BITS (table B): bits 3..0 the bits it takes, then two bits for each of v, w, x
// and y (v in bits 5..4): 0 for 0, 1 for +1, 3 for -1.
constexpr int QUAD_A_BITS = 10; // a 6-bit code and four signs
constexpr int QUAD_B_BITS = 8;  // a 4-bit code and four signs
constexpr int32_t QUAD_VALUE[4] = {0, ONE_Q13, 0, -ONE_Q13};

struct tQuadTables {
    std::array<uint16_t, 1 << QUAD_A_BITS> a;
    std::array<uint16_t, 1 << QUAD_B_BITS> b;
};

// The entry for the next kBits bits p, whose code is code_len bits long and gives the
// values q (v in bit 3; 1 for a nonzero value): each nonzero value's sign is the next bit
// of p after the code.
template <int kBits> constexpr uint16_t quad_entry(uint32_t p, uint32_t q, int code_len) {
    int used = code_len;
    uint32_t e = 0;
    for (int i = 0; i < 4; ++i) {
        if (!((q >> (3 - i)) & 1)) continue;
        const uint32_t negative = (p >> (kBits - 1 - used)) & 1;
        e |= (negative ? 3u : 1u) << (4 + 2 * i);
        ++used;
    }
    return static_cast<uint16_t>(e | static_cast<uint32_t>(used));
}

constexpr tQuadTables quad_tables_make() {
    tQuadTables t{};
    for (uint32_t p = 0; p < t.a.size(); ++p) {
        const uint32_t e = (p >> (QUAD_A_BITS - 1)) ? QUAD_ZERO : count1_a[(p >> 4) & 31];
        t.a[p] = quad_entry<QUAD_A_BITS>(p, (e >> 8) & 15, static_cast<int>(e & 255));
    }
    for (uint32_t p = 0; p < t.b.size(); ++p)
        t.b[p] = quad_entry<QUAD_B_BITS>(p, ~(p >> 4) & 15, 4);
    return t;
}

constexpr tQuadTables quad_tables = quad_tables_make();
static_assert(quad_tables.a[0x3FF] == 0x0001 && quad_tables.b[0xFF] == 0x0004,
              "code 1 of table A and code 1111 of table B: (0, 0, 0, 0)");
static_assert(quad_tables.a[0x015] == 0x0DDA, "code 000001 with signs + - + -: (1, -1, 1, -1)");

// Quadruples from `line` while bits of the granule are left; returns the line after the
// last one. `left` counts down by each quadruple's whole length, signs included.
template <bool kTableB>
int32_t decode_quads(tResWindow& w, int32_t* xr, int32_t line, int32_t left) {
    while (left > 0 && line <= COUNT1_LAST_START) {
        keep16(w); // table A needs 10 bits at most, table B 8
        const uint32_t e = kTableB ? quad_tables.b[w.bits >> (32 - QUAD_B_BITS)]
                                   : quad_tables.a[w.bits >> (32 - QUAD_A_BITS)];
        const int n = static_cast<int>(e & 15);
        skip(w, n);
        left -= n;
        xr[line] = QUAD_VALUE[(e >> 4) & 3];
        xr[line + 1] = QUAD_VALUE[(e >> 6) & 3];
        xr[line + 2] = QUAD_VALUE[(e >> 8) & 3];
        xr[line + 3] = QUAD_VALUE[(e >> 10) & 3];
        line += 4;
    }
    return line;
}

} // namespace

int32_t huffman_decode(tMPEGInstance* inst, int32_t* xr, const tGranuleInfo* gi,
                       int32_t part2_start) {
    const int32_t end = (part2_start + gi->part2_3_length) & RES_POS_MASK;

    const int32_t bv = gi->big_values * 2 < LINES ? gi->big_values * 2 : LINES;
    int32_t r1, r2;
    if (gi->block_type == 2) {
        // Region 0 holds the first three short bands of each window: 36 lines at every
        // rate but 8000 Hz, whose bands are twice as wide (72). A mixed block keeps 36,
        // the lines of its long part.
        r1 = gi->mixed_block_flag ? MIXED_LONG_LINES : SHORT_WINDOWS * sfb_record(inst).s[3];
        r2 = LINES;
    } else {
        const uint16_t* l = sfb_record(inst).l;
        const int i1 = gi->region0_count + 1;
        const int i2 = gi->region0_count + gi->region1_count + 2;
        r1 = i1 <= LONG_BANDS ? l[i1] : LINES;
        r2 = i2 <= LONG_BANDS ? l[i2] : LINES;
    }
    const int32_t bounds[4] = {0, r1 < bv ? r1 : bv, r2 < bv ? r2 : bv, bv};

    tResWindow w = window_load(inst);
    for (int r = 0; r < 3; ++r) {
        const int32_t from = bounds[r];
        const int32_t to = bounds[r + 1];
        if (from >= to) continue;
        const tHuffTable& ht = huff_tables[(gi->table_select >> (10 - 5 * r)) & 31];
        if (ht.tree) {
            if (ht.linbits) {
                decode_pairs<true>(w, ht, xr, from, to);
            } else {
                decode_pairs<false>(w, ht, xr, from, to);
            }
        } else {
            for (int32_t i = from; i < to; ++i)
                xr[i] = 0;
        }
    }

    int32_t count = bv;
    if (bv <= COUNT1_LAST_START) {
        const int32_t left = ring_diff(end, window_position(w));
        count = (gi->gr_flags & 1) ? decode_quads<true>(w, xr, bv, left)
                                   : decode_quads<false>(w, xr, bv, left);
    }

    window_store(w, inst);
    const int32_t d = ring_diff(window_position(w), end);
    if (d > 0) count = count > 4 ? count - 4 : 0; // the last code ran past the end
    if (d != 0) res_rewind(inst, d);
    for (int32_t i = count; i < LINES; ++i)
        xr[i] = 0;
    return count;
}

} // namespace mp3
