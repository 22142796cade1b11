// Sampling rate of an MPEG audio frame header.
#pragma once

#include "mp3dec.h"

// Hz for the header's rate code; a reserved code falls back to samplesperchannel * 1225 / 32
// (1152 samples give 44100, 576 give 22050).
int MP3SampleRate(const tMPEGHeader* header);
