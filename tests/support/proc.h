// Running the project's programs from tests: environment, captured output, timeouts,
// and the environment that puts a program under the OSS device simulator.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// Extra environment for a child: added to the test's own environment, replacing
// variables of the same name; a later entry wins over an earlier one.
using EnvList = std::vector<std::pair<std::string, std::string>>;

struct ProcResult {
    pid_t pid;        // process id the program ran as
    int exit_code;    // exit status, or -1 when the program was ended by a signal
    int term_signal;  // signal that ended the program, or 0
    bool timed_out;   // killed with SIGKILL after the timeout
    double elapsed_s; // from start until the program was reaped
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

// A started program. Its standard input is /dev/null; it runs in a process group of its
// own (pgid == pid). The group is killed as a whole on timeout, when the handle is dropped
// without wait_program, and once the program has exited and its output is closed (so
// nothing it left behind keeps running).
struct ProcHandle {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    double start_s = 0;
    int path_lock_fd = -1; // shared hold of the control socket path (players only)

    ProcHandle() = default;
    ProcHandle(ProcHandle&& other) noexcept;
    ProcHandle& operator=(ProcHandle&& other) noexcept;
    ProcHandle(const ProcHandle&) = delete;
    ProcHandle& operator=(const ProcHandle&) = delete;
    ~ProcHandle();
};

// Runs argv[0] (a path; no PATH search) with argv and waits for it. Output is collected
// until the program has exited and every descendant holding its output has closed it.
ProcResult run_program(const std::vector<std::string>& argv, const EnvList& env_add,
                       double timeout_s = 60);

// Starts a program and returns at once; a failed start shows as exit code 127 with the
// reason on standard error. The descriptors in `closed` (of 0, 1, 2) start closed. Its
// standard input is stdin_path when one is given (a FIFO's writer may come later: the
// program starts once both ends are open).
ProcHandle start_program(const std::vector<std::string>& argv, const EnvList& env_add,
                         const std::vector<int>& closed = {}, const std::string& stdin_path = "");

// argv with env_add as one shell command (`env NAME=value ... program args`, each word
// quoted), run as start_program runs it: for a script that starts the program itself.
std::string shell_command(const std::vector<std::string>& argv, const EnvList& env_add);

// Collects the output of a started program and reaps it; timeout_s counts from now.
ProcResult wait_program(ProcHandle& handle, double timeout_s = 60);

// Environment for a program under the OSS device simulator. LD_PRELOAD holds the
// simulator (after the sanitizer runtime in a sanitizer build); OSSIM_OUTPUT and
// OSSIM_REPORT name the files ("" for none), OSSIM_REALTIME is "1" or "0", OSSIM_FAIL is
// fail ("", "open", "write", "ioctl" or a comma-separated list). ALSA_CONFIG_PATH is
// "/dev/null": ALSA has no PCMs, not even a default one.
EnvList ossim_env(const std::string& output_path, const std::string& report_path,
                  bool realtime = false, const std::string& fail = "");

// Path of one of the project's programs in the build tree, e.g. vexa_bin("vexa").
std::string vexa_bin(const char* name);

// Path of a helper program of the tests (build tree "tests" directory).
std::string test_bin(const char* name);
