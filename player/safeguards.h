// What keeps the player safe on a device it shares with other users and programs: its
// standard descriptors, its lifetime next to the reader, its reports to the daemon, its
// priority, and the checks on what it is asked to do. Each step is called from one place.
#pragma once

#include <cstdint>
#include <span>
#include <sys/types.h>

// First thing at start-up, before anything opens a file or socket: any of descriptors
// 0, 1 and 2 that is closed is opened on /dev/null, so that no file, socket or device
// opened later takes its number and receives the diagnostics. SIGXFSZ is ignored: a file
// size limit ends the -o copy through its write error, never the sound.
void startup_hygiene();
// Refuses (one line, status 1) an -o file that is one of the files to play, before the
// option truncates it. Looks at the command line as the option parser reads it.
void refuse_output_on_input(int argc, char** argv);
// In the player process right after the fork: it ends (as on SIGTERM) when the reader,
// the process the user started, ends first.
void follow_reader(pid_t reader);
// Locks the process's pages in memory, so that the sound never waits for a page: the
// program's own image and BUFFER whole and at once, and of everything else (the shared
// libraries, the stack, the heap) the pages touched so far and later ones as they are
// first touched. The play loop has run through all it uses of the C library by the time
// the player locks; locking every page of every library would hold megabytes it never runs.
void lock_pages(std::span<const uint8_t> buffer);
// In the player process: a real-time or at least a raised priority where permitted,
// unless VEXA_NO_PRIORITY is set (to anything but "" or "0").
void raise_priority();
// A play-time report to the daemon; never waits.
void report_play_time(int seconds);
// Sleeps for KEST_SLEEP microseconds when it is a non-negative whole number.
void kest_sleep();

// The KEST_SLEEP value in microseconds, or -1 when it is not a non-negative whole number.
long long parse_kest_sleep(const char* text);
