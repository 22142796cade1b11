#include "mp3rate.h"

#include <array>

namespace {
constexpr std::array<int, 12> rate_hz = {11025, 12000, 8000,  0,     22050, 24000,
                                         16000, 0,     44100, 48000, 32000, 0};
} // namespace

int MP3SampleRate(const tMPEGHeader* header) {
    auto code = static_cast<unsigned>(header->sample_rate);
    int hz = code < rate_hz.size() ? rate_hz[code] : 0;
    return hz != 0 ? hz : header->samplesperchannel * 1225 / 32;
}
