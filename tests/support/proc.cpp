#include "proc.h"
#include "control_path.h"
#include "emulator.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

double mono_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<std::string> child_environment(const EnvList& env_add) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; e++)
        env.emplace_back(*e);
    for (const auto& [name, value] : env_add) {
        std::string prefix = name + "=";
        for (size_t i = 0; i < env.size();) {
            if (env[i].compare(0, prefix.size(), prefix) == 0) {
                env.erase(env.begin() + static_cast<long>(i));
            } else {
                i++;
            }
        }
        env.push_back(prefix + value);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

void close_fd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// Reads what is available; closes the descriptor at end of file.
void drain(int* fd, std::string* into) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(*fd, buf, sizeof buf);
        if (n > 0) {
            into->append(buf, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof buf) return;
            continue;
        }
        if (n < 0 && (errno == EINTR)) continue;
        if (n < 0 && errno == EAGAIN) return;
        close_fd(fd);
        return;
    }
}

void kill_group(pid_t pid) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
}

// Kills and reaps a program nobody waited for.
void abandon(ProcHandle* h) {
    if (h->pid > 0) {
        kill_group(h->pid);
        int status = 0;
        while (waitpid(h->pid, &status, 0) < 0 && errno == EINTR) {
        }
        h->pid = -1;
    }
    close_fd(&h->out_fd);
    close_fd(&h->err_fd);
    close_fd(&h->path_lock_fd);
}

void take_over(ProcHandle* to, ProcHandle* from) {
    to->pid = from->pid;
    to->out_fd = from->out_fd;
    to->err_fd = from->err_fd;
    to->start_s = from->start_s;
    to->path_lock_fd = from->path_lock_fd;
    from->path_lock_fd = -1;
    from->pid = -1;
    from->out_fd = -1;
    from->err_fd = -1;
}

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// A program of this build, as opposed to a tool of the machine that runs the tests.
bool built_program(const std::string& path) {
    return starts_with(path, std::string(VEXA_BIN_DIR) + "/") ||
           starts_with(path, std::string(VEXA_TEST_BIN_DIR) + "/");
}

// The command line and environment that start argv: in a cross build the project's
// programs run under the emulator, and a library to preload goes to the emulated program
// (-E) rather than into the emulator itself.
void add_emulator(std::vector<std::string>* args, EnvList* env) {
    static const std::vector<std::string> emulator = {VEXA_EMULATOR_ARGS};
    if (emulator.empty() || !built_program(args->front())) return;
    std::vector<std::string> wrapped = emulator;
    for (size_t i = 0; i < env->size();) {
        if ((*env)[i].first == "LD_PRELOAD") {
            wrapped.push_back("-E");
            wrapped.push_back("LD_PRELOAD=" + (*env)[i].second);
            env->erase(env->begin() + static_cast<long>(i));
        } else {
            i++;
        }
    }
    wrapped.insert(wrapped.end(), args->begin(), args->end());
    *args = std::move(wrapped);
}

} // namespace

ProcHandle::ProcHandle(ProcHandle&& other) noexcept {
    take_over(this, &other);
}

ProcHandle& ProcHandle::operator=(ProcHandle&& other) noexcept {
    if (this != &other) {
        abandon(this);
        take_over(this, &other);
    }
    return *this;
}

ProcHandle::~ProcHandle() {
    abandon(this);
}

ProcHandle start_program(const std::vector<std::string>& argv, const EnvList& env_add,
                         const std::vector<int>& closed, const std::string& stdin_path) {
    ProcHandle h;
    if (argv.empty()) {
        ADD_FAILURE() << "start_program: empty argv";
        return h;
    }
    std::vector<std::string> args = argv;
    EnvList env_own = env_add;
    add_emulator(&args, &env_own);
    std::vector<std::string> env = child_environment(env_own);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);

    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "start_program: pipe: " << strerror(errno);
        return h;
    }
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::string exec_failed = "start_program: cannot run " + argv[0] + ": ";

    // A player reports to whatever daemon is on the control path: it runs only while no
    // other test program has a daemon of its own there.
    const std::string& prog = argv[0];
    if (prog.size() >= 5 && prog.compare(prog.size() - 5, 5, "/vexa") == 0)
        h.path_lock_fd = control_path_share();
    h.start_s = mono_s();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if (!stdin_path.empty()) {
            const int in = open(stdin_path.c_str(), O_RDONLY);
            if (in >= 0) dup2(in, 0);
        } else if (null_fd >= 0) {
            dup2(null_fd, 0);
        }
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : closed)
            close(fd);
        execve(argp[0], argp.data(), envp.data());
        const char* why = strerror(errno);
        ssize_t ignored = write(2, exec_failed.data(), exec_failed.size());
        ignored = write(2, why, strlen(why));
        ignored = write(2, "\n", 1);
        (void)ignored;
        _exit(127);
    }
    if (null_fd >= 0) close(null_fd);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        ADD_FAILURE() << "start_program: fork: " << strerror(errno);
        close(out_pipe[0]);
        close(err_pipe[0]);
        return h;
    }
    setpgid(pid, pid); // also here, so that the group exists whichever side runs first
    fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
    fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
    h.pid = pid;
    h.out_fd = out_pipe[0];
    h.err_fd = err_pipe[0];
    return h;
}

ProcResult wait_program(ProcHandle& h, double timeout_s) {
    ProcResult r;
    r.pid = h.pid;
    r.exit_code = -1;
    r.term_signal = 0;
    r.timed_out = false;
    r.elapsed_s = 0;
    if (h.pid <= 0) {
        r.err = "wait_program: no program";
        return r;
    }
    double deadline = mono_s() + timeout_s;
    bool reaped = false;
    int status = 0;
    for (;;) {
        if (!reaped) {
            pid_t w = waitpid(h.pid, &status, WNOHANG);
            if (w == h.pid) {
                reaped = true;
                r.elapsed_s = mono_s() - h.start_s;
            }
        }
        if (reaped && h.out_fd < 0 && h.err_fd < 0) break;
        double left = deadline - mono_s();
        if (left <= 0) {
            r.timed_out = true;
            kill_group(h.pid);
            if (!reaped) {
                while (waitpid(h.pid, &status, 0) < 0 && errno == EINTR) {
                }
                reaped = true;
                r.elapsed_s = mono_s() - h.start_s;
            }
            if (h.out_fd >= 0) drain(&h.out_fd, &r.out);
            if (h.err_fd >= 0) drain(&h.err_fd, &r.err);
            break;
        }
        struct pollfd fds[2];
        int n = 0;
        if (h.out_fd >= 0) fds[n++] = {h.out_fd, POLLIN, 0};
        if (h.err_fd >= 0) fds[n++] = {h.err_fd, POLLIN, 0};
        // Short slices while the program runs, so that its exit is noticed promptly
        // even when a descendant keeps the output open.
        int wait_ms = static_cast<int>(std::min(left, 0.02) * 1000) + 1;
        poll(n > 0 ? fds : nullptr, static_cast<nfds_t>(n), wait_ms);
        if (h.out_fd >= 0) drain(&h.out_fd, &r.out);
        if (h.err_fd >= 0) drain(&h.err_fd, &r.err);
    }
    // Whatever is left of the group has closed its output; it is not waited for.
    kill(-h.pid, SIGKILL);
    close_fd(&h.out_fd);
    close_fd(&h.err_fd);
    close_fd(&h.path_lock_fd);
    h.pid = -1;
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.term_signal = WTERMSIG(status);
    return r;
}

ProcResult run_program(const std::vector<std::string>& argv, const EnvList& env_add,
                       double timeout_s) {
    ProcHandle h = start_program(argv, env_add);
    return wait_program(h, timeout_s);
}

std::string shell_command(const std::vector<std::string>& argv, const EnvList& env_add) {
    std::vector<std::string> args = argv;
    EnvList env = env_add;
    add_emulator(&args, &env);
    std::string command = "env";
    auto quoted = [](const std::string& word) {
        std::string q(1, '\'');
        for (char c : word) {
            if (c == '\'')
                q.append("'\\''");
            else
                q.push_back(c);
        }
        q.push_back('\'');
        return q;
    };
    for (const auto& [name, value] : env)
        command.append(1, ' ').append(quoted(name + '=' + value));
    for (const std::string& word : args)
        command.append(1, ' ').append(quoted(word));
    return command;
}

EnvList ossim_env(const std::string& output_path, const std::string& report_path, bool realtime,
                  const std::string& fail) {
    EnvList env;
    std::string asan = VEXA_ASAN_RUNTIME;
    std::string preload = VEXA_OSSIM_LIB;
    if (!asan.empty()) {
        // The sanitizer runtime insists on coming first; the simulator then sits between
        // its interceptors and libc.
        preload = asan + " " + preload;
        const char* old = getenv("ASAN_OPTIONS");
        std::string options = old != nullptr && old[0] != '\0' ? std::string(old) + ":" : "";
        env.emplace_back("ASAN_OPTIONS", options + "detect_leaks=0");
    }
    env.emplace_back("LD_PRELOAD", preload);
    env.emplace_back("OSSIM_OUTPUT", output_path);
    env.emplace_back("OSSIM_REPORT", report_path);
    env.emplace_back("OSSIM_REALTIME", realtime ? "1" : "0");
    env.emplace_back("OSSIM_FAIL", fail);
    // Players under test keep the ordinary priority (a real-time one, taken where the
    // tests run as root, would let an emulated or sanitized player crowd out the rest of
    // the suite); the tests of the priority itself set this to "0".
    env.emplace_back("VEXA_NO_PRIORITY", "1");
    // A player without the OSS device would turn to ALSA's default PCM: here there is none,
    // whatever the machine has.
    env.emplace_back("ALSA_CONFIG_PATH", "/dev/null");
    return env;
}

std::string vexa_bin(const char* name) {
    return std::string(VEXA_BIN_DIR) + "/" + name;
}

std::string test_bin(const char* name) {
    return std::string(VEXA_TEST_BIN_DIR) + "/" + name;
}
