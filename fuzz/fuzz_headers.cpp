// The file probe's header parsers on one input, as the player meets them: the WAV
// header, then the ID3v2 tag, then the Xing header of the first frame after it; and the
// tags at both ends with the Xing/Info/VBRI header of a first frame.
#include "frametag.h"
#include "id3v2.h"
#include "layout.h"
#include "settings.h"
#include "wavhdr.h"
#include "xing.h"

#include <cstdint>
#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int input_fd = -1;

// The input as an open file, positioned at 0.
int input_file(const uint8_t* data, size_t size) {
    if (input_fd < 0) {
        input_fd = memfd_create("fuzz-headers", 0);
        // Diagnostics are part of what runs, not of what is looked at.
        if (std::freopen("/dev/null", "w", stdout) == nullptr) __builtin_trap();
    }
    if (input_fd < 0 || ftruncate(input_fd, 0) != 0) __builtin_trap();
    if (size > 0 && pwrite(input_fd, data, size, 0) != static_cast<ssize_t>(size)) __builtin_trap();
    lseek(input_fd, 0, SEEK_SET);
    return input_fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = input_file(data, size);
    debug = static_cast<int>(size & 1); // half the runs print their diagnostics

    tWAVInfo wav{};
    if (wav_read_header(fd, &wav) == WAV_PCM) {
        if (wav.data_offset <= 0 || wav.data_size < 0) __builtin_trap();
        (void)wav_unplayable_reason(&wav);
    }

    lseek(fd, 0, SEEK_SET);
    unsigned char id3[ID3V2_PROBE_BYTES];
    const int start = read_id3v2_header(fd, id3);

    lseek(fd, start > 0 ? start : 0, SEEK_SET);
    tXingHeader xing{};
    if (read_xing_header(fd, &xing) == 1) {
        if (xing_track_seconds(&xing) < 0 || xing_average_bitrate(&xing) < 0) __builtin_trap();
        (void)xing_samplerate(&xing);
    }
    // The parser on its own, over whatever the input holds from its start.
    (void)xing_parse(data, static_cast<int>(size < 4096 ? size : 4096), &xing);

    // The tags around the audio never cross, and the header of the first frame after them
    // gives counts a track time and a seek can use.
    tTagSpan span{};
    find_tag_span(fd, static_cast<int64_t>(size), &span);
    if (span.start_tags_end < 0 || span.end_tags_start < span.start_tags_end ||
        span.end_tags_start > static_cast<int64_t>(size))
        __builtin_trap();
    const auto from = static_cast<size_t>(span.start_tags_end);
    tFrameTag tag{};
    if (frame_tag_parse(std::span(data + from, size - from), &tag)) {
        if (frame_tag_samples(tag) < 0) __builtin_trap();
        int64_t byte = 0, landing = 0;
        if (frame_tag_seek(tag, span.end_tags_start - span.start_tags_end, 30 * 44100, &byte,
                           &landing) &&
            (byte < 0 || landing < 0))
            __builtin_trap();
    }
    return 0;
}
