// vexa-bench: named measurement cases, run by bench_main.cpp.
#pragma once

#include <cstdint>

// CPU time used by this process so far, in nanoseconds.
int64_t bench_cpu_ns();

// Keeps a result alive so that the compiler cannot drop the work that made it.
void bench_keep(int64_t value);

// Cases. `arg` is what followed "name:" on the command line, or null.
int bench_resample(const char* arg);
