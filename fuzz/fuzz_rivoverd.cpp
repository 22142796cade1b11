// The daemon's record handling without sockets: the input is a script of connections,
// pieces of records, reads of the output queues and steps of the clock, run against the
// client table. The properties checked are those the daemon relies on: a queue never
// holds more than its bound, and the slots and the connection count agree.
#include "records.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

struct tScript {
    const uint8_t* data;
    size_t left;
};

uint8_t next_byte(tScript& s) {
    if (s.left == 0) return 0;
    s.left--;
    return *s.data++;
}

void check_table() {
    int used = 0;
    for (const tClient& c : clients) {
        if (c.used == 0) continue;
        used++;
        if (c.out_count > OUT_QUEUE_RECORDS || c.out_first >= OUT_QUEUE_RECORDS ||
            c.out_sent >= RECORD_BYTES || c.have >= RECORD_BYTES)
            __builtin_trap();
    }
    if (used != live_connections()) __builtin_trap();
    // No user but root holds more than its share of the slots.
    for (uint32_t uid = 1; uid < 4; uid++) {
        int held = 0;
        for (const tClient& c : clients)
            held += c.used != 0 && c.uid == uid;
        if (held > MAX_CLIENTS_PER_UID) __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::FILE* sink = std::fopen("/dev/null", "w");
    record_log = sink;
    message_log = sink;
    clients_reset();

    tScript s{data, size};
    int64_t now = 0;
    while (s.left > 0) {
        const uint8_t op = next_byte(s);
        const int slot = next_byte(s) % MAX_CLIENTS;
        switch (op % 5) {
        case 0: // a connection (no socket: nothing to close) of one of four users
            client_add(-1, tPeer{1000 + slot, 1, static_cast<uint32_t>(next_byte(s) % 4)}, now);
            break;
        case 1: { // a piece of a record: up to 255 bytes of the script, or one whole record
            if (clients[static_cast<size_t>(slot)].used == 0) break;
            size_t n = next_byte(s);
            if (n == 0) n = RECORD_BYTES;
            if (n > s.left) n = s.left;
            client_input(slot, reinterpret_cast<const char*>(s.data), n, now);
            s.data += n;
            s.left -= n;
            break;
        }
        case 2: { // the client reads some of its output
            const char* out = nullptr;
            const size_t have = client_output(slot, &out);
            const size_t n = next_byte(s) * 8u;
            if (have > 0) {
                volatile char first = out[0], last = out[have - 1];
                (void)first;
                (void)last;
                client_output_done(slot, n < have ? n : have);
            }
            break;
        }
        case 3: // time passes
            now += next_byte(s) * 50;
            clients_expire(now);
            break;
        case 4:
            client_drop(slot, "script");
            break;
        }
        check_table();
    }
    return 0;
}
