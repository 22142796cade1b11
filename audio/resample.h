// Band-limited sample-rate converter to the 44100 Hz of the output device.
//
// Takes any whole rate from RESAMPLE_MIN_RATE to RESAMPLE_MAX_RATE Hz. Blocks of one
// stream are converted seamlessly: the converter keeps its filter history and phase
// from one call to the next, and the result does not depend on how the stream is cut
// into blocks. A call with another rate than the previous one restarts it from
// silence, as resample_reset does.
//
// Sample count: after N input samples per channel since the (re)start, exactly
// floor(N * 44100 / rate) samples per channel have been produced. The output lags
// the input by the filter's reach, a few milliseconds at most (see resample_delay).
#pragma once

#include <cstdint>

constexpr int RESAMPLE_OUT_RATE = 44100;
constexpr int RESAMPLE_MIN_RATE = 4000;
constexpr int RESAMPLE_MAX_RATE = 192000;

// 1 when the converter can bring `rate` Hz to 44100 Hz, else 0.
int resample_supported(int rate);

// Converts one block of `samples` per channel at `rate` Hz into outl/outr, which hold
// `cap` samples each. Returns the number of samples written per channel (0 for a rate
// that is not supported, which leaves the converter untouched). Samples beyond `cap`
// are dropped, the converter staying in step with its input; with cap >=
// samples * 44100 / rate + 1 nothing is ever dropped.
int resample_block(const int16_t* left, const int16_t* right, int samples, int rate, int16_t* outl,
                   int16_t* outr, int cap);

// Forgets history and phase: the next block starts a stream from silence.
void resample_reset();

// The converter's inner loop at the MPEG rates (48000, 32000, 24000, 16000, 12000 Hz
// and the others whose phases it has tabulated) uses the processor's vector unit (NEON)
// where there is one, or on ARM cores without it (armel) the ARMv5E DSP multiplies; the
// portable loop gives the same samples. 1 when this processor runs the fast loop.
int resample_fast_available();
// Chooses the fast loop where available (1, the default) or the portable one (0), for
// tests and benchmarks that compare them.
void resample_use_fast(int on);

// Delay of the output behind the input at `rate`, in input samples (0 when the rate
// is not supported): output sample k is the input at time k * rate / 44100 - delay.
int resample_delay(int rate);
