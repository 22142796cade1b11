#include "settings.h"

int debug = 0;
int override_channels = 0;
int override_samplerate = 0;
int silent = 0;
int info_only = 0;
std::FILE* output_file = nullptr;
const char* output_name = "";
const char* output_device = nullptr;
int swap_channels = 0;
int spindown = 0;
int swap_bytes = 1;
int gapless = 1;
