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
// built at compile time from the kernel with the same interpolation, the gain folded in
// and rounded to Q19; there the work per output is the dot product alone, one multiply per
// tap and channel, done eight lanes at a time with NEON, or with the ARMv5E DSP
// multiplies, where the processor has them. Other rates interpolate the Q23 taps per
// output and sum them in 64 bits.
//
// Integer arithmetic only. The input is copied into a short history of sample pairs;
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

constexpr int COEF_BITS = 23; // table entries and interpolated taps: Q23
constexpr int GAIN_BITS = 24;
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
constexpr int64_t GAIN_ONE = int64_t{1} << GAIN_BITS; // 0x1000000 = 16777216

// The sum of taps (Q23 x sample) drops ACC_DROP bits before the gain multiply:
// output = ((sum >> ACC_DROP) * gain) >> (COEF_BITS - ACC_DROP + GAIN_BITS), rounded.
constexpr int ACC_DROP = 8;
constexpr int OUT_SHIFT = COEF_BITS - ACC_DROP + GAIN_BITS; // 39
constexpr int64_t OUT_ROUND = int64_t{1} << (OUT_SHIFT - 1);

// The output gain at `rate`: 1.0 upward, 44100 / rate downward, rounded.
constexpr int64_t gain_for(int rate) {
    return rate <= RESAMPLE_OUT_RATE ? GAIN_ONE
                                     : (int64_t{RESAMPLE_OUT_RATE} * GAIN_ONE + rate / 2) / rate;
}

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

// Every phase of one (up, step), laid out as resample_poly.h says: the taps times the
// gain (Q24), Q19, rounded to nearest.
template <int32_t UP, int32_t STEP>
constexpr std::array<int32_t, 64> phase_taps(int32_t rem, int64_t gain) {
    constexpr int drop = COEF_BITS + GAIN_BITS - POLY_TAP_BITS;
    std::array<int32_t, 64> taps{};
    for_each_tap(position_of(rem, pos_scale_for(STEP, UP)), STEP, reach_for(STEP),
                 [&taps, gain](int32_t k, int32_t tap) {
                     taps[size_t(k)] =
                         static_cast<int32_t>((tap * gain + (int64_t{1} << (drop - 1))) >> drop);
                 });
    return taps;
}

template <int32_t UP, int32_t STEP, int32_t WINDOW>
constexpr std::array<int16_t, size_t(UP) * poly_phase_len(WINDOW)> build_phases(int64_t gain) {
    static_assert(WINDOW % 8 == 0 && WINDOW >= 2 * reach_for(STEP) && WINDOW <= 64);
    constexpr int32_t center_end = POLY_CENTER_AT + poly_center_len(WINDOW);
    std::array<int16_t, size_t(UP) * poly_phase_len(WINDOW)> table{};
    for (int32_t rem = 0; rem < UP; rem++) {
        const std::array<int32_t, 64> taps = phase_taps<UP, STEP>(rem, gain);
        size_t at = size_t(rem * poly_phase_len(WINDOW));
        for (int32_t t = 0; t < WINDOW; t++) {
            const int32_t c = taps[size_t(t)];
            if (t >= POLY_CENTER_AT && t < center_end) {
                const int32_t f = c & ((1 << POLY_CENTER_BITS) - 1);
                table[at++] = static_cast<int16_t>(static_cast<uint16_t>(f << POLY_LOW_SHIFT));
                table[at++] = static_cast<int16_t>(c >> POLY_CENTER_BITS);
            } else {
                table[at++] = static_cast<int16_t>(c);
            }
        }
    }
    return table;
}

// Checks the taps of a table: every outer tap fits 16 bits and every centre word 32; the
// sums of any window stay within 32 bits with room to spare, B (the outer taps times
// full-scale samples) and T + (B >> 5) + 2^13.
template <int32_t UP, int32_t STEP, int32_t WINDOW> constexpr bool poly_sums_fit(int64_t gain) {
    constexpr int32_t center_end = POLY_CENTER_AT + poly_center_len(WINDOW);
    constexpr int64_t room = INT32_MAX - (1 << 22);
    for (int32_t rem = 0; rem < UP; rem++) {
        const std::array<int32_t, 64> taps = phase_taps<UP, STEP>(rem, gain);
        int64_t outer = 0, center = 0;
        for (int32_t t = 0; t < WINDOW; t++) {
            const int64_t c = taps[size_t(t)] < 0 ? -int64_t{taps[size_t(t)]} : taps[size_t(t)];
            if (t >= POLY_CENTER_AT && t < center_end) {
                if (c >= int64_t{1} << (31 - POLY_WORD_SHIFT)) return false;
                center += c;
            } else {
                if (c > INT16_MAX) return false;
                outer += c;
            }
        }
        if (outer * 32768 > room) return false;
        if ((center * 32768 >> POLY_CENTER_BITS) + WINDOW + (outer * 32768 >> POLY_CENTER_BITS) +
                (1 << POLY_SUM_BITS) >
            room)
            return false;
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
constexpr int64_t GAIN_48000 = gain_for(48000);
constexpr auto poly_441 = build_phases<441, POS_STEP_UP, 48>(GAIN_ONE);
constexpr auto poly_48000 = build_phases<147, STEP_48000, 56>(GAIN_48000);
static_assert(sizeof poly_441 == 56448 && sizeof poly_48000 == 23520, "constant table sizes");
static_assert(poly_sums_fit<441, POS_STEP_UP, 48>(GAIN_ONE) &&
              poly_sums_fit<147, STEP_48000, 56>(GAIN_48000));
static_assert(2 * reach_for(POS_STEP_UP) <= poly_used_len(48) &&
              2 * reach_for(STEP_48000) <= poly_used_len(56));
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
// Sample pairs, left then right: the fast loops load whole pairs as 32-bit words.
alignas(16) int16_t hist[2 * (HISTORY_LEN + HISTORY_PAD)];

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
    c.gain = gain_for(rate);
    for (const tPolyTable& t : poly_tables)
        if (t.step == c.step && t.up % c.up == 0) c.poly = &t;
    // Silence before the first sample, as far back as the first output reaches; the
    // first input goes to index 2 * reach, output 0 lies `reach` (the delay) before it.
    c.fill = 2 * c.reach;
    c.at = c.reach;
    c.rem = 0;
    conv = c;
    std::memset(hist, 0, sizeof hist);
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
        const int16_t* pair = hist + 2 * (at - conv.reach + 1);
        int64_t sum_l = 0;
        int64_t sum_r = 0;
        for_each_tap(position_of(rem, conv.pos_scale), conv.step, conv.reach,
                     [&](int32_t t, int32_t tap) {
                         sum_l += int64_t{tap} * pair[2 * t];
                         sum_r += int64_t{tap} * pair[2 * t + 1];
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
#elif defined(VEXA_RESAMPLE_ARMV5E)
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
    const int32_t phase_len = poly_phase_len(t.window);
    const int32_t phase_step = t.up / conv.up; // table phases per remainder
    tPolyRun run{};
    run.phase = t.taps + conv.rem * phase_step * phase_len;
    run.hist = hist + 2 * (conv.at - conv.reach + 1);
    run.out_left = outl;
    run.out_right = outr;
    run.window = t.window;
    run.rem = conv.rem;
    run.up = conv.up;
    run.adv_whole = conv.adv_whole;
    run.adv_rem = conv.adv_rem;
    run.phase_adv = conv.adv_rem * phase_step * phase_len;
    run.phase_wrap = t.up * phase_len;
    run.count = count;
#if defined(VEXA_SIMD_NEON)
    if (use_fast != 0 && fast_available() != 0) {
        poly_run_neon(run);
        return;
    }
#endif
#if defined(VEXA_RESAMPLE_ARMV5E)
    if (use_fast != 0) {
        poly_run_armv5e(run);
        return;
    }
#endif
    poly_run_portable(run);
}

// Copies n samples of each channel into the history's pairs.
void interleave(const int16_t* left, const int16_t* right, int32_t n, int16_t* pairs) {
#if defined(VEXA_SIMD_NEON)
    if (fast_available() != 0) {
        poly_interleave_neon(left, right, n, pairs);
        return;
    }
#endif
#pragma GCC unroll 4
    for (int32_t i = 0; i < n; i++) {
        pairs[2 * i] = left[i];
        pairs[2 * i + 1] = right[i];
    }
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
    std::memmove(hist, hist + 2 * keep_from, size_t(2 * kept) * sizeof hist[0]);
    conv.fill = kept;
    conv.at -= keep_from;
}

} // namespace

namespace {

// Adds the exact products of `n` outer taps and sample pairs to the sums.
inline void add_outer(const int16_t*& tap, const int16_t*& pair, int32_t n, int32_t& sum_l,
                      int32_t& sum_r) {
    for (int32_t t = 0; t < n; t++) {
        sum_l += tap[t] * pair[2 * t];
        sum_r += tap[t] * pair[2 * t + 1];
    }
    tap += n;
    pair += 2 * n;
}

template <int32_t WINDOW> void portable_run(const tPolyRun& r) {
    constexpr int32_t center_len = poly_center_len(WINDOW);
    const int16_t* phase = r.phase;
    int32_t rem = r.rem;
    int32_t at = 0;
    for (int32_t k = 0; k < r.count; k++) {
        const int16_t* tap = phase;
        const int16_t* pair = r.hist + 2 * at;
        int32_t outer_l = 0, outer_r = 0, center_l = 0, center_r = 0;
        add_outer(tap, pair, POLY_CENTER_AT, outer_l, outer_r);
        for (int32_t t = 0; t < center_len; t++, tap += 2, pair += 2) {
            // The centre word's halves: high a = c >> 5, low (c & 31) << POLY_LOW_SHIFT.
            const int32_t c =
                tap[1] * (1 << POLY_CENTER_BITS) + ((tap[0] & 0xFFFF) >> POLY_LOW_SHIFT);
            center_l += static_cast<int32_t>((int64_t{c} * pair[0]) >> POLY_CENTER_BITS);
            center_r += static_cast<int32_t>((int64_t{c} * pair[1]) >> POLY_CENTER_BITS);
        }
        add_outer(tap, pair, WINDOW - POLY_CENTER_AT - center_len, outer_l, outer_r);
        r.out_left[k] = poly_sample(center_l, outer_l);
        r.out_right[k] = poly_sample(center_r, outer_r);
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
        interleave(left + done, right + done, n, hist + 2 * conv.fill);
        conv.fill += n;
        done += n;
    }
    return written;
}
