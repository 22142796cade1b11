// The player's reports to the control daemon, seen by a stand-in daemon on the socket.
#include "proc.h"
#include "rivover.h"
#include "tempdir.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Accepts connections on the daemon's path, answers every record with status 100 and
// keeps what arrived, per connection.
class FakeDaemon {
  public:
    FakeDaemon() {
        unlink(CTL_SOCKET_PATH);
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, CTL_SOCKET_PATH, sizeof addr.sun_path - 1);
        ok_ = bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              listen(listen_fd_, 16) == 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeDaemon() {
        stop_ = true;
        thread_.join();
        close(listen_fd_);
        unlink(CTL_SOCKET_PATH);
    }
    bool ok() const { return ok_; }

    // Records of the connection that registered `pid`.
    std::vector<tCtlRecord> records_of(int pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let the last records in
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [fd, recs] : records_)
            if (!recs.empty() && recs[0].command == CTL_CMD_REGISTER && recs[0].param1 == pid)
                return recs;
        return {};
    }

  private:
    void serve() {
        std::vector<pollfd> fds;
        while (!stop_) {
            fds.assign(1, pollfd{listen_fd_, POLLIN, 0});
            for (int c : clients_)
                fds.push_back(pollfd{c, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 50) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                int c = accept(listen_fd_, nullptr, nullptr);
                clients_.push_back(c);
                conn_of_[c] = next_conn_++; // descriptors are reused, connections are not
            }
            for (size_t i = 1; i < fds.size(); i++) {
                if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
                tCtlRecord rec{};
                ssize_t n = recv(fds[i].fd, &rec, sizeof rec, MSG_WAITALL);
                if (n != static_cast<ssize_t>(sizeof rec)) {
                    close(fds[i].fd);
                    std::erase(clients_, fds[i].fd);
                    continue;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    records_[conn_of_[fds[i].fd]].push_back(rec);
                }
                rec.status = CTL_STATUS_OK;
                send(fds[i].fd, &rec, sizeof rec, MSG_NOSIGNAL);
            }
        }
        for (int c : clients_)
            close(c);
    }

    int listen_fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<int> clients_;
    std::mutex mutex_;
    std::map<int, int> conn_of_;
    int next_conn_ = 0;
    std::map<int, std::vector<tCtlRecord>> records_;
};

std::vector<int> play_times(const std::vector<tCtlRecord>& recs) {
    std::vector<int> t;
    for (const auto& r : recs)
        if (r.command == CTL_CMD_PLAY_TIME) t.push_back(r.param4);
    return t;
}

TEST(ControlReports, PlayTimeIsReportedOncePerSecond) {
    FakeDaemon daemon;
    ASSERT_TRUE(daemon.ok());
    TempDir dir;
    // 3.5 s of 44100 Hz stereo.
    write_file(dir.file("t.wav"), make_wav(2, 44100, std::vector<int16_t>(2 * 44100 * 7 / 2, 1)));
    EnvList env = ossim_env("", dir.file("report"));
    ProcHandle h = start_program({vexa_bin("vexa"), dir.file("t.wav")}, env);
    const int pid = h.pid;
    ProcResult r = wait_program(h, 60);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    auto recs = daemon.records_of(pid);
    ASSERT_FALSE(recs.empty()) << "the started process registers itself";
    EXPECT_EQ(play_times(recs), (std::vector<int>{0, 1, 2, 3}));

    // Started 2 s in, the first report is 2.
    ProcHandle h2 = start_program({vexa_bin("vexa"), dir.file("t.wav"), "2"}, env);
    const int pid2 = h2.pid;
    ASSERT_EQ(wait_program(h2, 60).exit_code, 0);
    EXPECT_EQ(play_times(daemon.records_of(pid2)), (std::vector<int>{2, 3}));
}

} // namespace
