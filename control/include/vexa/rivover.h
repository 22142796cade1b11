/* Client of vexa's control daemon rivoverd ("rivover"): 536-byte records over the local
 * stream socket RIVOVER_SOCKET_PATH, one call per command, and the library's reader for
 * INI-style configuration files.
 *
 * C99 and C++. Link with `pkg-config --cflags --libs rivover`.
 *
 * The connections are process-wide (one request connection, one event channel, one link
 * channel); calls are not to be made from two threads at once. A call that expects a reply
 * waits at most about a second for the daemon; with no daemon every call returns at once
 * with its "not open" result (-1, 0 or null as given below). Text results of
 * ctl_get_text live in buffers of the library that the next query with the same code
 * overwrites; every other pointer argument is the caller's and is not kept.
 */
#ifndef VEXA_RIVOVER_H
#define VEXA_RIVOVER_H

#include <stdint.h>

#if defined(__GNUC__)
#define VEXA_RIVOVER_API __attribute__((visibility("default")))
#else
#define VEXA_RIVOVER_API
#endif

#define RIVOVER_SOCKET_PATH "/tmp/zuzerovu"
#define RIVOVER_STATUS_OK 100  /* a reply's status on success */
#define RIVOVER_TEXT_BYTES 512 /* text of a record, NUL included */
#define RIVOVER_CMD_PLAY_TIME 17
#define RIVOVER_CMD_REGISTER 32

#ifdef __cplusplus
extern "C" {
#endif

/* One record, both directions. Integers in host byte order. */
typedef struct tCtlRecord {
    int32_t command; /* request code; a reply carries the code it answers */
    int32_t status;  /* set by the daemon: 100 = success */
    int32_t param1;  /* process id (32), on/off (12), a result (replies to 8, 31, 52) */
    int32_t param2;
    int32_t param3;
    int32_t param4;                /* play time in seconds (17) */
    char text[RIVOVER_TEXT_BYTES]; /* NUL-terminated */
} tCtlRecord;

/* ---- Connections ---- */
/* Socket connected to the daemon, or -1. */
VEXA_RIVOVER_API int ctl_connect(void);
/* Connects the request connection and registers this process; flag bit 0 also opens
 * the event channel. 1 when connected (or already connected), 0 when not. */
VEXA_RIVOVER_API int ctl_init(int flags);
/* Closes the request connection (the event and link channels stay). Always 1. */
VEXA_RIVOVER_API int ctl_close(void);
VEXA_RIVOVER_API int ctl_event_fd_get(void);
VEXA_RIVOVER_API int ctl_link_fd_get(void);
/* Waits until the request connection is readable. 1; -1 when it is not open. */
VEXA_RIVOVER_API int ctl_wait(void);

/* ---- Event channel ---- */
VEXA_RIVOVER_API int ctl_events_on(void);  /* 1; 0 when the channel is not open */
VEXA_RIVOVER_API int ctl_events_off(void); /* 1; 0 when the channel is not open */
/* Blocks for one pushed record; unpacks it as ctl_status. -1 when the channel is not
 * open, has closed, or the record is not a status event. */
VEXA_RIVOVER_API int ctl_event_read(int* out1, int* out2, int* out3, char* text);

/* ---- Link channel ---- */
/* param2 of the reply when accepted, else 0; -1 when the channel cannot be opened. */
VEXA_RIVOVER_API int ctl_link_open(int a, int b, const char* text);
VEXA_RIVOVER_API int ctl_link_text(const char* text);  /* 1; -1 when not open */
VEXA_RIVOVER_API int ctl_link_text2(const char* text); /* 1; -1 when not open */
/* Blocks for one record; the record's command, -1 when not open or closed by the daemon. */
VEXA_RIVOVER_API int ctl_link_read(int* out1, int* out2);

/* ---- Requests on the request connection (-1 when it is not open, unless noted) ---- */
VEXA_RIVOVER_API int ctl_get_value(void);     /* 1 */
VEXA_RIVOVER_API int ctl_get_value_of(int a); /* 2 */
/* Text queries 3, 4, 5, 6, 7, 14, 15, 35, 54, 55: a buffer of the command's own that the
 * next query with the same code overwrites; null when refused or not open (5: ""). */
VEXA_RIVOVER_API const char* ctl_get_text(int code, int a, int b);
/* 8; text holds 512 bytes */
VEXA_RIVOVER_API int ctl_status(int* out1, int* out2, int* out3, char* text);
VEXA_RIVOVER_API int ctl_send3(int a, int b, int c);         /* 9 */
VEXA_RIVOVER_API int ctl_request(int code);                  /* 10, 13, 56 */
VEXA_RIVOVER_API int ctl_send_text(int a, const char* text); /* 11 */
VEXA_RIVOVER_API int ctl_get_value2(int a, int b);           /* 16; 0 when not open */
VEXA_RIVOVER_API int ctl_play_time(int seconds);             /* 17 */
/* 23, 24, 51 with their argument; 25, 26, 27, 28, 42, 43, 44, 45, 46, 47, 49, 53 with 0. */
VEXA_RIVOVER_API int ctl_command(int code, int a);
VEXA_RIVOVER_API int ctl_get_result(int code);     /* 31, 52 */
VEXA_RIVOVER_API int ctl_notify_value(int a);      /* 33, no reply */
VEXA_RIVOVER_API int ctl_notify(void);             /* 34, no reply */
VEXA_RIVOVER_API int ctl_exchange(int* p, int* q); /* 48 */
VEXA_RIVOVER_API int ctl_send2(int a, int b);      /* 50 */

/* Replaces each of " * / : < > ? \ | by a space, in place; returns s. */
VEXA_RIVOVER_API char* ctl_sanitize_name(char* s);

/* ---- Configuration files ---- */
/* Looks up key (in section, or in any section when section is null) and copies the rest
 * of its line into value (at least 512 bytes; may be null). 0 when found, -2 when not,
 * -1 when the file cannot be opened or is not a regular file of at most 1 MiB. */
VEXA_RIVOVER_API int ctl_config_get(const char* path, const char* section, const char* key,
                                    char* value);
/* In place; nothing for null. */
VEXA_RIVOVER_API void trim_left(char* s);    /* leading space, tab, line feed, carriage return */
VEXA_RIVOVER_API void trim_right(char* s);   /* trailing space, carriage return, tab, line feed */
VEXA_RIVOVER_API void trim_newline(char* s); /* trailing line feed and carriage return */

#ifdef __cplusplus
}
#endif

#endif
