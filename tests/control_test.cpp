// The control client library against a scripted daemon on the control socket, and the
// player's reports seen by that daemon.
#include "control_path.h"
#include "ossim_report.h"
#include "proc.h"
#include "rivover.h"
#include "scripted_peer.h"
#include "tempdir.h"
#include "wait.h"
#include "wavfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// ---- The control socket path is one for the whole machine ----

// Holds the path for one test; skips the test when a daemon that is not ours is there.
class OnControlPath : public testing::Test {
  protected:
    void SetUp() override {
        path_lock_ = std::make_unique<ControlPathLock>();
        ASSERT_TRUE(path_lock_->held()) << "cannot lock the control path for the test";
        if (daemon_on_path())
            GTEST_SKIP() << "a control daemon is already listening on " << CTL_SOCKET_PATH
                         << "; these tests need the path to themselves";
        unlink(CTL_SOCKET_PATH); // a socket file nobody listens on
    }
    void TearDown() override { path_lock_.reset(); }
    std::unique_ptr<ControlPathLock> path_lock_;
};

tCtlRecord record(int command, int status, int p1, int p2, int p3, int p4, const char* text) {
    tCtlRecord r{};
    r.command = command;
    r.status = status;
    r.param1 = p1;
    r.param2 = p2;
    r.param3 = p3;
    r.param4 = p4;
    std::strncpy(r.text, text, sizeof r.text - 1);
    return r;
}

// The library keeps its connections for the whole process: each test ends with all
// three closed again.
void close_all_channels(ScriptedPeer& peer) {
    ctl_close();
    peer.close_all();
    if (ctl_event_fd_get() >= 0) ctl_event_read(nullptr, nullptr, nullptr, nullptr);
    if (ctl_link_fd_get() >= 0) ctl_link_read(nullptr, nullptr);
}

// ---- Connection management ----

class ControlClient : public OnControlPath {
  protected:
    void SetUp() override {
        OnControlPath::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        peer_ = std::make_unique<ScriptedPeer>();
        ASSERT_TRUE(peer_->ok());
    }
    void TearDown() override {
        if (peer_) close_all_channels(*peer_);
        peer_.reset();
        OnControlPath::TearDown();
    }
    // Replies of this shape to every request from now on.
    void answer_with(const tCtlRecord& shape, Answer how = Answer::Reply) {
        peer_->set_script([shape, how](int, const tCtlRecord& req, tCtlRecord& reply) {
            if (req.command == CTL_CMD_REGISTER) return Answer::Reply;
            reply = shape;
            if (reply.command == 0) reply.command = req.command;
            return how;
        });
    }
    ScriptedPeer& peer() { return *peer_; }
    std::unique_ptr<ScriptedPeer> peer_;
};

TEST_F(OnControlPath, WithoutDaemonNothingIsSentAndEveryCallSaysNotOpen) {
    // No socket file at all, then a socket file that nobody listens on.
    for (int stale = 0; stale < 2; stale++) {
        int stale_fd = -1;
        if (stale == 1) {
            stale_fd = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr = control_address();
            ASSERT_EQ(bind(stale_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        }
        EXPECT_EQ(ctl_connect(), -1);
        EXPECT_EQ(ctl_init(0), 0);
        EXPECT_EQ(ctl_init(1), 0);
        EXPECT_EQ(ctl_play_time(3), -1);
        EXPECT_EQ(ctl_get_value(), -1);
        EXPECT_EQ(ctl_get_value_of(1), -1);
        EXPECT_EQ(ctl_get_text(3, 1, 2), nullptr);
        EXPECT_EQ(ctl_get_text(35, 0, 0), nullptr);
        ASSERT_NE(ctl_get_text(5, 1, 2), nullptr);
        EXPECT_STREQ(ctl_get_text(5, 1, 2), "");
        int a = 7, b = 8, c = 9;
        EXPECT_EQ(ctl_status(&a, &b, &c, nullptr), -1);
        EXPECT_EQ(ctl_exchange(&a, &b), -1);
        EXPECT_EQ(a, 7);
        EXPECT_EQ(b, 8);
        EXPECT_EQ(ctl_send3(1, 2, 3), -1);
        EXPECT_EQ(ctl_request(10), -1);
        EXPECT_EQ(ctl_send_text(1, "x"), -1);
        EXPECT_EQ(ctl_get_value2(1, 2), 0);
        EXPECT_EQ(ctl_command(23, 1), -1);
        EXPECT_EQ(ctl_command(25, 0), -1);
        EXPECT_EQ(ctl_get_result(31), -1);
        EXPECT_EQ(ctl_notify_value(1), -1);
        EXPECT_EQ(ctl_notify(), -1);
        EXPECT_EQ(ctl_send2(1, 2), -1);
        EXPECT_EQ(ctl_wait(), -1);
        EXPECT_EQ(ctl_event_fd_get(), -1);
        EXPECT_EQ(ctl_events_on(), 0);
        EXPECT_EQ(ctl_events_off(), 0);
        EXPECT_EQ(ctl_event_read(&a, &b, &c, nullptr), -1);
        EXPECT_EQ(ctl_link_open(1, 2, "x"), -1);
        EXPECT_EQ(ctl_link_fd_get(), -1);
        EXPECT_EQ(ctl_link_text("x"), -1);
        EXPECT_EQ(ctl_link_text2("x"), -1);
        EXPECT_EQ(ctl_link_read(&a, &b), -1);
        EXPECT_EQ(ctl_close(), 1);
        if (stale_fd >= 0) close(stale_fd);
        unlink(CTL_SOCKET_PATH);
    }
}

TEST_F(ControlClient, InitRegistersOnceAndCloseEndsTheConnection) {
    EXPECT_EQ(ctl_init(0), 1);
    EXPECT_EQ(ctl_init(0), 1); // already connected: nothing new
    EXPECT_EQ(ctl_init(1), 1); // ... not even the event channel
    EXPECT_EQ(ctl_event_fd_get(), -1);
    auto mine = peer().connections_of(getpid());
    ASSERT_EQ(mine.size(), 1u);
    ASSERT_EQ(mine[0].size(), 1u);
    EXPECT_EQ(mine[0][0].command, CTL_CMD_REGISTER);
    EXPECT_EQ(mine[0][0].param1, getpid());

    EXPECT_EQ(ctl_play_time(5), 1);
    EXPECT_EQ(ctl_close(), 1);
    EXPECT_TRUE(wait_until([&] { return peer().closed_by_client(0); }));
    const int before = peer().record_count();
    EXPECT_EQ(ctl_play_time(6), -1);
    EXPECT_EQ(ctl_close(), 1);
    EXPECT_EQ(peer().record_count(), before);
}

TEST_F(ControlClient, InitWithEventsOpensTheEventChannelAndRegistersOnIt) {
    EXPECT_EQ(ctl_init(1), 1);
    EXPECT_GE(ctl_event_fd_get(), 0);
    auto conns = peer().connections_of(getpid());
    ASSERT_EQ(conns.size(), 2u);
    ASSERT_EQ(conns[1].size(), 2u);
    EXPECT_EQ(conns[1][0].command, CTL_CMD_EVENTS);
    EXPECT_EQ(conns[1][0].param1, 1);
    EXPECT_EQ(conns[1][1].command, CTL_CMD_REGISTER);
    EXPECT_EQ(conns[1][1].param1, getpid());
    // Closing the request connection leaves the event channel open.
    ctl_close();
    EXPECT_GE(ctl_event_fd_get(), 0);
}

TEST_F(ControlClient, WaitReturnsWhenTheDaemonHasSomethingToSay) {
    ASSERT_EQ(ctl_init(0), 1);
    ASSERT_TRUE(peer().push(0, record(CTL_CMD_STATUS, 100, 0, 0, 0, 0, "")));
    EXPECT_EQ(ctl_wait(), 1);
}

// ---- Requests: the fields sent and the handling of the reply ----

TEST_F(ControlClient, NumberRequestsSendTheirArgumentsAndReadTheRightReplyField) {
    ASSERT_EQ(ctl_init(0), 1);
    const tCtlRecord good = record(0, 100, 11, 22, 33, 44, "reply");
    const tCtlRecord refused = record(0, 7, 11, 22, 33, 44, "reply");

    answer_with(good);
    EXPECT_EQ(ctl_get_value(), 22);
    EXPECT_EQ(peer().last().command, 1);
    EXPECT_EQ(ctl_get_value_of(5), 33);
    EXPECT_EQ(peer().last().command, 2);
    EXPECT_EQ(peer().last().param2, 5);
    EXPECT_EQ(ctl_send3(1, 2, 3), 1);
    EXPECT_EQ(peer().last().command, 9);
    EXPECT_EQ(peer().last().param2, 1);
    EXPECT_EQ(peer().last().param3, 2);
    EXPECT_EQ(peer().last().param4, 3);
    for (int code : {10, 13, 56}) {
        EXPECT_EQ(ctl_request(code), 1);
        EXPECT_EQ(peer().last().command, code);
    }
    EXPECT_EQ(ctl_send_text(4, "hello"), 1);
    EXPECT_EQ(peer().last().command, 11);
    EXPECT_EQ(peer().last().param4, 4);
    EXPECT_STREQ(peer().last().text, "hello");
    EXPECT_EQ(ctl_get_value2(6, 7), 44);
    EXPECT_EQ(peer().last().command, 16);
    EXPECT_EQ(peer().last().param2, 6);
    EXPECT_EQ(peer().last().param3, 7);
    EXPECT_EQ(ctl_play_time(8), 1);
    EXPECT_EQ(peer().last().command, 17);
    EXPECT_EQ(peer().last().param4, 8);
    for (int code : {23, 24, 51}) {
        EXPECT_EQ(ctl_command(code, 9), 1);
        EXPECT_EQ(peer().last().command, code);
        EXPECT_EQ(peer().last().param2, 9);
    }
    for (int code : {25, 26, 27, 28, 42, 43, 44, 45, 46, 47, 49, 53}) {
        EXPECT_EQ(ctl_command(code, 9), 1);
        EXPECT_EQ(peer().last().command, code);
        EXPECT_EQ(peer().last().param2, 0);
    }
    for (int code : {31, 52}) {
        EXPECT_EQ(ctl_get_result(code), 11);
        EXPECT_EQ(peer().last().command, code);
    }
    EXPECT_EQ(ctl_send2(12, 13), 1);
    EXPECT_EQ(peer().last().command, 50);
    EXPECT_EQ(peer().last().param2, 12);
    EXPECT_EQ(peer().last().param3, 13);

    // Codes outside a call's family are not sent.
    const int sent = peer().record_count();
    EXPECT_EQ(ctl_request(17), -1);
    EXPECT_EQ(ctl_command(17, 1), -1);
    EXPECT_EQ(ctl_get_result(8), -1);
    EXPECT_EQ(ctl_get_text(8, 0, 0), nullptr);
    EXPECT_EQ(peer().record_count(), sent);

    answer_with(refused);
    EXPECT_EQ(ctl_get_value(), -1);
    EXPECT_EQ(ctl_get_value_of(5), 33); // taken whatever the status
    EXPECT_EQ(ctl_send3(1, 2, 3), 0);
    EXPECT_EQ(ctl_request(10), 0);
    EXPECT_EQ(ctl_send_text(4, "x"), 0);
    EXPECT_EQ(ctl_get_value2(6, 7), 0);
    EXPECT_EQ(ctl_play_time(8), 0);
    EXPECT_EQ(ctl_command(23, 1), 0);
    EXPECT_EQ(ctl_command(25, 0), 0);
    EXPECT_EQ(ctl_get_result(31), 0);
    EXPECT_EQ(ctl_send2(1, 2), 0);
}

TEST_F(ControlClient, NotificationsReadNoReply) {
    ASSERT_EQ(ctl_init(0), 1);
    // The peer answers nothing to 33 and 34; a request after them gets its own reply.
    answer_with(record(0, 100, 0, 61, 0, 0, ""));
    EXPECT_EQ(ctl_notify_value(3), 1);
    EXPECT_EQ(wait_until([&] { return peer().last().command == 33; }), true);
    EXPECT_EQ(peer().last().param3, 3);
    EXPECT_EQ(ctl_notify(), 1);
    EXPECT_EQ(ctl_get_value(), 61);
    auto recs = peer().connections_of(getpid())[0];
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[2].command, 34);
}

TEST_F(ControlClient, TextRequestsFillABufferPerCommand) {
    ASSERT_EQ(ctl_init(0), 1);
    answer_with(record(0, 100, 0, 0, 0, 0, "first"));
    const char* t4 = ctl_get_text(4, 1, 2);
    ASSERT_NE(t4, nullptr);
    EXPECT_STREQ(t4, "first");
    EXPECT_EQ(peer().last().command, 4);
    EXPECT_EQ(peer().last().param2, 1);
    EXPECT_EQ(peer().last().param3, 2);
    const char* t3 = ctl_get_text(3, 5, 0);
    EXPECT_EQ(peer().last().command, 3);
    EXPECT_EQ(peer().last().param2, 5);
    EXPECT_EQ(ctl_get_text(35, 0, 0) != nullptr, true);
    EXPECT_EQ(peer().last().command, 35);

    answer_with(record(0, 100, 0, 0, 0, 0, "second"));
    const char* t6 = ctl_get_text(6, 0, 0);
    EXPECT_STREQ(t6, "second");
    EXPECT_STREQ(t4, "first"); // another command's buffer
    EXPECT_STREQ(t3, "first");
    EXPECT_EQ(ctl_get_text(4, 1, 2), t4); // the same command's buffer, overwritten
    EXPECT_STREQ(t4, "second");
    for (int code : {7, 14, 15, 54, 55}) {
        ASSERT_NE(ctl_get_text(code, 8, 9), nullptr);
        EXPECT_EQ(peer().last().command, code);
        EXPECT_EQ(peer().last().param2, 8);
        EXPECT_EQ(peer().last().param3, 9);
    }

    answer_with(record(0, 3, 0, 0, 0, 0, "refused"));
    EXPECT_EQ(ctl_get_text(4, 1, 2), nullptr);
    const char* t5 = ctl_get_text(5, 1, 2);
    ASSERT_NE(t5, nullptr);
    EXPECT_STREQ(t5, "");

    // 512 text bytes without a terminator come back cut to 511 and terminated.
    tCtlRecord full = record(0, 100, 0, 0, 0, 0, "");
    std::memset(full.text, 'x', sizeof full.text);
    answer_with(full);
    const char* t = ctl_get_text(5, 0, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t), std::string(511, 'x'));
    EXPECT_EQ(std::string(ctl_get_text(14, 0, 0)), std::string(511, 'x'));
}

TEST_F(ControlClient, RequestTextIsCutToFitWithItsTerminator) {
    ASSERT_EQ(ctl_init(0), 1);
    const std::string long_text(600, 'y');
    EXPECT_EQ(ctl_send_text(1, long_text.c_str()), 1);
    const tCtlRecord got = peer().last();
    EXPECT_EQ(std::string(got.text), std::string(511, 'y'));
}

TEST_F(ControlClient, StatusUnpacksTheReply) {
    ASSERT_EQ(ctl_init(0), 1);
    int a = 0, b = 0, c = 0;
    char text[CTL_TEXT_BYTES] = "unchanged";

    answer_with(record(8, 100, 1, 5, 6, 7, "playing"));
    EXPECT_EQ(ctl_status(&a, &b, &c, text), 1);
    EXPECT_EQ(peer().last().command, 8);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, 6);
    EXPECT_EQ(c, 7);
    EXPECT_STREQ(text, "unchanged");
    EXPECT_EQ(ctl_status(nullptr, nullptr, nullptr, nullptr), 1); // null outputs are fine

    answer_with(record(8, 100, 2, 5, 6, 7, ""));
    EXPECT_EQ(ctl_status(&a, &b, &c, text), 0); // param1 2

    // No positive param2: -1, -1, param4 and the text.
    answer_with(record(8, 100, 0, 0, 6, 9, "idle"));
    EXPECT_EQ(ctl_status(&a, &b, &c, text), 1);
    EXPECT_EQ(a, -1);
    EXPECT_EQ(b, -1);
    EXPECT_EQ(c, 9);
    EXPECT_STREQ(text, "idle");

    answer_with(record(8, 4, 1, 5, 6, 7, "refused"));
    a = b = c = 3;
    EXPECT_EQ(ctl_status(&a, &b, &c, text), 0);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(c, 0);

    answer_with(record(9, 100, 1, 5, 6, 7, ""));
    a = b = c = 3;
    EXPECT_EQ(ctl_status(&a, &b, &c, text), -1); // not the answer to 8
    EXPECT_EQ(a, 3);

    // The daemon hangs up instead of answering: -1 and the connection is closed.
    answer_with(record(8, 100, 1, 5, 6, 7, ""), Answer::Close);
    EXPECT_EQ(ctl_status(&a, &b, &c, text), -1);
    const int sent = peer().record_count();
    EXPECT_EQ(ctl_status(&a, &b, &c, text), -1);
    EXPECT_EQ(ctl_get_value(), -1);
    EXPECT_EQ(peer().record_count(), sent);
}

TEST_F(ControlClient, ExchangeSwapsValuesOnlyOnSuccess) {
    ASSERT_EQ(ctl_init(0), 1);
    int p = 3, q = 4;
    answer_with(record(48, 100, 0, 30, 40, 0, ""));
    EXPECT_EQ(ctl_exchange(&p, &q), 1);
    EXPECT_EQ(peer().last().command, 48);
    EXPECT_EQ(peer().last().param2, 3);
    EXPECT_EQ(peer().last().param3, 4);
    EXPECT_EQ(p, 30);
    EXPECT_EQ(q, 40);

    answer_with(record(48, 5, 0, 31, 41, 0, ""));
    EXPECT_EQ(ctl_exchange(&p, &q), 0);
    EXPECT_EQ(p, 0);
    EXPECT_EQ(q, 0);

    p = 1, q = 2;
    answer_with(record(47, 100, 0, 31, 41, 0, ""));
    EXPECT_EQ(ctl_exchange(&p, &q), 0); // an answer to something else changes nothing
    EXPECT_EQ(p, 1);
    EXPECT_EQ(q, 2);
    EXPECT_EQ(ctl_exchange(nullptr, &q), 0);

    answer_with(record(48, 100, 0, 31, 41, 0, ""), Answer::Close);
    EXPECT_EQ(ctl_exchange(&p, &q), 0);
    EXPECT_EQ(p, 1);
    EXPECT_EQ(ctl_exchange(&p, &q), -1); // the connection was closed
}

// ---- Event channel ----

TEST_F(ControlClient, EventChannelDeliversStatusRecords) {
    ASSERT_EQ(ctl_init(1), 1);
    const size_t ev = 1; // second connection
    int a = 0, b = 0, c = 0;
    char text[CTL_TEXT_BYTES] = "";

    ASSERT_TRUE(peer().push(ev, record(8, 100, 1, 5, 6, 7, "")));
    EXPECT_EQ(ctl_event_read(&a, &b, &c, text), 1);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, 6);
    EXPECT_EQ(c, 7);
    ASSERT_TRUE(peer().push(ev, record(8, 100, 2, 0, 6, 8, "stopped")));
    EXPECT_EQ(ctl_event_read(&a, &b, &c, text), 0);
    EXPECT_EQ(a, -1);
    EXPECT_EQ(b, -1);
    EXPECT_EQ(c, 8);
    EXPECT_STREQ(text, "stopped");
    ASSERT_TRUE(peer().push(ev, record(9, 100, 1, 5, 6, 7, "")));
    EXPECT_EQ(ctl_event_read(&a, &b, &c, text), -1);
    ASSERT_TRUE(peer().push(ev, record(8, 3, 1, 5, 6, 7, "")));
    EXPECT_EQ(ctl_event_read(&a, &b, &c, text), -1);

    EXPECT_EQ(ctl_events_on(), 1);
    EXPECT_EQ(peer().last().command, CTL_CMD_EVENTS);
    EXPECT_EQ(peer().last().param1, 1);
    EXPECT_EQ(peer().connections()[ev].size(), 3u);

    // The daemon hangs up: the read says so and the channel is closed.
    peer().close_conn(ev);
    EXPECT_EQ(ctl_event_read(&a, &b, &c, text), -1);
    EXPECT_EQ(ctl_event_fd_get(), -1);
    EXPECT_EQ(ctl_events_on(), 0);
    EXPECT_EQ(ctl_event_read(&a, &b, &c, text), -1);
}

TEST_F(ControlClient, EventsOffDropsEventsAlreadyOnTheirWay) {
    ASSERT_EQ(ctl_init(1), 1);
    const size_t ev = 1;
    // On "off" the daemon answers, and two events it sent before it saw the request
    // follow the answer.
    peer().set_script([&](int conn, const tCtlRecord& req, tCtlRecord& reply) {
        if (req.command != CTL_CMD_EVENTS || req.param1 != 0) return Answer::Reply;
        const auto c = static_cast<size_t>(conn);
        peer().push(c, reply);
        peer().push(c, record(8, 100, 1, 1, 0, 1, ""));
        peer().push(c, record(8, 100, 1, 1, 0, 2, ""));
        return Answer::Silent;
    });
    EXPECT_EQ(ctl_events_off(), 1);
    EXPECT_EQ(peer().last().command, CTL_CMD_EVENTS);
    EXPECT_EQ(peer().last().param1, 0);
    ASSERT_TRUE(peer().push(ev, record(8, 100, 1, 1, 0, 3, "")));
    int a = 0, b = 0, c = 0;
    EXPECT_EQ(ctl_event_read(&a, &b, &c, nullptr), 1);
    EXPECT_EQ(c, 3);
}

TEST_F(ControlClient, EventsOffEndsWhenTheDaemonHangsUp) {
    ASSERT_EQ(ctl_init(1), 1);
    peer().set_script([](int, const tCtlRecord& req, tCtlRecord&) {
        return req.command == CTL_CMD_EVENTS && req.param1 == 0 ? Answer::ReplyThenClose
                                                                : Answer::Reply;
    });
    EXPECT_EQ(ctl_events_off(), 1);
    EXPECT_EQ(ctl_event_fd_get(), -1);
}

// ---- Link channel ----

TEST_F(ControlClient, LinkChannelOpensOnceSendsTextAndReadsPushedRecords) {
    answer_with(record(0, 100, 0, 77, 0, 0, ""));
    EXPECT_EQ(ctl_link_open(3, 4, "name"), 77);
    EXPECT_GE(ctl_link_fd_get(), 0);
    auto conns = peer().connections_of(getpid());
    ASSERT_EQ(conns.size(), 1u);
    ASSERT_EQ(conns[0].size(), 2u);
    EXPECT_EQ(conns[0][0].command, CTL_CMD_REGISTER);
    EXPECT_EQ(conns[0][0].param1, getpid());
    EXPECT_EQ(conns[0][1].command, CTL_CMD_LINK_OPEN);
    EXPECT_EQ(conns[0][1].param2, 3);
    EXPECT_EQ(conns[0][1].param3, 4);
    EXPECT_STREQ(conns[0][1].text, "name");

    answer_with(record(0, 2, 0, 77, 0, 0, ""));
    EXPECT_EQ(ctl_link_open(5, 6, "again"), 0); // refused, on the same connection
    EXPECT_EQ(peer().connections().size(), 1u);
    EXPECT_EQ(ctl_link_open(5, 6, std::string(700, 'z').c_str()), 0);
    EXPECT_EQ(std::string(peer().last().text), std::string(511, 'z'));

    EXPECT_EQ(ctl_link_text("one"), 1);
    EXPECT_EQ(ctl_link_text2("two"), 1);
    ASSERT_TRUE(wait_until([&] { return peer().last().command == 57; }));
    conns = peer().connections();
    ASSERT_EQ(conns[0].size(), 6u);
    EXPECT_EQ(conns[0][4].command, 19);
    EXPECT_STREQ(conns[0][4].text, "one");
    EXPECT_STREQ(conns[0][5].text, "two");

    ASSERT_TRUE(peer().push(0, record(21, 0, 0, 8, 9, 0, "")));
    int x = 0, y = 0;
    EXPECT_EQ(ctl_link_read(&x, &y), 21);
    EXPECT_EQ(x, 8);
    EXPECT_EQ(y, 9);
    ASSERT_TRUE(peer().push(0, record(22, 0, 0, 8, 9, 0, "")));
    EXPECT_EQ(ctl_link_read(nullptr, nullptr), 22);

    peer().close_conn(0);
    EXPECT_EQ(ctl_link_read(&x, &y), -1);
    EXPECT_EQ(ctl_link_fd_get(), -1);
    EXPECT_EQ(ctl_link_text("x"), -1);
}

// ---- A daemon that misbehaves ----

TEST_F(ControlClient, ReplyArrivingInPiecesIsReadWhole) {
    ASSERT_EQ(ctl_init(0), 1);
    answer_with(record(0, 100, 0, 1234, 0, 0, ""), Answer::ReplyInPieces);
    EXPECT_EQ(ctl_get_value(), 1234);
    EXPECT_EQ(ctl_get_value(), 1234); // the stream stays in step
}

TEST_F(ControlClient, DaemonThatNeverAnswersIsGivenUp) {
    ASSERT_EQ(ctl_init(0), 1);
    answer_with(record(0, 100, 0, 0, 0, 0, ""), Answer::Silent);
    EXPECT_EQ(ctl_play_time(1), -1); // returns after the reply time-out
    EXPECT_TRUE(wait_until([&] { return peer().closed_by_client(0); }));
    const int sent = peer().record_count();
    EXPECT_EQ(ctl_play_time(2), -1);
    EXPECT_EQ(peer().record_count(), sent);
}

TEST_F(ControlClient, DaemonThatHungUpRaisesNoSigpipe) {
    ASSERT_EQ(ctl_init(0), 1);
    peer().close_all();
    // The default SIGPIPE action would end this test program here.
    EXPECT_EQ(ctl_play_time(1), -1);
    EXPECT_EQ(ctl_play_time(2), -1);
    EXPECT_EQ(ctl_notify(), -1);
}

TEST_F(OnControlPath, DaemonThatNeverAcceptsDoesNotHoldUpTheConnect) {
    // Backlog 0 and one waiting connection: the queue is full.
    ScriptedPeer peer(0, false);
    ASSERT_TRUE(peer.ok());
    int filler = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = control_address();
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(ctl_init(0), 0);
    EXPECT_EQ(ctl_play_time(0), -1);
    close(filler);
}

TEST(ControlNames, SanitizeReplacesEachReservedCharacterByOneSpace) {
    char name[] = "a:b/c?.mp3";
    EXPECT_EQ(ctl_sanitize_name(name), name);
    EXPECT_STREQ(name, "a b c .mp3");
    char all[] = "\"*/:<>?\\|";
    EXPECT_STREQ(ctl_sanitize_name(all), "         ");
    char plain[] = "Track 01 - (live) [x].mp3";
    EXPECT_STREQ(ctl_sanitize_name(plain), "Track 01 - (live) [x].mp3");
    EXPECT_EQ(ctl_sanitize_name(nullptr), nullptr);
}

// ---- The player's reports ----

std::vector<int> play_times(const std::vector<tCtlRecord>& recs) {
    std::vector<int> t;
    for (const auto& r : recs)
        if (r.command == CTL_CMD_PLAY_TIME) t.push_back(r.param4);
    return t;
}

class PlayerReports : public OnControlPath {
  protected:
    // 3.5 s of 44100 Hz stereo.
    std::string track() {
        const std::string path = dir.file("t.wav");
        samples = std::vector<int16_t>(2 * 44100 * 7 / 2);
        for (size_t i = 0; i < samples.size(); i++)
            samples[i] = static_cast<int16_t>(i * 13);
        write_file(path, make_wav(2, 44100, samples));
        return path;
    }
    ProcResult play(const std::vector<std::string>& args, pid_t* pid) {
        std::vector<std::string> argv = {vexa_bin("vexa")};
        argv.insert(argv.end(), args.begin(), args.end());
        unlink(dir.file("out.raw").c_str()); // the simulator appends
        EnvList env = ossim_env(dir.file("out.raw"), "");
        env.emplace_back("VEXA_DEBUG_LEVEL", "0");
        ProcHandle h = start_program(argv, env);
        *pid = h.pid;
        return wait_program(h, 120);
    }
    std::string played() {
        return file_exists(dir.file("out.raw")) ? read_file(dir.file("out.raw")) : "";
    }
    TempDir dir;
    std::vector<int16_t> samples;
};

TEST_F(PlayerReports, EachSecondIsReportedOnceInOrder) {
    ScriptedPeer peer;
    ASSERT_TRUE(peer.ok());
    const std::string file = track();
    pid_t pid = 0;
    ProcResult r = play({file}, &pid);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // Reports are not waited for: the last ones may reach the peer after the player ended.
    const auto times_of = [&](pid_t p, size_t n) {
        wait_until([&] { return play_times(peer.records_of(p)).size() >= n; }, 10);
        return play_times(peer.records_of(p));
    };
    auto recs = peer.records_of(pid);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs[0].param1, pid) << "the started process registers itself";
    EXPECT_EQ(times_of(pid, 4), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(played(), pcm_bytes(samples));

    // Started 2 s in, the first report is 2; 60 s into 61.5 s of 8000 Hz mono, 60.
    ProcResult r2 = play({file, "2"}, &pid);
    ASSERT_EQ(r2.exit_code, 0) << r2.err;
    EXPECT_EQ(times_of(pid, 2), (std::vector<int>{2, 3}));
    const std::string slow = dir.file("long.wav");
    write_file(slow, make_wav(1, 8000, std::vector<int16_t>(8000 * 123 / 2, -9)));
    ProcResult r3 = play({slow, "60"}, &pid);
    ASSERT_EQ(r3.exit_code, 0) << r3.err;
    EXPECT_EQ(times_of(pid, 2), (std::vector<int>{60, 61}));
}

TEST_F(PlayerReports, WithoutDaemonThePlayerPlaysTheSame) {
    const std::string file = track();
    pid_t pid = 0;
    ProcResult r = play({file}, &pid);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(played(), pcm_bytes(samples));

    // A socket file that nobody listens on.
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = control_address();
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    r = play({file}, &pid);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(played(), pcm_bytes(samples));
    close(stale);
    unlink(CTL_SOCKET_PATH);
}

TEST_F(PlayerReports, DaemonThatHangsUpOrStopsAnsweringDoesNotHoldUpThePlayer) {
    // Replies are never waited for: a daemon that stops answering still gets every report.
    // One that hangs up after the first report gets no more on that connection (the track
    // is over before the player may connect again).
    struct Case {
        Answer on_report;
        std::vector<int> reports;
    };
    for (const Case& c : {Case{Answer::ReplyThenClose, {0}}, Case{Answer::Silent, {0, 1, 2, 3}}}) {
        SCOPED_TRACE(c.on_report == Answer::Silent ? "silent" : "hangs up");
        ScriptedPeer peer;
        ASSERT_TRUE(peer.ok());
        peer.set_script([&c](int, const tCtlRecord& req, tCtlRecord&) {
            return req.command == CTL_CMD_PLAY_TIME ? c.on_report : Answer::Reply;
        });
        const std::string file = track();
        pid_t pid = 0;
        ProcResult r = play({file}, &pid);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.term_signal, 0);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(played(), pcm_bytes(samples));
        wait_until([&] { return play_times(peer.records_of(pid)).size() >= c.reports.size(); }, 10);
        EXPECT_EQ(play_times(peer.records_of(pid)), c.reports);
    }
}

// ---- The player against daemons that are slow, silent or hostile, in real time ----

class PlayerAgainstListener : public PlayerReports {
  protected:
    double speed() const {
        const char* s = std::getenv("VEXA_REALTIME_SPEED");
        const double x = s != nullptr ? std::atof(s) : 0;
        return x > 0 ? x : 2;
    }
    // Plays `seconds` of sound through the real-time simulator; the underruns it heard.
    long underruns_playing(double seconds, pid_t* pid, std::string* gaps) {
        const std::string file = dir.file("rt.wav");
        samples = std::vector<int16_t>(static_cast<size_t>(2 * 44100 * seconds), 1234);
        write_file(file, make_wav(2, 44100, samples));
        const std::string report = dir.file("report.jsonl");
        unlink(report.c_str());
        unlink(dir.file("out.raw").c_str());
        EnvList env = ossim_env(dir.file("out.raw"), report, true);
        env.emplace_back("OSSIM_SPEED", std::to_string(speed()));
        env.emplace_back("VEXA_DEBUG_LEVEL", "0");
        ProcHandle h = start_program({vexa_bin("vexa"), file}, env);
        *pid = h.pid;
        ProcResult r = wait_program(h, 300);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        long underruns = 0;
        for (const auto& rep : read_ossim_reports(report)) {
            underruns += rep.underruns;
            for (const OssimGap& g : rep.gaps)
                *gaps +=
                    " at " + std::to_string(g.at_ms) + " ms for " + std::to_string(g.ms) + " ms;";
        }
        EXPECT_EQ(played(), pcm_bytes(samples));
        return underruns;
    }
};

// Each listener on the control path as anyone could put it there; the sound must not
// notice any of them, from the register at start-up to the last report.
TEST_F(PlayerAgainstListener, RealTimeSlowSilentOrHostileListenersCostNothing) {
    enum Kind { SLOW, SILENT, NEVER_READS, NEVER_ACCEPTS };
    struct Case {
        const char* name;
        Kind kind;
    };
    const Case cases[] = {{"replies after 0.9 s", SLOW},
                          {"never replies", SILENT},
                          {"accepts, never reads", NEVER_READS},
                          {"never accepts, backlog full", NEVER_ACCEPTS}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ScriptedPeer> peer;
        int raw = -1;          // a listener that does nothing with what comes in
        std::vector<int> held; // connections that fill its backlog
        if (c.kind == SLOW || c.kind == SILENT) {
            peer = std::make_unique<ScriptedPeer>();
            ASSERT_TRUE(peer->ok());
            const bool slow = c.kind == SLOW;
            peer->set_script([slow](int, const tCtlRecord&, tCtlRecord&) {
                if (!slow) return Answer::Silent;
                std::this_thread::sleep_for(std::chrono::milliseconds(900));
                return Answer::Reply;
            });
        } else {
            raw = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr = control_address();
            ASSERT_EQ(bind(raw, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            ASSERT_EQ(listen(raw, c.kind == NEVER_ACCEPTS ? 0 : 16), 0);
            if (c.kind == NEVER_ACCEPTS)
                for (int i = 0; i < 4; i++) {
                    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
                    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
                        close(fd);
                        break;
                    }
                    held.push_back(fd);
                }
        }
        pid_t pid = 0;
        std::string gaps;
        EXPECT_EQ(underruns_playing(8, &pid, &gaps), 0) << gaps;
        if (c.kind == SILENT) {
            wait_until([&] { return play_times(peer->records_of(pid)).size() >= 9; }, 10);
            EXPECT_EQ(play_times(peer->records_of(pid)),
                      (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
        }
        peer.reset();
        for (int fd : held)
            close(fd);
        if (raw >= 0) {
            close(raw);
            unlink(CTL_SOCKET_PATH);
        }
    }
}

// A daemon that goes away and comes back: the player connects again (at most every 2 s),
// registers itself anew and goes on reporting.
TEST_F(PlayerAgainstListener, RealTimeReportsGoOnAfterTheDaemonRestarts) {
    auto peer = std::make_unique<ScriptedPeer>();
    ASSERT_TRUE(peer->ok());
    pid_t pid = 0;
    std::string gaps;
    std::thread restart([&] {
        // Once a few seconds are reported, the daemon restarts.
        wait_until([&] { return play_times(peer->records_of(pid)).size() >= 2; }, 60);
        peer.reset();
        peer = std::make_unique<ScriptedPeer>();
    });
    const long underruns = underruns_playing(12, &pid, &gaps);
    restart.join();
    EXPECT_EQ(underruns, 0) << gaps;
    // The new daemon hears from the player: a register of its own pid, then play times.
    // (The player is not a child of this process: all connections are looked at.)
    wait_until(
        [&] {
            const auto all = peer->connections();
            return !all.empty() && !play_times(all[0]).empty();
        },
        10);
    const auto conns = peer->connections();
    ASSERT_EQ(conns.size(), 1u);
    ASSERT_FALSE(conns[0].empty());
    EXPECT_EQ(conns[0][0].command, CTL_CMD_REGISTER);
    EXPECT_NE(conns[0][0].param1, pid) << "the player registers itself, not the reader";
    const std::vector<int> later = play_times(conns[0]);
    ASSERT_FALSE(later.empty());
    EXPECT_EQ(later.back(), 12); // the end of the track
}

} // namespace
