// Placeholder until the stage lands.
#include "stages.h"
namespace mp3 {
int32_t huffman_decode(tMPEGInstance* inst, int32_t* xr, const tGranuleInfo* gi, int32_t part2_start) {
    for (int i = 0; i < 576; ++i) xr[i] = 0;
    int32_t d = ((res_position(inst) - (part2_start + gi->part2_3_length)) << 19) >> 19;
    if (d != 0) res_rewind(inst, d);
    return 0;
}
} // namespace mp3
