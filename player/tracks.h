// Playing the files of one command line in order, one after another, on one device.
//
// The started process probes each file and copies it into a pipe of its own (the reader);
// the player, forked once for the first track, takes each further track's playback record
// and pipe from the reader over a socket, and plays it on the device it keeps open, so
// that tracks of the same format follow each other without a gap. A file that cannot be
// played is named in one line by its probe and passed over.
#pragma once

#include "playfile.h"

#include <cstdint>

// How a file came out of its probe.
constexpr int TRACK_READY = 0;  // to be played: the playback record is filled in
constexpr int TRACK_FAILED = 1; // refused (missing, not audio, ...), its line printed
constexpr int TRACK_EMPTY = 2;  // the offset is at or past its end, its line printed

// Probes `file` in a process of its own, so that a file the probe refuses ends only that
// process; fills `pb` for the play.
int prepare_track(tPlayback& pb, const char* file, long offset);

// Plays `count` files from `offset` seconds in (one file only has an offset). Returns in
// the player only: 1 when the device failed, else 0. The reader's exit status is 1 when any
// file failed.
int play_tracks(char* const* files, int count, long offset);

// -i: prints each file's track time in order. Returns the exit status (1).
int info_tracks(char* const* files, int count, long offset);

// In the reader, after the first track has been copied: probes and copies the others.
// Returns 1 when any file failed (the first ones included), else 0.
int copy_more_tracks();

// Name of the file the player plays now.
const char* track_name();
