// Client of the control daemon ("rivover"): 536-byte records over a local stream socket,
// and the library's reader for INI-style configuration files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr const char* CTL_SOCKET_PATH = "/tmp/zuzerovu";
constexpr int32_t CTL_STATUS_OK = 100;
constexpr int CTL_TEXT_BYTES = 512;
// Longest wait for the daemon to take a request or answer it, on every exchange that
// expects a reply (and for the connect itself). A connection whose daemon misses it is
// closed: a late reply could otherwise be read as the answer to the next request.
constexpr int CTL_REPLY_TIMEOUT_MS = 1000;
// How long ctl_events_off keeps draining records that were already on their way.
constexpr int CTL_EVENT_DRAIN_US = 500000;

// Command codes.
constexpr int32_t CTL_CMD_GET_VALUE = 1;
constexpr int32_t CTL_CMD_GET_VALUE_OF = 2;
constexpr int32_t CTL_CMD_GET_TEXT_3 = 3; // the text query with one argument
constexpr int32_t CTL_CMD_GET_TEXT_5 = 5; // the text query that never answers null
constexpr int32_t CTL_CMD_STATUS = 8;     // also the code of pushed event records
constexpr int32_t CTL_CMD_SEND3 = 9;
constexpr int32_t CTL_CMD_SEND_TEXT = 11;
constexpr int32_t CTL_CMD_EVENTS = 12;
constexpr int32_t CTL_CMD_GET_VALUE2 = 16;
constexpr int32_t CTL_CMD_PLAY_TIME = 17;
constexpr int32_t CTL_CMD_LINK_OPEN = 18;
constexpr int32_t CTL_CMD_LINK_TEXT = 19;
constexpr int32_t CTL_CMD_REGISTER = 32;
constexpr int32_t CTL_CMD_NOTIFY_VALUE = 33;
constexpr int32_t CTL_CMD_NOTIFY = 34;
constexpr int32_t CTL_CMD_GET_TEXT_35 = 35; // the text query without arguments
constexpr int32_t CTL_CMD_EXCHANGE = 48;
constexpr int32_t CTL_CMD_SEND2 = 50;
constexpr int32_t CTL_CMD_LINK_TEXT2 = 57;

// The codes that the calls serving a family of commands accept.
// ctl_get_text:
inline constexpr std::array<int32_t, 10> CTL_TEXT_COMMANDS = {
    CTL_CMD_GET_TEXT_3, 4, CTL_CMD_GET_TEXT_5, 6, 7, 14, 15, CTL_CMD_GET_TEXT_35, 54, 55};
// ctl_request:
inline constexpr std::array<int32_t, 3> CTL_PLAIN_REQUESTS = {10, 13, 56};
// ctl_command, sending its argument:
inline constexpr std::array<int32_t, 3> CTL_ARGUMENT_COMMANDS = {23, 24, 51};
// ctl_command, sending 0:
inline constexpr std::array<int32_t, 12> CTL_ZERO_COMMANDS = {25, 26, 27, 28, 42, 43,
                                                              44, 45, 46, 47, 49, 53};
// ctl_get_result:
inline constexpr std::array<int32_t, 2> CTL_RESULT_COMMANDS = {31, 52};
// The commands the daemon does not answer.
inline constexpr std::array<int32_t, 4> CTL_NO_REPLY_COMMANDS = {
    CTL_CMD_LINK_TEXT, CTL_CMD_NOTIFY_VALUE, CTL_CMD_NOTIFY, CTL_CMD_LINK_TEXT2};

// One record, both directions. Integers in host byte order.
struct tCtlRecord {
    int32_t command; // request code; a reply carries the code it answers
    int32_t status;  // set by the daemon: 100 = success
    int32_t param1;  // process id (32), on/off (12), a result (replies to 8, 31, 52)
    int32_t param2;
    int32_t param3;
    int32_t param4;            // play time in seconds (17)
    char text[CTL_TEXT_BYTES]; // NUL-terminated
};
static_assert(sizeof(tCtlRecord) == 536);
static_assert(offsetof(tCtlRecord, command) == 0 && offsetof(tCtlRecord, status) == 4);
static_assert(offsetof(tCtlRecord, param1) == 8 && offsetof(tCtlRecord, param2) == 12);
static_assert(offsetof(tCtlRecord, param3) == 16 && offsetof(tCtlRecord, param4) == 20);
static_assert(offsetof(tCtlRecord, text) == 24);

// True for the commands that the daemon answers with a record (all but 19, 33, 34, 57).
bool ctl_expects_reply(int32_t command);

// ---- Connections ----
// Socket connected to the daemon, or -1.
int ctl_connect();
// Connects the request connection and registers this process; flag bit 0 also opens
// the event channel. 1 when connected (or already connected), 0 when not.
int ctl_init(int flags);
// Closes the request connection (the event and link channels stay). Always 1.
int ctl_close();
int ctl_event_fd_get();
int ctl_link_fd_get();
// Waits until the request connection is readable. 1; -1 when it is not open.
int ctl_wait();

// ---- Event channel ----
int ctl_events_on();  // 1; 0 when the channel is not open
int ctl_events_off(); // 1; 0 when the channel is not open
// Blocks for one pushed record; unpacks it as ctl_status. -1 when the channel is not
// open, has closed, or the record is not a status event.
int ctl_event_read(int* out1, int* out2, int* out3, char* text);

// ---- Link channel ----
// param2 of the reply when accepted, else 0; -1 when the channel cannot be opened.
int ctl_link_open(int a, int b, const char* text);
int ctl_link_text(const char* text);  // 1; -1 when not open
int ctl_link_text2(const char* text); // 1; -1 when not open
// Blocks for one record; the record's command, -1 when not open or closed by the daemon.
int ctl_link_read(int* out1, int* out2);

// ---- Requests on the request connection (-1 when it is not open, unless noted) ----
int ctl_get_value();         // 1
int ctl_get_value_of(int a); // 2
// Text queries 3, 4, 5, 6, 7, 14, 15, 35, 54, 55: a buffer of the command's own that the
// next query with the same code overwrites; null when refused or not open (5: "").
const char* ctl_get_text(int code, int a, int b);
int ctl_status(int* out1, int* out2, int* out3, char* text); // 8; text holds 512 bytes
int ctl_send3(int a, int b, int c);                          // 9
int ctl_request(int code);                                   // 10, 13, 56
int ctl_send_text(int a, const char* text);                  // 11
int ctl_get_value2(int a, int b);                            // 16; 0 when not open
int ctl_play_time(int seconds);                              // 17
// 23, 24, 51 with their argument; 25, 26, 27, 28, 42, 43, 44, 45, 46, 47, 49, 53 with 0.
int ctl_command(int code, int a);
int ctl_get_result(int code);     // 31, 52
int ctl_notify_value(int a);      // 33, no reply
int ctl_notify();                 // 34, no reply
int ctl_exchange(int* p, int* q); // 48
int ctl_send2(int a, int b);      // 50

// Replaces each of " * / : < > ? \ | by a space, in place; returns s.
char* ctl_sanitize_name(char* s);

// ---- Play-time reports that never wait (what the player uses) ----
// The register at start-up waits this long for its reply, no longer.
constexpr int CTL_REPORT_REGISTER_WAIT_MS = 50;
// A lost report connection is connected again at most this often.
constexpr int CTL_REPORT_RETRY_MS = 2000;
// Connects without waiting and registers this process. 1 when connected, 0 when not.
int ctl_report_open();
// Sends command 17 without waiting; connects (and registers) again first when the
// connection was lost and the retry time has passed. 1 sent; 0 dropped because the
// socket buffer was full; -1 not connected.
int ctl_report_play_time(int seconds);
// The report connection for the caller's poll (POLLIN), or -1.
int ctl_report_fd();
// Reads and discards what the daemon has sent, without waiting; closes the connection
// when the daemon has closed it. Call when ctl_report_fd() is readable.
void ctl_report_readable();
// Reports dropped so far for a full socket buffer.
int ctl_report_dropped();
void ctl_report_close();

// ---- Configuration files ----
constexpr int CTL_CONFIG_LINE_BYTES = 512;     // a longer line is skipped whole
constexpr int CTL_CONFIG_NAME_BYTES = 128;     // name parts and section names
constexpr long CTL_CONFIG_MAX_BYTES = 1 << 20; // larger files are not read
// Looks up key (in section, or in any section when section is null) and copies the rest
// of its line into value (at least CTL_CONFIG_LINE_BYTES bytes; may be null). 0 when
// found, -2 when not, -1 when the file cannot be opened or is not a regular file of at
// most CTL_CONFIG_MAX_BYTES. A NUL byte ends what its line says; a header without its
// "]" is no header; the keys under a header whose name is too long belong to no section
// (only a lookup in any section finds them).
int ctl_config_get(const char* path, const char* section, const char* key, char* value);
// In place; nothing for null.
void trim_left(char* s);    // leading space, tab, line feed, carriage return
void trim_right(char* s);   // trailing space, carriage return, tab, line feed
void trim_newline(char* s); // trailing line feed and carriage return
