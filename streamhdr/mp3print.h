// Decoder statuses, frame headers and read positions as debug text.
#pragma once

#include "mp3dec.h"

int MP3PrintStatus(int status);
void MP3PrintHeader(const tMPEGHeader* header);
void MP3PrintBitstream(const tMPEGBitstream* bs);
