#include "records.h"

#include <cstring>
#include <unistd.h>

std::array<tClient, MAX_CLIENTS> clients;
std::FILE* record_log = stdout;
std::FILE* message_log = stderr;

namespace {

int last_reporter = -1; // slot of the client that reported a play time last
uint64_t activity = 0;  // counts connections and whole records, to order clients by

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

// Queues a record for the client; false when its queue is full.
bool enqueue(tClient& c, const tCtlRecord& rec) {
    if (c.out_count == OUT_QUEUE_RECORDS) return false;
    c.out[(c.out_first + c.out_count) % OUT_QUEUE_RECORDS] = rec;
    c.out_count++;
    return true;
}

// Queues the current status for every client that asked for events.
void push_events() {
    const tCtlRecord rec = status_record();
    for (int i = 0; i < MAX_CLIENTS; i++) {
        tClient& c = clients[static_cast<size_t>(i)];
        if (c.used != 0 && c.events != 0 && !enqueue(c, rec))
            client_drop(i, "does not read its events");
    }
}

// Acts on the whole record the client in `slot` has sent.
void handle_record(int slot) {
    tClient& c = clients[static_cast<size_t>(slot)];
    const tCtlRecord req = c.in;
    if (req.command == CTL_CMD_REGISTER && req.param1 > 0) c.pid = req.param1;
    log_record(record_log, c.pid, req);

    tCtlRecord reply = req;
    reply.status = CTL_STATUS_OK;
    bool push = false;
    switch (req.command) {
    case CTL_CMD_REGISTER:
        break;
    case CTL_CMD_PLAY_TIME:
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
    if (ctl_expects_reply(req.command) && !enqueue(c, reply)) {
        client_drop(slot, "does not read its replies");
        return;
    }
    if (push) push_events();
}

} // namespace

void log_record(std::FILE* out, int32_t pid, const tCtlRecord& rec) {
    std::fprintf(out, "pid=%d cmd=%d p1=%d p2=%d p3=%d p4=%d text=\"", pid, rec.command, rec.param1,
                 rec.param2, rec.param3, rec.param4);
    const size_t n = strnlen(rec.text, sizeof rec.text);
    for (size_t i = 0; i < n; i++) {
        const auto c = static_cast<unsigned char>(rec.text[i]);
        if (c == '"' || c == '\\')
            std::fprintf(out, "\\%c", c);
        else if (c < 0x20 || c > 0x7e)
            std::fprintf(out, "\\x%02x", c);
        else
            std::fputc(c, out);
    }
    std::fputs("\"\n", out);
    std::fflush(out);
}

void clients_reset() {
    for (tClient& c : clients)
        c.used = 0;
    last_reporter = -1;
}

int live_connections() {
    int n = 0;
    for (const tClient& c : clients)
        if (c.used != 0) n++;
    return n;
}

void client_drop(int slot, const char* why) {
    tClient& c = clients[static_cast<size_t>(slot)];
    if (c.used == 0) return;
    if (why != nullptr)
        std::fprintf(message_log, "rivoverd: client pid=%d dropped: %s\n", c.pid, why);
    if (c.fd >= 0) close(c.fd);
    c.used = 0;
    if (last_reporter == slot) last_reporter = -1;
}

int client_add(int fd, int32_t pid, int64_t now_ms) {
    int slot = -1, oldest = -1;
    for (int i = 0; i < MAX_CLIENTS && slot < 0; i++) {
        const tClient& c = clients[static_cast<size_t>(i)];
        if (c.used == 0)
            slot = i;
        else if (oldest < 0 || c.last_activity < clients[static_cast<size_t>(oldest)].last_activity)
            oldest = i;
    }
    if (slot < 0) {
        client_drop(oldest, "every slot is taken and it has been idle longest");
        slot = oldest;
    }
    tClient& c = clients[static_cast<size_t>(slot)];
    c.used = 1;
    c.fd = fd;
    c.pid = pid;
    c.events = 0;
    c.play_time = 0;
    c.record_since = now_ms;
    c.last_activity = ++activity;
    c.have = 0;
    c.out_first = c.out_count = c.out_sent = 0;
    return slot;
}

void client_input(int slot, const char* data, size_t n, int64_t now_ms) {
    tClient* c = &clients[static_cast<size_t>(slot)];
    auto* in = reinterpret_cast<char*>(&c->in);
    while (n > 0 && c->used != 0) {
        if (c->have == 0 && c->record_since < 0) c->record_since = now_ms;
        const size_t take = n < RECORD_BYTES - c->have ? n : RECORD_BYTES - c->have;
        std::memcpy(in + c->have, data, take);
        c->have += static_cast<uint32_t>(take);
        data += take;
        n -= take;
        if (c->have < RECORD_BYTES) break;
        c->have = 0;
        c->record_since = -1;
        c->last_activity = ++activity;
        handle_record(slot);
    }
}

size_t client_output(int slot, const char** data) {
    const tClient& c = clients[static_cast<size_t>(slot)];
    if (c.used == 0 || c.out_count == 0) return 0;
    *data = reinterpret_cast<const char*>(&c.out[c.out_first]) + c.out_sent;
    return RECORD_BYTES - c.out_sent;
}

void client_output_done(int slot, size_t n) {
    tClient& c = clients[static_cast<size_t>(slot)];
    while (n > 0 && c.out_count > 0) {
        const size_t part = n < RECORD_BYTES - c.out_sent ? n : RECORD_BYTES - c.out_sent;
        c.out_sent += static_cast<uint32_t>(part);
        n -= part;
        if (c.out_sent == RECORD_BYTES) {
            c.out_sent = 0;
            c.out_first = (c.out_first + 1) % OUT_QUEUE_RECORDS;
            c.out_count--;
        }
    }
}

int64_t clients_expire(int64_t now_ms) {
    int64_t next = -1;
    for (int i = 0; i < MAX_CLIENTS; i++) {
        const tClient& c = clients[static_cast<size_t>(i)];
        if (c.used == 0 || c.record_since < 0) continue;
        const int64_t left = c.record_since + RECORD_TIMEOUT_MS - now_ms;
        if (left <= 0)
            client_drop(i, "no whole record in time");
        else if (next < 0 || left < next)
            next = left;
    }
    return next;
}
