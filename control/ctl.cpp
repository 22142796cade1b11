// Client side of the control daemon's protocol: three connections, one call per command.
//
// Every exchange moves whole 536-byte records: a send or receive that moves only part of
// a record is continued until the record is complete or the peer has gone. Sends never
// raise SIGPIPE. Waiting for the daemon to take a request or to answer it is bounded by
// CTL_REPLY_TIMEOUT_MS; the connect is bounded by the same time. When an exchange fails
// in any way the connection is closed and set to -1, so that a daemon that went away or
// stopped answering costs one wait, never one per call, and a late reply can never be
// taken for the answer to a later request. After that, calls on that connection give
// their "not open" result.
#include "rivover.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <span>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int ctl_fd = -1;
int ctl_event_fd = -1;
int ctl_link_fd = -1;

constexpr size_t RECORD_BYTES = sizeof(tCtlRecord);
constexpr int64_t NO_DEADLINE = -1;

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t reply_deadline() {
    return now_ms() + CTL_REPLY_TIMEOUT_MS;
}

// Waits until fd is ready for `events` or the deadline (monotonic ms, NO_DEADLINE for
// none) has passed. True when ready (an error or hang-up on the socket counts as ready:
// the next send or receive reports it).
bool wait_ready(int fd, short events, int64_t deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != NO_DEADLINE) {
            const int64_t left = deadline - now_ms();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, timeout);
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
}

bool send_record(int fd, const tCtlRecord& rec, int64_t deadline) {
    const auto* p = reinterpret_cast<const char*>(&rec);
    size_t done = 0;
    while (done < RECORD_BYTES) {
        if (!wait_ready(fd, POLLOUT, deadline)) return false;
        const ssize_t n = send(fd, p + done, RECORD_BYTES - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Receives one whole record into rec; rec is left untouched unless the whole record
// arrived. Returns the record size, 0 when the peer closed the connection, -1 on an
// error or when the deadline passed.
ssize_t recv_record(int fd, tCtlRecord& rec, int64_t deadline) {
    tCtlRecord in{};
    auto* p = reinterpret_cast<char*>(&in);
    size_t done = 0;
    while (done < RECORD_BYTES) {
        if (!wait_ready(fd, POLLIN, deadline)) return -1;
        const ssize_t n = recv(fd, p + done, RECORD_BYTES - done, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n == 0) return 0;
        if (n < 0) return -1;
        done += static_cast<size_t>(n);
    }
    rec = in;
    return static_cast<ssize_t>(RECORD_BYTES);
}

void drop(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// One request and its reply on connection fd; the reply replaces rec. False (and the
// connection closed) when either step failed; rec then still holds the request.
bool exchange(int& fd, tCtlRecord& rec) {
    const int64_t deadline = reply_deadline();
    if (send_record(fd, rec, deadline) && recv_record(fd, rec, deadline) > 0) return true;
    drop(fd);
    return false;
}

// A request that gets no reply.
bool post(int& fd, const tCtlRecord& rec) {
    if (send_record(fd, rec, reply_deadline())) return true;
    drop(fd);
    return false;
}

// A request record: every field defined, status never 100.
tCtlRecord request(int32_t command) {
    tCtlRecord rec{};
    rec.command = command;
    return rec;
}

// Text into a record, cut to fit with its terminator.
void put_text(tCtlRecord& rec, const char* s) {
    if (s == nullptr) return;
    const size_t n = strnlen(s, CTL_TEXT_BYTES - 1);
    std::memcpy(rec.text, s, n);
    rec.text[n] = '\0';
}

// A record's text into a caller's 512-byte buffer, terminated even when the daemon sent
// 512 bytes without a terminator.
void get_text(char* dst, const tCtlRecord& rec) {
    const size_t n = strnlen(rec.text, CTL_TEXT_BYTES - 1);
    std::memcpy(dst, rec.text, n);
    dst[n] = '\0';
}

bool ok(const tCtlRecord& rec) {
    return rec.status == CTL_STATUS_OK;
}

bool one_of(int code, std::span<const int32_t> codes) {
    for (int32_t c : codes)
        if (c == code) return true;
    return false;
}

// Steps 4 and 5 of a status answer (request or pushed event).
int unpack_status(const tCtlRecord& rec, int* out1, int* out2, int* out3, char* text) {
    if (rec.param2 > 0) {
        if (out1 != nullptr) *out1 = rec.param2;
        if (out2 != nullptr) *out2 = rec.param3;
        if (out3 != nullptr) *out3 = rec.param4;
    } else {
        if (out1 != nullptr) *out1 = -1;
        if (out2 != nullptr) *out2 = -1;
        if (out3 != nullptr) *out3 = rec.param4;
        if (text != nullptr) get_text(text, rec);
    }
    return rec.param1 == 2 ? 0 : 1;
}

// Text queries' buffers, one per code.
std::array<std::array<char, CTL_TEXT_BYTES>, CTL_TEXT_COMMANDS.size()> text_replies{};

int text_slot(int code) {
    for (size_t i = 0; i < CTL_TEXT_COMMANDS.size(); i++)
        if (CTL_TEXT_COMMANDS[i] == code) return static_cast<int>(i);
    return -1;
}

} // namespace

bool ctl_expects_reply(int32_t command) {
    return !one_of(command, CTL_NO_REPLY_COMMANDS);
}

int ctl_connect() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A daemon whose backlog is full would keep connect() waiting; the send time-out
    // bounds that wait on local sockets.
    timeval tv{CTL_REPLY_TIMEOUT_MS / 1000, (CTL_REPLY_TIMEOUT_MS % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, CTL_SOCKET_PATH, sizeof addr.sun_path - 1);
    int r;
    do {
        r = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Connects fd (when not open) and registers this process on it.
static bool open_registered(int& fd) {
    if (fd >= 0) return true;
    fd = ctl_connect();
    if (fd < 0) return false;
    tCtlRecord rec = request(CTL_CMD_REGISTER);
    rec.param1 = static_cast<int32_t>(getpid());
    return exchange(fd, rec);
}

int ctl_init(int flags) {
    if (ctl_fd >= 0) return 1;
    if (!open_registered(ctl_fd)) return 0;
    if ((flags & 1) != 0 && ctl_event_fd < 0) {
        ctl_event_fd = ctl_connect();
        if (ctl_event_fd < 0) return 0;
        tCtlRecord rec = request(CTL_CMD_EVENTS);
        rec.param1 = 1;
        if (!exchange(ctl_event_fd, rec)) return 0;
        rec = request(CTL_CMD_REGISTER);
        rec.param1 = static_cast<int32_t>(getpid());
        if (!exchange(ctl_event_fd, rec)) return 0;
    }
    return 1;
}

int ctl_close() {
    drop(ctl_fd);
    return 1;
}

int ctl_event_fd_get() {
    return ctl_event_fd;
}
int ctl_link_fd_get() {
    return ctl_link_fd;
}

int ctl_wait() {
    if (ctl_fd < 0) return -1;
    wait_ready(ctl_fd, POLLIN, NO_DEADLINE);
    return 1;
}

// ---- Event channel ----

int ctl_events_on() {
    if (ctl_event_fd < 0) return 0;
    tCtlRecord rec = request(CTL_CMD_EVENTS);
    rec.param1 = 1;
    return exchange(ctl_event_fd, rec) ? 1 : 0;
}

int ctl_events_off() {
    if (ctl_event_fd < 0) return 0;
    tCtlRecord rec = request(CTL_CMD_EVENTS);
    rec.param1 = 0;
    if (!exchange(ctl_event_fd, rec)) return 0;
    // Events sent before the daemon saw the request are still on their way: drop them
    // until the channel stays quiet for the drain time. A channel that closes ends it.
    while (wait_ready(ctl_event_fd, POLLIN, now_ms() + CTL_EVENT_DRAIN_US / 1000)) {
        if (recv_record(ctl_event_fd, rec, reply_deadline()) <= 0) {
            drop(ctl_event_fd);
            break;
        }
    }
    return 1;
}

int ctl_event_read(int* out1, int* out2, int* out3, char* text) {
    if (ctl_event_fd < 0) return -1;
    tCtlRecord rec = request(0);
    if (recv_record(ctl_event_fd, rec, NO_DEADLINE) <= 0) {
        drop(ctl_event_fd);
        return -1;
    }
    if (rec.command != CTL_CMD_STATUS || !ok(rec)) return -1;
    return unpack_status(rec, out1, out2, out3, text);
}

// ---- Link channel ----

int ctl_link_open(int a, int b, const char* text) {
    if (!open_registered(ctl_link_fd)) return -1;
    tCtlRecord rec = request(CTL_CMD_LINK_OPEN);
    rec.param2 = a;
    rec.param3 = b;
    put_text(rec, text);
    if (!exchange(ctl_link_fd, rec)) return -1;
    return ok(rec) ? rec.param2 : 0;
}

static int link_text(int32_t command, const char* text) {
    if (ctl_link_fd < 0) return -1;
    tCtlRecord rec = request(command);
    put_text(rec, text);
    return post(ctl_link_fd, rec) ? 1 : -1;
}

int ctl_link_text(const char* text) {
    return link_text(CTL_CMD_LINK_TEXT, text);
}
int ctl_link_text2(const char* text) {
    return link_text(CTL_CMD_LINK_TEXT2, text);
}

int ctl_link_read(int* out1, int* out2) {
    if (ctl_link_fd < 0) return -1;
    tCtlRecord rec = request(0);
    if (recv_record(ctl_link_fd, rec, NO_DEADLINE) <= 0) {
        drop(ctl_link_fd);
        return -1;
    }
    if (out1 != nullptr) *out1 = rec.param2;
    if (out2 != nullptr) *out2 = rec.param3;
    return rec.command;
}

// ---- Requests ----

int ctl_get_value() {
    if (ctl_fd < 0) return -1;
    tCtlRecord rec = request(CTL_CMD_GET_VALUE);
    if (!exchange(ctl_fd, rec)) return -1;
    return ok(rec) ? rec.param2 : -1;
}

int ctl_get_value_of(int a) {
    if (ctl_fd < 0) return -1;
    tCtlRecord rec = request(CTL_CMD_GET_VALUE_OF);
    rec.param2 = a;
    if (!exchange(ctl_fd, rec)) return -1;
    return rec.param3;
}

const char* ctl_get_text(int code, int a, int b) {
    const int slot = text_slot(code);
    if (slot < 0) return nullptr;
    char* buf = text_replies[static_cast<size_t>(slot)].data();
    const char* none = nullptr;
    if (code == CTL_CMD_GET_TEXT_5) {
        buf[0] = '\0';
        none = buf;
    }
    if (ctl_fd < 0) return none;
    tCtlRecord rec = request(code);
    if (code != CTL_CMD_GET_TEXT_35) rec.param2 = a;
    if (code != CTL_CMD_GET_TEXT_3 && code != CTL_CMD_GET_TEXT_35) rec.param3 = b;
    if (!exchange(ctl_fd, rec) || !ok(rec)) return none;
    get_text(buf, rec);
    return buf;
}

int ctl_status(int* out1, int* out2, int* out3, char* text) {
    if (ctl_fd < 0) return -1;
    tCtlRecord rec = request(CTL_CMD_STATUS);
    if (!exchange(ctl_fd, rec)) return -1;
    if (rec.command != CTL_CMD_STATUS) return -1;
    if (!ok(rec)) {
        if (out1 != nullptr) *out1 = 0;
        if (out2 != nullptr) *out2 = 0;
        if (out3 != nullptr) *out3 = 0;
        return 0;
    }
    return unpack_status(rec, out1, out2, out3, text);
}

// A request answered with success or failure only; -1 when the connection is not open
// or was lost in the exchange.
static int confirmed(tCtlRecord& rec) {
    if (ctl_fd < 0) return -1;
    if (!exchange(ctl_fd, rec)) return -1;
    return ok(rec) ? 1 : 0;
}

int ctl_send3(int a, int b, int c) {
    tCtlRecord rec = request(CTL_CMD_SEND3);
    rec.param2 = a;
    rec.param3 = b;
    rec.param4 = c;
    return confirmed(rec);
}

int ctl_request(int code) {
    if (!one_of(code, CTL_PLAIN_REQUESTS)) return -1;
    tCtlRecord rec = request(code);
    return confirmed(rec);
}

int ctl_send_text(int a, const char* text) {
    tCtlRecord rec = request(CTL_CMD_SEND_TEXT);
    rec.param4 = a;
    put_text(rec, text);
    return confirmed(rec);
}

int ctl_get_value2(int a, int b) {
    if (ctl_fd < 0) return 0;
    tCtlRecord rec = request(CTL_CMD_GET_VALUE2);
    rec.param2 = a;
    rec.param3 = b;
    if (!exchange(ctl_fd, rec)) return 0;
    return ok(rec) ? rec.param4 : 0;
}

int ctl_play_time(int seconds) {
    tCtlRecord rec = request(CTL_CMD_PLAY_TIME);
    rec.param4 = seconds;
    return confirmed(rec);
}

int ctl_command(int code, int a) {
    tCtlRecord rec = request(code);
    if (one_of(code, CTL_ARGUMENT_COMMANDS))
        rec.param2 = a;
    else if (one_of(code, CTL_ZERO_COMMANDS))
        rec.param2 = 0;
    else
        return -1;
    return confirmed(rec);
}

int ctl_get_result(int code) {
    if (!one_of(code, CTL_RESULT_COMMANDS)) return -1;
    if (ctl_fd < 0) return -1;
    tCtlRecord rec = request(code);
    if (!exchange(ctl_fd, rec)) return -1;
    return ok(rec) ? rec.param1 : 0;
}

int ctl_notify_value(int a) {
    if (ctl_fd < 0) return -1;
    tCtlRecord rec = request(CTL_CMD_NOTIFY_VALUE);
    rec.param3 = a;
    return post(ctl_fd, rec) ? 1 : -1;
}

int ctl_notify() {
    if (ctl_fd < 0) return -1;
    return post(ctl_fd, request(CTL_CMD_NOTIFY)) ? 1 : -1;
}

int ctl_exchange(int* p, int* q) {
    if (ctl_fd < 0) return -1;
    if (p == nullptr || q == nullptr) return 0;
    tCtlRecord rec = request(CTL_CMD_EXCHANGE);
    rec.param2 = *p;
    rec.param3 = *q;
    if (!exchange(ctl_fd, rec)) return 0;
    if (rec.command != CTL_CMD_EXCHANGE) return 0;
    if (!ok(rec)) {
        *p = 0;
        *q = 0;
        return 0;
    }
    *p = rec.param2;
    *q = rec.param3;
    return 1;
}

int ctl_send2(int a, int b) {
    tCtlRecord rec = request(CTL_CMD_SEND2);
    rec.param2 = a;
    rec.param3 = b;
    return confirmed(rec);
}

char* ctl_sanitize_name(char* s) {
    if (s == nullptr) return s;
    for (char* c = s; *c != '\0'; c++)
        if (std::strchr("\"*/:<>?\\|", *c) != nullptr) *c = ' ';
    return s;
}
