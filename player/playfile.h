// Playing one file: probe, reader process, decode/play loop.
#pragma once

#include "frametag.h"
#include "mp3dec.h"
#include "wavhdr.h"

#include <cstdint>
#include <type_traits>

// What the player's options ask of the probe and the play loop. main hands it over once,
// before anything is played; neither reads an option itself.
struct tPlayerConfig {
    int32_t override_channels;   // 1 or 2 replaces the stream's channel count; 0 = off
    int32_t override_samplerate; // 11025, 22050 or 44100 replaces the stream's rate; 0 = off
    int32_t info_only;           // -i: only the track time is wanted, nothing is played
    int32_t gapless;             // the header frame and the encoder's delay and padding of an
                                 // MPEG file are not played
    int32_t swap_bytes;          // 1: MPEG input words get their earliest byte on top; 0 (-w)
    int32_t silent;              // no device: nothing is shown while playing either
};

// What the probe finds out about a file: what it is, where the reader starts, how long it
// lasts, and where the play loop's counts start. Plain data: the reader hands it to the
// player for each track after the first.
struct tProbeResult {
    int32_t wavmode;          // a PCM WAV file
    tWAVInfo wav;             // its header
    int32_t unreadable;       // the file could not be opened or examined: nothing is played
    int32_t swap_bytes;       // the stream's words are byte-reversed on their way into the
                              // bit buffer: the -w option's swap_bytes, cleared for a WAV file
    int64_t start_offset;     // byte where the reader starts
    int64_t file_length;      // bytes
    int64_t stream_bytes;     // MPEG: bytes of audio from start_offset on (the tags at the
                              // end are not played); -1 when not known
    int32_t total_track_time; // whole seconds
    int32_t free_frame_bytes; // free format: frame length without padding, as learned; else 0
    int64_t samples_played;   // where the loop's counts start: sample frames before
                              // start_offset,
    int64_t wav_bytes_done;   // WAV data bytes before it,
    int32_t skip_frames;      // decoded frames to throw away after a seek,
    int32_t skip_header;      // whether the first frame decoded carries the stream's header
                              // (it is neither played nor counted),
    tGaplessWindow gapless;   // the decoded samples kept (gapless playback),
    int64_t decoded_at;       // and the stream sample (after the header frame) of the first
                              // frame decoded; -1 when not known exactly
};
static_assert(std::is_trivially_copyable_v<tProbeResult>);

// How the probe judged a file.
constexpr int32_t PROBE_PLAY = 0;    // to be played, from the result's start_offset
constexpr int32_t PROBE_INFO = 1;    // -i: the result's total_track_time is its length
constexpr int32_t PROBE_REFUSED = 2; // it cannot be played; `why` says so

struct tProbeVerdict {
    int32_t verdict; // PROBE_PLAY, PROBE_INFO or PROBE_REFUSED
    char why[120];   // PROBE_REFUSED: the line's text after the file's name
};

extern tMPEGInstance* inst;

// Sets up what lives for the whole run: decoder instance, bit buffer, pipe buffer and
// audio device. Returns 0; every failure ends the process.
int decoder_init();
// Plays the first track, probed into `track`: forks the reader, opens the device. Returns in
// the player process only: 0 when the track played to its end, 1 when the device failed.
int play_first_track(const tPlayerConfig& config, const tProbeResult& track, const char* file);
// Plays a track whose pipe is infd on the open device; as play_first_track.
int play_track(const tPlayerConfig& config, const tProbeResult& track, const char* file);
// After the last track: drains the device (unless it failed) and closes it.
void end_play(int device_failed);
// In the reader, which plays nothing: gives back the pipe buffer.
void free_pipe_buffer();
// Opens the audio device; the process ends when it cannot be had.
void open_device();

// Pieces of a play, each in a file of its own.
// Examines `file` for a start `offset` seconds in: fills `track` and says what is to be
// done with the file. Prints only debug lines; the caller prints the refusal or the time.
tProbeVerdict probe_file(const tPlayerConfig& config, const char* file, long offset,
                         tProbeResult& track);
void fork_reader(const tProbeResult& track, const char* file);
void make_track_pipe(int (&fds)[2]);
int run_reader(const char* file, int64_t start_offset, int outfd);
// Runs the decode/play loop over the track in the pipe; 1 when the device failed for good.
int play_loop(const tPlayerConfig& config, const tProbeResult& track, const char* file);
void lock_memory_again(); // in the player process, after the fork

// The two processes of a play, which the signal handlers act on. Owned by the fork step
// (fork_reader, in reader.cpp), which writes child_pid and infd (each further track's pipe
// comes from next_track, in tracks.cpp); play_track closes infd after the play, and
// player_wait_status is written by main's SIGCHLD handler for the reader's final wait. The play
// loop reads the pipe through infd; main's SIGTERM/SIGINT handler closes infd and passes the signal
// on to child_pid.
struct tProcesses {
    int32_t child_pid; // the fork's result: the player's pid in the reader, 0 in the player,
                       // -1 before the fork
    int32_t infd;      // the player's end of the pipe, non-blocking; -1 before the fork, after
                       // the play and in the reader
    volatile int32_t player_wait_status; // the player's status as reaped; -1 until then
};
extern tProcesses processes;
