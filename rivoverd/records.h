// The daemon's clients and what it does with their records, apart from the sockets: the
// main loop (rivoverd.cpp) moves bytes between the sockets and these calls, so the
// handling can also be driven without any socket.
//
// Every client has a bounded queue of records to send. Replies and pushed events only
// ever go into a queue; a client whose queue is full when another record is due is
// dropped, so that one client that does not read can never hold up the others.
//
// Who a client is comes from the kernel (the peer's credentials when it connected), never
// from what it sends: a register (command 32) naming a process other than the peer or the
// peer's parent is refused, and play times and status replies carry the peer's pid. The
// slots are shared between users: one user other than root holds at most
// MAX_CLIENTS_PER_UID of them, and a full table makes room at the expense of the user who
// holds the most, never by taking another user's only connection. Each client's log lines
// are limited in length and in rate, so that no client can flood the log.
#pragma once

#include "rivover.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int MAX_CLIENTS = 128;
// A client must complete a record within this time of connecting or of sending the
// first byte of one; otherwise it is dropped.
constexpr int64_t RECORD_TIMEOUT_MS = 3000;
// Records waiting to be sent to one client.
constexpr int OUT_QUEUE_RECORDS = 16;
constexpr size_t RECORD_BYTES = sizeof(tCtlRecord);
// Slots one user other than root may hold.
constexpr int MAX_CLIENTS_PER_UID = MAX_CLIENTS / 4;
// The status of a reply to a register that names another process.
constexpr int32_t STATUS_REFUSED = 1;
// Log lines: the text shown of a record (after escaping), and the lines of one client: a
// burst of LOG_BURST_LINES, then LOG_LINES_PER_SECOND; what goes beyond is counted, and
// the count is logged with the client's next line.
constexpr int LOG_TEXT_CHARS = 80;
constexpr int32_t LOG_BURST_LINES = 16;
constexpr int32_t LOG_LINES_PER_SECOND = 4;

// The peer of a connection, as the kernel gives it when the connection is accepted.
struct tPeer {
    int32_t pid;    // the connecting process
    int32_t parent; // its parent then (0 when unknown)
    uint32_t uid;
};

struct tClient {
    int32_t used;           // 0: free slot
    int fd;                 // its socket (closed when dropped, unless negative)
    int32_t pid;            // the peer's process id
    int32_t parent;         // the peer's parent's process id
    uint32_t uid;           // the peer's user
    int32_t refused_logged; // a refused register has been logged for this client
    int64_t log_refill_ms;  // time up to which log lines have been earned
    int32_t log_lines;      // lines it may log now
    int32_t log_suppressed; // lines not logged since the last one that was
    int32_t events;         // status records are pushed to this client
    int32_t play_time;      // last reported second
    int64_t record_since;   // ms: a record has been awaited since; -1 when none is due
    uint64_t last_activity; // order of its last whole record (or its connection) among
                            // all clients': the smallest belongs to the one idle longest
    uint32_t have;          // bytes of `in` received so far
    tCtlRecord in;          // the record being received
    uint32_t out_first;     // queue position of the record being sent
    uint32_t out_count;     // records in the queue
    uint32_t out_sent;      // bytes of the first record already sent
    std::array<tCtlRecord, OUT_QUEUE_RECORDS> out;
};

extern std::array<tClient, MAX_CLIENTS> clients;
// Where the record lines go (standard output by default).
extern std::FILE* record_log;
// Where messages about dropped clients go (standard error by default).
extern std::FILE* message_log;

// Frees every slot without closing anything.
void clients_reset();
// Takes a new connection. A user (not root) that holds MAX_CLIENTS_PER_UID slots gives up
// its own idle-longest one; a full table gives up the idle-longest slot of the user that
// holds the most, unless that would take another user's only one. Returns the slot, or -1
// when the connection is refused (its socket is then closed).
int client_add(int fd, const tPeer& peer, int64_t now_ms);
// Closes the client's socket and frees its slot; `why` (when not null) is logged.
void client_drop(int slot, const char* why);
// Bytes received from the client: records are put together and handled. The client may
// be dropped on the way (its slot is then free).
void client_input(int slot, const char* data, size_t n, int64_t now_ms);
// The bytes waiting to be sent to the client, and how many of them went out.
size_t client_output(int slot, const char** data);
void client_output_done(int slot, size_t n);
// Drops the clients whose record is overdue; returns the ms until the next one falls due,
// or -1 when none is due.
int64_t clients_expire(int64_t now_ms);
int live_connections();

// Writes one record line, every byte outside printable ASCII of its text as \xHH, the text
// cut to LOG_TEXT_CHARS characters as written ("..." marks a cut); `suppressed` > 0 adds
// how many lines of the client were left out before it.
void log_record(std::FILE* out, int32_t pid, const tCtlRecord& rec, int32_t suppressed);
