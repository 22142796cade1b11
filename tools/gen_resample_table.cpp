// Writes audio/resample_table.h: the interpolation kernel of the rate converter.
//
//   gen_resample_table OUT.h          write the table
//   gen_resample_table --check FILE   exit 1 unless FILE is what would be written
//
// The kernel is a Kaiser-windowed sinc low-pass. Its time unit is one sample period
// at the lower of the two rates being converted, so the same kernel serves every
// rate: upward it is read at whole-sample spacing, downward it is stretched over
// the input. Being even, it is stored for t = 0, 1/P, 2/P, ... H only, as Q23
// in int32; its peak is 2 * cutoff, below 1.0.
//
// Rounding keeps every phase exactly at unity gain: for each fraction p/P the
// 2H coefficients that one output uses sum to exactly 1.0 (2^23 in Q23), so a
// constant input comes out unchanged at every phase (and, through linear
// interpolation between neighbouring phases, at every fraction in between).
//
// Floating point is used here only; the converter itself is integer.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- design ----------------------------------------------------------------

constexpr int phases = 256;                      // P: table entries per unit of kernel time
constexpr int half_width = 24;                   // H: kernel support is (-H, H) lower-rate samples
constexpr double stop_atten_db = 96.0;           // Kaiser stopband target
constexpr int coef_frac_bits = 23;               // Q23 table
constexpr int entries = half_width * phases + 1; // t = 0 .. H inclusive

// Kaiser's estimates: window shape from the attenuation, transition width from
// the attenuation and the length. The stopband starts at the lower Nyquist
// (0.5 in kernel units); the cutoff sits in the middle of the transition.
double kaiser_beta() {
    return 0.1102 * (stop_atten_db - 8.7);
}
double transition_width() {
    return (stop_atten_db - 7.95) / (2.285 * 2.0 * M_PI * (2.0 * half_width));
}
double cutoff() {
    return 0.5 - transition_width() / 2.0;
}

// Modified Bessel function of the first kind, order 0 (power series).
double bessel_i0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 200; k++) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
        if (term < sum * 1e-18) break;
    }
    return sum;
}

double kernel(double t) {
    const double fc = cutoff();
    const double r = t / half_width;
    if (r >= 1.0) return 0.0;
    const double window =
        bessel_i0(kaiser_beta() * std::sqrt(1.0 - r * r)) / bessel_i0(kaiser_beta());
    const double x = 2.0 * fc * t;
    const double sinc = x == 0.0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
    return 2.0 * fc * sinc * window;
}

// ---- rounding to Q23 with exact unity gain per phase ---------------------------

struct Entry {
    int index;
    int uses; // how many of one output's taps read this entry (1 or 2)
};

// The entries an output at fraction p/P reads: right of it t = p/P + m, left of it
// t = (P - p)/P + m, for t < H. Phase P - p reads the same set, mirrored.
std::vector<Entry> phase_entries(int p) {
    std::vector<int> count(entries, 0);
    for (int k = p; k < half_width * phases; k += phases)
        count[k]++;
    for (int k = phases - p; k < half_width * phases; k += phases)
        count[k]++;
    std::vector<Entry> out;
    for (int k = 0; k < entries; k++)
        if (count[k] > 0) out.push_back({k, count[k]});
    return out;
}

std::vector<int> build_table() {
    const double one = double(1 << coef_frac_bits);
    std::vector<double> exact(entries);
    std::vector<int> table(entries);
    for (int k = 0; k < entries; k++) {
        exact[k] = kernel(double(k) / phases) * one;
        table[k] = int(std::lround(exact[k]));
    }
    table[entries - 1] = 0; // end of support; only ever an interpolation partner

    for (int p = 0; p <= phases / 2; p++) {
        const std::vector<Entry> set = phase_entries(p);
        long sum = 0;
        for (const Entry& e : set)
            sum += long(e.uses) * table[e.index];
        long diff = (1L << coef_frac_bits) - sum;
        // Nudge, one step at a time, the entry whose rounding moved it furthest
        // the wrong way.
        while (diff != 0) {
            const int dir = diff > 0 ? 1 : -1;
            int best = -1;
            double best_gap = -1e300;
            for (const Entry& e : set) {
                if (e.uses > std::labs(diff)) continue;
                const double gap = dir * (exact[e.index] - table[e.index]);
                if (gap > best_gap) {
                    best_gap = gap;
                    best = e.index;
                }
            }
            if (best < 0) {
                std::fprintf(stderr, "phase %d cannot reach unity gain\n", p);
                std::exit(1);
            }
            table[best] += dir;
            for (const Entry& e : set)
                if (e.index == best) diff -= long(dir) * e.uses;
        }
    }
    return table;
}

std::string render(const std::vector<int>& table) {
    std::string s;
    char line[1024];
    s += "// Interpolation kernel of the rate converter.\n"
         "// Generated by tools/gen_resample_table.cpp; edit that and regenerate.\n"
         "#pragma once\n\n"
         "#include <array>\n#include <cstdint>\n\n";
    std::snprintf(line, sizeof line,
                  "// Kaiser-windowed sinc, beta %.4f (stopband %.0f dB), cutoff %.6f and\n"
                  "// transition %.6f .. 0.5 in units of the lower rate.\n\n",
                  kaiser_beta(), stop_atten_db, cutoff(), cutoff() - transition_width() / 2);
    s += line;
    std::snprintf(line, sizeof line,
                  "// Entries per lower-rate sample period.\n"
                  "constexpr int RSK_PHASES = %d;\n"
                  "// Support of the kernel: (-%d, %d) lower-rate samples.\n"
                  "constexpr int RSK_HALF_WIDTH = %d;\n"
                  "// Entries are Q%d.\n"
                  "constexpr int RSK_FRAC_BITS = %d;\n"
                  "// t = 0, 1/%d, ... %d.\n"
                  "constexpr int RSK_ENTRIES = %d;\n\n",
                  phases, half_width, half_width, half_width, coef_frac_bits, coef_frac_bits,
                  phases, half_width, entries);
    s += line;
    std::snprintf(line, sizeof line,
                  "// Kernel value at t = k / RSK_PHASES (Q%d); the last entry is 0.\n"
                  "// clang-format off\n"
                  "constexpr std::array<int32_t, RSK_ENTRIES> rsk_table = {\n",
                  coef_frac_bits);
    s += line;
    for (int k = 0; k < entries; k++) {
        if (k % 8 == 0) s += "   ";
        std::snprintf(line, sizeof line, " %8d,", table[k]);
        s += line;
        if (k % 8 == 7 || k == entries - 1) s += "\n";
    }
    s += "};\n// clang-format on\n";
    return s;
}

std::string read_file(const char* path) {
    std::string s;
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

} // namespace

int main(int argc, char** argv) {
    const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    if (argc != 2 && !check) {
        std::fprintf(stderr, "usage: gen_resample_table OUT.h | --check FILE\n");
        return 2;
    }
    const std::string text = render(build_table());
    if (check) {
        if (read_file(argv[2]) == text) return 0;
        std::fprintf(stderr, "%s is out of date: regenerate it with gen_resample_table\n", argv[2]);
        return 1;
    }
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
