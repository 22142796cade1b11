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
// Integer arithmetic only. The input is copied into a short per-channel history;
// everything lives in module state and nothing is allocated.
#include "resample.h"

#include "resample_table.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// ---- number formats ------------------------------------------------------------

constexpr int COEF_BITS = RSK_FRAC_BITS; // table entries and interpolated taps: Q23
static_assert(COEF_BITS == 23, "the table is Q23");

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
constexpr int GAIN_BITS = 24;
constexpr int64_t GAIN_ONE = int64_t{1} << GAIN_BITS; // 0x1000000 = 16777216

// The sum of taps (Q23 x sample) drops ACC_DROP bits before the gain multiply:
// output = ((sum >> ACC_DROP) * gain) >> (COEF_BITS - ACC_DROP + GAIN_BITS), rounded.
constexpr int ACC_DROP = 8;
constexpr int OUT_SHIFT = COEF_BITS - ACC_DROP + GAIN_BITS; // 39
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

// Per-channel history. After the outputs due have been made, what must stay is the
// reach of the next output on both sides plus one output's advance.
constexpr int32_t HISTORY_LEN = 1024; // samples per channel (2 KiB each)
constexpr int32_t MAX_KEPT = 2 * MAX_REACH + MAX_ADVANCE + 2;
static_assert(MAX_KEPT < HISTORY_LEN / 2, "room for new input after compaction");

// ---- state -----------------------------------------------------------------------

struct tResampler {
    int32_t rate;       // input rate in Hz; 0 before the first block or after a reset
    int32_t up;         // 44100 / gcd(rate, 44100): outputs per `down` inputs
    int32_t down;       // rate / gcd(rate, 44100)
    int32_t adv_whole;  // down / up: whole input samples from one output to the next
    int32_t adv_rem;    // down % up
    int32_t step;       // position step per input sample, Q15 table units
    int32_t reach;      // most taps on either side of an output (also the delay)
    uint64_t pos_scale; // remainder (0..up-1) to Q15 table units, Q32: step / up
    int64_t gain;       // Q24
    int32_t fill;       // samples held in the history
    int32_t at;         // history index of the last input at or before the next output
    int32_t rem;        // the next output lies rem / up input periods after `at`
};

tResampler conv;
int16_t hist_left[HISTORY_LEN];
int16_t hist_right[HISTORY_LEN];

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
    c.pos_scale = ((uint64_t(c.step) << 32) + uint64_t(c.up / 2)) / uint64_t(c.up);
    c.gain = rate <= RESAMPLE_OUT_RATE ? GAIN_ONE
                                       : (int64_t{RESAMPLE_OUT_RATE} * GAIN_ONE + rate / 2) / rate;
    // Silence before the first sample, as far back as the first output reaches; the
    // first input goes to index 2 * reach, output 0 lies `reach` (the delay) before it.
    c.fill = 2 * c.reach;
    c.at = c.reach;
    c.rem = 0;
    conv = c;
    std::memset(hist_left, 0, sizeof hist_left);
    std::memset(hist_right, 0, sizeof hist_right);
}

// Linear interpolation between table entries e[0] and e[1] at weight w (Q15): Q23.
inline int32_t tap_at(const int32_t* e, int32_t w) {
    return e[0] + (((e[1] - e[0]) * w + POS_HALF) >> POS_BITS);
}

// Adds the taps on one side of an output downward: kernel positions pos, pos + step,
// ... up to the end of the kernel, against samples l[0], l[dir], l[2 * dir], ...
inline void add_side(int32_t pos, int32_t step, const int16_t* l, const int16_t* r, int dir,
                     int64_t& sum_l, int64_t& sum_r) {
    for (; pos < POS_END; pos += step, l += dir, r += dir) {
        const int32_t tap = tap_at(rsk_table.data() + (pos >> POS_BITS), pos & POS_MASK);
        sum_l += int64_t{tap} * *l;
        sum_r += int64_t{tap} * *r;
    }
}

// The same upward, where the step is a whole number of table periods: every tap has
// the same weight, `count` taps from entry `e` on, RSK_PHASES entries apart.
inline void add_side_up(const int32_t* e, int32_t w, int count, const int16_t* l, const int16_t* r,
                        int dir, int64_t& sum_l, int64_t& sum_r) {
    for (int j = 0; j < count; j++, e += RSK_PHASES, l += dir, r += dir) {
        const int32_t tap = tap_at(e, w);
        sum_l += int64_t{tap} * *l;
        sum_r += int64_t{tap} * *r;
    }
}

int16_t to_sample(int64_t sum, int64_t gain) {
    const int64_t v = ((sum >> ACC_DROP) * gain + OUT_ROUND) >> OUT_SHIFT;
    return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

// One output sample per channel for the position in `conv`.
void convert_one(int16_t* out_l, int16_t* out_r) {
    // Kernel position of the input sample at `at`, which lies rem / up input periods
    // before the output; the sample after it lies step - u0 past it.
    const auto u0 = static_cast<int32_t>((uint64_t(uint32_t(conv.rem)) * conv.pos_scale) >> 32);
    const int16_t* l = hist_left + conv.at;
    const int16_t* r = hist_right + conv.at;
    int64_t sum_l = 0;
    int64_t sum_r = 0;
    if (conv.rate <= RESAMPLE_OUT_RATE) {
        // u0 < one period: RSK_HALF_WIDTH taps back from `at`; forward from the
        // mirrored position, one fewer when the output falls on an input sample.
        const int32_t w = u0 & POS_MASK;
        const int32_t back = u0 >> POS_BITS;
        const int32_t fwd = RSK_PHASES - back - (w > 0 ? 1 : 0);
        add_side_up(rsk_table.data() + back, w, RSK_HALF_WIDTH, l, r, -1, sum_l, sum_r);
        add_side_up(rsk_table.data() + fwd, w > 0 ? POS_ONE - w : 0,
                    RSK_HALF_WIDTH - (u0 == 0 ? 1 : 0), l + 1, r + 1, 1, sum_l, sum_r);
    } else {
        add_side(u0, conv.step, l, r, -1, sum_l, sum_r);
        add_side(conv.step - u0, conv.step, l + 1, r + 1, 1, sum_l, sum_r);
    }
    *out_l = to_sample(sum_l, conv.gain);
    *out_r = to_sample(sum_r, conv.gain);
}

// Makes every output whose inputs have all arrived. Writes while `written` < cap and
// drops the rest; returns the new count of written samples.
int convert_due(int16_t* outl, int16_t* outr, int written, int cap) {
    for (;;) {
        int32_t next_at = conv.at + conv.adv_whole;
        int32_t next_rem = conv.rem + conv.adv_rem;
        if (next_rem >= conv.up) {
            next_rem -= conv.up;
            next_at++;
        }
        // Due once the input holds the instant of the following output.
        if (next_at + conv.reach + (next_rem > 0 ? 1 : 0) > conv.fill) return written;
        if (written < cap) {
            convert_one(outl + written, outr + written);
            written++;
        }
        conv.at = next_at;
        conv.rem = next_rem;
    }
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
