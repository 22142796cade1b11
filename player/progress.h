// The line a person at a terminal sees while a track plays: its name, then the time played
// and the track's length (01:23 / 04:56), rewritten in place each second. Only when standard
// error is a terminal and at debug level 0 (and the play loop asks for none under -q), so
// that callers and logs see nothing of it.
#pragma once

#include "playfile.h"

// Shows `second` of `track`, whose last frame header read is `packed_info` (called when the
// whole second changes).
void progress_show(const tProbeResult& track, uint32_t packed_info, int32_t second);
// Ends the track's line.
void progress_end();
