// Play-time reports that never make the caller wait.
//
// A player must not be held up by the daemon, whoever runs it and however it answers.
// So the report connection is non-blocking from the start: the connect either succeeds at
// once or is given up (a daemon whose backlog is full), each record is sent with one
// non-blocking send (a socket buffer that cannot take the whole record drops the report),
// and replies are never waited for: the caller reads them when its own poll says the
// socket is readable, and they are thrown away unread. Only the register at start-up
// waits for its reply, at most CTL_REPORT_REGISTER_WAIT_MS.
//
// A connection the daemon closed (a restart, an eviction), or one whose stream of
// records was broken by a partial send, is closed; the next report connects again,
// registering this process anew, at most once every CTL_REPORT_RETRY_MS.
#include "rivover.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct tReportLink {
    int fd;                  // the report connection, -1 when there is none
    int64_t last_attempt_ms; // monotonic time of the last connect attempt
    int32_t attempted;       // a connect has been tried at all
    int32_t dropped;         // reports a full socket buffer did not take
};

tReportLink report_link = {-1, 0, 0, 0};
// Replies are read into this and forgotten.
std::array<char, 4 * sizeof(tCtlRecord)> reply_sink;

int64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void close_link() {
    if (report_link.fd >= 0) close(report_link.fd);
    report_link.fd = -1;
}

// Sends one whole record without waiting. 1 sent, 0 the socket buffer had no room (the
// record is dropped, the connection stays), -1 the connection is lost (and closed).
int send_now(const tCtlRecord& rec) {
    ssize_t n;
    do {
        n = send(report_link.fd, &rec, sizeof rec, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof rec)) return 1;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    // A part of a record would make every later one unreadable: start over.
    close_link();
    return -1;
}

// Connects without waiting and sends the register record; false when there is no
// daemon to be had right now.
bool connect_and_register() {
    report_link.attempted = 1;
    report_link.last_attempt_ms = monotonic_ms();
    report_link.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (report_link.fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, CTL_SOCKET_PATH, sizeof addr.sun_path - 1);
    int r;
    do {
        r = connect(report_link.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r < 0 && errno == EINTR);
    if (r < 0) { // no daemon, or one that does not accept (EAGAIN: its backlog is full)
        close_link();
        return false;
    }
    tCtlRecord rec{};
    rec.command = CTL_CMD_REGISTER;
    rec.param1 = static_cast<int32_t>(getpid());
    return send_now(rec) == 1;
}

} // namespace

int ctl_report_open() {
    if (report_link.fd >= 0) return 1;
    if (!connect_and_register()) return 0;
    pollfd p{report_link.fd, POLLIN, 0};
    if (poll(&p, 1, CTL_REPORT_REGISTER_WAIT_MS) > 0) ctl_report_readable();
    return report_link.fd >= 0 ? 1 : 0;
}

int ctl_report_play_time(int seconds) {
    if (report_link.fd >= 0) ctl_report_readable(); // a peer that hung up is noticed here
    if (report_link.fd < 0) {
        if (report_link.attempted &&
            monotonic_ms() - report_link.last_attempt_ms < CTL_REPORT_RETRY_MS)
            return -1;
        if (!connect_and_register()) return -1;
    }
    tCtlRecord rec{};
    rec.command = CTL_CMD_PLAY_TIME;
    rec.param4 = seconds;
    const int sent = send_now(rec);
    if (sent == 0) report_link.dropped++;
    return sent;
}

int ctl_report_fd() {
    return report_link.fd;
}

void ctl_report_readable() {
    while (report_link.fd >= 0) {
        const ssize_t n = recv(report_link.fd, reply_sink.data(), reply_sink.size(), MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        close_link(); // the daemon closed the connection, or it failed
    }
}

int ctl_report_dropped() {
    return report_link.dropped;
}

void ctl_report_close() {
    close_link();
    report_link.attempted = 0;
}
