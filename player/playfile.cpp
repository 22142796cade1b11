#include "playfile.h"

#include "audio.h"
#include "mp3feed.h"
#include "mp3print.h"
#include "mp3rate.h"
#include "progress.h"
#include "rivover.h"
#include "safeguards.h"
#include "settings.h"
#include "smbuf.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <span>
#include <unistd.h>

tMPEGInstance* inst = nullptr;

namespace {

// The block the loop decodes (or takes from a WAV file) and writes.
int16_t pcm_left[MP3_MAX_SAMPLES];
int16_t pcm_right[MP3_MAX_SAMPLES];

// The pipe buffer between the pipe and the decoder, made once by decoder_init, and the
// input record the loop takes the stream from: bound to the pipe buffer for each track.
pbuffer* pbuf = nullptr;
tInputBuffer player_input{};

// The instance lives in a static area one alignment step larger than itself.
alignas(16) uint8_t instance_area[sizeof(tMPEGInstance) + MP3_INSTANCE_ALIGN];

enum tLoopState { DL_START, DL_DECODE, DL_TRY_WRITE, DL_TRY_READ, DL_SLEEP, DL_END };

// The loop's own state for one track, started from the probe's result.
struct tPlayState {
    int32_t rate;           // Hz of the current block
    int32_t samplecount;    // samples per channel of the current block
    int64_t samples_played; // sample frames since the start of the track
    int32_t last_second;    // the second last reported to the daemon
    int32_t skip_frames;    // decoded frames still to throw away after a seek
    int64_t wav_bytes_done; // bytes of the data chunk consumed
    int32_t pcm_pending;    // pcm_left/pcm_right hold a block not yet written
    int32_t start_counter;  // passes through DL_START, for the fill-level trace
    int32_t skip_header;    // the next frame decoded carries the stream's header
    int64_t decoded_at;     // stream sample (after the header frame) of the next frame
                            // decoded; -1 when not known exactly
    int64_t last_frame_at;  // stream byte of the last frame decoded
    tMp3Feed feed;          // MPEG: the frames for the decoder
    int32_t slot_fill;      // bytes of the pipe block being filled: a pipe read may bring
                            // less than a block, and only whole ones are committed
    int32_t memory_locked;  // the player's pages are locked (the first time the loop waits
                            // for the device)
    int32_t device_failed;  // the device failed for good: nothing more can play
};

// One track's play: the options, what the probe found, and the loop's state.
struct tTrackPlay {
    const tPlayerConfig& config;
    const tProbeResult& track;
    const char* file; // for the messages
    tPlayState& st;
};

unsigned addr32(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

int16_t le16(const uint8_t* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
}

tLoopState state_start(tPlayState& pb) {
    if (debug >= 3) std::printf("DL_START\n");
    if (debug != 0 && ++pb.start_counter == 0x4000 + 1) {
        pb.start_counter = 0;
        if (debug >= 2) std::printf("DL_START pbuffer_level = %d\n", pbuffer_level(pbuf));
    }
    return pb.pcm_pending ? DL_TRY_WRITE : DL_DECODE;
}

tLoopState decode_wav(const tTrackPlay& p) {
    tPlayState& pb = p.st;
    const tWAVInfo& wav = p.track.wav;
    if (debug >= 3) std::printf("DL_DECODE wavmode\n");
    if (pb.wav_bytes_done >= wav.data_size) return DL_END;
    if (debug >= 3) std::printf("DL_DECODE reading some data\n");
    int r = read_wav_data_from_inbuf(player_input);
    if (r == 0) {
        if (debug >= 3) std::printf("DL_DECODE pbuffer empty\n");
        return DL_TRY_READ;
    }
    if (r < 0) {
        if (debug >= 1) std::printf("DL_DECODE EOF reached\n");
        return DL_END;
    }
    pb.samplecount = 0;
    const uint8_t* block = player_input.wav_block.data();
    const int channels =
        p.config.override_channels != 0 ? p.config.override_channels : wav.channels;
    pb.rate = p.config.override_samplerate != 0 ? p.config.override_samplerate : wav.samplerate;
    if (channels == 1) {
        const int samples = player_input.wav_count / 2;
        for (int i = 0; i < samples && pb.wav_bytes_done < wav.data_size; i++) {
            pcm_left[i] = le16(block + 2 * i);
            pb.wav_bytes_done += 2;
            pb.samplecount += 1;
        }
        std::memcpy(pcm_right, pcm_left, static_cast<size_t>(pb.samplecount) * sizeof(int16_t));
    } else {
        const int samples = player_input.wav_count / 4;
        for (int i = 0; i < samples && pb.wav_bytes_done < wav.data_size; i++) {
            pcm_left[i] = le16(block + 4 * i);
            pcm_right[i] = le16(block + 4 * i + 2);
            pb.wav_bytes_done += 4;
            pb.samplecount += 1;
        }
    }
    pb.pcm_pending = 1;
    return DL_TRY_WRITE;
}

// Status line of a decoder call the feed reports refused.
void trace_status(const char* call, tMPEGStatus s) {
    if (debug >= 3) {
        std::printf("%s", call);
        MP3PrintStatus(s);
    }
}

// After the stream was found, a stretch this long without a frame ends the track: the file
// has become something else, or never ends (a device).
constexpr int64_t LOST_SYNC_BYTES = 1 << 20;

bool lost_sync(const tTrackPlay& p) {
    if (stream_position(player_input) - p.st.last_frame_at <= LOST_SYNC_BYTES) return false;
    std::fprintf(stderr, "%s: no MPEG audio frame in 1 MiB; the track ends here\n", p.file);
    return true;
}

// The part of the decoded frame that is played: after the header frame, and without the
// encoder's delay and padding. False when nothing of it is.
bool keep_samples(const tTrackPlay& p, int channels, int64_t header_at) {
    tPlayState& pb = p.st;
    // The header's frame is the one at the reader's first byte; if it was not decoded,
    // the next frame is played.
    if (pb.skip_header) {
        pb.skip_header = 0;
        if (header_at == 0) return false;
    }
    if (pb.decoded_at < 0) return true;
    int32_t from = 0, kept = 0;
    gapless_clip(p.track.gapless, pb.decoded_at, pb.samplecount, &from, &kept);
    pb.decoded_at += pb.samplecount;
    if (kept > 0 && from > 0) {
        const auto bytes = static_cast<size_t>(kept) * sizeof(int16_t);
        std::memmove(pcm_left, pcm_left + from, bytes);
        if (channels != 1) std::memmove(pcm_right, pcm_right + from, bytes);
    }
    pb.samplecount = kept;
    return kept > 0;
}

tLoopState decode_mpeg(const tTrackPlay& p) {
    tPlayState& pb = p.st;
    tMp3Feed& feed = pb.feed;
    for (;;) {
        const tFeedEvent e = mp3feed_next(feed);
        switch (e) {
        case FEED_NEED_INPUT:
            if (debug >= (feed.step == FEED_SEARCH ? 3 : 2))
                std::printf("DL_DECODE nothing in pbuffer\n");
            return DL_TRY_READ;
        case FEED_LOOK_AHEAD:
            return DL_TRY_READ;
        case FEED_INPUT_ENDED:
            if (debug >= 1) std::printf("DL_DECODE EOF reached\n");
            break;
        case FEED_SYNC_FOUND:
            if (debug >= 3) std::printf("DL_DECODE Found header.\n");
            break;
        case FEED_NO_SYNC:
            trace_status("(MP3SearchForSyncword) mpgstatus = ", feed.status);
            // Once the input has ended, a search that finds nothing more ends the stream.
            return feed.input_ended || lost_sync(p) ? DL_END : DL_START;
        case FEED_NOT_STREAM:
            if (debug >= 3) std::printf("DL_DECODE no stream starts at this sync word\n");
            return lost_sync(p) ? DL_END : DL_START;
        case FEED_BAD_HEADER:
            trace_status("(MP3DecodeInfo)        mpgstatus = ", feed.status);
            return lost_sync(p) ? DL_END : DL_START;
        case FEED_HEADER_READ:
            // The tags at the end of the file are no part of the stream.
            if (p.track.stream_bytes >= 0 && feed.header_at >= p.track.stream_bytes) return DL_END;
            if (debug >= 3) std::printf("decoder:  Decoded Header.\n");
            if (debug >= 4) MP3PrintHeader(&feed.header);
            pb.rate = p.config.override_samplerate != 0 ? p.config.override_samplerate
                                                        : MP3SampleRate(&feed.header);
            if (debug >= 3) std::printf("DL_DECODE rate = %d\n", pb.rate);
            break;
        case FEED_DROPPED:
            trace_status("(MP3DecodeData)        mpgstatus = ", feed.status);
            return DL_START;
        case FEED_CUT_SHORT:
        case FEED_END:
            return DL_END;
        case FEED_FRAME: {
            if (debug >= 3)
                std::printf("DL_DECODE %d samples per channel\n", feed.header.samplesperchannel);
            pb.samplecount = feed.header.samplesperchannel;
            const int channels =
                p.config.override_channels != 0 ? p.config.override_channels : feed.header.numchans;
            pb.last_frame_at = feed.header_at;
            // The frames dropped after a seek count as played: the time runs from the
            // frame the seek landed on.
            if (pb.skip_frames > 0 && !pb.skip_header) {
                pb.skip_frames -= 1;
                pb.samples_played += pb.samplecount;
                if (pb.decoded_at >= 0) pb.decoded_at += pb.samplecount;
                return DL_START;
            }
            if (!keep_samples(p, feed.header.numchans, feed.header_at)) return DL_START;
            // A mono frame has no right channel of its own, whatever -c asks for.
            if (channels == 1 || feed.header.numchans == 1)
                std::memcpy(pcm_right, pcm_left,
                            static_cast<size_t>(pb.samplecount) * sizeof(int16_t));
            pb.pcm_pending = 1;
            return DL_TRY_WRITE;
        }
        }
    }
}

tLoopState state_decode(const tTrackPlay& p) {
    if (debug >= 3) std::printf("DL_DECODE\n");
    return p.track.wavmode ? decode_wav(p) : decode_mpeg(p);
}

tLoopState state_try_write(const tTrackPlay& p) {
    tPlayState& pb = p.st;
    if (debug >= 3) {
        std::printf("DL_TRY_WRITE\n");
        std::printf("DL_TRY_WRITE samplecount = %d rate = %d\n", pb.samplecount, pb.rate);
    }
    const int written = audio_write(pcm_left, pcm_right, pb.samplecount, pb.rate, 0);
    if (written == AUDIO_WRITE_FAILED) {
        pb.device_failed = 1;
        return DL_END;
    }
    if (written == 0) return DL_TRY_READ;
    pb.samples_played += pb.samplecount;
    if (pb.rate > 0) {
        const auto second = static_cast<int32_t>(pb.samples_played / pb.rate);
        if (second != pb.last_second) {
            report_play_time(second);
            if (!p.config.silent) progress_show(p.track, pb.feed.header.packed_info, second);
            pb.last_second = second;
        }
    }
    pb.pcm_pending = 0;
    return DL_DECODE;
}

tLoopState state_try_read(tPlayState& pb) {
    if (debug >= 3) std::printf("DL_TRY_READ\n");
    // Once the pipe has ended there is nothing more to read; a pending block waits for
    // the device alone.
    if (pbuffer_eof(pbuf)) return DL_SLEEP;
    uint8_t* slot = pbuffer_write_slot(pbuf);
    if (slot == nullptr) {
        if (debug >= 3) std::printf("DL_TRY_READ buffer is full\n");
        return DL_SLEEP;
    }
    ssize_t n = read(processes.infd, slot + pb.slot_fill,
                     static_cast<size_t>(PIPE_BLOCK_BYTES - pb.slot_fill));
    if (debug >= 3) std::printf("DL_TRY_READ pipe read %d bytes\n", static_cast<int>(n));
    if (n > 0) {
        pb.slot_fill += static_cast<int32_t>(n);
        if (pb.slot_fill == PIPE_BLOCK_BYTES) {
            pbuffer_commit_write(pbuf);
            pb.slot_fill = 0;
            if (debug >= 3)
                std::printf("DL_TRY_READ pipe read block.  pbuffer level = %d\n",
                            pbuffer_level(pbuf));
        }
        return DL_START;
    }
    if (n == 0) {
        // The last stretch of the stream may be short; what follows it in the block is
        // cleared so that it cannot pass for stream data.
        if (pb.slot_fill > 0) {
            std::memset(slot + pb.slot_fill, 0,
                        static_cast<size_t>(PIPE_BLOCK_BYTES - pb.slot_fill));
            pbuffer_commit_last(pbuf, pb.slot_fill);
            pb.slot_fill = 0;
        }
        pbuffer_set_flags(pbuf, PBUFFER_EOF);
        return DL_SLEEP;
    }
    if (errno == EINTR) return DL_START;
    if (errno == EAGAIN && debug >= 3) std::printf("DL_TRY_READ pipe read try again (EAGAIN)\n");
    return DL_SLEEP;
}

// Waits until the pipe has data for a free block of the pipe buffer, or the device has
// room for a pending block, whichever comes first. With neither to wait for (the pipe
// has ended and nothing is pending) it returns at once.
tLoopState state_sleep(tPlayState& pb) {
    if (debug >= 3) std::printf("DL_SLEEP\n");
    // The pipe, the device's descriptors and the daemon's connection.
    std::array<pollfd, 1 + AUDIO_POLL_MAX + 1> fds{};
    nfds_t count = 0;
    if (!pbuffer_eof(pbuf) && pbuffer_write_slot(pbuf) != nullptr)
        fds[count++] = pollfd{processes.infd, POLLIN, 0};
    // The device's descriptors (none in silent mode) follow the pipe's.
    const auto device = std::span(fds).subspan(count, AUDIO_POLL_MAX);
    const int device_count = pb.pcm_pending ? audio_poll_fds(device) : 0;
    if (device_count > 0 && !pb.memory_locked) {
        lock_memory_again();
        pb.memory_locked = 1;
        return DL_START; // the device may have room by now
    }
    count += static_cast<nfds_t>(device_count);
    if (count == 0) return DL_START;
    // The daemon's replies are taken as they come, and never waited for.
    const int control = ctl_report_fd();
    if (control >= 0) fds[count++] = pollfd{control, POLLIN, 0};
    while (poll(fds.data(), count, -1) < 0 && errno == EINTR) {
    }
    if (device_count > 0) audio_poll_room(device.first(static_cast<size_t>(device_count)));
    if (control >= 0 && fds[count - 1].revents != 0) ctl_report_readable();
    return DL_START;
}

} // namespace

int play_loop(const tPlayerConfig& config, const tProbeResult& track, const char* file) {
    tPlayState st{};
    st.rate = AUDIO_OUT_RATE;
    st.last_second = -1;
    st.samples_played = track.samples_played;
    st.skip_frames = track.skip_frames;
    st.wav_bytes_done = track.wav_bytes_done;
    st.skip_header = track.skip_header;
    st.decoded_at = track.decoded_at;
    // The loop follows the stream from the reader's start byte, with what the probe has
    // learned of a free-format frame's length. The input record and the pipe buffer start
    // empty for each track, bound to the track's byte order.
    input_bind_pipe(player_input, pbuf, track.swap_bytes);
    mp3feed_init(st.feed, inst, pcm_left, pcm_right, &player_input, 1);
    st.feed.free_frame_bytes = track.free_frame_bytes;
    const tTrackPlay p{config, track, file, st};
    tLoopState state = DL_START;
    while (state != DL_END) {
        switch (state) {
        case DL_START:
            state = state_start(st);
            break;
        case DL_DECODE:
            state = state_decode(p);
            break;
        case DL_TRY_WRITE:
            state = state_try_write(p);
            break;
        case DL_TRY_READ:
            state = state_try_read(st);
            break;
        case DL_SLEEP:
            state = state_sleep(st);
            break;
        case DL_END:
            break;
        }
    }
    return st.device_failed;
}

int decoder_init() {
    auto base = reinterpret_cast<uintptr_t>(instance_area);
    auto aligned =
        (base + MP3_INSTANCE_ALIGN - 1) & ~static_cast<uintptr_t>(MP3_INSTANCE_ALIGN - 1);
    inst = reinterpret_cast<tMPEGInstance*>(aligned);
    if (debug >= 1) std::printf("decoder_init: tMPEGInstance *inst == 0x%08X\n", addr32(inst));
    if (reinterpret_cast<uintptr_t>(inst) % MP3_INSTANCE_ALIGN != 0) {
        if (debug >= 1) std::printf("decoder_init: inst is not on a 2048 address boundary.\n");
        std::exit(1);
    }
    pbuf = pbuffer_alloc(PIPE_BLOCKS, PIPE_BLOCK_BYTES);
    input_bind_pipe(player_input, pbuf, 1);
    return 0;
}

void free_pipe_buffer() {
    pbuffer_free(pbuf);
    pbuf = nullptr;
    input_bind_pipe(player_input, nullptr, 1);
}

// Memory locks are not inherited across the fork. Locking reads in the program's image,
// allocates the pipe buffer's pages and copies each page still shared with the reader,
// which takes milliseconds, so the play loop does it once the device holds a full buffer
// rather than before the first sound.
void lock_memory_again() {
    if (debug >= 2) std::printf("locking pages in memory again\n");
    const pbuffer* pb = pbuf;
    lock_pages({pb->data, static_cast<size_t>(pb->count) * static_cast<size_t>(pb->elsize)});
}

void open_device() {
    const int status = audio_open();
    if (status != 0) {
        if (debug >= 1) std::printf("decoder_init: audio_open failed.  status=%d\n", status);
        std::exit(1);
    }
}

int play_first_track(const tPlayerConfig& config, const tProbeResult& track, const char* file) {
    fork_reader(track, file); // only the player process comes back
    // Opened here, not inherited: wrappers of the device may close what a child inherits.
    open_device();
    return play_track(config, track, file);
}

int play_track(const tPlayerConfig& config, const tProbeResult& track, const char* file) {
    if (debug >= 1) std::printf("reinitializing MP3 library, inst=0x%08X\n", addr32(inst));
    std::memset(static_cast<void*>(inst), 0, sizeof(tMPEGInstance));
    MP3InitInstance(inst);

    if (debug >= 2) std::printf("Entering main decode/play loop.\n");
    const int device_failed = track.unreadable ? 0 : play_loop(config, track, file);
    progress_end();
    close(processes.infd);
    processes.infd = -1;
    return device_failed;
}

void end_play(int device_failed) {
    // Everything written is played before the device is let go.
    if (!device_failed) audio_sync();
    audio_close();
}
