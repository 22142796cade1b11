// vexa-bench: named measurement cases, run by bench_main.cpp.
#pragma once

#include <cstdint>

// CPU time used by this process so far, in nanoseconds.
int64_t bench_cpu_ns();

// Keeps a result alive so that the compiler cannot drop the work that made it.
void bench_keep(int64_t value);

// Set by --quick: every case runs briefly, once, for a smoke test of the program.
extern bool bench_quick;

// A case's result when something it needs is missing (a test's "skipped" code).
constexpr int BENCH_SKIPPED = 77;

// Cases. `arg` is what followed "name:" on the command line, or null.
int bench_resample(const char* arg);
int bench_decode(const char* arg);
int bench_memory(const char* arg);
