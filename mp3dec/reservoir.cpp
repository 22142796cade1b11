// Placeholder until the stage lands.
#include "stages.h"
namespace mp3 {
uint32_t res_getbits(tMPEGInstance*, int) { return 0; }
int32_t res_position(const tMPEGInstance*) { return 0; }
int32_t res_avail(const tMPEGInstance*) { return 0; }
void res_rewind(tMPEGInstance*, int32_t) {}
void res_copy_in(tMPEGInstance*, tBitReader&, int32_t) {}
void res_store_rest(tMPEGInstance*, tBitReader&, int32_t) {}
} // namespace mp3
