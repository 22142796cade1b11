// rivoverd: the control daemon the players talk to. Listens on the control socket,
// serves any number of clients (up to MAX_CLIENTS at once) from one process, answers
// every request that expects a reply, and writes one line to standard output for each
// record it receives:
//
//   pid=<client pid> cmd=<command> p1=<param1> p2=<param2> p3=<param3> p4=<param4> text="<text>"
//
// The pid is the one the client registered with (command 32), else the peer's process
// id from the socket. In the text a quote, a backslash and control characters are
// escaped (\" \\ \n \r \t \xHH) so that every record stays on one line.
//
// Commands it knows, each answered with status 100:
//   32  register: param1 is the client's process id.
//   17  play time: param4 is the elapsed play time in whole seconds.
//   12  events on (param1 = 1) or off (param1 = 0) for this connection; while on, every
//       play-time report of any client is pushed to it as a status record (command 8).
//    8  status: param1 1 while a client is playing, else 0; param2 the process id of the
//       client that reported last (0 when none), param3 the number of connections,
//       param4 its last play time; text "playing" or "idle".
// Any other request that expects a reply is answered with the request's fields and
// status 0. Records of commands 19, 33, 34 and 57 are only logged.
//
// At start a socket file left behind by a daemon that is gone is removed; a live daemon
// on the path (or another rivoverd starting at the same time) makes it refuse to start
// with status 1. SIGTERM or SIGINT: the socket file is removed and it exits 0.
#include "rivover.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr const char* LOCK_PATH = "/tmp/zuzerovu.lock";
constexpr int MAX_CLIENTS = 64;
constexpr int SEND_TIMEOUT_MS = 1000; // a client that takes no record for this long is dropped
constexpr size_t RECORD_BYTES = sizeof(tCtlRecord);

struct tClient {
    int fd;            // -1: free slot
    int32_t pid;       // registered or peer process id
    int32_t events;    // status records pushed to this connection
    int32_t playing;   // has reported a play time
    int32_t play_time; // last reported second
    uint32_t have;     // bytes of `in` received so far
    tCtlRecord in;     // the record being received
};

std::array<tClient, MAX_CLIENTS> clients;
int last_reporter = -1; // slot of the client that reported a play time last
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
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr = socket_address();
    const bool alive = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ||
                       errno == EAGAIN; // listening, backlog full
    close(fd);
    return alive;
}

void free_client(int slot) {
    tClient& c = clients[static_cast<size_t>(slot)];
    if (c.fd >= 0) close(c.fd);
    c = tClient{};
    c.fd = -1;
    if (last_reporter == slot) last_reporter = -1;
}

int live_connections() {
    int n = 0;
    for (const tClient& c : clients)
        if (c.fd >= 0) n++;
    return n;
}

// Sends one whole record; false when the client is gone or takes nothing for too long.
bool send_record(int fd, const tCtlRecord& rec) {
    const auto* p = reinterpret_cast<const char*>(&rec);
    const int64_t deadline = now_ms() + SEND_TIMEOUT_MS;
    size_t done = 0;
    while (done < RECORD_BYTES) {
        const ssize_t n = send(fd, p + done, RECORD_BYTES - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int64_t left = deadline - now_ms();
            pollfd pfd{fd, POLLOUT, 0};
            if (left > 0 && poll(&pfd, 1, static_cast<int>(left)) >= 0) continue;
        }
        return false;
    }
    return true;
}

void put_text(tCtlRecord& rec, const char* s) {
    std::memset(rec.text, 0, sizeof rec.text);
    std::strncpy(rec.text, s, sizeof rec.text - 1);
}

tCtlRecord status_record() {
    tCtlRecord rec{};
    rec.command = CTL_CMD_STATUS;
    rec.status = CTL_STATUS_OK;
    rec.param3 = live_connections();
    if (last_reporter >= 0) {
        const tClient& c = clients[static_cast<size_t>(last_reporter)];
        rec.param1 = 1;
        rec.param2 = c.pid;
        rec.param4 = c.play_time;
        put_text(rec, "playing");
    } else {
        put_text(rec, "idle");
    }
    return rec;
}

void log_record(int32_t pid, const tCtlRecord& rec) {
    std::printf("pid=%d cmd=%d p1=%d p2=%d p3=%d p4=%d text=\"", pid, rec.command, rec.param1,
                rec.param2, rec.param3, rec.param4);
    const size_t n = strnlen(rec.text, sizeof rec.text);
    for (size_t i = 0; i < n; i++) {
        const auto c = static_cast<unsigned char>(rec.text[i]);
        switch (c) {
        case '"':
            std::fputs("\\\"", stdout);
            break;
        case '\\':
            std::fputs("\\\\", stdout);
            break;
        case '\n':
            std::fputs("\\n", stdout);
            break;
        case '\r':
            std::fputs("\\r", stdout);
            break;
        case '\t':
            std::fputs("\\t", stdout);
            break;
        default:
            if (c < 0x20 || c == 0x7f)
                std::printf("\\x%02x", c);
            else
                std::putchar(c);
        }
    }
    std::fputs("\"\n", stdout);
    std::fflush(stdout);
}

// Pushes the current status to every connection that asked for events.
void push_events() {
    const tCtlRecord rec = status_record();
    for (int i = 0; i < MAX_CLIENTS; i++) {
        tClient& c = clients[static_cast<size_t>(i)];
        if (c.fd >= 0 && c.events != 0 && !send_record(c.fd, rec)) free_client(i);
    }
}

// Acts on one whole record from the client in `slot`; false when the client must go.
bool handle_record(int slot) {
    tClient& c = clients[static_cast<size_t>(slot)];
    const tCtlRecord req = c.in;
    if (req.command == CTL_CMD_REGISTER && req.param1 > 0) c.pid = req.param1;
    log_record(c.pid, req);

    tCtlRecord reply = req;
    reply.status = CTL_STATUS_OK;
    bool push = false;
    switch (req.command) {
    case CTL_CMD_REGISTER:
        break;
    case CTL_CMD_PLAY_TIME:
        c.playing = 1;
        c.play_time = req.param4;
        last_reporter = slot;
        push = true;
        break;
    case CTL_CMD_EVENTS:
        c.events = req.param1 != 0 ? 1 : 0;
        break;
    case CTL_CMD_STATUS:
        reply = status_record();
        break;
    default:
        reply.status = 0;
        break;
    }
    if (ctl_expects_reply(req.command) && !send_record(c.fd, reply)) return false;
    if (push) push_events();
    return true;
}

// Reads what the client has sent; a record may arrive in any number of pieces.
void serve_client(int slot) {
    tClient& c = clients[static_cast<size_t>(slot)];
    auto* p = reinterpret_cast<char*>(&c.in);
    for (;;) {
        const ssize_t n = recv(c.fd, p + c.have, RECORD_BYTES - c.have, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            free_client(slot);
            return;
        }
        c.have += static_cast<uint32_t>(n);
        if (c.have < RECORD_BYTES) continue;
        c.have = 0;
        if (!handle_record(slot)) {
            free_client(slot);
            return;
        }
        if (clients[static_cast<size_t>(slot)].fd < 0) return; // dropped while pushing
    }
}

void accept_client(int listen_fd) {
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    for (tClient& c : clients) {
        if (c.fd >= 0) continue;
        c = tClient{};
        c.fd = fd;
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) c.pid = cred.pid;
        return;
    }
    std::fprintf(stderr, "rivoverd: too many clients, connection refused\n");
    close(fd);
}

// Takes the path over: refuses when another daemon holds it, removes a stale socket.
// Returns the listening socket, or -1 after a message.
int open_listener() {
    struct stat st {};
    if (lstat(CTL_SOCKET_PATH, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            std::fprintf(stderr, "rivoverd: %s exists and is not a socket\n", CTL_SOCKET_PATH);
            return -1;
        }
        if (daemon_alive()) {
            std::fprintf(stderr, "rivoverd: a daemon is already listening on %s\n",
                         CTL_SOCKET_PATH);
            return -1;
        }
        if (unlink(CTL_SOCKET_PATH) < 0) {
            std::perror(CTL_SOCKET_PATH);
            return -1;
        }
        std::fprintf(stderr, "rivoverd: removed stale socket %s\n", CTL_SOCKET_PATH);
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return -1;
    }
    sockaddr_un addr = socket_address();
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || listen(fd, 16) < 0) {
        std::perror(CTL_SOCKET_PATH);
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("rivoverd %s\n", VEXA_VERSION);
        return 0;
    }
    if (argc > 1) {
        const bool asked = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
        std::fprintf(asked ? stdout : stderr,
                     "usage: %s\n  serves the control socket %s; SIGTERM stops it\n", argv[0],
                     CTL_SOCKET_PATH);
        return asked ? 0 : 1;
    }

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

    // Two daemons started together must not both take the path over.
    const int lock_fd = open(LOCK_PATH, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (lock_fd < 0) {
        std::perror(LOCK_PATH);
        return 1;
    }
    if (flock(lock_fd, LOCK_EX | LOCK_NB) < 0) {
        std::fprintf(stderr, "rivoverd: another rivoverd is running on %s\n", CTL_SOCKET_PATH);
        return 1;
    }

    const int listen_fd = open_listener();
    if (listen_fd < 0) return 1;
    struct stat own {};
    stat(CTL_SOCKET_PATH, &own);
    for (tClient& c : clients)
        c.fd = -1;
    std::fprintf(stderr, "rivoverd: listening on %s\n", CTL_SOCKET_PATH);

    std::array<pollfd, MAX_CLIENTS + 1> fds{};
    std::array<int, MAX_CLIENTS + 1> slot_of{};
    while (stop_requested == 0) {
        nfds_t n = 0;
        fds[n++] = pollfd{listen_fd, POLLIN, 0};
        for (int i = 0; i < MAX_CLIENTS; i++) {
            if (clients[static_cast<size_t>(i)].fd < 0) continue;
            slot_of[n] = i;
            fds[n++] = pollfd{clients[static_cast<size_t>(i)].fd, POLLIN, 0};
        }
        if (ppoll(fds.data(), n, nullptr, &wait_mask) < 0) continue; // EINTR: look at the flag
        for (nfds_t k = 1; k < n; k++) {
            const int slot = slot_of[k];
            // A slot freed and taken again during this pass belongs to someone else.
            if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                clients[static_cast<size_t>(slot)].fd == fds[k].fd)
                serve_client(slot);
        }
        if ((fds[0].revents & POLLIN) != 0) accept_client(listen_fd);
    }

    for (int i = 0; i < MAX_CLIENTS; i++)
        free_client(i);
    close(listen_fd);
    // Remove the socket file only when it is still the one bound here.
    struct stat now {};
    if (stat(CTL_SOCKET_PATH, &now) == 0 && now.st_ino == own.st_ino && now.st_dev == own.st_dev)
        unlink(CTL_SOCKET_PATH);
    std::fprintf(stderr, "rivoverd: stopped\n");
    return 0;
}
