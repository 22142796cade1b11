// vexa-bench [case[:arg]...]
//
// Runs the named measurement cases (all of them when none is named) and prints their
// tables. Times are process CPU time; for instruction counts run a single case under
// valgrind --tool=callgrind.
#include "bench.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

struct tBenchCase {
    const char* name;
    const char* about;
    int (*run)(const char* arg);
};

constexpr std::array<tBenchCase, 1> cases = {{
    {"resample", "rate converter, cost per second of audio; resample:RATE for one rate",
     bench_resample},
}};

volatile int64_t sink;

void usage() {
    std::printf("usage: vexa-bench [case[:arg]...]\ncases:\n");
    for (const tBenchCase& c : cases)
        std::printf("  %-10s %s\n", c.name, c.about);
}

} // namespace

int64_t bench_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void bench_keep(int64_t value) {
    sink = sink + value;
}

int main(int argc, char** argv) {
    if (argc == 1) {
        int status = 0;
        for (const tBenchCase& c : cases)
            status |= c.run(nullptr);
        return status;
    }
    int status = 0;
    for (int i = 1; i < argc; i++) {
        const std::string word = argv[i];
        if (word == "-h" || word == "--help") {
            usage();
            continue;
        }
        const size_t colon = word.find(':');
        const std::string name = word.substr(0, colon);
        const tBenchCase* found = nullptr;
        for (const tBenchCase& c : cases)
            if (name == c.name) found = &c;
        if (found == nullptr) {
            std::fprintf(stderr, "vexa-bench: no case '%s'\n", name.c_str());
            usage();
            return 2;
        }
        status |= found->run(colon == std::string::npos ? nullptr : argv[i] + colon + 1);
    }
    return status;
}
