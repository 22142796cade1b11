// Band-limited sample-rate converter to 44100 Hz.
//
// Each output sample is a weighted sum of the input samples around its instant,
// the weights read from one low-pass kernel (resample_table.h) whose time unit is a
// sample period of the lower of the two rates. Upward the kernel is read at
// whole-sample spacing; downward it is stretched over the input, so that its
// cutoff lands below 22050 Hz and the taps per output grow with rate / 44100.
// Kernel values between table entries are interpolated linearly.
//
// Timing is exact: with up/down = 44100/rate in lowest terms, output k sits at input
// time k * down / up - delay, kept as a whole part and a remainder in 0..up-1. Output
// k is produced as soon as input number ceil((k + 1) * down / up) has arrived, which
// gives floor(N * 44100 / rate) outputs after N inputs whatever the block sizes.
//
// The MPEG rates have the taps of every phase in constant tables (resample_poly.h),
// built at compile time from the kernel with the same interpolation, so that they give
// the same samples as interpolating per output; there the work per output is the dot
// product alone, done four lanes at a time with NEON where the processor has it. Other
// rates interpolate the taps per output.
//
// Integer arithmetic only. The input is copied into a short per-channel history;
// everything lives in module state and nothing is allocated.
#include "resample.h"

#include "resample_poly.h"
#include "resample_table.h"

#if defined(VEXA_SIMD_NEON) && !defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// ---- number formats ------------------------------------------------------------

constexpr int COEF_BITS = RS_COEF_BITS; // table entries and interpolated taps: Q23
static_assert(COEF_BITS == RSK_FRAC_BITS, "the table is Q23");

// Kernel positions are table indices with POS_BITS of fraction ("Q15 table units");
// the fraction is the weight of the next entry in the linear interpolation.
constexpr int POS_BITS = 15;
constexpr int32_t POS_ONE = 1 << POS_BITS; // 0x8000 = 32768
constexpr int32_t POS_MASK = POS_ONE - 1;  // 0x7FFF = 32767
constexpr int32_t POS_HALF = POS_ONE / 2;  // 0x4000 = 16384, rounds the interpolation
// First position past the kernel's support: t = RSK_HALF_WIDTH.
constexpr int32_t POS_END = RSK_HALF_WIDTH * RSK_PHASES * POS_ONE;
// One lower-rate sample period, the position step between taps going upward.
constexpr int32_t POS_STEP_UP = RSK_PHASES * POS_ONE;

// The interpolation multiplies the difference of neighbouring entries by a Q15
// weight in 32 bits.
constexpr int32_t max_entry_step() {
    int32_t m = 0;
    for (size_t i = 0; i + 1 < rsk_table.size(); i++) {
        const int32_t d = rsk_table[i + 1] - rsk_table[i];
        m = std::max(m, d < 0 ? -d : d);
    }
    return m;
}
static_assert(max_entry_step() < INT32_MAX / POS_ONE, "interpolation fits 32 bits");
constexpr int32_t max_entry() {
    int32_t m = 0;
    for (int32_t v : rsk_table)
        m = std::max(m, v < 0 ? -v : v);
    return m;
}
static_assert(max_entry() < (1 << COEF_BITS), "entries stay within +-1.0");

// Output gain (the kernel's stretch factor downward, 1.0 upward): Q24.
constexpr int64_t GAIN_ONE = int64_t{1} << RS_GAIN_BITS; // 0x1000000 = 16777216

// The sum of taps (Q23 x sample) drops ACC_DROP bits before the gain multiply:
// output = ((sum >> ACC_DROP) * gain) >> (COEF_BITS - ACC_DROP + RS_GAIN_BITS), rounded.
constexpr int ACC_DROP = RS_ACC_DROP;
constexpr int OUT_SHIFT = RS_OUT_SHIFT;
constexpr int64_t OUT_ROUND = int64_t{1} << (OUT_SHIFT - 1);

// Position step per input sample downward: one input period in Q15 table units.
constexpr int32_t down_step(int rate) {
    return static_cast<int32_t>((int64_t{RESAMPLE_OUT_RATE} * POS_STEP_UP + rate / 2) / rate);
}
// Taps per side reached with a given step: positions u0, u0 + step, ... < POS_END
// for 0 <= u0 < step.
constexpr int32_t reach_for(int32_t step) {
    return (POS_END + step - 1) / step;
}

constexpr int32_t MAX_REACH = reach_for(down_step(RESAMPLE_MAX_RATE));
constexpr int32_t MAX_ADVANCE = RESAMPLE_MAX_RATE / RESAMPLE_OUT_RATE + 1;
static_assert(POS_END <= INT32_MAX - POS_STEP_UP, "kernel positions fit 32 bits");

// Worst-case sum: every tap at the largest entry times a full-scale sample.
constexpr int64_t MAX_SUM = 2 * MAX_REACH * int64_t{max_entry()} * 32768;
static_assert(MAX_SUM < INT64_MAX / 2);
static_assert((MAX_SUM >> ACC_DROP) < INT64_MAX / GAIN_ONE, "the gain multiply fits 64 bits");

// ---- taps -------------------------------------------------------------------------

// Remainder (0..up-1) to Q15 table units, Q32: step / up.
constexpr uint64_t pos_scale_for(int32_t step, int32_t up) {
    return ((uint64_t(step) << 32) + uint64_t(up / 2)) / uint64_t(up);
}

// Kernel position of the input sample at or before an output that lies rem / up input
// periods after it; the sample after it lies step - u0 past the output.
constexpr int32_t position_of(int32_t rem, uint64_t pos_scale) {
    return static_cast<int32_t>((uint64_t(uint32_t(rem)) * pos_scale) >> 32);
}

// Linear interpolation between table entries e[0] and e[1] at weight w (Q15): Q23.
constexpr int32_t tap_at(const int32_t* e, int32_t w) {
    return e[0] + (((e[1] - e[0]) * w + POS_HALF) >> POS_BITS);
}

// Calls use(k, tap) for every tap of one output, k its place in the output's window of
// 2 * reach samples: k = reach - 1 - j for the sample j before the one at or before the
// output (kernel positions u0, u0 + step, ...), k = reach + j for the sample j + 1 after
// it (step - u0, 2 step - u0, ...), as far as the kernel reaches. Upward the step is a
// whole number of table periods, so every tap of one side has the same weight.
template <typename Use>
constexpr void for_each_tap(int32_t u0, int32_t step, int32_t reach, Use&& use) {
    int32_t k = reach - 1;
    for (int32_t pos = u0; pos < POS_END; pos += step, k--)
        use(k, tap_at(rsk_table.data() + (pos >> POS_BITS), pos & POS_MASK));
    k = reach;
    for (int32_t pos = step - u0; pos < POS_END; pos += step, k++)
        use(k, tap_at(rsk_table.data() + (pos >> POS_BITS), pos & POS_MASK));
}

// ---- polyphase tables ----------------------------------------------------------------

// Every phase of one (up, step), laid out as resample_poly.h says.
template <int32_t UP, int32_t STEP, int32_t WINDOW>
constexpr std::array<int16_t, size_t(UP) * WINDOW * 2> build_phases() {
    static_assert(WINDOW % 8 == 0 && WINDOW >= 2 * reach_for(STEP) && WINDOW <= 64);
    std::array<int16_t, size_t(UP) * WINDOW * 2> table{};
    const uint64_t scale = pos_scale_for(STEP, UP);
    for (int32_t rem = 0; rem < UP; rem++) {
        std::array<int32_t, 64> taps{};
        for_each_tap(position_of(rem, scale), STEP, reach_for(STEP),
                     [&taps](int32_t k, int32_t tap) { taps[size_t(k)] = tap; });
        for (int32_t t = 0; t < WINDOW; t++) {
            const size_t at = size_t(rem * WINDOW + poly_pair_of_tap(t, WINDOW)) * 2;
            table[at] = static_cast<int16_t>(taps[size_t(t)] >> POLY_LO_BITS);
            table[at + 1] = static_cast<int16_t>(taps[size_t(t)] & POLY_LO_MASK);
        }
    }
    return table;
}

// The split sums of any window stay within 32 bits with room for a rounding term of 2^22
// (resample_neon.cpp): sum(|hi|) and sum(lo) times a full-scale sample, for every phase.
template <size_t N> constexpr bool split_sums_fit(const std::array<int16_t, N>& table, int window) {
    for (size_t p = 0; p < N; p += size_t(2 * window)) {
        int64_t hi = 0, lo = 0;
        for (size_t k = 0; k < size_t(window); k++) {
            hi += table[p + 2 * k] < 0 ? -table[p + 2 * k] : table[p + 2 * k];
            lo += table[p + 2 * k + 1];
        }
        const int64_t room = INT32_MAX - (1 << 22);
        if (hi * 32768 > room || lo * 32768 > room) return false;
    }
    return true;
}

// A table of `up` phases serves a converter with up' dividing it when phase rem of the
// latter falls on the same kernel position as phase rem * up / up' of the table.
constexpr bool phases_shared(int32_t step, int32_t up) {
    for (int32_t d = 1; d <= up; d++) {
        if (up % d != 0) continue;
        for (int32_t rem = 0; rem < d; rem++)
            if (position_of(rem, pos_scale_for(step, d)) !=
                position_of(rem * (up / d), pos_scale_for(step, up)))
                return false;
    }
    return true;
}

// Upward, all 441 phases of 44100 / gcd: 32000, 16000, 8000 and 4000 Hz take all of
// them, 24000 and 12000 Hz every third (147 phases). Downward, 48000 Hz (147 phases).
constexpr int32_t STEP_48000 = down_step(48000);
constexpr auto poly_441 = build_phases<441, POS_STEP_UP, 48>();
constexpr auto poly_48000 = build_phases<147, STEP_48000, 56>();
static_assert(sizeof poly_441 == 84672 && sizeof poly_48000 == 32928, "constant table sizes");
static_assert(split_sums_fit(poly_441, 48) && split_sums_fit(poly_48000, 56));
static_assert(phases_shared(POS_STEP_UP, 441) && phases_shared(STEP_48000, 147));

struct tPolyTable {
    int32_t up;
    int32_t step;
    int32_t window;
    const int16_t* taps;
};
constexpr std::array<tPolyTable, 2> poly_tables = {{
    {441, POS_STEP_UP, 48, poly_441.data()},
    {147, STEP_48000, 56, poly_48000.data()},
}};

// ---- history and state ------------------------------------------------------------

// Per-channel history. After the outputs due have been made, what must stay is the
// reach of the next output on both sides plus one output's advance.
constexpr int32_t HISTORY_LEN = 1024; // samples per channel (2 KiB each)
constexpr int32_t MAX_KEPT = 2 * MAX_REACH + MAX_ADVANCE + 2;
static_assert(MAX_KEPT < HISTORY_LEN / 2, "room for new input after compaction");
// A table window may reach past the last sample an output needs, by taps that are zero.
constexpr int32_t HISTORY_PAD = 8;

struct tResampler {
    int32_t rate;           // input rate in Hz; 0 before the first block or after a reset
    int32_t up;             // 44100 / gcd(rate, 44100): outputs per `down` inputs
    int32_t down;           // rate / gcd(rate, 44100)
    int32_t adv_whole;      // down / up: whole input samples from one output to the next
    int32_t adv_rem;        // down % up
    int32_t step;           // position step per input sample, Q15 table units
    int32_t reach;          // most taps on either side of an output (also the delay)
    uint64_t pos_scale;     // remainder (0..up-1) to Q15 table units, Q32: step / up
    int64_t gain;           // Q24
    int32_t fill;           // samples held in the history
    int32_t at;             // history index of the last input at or before the next output
    int32_t rem;            // the next output lies rem / up input periods after `at`
    const tPolyTable* poly; // the rate's phase table, or null: taps interpolated
};

tResampler conv;
int16_t hist_left[HISTORY_LEN + HISTORY_PAD];
int16_t hist_right[HISTORY_LEN + HISTORY_PAD];

int32_t gcd(int32_t a, int32_t b) {
    while (b != 0) {
        const int32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// Starts a stream at `rate` from silence.
void start(int rate) {
    tResampler c{};
    const int32_t g = gcd(rate, RESAMPLE_OUT_RATE);
    c.rate = rate;
    c.up = RESAMPLE_OUT_RATE / g;
    c.down = rate / g;
    c.adv_whole = c.down / c.up;
    c.adv_rem = c.down % c.up;
    c.step = rate <= RESAMPLE_OUT_RATE ? POS_STEP_UP : down_step(rate);
    c.reach = reach_for(c.step);
    c.pos_scale = pos_scale_for(c.step, c.up);
    c.gain = rate <= RESAMPLE_OUT_RATE ? GAIN_ONE
                                       : (int64_t{RESAMPLE_OUT_RATE} * GAIN_ONE + rate / 2) / rate;
    for (const tPolyTable& t : poly_tables)
        if (t.step == c.step && t.up % c.up == 0) c.poly = &t;
    // Silence before the first sample, as far back as the first output reaches; the
    // first input goes to index 2 * reach, output 0 lies `reach` (the delay) before it.
    c.fill = 2 * c.reach;
    c.at = c.reach;
    c.rem = 0;
    conv = c;
    std::memset(hist_left, 0, sizeof hist_left);
    std::memset(hist_right, 0, sizeof hist_right);
}

int16_t to_sample(int64_t sum, int64_t gain) {
    const int64_t v = ((sum >> ACC_DROP) * gain + OUT_ROUND) >> OUT_SHIFT;
    return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

// ---- making outputs ---------------------------------------------------------------------

// `count` outputs from the position in `conv` on, taps interpolated per output.
void run_interpolated(int16_t* outl, int16_t* outr, int32_t count) {
    int32_t at = conv.at;
    int32_t rem = conv.rem;
    for (int32_t k = 0; k < count; k++) {
        const int16_t* l = hist_left + at - conv.reach + 1;
        const int16_t* r = hist_right + at - conv.reach + 1;
        int64_t sum_l = 0;
        int64_t sum_r = 0;
        for_each_tap(position_of(rem, conv.pos_scale), conv.step, conv.reach,
                     [&](int32_t t, int32_t tap) {
                         sum_l += int64_t{tap} * l[t];
                         sum_r += int64_t{tap} * r[t];
                     });
        outl[k] = to_sample(sum_l, conv.gain);
        outr[k] = to_sample(sum_r, conv.gain);
        at += conv.adv_whole;
        rem += conv.adv_rem;
        if (rem >= conv.up) {
            rem -= conv.up;
            at++;
        }
    }
}

int use_fast = 1;

#if defined(VEXA_SIMD_NEON) && !defined(__aarch64__)
// Read once at start-up (a namespace-scope initialiser needs no guard, unlike a local static).
const int has_neon = (getauxval(AT_HWCAP) & HWCAP_NEON) != 0 ? 1 : 0;
#endif

int fast_available() {
#if defined(VEXA_SIMD_NEON) && defined(__aarch64__)
    return 1;
#elif defined(VEXA_SIMD_NEON)
    return has_neon;
#else
    return 0;
#endif
}

// `count` outputs from the position in `conv` on, from the rate's phase table.
void run_table(int16_t* outl, int16_t* outr, int32_t count) {
    const tPolyTable& t = *conv.poly;
    const int32_t phase_len = 2 * t.window;
    const int32_t phase_step = t.up / conv.up; // table phases per remainder
    tPolyRun run{};
    run.phase = t.taps + conv.rem * phase_step * phase_len;
    run.left = hist_left + conv.at - conv.reach + 1;
    run.right = hist_right + conv.at - conv.reach + 1;
    run.out_left = outl;
    run.out_right = outr;
    run.window = t.window;
    run.rem = conv.rem;
    run.up = conv.up;
    run.adv_whole = conv.adv_whole;
    run.adv_rem = conv.adv_rem;
    run.phase_adv = conv.adv_rem * phase_step * phase_len;
    run.phase_wrap = t.up * phase_len;
    run.gain = static_cast<int32_t>(conv.gain);
    run.count = count;
#if defined(VEXA_SIMD_NEON)
    if (use_fast != 0 && fast_available() != 0) {
        poly_run_neon(run);
        return;
    }
#endif
    poly_run_portable(run);
}

// Makes every output whose inputs have all arrived. Writes while `written` < cap and
// drops the rest; returns the new count of written samples.
int convert_due(int16_t* outl, int16_t* outr, int written, int cap) {
    // With positions in units of 1 / up input periods, an output is due once the input
    // holds the instant of the following one: at + reach + (rem > 0) <= fill for it.
    const int64_t last = int64_t{conv.fill - conv.reach} * conv.up - conv.down;
    int64_t x = int64_t{conv.at} * conv.up + conv.rem;
    if (x > last) return written;
    const auto due = static_cast<int32_t>((last - x) / conv.down + 1);
    const int32_t made = std::clamp(cap - written, 0, due);
    if (made > 0) {
        if (conv.poly != nullptr)
            run_table(outl + written, outr + written, made);
        else
            run_interpolated(outl + written, outr + written, made);
    }
    x += int64_t{due} * conv.down;
    conv.at = static_cast<int32_t>(x / conv.up);
    conv.rem = static_cast<int32_t>(x % conv.up);
    return written + made;
}

// Drops the history that no later output reaches.
void compact() {
    const int32_t keep_from = conv.at - conv.reach + 1;
    const int32_t kept = conv.fill - keep_from;
    std::memmove(hist_left, hist_left + keep_from, size_t(kept) * sizeof hist_left[0]);
    std::memmove(hist_right, hist_right + keep_from, size_t(kept) * sizeof hist_right[0]);
    conv.fill = kept;
    conv.at -= keep_from;
}

} // namespace

namespace {

// Adds eight taps, the pairs from `pair` on, times the samples l[0], l[stride], ...
// and r[0], r[stride], ... to the sums.
inline void add_taps(const int16_t*& pair, const int16_t* l, const int16_t* r, int32_t stride,
                     int64_t& sum_l, int64_t& sum_r) {
#pragma GCC unroll 1
    for (int32_t j = 0; j < 8; j++, pair += 2, l += stride, r += stride) {
        const int32_t tap = pair[0] * (1 << POLY_LO_BITS) + pair[1];
        sum_l += int64_t{tap} * *l;
        sum_r += int64_t{tap} * *r;
    }
}

template <int32_t WINDOW> void portable_run(const tPolyRun& r) {
    const int16_t* phase = r.phase;
    int32_t rem = r.rem;
    int32_t at = 0;
    for (int32_t k = 0; k < r.count; k++) {
        const int16_t* pair = phase;
        const int16_t* l = r.left + at;
        const int16_t* rt = r.right + at;
        int64_t sum_l = 0;
        int64_t sum_r = 0;
        // Per group of 16 the even taps, then the odd ones; a last group of 8 in order.
        for (int32_t group = 0; group + 16 <= WINDOW; group += 16) {
            add_taps(pair, l + group, rt + group, 2, sum_l, sum_r);
            add_taps(pair, l + group + 1, rt + group + 1, 2, sum_l, sum_r);
        }
        if constexpr (WINDOW % 16 != 0)
            add_taps(pair, l + WINDOW - 8, rt + WINDOW - 8, 1, sum_l, sum_r);
        r.out_left[k] = to_sample(sum_l, r.gain);
        r.out_right[k] = to_sample(sum_r, r.gain);
        poly_advance(r, rem, phase, at);
    }
}

} // namespace

// The portable dot products of a table run; the reference of the fast ones.
void poly_run_portable(const tPolyRun& r) {
    if (r.window == 48)
        portable_run<48>(r);
    else
        portable_run<56>(r);
}

int resample_supported(int rate) {
    return rate >= RESAMPLE_MIN_RATE && rate <= RESAMPLE_MAX_RATE ? 1 : 0;
}

int resample_delay(int rate) {
    if (!resample_supported(rate)) return 0;
    return reach_for(rate <= RESAMPLE_OUT_RATE ? POS_STEP_UP : down_step(rate));
}

void resample_reset() {
    conv = tResampler{};
}

int resample_fast_available() {
    return fast_available();
}

void resample_use_fast(int on) {
    use_fast = on != 0 ? 1 : 0;
}

int resample_block(const int16_t* left, const int16_t* right, int samples, int rate, int16_t* outl,
                   int16_t* outr, int cap) {
    if (!resample_supported(rate)) return 0;
    if (conv.rate != rate) start(rate);
    cap = std::max(cap, 0);
    int written = 0;
    int done = 0;
    for (;;) {
        written = convert_due(outl, outr, written, cap);
        if (done >= samples) break;
        if (conv.fill == HISTORY_LEN) compact();
        const int n = std::min(samples - done, HISTORY_LEN - conv.fill);
        std::memcpy(hist_left + conv.fill, left + done, size_t(n) * sizeof left[0]);
        std::memcpy(hist_right + conv.fill, right + done, size_t(n) * sizeof right[0]);
        conv.fill += n;
        done += n;
    }
    return written;
}
