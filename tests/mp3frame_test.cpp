// Side information, main-data reservoir, scale factors and the frame driver, on frames
// built bit by bit here; the conformance streams and the fixtures through the player's
// frame feed; hostile input on buffers sized exactly to what mp3dec.h asks of a caller.
#include "bitreader.h"
#include "mp3dec.h"
#include "mp3stream.h"
#include "scalefac_table.h"
#include "stages.h"
#include "tempdir.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------
// Helpers

// Most significant bit first, as the stream is written.
struct BitWriter {
    std::vector<uint8_t> bytes;
    int used = 8; // bits used in the last byte

    void put(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) {
            if (used == 8) {
                bytes.push_back(0);
                used = 0;
            }
            if (((v >> i) & 1) != 0) bytes.back() |= static_cast<uint8_t>(0x80 >> used);
            ++used;
        }
    }
    void put_bytes(const std::vector<uint8_t>& b) {
        for (uint8_t x : b)
            put(x, 8);
    }
    long bits() const { return static_cast<long>(bytes.size()) * 8 - (8 - used); }
};

// Input words as the decoder reads them: four bytes each, the earliest in bits 31..24.
std::vector<uint32_t> to_words(const std::vector<uint8_t>& b, size_t min_words = 0) {
    std::vector<uint32_t> w(std::max(min_words, (b.size() + 3) / 4), 0);
    for (size_t i = 0; i < b.size(); ++i)
        w[i / 4] |= uint32_t{b[i]} << (24 - 8 * (i % 4));
    return w;
}

// A decoder instance on a 2048-byte boundary, allocated exactly so that the sanitizer
// sees any access past its end.
struct Instance {
    tMPEGInstance* p = nullptr;
    Instance() {
        void* mem = nullptr;
        if (posix_memalign(&mem, MP3_INSTANCE_ALIGN, sizeof(tMPEGInstance)) != 0) std::abort();
        p = static_cast<tMPEGInstance*>(mem);
        std::memset(p, 0, sizeof *p);
        MP3InitInstance(p);
    }
    ~Instance() { std::free(p); }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    tMPEGInstance* operator->() const { return p; }
};

// The standard's Layer III bitrates (kbit/s) and sampling frequencies (Hz).
constexpr int kbps_mpeg1[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr int kbps_mpeg2[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
constexpr int hz_mpeg1[3] = {44100, 48000, 32000};
constexpr int hz_mpeg2[3] = {22050, 24000, 16000};
constexpr int hz_mpeg25[3] = {11025, 12000, 8000};

struct GranuleSpec {
    uint32_t part2_3_length = 0, big_values = 0, global_gain = 0, scalefac_compress = 0;
    bool window_switching = false;
    uint32_t block_type = 0, mixed = 0;
    uint32_t tables = 0; // 15 bits, or 10 with window switching
    uint32_t subblock_gain = 0, region0 = 0, region1 = 0;
    uint32_t flags = 0; // 3 bits MPEG-1, 2 bits otherwise
};

struct FrameSpec {
    uint32_t version_bits = 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    uint32_t layer_bits = 1;   // Layer III
    uint32_t protection = 1;   // 1: no CRC word
    uint32_t bitrate = 9, freq = 0, padding = 0, mode = 0, mode_ext = 0;
    uint32_t crc = 0;
    uint32_t main_data_begin = 0, private_bits = 0;
    uint32_t scfsi[2] = {0, 0};
    GranuleSpec gr[2][2];
    std::vector<uint8_t> main_data; // cut or padded with zeros to the frame's length

    bool mpeg1() const { return version_bits == 3; }
    int nch() const { return mode == 3 ? 1 : 2; }
    int side_bytes() const { return mpeg1() ? (nch() == 1 ? 17 : 32) : (nch() == 1 ? 9 : 17); }
    // Whole frame in bytes, header and padding included; 0 for free format.
    int length() const {
        if (bitrate == 0) return 0;
        if (mpeg1()) return 144000 * kbps_mpeg1[bitrate] / hz_mpeg1[freq] + padding;
        const int hz = version_bits == 2 ? hz_mpeg2[freq] : hz_mpeg25[freq];
        return 72000 * kbps_mpeg2[bitrate] / hz + padding;
    }
    int main_length() const { return length() - 4 - 2 * (1 - protection) - side_bytes(); }
};

std::vector<uint8_t> build_frame(const FrameSpec& f) {
    BitWriter w;
    w.put(0x7FF, 11);
    w.put(f.version_bits, 2);
    w.put(f.layer_bits, 2);
    w.put(f.protection, 1);
    w.put(f.bitrate, 4);
    w.put(f.freq, 2);
    w.put(f.padding, 1);
    w.put(0, 1); // private
    w.put(f.mode, 2);
    w.put(f.mode_ext, 2);
    w.put(0, 4); // copyright, original, emphasis
    if (f.protection == 0) w.put(f.crc, 16);
    const bool m1 = f.mpeg1();
    const int nch = f.nch();
    if (m1) {
        w.put(f.main_data_begin, 9);
        w.put(f.private_bits, nch == 1 ? 5 : 3);
        for (int ch = 0; ch < nch; ++ch)
            w.put(f.scfsi[ch], 4);
    } else {
        w.put(f.main_data_begin, 8);
        w.put(f.private_bits, nch == 1 ? 1 : 2);
    }
    for (int gr = 0; gr < (m1 ? 2 : 1); ++gr) {
        for (int ch = 0; ch < nch; ++ch) {
            const GranuleSpec& g = f.gr[gr][ch];
            w.put(g.part2_3_length, 12);
            w.put(g.big_values, 9);
            w.put(g.global_gain, 8);
            w.put(g.scalefac_compress, m1 ? 4 : 9);
            w.put(g.window_switching ? 1 : 0, 1);
            if (g.window_switching) {
                w.put(g.block_type, 2);
                w.put(g.mixed, 1);
                w.put(g.tables, 10);
                w.put(g.subblock_gain, 9);
            } else {
                w.put(g.tables, 15);
                w.put(g.region0, 4);
                w.put(g.region1, 3);
            }
            w.put(g.flags, m1 ? 3 : 2);
        }
    }
    EXPECT_EQ(w.bits() % 8, 0);
    std::vector<uint8_t> main = f.main_data;
    if (f.bitrate != 0) main.resize(static_cast<size_t>(f.main_length()), 0);
    w.put_bytes(main);
    return w.bytes;
}

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 23);
    }
    return v;
}

// A stream of frames and the decoder's position in it.
struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> words;
    tMPEGBitstream bs{};

    void append(const std::vector<uint8_t>& b) { bytes.insert(bytes.end(), b.begin(), b.end()); }
    void start() {
        words = to_words(bytes, bytes.size() / 4 + 2);
        bs = {words.data(), 0};
    }
    long position_bits() const { return (bs.bufptr - words.data()) * 32L + bs.bitidx; }
    void seek_byte(long byte) {
        bs.bufptr = words.data() + byte / 4;
        bs.bitidx = static_cast<int32_t>(8 * (byte % 4));
    }
};

class FrameDriver : public testing::Test {
  protected:
    void SetUp() override {
        left.fill(0x5555);
        right.fill(0x2AAA);
    }
    // Header and data of the frame at the position.
    tMPEGStatus decode(Stream& s) {
        tMPEGHeader h{};
        const tMPEGStatus info = MP3DecodeInfo(inst.p, &s.bs, &h);
        EXPECT_EQ(info, eNoErr);
        if (info != eNoErr) return info;
        return MP3DecodeData(inst.p, left.data(), right.data(), &s.bs);
    }
    // The unread reservoir bytes, oldest first, read from a copy of the instance.
    std::vector<uint8_t> unread() {
        Instance copy;
        std::memcpy(copy.p, inst.p, sizeof(tMPEGInstance));
        std::vector<uint8_t> out;
        // A started byte counts as read: continue from the next byte boundary.
        if (copy->res_bits % 8 != 0) mp3::res_getbits(copy.p, copy->res_bits % 8);
        const int32_t n = mp3::res_avail(copy.p);
        for (int32_t i = 0; i < n; ++i)
            out.push_back(static_cast<uint8_t>(mp3::res_getbits(copy.p, 8)));
        return out;
    }

    // Back to the state of a fresh instance.
    void reset() {
        Instance fresh;
        std::memcpy(inst.p, fresh.p, sizeof(tMPEGInstance));
    }

    Instance inst;
    std::array<int16_t, MP3_MAX_SAMPLES> left{}, right{};
};

FrameSpec mpeg1_stereo_128k() {
    FrameSpec f;
    f.bitrate = 9; // 128 kbit/s
    f.freq = 0;    // 44100 Hz
    f.mode = 0;
    return f;
}

// ---------------------------------------------------------------------------------------
// Reservoir

TEST(Reservoir, GetbitsAcrossUnitsAndTheRingsEnd) {
    Instance inst;
    // The ring's last unit, 1023 of 1024.
    inst->reservoir[1023] = 0xABCD;
    inst->reservoir[0] = 0x1234;
    inst->reservoir[1] = 0x8000;
    inst->res_rd = 1023;
    inst->res_bits = 16;
    EXPECT_EQ(mp3::res_position(inst.p), 16368);
    EXPECT_EQ(mp3::res_getbits(inst.p, 4), 0xAu);
    EXPECT_EQ(inst->res_bits, 12);
    // 12 bits of unit 1023 and the top 4 of unit 0 (the ring wraps).
    EXPECT_EQ(mp3::res_getbits(inst.p, 16), 0xBCD1u);
    EXPECT_EQ(inst->res_rd, 1024);
    EXPECT_EQ(inst->res_bits, 12);
    EXPECT_EQ(mp3::res_position(inst.p), 4); // 16388 mod 16384
    EXPECT_EQ(mp3::res_getbits(inst.p, 0), 0u);
    EXPECT_EQ(inst->res_bits, 12);
    EXPECT_EQ(mp3::res_getbits(inst.p, 12), 0x234u);
    EXPECT_EQ(inst->res_bits, 0);
    EXPECT_EQ(inst->res_rd, 1024);
    // A used-up unit: the next read starts at the following one.
    EXPECT_EQ(mp3::res_getbits(inst.p, 1), 1u);
    EXPECT_EQ(inst->res_rd, 1025);
    EXPECT_EQ(inst->res_bits, 15);
}

TEST(Reservoir, RewindBothWays) {
    Instance inst;
    inst->res_rd = 10;
    inst->res_bits = 3; // P = 173
    mp3::res_rewind(inst.p, 20);
    EXPECT_EQ(inst->res_rd, 9);
    EXPECT_EQ(inst->res_bits, 7);
    EXPECT_EQ(mp3::res_position(inst.p), 153);
    mp3::res_rewind(inst.p, -50); // t = 7 - 50 = -43: three units on, 5 bits left
    EXPECT_EQ(inst->res_rd, 12);
    EXPECT_EQ(inst->res_bits, 5);
    EXPECT_EQ(mp3::res_position(inst.p), 203);
    mp3::res_rewind(inst.p, -5); // exactly to the unit's end
    EXPECT_EQ(inst->res_rd, 12);
    EXPECT_EQ(inst->res_bits, 0);
    EXPECT_EQ(mp3::res_position(inst.p), 208);
    // Back past the ring's start: positions are taken mod 16384.
    inst->res_rd = 0;
    inst->res_bits = 16;
    mp3::res_rewind(inst.p, 8);
    EXPECT_EQ(inst->res_rd, -1);
    EXPECT_EQ(inst->res_bits, 8);
    EXPECT_EQ(mp3::res_position(inst.p), 16376);
    inst->reservoir[1023] = 0x00C3;
    EXPECT_EQ(mp3::res_getbits(inst.p, 8), 0xC3u);
}

TEST(Reservoir, CopyInMatchesTheByteLayout) {
    const std::vector<uint8_t> input = pattern(64, 7);
    for (int32_t wr : {0, 1, 2, 3, 4, 510, 1023, 2043, 2044, 2045, 2046, 2047, 4095}) {
        for (int32_t n = 0; n <= 13; ++n) {
            // Offset 4: the first word read to its end (32 bits read, none left).
            for (int offset = 0; offset <= 4; ++offset) {
                Instance inst;
                for (auto& u : inst->reservoir)
                    u = 0x5AA5;
                inst->res_wr = wr;
                std::vector<uint32_t> words = to_words(input);
                tMPEGBitstream bs{words.data(), 8 * offset};
                tBitReader br = bitreader_load(&bs);
                mp3::res_copy_in(inst.p, br, n);
                bitreader_store(br, &bs);
                SCOPED_TRACE(testing::Message()
                             << "res_wr " << wr << " n " << n << " offset " << offset);
                EXPECT_EQ(inst->res_wr, wr + n);
                EXPECT_EQ((bs.bufptr - words.data()) * 32 + bs.bitidx, 8 * (offset + n));
                std::array<uint8_t, 2048> expect;
                for (int k = 0; k < 2048; ++k)
                    expect[k] = (k & 1) != 0 ? 0xA5 : 0x5A;
                for (int i = 0; i < n; ++i)
                    expect[(wr + i) % 2048] = input[offset + i];
                for (int k = 0; k < 2048; ++k) {
                    const uint16_t u = inst->reservoir[k / 2];
                    const uint8_t got = static_cast<uint8_t>((k & 1) != 0 ? u & 0xFF : u >> 8);
                    ASSERT_EQ(got, expect[k]) << "byte " << k;
                }
            }
        }
    }
}

TEST(Reservoir, AvailCountsWholeUnreadBytes) {
    Instance inst;
    inst->res_wr = 100;
    EXPECT_EQ(mp3::res_avail(inst.p), 100);
    mp3::res_getbits(inst.p, 3); // a started byte counts as read
    EXPECT_EQ(mp3::res_avail(inst.p), 99);
    mp3::res_getbits(inst.p, 5);
    EXPECT_EQ(mp3::res_avail(inst.p), 99);
    mp3::res_getbits(inst.p, 8);
    EXPECT_EQ(mp3::res_avail(inst.p), 98);
    // Write position wrapped past the read position's unit numbers.
    inst->res_wr = 1024 + 10;
    inst->res_rd = 511;
    inst->res_bits = 16;
    EXPECT_EQ(mp3::res_avail(inst.p), 12);
}

// res_store_rest: the oldest unread bytes go first, then the frame's own first bytes.
TEST(Reservoir, StoreRestKeepsTheNewest512) {
    const std::vector<uint8_t> input = pattern(700, 3);
    struct Case {
        int32_t avail, m;
        int32_t dropped_old, skipped_new;
    };
    for (const Case c : {Case{500, 20, 8, 0}, Case{0, 600, 0, 88}, Case{10, 600, 10, 88},
                         Case{512, 0, 0, 0}, Case{300, 212, 0, 0}, Case{300, 213, 1, 0}}) {
        Instance inst;
        // c.avail old bytes 0xE0.. written and unread
        for (int32_t i = 0; i < c.avail; ++i) {
            inst->reservoir[i / 2] = static_cast<uint16_t>(
                (i & 1) != 0 ? (inst->reservoir[i / 2] & 0xFF00) | (0xE0 + i % 16)
                             : (inst->reservoir[i / 2] & 0x00FF) | ((0xE0 + i % 16) << 8));
        }
        inst->res_wr = c.avail;
        std::vector<uint32_t> words = to_words(input);
        tMPEGBitstream bs{words.data(), 0};
        tBitReader br = bitreader_load(&bs);
        mp3::res_store_rest(inst.p, br, c.m);
        bitreader_store(br, &bs);
        SCOPED_TRACE(testing::Message() << "avail " << c.avail << " m " << c.m);
        EXPECT_EQ((bs.bufptr - words.data()) * 32 + bs.bitidx, 8 * c.m);
        std::vector<uint8_t> expect;
        for (int32_t i = c.dropped_old; i < c.avail; ++i)
            expect.push_back(0xE0 + i % 16);
        for (int32_t i = c.skipped_new; i < c.m; ++i)
            expect.push_back(input[i]);
        ASSERT_EQ(mp3::res_avail(inst.p), static_cast<int32_t>(expect.size()));
        EXPECT_LE(expect.size(), 512u);
        for (size_t i = 0; i < expect.size(); ++i) {
            ASSERT_EQ(mp3::res_getbits(inst.p, 8), expect[i]) << "byte " << i;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Side information and main-data length

struct SideInfoReader {
    Instance inst;
    std::vector<uint32_t> words;
    tMPEGBitstream bs{};
    tBitReader br{};

    // Reads the header of the frame and leaves the reader just after it (and the CRC).
    void load(const std::vector<uint8_t>& frame) {
        words = to_words(frame, 400);
        bs = {words.data(), 0};
        tMPEGHeader h{};
        ASSERT_EQ(MP3DecodeInfo(inst.p, &bs, &h), eNoErr);
        br = bitreader_load(&bs);
        if (inst->crc_present != 0) skipbits(br, 16);
    }
    long bits() const { return (br.ptr - words.data()) * 32L + 32 - br.bits_left; }
};

TEST(SideInfo, Mpeg1StereoFields) {
    FrameSpec f = mpeg1_stereo_128k();
    f.main_data_begin = 300;
    f.private_bits = 5;
    f.scfsi[0] = 0xA;
    f.scfsi[1] = 0x5;
    GranuleSpec& a = f.gr[0][0];
    a.part2_3_length = 4095;
    a.big_values = 288;
    a.global_gain = 210;
    a.scalefac_compress = 13;
    a.tables = (7 << 10) | (15 << 5) | 31;
    a.region0 = 15;
    a.region1 = 7;
    a.flags = 5;
    GranuleSpec& b = f.gr[0][1]; // pure short blocks
    b.window_switching = true;
    b.block_type = 2;
    b.tables = (24 << 5) | 13;
    b.subblock_gain = 0x1CB; // 7, 1, 3
    b.flags = 2;
    GranuleSpec& c = f.gr[1][0]; // mixed short blocks
    c.window_switching = true;
    c.block_type = 2;
    c.mixed = 1;
    c.tables = 1;
    GranuleSpec& d = f.gr[1][1]; // start block
    d.window_switching = true;
    d.block_type = 1;
    d.part2_3_length = 1;
    SideInfoReader r;
    r.load(build_frame(f));
    ASSERT_EQ(mp3::read_side_info(r.br, r.inst.p), 0);
    EXPECT_EQ(r.bits(), 8 * (4 + 32));
    const tMPEGInstance& s = *r.inst.p;
    EXPECT_EQ(s.main_data_begin, 300);
    EXPECT_EQ(s.side[0].scfsi, 0xA);
    EXPECT_EQ(s.side[1].scfsi, 0x5);
    const tGranuleInfo& ga = s.side[0].gr_info[0];
    EXPECT_EQ(ga.part2_3_length, 4095);
    EXPECT_EQ(ga.big_values, 288);
    EXPECT_EQ(ga.global_gain, 210);
    EXPECT_EQ(ga.scalefac_compress, 13);
    EXPECT_EQ(ga.block_type, 0);
    EXPECT_EQ(ga.table_select, (7 << 10) | (15 << 5) | 31);
    EXPECT_EQ(ga.region0_count, 15);
    EXPECT_EQ(ga.region1_count, 7);
    EXPECT_EQ(ga.gr_flags, 5);
    const tGranuleInfo& gb = s.side[1].gr_info[0];
    EXPECT_EQ(gb.block_type, 2);
    EXPECT_EQ(gb.mixed_block_flag, 0);
    EXPECT_EQ(gb.table_select, (24 << 10) | (13 << 5)); // region 2 gets table 0
    EXPECT_EQ(gb.subblock_gain, 0x1CB);
    EXPECT_EQ(gb.region0_count, 8);
    EXPECT_EQ(gb.region1_count, 12);
    EXPECT_EQ(gb.gr_flags, 2);
    const tGranuleInfo& gc = s.side[0].gr_info[1];
    EXPECT_EQ(gc.block_type, 2);
    EXPECT_EQ(gc.mixed_block_flag, 1);
    EXPECT_EQ(gc.table_select, 1 << 5);
    EXPECT_EQ(gc.region0_count, 7);
    EXPECT_EQ(gc.region1_count, 13);
    const tGranuleInfo& gd = s.side[1].gr_info[1];
    EXPECT_EQ(gd.block_type, 1);
    EXPECT_EQ(gd.part2_3_length, 1);
    EXPECT_EQ(gd.region0_count, 7);
    EXPECT_EQ(gd.region1_count, 13);
}

TEST(SideInfo, WithoutWindowSwitchingOldMixedFlagAndGainsStay) {
    FrameSpec f = mpeg1_stereo_128k();
    f.mode = 3;
    SideInfoReader r;
    r.load(build_frame(f));
    r.inst->side[0].gr_info[1].mixed_block_flag = 1;
    r.inst->side[0].gr_info[1].subblock_gain = 0x155;
    r.inst->side[0].gr_info[1].block_type = 3;
    ASSERT_EQ(mp3::read_side_info(r.br, r.inst.p), 0);
    EXPECT_EQ(r.bits(), 8 * (4 + 17));
    EXPECT_EQ(r.inst->side[0].gr_info[1].block_type, 0);
    EXPECT_EQ(r.inst->side[0].gr_info[1].mixed_block_flag, 1);
    EXPECT_EQ(r.inst->side[0].gr_info[1].subblock_gain, 0x155);
}

TEST(SideInfo, Mpeg2MonoWithCrc) {
    FrameSpec f;
    f.version_bits = 2;
    f.protection = 0;
    f.crc = 0xFFFF;
    f.bitrate = 8; // 64 kbit/s
    f.mode = 3;
    f.main_data_begin = 255;
    f.private_bits = 1;
    f.gr[0][0].part2_3_length = 2049;
    f.gr[0][0].scalefac_compress = 511;
    f.gr[0][0].flags = 3;
    f.gr[0][0].tables = 0x7FFF;
    SideInfoReader r;
    r.load(build_frame(f));
    EXPECT_EQ(r.bits(), 8 * 6);
    ASSERT_EQ(mp3::read_side_info(r.br, r.inst.p), 0);
    EXPECT_EQ(r.bits(), 8 * (6 + 9));
    EXPECT_EQ(r.inst->main_data_begin, 255);
    const tGranuleInfo& g = r.inst->side[0].gr_info[0];
    EXPECT_EQ(g.part2_3_length, 2049);
    EXPECT_EQ(g.scalefac_compress, 511);
    EXPECT_EQ(g.table_select, 0x7FFF);
    EXPECT_EQ(g.gr_flags, 3);
}

// Window switching with block type 0 in any granule and channel: refused, reader unmoved.
TEST(SideInfo, WindowSwitchingWithBlockTypeZeroIsInconsistent) {
    for (int slot = 0; slot < 4; ++slot) {
        FrameSpec f = mpeg1_stereo_128k();
        f.main_data_begin = 77;
        f.gr[slot / 2][slot % 2].window_switching = true;
        f.gr[slot / 2][slot % 2].block_type = 0;
        SideInfoReader r;
        r.load(build_frame(f));
        const tBitReader before = r.br;
        EXPECT_EQ(mp3::read_side_info(r.br, r.inst.p), 1) << "slot " << slot;
        EXPECT_EQ(r.br.ptr, before.ptr);
        EXPECT_EQ(r.br.bits_left, before.bits_left);
        EXPECT_EQ(r.inst->main_data_begin, 77);
    }
}

TEST(SideInfo, MainDataBytesFromTheHeader) {
    struct Case {
        FrameSpec f;
        int32_t m;
    };
    std::vector<Case> cases;
    FrameSpec f = mpeg1_stereo_128k(); // 417 bytes, o = 36
    cases.push_back({f, 381});
    f.padding = 1; // 418 bytes, o = 35
    cases.push_back({f, 382});
    f.padding = 0;
    f.protection = 0; // o = 38
    cases.push_back({f, 379});
    f.mode = 3; // o = 23
    cases.push_back({f, 394});
    FrameSpec g;
    g.version_bits = 2; // MPEG-2 22050 Hz 64 kbit/s mono with CRC: 208 bytes, o = 15
    g.bitrate = 8;
    g.mode = 3;
    g.protection = 0;
    cases.push_back({g, 193});
    g.version_bits = 0; // MPEG-2.5 8000 Hz 8 kbit/s stereo: 72 bytes, o = 21
    g.freq = 2;
    g.bitrate = 1;
    g.mode = 0;
    g.protection = 1;
    cases.push_back({g, 51});
    FrameSpec h; // MPEG-1 32000 Hz 320 kbit/s stereo: 1440 bytes
    h.freq = 2;
    h.bitrate = 14;
    cases.push_back({h, 1404});
    for (const Case& c : cases) {
        SideInfoReader r;
        r.load(build_frame(c.f));
        ASSERT_EQ(mp3::read_side_info(r.br, r.inst.p), 0);
        EXPECT_EQ(mp3::main_data_bytes(r.br, r.inst.p), c.m);
        EXPECT_EQ(r.inst->ff_state, 0);
    }
}

// Free format: the first frame is measured up to the next free-format Layer III header
// with a valid sampling frequency; later frames reuse the length with their own padding.
TEST(SideInfo, FreeFormatMeasurement) {
    FrameSpec f;
    f.bitrate = 0;
    f.freq = 0;
    f.mode = 0; // stereo, o = 36
    std::vector<uint8_t> main(1500, 0x00);
    auto put = [&](size_t at, std::initializer_list<uint8_t> b) {
        std::copy(b.begin(), b.end(), main.begin() + static_cast<long>(at));
    };
    put(50, {0xFF, 0xFB, 0x10, 0x00});  // has a bitrate index
    put(80, {0xFF, 0xFB, 0x0C, 0x00});  // reserved sampling frequency
    put(100, {0xFF, 0xFD, 0x00, 0x00}); // Layer II
    put(120, {0xFE, 0xFB, 0x00, 0x00});
    put(200, {0xFF, 0xFB, 0x02, 0x00}); // the next frame (padding bit set)
    f.main_data = main;
    {
        SideInfoReader r;
        r.load(build_frame(f));
        ASSERT_EQ(mp3::read_side_info(r.br, r.inst.p), 0);
        const long at = r.bits();
        EXPECT_EQ(mp3::main_data_bytes(r.br, r.inst.p), 200);
        EXPECT_EQ(r.bits(), at); // the scan moves nothing
        EXPECT_EQ(r.inst->ff_state, 236);
        // The next frame, with padding and one channel: o = 4 + 17 - 1 = 20.
        FrameSpec n = f;
        n.padding = 1;
        n.mode = 3;
        n.main_data.clear();
        r.load(build_frame(n));
        ASSERT_EQ(mp3::read_side_info(r.br, r.inst.p), 0);
        EXPECT_EQ(mp3::main_data_bytes(r.br, r.inst.p), 216);
        // A header with a bitrate index forgets the length.
        FrameSpec b = mpeg1_stereo_128k();
        r.load(build_frame(b));
        EXPECT_EQ(r.inst->ff_state, 0);
    }
    // MPEG-2.5 and MPEG-2 headers end the measurement as well.
    for (uint8_t second : {0xE3, 0xF3, 0xE2, 0xFA}) {
        std::vector<uint8_t> m2(1500, 0);
        m2[7] = 0xFF;
        m2[8] = second;
        m2[9] = 0x08;
        f.main_data = m2;
        SideInfoReader r;
        r.load(build_frame(f));
        ASSERT_EQ(mp3::read_side_info(r.br, r.inst.p), 0);
        EXPECT_EQ(mp3::main_data_bytes(r.br, r.inst.p), 7) << int(second);
    }
    // The last offset examined is 2880 (a 2881-byte frame); nothing found gives m = 0 and
    // ff_state = o.
    for (size_t at : {size_t{2880}, size_t{2881}}) {
        std::vector<uint8_t> m3(2950, 0x11);
        m3[at] = 0xFF;
        m3[at + 1] = 0xFB;
        m3[at + 2] = 0x04;
        f.main_data = m3;
        SideInfoReader r;
        r.load(build_frame(f));
        ASSERT_EQ(mp3::read_side_info(r.br, r.inst.p), 0);
        EXPECT_EQ(mp3::main_data_bytes(r.br, r.inst.p), at == 2880 ? 2880 : 0);
        EXPECT_EQ(r.inst->ff_state, at == 2880 ? 2880 + 36 : 36);
    }
}

// ---------------------------------------------------------------------------------------
// Scale factors

struct ScaleFactors {
    Instance inst;
    BitWriter w;

    // The writer's bytes become the whole reservoir content, read from its start.
    void load() {
        std::vector<uint8_t> b = w.bytes;
        b.resize(b.size() + 4, 0);
        for (size_t i = 0; i < b.size(); ++i) {
            uint16_t& u = inst->reservoir[i / 2];
            u = static_cast<uint16_t>((i & 1) != 0 ? (u & 0xFF00) | b[i]
                                                   : (u & 0x00FF) | (b[i] << 8));
        }
        inst->res_wr = static_cast<int32_t>(b.size());
        inst->res_rd = 0;
        inst->res_bits = 16;
    }
    tGranuleInfo& gi(int gr, int ch) { return inst->side[ch].gr_info[gr]; }
    uint8_t* sf(int ch) { return inst->scalefac[ch]; }
    void preset(int ch, uint8_t v) { std::memset(inst->scalefac[ch], v, 40); }
};

uint8_t value_for(int i, int bits) {
    return static_cast<uint8_t>((i * 5 + 3) & ((1 << bits) - 1));
}

TEST(ScaleFactorsMpeg1, LongBlocksBandLengths) {
    ScaleFactors t;
    t.inst->version = 1;
    t.gi(0, 0).block_type = 0;
    t.gi(0, 0).scalefac_compress = 12; // slen1 3, slen2 2
    for (int b = 0; b < 21; ++b)
        t.w.put(value_for(b, b < 11 ? 3 : 2), b < 11 ? 3 : 2);
    t.w.put(0x5, 3); // not scale factors
    t.load();
    t.preset(0, 99);
    mp3::read_scalefactors_mpeg1(t.inst.p, 0, 0);
    for (int b = 0; b < 21; ++b)
        EXPECT_EQ(t.sf(0)[b], value_for(b, b < 11 ? 3 : 2)) << b;
    EXPECT_EQ(t.sf(0)[21], 0);
    EXPECT_EQ(t.sf(0)[22], 99);
    EXPECT_EQ(mp3::res_position(t.inst.p), 11 * 3 + 10 * 2);
    EXPECT_EQ(mp3::res_getbits(t.inst.p, 3), 5u);
}

TEST(ScaleFactorsMpeg1, CompressZeroReadsNothing) {
    ScaleFactors t;
    t.inst->version = 1;
    t.gi(0, 1).scalefac_compress = 0;
    t.w.put(0xFFFF, 16);
    t.load();
    t.preset(1, 77);
    mp3::read_scalefactors_mpeg1(t.inst.p, 0, 1);
    for (int b = 0; b < 22; ++b)
        EXPECT_EQ(t.sf(1)[b], 0) << b;
    EXPECT_EQ(t.sf(1)[22], 77);
    EXPECT_EQ(mp3::res_position(t.inst.p), 0);
}

TEST(ScaleFactorsMpeg1, ScfsiKeepsGranuleZeroGroups) {
    // scfsi 1111 in granule 1: no bits read, bytes 0..20 kept.
    {
        ScaleFactors t;
        t.inst->version = 1;
        t.inst->side[0].scfsi = 0xF;
        t.gi(1, 0).scalefac_compress = 15;
        t.w.put(0xFFFF, 16);
        t.load();
        for (int b = 0; b < 40; ++b)
            t.sf(0)[b] = static_cast<uint8_t>(b + 1);
        mp3::read_scalefactors_mpeg1(t.inst.p, 1, 0);
        for (int b = 0; b < 21; ++b)
            EXPECT_EQ(t.sf(0)[b], b + 1);
        EXPECT_EQ(t.sf(0)[21], 0);
        EXPECT_EQ(mp3::res_position(t.inst.p), 0);
    }
    // scfsi 0101: groups 1 (bands 6..10) and 3 (16..20) kept, 0 and 2 read.
    {
        ScaleFactors t;
        t.inst->version = 1;
        t.inst->side[1].scfsi = 0x5;
        t.gi(1, 1).scalefac_compress = 15; // slen1 4, slen2 3
        for (int b = 0; b < 6; ++b)
            t.w.put(value_for(b, 4), 4);
        for (int b = 11; b < 16; ++b)
            t.w.put(value_for(b, 3), 3);
        t.load();
        for (int b = 0; b < 40; ++b)
            t.sf(1)[b] = static_cast<uint8_t>(100 + b);
        mp3::read_scalefactors_mpeg1(t.inst.p, 1, 1);
        for (int b = 0; b < 21; ++b) {
            const bool kept = (b >= 6 && b <= 10) || b >= 16;
            EXPECT_EQ(t.sf(1)[b], kept ? 100 + b : value_for(b, b < 11 ? 4 : 3)) << b;
        }
        EXPECT_EQ(t.sf(1)[21], 0);
        EXPECT_EQ(mp3::res_position(t.inst.p), 6 * 4 + 5 * 3);
    }
    // Granule 0 ignores scfsi.
    {
        ScaleFactors t;
        t.inst->version = 1;
        t.inst->side[0].scfsi = 0xF;
        t.gi(0, 0).scalefac_compress = 5; // slen1 1, slen2 1
        for (int b = 0; b < 21; ++b)
            t.w.put(1, 1);
        t.load();
        t.preset(0, 9);
        mp3::read_scalefactors_mpeg1(t.inst.p, 0, 0);
        for (int b = 0; b < 21; ++b)
            EXPECT_EQ(t.sf(0)[b], 1) << b;
        EXPECT_EQ(mp3::res_position(t.inst.p), 21);
    }
}

TEST(ScaleFactorsMpeg1, ShortBlocksWithFourBitFields) {
    ScaleFactors t;
    t.inst->version = 1;
    t.gi(0, 0).block_type = 2;
    t.gi(0, 0).scalefac_compress = 14; // slen1 4, slen2 2
    for (int i = 0; i < 36; ++i)
        t.w.put(value_for(i, i < 18 ? 4 : 2), i < 18 ? 4 : 2);
    t.load();
    t.preset(0, 50);
    mp3::read_scalefactors_mpeg1(t.inst.p, 0, 0);
    for (int i = 0; i < 36; ++i)
        EXPECT_EQ(t.sf(0)[i], value_for(i, i < 18 ? 4 : 2)) << i;
    EXPECT_EQ(t.sf(0)[36], 0);
    EXPECT_EQ(t.sf(0)[37], 0);
    EXPECT_EQ(t.sf(0)[38], 0);
    EXPECT_EQ(t.sf(0)[39], 50);
    EXPECT_EQ(mp3::res_position(t.inst.p), 18 * 4 + 18 * 2);
}

TEST(ScaleFactorsMpeg1, MixedBlocks) {
    ScaleFactors t;
    t.inst->version = 1;
    t.gi(1, 1).block_type = 2;
    t.gi(1, 1).mixed_block_flag = 1;
    t.gi(1, 1).scalefac_compress = 10; // slen1 2, slen2 3
    t.inst->side[1].scfsi = 0xF;       // not used by short blocks
    // 8 long bands and short bands 3..5 with slen1, short bands 6..11 with slen2
    for (int i = 0; i < 35; ++i)
        t.w.put(value_for(i, i < 17 ? 2 : 3), i < 17 ? 2 : 3);
    t.load();
    t.preset(1, 60);
    mp3::read_scalefactors_mpeg1(t.inst.p, 1, 1);
    for (int i = 0; i < 35; ++i)
        EXPECT_EQ(t.sf(1)[i], value_for(i, i < 17 ? 2 : 3)) << i;
    EXPECT_EQ(t.sf(1)[35], 0);
    EXPECT_EQ(t.sf(1)[36], 0);
    EXPECT_EQ(t.sf(1)[37], 0);
    EXPECT_EQ(t.sf(1)[38], 60);
    EXPECT_EQ(mp3::res_position(t.inst.p), 17 * 2 + 18 * 3);
}

TEST(ScaleFactorsLsf, PartitionTableMatchesTheSharedTable) {
    const std::string path = std::string(VEXA_TABLE_DIR) + "/nr_of_sfb_block.tsv";
    std::ifstream in(path);
    if (!in) GTEST_SKIP() << "no table file at " << path;
    std::string line;
    int rows = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line.rfind("row", 0) == 0) continue;
        std::istringstream s(line);
        int row, col, p[4];
        ASSERT_TRUE(s >> row >> col >> p[0] >> p[1] >> p[2] >> p[3]) << line;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(mp3::nr_of_sfb_block[row][col][i], p[i]) << line;
        ++rows;
    }
    EXPECT_EQ(rows, 18);
}

// One case per row: scalefac_compress, the lengths it gives, and whether preflag is set.
struct LsfCase {
    int ch;
    uint32_t mode, mode_ext, c;
    int row;
    int slen[4];
    bool preflag;
};

TEST(ScaleFactorsLsf, RowsLengthsAndLayouts) {
    const LsfCase cases[] = {
        {0, 1, 1, 279, 0, {3, 2, 1, 3}, false}, // (279 / 16) = 17 = 3 * 5 + 2; 279 & 15 = 7
        {0, 0, 0, 457, 1, {2, 4, 1, 0}, false}, // d = 57: 14 = 2 * 5 + 4, 57 & 3 = 1
        {0, 1, 1, 511, 2, {3, 2, 0, 0}, true},  // d = 11
        {1, 1, 1, 355, 3, {4, 5, 3, 0}, false}, // i = 177 = 4 * 36 + 5 * 6 + 3
        {1, 1, 3, 468, 4, {3, 1, 2, 0}, false}, // i = 234, d = 54 = 3 * 16 + 1 * 4 + 2
        {1, 1, 1, 503, 5, {2, 1, 0, 0}, false}, // i = 251, d = 7
        {0, 1, 1, 503, 2, {1, 0, 0, 0}, true},  // the left channel keeps rows 0..2
        {1, 1, 2, 503, 2, {1, 0, 0, 0}, true},  // mid/side only: no intensity partitions
        {1, 0, 1, 503, 2, {1, 0, 0, 0}, true},  // plain stereo ignores stray extension bits
    };
    for (const LsfCase& c : cases) {
        for (int kind = 0; kind < 3; ++kind) {
            ScaleFactors t;
            t.inst->version = 0;
            t.inst->mode = static_cast<uint8_t>(c.mode);
            t.inst->mode_extension = static_cast<uint8_t>(c.mode_ext);
            tGranuleInfo& g = t.gi(0, c.ch);
            g.block_type = kind == 0 ? 0 : 2;
            g.mixed_block_flag = kind == 2 ? 1 : 0;
            g.scalefac_compress = static_cast<uint16_t>(c.c);
            g.gr_flags = 3;
            std::vector<uint8_t> expect(40, 0);
            int pos = 0, bits = 0;
            for (int p = 0; p < 4; ++p) {
                for (int j = 0; j < mp3::nr_of_sfb_block[c.row][kind][p]; ++j) {
                    const uint8_t v = c.slen[p] == 0 ? 0 : value_for(pos, c.slen[p]);
                    t.w.put(v, c.slen[p]);
                    bits += c.slen[p];
                    expect[pos++] = v;
                }
            }
            t.w.put(0xFFFF, 16);
            t.load();
            t.preset(c.ch, 0xEE);
            mp3::read_scalefactors_lsf(t.inst.p, 0, c.ch);
            SCOPED_TRACE(testing::Message() << "c " << c.c << " ch " << c.ch << " kind " << kind);
            for (int i = 0; i < 40; ++i) {
                if (i < 20 && i >= pos) {
                    EXPECT_EQ(t.sf(c.ch)[i], 0xEE) << i; // the reader does not clear below 20
                } else {
                    EXPECT_EQ(t.sf(c.ch)[i], expect[i]) << i;
                }
            }
            EXPECT_EQ(mp3::res_position(t.inst.p), bits);
            EXPECT_EQ(g.gr_flags, c.preflag ? 7 : 3);
        }
    }
}

TEST(ScaleFactorsLsf, Compress500LongBlocksReadNothing) {
    ScaleFactors t;
    t.inst->version = 2;
    t.gi(0, 0).scalefac_compress = 500;
    t.w.put(0xFFFF, 16);
    t.load();
    t.preset(0, 0xEE);
    mp3::read_scalefactors_lsf(t.inst.p, 0, 0);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(t.sf(0)[i], 0) << i;
    EXPECT_EQ(t.gi(0, 0).gr_flags & 4, 4);
    EXPECT_EQ(mp3::res_position(t.inst.p), 0);
}

// Long blocks of rows 0 and 1 store band 20 as the 21st value and band 21 as 0.
TEST(ScaleFactorsLsf, LongLayoutEndsWithBand21Zero) {
    ScaleFactors t;
    t.inst->version = 0;
    t.gi(0, 0).scalefac_compress = 399; // row 0: slen 4, 4, 3, 3
    for (int i = 0; i < 21; ++i)
        t.w.put(i < 11 ? 15 : 7, i < 11 ? 4 : 3);
    t.load();
    t.preset(0, 0xEE);
    mp3::read_scalefactors_lsf(t.inst.p, 0, 0);
    EXPECT_EQ(t.sf(0)[20], 7);
    EXPECT_EQ(t.sf(0)[21], 0);
    EXPECT_EQ(t.sf(0)[0], 15);
}

// ---------------------------------------------------------------------------------------
// Frame driver

TEST_F(FrameDriver, FirstFrameWithZeroBeginDecodesAndEndsAtTheNextHeader) {
    FrameSpec f = mpeg1_stereo_128k();
    f.main_data = pattern(381, 1);
    Stream s;
    s.append(build_frame(f));
    s.append(build_frame(f));
    ASSERT_EQ(s.bytes.size(), 834u);
    s.start();
    ASSERT_EQ(decode(s), eNoErr);
    EXPECT_EQ(s.position_bits(), 8 * 417);
    for (int i = 0; i < MP3_MAX_SAMPLES; ++i) {
        ASSERT_EQ(left[i], 0) << i;
        ASSERT_EQ(right[i], 0) << i;
    }
    EXPECT_EQ(mp3::res_avail(inst.p), 381);
    EXPECT_EQ(unread(), f.main_data);
    ASSERT_EQ(decode(s), eNoErr);
    EXPECT_EQ(s.position_bits(), 8 * 834);
    EXPECT_EQ(unread(), f.main_data); // begin 0: the older bytes are of no use any more
}

TEST_F(FrameDriver, NonzeroBeginAfterResetIsDiscardedAndItsDataKept) {
    FrameSpec f = mpeg1_stereo_128k();
    f.main_data_begin = 1;
    f.main_data = pattern(381, 2);
    Stream s;
    s.append(build_frame(f));
    s.start();
    ASSERT_EQ(decode(s), eFrameDiscarded);
    EXPECT_EQ(s.position_bits(), 8 * 417);
    EXPECT_EQ(left[0], 0x5555); // no PCM
    EXPECT_EQ(right[0], 0x2AAA);
    EXPECT_EQ(unread(), f.main_data);
}

// A frame whose main_data_begin equals the unread bytes starts at the oldest of them; one
// more is discarded and still stores its main data.
TEST_F(FrameDriver, MainDataBeginAgainstTheReservoir) {
    FrameSpec first = mpeg1_stereo_128k();
    first.main_data = pattern(381, 3);
    FrameSpec second = mpeg1_stereo_128k();
    second.main_data_begin = 381;
    second.scfsi[0] = 0xF; // granule 1 of channel 0 keeps granule 0's scale factors
    second.gr[0][0].scalefac_compress = 15; // slen1 4, slen2 3: 74 bits
    second.gr[0][0].part2_3_length = 74;
    second.gr[1][0].scalefac_compress = 15;
    second.main_data = pattern(381, 4);
    {
        Stream s;
        s.append(build_frame(first));
        s.append(build_frame(second));
        s.start();
        ASSERT_EQ(decode(s), eNoErr);
        ASSERT_EQ(decode(s), eNoErr);
        EXPECT_EQ(s.position_bits(), 8 * 834);
        // Bands 0..10 in 4 bits, 11..20 in 3 bits, from the first frame's first byte.
        BitWriter expect_bits;
        expect_bits.put_bytes(
            std::vector<uint8_t>(first.main_data.begin(), first.main_data.begin() + 10));
        long bit = 0;
        auto take = [&](int n) {
            uint32_t v = 0;
            for (int i = 0; i < n; ++i, ++bit) {
                v = (v << 1) | ((expect_bits.bytes[bit / 8] >> (7 - bit % 8)) & 1);
            }
            return v;
        };
        for (int b = 0; b < 21; ++b)
            EXPECT_EQ(inst->scalefac[0][b], take(b < 11 ? 4 : 3)) << b;
        // Everything before the frame's own data was used: what stays unread is the first
        // frame's bytes after the 74 bits (10 bytes, the started one counted as read), then
        // all of the second frame's.
        std::vector<uint8_t> expect(first.main_data.begin() + 10, first.main_data.end());
        expect.insert(expect.end(), second.main_data.begin(), second.main_data.end());
        expect.erase(expect.begin(), expect.begin() + static_cast<long>(expect.size() - 512));
        EXPECT_EQ(unread(), expect);
    }
    {
        second.main_data_begin = 382;
        Stream s;
        s.append(build_frame(first));
        s.append(build_frame(second));
        s.start();
        ASSERT_EQ(decode(s), eNoErr);
        left.fill(0x5555);
        ASSERT_EQ(decode(s), eFrameDiscarded);
        EXPECT_EQ(s.position_bits(), 8 * 834);
        EXPECT_EQ(left[0], 0x5555);
        std::vector<uint8_t> expect(first.main_data.begin() + 250, first.main_data.end());
        expect.insert(expect.end(), second.main_data.begin(), second.main_data.end());
        EXPECT_EQ(unread(), expect);
    }
}

// A frame that brings more main data than the 512 bytes kept after it.
TEST_F(FrameDriver, AtMost512UnreadBytesAfterAnyFrame) {
    FrameSpec small; // 32000 Hz, 128 kbit/s: 576 bytes, m = 540
    small.freq = 2;
    small.bitrate = 9;
    small.main_data = pattern(540, 5);
    FrameSpec big = small; // 320 kbit/s: 1440 bytes, m = 1404
    big.bitrate = 14;
    big.main_data = pattern(1404, 6);
    const std::vector<uint8_t> last512(big.main_data.end() - 512, big.main_data.end());
    for (uint32_t begin : {0u, 511u}) {
        reset();
        Stream s;
        s.append(build_frame(small));
        big.main_data_begin = begin;
        s.append(build_frame(big));
        s.start();
        ASSERT_EQ(decode(s), eNoErr);
        EXPECT_EQ(s.position_bits(), 8 * 576);
        EXPECT_EQ(unread(),
                  std::vector<uint8_t>(small.main_data.begin() + 28, small.main_data.end()));
        ASSERT_EQ(decode(s), eNoErr) << begin;
        EXPECT_EQ(s.position_bits(), 8 * (576 + 1440));
        EXPECT_EQ(unread(), last512);
    }
    // Discarded: nothing was unread before, so only the frame's first bytes are skipped.
    {
        reset();
        Stream s;
        big.main_data_begin = 1;
        s.append(build_frame(big));
        s.start();
        ASSERT_EQ(decode(s), eFrameDiscarded);
        EXPECT_EQ(s.position_bits(), 8 * 1440);
        EXPECT_EQ(unread(), last512);
    }
}

TEST_F(FrameDriver, BrokenSideInformationLeavesTheReservoirAlone) {
    FrameSpec first = mpeg1_stereo_128k();
    first.main_data = pattern(381, 8);
    for (int slot = 0; slot < 4; ++slot) {
        FrameSpec bad = mpeg1_stereo_128k();
        bad.protection = 0;
        bad.crc = 0x1234;
        bad.main_data_begin = 100;
        bad.gr[slot / 2][slot % 2].window_switching = true;
        bad.gr[slot / 2][slot % 2].block_type = 0;
        Stream s;
        s.append(build_frame(first));
        s.append(build_frame(bad));
        s.start();
        reset();
        ASSERT_EQ(decode(s), eNoErr);
        std::vector<uint16_t> ring(inst->reservoir, inst->reservoir + 512);
        const int32_t wr = inst->res_wr, rd = inst->res_rd, bits = inst->res_bits;
        left.fill(0x5555);
        ASSERT_EQ(decode(s), eBrokenFrame) << slot;
        EXPECT_EQ(s.position_bits(), 8 * (417 + 4 + 2)); // after header and CRC word
        EXPECT_EQ(std::vector<uint16_t>(inst->reservoir, inst->reservoir + 512), ring);
        EXPECT_EQ(inst->res_wr, wr);
        EXPECT_EQ(inst->res_rd, rd);
        EXPECT_EQ(inst->res_bits, bits);
        EXPECT_EQ(left[0], 0x5555);
    }
}

// The CRC word is skipped whatever it holds.
TEST_F(FrameDriver, CrcWordSkippedUnchecked) {
    for (uint32_t crc : {0x0000u, 0xFFFFu, 0xA5C3u}) {
        FrameSpec f = mpeg1_stereo_128k();
        f.protection = 0;
        f.crc = crc;
        f.main_data = pattern(379, 9);
        Stream s;
        s.append(build_frame(f));
        s.start();
        reset();
        ASSERT_EQ(decode(s), eNoErr) << crc;
        EXPECT_EQ(s.position_bits(), 8 * 417);
        EXPECT_EQ(unread(), f.main_data);
    }
}

TEST_F(FrameDriver, MonoWritesOnlyTheLeftArray) {
    FrameSpec f = mpeg1_stereo_128k();
    f.mode = 3;
    Stream s;
    s.append(build_frame(f));
    s.start();
    ASSERT_EQ(decode(s), eNoErr);
    for (int i = 0; i < MP3_MAX_SAMPLES; ++i) {
        ASSERT_EQ(left[i], 0) << i;
        ASSERT_EQ(right[i], 0x2AAA) << i;
    }
}

TEST_F(FrameDriver, LowSamplingFrequenciesYieldOneGranule) {
    for (uint32_t version : {2u, 0u}) {
        FrameSpec f;
        f.version_bits = version;
        f.bitrate = 8;
        f.mode = 1;
        Stream s;
        s.append(build_frame(f));
        s.start();
        left.fill(0x5555);
        right.fill(0x2AAA);
        ASSERT_EQ(decode(s), eNoErr);
        EXPECT_EQ(s.position_bits(), 8L * f.length());
        for (int i = 0; i < MP3_MAX_SAMPLES; ++i) {
            ASSERT_EQ(left[i], i < 576 ? 0 : 0x5555) << i;
            ASSERT_EQ(right[i], i < 576 ? 0 : 0x2AAA) << i;
        }
    }
}

// Whatever part2_3_length, big_values and main_data_begin say, a frame with a bitrate
// index ends where its header says, for every version, rate, channel mode, CRC and padding.
TEST_F(FrameDriver, EndsAtTheNextHeaderWhateverTheSideInformationSays) {
    uint32_t seed = 1;
    for (uint32_t version : {3u, 2u, 0u}) {
        for (uint32_t bitrate = 1; bitrate < 15; ++bitrate) {
            for (uint32_t freq = 0; freq < 3; ++freq) {
                for (uint32_t mode : {1u, 3u}) {
                    FrameSpec f;
                    f.version_bits = version;
                    f.bitrate = bitrate;
                    f.freq = freq;
                    f.mode = mode;
                    f.mode_ext = 3;
                    f.protection = seed & 1;
                    f.padding = (seed >> 1) & 1;
                    f.main_data_begin = seed % 3 == 0 ? 0 : 200;
                    for (auto& gr : f.gr) {
                        for (GranuleSpec& g : gr) {
                            g.part2_3_length = 4095;
                            g.big_values = 511;
                            g.global_gain = 255;
                            g.scalefac_compress = f.mpeg1() ? 15 : 511;
                            g.tables = 0x7FFF & (0x1234 * seed);
                            g.region0 = 15;
                            g.region1 = 7;
                        }
                    }
                    f.main_data = pattern(1500, seed++);
                    Stream s;
                    s.append(build_frame(f));
                    s.append(build_frame(f));
                    s.start();
                    SCOPED_TRACE(testing::Message()
                                 << "version " << version << " bitrate " << bitrate << " freq "
                                 << freq << " mode " << mode);
                    for (int frame = 1; frame <= 2; ++frame) {
                        const tMPEGStatus st = decode(s);
                        EXPECT_TRUE(st == eNoErr || st == eFrameDiscarded) << st;
                        EXPECT_EQ(s.position_bits(), 8L * frame * f.length());
                    }
                    EXPECT_LE(mp3::res_avail(inst.p), 512);
                }
            }
        }
    }
}

// The byte counters only matter mod 1024; a long run must not overflow them.
TEST_F(FrameDriver, ReservoirCountersStaySmallInALongRun) {
    FrameSpec f;
    f.freq = 2;
    f.bitrate = 14;
    f.main_data = pattern(1404, 10);
    Stream s;
    s.append(build_frame(f));
    s.append(build_frame(f));
    s.start();
    ASSERT_EQ(decode(s), eNoErr);
    // The same reservoir state, as after 2 GiB of main data: one more frame of 1404 bytes
    // would carry the byte count past 2^31 - 1.
    const int32_t avail = mp3::res_avail(inst.p);
    inst->res_wr = (inst->res_wr & 1023) + 2147482624; // 2^31 - 1024
    EXPECT_EQ(mp3::res_avail(inst.p), avail);
    ASSERT_EQ(decode(s), eNoErr);
    EXPECT_LT(inst->res_wr, 4096);
    EXPECT_EQ(unread(), std::vector<uint8_t>(f.main_data.end() - 512, f.main_data.end()));
}

// A header MP3DecodeInfo refused leaves the data call nothing to decode with; it reads
// nothing past the header.
TEST(FrameDriverRefused, NothingReadAfterARefusedHeader) {
    for (uint32_t h : {0xFFFB9C64u, 0xFFFBF064u, 0xFFFD9064u, 0xFFFF9064u, 0xFFF99064u}) {
        Instance inst;
        uint32_t* words = static_cast<uint32_t*>(std::malloc(4));
        words[0] = h;
        tMPEGBitstream bs{words, 0};
        tMPEGHeader hdr{};
        EXPECT_NE(MP3DecodeInfo(inst.p, &bs, &hdr), eNoErr);
        std::array<int16_t, MP3_MAX_SAMPLES> l{}, r{};
        const tMPEGStatus st = MP3DecodeData(inst.p, l.data(), r.data(), &bs);
        EXPECT_TRUE(st == eUnsupportedLayer || st == eBrokenFrame) << std::hex << h;
        EXPECT_EQ(bs.bufptr, words);
        EXPECT_EQ(bs.bitidx, 32);
        std::free(words);
    }
}

// ---------------------------------------------------------------------------------------
// The player's frame feed on the conformance streams and the project's fixtures

// Frame length from the header bytes with the standard's tables; 0 for free format.
int frame_length(const std::string& b, int64_t at) {
    const auto h = reinterpret_cast<const uint8_t*>(b.data() + at);
    FrameSpec f;
    f.version_bits = (h[1] >> 3) & 3;
    f.bitrate = h[2] >> 4;
    f.freq = (h[2] >> 2) & 3;
    f.padding = (h[2] >> 1) & 1;
    return f.length();
}

bool free_format_header_at(const std::string& s, int64_t at) {
    const auto b = [&s](int64_t i) { return static_cast<uint8_t>(s[static_cast<size_t>(i)]); };
    return at + 2 < static_cast<int64_t>(s.size()) && b(at) == 0xFF && (b(at + 1) & 0xE6) == 0xE2 &&
           (b(at + 2) & 0xF0) == 0 && (b(at + 2) & 0x0C) != 0x0C;
}

// Every frame reached the decoder where the one before ended and ended where its header
// says (free format: at the next header, or at the end), nothing was passed over or
// refused, and only up to two frames at the start waited for the reservoir.
void expect_frame_after_frame(const std::string& bytes, const FedStream& f) {
    EXPECT_EQ(f.not_stream, 0);
    EXPECT_EQ(f.bad_headers, 0);
    ASSERT_FALSE(f.frames.empty());
    const auto size = static_cast<int64_t>(bytes.size());
    int64_t expected = f.frames[0].at, last_length = 0;
    size_t discarded = 0;
    for (size_t k = 0; k < f.frames.size(); ++k) {
        const FedFrame& fr = f.frames[k];
        ASSERT_EQ(fr.at, expected) << "frame " << k;
        const int length = frame_length(bytes, fr.at);
        EXPECT_EQ(fr.free_format, length == 0 ? 1 : 0) << "frame " << k;
        if (fr.status == eFrameDiscarded && discarded == k) {
            ++discarded;
        } else {
            ASSERT_EQ(fr.status, eNoErr) << "frame " << k;
        }
        if (length > 0) {
            ASSERT_EQ(fr.end, fr.at + length) << "frame " << k;
        } else {
            ASSERT_TRUE(fr.end == size || free_format_header_at(bytes, fr.end))
                << "frame " << k << " ends at " << fr.end;
            if (last_length != 0) {
                EXPECT_LE(std::abs(fr.end - fr.at - last_length), 1);
            }
        }
        last_length = fr.end - fr.at;
        expected = fr.end;
    }
    EXPECT_LE(discarded, 2u);
    EXPECT_GT(f.decoded, 0);
    // Only a cut-short last frame, or a tag, is left over.
    EXPECT_LT(size - expected, 1441);
}

// The stream without the last four bytes of its last frame (the zero bytes that fill up
// the stream's last word stand in for up to three), or with only two bytes of that
// frame's header, gives the frames before it and nothing else.
void expect_clean_ends(const std::string& bytes, const FedStream& whole) {
    const FedFrame& last = whole.frames.back();
    for (const int64_t cut : {last.end - 4, last.at + 2}) {
        const FedStream f = feed_stream(bytes.substr(0, static_cast<size_t>(cut)));
        EXPECT_EQ(f.decoded, whole.decoded - 1) << "cut at " << cut;
        EXPECT_EQ(f.cut_short, cut == last.end - 4) << "cut at " << cut;
        ASSERT_LE(f.pcm.size(), whole.pcm.size());
        EXPECT_TRUE(std::equal(f.pcm.begin(), f.pcm.end(), whole.pcm.begin())) << "cut at " << cut;
    }
}

TEST(FrameFeed, ConformanceStreamsFrameByFrameAgainstTheirReferences) {
    const std::string dir = std::string(VEXA_VECTOR_DIR) + "/";
    if (!file_exists(dir + "l3-compl.bit")) {
        GTEST_SKIP() << "conformance streams not found in " << dir;
    }
    for (const char* name :
         {"l3-compl", "l3-he_32khz", "l3-he_44khz", "l3-he_48khz", "l3-he_free", "l3-he_mode",
          "l3-hecommon", "l3-si", "l3-si_block", "l3-si_huff", "l3-sin1k0db", "M2L3_bitrate_16_all",
          "M2L3_bitrate_22_all", "M2L3_bitrate_24_all", "M2L3_compl24", "M2L3_noise"}) {
        SCOPED_TRACE(name);
        const std::string bytes = read_file(dir + name + ".bit");
        const FedStream f = feed_stream(bytes);
        expect_frame_after_frame(bytes, f);
        expect_clean_ends(bytes, f);
        // Within one step of the reference, which may stop one frame short of the stream.
        const std::vector<int16_t> ref = pcm_samples(read_file(dir + name + ".pcm"));
        EXPECT_GE(f.pcm.size(), ref.size());
        EXPECT_LE(f.pcm.size(), ref.size() + 2 * MP3_MAX_SAMPLES);
        int worst = 0;
        for (size_t i = 0; i < std::min(ref.size(), f.pcm.size()); ++i)
            worst = std::max(worst, std::abs(f.pcm[i] - ref[i]));
        EXPECT_LE(worst, 1);
        std::printf("%-22s %5zu frames, %d decoded\n", name, f.frames.size(), f.decoded);
    }
}

TEST(FrameFeed, FixturesFrameByFrame) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(VEXA_SOURCE_DIR) +
                                                                 "/tests/fixtures/mp3")) {
        SCOPED_TRACE(entry.path().filename().string());
        const std::string bytes = read_file(entry.path().string());
        const FedStream f = feed_stream(bytes);
        expect_frame_after_frame(bytes, f);
        expect_clean_ends(bytes, f);
        // Every sync word tried, the same frames come out of a clean stream.
        EXPECT_EQ(feed_stream(bytes, 0).pcm, f.pcm);
        ++files;
    }
    EXPECT_GT(files, 10);
}

// ---------------------------------------------------------------------------------------
// Hostile input, on buffers of exactly the size mp3dec.h asks for (run under the
// sanitizer build to catch a read past them).

struct ExactBuffer {
    uint32_t* w;
    size_t n;
    explicit ExactBuffer(size_t words)
        : w(static_cast<uint32_t*>(std::malloc(words * 4))), n(words) {}
    ~ExactBuffer() { std::free(w); }
    ExactBuffer(const ExactBuffer&) = delete;
    ExactBuffer& operator=(const ExactBuffer&) = delete;
    void fill(const std::vector<uint8_t>& bytes) {
        for (size_t i = 0; i < n; ++i) {
            uint32_t v = 0;
            for (size_t k = 0; k < 4; ++k) {
                const size_t j = 4 * i + k;
                v |= uint32_t{j < bytes.size() ? bytes[j] : uint8_t{0}} << (24 - 8 * k);
            }
            w[i] = v;
        }
    }
};

// Searches, reads the header and decodes one frame that starts `offset` bytes into a
// buffer holding exactly the bytes the header requires. stream = offset zero bytes, the
// header, then the frame's bytes (cut to fit, zeros when short).
tMPEGStatus run_exact(tMPEGInstance* inst, std::vector<uint8_t> frame, int offset, int16_t* left,
                      int16_t* right) {
    frame.insert(frame.begin(), static_cast<size_t>(offset), uint8_t{0});
    long required = 0;
    {
        ExactBuffer head((static_cast<size_t>(offset) + 4 + 3) / 4);
        head.fill(frame);
        tMPEGBitstream bs{head.w, 0};
        EXPECT_EQ(MP3SearchForSyncword(inst, &bs, static_cast<int32_t>(32 * head.n)), eNoErr);
        EXPECT_EQ(bs.bitidx + 32 * (bs.bufptr - head.w), 8 * offset);
        tMPEGHeader h{};
        const tMPEGStatus info = MP3DecodeInfo(inst, &bs, &h);
        if (info != eNoErr) {
            // Nothing more may be read than the header, even by a caller that goes on.
            const tMPEGStatus st = MP3DecodeData(inst, left, right, &bs);
            EXPECT_TRUE(st == eUnsupportedLayer || st == eBrokenFrame);
            return info;
        }
        required = h.free_format != 0 ? MP3_FREE_FORMAT_READ_BYTES : h.bits_required / 8;
    }
    ExactBuffer buf((static_cast<size_t>(offset + 4 + required) + 3) / 4);
    buf.fill(frame);
    tMPEGBitstream bs{buf.w, 0};
    EXPECT_EQ(MP3SearchForSyncword(inst, &bs, static_cast<int32_t>(32 * buf.n)), eNoErr);
    tMPEGHeader h{};
    EXPECT_EQ(MP3DecodeInfo(inst, &bs, &h), eNoErr);
    const tMPEGStatus st = MP3DecodeData(inst, left, right, &bs);
    const long at = bs.bitidx + 32 * (bs.bufptr - buf.w);
    EXPECT_TRUE(st == eNoErr || st == eFrameDiscarded || st == eBrokenFrame) << st;
    EXPECT_LE(at, 8 * (offset + 4 + required));
    if (h.free_format == 0 && st != eBrokenFrame) {
        EXPECT_EQ(at, 8 * (offset + 4 + required));
    }
    EXPECT_GE(mp3::res_avail(inst), 0);
    return st;
}

// Every header field at every value, with bodies of all ones (every length maximal, window
// switching everywhere), all zeros and noise; one instance carries its state throughout.
TEST(HostileInput, EveryHeaderWithExtremeAndRandomBodies) {
    Instance inst;
    std::array<int16_t, MP3_MAX_SAMPLES> left{}, right{};
    int decoded = 0, index = 0;
    for (uint32_t fields = 0; fields < (1u << 14); ++fields) {
        // version 2, layer 2, protection 1, bitrate 4, frequency 2, padding 1, mode 2
        const uint32_t version = fields >> 12, layer = (fields >> 10) & 3, prot = (fields >> 9) & 1;
        const uint32_t bitrate = (fields >> 5) & 15, freq = (fields >> 3) & 3,
                       pad = (fields >> 2) & 1;
        const uint32_t mode = fields & 3;
        const uint32_t ext = (fields * 7) & 3;
        const uint8_t b1 = static_cast<uint8_t>(0xE0 | (version << 3) | (layer << 1) | prot);
        const uint8_t b2 = static_cast<uint8_t>((bitrate << 4) | (freq << 2) | (pad << 1));
        const uint8_t b3 = static_cast<uint8_t>((mode << 6) | (ext << 4));
        for (int body = 0; body < 3; ++body, ++index) {
            std::vector<uint8_t> frame = {0xFF, b1, b2, b3};
            std::vector<uint8_t> rest = body == 0   ? std::vector<uint8_t>(1500, 0xFF)
                                        : body == 1 ? std::vector<uint8_t>(1500, 0x00)
                                                    : pattern(1500, static_cast<uint32_t>(index));
            frame.insert(frame.end(), rest.begin(), rest.end());
            if (run_exact(inst.p, frame, index % 4, left.data(), right.data()) == eNoErr) ++decoded;
        }
    }
    std::printf("%d of %d frames decoded\n", decoded, index);
    EXPECT_GT(decoded, 1000);
}

// Frames with plausible side information whose data is cut short, followed by zeros or
// noise, in one long run; and free-format frames whose channel count, CRC and padding
// change after the measurement.
TEST(HostileInput, TruncatedFramesAndChangingFreeFormat) {
    Instance inst;
    std::array<int16_t, MP3_MAX_SAMPLES> left{}, right{};
    uint32_t seed = 99;
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int i = 0; i < 3000; ++i) {
        FrameSpec f;
        const uint32_t v = next() % 3;
        f.version_bits = v == 0 ? 3 : (v == 1 ? 2 : 0);
        f.bitrate = next() % 15; // free format too
        f.freq = next() % 3;
        f.mode = next() % 4;
        f.mode_ext = next() % 4;
        f.protection = next() & 1;
        f.padding = next() & 1;
        f.main_data_begin = next() % 512;
        for (auto& gr : f.gr) {
            for (GranuleSpec& g : gr) {
                g.part2_3_length = next() % 4096;
                g.big_values = next() % 512;
                g.global_gain = next() % 256;
                g.scalefac_compress = next() % 512;
                g.window_switching = (next() & 3) == 0;
                g.block_type = 1 + next() % 3;
                g.mixed = next() & 1;
                g.tables = next() & (g.window_switching ? 0x3FF : 0x7FFF);
                g.subblock_gain = next() % 512;
                g.region0 = next() % 16;
                g.region1 = next() % 8;
                g.flags = next() % 8 & (f.mpeg1() ? 7 : 3);
            }
        }
        f.scfsi[0] = next() % 16;
        f.scfsi[1] = next() % 16;
        const int length = f.bitrate != 0 ? f.length() : 200 + static_cast<int>(next() % 1300);
        f.main_data = pattern(static_cast<size_t>(length), next());
        std::vector<uint8_t> frame = build_frame(f);
        frame.resize(static_cast<size_t>(length));
        // Cut somewhere after the header; the rest is zeros or noise.
        const size_t cut = 4 + next() % frame.size();
        if (cut < frame.size()) {
            if ((next() & 1) != 0) {
                std::fill(frame.begin() + static_cast<long>(cut), frame.end(), 0);
            } else {
                const std::vector<uint8_t> noise = pattern(frame.size() - cut, next());
                std::copy(noise.begin(), noise.end(), frame.begin() + static_cast<long>(cut));
            }
        }
        run_exact(inst.p, frame, static_cast<int>(next() % 4), left.data(), right.data());
    }
}

// The sync search and the header on noise never read past the bits they are given.
TEST(HostileInput, SyncSearchStaysInsideItsBits) {
    for (uint32_t i = 0; i < 3000; ++i) {
        const size_t words = 1 + i % 40;
        ExactBuffer buf(words);
        std::vector<uint8_t> noise = pattern(words * 4, i);
        for (size_t k = 0; k < noise.size(); k += 1 + i % 7)
            noise[k] |= 0xF0; // more candidates
        buf.fill(noise);
        Instance inst;
        tMPEGBitstream bs{buf.w, static_cast<int32_t>(i % 33)};
        const long total = static_cast<long>(32 * words);
        for (;;) {
            const long at = bs.bitidx + 32 * (bs.bufptr - buf.w);
            if (MP3SearchForSyncword(inst.p, &bs, static_cast<int32_t>(total - at)) != eNoErr)
                break;
            const long found = bs.bitidx + 32 * (bs.bufptr - buf.w);
            ASSERT_EQ(found % 8, 0);
            ASSERT_GE(found, at);
            if (found + 32 > total) break;
            tMPEGHeader h{};
            MP3DecodeInfo(inst.p, &bs, &h);
            ASSERT_EQ(bs.bitidx + 32 * (bs.bufptr - buf.w), found + 32);
        }
    }
}

} // namespace
