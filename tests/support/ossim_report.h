// Reading the lines the OSS device simulator appends to OSSIM_REPORT.
#pragma once

#include <string>
#include <vector>

struct OssimGap {
    double at_ms; // program start to the moment the device ran dry
    double ms;    // how long it stayed dry
};

struct OssimReport {
    long pid;
    int opens;                       // open calls on "/dev/dsp", failed ones included
    std::vector<std::string> ioctls; // request names in call order, e.g. "SNDCTL_DSP_RESET"
    long writes;                     // write and writev calls on the device
    long long bytes;                 // bytes the device accepted
    long underruns;                  // realtime mode: times the device ran dry while playing
    double dry_ms;                   // how long those underruns lasted
    double first_write_ms;           // program start to the first accepted byte; -1 for none
    std::vector<OssimGap> gaps;      // the first underruns (at most 8)
};

// One record per line, in file order. A missing file gives no records; a line that does
// not parse fails the current test (and is skipped).
std::vector<OssimReport> read_ossim_reports(const std::string& path);

// Parses one line (without or with its line end); false when it is not a report line.
bool parse_ossim_report(const std::string& line, OssimReport* report);
