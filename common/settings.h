// Process-wide settings of the player.
//
// Plain variables, written while the command line is parsed (and by the probe for
// swap_bytes, by the fork for child_pid and infd) and read by every module that
// needs them. Libraries and tests link the one definition in settings.cpp.
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
extern int swap_bytes;          // 1: input words get their earliest byte on top; 0 (-w): the bottom
extern int child_pid;           // fork result: player pid in the reader, 0 in the player
extern int infd;                // descriptor the player currently reads its input from
