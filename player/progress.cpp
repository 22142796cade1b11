#include "progress.h"

#include "settings.h"
#include "tracks.h"

#include <cstdio>
#include <unistd.h>

namespace {

struct tProgress {
    int32_t checked; // whether the line is wanted has been looked at
    int32_t wanted;
    int32_t shown; // a line of this track is on the screen
};
tProgress progress = {0, 0, 0};
char line[512];

bool wanted() {
    if (!progress.checked) {
        progress.checked = 1;
        progress.wanted = isatty(2) && debug == 0;
    }
    return progress.wanted;
}

// Seconds the track lasts: from the probe when it measured them, else from the data size
// (WAV) or the first frame's bitrate (MPEG).
int64_t track_length(const tProbeResult& pb, uint32_t packed_info) {
    if (pb.total_track_time > 0) return pb.total_track_time;
    if (pb.wavmode) {
        const int64_t per_second = static_cast<int64_t>(pb.wav.block_align) * pb.wav.samplerate;
        return per_second > 0 ? pb.wav.data_size / per_second : 0;
    }
    const int64_t bitrate = mp3_hdr_bitrate_kbps(packed_info) * 1000LL;
    return bitrate > 0 ? (pb.file_length - pb.start_offset) * 8 / bitrate : 0;
}

} // namespace

void progress_show(const tProbeResult& track, uint32_t packed_info, int32_t second) {
    if (!wanted()) return;
    const int64_t length = track_length(track, packed_info);
    const int n = std::snprintf(line, sizeof line, "\r%s  %02d:%02d / %02lld:%02lld", track_name(),
                                second / 60, second % 60, static_cast<long long>(length / 60),
                                static_cast<long long>(length % 60));
    if (n > 0 &&
        write(2, line,
              static_cast<size_t>(n < static_cast<int>(sizeof line) ? n : sizeof line - 1)) > 0)
        progress.shown = 1;
}

void progress_end() {
    if (progress.shown && write(2, "\n", 1) > 0) progress.shown = 0;
}
