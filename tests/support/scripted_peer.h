// A control daemon that follows a script, for tests of the client library and of the
// players' reports. It takes the control path as it is: the test holds the path
// (ControlPathLock) and has made sure no other daemon listens there.
#pragma once

#include "control_path.h"
#include "rivover.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

enum class Answer { Reply, Silent, Close, ReplyInPieces, ReplyThenClose };

// Accepts connections on the control path and answers each record as `script` says
// (by default: the request back with status 100). Keeps every record per connection.
// Players of other test programs may connect while it runs: the script is applied only
// to connections of this process and of the programs it started (known from the peer's
// parent when the connection is accepted, so before anything is sent); the others get
// the default answer.
class ScriptedPeer {
  public:
    using Script = std::function<Answer(int conn, const tCtlRecord& req, tCtlRecord& reply)>;

    explicit ScriptedPeer(int backlog = 16, bool accepting = true) : accepting_(accepting) {
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = control_address();
        ok_ = bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              listen(listen_fd_, backlog) == 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedPeer() {
        stop_ = true;
        thread_.join();
        close_all();
        close(listen_fd_);
        unlink(CTL_SOCKET_PATH);
    }
    bool ok() const { return ok_; }

    void set_script(Script s) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = std::move(s);
    }

    // Connections in the order they were accepted, each with the records it sent.
    std::vector<std::vector<tCtlRecord>> connections() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::vector<tCtlRecord>> all;
        for (const auto& c : conns_)
            all.push_back(c.records);
        return all;
    }
    // The same, only those of this process and of the programs it started.
    std::vector<std::vector<tCtlRecord>> own_connections() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::vector<tCtlRecord>> own;
        for (const auto& c : conns_)
            if (c.ours) own.push_back(c.records);
        return own;
    }
    // Records of the connection that registered `pid` (its first record), or none.
    std::vector<tCtlRecord> records_of(int pid) {
        for (const auto& recs : connections())
            if (!recs.empty() && recs[0].command == CTL_CMD_REGISTER && recs[0].param1 == pid)
                return recs;
        return {};
    }
    // Connections whose first record registered `pid`.
    std::vector<std::vector<tCtlRecord>> connections_of(int pid) {
        std::vector<std::vector<tCtlRecord>> mine;
        for (const auto& recs : connections()) {
            bool registered = false;
            for (const auto& r : recs)
                registered = registered || (r.command == CTL_CMD_REGISTER && r.param1 == pid);
            if (registered) mine.push_back(recs);
        }
        return mine;
    }
    // The last record received on any connection.
    tCtlRecord last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_;
    }
    int record_count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    // Every connection of this process and of the programs it started has been closed
    // by the client, after all it sent was read.
    bool own_closed() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& c : conns_)
            if (c.ours && !c.eof && c.fd >= 0) return false;
        return true;
    }
    bool closed_by_client(size_t conn) {
        std::lock_guard<std::mutex> lock(mutex_);
        return conn < conns_.size() && conns_[conn].eof;
    }

    // Sends a record of the peer's own on connection conn.
    bool push(size_t conn, const tCtlRecord& rec) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (conn >= conns_.size() || conns_[conn].fd < 0) return false;
        return send(conns_[conn].fd, &rec, sizeof rec, MSG_NOSIGNAL) == sizeof rec;
    }
    void close_conn(size_t conn) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (conn < conns_.size() && conns_[conn].fd >= 0) {
            shutdown(conns_[conn].fd, SHUT_RDWR); // at once, even while being polled
            close(conns_[conn].fd);
            conns_[conn].fd = -1;
        }
    }
    void close_all() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& c : conns_)
            if (c.fd >= 0) {
                shutdown(c.fd, SHUT_RDWR);
                close(c.fd);
                c.fd = -1;
            }
    }

  private:
    struct Conn {
        int fd;
        bool eof;
        bool ours; // this process or one it started
        std::vector<tCtlRecord> records;
    };

    static bool ours(pid_t pid) {
        if (pid == getpid()) return true;
        // The parent's process id is the second field after the command in parentheses.
        std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
        if (f == nullptr) return false;
        char line[512] = "";
        const bool got = std::fgets(line, sizeof line, f) != nullptr;
        std::fclose(f);
        const char* close = got ? std::strrchr(line, ')') : nullptr;
        char state = 0;
        int parent = 0;
        return close != nullptr && std::sscanf(close + 1, " %c %d", &state, &parent) == 2 &&
               parent == getpid();
    }

    void serve() {
        std::vector<pollfd> fds;
        std::vector<size_t> which;
        while (!stop_) {
            fds.clear();
            which.clear();
            if (accepting_) fds.push_back(pollfd{listen_fd_, POLLIN, 0});
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (size_t i = 0; i < conns_.size(); i++)
                    if (conns_[i].fd >= 0 && !conns_[i].eof) {
                        fds.push_back(pollfd{conns_[i].fd, POLLIN, 0});
                        which.push_back(i);
                    }
            }
            if (fds.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (poll(fds.data(), fds.size(), 20) <= 0) continue;
            size_t first = 0;
            if (accepting_) {
                first = 1;
                if (fds[0].revents & POLLIN) {
                    int c = accept(listen_fd_, nullptr, nullptr);
                    ucred cred{};
                    socklen_t len = sizeof cred;
                    if (c >= 0) getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len);
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (c >= 0) conns_.push_back(Conn{c, false, ours(cred.pid), {}});
                }
            }
            for (size_t k = first; k < fds.size(); k++)
                if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) serve_one(which[k - first]);
        }
    }

    void serve_one(size_t conn) {
        int fd;
        Script script;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd = conns_[conn].fd;
            if (conns_[conn].ours) script = script_;
        }
        if (fd < 0) return;
        tCtlRecord req{};
        ssize_t n = recv(fd, &req, sizeof req, MSG_WAITALL);
        if (n != static_cast<ssize_t>(sizeof req)) {
            std::lock_guard<std::mutex> lock(mutex_);
            conns_[conn].eof = true;
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            conns_[conn].records.push_back(req);
            last_ = req;
            count_++;
        }
        tCtlRecord reply = req;
        reply.status = CTL_STATUS_OK;
        Answer a = script ? script(static_cast<int>(conn), req, reply) : Answer::Reply;
        if (!ctl_expects_reply(req.command) && a == Answer::Reply) a = Answer::Silent;
        const auto* p = reinterpret_cast<const char*>(&reply);
        switch (a) {
        case Answer::Reply:
        case Answer::ReplyThenClose:
            send(fd, p, sizeof reply, MSG_NOSIGNAL);
            if (a == Answer::ReplyThenClose) close_conn(conn);
            break;
        case Answer::ReplyInPieces: {
            // 1, 7, 200 and the rest, with pauses the client has to wait through.
            const size_t cuts[] = {0, 1, 8, 208, sizeof reply};
            for (size_t i = 0; i + 1 < std::size(cuts); i++) {
                send(fd, p + cuts[i], cuts[i + 1] - cuts[i], MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
            break;
        }
        case Answer::Close:
            close_conn(conn);
            break;
        case Answer::Silent:
            break;
        }
    }

    int listen_fd_ = -1;
    bool ok_ = false;
    bool accepting_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    Script script_;
    std::vector<Conn> conns_;
    tCtlRecord last_{};
    int count_ = 0;
};
