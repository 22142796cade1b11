// Placeholder until the stage lands.
#include "stages.h"
namespace mp3 {
const tSfbRecord sfb_table[9] = {};
} // namespace mp3
