#include "control_path.h"

#include "rivover.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* LOCK_FILE = "/tmp/zuzerovu.testlock";

int exclusive_holds = 0; // ControlPathLock objects alive in this process

int lock_file(int how) {
    const int fd = open(LOCK_FILE, O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    while (flock(fd, how) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

} // namespace

ControlPathLock::ControlPathLock() {
    if (exclusive_holds == 0)
        fd_ = lock_file(LOCK_EX);
    else
        nested_ = true;
    ++exclusive_holds;
}

ControlPathLock::~ControlPathLock() {
    --exclusive_holds;
    if (fd_ >= 0) close(fd_);
}

int control_path_share() {
    if (exclusive_holds > 0) return -1;
    return lock_file(LOCK_SH);
}

sockaddr_un control_address() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, CTL_SOCKET_PATH, sizeof addr.sun_path - 1);
    return addr;
}

bool daemon_on_path() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_un addr = control_address();
    const bool live = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return live;
}
