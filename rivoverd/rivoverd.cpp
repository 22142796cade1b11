// rivoverd: the control daemon the players talk to. Listens on the control socket,
// serves many clients at once (MAX_CLIENTS) from one process, answers every request that
// expects a reply, and writes one line to standard output for each record it receives:
//
//   pid=<client pid> cmd=<command> p1=<param1> p2=<param2> p3=<param3> p4=<param4> text="<text>"
//
// The pid is the peer's process id as the kernel gave it when the client connected;
// what a client says about itself never replaces it. In the text a quote and a backslash are
// escaped (\" \\) and every byte outside printable ASCII is written as \xHH, so that every record
// stays on one line and no byte of a record reaches a terminal that shows the log.
//
// Commands it knows, each answered with status 100:
//   32  register: param1 is the client's process id, which must be the peer's own or its
//       parent's; any other is refused with status STATUS_REFUSED (logged once per client).
//   17  play time: param4 is the elapsed play time in whole seconds.
//   12  events on (param1 = 1) or off (param1 = 0) for this connection; while on, every
//       play-time report of any client is pushed to it as a status record (command 8).
//    8  status: param1 1 while a client is playing, else 0; param2 the process id of the
//       client that reported last (0 when none), param3 the number of connections,
//       param4 its last play time; text "playing" or "idle".
// Any other request that expects a reply is answered with the request's fields and
// status 0. Records of commands 19, 33, 34 and 57 are only logged.
//
// No client can hold the others up: nothing is ever sent blocking (a client that lets
// its queue of replies and events fill up is dropped), a client that does not complete a
// record within RECORD_TIMEOUT_MS of connecting or of starting one is dropped, and the
// slots are shared fairly between users (records.h). Each client's log lines are cut and
// rate-limited (records.h). Messages about dropped clients go to standard error.
//
// The socket file is created with mode 0666, whatever the umask, so that the players of
// every local user are heard; --socket-mode restricts it.
//
// At start nothing on the path is followed: a daemon of the same user listening there
// (or another rivoverd starting at the same time, which the lock catches) makes it refuse
// to start with status 1; anything else there is removed and the removal logged (another
// user's listener with a warning), as far as the daemon's user may remove it. SIGTERM or
// SIGINT: the socket file is removed and it exits 0.
#include "records.h"
#include "rivover.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int ACCEPTS_PER_PASS = 16;
// The lock that keeps two daemons from taking the path over together lives in a directory
// only the daemon's user can write, so that no other user can hold it or plant something
// in its place: systemd's RuntimeDirectory= (given in RUNTIME_DIRECTORY), else
// ROOT_LOCK_DIR for root, else the user's XDG_RUNTIME_DIR, else the user's home.
constexpr const char* ROOT_LOCK_DIR = "/run/rivoverd";
constexpr const char* LOCK_NAME = "rivoverd.lock";
// Attempts at taking the path when someone puts something back on it between the removal
// and the bind.
constexpr int BIND_ATTEMPTS = 3;

// Who may connect: the socket file's mode, and its group (-1: left as created).
struct tSocketAccess {
    mode_t mode;
    gid_t group;
};

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) {
    stop_requested = 1;
}

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

sockaddr_un socket_address() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, CTL_SOCKET_PATH, sizeof addr.sun_path - 1);
    return addr;
}

// True when something accepts connections on the path.
bool daemon_alive() {
    // Non-blocking: a listener whose backlog is full must not hold the start up.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr = socket_address();
    const bool alive = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ||
                       errno == EAGAIN; // listening, backlog full
    close(fd);
    return alive;
}

// Sends what the client's queue holds, as far as the socket takes it without waiting.
void flush_client(int slot) {
    const char* data = nullptr;
    size_t n;
    while ((n = client_output(slot, &data)) > 0) {
        const ssize_t sent =
            send(clients[static_cast<size_t>(slot)].fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            client_output_done(slot, static_cast<size_t>(sent));
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            client_drop(slot, nullptr); // gone
            return;
        }
    }
}

// Reads what the client has sent, a few records' worth at a time.
void serve_client(int slot) {
    std::array<char, 4 * RECORD_BYTES> buf;
    const int fd = clients[static_cast<size_t>(slot)].fd;
    ssize_t n;
    do {
        n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        client_drop(slot, nullptr);
        return;
    }
    client_input(slot, buf.data(), static_cast<size_t>(n), now_ms());
}

// The parent of process `pid`, from /proc; 0 when it cannot be read.
int32_t parent_of(int32_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    std::FILE* f = std::fopen(path, "re");
    if (f == nullptr) return 0;
    std::array<char, 512> line{};
    const bool got = std::fgets(line.data(), static_cast<int>(line.size()), f) != nullptr;
    std::fclose(f);
    // The command in parentheses may hold anything: the fields follow its last ")".
    const char* end = got ? std::strrchr(line.data(), ')') : nullptr;
    char state = 0;
    int parent = 0;
    if (end == nullptr || std::sscanf(end + 1, " %c %d", &state, &parent) != 2) return 0;
    return parent;
}

void accept_clients(int listen_fd) {
    for (int i = 0; i < ACCEPTS_PER_PASS; i++) {
        const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
            close(fd); // a peer the kernel cannot name is not served
            continue;
        }
        client_add(fd, tPeer{cred.pid, parent_of(cred.pid), cred.uid}, now_ms());
    }
}

const char* kind_of(mode_t mode) {
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISLNK(mode)) return "symbolic link";
    if (S_ISREG(mode)) return "file";
    if (S_ISDIR(mode)) return "directory";
    if (S_ISFIFO(mode)) return "fifo";
    return "special file";
}

// Clears the path for the bind. Whatever is there is looked at, never followed: a socket
// a daemon of this user listens on makes the start fail; anything else (a stale socket, a
// file, a symbolic link, a directory, another user's listener, the last with a warning) is
// removed, which works when running as root or as its owner. False after a message.
bool clear_path() {
    struct stat st {};
    if (lstat(CTL_SOCKET_PATH, &st) != 0) {
        if (errno == ENOENT) return true;
        std::perror(CTL_SOCKET_PATH);
        return false;
    }
    const bool live = S_ISSOCK(st.st_mode) && daemon_alive();
    if (live && st.st_uid == geteuid()) {
        std::fprintf(stderr, "rivoverd: a daemon is already listening on %s\n", CTL_SOCKET_PATH);
        return false;
    }
    const int r = S_ISDIR(st.st_mode) ? rmdir(CTL_SOCKET_PATH) : unlink(CTL_SOCKET_PATH);
    if (r < 0 && errno != ENOENT) {
        std::fprintf(stderr, "rivoverd: cannot remove the %s%s of uid %u at %s: %s\n",
                     live ? "listening " : "", kind_of(st.st_mode), st.st_uid, CTL_SOCKET_PATH,
                     std::strerror(errno));
        return false;
    }
    if (live)
        std::fprintf(stderr, "rivoverd: warning: removed a listening socket of uid %u at %s\n",
                     st.st_uid, CTL_SOCKET_PATH);
    else
        std::fprintf(stderr, "rivoverd: removed %s%s of uid %u at %s\n",
                     S_ISSOCK(st.st_mode) ? "stale " : "", kind_of(st.st_mode), st.st_uid,
                     CTL_SOCKET_PATH);
    return true;
}

// Takes the path over. Returns the listening socket, or -1 after a message.
int open_listener(const tSocketAccess& access) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return -1;
    }
    sockaddr_un addr = socket_address();
    // The socket file is created with its final mode, so that nothing is ever done to the
    // path by name after the bind but the group's change, which follows no link.
    const mode_t old_umask = umask(~access.mode & 0777);
    int bound = -1;
    bool cleared = true;
    for (int attempt = 0; attempt < BIND_ATTEMPTS && bound < 0; attempt++) {
        cleared = clear_path();
        if (!cleared) break;
        bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (bound < 0 && errno != EADDRINUSE) break;
    }
    const int bind_error = errno;
    umask(old_umask);
    if (bound < 0) {
        if (cleared) std::fprintf(stderr, "%s: %s\n", CTL_SOCKET_PATH, std::strerror(bind_error));
        close(fd);
        return -1;
    }
    if ((access.group != static_cast<gid_t>(-1) &&
         lchown(CTL_SOCKET_PATH, static_cast<uid_t>(-1), access.group) < 0) ||
        listen(fd, 16) < 0) {
        std::perror(CTL_SOCKET_PATH);
        close(fd);
        unlink(CTL_SOCKET_PATH);
        return -1;
    }
    return fd;
}

// The directory for the lock (see ROOT_LOCK_DIR), made when it is the root one and
// missing; it must be a directory of this user (root's for the root one) that nobody
// else may write.
bool lock_directory(std::array<char, 4096>& path) {
    const char* dir = std::getenv("RUNTIME_DIRECTORY");
    if (dir == nullptr || *dir == '\0') dir = nullptr;
    if (dir == nullptr && geteuid() == 0) {
        dir = ROOT_LOCK_DIR;
        if (mkdir(dir, 0755) < 0 && errno != EEXIST) {
            std::perror(dir);
            return false;
        }
    }
    if (dir == nullptr) dir = std::getenv("XDG_RUNTIME_DIR");
    if (dir == nullptr || *dir == '\0') dir = std::getenv("HOME");
    if (dir == nullptr || *dir == '\0') {
        std::fprintf(stderr, "rivoverd: no directory for the lock: set RUNTIME_DIRECTORY\n");
        return false;
    }
    // Several directories (RuntimeDirectory= with more than one): the first.
    const size_t n = std::strcspn(dir, ":");
    if (n + 1 + std::strlen(LOCK_NAME) + 1 > path.size()) return false;
    std::snprintf(path.data(), path.size(), "%.*s", static_cast<int>(n), dir);
    struct stat st {};
    if (lstat(path.data(), &st) != 0) {
        std::perror(path.data());
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 022) != 0) {
        std::fprintf(stderr,
                     "rivoverd: %s is not a directory of this user that only it may write\n",
                     path.data());
        return false;
    }
    std::snprintf(path.data() + n, path.size() - n, "/%s", LOCK_NAME);
    return true;
}

// Two daemons started together must not both take the path over. The lock is held by the
// open descriptor until the process ends. -1 after a message.
int take_lock() {
    std::array<char, 4096> path{};
    if (!lock_directory(path)) return -1;
    const int fd = open(path.data(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror(path.data());
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
        std::fprintf(stderr, "rivoverd: another rivoverd is running on %s\n", CTL_SOCKET_PATH);
        close(fd);
        return -1;
    }
    return fd;
}

// --socket-mode MODE[:GROUP]: octal mode, and a group name or number.
bool parse_socket_mode(const char* arg, tSocketAccess& access) {
    char* end = nullptr;
    const long mode = std::strtol(arg, &end, 8);
    if (end == arg || mode < 0 || mode > 0777 || (*end != '\0' && *end != ':')) return false;
    access.mode = static_cast<mode_t>(mode);
    if (*end == '\0') return true;
    const char* name = end + 1;
    if (const group* g = getgrnam(name)) {
        access.group = g->gr_gid;
        return true;
    }
    const long gid = std::strtol(name, &end, 10);
    if (end == name || *end != '\0' || gid < 0) return false;
    access.group = static_cast<gid_t>(gid);
    return true;
}

void print_usage(FILE* out, const char* argv0) {
    std::fprintf(out,
                 "usage: %s [--socket-mode MODE[:GROUP]]\n"
                 "  serves the control socket %s; SIGTERM stops it\n"
                 "  --socket-mode MODE[:GROUP]  permissions of the socket file, octal "
                 "(default 0666),\n"
                 "                              and the group it is given\n"
                 "  --help, -h                  print this help and exit\n"
                 "  --version                   print the version and exit\n",
                 argv0, CTL_SOCKET_PATH);
}

// What the command line asks for: serve, or end at once with the given status.
struct tOptionsResult {
    bool serve;
    int status;
};

tOptionsResult parse_options(int argc, char** argv, tSocketAccess& access) {
    constexpr const char* OPT = "--socket-mode";
    const size_t len = std::strlen(OPT);
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("rivoverd %s\n", VEXA_VERSION);
            return {false, 0};
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            print_usage(stdout, argv[0]);
            return {false, 0};
        }
        const char* value = nullptr;
        if (std::strcmp(argv[i], OPT) == 0 && i + 1 < argc)
            value = argv[++i];
        else if (std::strncmp(argv[i], OPT, len) == 0 && argv[i][len] == '=')
            value = argv[i] + len + 1;
        if (value == nullptr || !parse_socket_mode(value, access)) {
            print_usage(stderr, argv[0]);
            return {false, 1};
        }
    }
    return {true, 0};
}

} // namespace

int main(int argc, char** argv) {
    tSocketAccess access{0666, static_cast<gid_t>(-1)};
    const tOptionsResult options = parse_options(argc, argv, access);
    if (!options.serve) return options.status;

    // SIGTERM and SIGINT are taken only while waiting in ppoll, so a stop request is
    // never lost between the check and the wait.
    sigset_t stop_set, wait_mask;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGTERM);
    sigaddset(&stop_set, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_set, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (take_lock() < 0) return 1;
    const int listen_fd = open_listener(access);
    if (listen_fd < 0) return 1;
    struct stat own {};
    lstat(CTL_SOCKET_PATH, &own);
    clients_reset();
    std::fprintf(stderr, "rivoverd: listening on %s\n", CTL_SOCKET_PATH);

    std::array<pollfd, MAX_CLIENTS + 1> fds{};
    std::array<int, MAX_CLIENTS + 1> slot_of{};
    while (stop_requested == 0) {
        // A deadline is judged on what the client has sent, not on what this loop has got
        // round to reading: a daemon that comes round late (a loaded machine) first takes
        // what each overdue client's socket holds. So a record that arrived in time is
        // served, and a dropped client is not reset with bytes left unread.
        const int64_t now = now_ms();
        for (int i = 0; i < MAX_CLIENTS; i++) {
            const tClient& c = clients[static_cast<size_t>(i)];
            if (c.used != 0 && c.record_since >= 0 && now - c.record_since >= RECORD_TIMEOUT_MS)
                serve_client(i);
        }
        const int64_t wait_ms = clients_expire(now);
        nfds_t n = 0;
        fds[n++] = pollfd{listen_fd, POLLIN, 0};
        for (int i = 0; i < MAX_CLIENTS; i++) {
            const tClient& c = clients[static_cast<size_t>(i)];
            if (c.used == 0) continue;
            slot_of[n] = i;
            const short out = c.out_count > 0 ? POLLOUT : 0;
            fds[n++] = pollfd{c.fd, static_cast<short>(POLLIN | out), 0};
        }
        timespec timeout{static_cast<time_t>(wait_ms / 1000),
                         static_cast<long>((wait_ms % 1000) * 1000000)};
        if (ppoll(fds.data(), n, wait_ms >= 0 ? &timeout : nullptr, &wait_mask) < 0)
            continue; // EINTR: look at the flag
        for (nfds_t k = 1; k < n; k++) {
            const int slot = slot_of[k];
            const tClient& c = clients[static_cast<size_t>(slot)];
            // A slot freed during this pass may have been another client's socket.
            if (fds[k].revents == 0 || c.used == 0 || c.fd != fds[k].fd) continue;
            if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) != 0) serve_client(slot);
        }
        // Replies and events go out as far as each socket takes them.
        for (int i = 0; i < MAX_CLIENTS; i++)
            if (clients[static_cast<size_t>(i)].used != 0) flush_client(i);
        if ((fds[0].revents & POLLIN) != 0) accept_clients(listen_fd);
    }

    for (int i = 0; i < MAX_CLIENTS; i++)
        client_drop(i, nullptr);
    close(listen_fd);
    // Remove the socket file only when it is still the one bound here.
    struct stat now {};
    if (lstat(CTL_SOCKET_PATH, &now) == 0 && now.st_ino == own.st_ino && now.st_dev == own.st_dev)
        unlink(CTL_SOCKET_PATH);
    std::fprintf(stderr, "rivoverd: stopped\n");
    return 0;
}
