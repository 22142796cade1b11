// Process-wide settings of the player: what the command line and the environment ask for.
//
// Plain variables, each written in one place only: by main (player/main.cpp) while it reads
// the environment and the command line, before anything is played. After that they are
// read-only. Libraries and tests link the one definition in settings.cpp.
//
//   setting              written by (main)          read by
//   debug                VEXA_DEBUG_LEVEL, -d       every module's trace lines (tests set it
//                                                   to see them)
//   override_channels    -c                         main, which hands it to the probe and the
//   override_samplerate  -r                         play loop (tPlayerConfig, player/playfile.h)
//   silent               -q, -i                     main, which hands it to the audio output,
//                                                   and to the play loop
//   info_only            -i                         main, which hands it to the probe
//   output_file          -o                         main, which hands it to the audio output;
//   output_name          -o                         the output owns and closes the stream
//   output_device        -a                         main, which hands it to the audio output
//   swap_channels        -p                         main, which hands it to the audio output
//   spindown             -s                         nothing
//   gapless              --no-gapless               main, which hands it to the probe: the
//                                                   encoder's delay and padding and the header
//                                                   frame of an MPEG file are not played
//   swap_bytes           -w                         main, which hands it to the probe: it decides
//                                                   from it how the stream's words enter the bit
//                                                   buffer
//
// The state of the two processes of a play (child_pid, the pipe's infd) is the player's
// own: tProcesses in player/playfile.h.
#pragma once

#include <cstdio>

extern int debug;               // amount of diagnostic text; level n prints when debug >= n
extern int override_channels;   // 1 or 2 replaces the stream's channel count; 0 = off
extern int override_samplerate; // 11025, 22050 or 44100 replaces the stream's rate; 0 = off
extern int silent;              // no audio device is opened and nothing is written
extern int info_only;           // only print the track time, then exit
extern std::FILE* output_file;  // every written block is also appended here (or null)
extern const char* output_name; // the name output_file was opened under
extern int swap_channels;       // left and right are exchanged
extern int spindown;            // accepted and stored only
extern int swap_bytes; // 1: MPEG input words get their earliest byte on top; 0 (-w): the bottom
extern int gapless;    // 1: trim what the encoder added (LAME delay, padding, header frame)

// -a: the device to play to, an OSS device's path or an ALSA PCM's name; null when not given.
extern const char* output_device;
