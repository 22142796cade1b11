// The daemon's clients and what it does with their records, apart from the sockets: the
// main loop (rivoverd.cpp) moves bytes between the sockets and these calls, so the
// handling can also be driven without any socket.
//
// Every client has a bounded queue of records to send. Replies and pushed events only
// ever go into a queue; a client whose queue is full when another record is due is
// dropped, so that one client that does not read can never hold up the others.
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

struct tClient {
    int32_t used;           // 0: free slot
    int fd;                 // its socket (closed when dropped, unless negative)
    int32_t pid;            // registered or peer process id
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
// Takes a new connection; when every slot is taken, the client whose last whole record is
// oldest is dropped first. Returns the slot.
int client_add(int fd, int32_t pid, int64_t now_ms);
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

// Writes one record line, every byte outside printable ASCII of its text as \xHH.
void log_record(std::FILE* out, int32_t pid, const tCtlRecord& rec);
