// The ISO Layer III conformance bitstreams, decoded whole and compared with their
// reference output: PSNR at least 96 dB and no sample off by more than one step. Then the
// golden hashes: the exact PCM of those streams and of the project's own fixtures, as the
// portable decoder produces it; every faster path must give the same bits.
#include "dsp.h"
#include "mp3files.h"
#include "mp3instance.h"
#include "tempdir.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string fixture_dir = std::string(VEXA_SOURCE_DIR) + "/tests/fixtures/mp3";

struct Decoded {
    std::vector<int16_t> pcm; // each frame interleaved with its own channel count
    int frames = 0;
    int discarded = 0; // frames the reservoir could not serve yet
    int broken = 0;    // any other failure
};

// Decodes a whole stream held in memory, as 32-bit words with the earliest byte in
// bits 31..24 and zero words after the data for the decoder's look-ahead; with the
// decoder's own choice of path, or the one given.
Decoded decode_stream(const std::string& bytes, int path = -1) {
    Decoded out;
    const size_t nwords = (bytes.size() + 3) / 4 + 1024;
    std::vector<uint32_t> words(nwords, 0);
    for (size_t i = 0; i < bytes.size(); ++i)
        words[i / 4] |= uint32_t(uint8_t(bytes[i])) << (24 - 8 * (i % 4));
    const int64_t total_bits = int64_t(bytes.size()) * 8;

    const Instance holder = new_instance();
    tMPEGInstance* inst = holder.get();
    if (path >= 0) {
        EXPECT_EQ(mp3::dsp_select(inst, mp3::tDspPath(path)), path);
    }
    tMPEGBitstream bs{words.data(), 0};
    std::vector<int16_t> left(MP3_MAX_SAMPLES), right(MP3_MAX_SAMPLES);
    for (;;) {
        const int64_t pos = (bs.bufptr - words.data()) * 32 + bs.bitidx;
        if (pos >= total_bits) break;
        if (MP3SearchForSyncword(inst, &bs,
                                 int32_t(std::min<int64_t>(total_bits - pos, 1 << 30))) != eNoErr)
            break;
        tMPEGHeader h{};
        const tMPEGStatus info = MP3DecodeInfo(inst, &bs, &h);
        if (info != eNoErr) {
            if (info == eNoSyncword) break;
            ++out.broken;
            continue;
        }
        const int64_t start = (bs.bufptr - words.data()) * 32 + bs.bitidx;
        // A frame cut short at the end (a free-format frame's length is not in its header).
        if (!h.free_format && start + (h.bits_required & ~7) > total_bits) break;
        const tMPEGStatus st = MP3DecodeData(inst, left.data(), right.data(), &bs);
        ++out.frames;
        if (st == eFrameDiscarded) {
            ++out.discarded;
            continue;
        }
        if (st != eNoErr) {
            ++out.broken;
            continue;
        }
        for (int i = 0; i < h.samplesperchannel; ++i) {
            out.pcm.push_back(left[i]);
            if (h.numchans == 2) out.pcm.push_back(right[i]);
        }
    }
    return out;
}

TEST(Conformance, EveryVectorWithinOneStep) {
    if (!have_vectors()) GTEST_SKIP() << "conformance vectors not found in " << vector_dir();
    std::printf("%-22s %9s %8s %4s %8s\n", "vector", "samples", "rms", "max", "psnr");
    for (const ConformanceVector& v : conformance_vectors) {
        SCOPED_TRACE(v.name);
        const std::string path = vector_dir() + "/" + v.name;
        const Decoded d = decode_stream(read_file(path + ".bit"));
        const PcmComparison c = compare_pcm(d.pcm, pcm_samples(read_file(path + ".pcm")));
        // VEXA_CONFORMANCE_DUMP=DIR keeps each decoded stream for a closer look.
        if (const char* dump = std::getenv("VEXA_CONFORMANCE_DUMP"))
            write_file(std::string(dump) + "/" + v.name + ".pcm", pcm_bytes(d.pcm));
        std::printf("%-22s %9zu %8.4f %4d %8.2f\n", v.name, c.samples, c.rms, c.max_diff, c.psnr);
        EXPECT_EQ(d.broken, 0);
        // Every reference sample is there; at most one more frame follows.
        EXPECT_GE(d.pcm.size(), c.samples);
        EXPECT_LE(d.pcm.size(), c.samples + 2 * MP3_MAX_SAMPLES);
        EXPECT_LE(c.max_diff, CONFORMANCE_MAX_DIFF);
        EXPECT_GE(c.psnr, CONFORMANCE_PSNR_DB);
    }
}

// 64-bit FNV-1a of the samples as little-endian bytes.
uint64_t pcm_hash(const std::vector<int16_t>& pcm) {
    uint64_t h = 0xCBF29CE484222325ULL;
    for (int16_t v : pcm) {
        for (int b = 0; b < 2; ++b) {
            h ^= uint8_t(uint16_t(v) >> (8 * b));
            h *= 0x100000001B3ULL;
        }
    }
    return h;
}

struct Golden {
    const char* file; // under the vector or the fixture folder
    uint64_t hash;
    size_t samples;
};

// Made by the portable decoder. The fixtures come from tools/make_decoder_fixtures.py.
const Golden golden_vectors[] = {
    {"M2L3_bitrate_16_all.bit", 0x2B01F295D6A2DE94ULL, 274176},
    {"M2L3_bitrate_22_all.bit", 0x7CDD0612731953FEULL, 274176},
    {"M2L3_bitrate_24_all.bit", 0x2CB06AF24BA5F5BFULL, 274176},
    {"M2L3_compl24.bit", 0x6D3EE9958FFEB445ULL, 122112},
    {"M2L3_noise.bit", 0xD540F491A1007FBBULL, 444672},
    {"l3-compl.bit", 0xA55BDA26A1B770BAULL, 248832},
    {"l3-he_32khz.bit", 0x03463F1D87BF9933ULL, 172800},
    {"l3-he_44khz.bit", 0x3FFAEE0CB53528C3ULL, 472320},
    {"l3-he_48khz.bit", 0x03463F1D87BF9933ULL, 172800},
    {"l3-he_free.bit", 0x3D0E44DBDFF3ECD3ULL, 156672},
    {"l3-he_mode.bit", 0xBB5B21B94DD287A7ULL, 262656},
    {"l3-hecommon.bit", 0x89DA78F7FAA8C223ULL, 69120},
    {"l3-si.bit", 0xBABE1AD5EFC2CF8FULL, 135936},
    {"l3-si_block.bit", 0x53EE288F8BD7ED15ULL, 73728},
    {"l3-si_huff.bit", 0xB971BF3D980B61FFULL, 86400},
    {"l3-sin1k0db.bit", 0xE820604B01D4483EULL, 725760},
};
const Golden golden_fixtures[] = {
    {"s11_vbr6_stereo.mp3", 0x5E82C25B8F6E3847ULL, 35712},
    {"s12_cbr32_joint.mp3", 0xFC9DE0A5406D38B0ULL, 39168},
    {"s16_vbr5_mono.mp3", 0xBD7223F979CCAF61ULL, 25344},
    {"s22_cbr64_joint.mp3", 0xB89C0FCE658BEB5DULL, 69120},
    {"s22_mixed_mono.mp3", 0x10FB789BAA0310A8ULL, 34560},
    {"s24_vbr4_stereo.mp3", 0x1DB0AB14771FC082ULL, 74880},
    {"s32_cbr96_mono.mp3", 0x3E90994501237097ULL, 49536},
    {"s44_cbr128_joint.mp3", 0x52AC81EBF2A25E19ULL, 135936},
    {"s44_mixed_joint.mp3", 0xB1CE3E4669DDBBA8ULL, 135936},
    {"s44_vbr2_joint.mp3", 0x0AF2D65DF264D318ULL, 135936},
    {"s48_cbr320_stereo.mp3", 0xA6D24EEC860A151BULL, 147456},
    {"s8_cbr16_mono.mp3", 0x0882FDEE8DD035BEULL, 13248},
    {"s8_mixed_joint.mp3", 0x8D7AFFA912D8CCEBULL, 26496},
};

void check_golden(const std::string& dir, const Golden& g, mp3::tDspPath path) {
    SCOPED_TRACE(g.file);
    const std::string bytes = read_file(dir + "/" + g.file);
    ASSERT_FALSE(bytes.empty()) << "missing " << dir << "/" << g.file;
    const Decoded d = decode_stream(bytes, path);
    const uint64_t h = pcm_hash(d.pcm);
    EXPECT_EQ(d.pcm.size(), g.samples);
    EXPECT_EQ(h, g.hash) << std::hex << "0x" << h;
}

// Every path this processor runs, the portable one first.
template <typename Check> void on_every_path(Check check) {
    for (mp3::tDspPath p :
         {mp3::DSP_PORTABLE, mp3::DSP_SSE41, mp3::DSP_AVX2, mp3::DSP_NEON, mp3::DSP_ARMV5E}) {
        if (!mp3::dsp_available(p)) continue;
        SCOPED_TRACE(mp3::dsp_name(p));
        check(p);
    }
}

TEST(Golden, ConformanceVectorsBitExactOnEveryPath) {
    if (!have_vectors()) GTEST_SKIP() << "conformance vectors not found in " << vector_dir();
    on_every_path([](mp3::tDspPath p) {
        for (const Golden& g : golden_vectors)
            check_golden(vector_dir(), g, p);
    });
}

TEST(Golden, FixturesBitExactOnEveryPath) {
    on_every_path([](mp3::tDspPath p) {
        for (const Golden& g : golden_fixtures)
            check_golden(fixture_dir, g, p);
    });
}

} // namespace
