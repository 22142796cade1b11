// Playing the files of one command line in order, one after another, on one device.
//
// The started process probes each file and copies it into a pipe of its own (the reader);
// the player, forked once for the first track, takes each further track's probe result
// and pipe from the reader over a socket, and plays it on the device it keeps open, so
// that tracks of the same format follow each other without a gap. A file that cannot be
// played is named in one line and passed over.
#pragma once

#include "playfile.h"

#include <cstdint>

// How a file came out of its probe.
constexpr int TRACK_READY = 0;  // to be played: the probe's result is filled in
constexpr int TRACK_FAILED = 1; // refused (missing, not audio, ...), its line printed
constexpr int TRACK_EMPTY = 2;  // the offset is at or past its end, its line printed
constexpr int TRACK_INFO = 3;   // -i: the probe's result holds the track time

// Checks and probes `file`, and prints the line of a file that cannot be played; fills
// `track` for the play.
int prepare_track(const tPlayerConfig& config, tProbeResult& track, const char* file, long offset);

// Plays `count` files from `offset` seconds in (one file only has an offset). Returns in
// the player only: 1 when the device failed, else 0. The reader's exit status is 1 when any
// file failed.
int play_tracks(const tPlayerConfig& config, char* const* files, int count, long offset);

// -i: prints each file's track time in order. Returns the exit status (1).
int info_tracks(const tPlayerConfig& config, char* const* files, int count, long offset);

// In the reader, after the first track has been copied: probes and copies the others.
// Returns 1 when any file failed (the first ones included), else 0.
int copy_more_tracks();

// Name of the file the player plays now.
const char* track_name();
