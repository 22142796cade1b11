// Client of the control daemon ("rivover"): 536-byte records over a local stream socket,
// and the library's reader for INI-style configuration files. The record and the calls
// are those of the installed C header vexa/rivover.h; this one adds the constants and
// command tables the project's C++ code uses.
#pragma once

#include "vexa/rivover.h"

#include <array>
#include <cstddef>
#include <cstdint>

constexpr const char* CTL_SOCKET_PATH = RIVOVER_SOCKET_PATH;
constexpr int32_t CTL_STATUS_OK = RIVOVER_STATUS_OK;
constexpr int CTL_TEXT_BYTES = RIVOVER_TEXT_BYTES;
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
constexpr int32_t CTL_CMD_PLAY_TIME = RIVOVER_CMD_PLAY_TIME;
constexpr int32_t CTL_CMD_LINK_OPEN = 18;
constexpr int32_t CTL_CMD_LINK_TEXT = 19;
constexpr int32_t CTL_CMD_REGISTER = RIVOVER_CMD_REGISTER;
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

static_assert(sizeof(tCtlRecord) == 536);
static_assert(offsetof(tCtlRecord, command) == 0 && offsetof(tCtlRecord, status) == 4);
static_assert(offsetof(tCtlRecord, param1) == 8 && offsetof(tCtlRecord, param2) == 12);
static_assert(offsetof(tCtlRecord, param3) == 16 && offsetof(tCtlRecord, param4) == 20);
static_assert(offsetof(tCtlRecord, text) == 24);

// True for the commands that the daemon answers with a record (all but 19, 33, 34, 57).
bool ctl_expects_reply(int32_t command);

// ---- Play-time reports that never wait (what the player uses; not in the C API) ----
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
static_assert(CTL_CONFIG_LINE_BYTES == RIVOVER_TEXT_BYTES);
