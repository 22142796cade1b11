// Placeholder until the stage lands.
#include "stages.h"
namespace mp3 {
int synth_granule(const int32_t*, uint8_t*, int16_t* pcm, int32_t (*)[32]) {
    for (int i = 0; i < 576; ++i) pcm[i] = 0;
    return 0;
}
} // namespace mp3
