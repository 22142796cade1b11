#include "records.h"

#include <array>
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

// Logs the record unless the client has used up its lines for now.
void log_limited(tClient& c, const tCtlRecord& rec, int64_t now_ms) {
    const int64_t earned = (now_ms - c.log_refill_ms) * LOG_LINES_PER_SECOND / 1000;
    if (earned > 0) {
        c.log_refill_ms += earned * 1000 / LOG_LINES_PER_SECOND;
        c.log_lines = static_cast<int32_t>(
            c.log_lines + earned < LOG_BURST_LINES ? c.log_lines + earned : LOG_BURST_LINES);
    }
    if (c.log_lines == 0) {
        c.log_suppressed++;
        return;
    }
    c.log_lines--;
    log_record(record_log, c.pid, rec, c.log_suppressed);
    c.log_suppressed = 0;
}

// A client may register itself, or the process that started it (a player forked from
// the reader that connected first).
bool own_register(const tClient& c, const tCtlRecord& req) {
    return req.param1 == c.pid || (c.parent > 0 && req.param1 == c.parent);
}

// Acts on the whole record the client in `slot` has sent.
void handle_record(int slot, int64_t now_ms) {
    tClient& c = clients[static_cast<size_t>(slot)];
    const tCtlRecord req = c.in;
    log_limited(c, req, now_ms);

    tCtlRecord reply = req;
    reply.status = CTL_STATUS_OK;
    bool push = false;
    switch (req.command) {
    case CTL_CMD_REGISTER:
        if (!own_register(c, req)) {
            reply.status = STATUS_REFUSED;
            if (!c.refused_logged)
                std::fprintf(message_log,
                             "rivoverd: client pid=%d uid=%u: register as pid %d refused\n", c.pid,
                             c.uid, req.param1);
            c.refused_logged = 1;
        }
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

void log_record(std::FILE* out, int32_t pid, const tCtlRecord& rec, int32_t suppressed) {
    // The text as written: escapes included, cut to its limit.
    std::array<char, LOG_TEXT_CHARS + 8> shown{};
    size_t used = 0;
    bool cut = false;
    const size_t n = strnlen(rec.text, sizeof rec.text);
    for (size_t i = 0; i < n && !cut; i++) {
        const auto c = static_cast<unsigned char>(rec.text[i]);
        char piece[8];
        int len;
        if (c == '"' || c == '\\')
            len = std::snprintf(piece, sizeof piece, "\\%c", c);
        else if (c < 0x20 || c > 0x7e)
            len = std::snprintf(piece, sizeof piece, "\\x%02x", c);
        else
            len = std::snprintf(piece, sizeof piece, "%c", c);
        if (used + static_cast<size_t>(len) > LOG_TEXT_CHARS) {
            cut = true;
            break;
        }
        std::memcpy(shown.data() + used, piece, static_cast<size_t>(len));
        used += static_cast<size_t>(len);
    }
    std::fprintf(out, "pid=%d cmd=%d p1=%d p2=%d p3=%d p4=%d text=\"%.*s%s\"", pid, rec.command,
                 rec.param1, rec.param2, rec.param3, rec.param4, static_cast<int>(used),
                 shown.data(), cut ? "..." : "");
    if (suppressed > 0) std::fprintf(out, " (%d lines of this client left out before)", suppressed);
    std::fputs("\n", out);
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
    if (c.log_suppressed > 0)
        std::fprintf(message_log, "rivoverd: client pid=%d: %d more lines left out\n", c.pid,
                     c.log_suppressed);
    if (c.fd >= 0) close(c.fd);
    c.used = 0;
    if (last_reporter == slot) last_reporter = -1;
}

namespace {

// The connections of one user: how many, and the one idle longest.
struct tUserSlots {
    uint32_t uid;
    int32_t count;
    int32_t oldest; // slot
};

bool idle_longer(int a, int b) {
    return clients[static_cast<size_t>(a)].last_activity <
           clients[static_cast<size_t>(b)].last_activity;
}

// The slot a new connection of `uid` may take from someone, or -1 when none may be taken.
// A user at its limit gives up its own idle-longest slot; in a full table the user with
// the most slots gives up its idle-longest one, unless that is another user's only one.
int slot_to_take(uint32_t uid, const char** why) {
    std::array<tUserSlots, MAX_CLIENTS> users{};
    int user_count = 0, used = 0;
    for (int i = 0; i < MAX_CLIENTS; i++) {
        const tClient& c = clients[static_cast<size_t>(i)];
        if (c.used == 0) continue;
        used++;
        int k = 0;
        while (k < user_count && users[static_cast<size_t>(k)].uid != c.uid)
            k++;
        tUserSlots& u = users[static_cast<size_t>(k)];
        if (k == user_count) {
            u = tUserSlots{c.uid, 0, i};
            user_count++;
        }
        u.count++;
        if (idle_longer(i, u.oldest)) u.oldest = i;
    }
    const tUserSlots* own = nullptr;
    const tUserSlots* most = nullptr;
    for (int k = 0; k < user_count; k++) {
        const tUserSlots& u = users[static_cast<size_t>(k)];
        if (u.uid == uid) own = &u;
        if (most == nullptr || u.count > most->count ||
            (u.count == most->count && idle_longer(u.oldest, most->oldest)))
            most = &u;
    }
    if (uid != 0 && own != nullptr && own->count >= MAX_CLIENTS_PER_UID) {
        *why = "its user connected again holding every slot it may hold";
        return own->oldest;
    }
    if (used < MAX_CLIENTS || most == nullptr) return -1;
    if (most->uid != uid && most->count <= 1) return -1;
    *why = "every slot is taken and its user holds the most";
    return most->oldest;
}

int free_slot() {
    for (int i = 0; i < MAX_CLIENTS; i++)
        if (clients[static_cast<size_t>(i)].used == 0) return i;
    return -1;
}

} // namespace

int client_add(int fd, const tPeer& peer, int64_t now_ms) {
    const char* why = nullptr;
    const int taken = slot_to_take(peer.uid, &why);
    if (taken >= 0) client_drop(taken, why);
    const int slot = free_slot();
    if (slot < 0) {
        std::fprintf(message_log, "rivoverd: connection of pid=%d uid=%u refused: no slot free\n",
                     peer.pid, peer.uid);
        if (fd >= 0) close(fd);
        return -1;
    }
    tClient& c = clients[static_cast<size_t>(slot)];
    c.used = 1;
    c.fd = fd;
    c.pid = peer.pid;
    c.parent = peer.parent;
    c.uid = peer.uid;
    c.refused_logged = 0;
    c.log_refill_ms = now_ms;
    c.log_lines = LOG_BURST_LINES;
    c.log_suppressed = 0;
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
        handle_record(slot, now_ms);
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
