// Decoder speed: whole MPEG audio files decoded from memory to 16-bit PCM by our decoder
// and, in the same run on the same files, by libmad and libmpg123. Throughput is given
// as a multiple of real time (seconds of audio per second of CPU time, best of several
// runs), and the samples of every decoder are compared with libmpg123's, so that a
// broken decoder shows up as a low PSNR instead of a fast time.
//
// The files are made at run time in a temporary folder: a synthesised piece of music
// (plucked melody, bass, pad chords, noise percussion; the same samples every run) is
// written as WAV and encoded by lame in several forms.
#include "bench_decode.h"
#include "bench.h"

#include "dsp.h"
#include "mp3dec.h"
#include "mp3feed.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <span>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// ---------------------------------------------------------------------------------------
// Test music.

// Deterministic noise and choices: a 32-bit linear congruential generator.
struct tRandom {
    uint32_t state;
};

uint32_t next_random(tRandom& r) {
    r.state = r.state * 1664525u + 1013904223u;
    return r.state;
}

double random_unit(tRandom& r) { // -1 .. 1
    return double(int32_t(next_random(r))) / 2147483648.0;
}

int random_below(tRandom& r, int n) {
    return int((next_random(r) >> 8) % uint32_t(n));
}

double midi_hz(int note) {
    return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

struct tMix {
    int rate;
    std::vector<double> left;
    std::vector<double> right;
};

// Adds a tone with `harmonics` partials (amplitude 1/k, the higher ones decaying faster),
// a 5 ms attack and an exponential decay of `decay` per second (0: held, with a 20 ms
// release at the end). Partials at or above 0.45 of the rate are left out.
void add_tone(tMix& mix, double start_s, double length_s, double hz, double amp, double pan,
              double decay, int harmonics) {
    const int n0 = int(start_s * mix.rate);
    const int len = std::min(int(length_s * mix.rate), int(mix.left.size()) - n0);
    if (len <= 0) return;
    const int attack = mix.rate / 200;
    const int release = mix.rate / 50;
    for (int k = 1; k <= harmonics; k++) {
        const double f = hz * k;
        if (f >= 0.45 * mix.rate) break;
        const double w = 2.0 * M_PI * f / mix.rate;
        const double c = std::cos(w), s = std::sin(w);
        const double fall = std::exp(-decay * std::sqrt(double(k)) / mix.rate);
        double x = 1.0, y = 0.0, env = amp / k;
        for (int i = 0; i < len; i++) {
            double a = env;
            if (i < attack) a *= double(i) / attack;
            if (decay == 0 && len - i < release) a *= double(len - i) / release;
            mix.left[size_t(n0 + i)] += a * (1.0 - pan) * y;
            mix.right[size_t(n0 + i)] += a * pan * y;
            const double nx = x * c - y * s;
            y = x * s + y * c;
            x = nx;
            env *= fall;
        }
    }
}

// Noise burst: `bright` 1 gives first-difference (hi-hat like) noise, 0 plain white noise.
void add_noise(tMix& mix, tRandom& r, double start_s, double length_s, double amp, double pan,
               double decay, bool bright) {
    const int n0 = int(start_s * mix.rate);
    const int len = std::min(int(length_s * mix.rate), int(mix.left.size()) - n0);
    const double fall = std::exp(-decay / mix.rate);
    double env = amp, prev = 0.0;
    for (int i = 0; i < len; i++) {
        const double white = random_unit(r);
        const double v = bright ? 0.5 * (white - prev) : white;
        prev = white;
        mix.left[size_t(n0 + i)] += env * (1.0 - pan) * v;
        mix.right[size_t(n0 + i)] += env * pan * v;
        env *= fall;
    }
}

// `seconds` of music at `rate` as interleaved 16-bit stereo, peaks at 0.7 of full scale.
std::vector<int16_t> make_music(int rate, int seconds) {
    tMix mix{rate, std::vector<double>(size_t(rate) * size_t(seconds)),
             std::vector<double>(size_t(rate) * size_t(seconds))};
    tRandom r{20260101u};
    constexpr std::array<int, 10> scale = {57, 60, 62, 64, 67, 69, 72, 74, 76, 79};
    constexpr std::array<int, 4> roots = {45, 41, 36, 43}; // A, F, C, G
    constexpr double beat = 0.5;                           // 120 beats a minute
    const int bars = seconds / 2 + 1;
    for (int bar = 0; bar < bars; bar++) {
        const double t0 = bar * 4 * beat;
        const int root = roots[size_t(bar % 4)];
        // Pad: the chord held for the bar, slightly different in the two channels.
        for (int step : {12, 16, 19}) {
            add_tone(mix, t0, 4 * beat, midi_hz(root + step), 0.06, 0.35, 0.0, 3);
            add_tone(mix, t0, 4 * beat, midi_hz(root + step) * 1.003, 0.06, 0.65, 0.0, 3);
        }
        for (int b = 0; b < 4; b++) {
            const double tb = t0 + b * beat;
            add_tone(mix, tb, beat, midi_hz(root + (b == 2 ? 7 : 0)), 0.35, 0.5, 4.0, 4);
            if (b % 2 == 1) { // snare
                add_noise(mix, r, tb, 0.2, 0.25, 0.45, 25.0, false);
                add_tone(mix, tb, 0.1, 180.0, 0.2, 0.5, 30.0, 1);
            }
            add_noise(mix, r, tb + beat / 2, 0.06, 0.12, 0.7, 80.0, true); // hi-hat
            // Melody: eighth notes, some rests, some held.
            for (int e = 0; e < 2; e++) {
                if (random_below(r, 5) == 0) continue;
                const int note = scale[size_t(random_below(r, int(scale.size())))];
                const double pan = 0.2 + 0.6 * (random_below(r, 100) / 100.0);
                const double len = random_below(r, 3) == 0 ? 1.0 : 0.4;
                add_tone(mix, tb + e * beat / 2, len, midi_hz(note), 0.22, pan, 5.0, 6);
            }
        }
    }
    double peak = 1e-9;
    for (size_t i = 0; i < mix.left.size(); i++)
        peak = std::max({peak, std::fabs(mix.left[i]), std::fabs(mix.right[i])});
    const double scale_to = 0.7 * 32767.0 / peak;
    std::vector<int16_t> out(mix.left.size() * 2);
    for (size_t i = 0; i < mix.left.size(); i++) {
        out[2 * i] = int16_t(std::lround(mix.left[i] * scale_to));
        out[2 * i + 1] = int16_t(std::lround(mix.right[i] * scale_to));
    }
    return out;
}

void put_le(std::vector<uint8_t>& b, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++)
        b.push_back(uint8_t(v >> (8 * i)));
}

bool write_wav(const std::string& path, const std::vector<int16_t>& stereo, int rate) {
    const uint32_t data_bytes = uint32_t(stereo.size() * 2);
    std::vector<uint8_t> b;
    b.insert(b.end(), {'R', 'I', 'F', 'F'});
    put_le(b, 36 + data_bytes, 4);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put_le(b, 16, 4);
    put_le(b, 1, 2); // PCM
    put_le(b, 2, 2);
    put_le(b, uint32_t(rate), 4);
    put_le(b, uint32_t(rate) * 4, 4);
    put_le(b, 4, 2);
    put_le(b, 16, 2);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put_le(b, data_bytes, 4);
    for (int16_t s : stereo)
        put_le(b, uint16_t(s), 2);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

// ---------------------------------------------------------------------------------------
// Encoding.

struct tEncoding {
    const char* name;
    int rate; // of the source and of the stream
    std::array<const char*, 6> lame_args;
};

constexpr std::array<tEncoding, 6> encodings = {{
    {"cbr128", 44100, {"-b", "128", "--resample", "44.1", nullptr, nullptr}},
    {"cbr320", 44100, {"-b", "320", "--resample", "44.1", nullptr, nullptr}},
    {"vbr-V2", 44100, {"-V", "2", "--resample", "44.1", nullptr, nullptr}},
    {"mono96", 44100, {"-m", "m", "-b", "96", "--resample", "44.1"}},
    {"mpeg2-22k", 22050, {"-b", "64", "--resample", "22.05", nullptr, nullptr}},
    {"mpeg25-8k", 8000, {"-b", "24", "--resample", "8", nullptr, nullptr}},
}};

enum tRunProgram { eRunOk, eRunMissing, eRunFailed };

// Runs a program found on PATH with its output thrown away.
tRunProgram run_quietly(std::vector<const char*> argv) {
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int err = posix_spawnp(&pid, argv[0], &actions, nullptr,
                                 const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err == ENOENT) return eRunMissing;
    if (err != 0) return eRunFailed;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return eRunFailed;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? eRunOk : eRunFailed;
}

bool load_file(const std::string& path, tInputFile& in) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    in.bytes.clear();
    std::array<uint8_t, 65536> chunk;
    size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0)
        in.bytes.insert(in.bytes.end(), chunk.begin(), chunk.begin() + long(got));
    std::fclose(f);
    in.size = int64_t(in.bytes.size());
    in.bytes.resize(in.bytes.size() + BENCH_TAIL_BYTES, 0);
    return in.size > 0;
}

// ---------------------------------------------------------------------------------------
// Our decoder.

alignas(MP3_INSTANCE_ALIGN) tMPEGInstance instance;
tInputBuffer feed_input; // the input record the decoder is fed from
int16_t pcm_left[MP3_MAX_SAMPLES];
int16_t pcm_right[MP3_MAX_SAMPLES];

// Statuses of one untimed run, for the notes under the table.
std::array<int32_t, MP3_STATUS_COUNT> status_counts;

// Start of the first frame: past an ID3v2 tag if the file has one.
int64_t stream_start(const tInputFile& in) {
    const uint8_t* b = in.bytes.data();
    if (in.size < 10 || b[0] != 'I' || b[1] != 'D' || b[2] != '3') return 0;
    const int64_t body = (int64_t{b[6] & 0x7f} << 21) | (int64_t{b[7] & 0x7f} << 14) |
                         (int64_t{b[8] & 0x7f} << 7) | int64_t{b[9] & 0x7f};
    const int64_t start = 10 + body + ((b[5] & 0x10) != 0 ? 10 : 0);
    return start < in.size ? start : 0;
}

tDecodeRun run_ours(tInputFile& in, tPcm* keep, mp3::tDspPath path = mp3::dsp_best()) {
    tDecodeRun result{0, 0, 0};
    // Fed as the player feeds the decoder: the words enter its bit buffer with their bytes
    // in stream order, part of the decoder's cost as the player pays it for every word.
    MP3InitInstance(&instance);
    mp3::dsp_select(&instance, path);
    tMp3Feed feed{};
    const int64_t start = stream_start(in);
    input_bind_bytes(feed_input,
                     std::span<const uint8_t>(in.bytes.data() + start, size_t(in.size - start)), 1);
    mp3feed_init(feed, &instance, pcm_left, pcm_right, &feed_input, 0);
    for (;;) {
        const tFeedEvent e = mp3feed_next(feed);
        const bool counted = e == FEED_FRAME || e == FEED_BAD_HEADER || e == FEED_DROPPED;
        const tMPEGStatus status = e == FEED_FRAME ? eNoErr : feed.status;
        if (keep != nullptr && counted) status_counts[size_t(status)]++;
        if (e == FEED_FRAME) {
            const tMPEGHeader& header = feed.header;
            const int count = header.samplesperchannel;
            const int16_t* last = header.numchans == 2 ? pcm_right : pcm_left;
            decode_keep(pcm_left[0] + last[count > 0 ? count - 1 : 0]);
            result.frames++;
            result.samples += count;
            if (keep != nullptr) {
                keep->rate = mp3_rate_code_hz(header.sample_rate);
                keep->channels = header.numchans;
                keep->left.insert(keep->left.end(), pcm_left, pcm_left + count);
                if (header.numchans == 2)
                    keep->right.insert(keep->right.end(), pcm_right, pcm_right + count);
            }
        } else if (e == FEED_BAD_HEADER || e == FEED_DROPPED) {
            result.failures++;
        }
        if (mp3feed_over(feed, e)) break;
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// Comparison.

struct tCompare {
    double psnr_db; // NaN when there was nothing to compare, INFINITY when identical
    int lag;        // test sample index minus reference sample index
};

// PSNR of `test` against `ref` over all channels, after lining the two up: the lag is the
// one, within two MPEG-1 frames, at which a stretch from the middle of the reference
// matches best (decoders differ in whether they output the silent Xing frame).
tCompare compare(const tPcm& ref, const tPcm& test) {
    constexpr int max_lag = 2304;
    const int64_t nref = int64_t(ref.left.size());
    const int64_t ntest = int64_t(test.left.size());
    if (nref == 0 || ntest == 0 || ref.channels != test.channels) return {NAN, 0};
    const int64_t window = std::min<int64_t>(4096, nref / 4);
    const int64_t from = nref / 2;
    double best_sse = INFINITY;
    int lag = 0;
    for (int d = -max_lag; d <= max_lag; d++) {
        if (from + d < 0 || from + window + d > ntest || window <= 0) continue;
        double sse = 0;
        for (int64_t i = from; i < from + window; i++) {
            const double e = double(ref.left[size_t(i)]) - test.left[size_t(i + d)];
            sse += e * e;
        }
        if (sse < best_sse) {
            best_sse = sse;
            lag = d;
        }
    }
    const int64_t first = std::max<int64_t>(0, -lag);
    const int64_t end = std::min(nref, ntest - lag);
    if (end <= first) return {NAN, lag};
    double sse = 0;
    int64_t count = 0;
    for (int64_t i = first; i < end; i++) {
        const double e = double(ref.left[size_t(i)]) - test.left[size_t(i + lag)];
        sse += e * e;
        count++;
        if (ref.channels == 2) {
            const double f = double(ref.right[size_t(i)]) - test.right[size_t(i + lag)];
            sse += f * f;
            count++;
        }
    }
    if (sse == 0) return {INFINITY, lag};
    return {10.0 * std::log10(32767.0 * 32767.0 / (sse / double(count))), lag};
}

// ---------------------------------------------------------------------------------------
// Memory of our decoder.

// Bytes of the decoder library's constant tables and other static objects, as the
// symbol sizes that nm lists for it; -1 when that cannot be found out.
int64_t table_bytes(int& tables) {
    tables = 0;
    const char* lib = VEXA_MP3DEC_LIB;
    if (access(lib, R_OK) != 0) return -1;
    const std::string cmd = std::string("nm -S --defined-only '") + lib + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return -1;
    int64_t total = 0;
    char line[1024];
    while (std::fgets(line, sizeof line, p) != nullptr) {
        unsigned long long addr = 0, size = 0;
        char type = 0;
        if (std::sscanf(line, "%llx %llx %c", &addr, &size, &type) != 3) continue;
        if (std::strchr("rRdDbBvVu", type) == nullptr) continue;
        total += int64_t(size);
        tables++;
    }
    return pclose(p) == 0 ? total : -1;
}

void print_memory() {
    int tables = 0;
    const int64_t tab = table_bytes(tables);
    const int64_t inst = int64_t(sizeof(tMPEGInstance));
    const int64_t pcm = int64_t(sizeof pcm_left + sizeof pcm_right);
    std::printf("  our decoder's memory: instance %lld bytes (sizeof tMPEGInstance, placed on a "
                "%d-byte boundary), ",
                static_cast<long long>(inst), MP3_INSTANCE_ALIGN);
    if (tab >= 0)
        std::printf("constant tables %lld bytes (%d objects), ", static_cast<long long>(tab),
                    tables);
    else
        std::printf("constant tables not measured (no nm or no library file), ");
    std::printf("PCM arrays %lld bytes;\n  total %lld bytes; "
                "Peers' memory not measured.\n",
                static_cast<long long>(pcm),
                static_cast<long long>(inst + pcm + std::max<int64_t>(tab, 0)));
}

// ---------------------------------------------------------------------------------------
// The table.

constexpr int NDEC = 7; // ours, libmad, mpg123, mpg123 generic, lavc fixed, lavc float, ours-c
constexpr int OURS_PORTABLE = 6;

// Our decoder limited to its portable code.
tDecodeRun run_ours_portable(tInputFile& in, tPcm* keep) {
    return run_ours(in, keep, mp3::DSP_PORTABLE);
}

struct tRow {
    std::string name;
    int64_t bytes;
    int rate, channels;
    double seconds; // of audio, from the reference decoder's sample count
    std::array<int64_t, NDEC> best_ns;
    std::array<tDecodeRun, NDEC> runs;
    std::array<tCompare, NDEC> vs_mpg123;
    std::array<int32_t, MP3_STATUS_COUNT> ours_status;
};

void print_cell_x(const tRow& row, int d, bool available) {
    if (!available || row.best_ns[size_t(d)] <= 0 || row.runs[size_t(d)].samples == 0)
        std::printf(" %8s", "n/a");
    else
        std::printf(" %8.1f", row.seconds / (double(row.best_ns[size_t(d)]) / 1e9));
}

void print_ratio(const tRow& row, int d, bool available) {
    if (!available || row.best_ns[0] <= 0 || row.runs[size_t(d)].samples == 0 ||
        row.runs[0].samples == 0)
        std::printf(" %8s", "n/a");
    else
        std::printf(" %8.2f", double(row.best_ns[size_t(d)]) / double(row.best_ns[0]));
}

void print_psnr(const tCompare& c) {
    if (std::isnan(c.psnr_db))
        std::printf(" %9s", "-");
    else if (std::isinf(c.psnr_db))
        std::printf(" %9s", "exact");
    else
        std::printf(" %9.1f", c.psnr_db);
}

} // namespace

void decode_keep(int64_t value) {
    bench_keep(value);
}

// decode        files made with lame, every decoder, best of several runs
// decode:FILE   the same for one MPEG audio file
int bench_decode(const char* arg) {
    const int seconds = bench_quick ? 3 : 64;
    const int tries = bench_quick ? 1 : 5;

    std::array<tPeer, NDEC> decs = {
        tPeer{"ours", true, nullptr},  peer_libmad(),        peer_mpg123(),
        peer_mpg123_generic(),         peer_avcodec_fixed(), peer_avcodec_float(),
        tPeer{"ours-c", true, nullptr}};
    std::vector<tInputFile> files;
    std::string dir;
    if (arg != nullptr && *arg != 0) {
        tInputFile in;
        in.name = std::filesystem::path(arg).filename().string();
        if (!load_file(arg, in)) {
            std::fprintf(stderr, "decode: cannot read %s\n", arg);
            return 2;
        }
        files.push_back(std::move(in));
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/vexa-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            return 2;
        }
        dir = pattern;
        int made_rate = 0;
        for (const tEncoding& e : encodings) {
            const std::string wav = dir + "/music-" + std::to_string(e.rate) + ".wav";
            if (made_rate != e.rate && !std::filesystem::exists(wav)) {
                if (!write_wav(wav, make_music(e.rate, seconds), e.rate)) {
                    std::fprintf(stderr, "decode: cannot write %s\n", wav.c_str());
                    std::filesystem::remove_all(dir);
                    return 2;
                }
            }
            made_rate = e.rate;
            const std::string mp3 = dir + "/" + e.name + ".mp3";
            std::vector<const char*> argv = {"lame", "--quiet", "--noreplaygain"};
            for (const char* a : e.lame_args)
                if (a != nullptr) argv.push_back(a);
            argv.push_back(wav.c_str());
            argv.push_back(mp3.c_str());
            const tRunProgram r = run_quietly(argv);
            if (r == eRunMissing) {
                std::printf("decode: lame not found, skipped\n");
                std::filesystem::remove_all(dir);
                return BENCH_SKIPPED;
            }
            tInputFile in;
            in.name = e.name;
            if (r != eRunOk || !load_file(mp3, in)) {
                std::fprintf(stderr, "decode: lame could not make %s\n", mp3.c_str());
                std::filesystem::remove_all(dir);
                return 2;
            }
            files.push_back(std::move(in));
        }
        std::filesystem::remove_all(dir);
    }

    std::vector<tRow> rows;
    int status = 0;
    for (tInputFile& in : files) {
        tRow row{};
        row.name = in.name;
        row.bytes = in.size;
        // Untimed run of each decoder, keeping its samples.
        std::array<tPcm, NDEC> pcm{};
        status_counts.fill(0);
        for (int d = 0; d < NDEC; d++) {
            if (!decs[size_t(d)].available) continue;
            row.runs[size_t(d)] = d == 0               ? run_ours(in, &pcm[0])
                                  : d == OURS_PORTABLE ? run_ours_portable(in, &pcm[size_t(d)])
                                                       : decs[size_t(d)].run(in, &pcm[size_t(d)]);
            if (d > 0 && row.runs[size_t(d)].samples == 0) {
                std::fprintf(stderr, "decode: %s decoded nothing of %s\n", decs[size_t(d)].name,
                             in.name.c_str());
                status = 1;
            }
        }
        row.ours_status = status_counts;
        int ref = -1;
        for (int d : {2, 1, 0})
            if (decs[size_t(d)].available && pcm[size_t(d)].rate > 0) {
                ref = d;
                break;
            }
        if (ref >= 0) {
            row.rate = pcm[size_t(ref)].rate;
            row.channels = pcm[size_t(ref)].channels;
            row.seconds = double(pcm[size_t(ref)].left.size()) / row.rate;
        }
        for (int d = 0; d < NDEC; d++)
            row.vs_mpg123[size_t(d)] =
                decs[2].available && d != 2 ? compare(pcm[2], pcm[size_t(d)]) : tCompare{NAN, 0};
        // Timed runs: each decoder in turn, the best time of each.
        row.best_ns.fill(INT64_MAX);
        for (int t = 0; t < tries; t++) {
            for (int d = 0; d < NDEC; d++) {
                if (!decs[size_t(d)].available) continue;
                const int64_t start = bench_cpu_ns();
                if (d == 0)
                    run_ours(in, nullptr);
                else if (d == OURS_PORTABLE)
                    run_ours_portable(in, nullptr);
                else
                    decs[size_t(d)].run(in, nullptr);
                row.best_ns[size_t(d)] = std::min(row.best_ns[size_t(d)], bench_cpu_ns() - start);
            }
        }
        rows.push_back(row);
    }

    std::printf("decode: whole files from memory to 16-bit PCM, CPU time, best of %d runs; "
                "x RT = seconds of audio per CPU second\n",
                tries);
    if (dir.empty())
        std::printf("  input: %s\n", files[0].name.c_str());
    else
        std::printf("  input: %d s of synthesised music encoded by lame; ratio = peer CPU time / "
                    "our CPU time (above 1: ours is faster)\n",
                    seconds);
    for (int d = 1; d < NDEC; d++)
        if (!decs[size_t(d)].available) std::printf("  %s: not available\n", decs[size_t(d)].name);
    if (decs[2].available)
        std::printf("  mpg123 runs its own choice of synthesis (%s), mpg123-c its portable C "
                    "code; PSNR in dB against mpg123's samples\n",
                    peer_mpg123_decoder_name());
    std::printf("  ours runs its %s path, ours-c its portable code; lavc-fix and lavc-flt are "
                "libavcodec's fixed-point and float decoders\n",
                mp3::dsp_name(mp3::dsp_best()));
    std::printf("  x RT: %-10s %5s %2s %7s %5s", "file", "Hz", "ch", "kB", "s");
    for (int d = 0; d < NDEC; d++)
        std::printf(" %8s", decs[size_t(d)].name);
    std::printf("   ratios:");
    for (int d = 1; d < NDEC; d++)
        std::printf(" %8.8s", decs[size_t(d)].name);
    std::printf(" %12s %9s %9s\n", "ours ok/frm", "PSNR ours", "PSNR mad");
    for (const tRow& row : rows) {
        std::printf("        %-10s %5d %2d %7lld %5.1f", row.name.c_str(), row.rate, row.channels,
                    static_cast<long long>(row.bytes / 1024), row.seconds);
        for (int d = 0; d < NDEC; d++)
            print_cell_x(row, d, decs[size_t(d)].available);
        std::printf("          ");
        for (int d = 1; d < NDEC; d++)
            print_ratio(row, d, decs[size_t(d)].available);
        const tDecodeRun& ours = row.runs[0];
        std::printf(" %5d/%-6d", ours.frames, ours.frames + ours.failures);
        print_psnr(row.vs_mpg123[0]);
        print_psnr(row.vs_mpg123[1]);
        std::printf("\n");
    }
    for (const tRow& row : rows) {
        std::string notes;
        for (int s = 1; s < 12; s++)
            if (row.ours_status[size_t(s)] > 0)
                notes +=
                    " " + std::to_string(row.ours_status[size_t(s)]) + " x " + mp3_status_name(s);
        for (int d : {0, 1, 3}) // a lag found in samples that do not match means nothing
            if (row.vs_mpg123[size_t(d)].lag != 0 && row.vs_mpg123[size_t(d)].psnr_db > 30)
                notes += std::string(" ") + decs[size_t(d)].name + " lags mpg123 by " +
                         std::to_string(row.vs_mpg123[size_t(d)].lag) + " samples;";
        if (!notes.empty()) std::printf("  %s:%s\n", row.name.c_str(), notes.c_str());
    }
    print_memory();
    peer_mpg123_finish();
    return status;
}
