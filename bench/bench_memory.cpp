// Memory of the player while it plays, beside mpg123 and madplay: bench/memory.sh on this
// build tree and the trees named in the argument (memory:TREE[,TREE...], e.g. a static
// build), VmRSS and VmLck of every process from /proc.
#include "bench.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>

int bench_memory(const char* arg) {
    // Each player plays for seconds of real time: the smoke test leaves the case out.
    if (bench_quick) {
        std::printf("memory: not run with --quick\n");
        return 0;
    }
    std::string command =
        std::string("bash '") + VEXA_SOURCE_DIR + "/bench/memory.sh' -t '" + VEXA_BINARY_DIR + "'";
    for (std::string rest = arg != nullptr ? arg : ""; !rest.empty();) {
        const size_t comma = rest.find(',');
        command += " -t '" + rest.substr(0, comma) + "'";
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    std::fflush(stdout);
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
