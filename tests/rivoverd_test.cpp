// The control daemon: its start and stop, its answers and its log, with raw clients and
// with the client library; the player's reports are checked in control_test.
#include "control_path.h"
#include "proc.h"
#include "records.h"
#include "rivover.h"
#include "tempdir.h"
#include "wait.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A raw client socket connected to the path, or -1.
int dial() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = control_address();
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    close(fd);
    return -1;
}

tCtlRecord record(int command, int p1, int p2, int p3, int p4, const char* text) {
    tCtlRecord r{};
    r.command = command;
    r.status = -5; // undefined in requests
    r.param1 = p1;
    r.param2 = p2;
    r.param3 = p3;
    r.param4 = p4;
    std::strncpy(r.text, text, sizeof r.text - 1);
    return r;
}

bool send_all(int fd, const void* p, size_t n) {
    return send(fd, p, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}

// One whole record within 20 s, or false.
bool recv_record(int fd, tCtlRecord& rec) {
    auto* p = reinterpret_cast<char*>(&rec);
    size_t done = 0;
    while (done < sizeof rec) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20000) <= 0) return false;
        ssize_t n = recv(fd, p + done, sizeof rec - done, 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// True when the peer closes fd within 20 s (anything received first: false). A close
// that leaves bytes of ours unread reaches us as a reset rather than an end.
bool closed_by_peer(int fd) {
    pollfd pfd{fd, POLLIN, 0};
    char c;
    if (poll(&pfd, 1, 20000) != 1) return false;
    const ssize_t n = recv(fd, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// One request and its reply; false when no reply came.
bool exchange(int fd, tCtlRecord& rec) {
    return send_all(fd, &rec, sizeof rec) && recv_record(fd, rec);
}

// A connection that has registered this process with the daemon, or -1.
int registered_client() {
    const int fd = dial();
    tCtlRecord rec = record(CTL_CMD_REGISTER, getpid(), 0, 0, 0, "");
    if (fd >= 0 && exchange(fd, rec)) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// True when nothing arrives on fd within a short while.
bool quiet(int fd) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, 200) == 0;
}

// One line of the daemon's log.
struct LogLine {
    int pid, cmd, p1, p2, p3, p4;
    std::string text;
};

std::vector<LogLine> parse_log(const std::string& out) {
    std::vector<LogLine> lines;
    std::istringstream in(out);
    std::string s;
    while (std::getline(in, s)) {
        LogLine l{};
        int used = 0;
        if (std::sscanf(s.c_str(), "pid=%d cmd=%d p1=%d p2=%d p3=%d p4=%d text=\"%n", &l.pid,
                        &l.cmd, &l.p1, &l.p2, &l.p3, &l.p4, &used) != 6 ||
            used == 0 || s.back() != '"') {
            ADD_FAILURE() << "not a record line: " << s;
            continue;
        }
        l.text = s.substr(static_cast<size_t>(used), s.size() - static_cast<size_t>(used) - 1);
        lines.push_back(l);
    }
    return lines;
}

class Rivoverd : public testing::Test {
  protected:
    void SetUp() override {
        path_lock_ = std::make_unique<ControlPathLock>();
        ASSERT_TRUE(path_lock_->held()) << "cannot lock the control path for the test";
        if (daemon_on_path())
            GTEST_SKIP() << "a control daemon is already listening on " << CTL_SOCKET_PATH
                         << "; these tests need the path to themselves";
        unlink(CTL_SOCKET_PATH);
    }
    void TearDown() override {
        if (daemon_.pid > 0) stop();
        path_lock_.reset();
    }

    // Starts the daemon and waits until it accepts connections.
    void start(const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv = {vexa_bin("rivoverd")};
        argv.insert(argv.end(), options.begin(), options.end());
        daemon_ = start_program(argv, {});
        ASSERT_TRUE(wait_until(daemon_on_path)) << "rivoverd does not listen";
    }
    // SIGTERM; the daemon must leave with status 0 and take its socket file along.
    ProcResult stop() {
        kill(daemon_.pid, SIGTERM);
        ProcResult r = wait_program(daemon_, 30);
        daemon_ = ProcHandle();
        EXPECT_EQ(r.exit_code, 0) << r.err;
        struct stat st {};
        EXPECT_NE(lstat(CTL_SOCKET_PATH, &st), 0) << "socket file left behind";
        return r;
    }

    ProcHandle daemon_;
    std::unique_ptr<ControlPathLock> path_lock_;
};

TEST_F(Rivoverd, AnswersAndLogsEveryRecord) {
    start();
    int c = dial();
    ASSERT_GE(c, 0);
    tCtlRecord rec = record(CTL_CMD_REGISTER, getpid(), 0, 0, 0, "");
    ASSERT_TRUE(send_all(c, &rec, sizeof rec));
    ASSERT_TRUE(recv_record(c, rec));
    EXPECT_EQ(rec.command, CTL_CMD_REGISTER);
    EXPECT_EQ(rec.status, CTL_STATUS_OK);

    rec = record(CTL_CMD_PLAY_TIME, 0, 0, 0, 12, "");
    ASSERT_TRUE(send_all(c, &rec, sizeof rec));
    ASSERT_TRUE(recv_record(c, rec));
    EXPECT_EQ(rec.command, CTL_CMD_PLAY_TIME);
    EXPECT_EQ(rec.status, CTL_STATUS_OK);

    // A command it has no use for is still answered, without success.
    rec = record(CTL_CMD_GET_VALUE, 1, 2, 3, 4, "q");
    ASSERT_TRUE(send_all(c, &rec, sizeof rec));
    ASSERT_TRUE(recv_record(c, rec));
    EXPECT_EQ(rec.command, CTL_CMD_GET_VALUE);
    EXPECT_NE(rec.status, CTL_STATUS_OK);

    // Records that expect no reply get none; the next request gets its own.
    for (int code : {19, 33, 34, 57}) {
        rec = record(code, 0, 0, 0, 0, "");
        ASSERT_TRUE(send_all(c, &rec, sizeof rec));
    }
    EXPECT_TRUE(quiet(c));
    rec = record(CTL_CMD_PLAY_TIME, 0, 0, 0, 13, "");
    ASSERT_TRUE(send_all(c, &rec, sizeof rec));
    ASSERT_TRUE(recv_record(c, rec));
    EXPECT_EQ(rec.command, CTL_CMD_PLAY_TIME);
    EXPECT_EQ(rec.param4, 13);

    // Quotes, backslashes and line ends stay on the record's one line; no byte outside
    // printable ASCII (a C1 control such as CSI 0x9b included) reaches the log raw.
    rec = record(CTL_CMD_SEND_TEXT, 0, 0, 0, 0, "say \"hi\"\\\nnext\x01\x9b[2J\xff\x80~\x7f");
    ASSERT_TRUE(send_all(c, &rec, sizeof rec));
    ASSERT_TRUE(recv_record(c, rec));
    close(c);

    ProcResult r = stop();
    auto log = parse_log(r.out);
    ASSERT_EQ(log.size(), 9u) << r.out;
    EXPECT_EQ(log[0].pid, getpid());
    EXPECT_EQ(log[0].cmd, 32);
    EXPECT_EQ(log[0].p1, getpid());
    EXPECT_EQ(log[1].cmd, 17);
    EXPECT_EQ(log[1].p4, 12);
    EXPECT_EQ(log[2].cmd, 1);
    EXPECT_EQ(log[2].p1, 1);
    EXPECT_EQ(log[2].p2, 2);
    EXPECT_EQ(log[2].p3, 3);
    EXPECT_EQ(log[2].p4, 4);
    EXPECT_EQ(log[2].text, "q");
    EXPECT_EQ(log[3].cmd, 19);
    EXPECT_EQ(log[6].cmd, 57);
    EXPECT_EQ(log[7].p4, 13);
    EXPECT_EQ(log[8].cmd, 11);
    EXPECT_EQ(log[8].text, "say \\\"hi\\\"\\\\\\x0anext\\x01\\x9b[2J\\xff\\x80~\\x7f");
    for (const auto& l : log)
        EXPECT_EQ(l.pid, getpid());
}

TEST_F(Rivoverd, ServesSeveralClientsAndRecordsInPieces) {
    start();
    int a = dial(), b = dial();
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    // a sends half a record and stalls; b is served meanwhile.
    tCtlRecord ra = record(CTL_CMD_PLAY_TIME, 0, 0, 0, 7, "from a");
    const auto* pa = reinterpret_cast<const char*>(&ra);
    ASSERT_TRUE(send_all(a, pa, 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(send_all(a, pa + 3, 200));
    tCtlRecord rb = record(CTL_CMD_REGISTER, getpid(), 0, 0, 0, "");
    ASSERT_TRUE(send_all(b, &rb, sizeof rb));
    ASSERT_TRUE(recv_record(b, rb));
    EXPECT_EQ(rb.status, CTL_STATUS_OK);
    EXPECT_TRUE(quiet(a));
    ASSERT_TRUE(send_all(a, pa + 203, sizeof ra - 203));
    ASSERT_TRUE(recv_record(a, ra));
    EXPECT_EQ(ra.command, CTL_CMD_PLAY_TIME);
    EXPECT_EQ(ra.status, CTL_STATUS_OK);

    // A client that leaves halfway through a record is dropped, the others stay.
    int gone = dial();
    ASSERT_GE(gone, 0);
    ASSERT_TRUE(send_all(gone, pa, 100));
    close(gone);
    rb = record(CTL_CMD_PLAY_TIME, 0, 0, 0, 8, "");
    ASSERT_TRUE(send_all(b, &rb, sizeof rb));
    ASSERT_TRUE(recv_record(b, rb));
    close(a);
    close(b);

    auto log = parse_log(stop().out);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].pid, getpid());
    EXPECT_EQ(log[1].pid, getpid()); // unregistered: the peer's process id all the same
    EXPECT_EQ(log[1].p4, 7);
    EXPECT_EQ(log[1].text, "from a");
    EXPECT_EQ(log[2].pid, getpid());
    EXPECT_EQ(log[2].p4, 8);
}

TEST_F(Rivoverd, ClientLibraryStatusAndEvents) {
    start();
    // The library registers this process and opens its event channel.
    ASSERT_EQ(ctl_init(1), 1);
    int a = 0, b = 0, c = 0;
    char text[CTL_TEXT_BYTES] = "";
    EXPECT_EQ(ctl_status(&a, &b, &c, text), 1);
    EXPECT_EQ(a, -1);
    EXPECT_STREQ(text, "idle");

    // Another client reports a play time: pushed as an event, and the status shows it.
    int player = dial();
    ASSERT_GE(player, 0);
    // It claims to be another process: refused, and its play time is served under the
    // process id the kernel gave, never under the claimed one.
    tCtlRecord rec = record(CTL_CMD_REGISTER, 31337, 0, 0, 0, "");
    ASSERT_TRUE(send_all(player, &rec, sizeof rec));
    ASSERT_TRUE(recv_record(player, rec));
    EXPECT_NE(rec.status, CTL_STATUS_OK);
    rec = record(CTL_CMD_PLAY_TIME, 0, 0, 0, 42, "");
    ASSERT_TRUE(send_all(player, &rec, sizeof rec));
    ASSERT_TRUE(recv_record(player, rec));
    EXPECT_EQ(ctl_event_read(&a, &b, &c, text), 1);
    EXPECT_EQ(a, getpid());
    EXPECT_EQ(c, 42);
    EXPECT_EQ(ctl_status(&a, &b, &c, text), 1);
    EXPECT_EQ(a, getpid());
    EXPECT_EQ(c, 42);

    // Events off: nothing more arrives on the channel.
    EXPECT_EQ(ctl_events_off(), 1);
    rec = record(CTL_CMD_PLAY_TIME, 0, 0, 0, 43, "");
    ASSERT_TRUE(send_all(player, &rec, sizeof rec));
    ASSERT_TRUE(recv_record(player, rec));
    EXPECT_TRUE(quiet(ctl_event_fd_get()));
    EXPECT_EQ(ctl_events_on(), 1);

    // When the player leaves, the status is idle again.
    close(player);
    EXPECT_TRUE(wait_until([&] { return ctl_status(&a, &b, &c, text) == 1 && a == -1; }));
    EXPECT_STREQ(text, "idle");
    EXPECT_EQ(ctl_play_time(5), 1);
    EXPECT_EQ(ctl_get_value(), -1); // not a command this daemon serves

    EXPECT_EQ(ctl_event_read(&a, &b, &c, text), 1); // events are on again
    EXPECT_EQ(a, getpid());
    EXPECT_EQ(c, 5);

    ctl_close();
    ProcResult r = stop();
    // The channel sees the daemon go.
    EXPECT_EQ(ctl_event_read(&a, &b, &c, text), -1);
    EXPECT_EQ(ctl_event_fd_get(), -1);
    auto log = parse_log(r.out);
    int registered = 0;
    for (const auto& l : log)
        if (l.cmd == CTL_CMD_REGISTER && l.p1 == getpid()) registered++;
    EXPECT_EQ(registered, 2); // the request connection and the event channel
}

TEST_F(Rivoverd, RemovesAStaleSocketAndRefusesALiveDaemon) {
    // A socket file whose daemon is gone.
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = control_address();
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(stale);
    start();

    // A second daemon on the same path does not start, and leaves the first alone.
    ProcResult second = run_program({vexa_bin("rivoverd")}, {}, 30);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("rivoverd"), std::string::npos);
    EXPECT_TRUE(daemon_on_path());
    stop();

    // Nor does it start over another live socket of its own user.
    int other = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(other, 4), 0);
    ProcResult over = run_program({vexa_bin("rivoverd")}, {}, 30);
    EXPECT_EQ(over.exit_code, 1);
    EXPECT_TRUE(daemon_on_path());
    close(other);
    unlink(CTL_SOCKET_PATH);
}

TEST_F(Rivoverd, StopsOnSigtermWithClientsConnected) {
    start();
    int c = dial();
    ASSERT_GE(c, 0);
    tCtlRecord rec = record(CTL_CMD_REGISTER, 5, 0, 0, 0, "");
    ASSERT_TRUE(send_all(c, &rec, sizeof rec));
    ASSERT_TRUE(recv_record(c, rec));
    stop();                            // status 0, socket file gone
    EXPECT_FALSE(recv_record(c, rec)); // the connection was closed
    close(c);
}

TEST_F(Rivoverd, ClientsThatSendNoWholeRecordAreDropped) {
    start();
    const int idle = registered_client();
    ASSERT_GE(idle, 0);
    const int silent = dial();
    const int stalled = dial();
    ASSERT_GE(silent, 0);
    ASSERT_GE(stalled, 0);
    const tCtlRecord rec = record(CTL_CMD_PLAY_TIME, 0, 0, 0, 1, "");
    ASSERT_TRUE(send_all(stalled, &rec, 100));
    EXPECT_TRUE(closed_by_peer(silent));
    EXPECT_TRUE(closed_by_peer(stalled));
    // A client that has finished its records may stay as long as it likes.
    tCtlRecord status = record(CTL_CMD_STATUS, 0, 0, 0, 0, "");
    ASSERT_TRUE(exchange(idle, status));
    EXPECT_EQ(status.param3, 1);
    for (int fd : {idle, silent, stalled})
        close(fd);
    EXPECT_NE(stop().err.find("no whole record in time"), std::string::npos);
}

TEST_F(Rivoverd, AFullTableMakesRoomByDroppingTheClientIdleLongest) {
    start();
    std::vector<int> fds;
    for (int i = 0; i < MAX_CLIENTS + 2; i++) {
        fds.push_back(registered_client());
        ASSERT_GE(fds.back(), 0) << "client " << i << " was not served";
    }
    // The two registered first made room for the last two; everyone else is served.
    EXPECT_TRUE(closed_by_peer(fds[0]));
    EXPECT_TRUE(closed_by_peer(fds[1]));
    for (size_t i : {size_t{2}, fds.size() - 1}) {
        tCtlRecord status = record(CTL_CMD_STATUS, 0, 0, 0, 0, "");
        ASSERT_TRUE(exchange(fds[i], status));
        EXPECT_EQ(status.param3, MAX_CLIENTS);
    }
    for (int fd : fds)
        close(fd);
    EXPECT_NE(stop().err.find("dropped: every slot is taken and its user holds the most"),
              std::string::npos);
}

TEST_F(Rivoverd, ListenersThatDoNotReadAreDroppedAndHoldNobodyUp) {
    start();
    std::vector<int> listeners;
    for (int i = 0; i < 5; i++) {
        listeners.push_back(dial());
        tCtlRecord on = record(CTL_CMD_EVENTS, 1, 0, 0, 0, "");
        ASSERT_TRUE(exchange(listeners.back(), on));
    }
    const int player = registered_client();
    ASSERT_GE(player, 0);
    // Every report is answered at once while the listeners' queues fill up, until the
    // daemon has let go of all of them.
    int connections = 6;
    for (int t = 0; t < 20000 && connections > 1; t++) {
        tCtlRecord report = record(CTL_CMD_PLAY_TIME, 0, 0, 0, t, "");
        ASSERT_TRUE(exchange(player, report)) << "report " << t << " not answered";
        tCtlRecord status = record(CTL_CMD_STATUS, 0, 0, 0, 0, "");
        ASSERT_TRUE(exchange(player, status));
        connections = status.param3;
    }
    EXPECT_EQ(connections, 1);
    for (int fd : listeners)
        close(fd);
    close(player);
    const std::string err = stop().err;
    size_t drops = 0;
    for (size_t at = 0; (at = err.find("does not read its events", at)) != std::string::npos; at++)
        drops++;
    EXPECT_EQ(drops, 5u) << err;
}

TEST_F(Rivoverd, SocketModeIsSetWhateverTheUmask) {
    const mode_t old_umask = umask(077);
    start();
    umask(old_umask);
    struct stat st {};
    ASSERT_EQ(stat(CTL_SOCKET_PATH, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    stop();

    // Restricted to a group: that group, and the mode asked for.
    const gid_t gid = getgid() == 0 ? 1 : getgid();
    start({"--socket-mode", "0660:" + std::to_string(gid)});
    ASSERT_EQ(stat(CTL_SOCKET_PATH, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, gid);
    stop();
    start({"--socket-mode=600"});
    ASSERT_EQ(stat(CTL_SOCKET_PATH, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    stop();

    for (const char* bad : {"--socket-mode=999", "--socket-mode=0660:no-such-group-here",
                            "--socket-mode", "--mode=0600"}) {
        ProcResult r = run_program({vexa_bin("rivoverd"), bad}, {}, 30);
        EXPECT_EQ(r.exit_code, 1) << bad;
        EXPECT_NE(r.err.find("--socket-mode MODE[:GROUP]"), std::string::npos) << bad;
        EXPECT_FALSE(daemon_on_path());
    }
}

// ---- Other users ----

constexpr uid_t NOBODY = 65534;
constexpr uid_t SOMEONE = 65533;

#define REQUIRE_ROOT()                                                                             \
    if (geteuid() != 0)                                                                            \
    GTEST_SKIP() << "skipped: acting as a second user needs root (CI runs as root)"

// One byte carrying one descriptor over a local socket.
struct FdMessage {
    char byte = 'c';
    iovec iov{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    FdMessage() {
        iov = {&byte, 1};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
    }
    FdMessage(const FdMessage&) = delete; // msg points into the object itself
    FdMessage& operator=(const FdMessage&) = delete;
};

// `n` connections to the path made by a process running as `uid`, handed over to this
// process (the daemon saw `uid` connect). Fewer when the daemon refused some.
std::vector<int> connections_as(uid_t uid, int n) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(pair[0]);
        if (setgid(uid) != 0 || setuid(uid) != 0) _exit(1);
        for (int i = 0; i < n; i++) {
            const int fd = dial();
            if (fd < 0) continue;
            FdMessage m;
            cmsghdr* cm = CMSG_FIRSTHDR(&m.msg);
            cm->cmsg_level = SOL_SOCKET;
            cm->cmsg_type = SCM_RIGHTS;
            cm->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(cm), &fd, sizeof fd);
            if (sendmsg(pair[1], &m.msg, 0) != 1) _exit(1);
            close(fd);
        }
        _exit(0);
    }
    close(pair[1]);
    std::vector<int> fds;
    for (;;) {
        FdMessage m;
        if (recvmsg(pair[0], &m.msg, MSG_CMSG_CLOEXEC) != 1) break;
        const cmsghdr* cm = CMSG_FIRSTHDR(&m.msg);
        if (cm == nullptr || cm->cmsg_type != SCM_RIGHTS) break;
        int fd;
        std::memcpy(&fd, CMSG_DATA(cm), sizeof fd);
        fds.push_back(fd);
    }
    close(pair[0]);
    waitpid(child, nullptr, 0);
    return fds;
}

// Open as far as this side can tell without waiting: nothing (no end) to read.
bool still_open(int fd) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, 0) == 0;
}

// A register names the client's own process or its parent, nothing else; a refusal is
// logged once however often it is tried.
TEST_F(Rivoverd, RegisterOfAnotherProcessIsRefused) {
    start();
    const int c = dial();
    ASSERT_GE(c, 0);
    struct Row {
        int pid;
        bool accepted;
    };
    for (const Row& row : {Row{getpid(), true}, Row{1, false}, Row{getpid() + 100000, false},
                           Row{getppid(), true}, Row{0, false}, Row{1, false}}) {
        SCOPED_TRACE(row.pid);
        tCtlRecord rec = record(CTL_CMD_REGISTER, row.pid, 0, 0, 0, "");
        ASSERT_TRUE(exchange(c, rec));
        EXPECT_EQ(rec.status == CTL_STATUS_OK, row.accepted);
    }
    // The player, forked from a reader, may register the reader (its parent).
    const pid_t child = fork();
    if (child == 0) {
        const int fd = dial();
        tCtlRecord rec = record(CTL_CMD_REGISTER, getppid(), 0, 0, 0, "");
        _exit(fd >= 0 && exchange(fd, rec) && rec.status == CTL_STATUS_OK ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child's register refused";
    close(c);
    const std::string err = stop().err;
    size_t refusals = 0;
    for (size_t at = 0; (at = err.find("refused", at)) != std::string::npos; at++)
        refusals++;
    EXPECT_EQ(refusals, 1u) << err;
}

// A client that floods the log with long texts of non-printable bytes gets a few lines,
// each cut short, and a count of the rest.
TEST_F(Rivoverd, LogIsLimitedPerClient) {
    start();
    const int flood = dial(), quiet_one = dial();
    ASSERT_GE(flood, 0);
    ASSERT_GE(quiet_one, 0);
    std::string junk(511, '\x01');
    tCtlRecord rec = record(CTL_CMD_NOTIFY, 0, 0, 0, 0, junk.c_str());
    for (int i = 0; i < 2000; i++)
        ASSERT_TRUE(send_all(flood, &rec, sizeof rec));
    tCtlRecord mine = record(CTL_CMD_PLAY_TIME, 0, 0, 0, 99, "");
    ASSERT_TRUE(exchange(quiet_one, mine));
    tCtlRecord status = record(CTL_CMD_STATUS, 0, 0, 0, 0, "");
    ASSERT_TRUE(exchange(flood, status)); // everything before it has been handled
    close(flood);
    close(quiet_one);
    ProcResult r = stop();
    EXPECT_LT(r.out.size(), 4000u);
    size_t flood_lines = 0, longest = 0, others = 0;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        longest = std::max(longest, line.size());
        if (line.find("cmd=34") != std::string::npos) flood_lines++;
        if (line.find("p4=99") != std::string::npos) others++;
    }
    EXPECT_LE(flood_lines, static_cast<size_t>(LOG_BURST_LINES + 2 * LOG_LINES_PER_SECOND));
    EXPECT_EQ(others, 1u) << "the other client's line is there";
    EXPECT_LE(longest, 160u);
    EXPECT_NE(r.out.find("\\x01..."), std::string::npos) << "a cut is marked";
    EXPECT_NE(r.err.find("more lines left out"), std::string::npos) << r.err;
}

// One user's many connections never take another user's place.
TEST_F(Rivoverd, ConnectionsOfOneUserCannotCrowdOutAnother) {
    REQUIRE_ROOT();
    start();
    const std::vector<int> only = connections_as(NOBODY, 1);
    ASSERT_EQ(only.size(), 1u);
    const std::vector<int> many = connections_as(SOMEONE, 3 * MAX_CLIENTS);
    // Root fills the table up and beyond.
    std::vector<int> roots;
    for (int i = 0; i < MAX_CLIENTS + 8; i++)
        roots.push_back(dial());
    tCtlRecord status = record(CTL_CMD_STATUS, 0, 0, 0, 0, "");
    ASSERT_TRUE(exchange(roots.back(), status)); // every connection has been taken in
    EXPECT_EQ(status.param3, MAX_CLIENTS);
    tCtlRecord mine = record(CTL_CMD_STATUS, 0, 0, 0, 0, "");
    EXPECT_TRUE(exchange(only[0], mine)) << "another user's only connection was taken";
    int kept = 0;
    for (int fd : many)
        kept += still_open(fd);
    EXPECT_EQ(kept, MAX_CLIENTS_PER_UID);
    for (int fd : only)
        close(fd);
    for (int fd : many)
        close(fd);
    for (int fd : roots)
        close(fd);
    stop();
}

// Whatever another user has put on the path (or on the lock of old), the daemon starts:
// nothing is followed, what is there is removed and the removal said.
TEST_F(Rivoverd, StartsOverWhatAnotherUserPutOnThePath) {
    REQUIRE_ROOT();
    TempDir dir;
    const std::string target = dir.file("target");
    write_file(target, "root's file");
    chmod(target.c_str(), 0600);
    enum Squat { FILE_, SYMLINK, DIRECTORY, STALE_SOCKET, LISTENER, OLD_LOCK };
    struct Row {
        const char* name;
        Squat squat;
        const char* said;
    };
    for (const Row& row : {Row{"file", FILE_, "removed file of uid 65534"},
                           Row{"symbolic link", SYMLINK, "removed symbolic link of uid 65534"},
                           Row{"directory", DIRECTORY, "removed directory of uid 65534"},
                           Row{"stale socket", STALE_SOCKET, "removed stale socket of uid 65534"},
                           Row{"listener", LISTENER, "warning: removed a listening socket"},
                           Row{"old lock held", OLD_LOCK, "listening on"}}) {
        SCOPED_TRACE(row.name);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t squatter = fork();
        if (squatter == 0) {
            close(ready[0]);
            if (setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(1);
            sockaddr_un addr = control_address();
            const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
            int lock = -1;
            switch (row.squat) {
            case FILE_:
                close(open(CTL_SOCKET_PATH, O_WRONLY | O_CREAT, 0666));
                break;
            case SYMLINK:
                if (symlink(target.c_str(), CTL_SOCKET_PATH) != 0) _exit(1);
                break;
            case DIRECTORY:
                if (mkdir(CTL_SOCKET_PATH, 0777) != 0) _exit(1);
                break;
            case STALE_SOCKET:
            case LISTENER:
                if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(1);
                if (row.squat == LISTENER) listen(sock, 4);
                break;
            case OLD_LOCK:
                lock = open("/tmp/zuzerovu.lock", O_RDONLY | O_CREAT, 0644);
                if (lock >= 0) flock(lock, LOCK_EX);
                break;
            }
            if (row.squat == STALE_SOCKET) close(sock);
            if (write(ready[1], "r", 1) != 1) _exit(1);
            pause(); // holds its socket or lock until killed
            _exit(0);
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1) << "the squatter could not set up";
        close(ready[0]);
        start();
        // (A listener of the squatter's counts as on the path until the daemon has bound.)
        struct stat st {};
        EXPECT_TRUE(wait_until([&] {
            return lstat(CTL_SOCKET_PATH, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == 0;
        })) << "the daemon's own socket is not there";
        ProcResult r = stop();
        EXPECT_NE(r.err.find(row.said), std::string::npos) << r.err;
        kill(squatter, SIGKILL);
        waitpid(squatter, nullptr, 0);
        EXPECT_EQ(read_file(target), "root's file");
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << "the link was followed";
        rmdir(CTL_SOCKET_PATH);
        unlink(CTL_SOCKET_PATH);
    }
}

} // namespace
