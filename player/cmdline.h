// The player's command line: options into the settings, then the files and a start offset.
//
//   vexa [options] file [offset]     one file, from offset in (seconds, mm:ss or hh:mm:ss)
//   vexa [options] file file...      every file in order
//
// Two operands are a file and an offset when the second reads as an offset; otherwise
// every operand is a file. "-" is standard input.
#pragma once

#include <cstdint>

struct tOperands {
    int32_t first;      // argv index of the first file
    int32_t count;      // files, from argv[first] on
    long offset;        // seconds into the (one) file; 0 when none was given
    int32_t has_offset; // an offset was given
};

// Prints the help text (-h, --help) to standard output.
void print_help();
// --help and --version answer and exit 0; anything else returns.
void info_option(const char* arg);
// Reads the options into the settings, in order; returns the argv index of the first
// operand. -h ends the process; an unknown option is named on standard error and ignored.
int parse_options(int argc, char** argv);
// Whole seconds, mm:ss or hh:mm:ss (minutes and seconds after a colon below 60); nothing
// else, no sign and no trailing text. Very large values are kept at `OFFSET_LIMIT`.
bool parse_offset(const char* text, long* seconds);
constexpr long OFFSET_LIMIT = 1L << 30;
// Sorts the operands from argv[first] on into files and an offset. Returns false, after
// saying why on standard error, when there is no file or the offset is malformed.
bool take_operands(int argc, char** argv, int first, tOperands* out);
