#include "mp3rate.h"

int MP3SampleRate(const tMPEGHeader* header) {
    const int hz = mp3_rate_code_hz(header->sample_rate);
    return hz != 0 ? hz : header->samplesperchannel * 1225 / 32;
}
