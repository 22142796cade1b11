// The probe's verdict on a file, and what it finds for the play, without starting a player.
#include "playfile.h"
#include "tempdir.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr tPlayerConfig defaults = {0, 0, 0, 1, 1, 0};

// MPEG-1 frames with empty bodies: Layer III at 128 kbit/s, 44100 Hz (417 bytes each), or
// Layer I (136 bytes) and II (417 bytes) at the same rate.
std::string frames(int layer, int count) {
    std::string frame(layer == 1 ? 136 : 417, '\0');
    frame[0] = '\xFF';
    frame[1] = layer == 3 ? '\xFB' : layer == 2 ? '\xFD' : '\xFF';
    frame[2] = layer == 3 ? '\x90' : layer == 2 ? '\x80' : '\x40';
    frame[3] = '\x44';
    std::string s;
    for (int i = 0; i < count; i++)
        s += frame;
    return s;
}

std::string noise(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

TEST(Probe, VerdictOnEachKindOfFile) {
    TempDir dir;
    const std::string data(4000, '\x10');
    const std::string wav_refusal = "cannot play this WAV file: ";
    tPlayerConfig info = defaults;
    info.info_only = 1;
    tPlayerConfig rate_override = defaults;
    rate_override.override_samplerate = 44100;
    tPlayerConfig swapped = defaults;
    swapped.swap_bytes = 0;
    WavLayout no_data;
    no_data.chunks_before_data = {{"LIST", "ab"}};
    no_data.has_data_chunk = false;
    WavLayout no_fmt;
    no_fmt.fmt_id = "junk";
    no_fmt.data = data;
    struct Case {
        const char* name;
        std::string bytes;
        tPlayerConfig config;
        long offset;
        int32_t verdict;
        std::string why; // refused: the line's text after the name
        int32_t total_track_time;
    };
    const std::vector<Case> cases = {
        {"s.wav", make_wav(2, 44100, std::vector<int16_t>(2000, 1)), swapped, 0, PROBE_PLAY, "", 0},
        {"r.wav", make_wav(1, 2000, std::vector<int16_t>(2000, 1)), defaults, 0, PROBE_REFUSED,
         wav_refusal + "no conversion from 2000 Hz", 0},
        {"r.wav", make_wav(1, 2000, std::vector<int16_t>(2000, 1)), rate_override, 0, PROBE_PLAY,
         "", 0},
        {"u8.wav", make_wav_raw(1, 2, 44100, 2, 8, 16, {}, data), defaults, 0, PROBE_REFUSED,
         wav_refusal + "8-bit samples, only 16-bit PCM plays", 0},
        {"24.wav", make_wav_raw(1, 2, 44100, 6, 24, 16, {}, data), defaults, 2, PROBE_REFUSED,
         wav_refusal + "24-bit samples, only 16-bit PCM plays", 0},
        {"float.wav", make_wav_raw(3, 2, 44100, 8, 32, 16, {}, data), defaults, 0, PROBE_REFUSED,
         wav_refusal + "sample format 0x0003 is not PCM", 0},
        {"short.wav", make_wav_raw(1, 2, 44100, 4, 16, 12, {}, data), info, 0, PROBE_REFUSED,
         wav_refusal + "sample format 0x0000 is not PCM", 0},
        {"rate0.wav", make_wav_raw(1, 2, 0, 4, 16, 16, {}, data), defaults, 0, PROBE_REFUSED,
         wav_refusal + "sampling rate 0 Hz", 0},
        {"six.wav", make_wav_raw(1, 6, 44100, 12, 16, 16, {}, data), defaults, 0, PROBE_REFUSED,
         wav_refusal + "6 channels, only mono and stereo play", 0},
        {"nodata.wav", build_wav(no_data), defaults, 0, PROBE_REFUSED,
         wav_refusal + "no data chunk", 0},
        {"nofmt.wav", build_wav(no_fmt), defaults, 0, PROBE_REFUSED,
         wav_refusal + "no fmt chunk before the data", 0},
        // 5 s and 7 frames of mono at 22050 Hz.
        {"i.wav", make_wav(1, 22050, std::vector<int16_t>(22050 * 5 + 7, 1)), info, 0, PROBE_INFO,
         "", 5},
        {"noise.bin", noise(100000), defaults, 0, PROBE_REFUSED,
         "no MPEG audio Layer III or WAV stream found", 0},
        {"noise.bin", noise(100000), info, 3, PROBE_REFUSED,
         "no MPEG audio Layer III or WAV stream found", 0},
        {"t.mp2", frames(2, 200), defaults, 0, PROBE_REFUSED,
         "MPEG audio Layer II is not supported, only Layer III", 0},
        {"t.mp1", frames(1, 300), info, 0, PROBE_REFUSED,
         "MPEG audio Layer I is not supported, only Layer III", 0},
        // 200 frames of 1152 samples at 44100 Hz: 5.2 s.
        {"t.mp3", frames(3, 200), info, 0, PROBE_INFO, "", 5},
        {"t.mp3", frames(3, 200), info, 2, PROBE_INFO, "", 5},
        {"t.mp3", frames(3, 200), defaults, 0, PROBE_PLAY, "", 0},
    };
    for (const Case& c : cases) {
        const std::string file = dir.file(c.name);
        write_file(file, c.bytes);
        tProbeResult r{};
        r.total_track_time = -7; // the probe starts from nothing
        const tProbeVerdict v = probe_file(c.config, file.c_str(), c.offset, r);
        EXPECT_EQ(v.verdict, c.verdict) << c.name;
        EXPECT_EQ(std::string(v.verdict == PROBE_REFUSED ? v.why : ""), c.why) << c.name;
        EXPECT_EQ(v.verdict == PROBE_REFUSED ? 0 : r.total_track_time, c.total_track_time)
            << c.name;
    }
    // A file that cannot be read is refused with the system's reason.
    tProbeResult r{};
    const tProbeVerdict v = probe_file(defaults, dir.path.c_str(), 0, r);
    EXPECT_EQ(v.verdict, PROBE_REFUSED);
    EXPECT_EQ(std::string(v.why), "Is a directory");
}

TEST(Probe, WhereThePlayStarts) {
    TempDir dir;
    tPlayerConfig swapped = defaults;
    swapped.swap_bytes = 0;
    const std::string wav = dir.file("s.wav");
    // 3 s of stereo at 44100 Hz behind a 44-byte header.
    write_file(wav, make_wav(2, 44100, std::vector<int16_t>(2 * 44100 * 3, 1)));
    const std::string mp3 = dir.file("t.mp3");
    write_file(mp3, frames(3, 200));
    // The same stream stored as byte-swapped 32-bit words, for -w.
    std::string turned = frames(3, 200);
    for (size_t k = 0; k + 4 <= turned.size(); k += 4) {
        std::swap(turned[k], turned[k + 3]);
        std::swap(turned[k + 1], turned[k + 2]);
    }
    const std::string mp3w = dir.file("w.mp3");
    write_file(mp3w, turned);
    struct Case {
        const std::string& file;
        tPlayerConfig config;
        long offset;
        int64_t start_offset;
        int64_t samples_played;
        int64_t wav_bytes_done;
        int32_t skip_frames;
        int32_t swap_bytes;
    };
    const Case cases[] = {
        {wav, defaults, 0, 44, 0, 0, 0, 0},
        // 1 s of stereo is 176400 bytes; -w never applies to a WAV file.
        {wav, swapped, 1, 44 + 176400, 44100, 176400, 0, 0},
        {mp3, defaults, 0, 0, 0, 0, 0, 1},
        {mp3w, swapped, 0, 0, 0, 0, 0, 0},
        // 2 s in is sample 88200, in frame 76 (88200 / 1152 = 76.6), which starts at byte
        // 76 * 417 and sample 76 * 1152; the two frames decoded first are thrown away.
        {mp3, defaults, 2, 76 * 417, 76 * 1152, 0, 2, 1},
    };
    for (const Case& c : cases) {
        tProbeResult r{};
        const tProbeVerdict v = probe_file(c.config, c.file.c_str(), c.offset, r);
        ASSERT_EQ(v.verdict, PROBE_PLAY) << c.file << " " << c.offset;
        EXPECT_EQ(r.wavmode, c.file == wav ? 1 : 0);
        EXPECT_EQ(r.start_offset, c.start_offset) << c.file << " " << c.offset;
        EXPECT_EQ(r.samples_played, c.samples_played) << c.file << " " << c.offset;
        EXPECT_EQ(r.wav_bytes_done, c.wav_bytes_done) << c.file << " " << c.offset;
        EXPECT_EQ(r.skip_frames, c.skip_frames) << c.file << " " << c.offset;
        EXPECT_EQ(r.swap_bytes, c.swap_bytes) << c.file << " " << c.offset;
    }
}

} // namespace
