// vexa-bench [--quick] [case[:arg]...]
//
// Runs the named measurement cases (all of them when none is named) and prints their
// tables. --quick runs each case briefly and once, as a smoke test; a case that lacks a
// tool it needs reports itself skipped, and the program then ends with status 77 unless
// another case failed. Times are process CPU time; for instruction counts run a single case under
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

constexpr std::array<tBenchCase, 3> cases = {{
    {"resample", "rate converter, cost per second of audio; resample:RATE[:SECONDS] for one rate",
     bench_resample},
    {"decode", "decoder against libmad and libmpg123, x real time; decode:FILE for one file",
     bench_decode},
    {"memory", "player's resident and locked memory against mpg123 and madplay; memory:TREE,...",
     bench_memory},
}};

volatile int64_t sink;

void usage() {
    std::printf("usage: vexa-bench [--quick] [case[:arg]...]\ncases:\n");
    for (const tBenchCase& c : cases)
        std::printf("  %-10s %s\n", c.name, c.about);
}

// Folds one case's result into the program's: any failure wins over a skip.
int combine(int status, int result) {
    if (result == 0) return status;
    if (result == BENCH_SKIPPED) return status == 0 ? BENCH_SKIPPED : status;
    return status == 0 || status == BENCH_SKIPPED ? result : status;
}

} // namespace

bool bench_quick = false;

int64_t bench_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void bench_keep(int64_t value) {
    sink = sink + value;
}

int main(int argc, char** argv) {
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--quick") == 0) {
        bench_quick = true;
        first = 2;
    }
    int status = 0;
    if (first == argc) {
        for (const tBenchCase& c : cases)
            status = combine(status, c.run(nullptr));
        return status;
    }
    for (int i = first; i < argc; i++) {
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
        status =
            combine(status, found->run(colon == std::string::npos ? nullptr : argv[i] + colon + 1));
    }
    return status;
}
