// Playing one file: probe, reader process, decode/play loop.
#pragma once

#include "frametag.h"
#include "mp3dec.h"
#include "mp3feed.h"
#include "wavhdr.h"

#include <cstdint>

// Everything the probe finds out about a file and the loop keeps while playing it. One per
// play, made by the probe and handed to each of its steps.
struct tPlayback {
    int32_t wavmode;          // a PCM WAV file
    tWAVInfo wav;             // its header
    int32_t rate;             // Hz of the current block
    int32_t samplecount;      // samples per channel of the current block
    int64_t samples_played;   // sample frames since the start of the track
    int32_t last_second;      // the second last reported to the daemon
    int32_t skip_frames;      // decoded frames still to throw away after a seek
    int64_t wav_bytes_done;   // bytes of the data chunk consumed
    int32_t pcm_pending;      // pcm_left/pcm_right hold a block not yet written
    int32_t end_flag;         // nothing (more) to play
    int32_t start_counter;    // passes through DL_START, for the fill-level trace
    int64_t start_offset;     // byte where the reader starts
    int64_t file_length;      // bytes
    int32_t total_track_time; // whole seconds
    tMp3Feed feed;            // MPEG: the frames for the decoder; the probe leaves in it what
                              // it learned of a free-format frame's length
    int32_t device_failed;    // the device failed for good: nothing more can play
    int32_t slot_fill;        // bytes of the pipe block being filled: a pipe read may bring
                              // less than a block, and only whole ones are committed
    int32_t memory_locked;    // the player's pages are locked (the first time the loop waits
                              // for the device)
    int32_t file_fd;          // the file, open from the probe to the fork; else -1
    int32_t swap_bytes;       // the stream's words are byte-reversed on their way into the
                              // bit buffer: the -w option's swap_bytes, cleared for a WAV file
    const char* file_name;    // for the messages of the loop
    int64_t stream_bytes;     // MPEG: bytes of audio from start_offset on (the tags at the
                              // end are not played)
    int32_t skip_header;      // the first frame decoded carries the stream's header: it is
                              // neither played nor counted
    tGaplessWindow gapless;   // the decoded samples kept (gapless playback)
    int64_t decoded_at;       // stream sample (after the header frame) of the next frame
                              // decoded; -1 when not known exactly
    int64_t last_frame_at;    // stream byte of the last frame decoded
};

extern tMPEGInstance* inst;

// Sets up what lives for the whole run: decoder instance, bit buffer, pipe buffer and
// audio device. Returns 0; every failure ends the process.
int decoder_init();
// Plays the first track, probed into `pb`: forks the reader, opens the device. Returns in
// the player process only: 0 when the track played to its end, 1 when the device failed.
int play_first_track(tPlayback& pb, const char* file);
// Plays a track whose pipe is infd on the open device; as play_first_track.
int play_track(tPlayback& pb);
// After the last track: drains the device (unless it failed) and closes it.
void end_play(int device_failed);
// In the reader, which plays nothing: gives back the pipe buffer.
void free_pipe_buffer();
// Opens the audio device; the process ends when it cannot be had.
void open_device();

// Pieces of a play, each in a file of its own.
void probe_file(tPlayback& pb, const char* file, long offset);
void fork_reader(tPlayback& pb, const char* file);
void make_track_pipe(int (&fds)[2]);
int run_reader(const char* file, int64_t start_offset, int outfd);
void play_loop(tPlayback& pb);
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
