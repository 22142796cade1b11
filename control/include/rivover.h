// Client of the control daemon ("rivover"): 536-byte records over a local stream socket.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char* CTL_SOCKET_PATH = "/tmp/zuzerovu";
constexpr int32_t CTL_STATUS_OK = 100;
constexpr int32_t CTL_CMD_PLAY_TIME = 17;
constexpr int32_t CTL_CMD_REGISTER = 32;
constexpr int CTL_TEXT_BYTES = 512;

struct tCtlRecord {
    int32_t command; // request code; a reply carries the code it answers
    int32_t status;  // set by the daemon: 100 = success
    int32_t param1;
    int32_t param2;
    int32_t param3;
    int32_t param4;
    char text[CTL_TEXT_BYTES]; // NUL-terminated
};
static_assert(sizeof(tCtlRecord) == 536);
static_assert(offsetof(tCtlRecord, param4) == 20 && offsetof(tCtlRecord, text) == 24);

// Socket connected to the daemon, or -1.
int ctl_connect();
// Connects and registers this process (flag bit 0: also the event channel, not built
// yet). 1 when connected, 0 when the daemon could not be reached.
int ctl_init(int flags);
// Closes the request connection. Always 1.
int ctl_close();
// Reports the elapsed play time in whole seconds: 1 when the daemon took it, 0 when
// it did not, -1 when there is no connection.
int ctl_play_time(int seconds);
