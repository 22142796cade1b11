#include "rivover.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int ctl_fd = -1;

// Whole records only: a record may cross the socket in pieces. MSG_NOSIGNAL keeps a
// daemon that went away from killing the player with SIGPIPE.
bool send_record(int fd, const tCtlRecord& rec) {
    const auto* p = reinterpret_cast<const char*>(&rec);
    size_t done = 0;
    while (done < sizeof rec) {
        ssize_t n = send(fd, p + done, sizeof rec - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

ssize_t recv_record(int fd, tCtlRecord& rec) {
    auto* p = reinterpret_cast<char*>(&rec);
    size_t done = 0;
    while (done < sizeof rec) {
        ssize_t n = recv(fd, p + done, sizeof rec - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : n;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// One request and its reply on the request connection; the reply overwrites `rec`.
void exchange(tCtlRecord& rec) {
    if (send_record(ctl_fd, rec)) recv_record(ctl_fd, rec);
}

} // namespace

int ctl_connect() {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, CTL_SOCKET_PATH, sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int ctl_init(int /*flags*/) {
    if (ctl_fd >= 0) return 1;
    ctl_fd = ctl_connect();
    if (ctl_fd < 0) return 0;
    tCtlRecord rec{};
    rec.command = CTL_CMD_REGISTER;
    rec.param1 = static_cast<int32_t>(getpid());
    exchange(rec);
    return 1;
}

int ctl_close() {
    if (ctl_fd >= 0) close(ctl_fd);
    ctl_fd = -1;
    return 1;
}

int ctl_play_time(int seconds) {
    if (ctl_fd < 0) return -1;
    tCtlRecord rec{};
    rec.command = CTL_CMD_PLAY_TIME;
    rec.param4 = seconds;
    exchange(rec);
    return rec.status == CTL_STATUS_OK ? 1 : 0;
}
