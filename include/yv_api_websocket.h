/*
 * WebSocket client service: the interface for the command layer and on-module
 * applications.
 *
 * Threading contract
 * - Every function here may be called from any task unless its comment says
 *   otherwise. None blocks on the network; yv_ws_open_proc may block its caller
 *   in the bearer step (network registration wait).
 * - Asynchronous outcomes arrive through the profile's notification callback,
 *   on the service task "wsclient". Inside the callback you may call any
 *   function of this header; the data it points to is valid only during the
 *   call. One exception: when an open fails in its bearer step (network
 *   registration / data-call activation refused), OPEN with YWS_ERR_NET_FAIL
 *   is notified on the caller's task, inside yv_ws_open_proc, which then
 *   returns non-zero. Do not hold a lock your callback takes across
 *   yv_ws_open_proc.
 * - Client ids and profile ids are 0..2.
 *
 * Return values: each function lists its own below. The same situation gives
 * the same answer everywhere except where a call is fixed otherwise:
 * - a client id outside 0..2, or one whose slot is free: YWS_ERR_INVAL_PARM;
 *   except the data calls yv_ws_write_proc and yv_ws_read_proc, which answer
 *   YWS_ERR_GENERIC (as they do before the service exists), yv_ws_close_proc,
 *   which answers 0 for a free slot (nothing to close), and the state query,
 *   which answers YWS_CONN_STA_IDLE (0);
 * - a profile id outside 0..2, or a profile that cannot be created:
 *   YWS_ERR_INVAL_PARM;
 * - a null argument the call needs: YWS_ERR_INVAL_PARM; except a null request
 *   to yv_ws_open_proc or yv_ws_write_proc: YWS_ERR_GENERIC;
 * - out of memory: YWS_ERR_NO_MEM;
 * - a client that is opening or closing where that forbids the call:
 *   YWS_ERR_BUSY.
 */
#ifndef YV_API_WEBSOCKET_H
#define YV_API_WEBSOCKET_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define YWS_CLIENT_NUM 3
#define YWS_CFG_NUM 3

/* open_t->user value that selects buffered reception for the whole service */
#define YWS_SYS_MODE_BUFFERED 0x535444

typedef enum {
  YWS_NEGATIVE_ERROR = -1,
  YWS_OK = 0,
  YWS_ERR_GENERIC = 1,
  YWS_ERR_PROT_FAIL = 2,
  YWS_ERR_INVAL_PARM = 3,
  YWS_ERR_NO_MEM = 4,
  YWS_ERR_TIMEDOUT = 5,
  YWS_ERR_BUSY = 6,
  YWS_ERR_NOT_INIT = 7,
  YWS_ERR_NET_FAIL = 8,
  YWS_ERR_ID_OCCUPIED = 9,
  YWS_ERR_INVAL_URL = 10,
  YWS_ERR_TASK_CREATE = 11,
  YWS_ERR_NET_CLOSE = 12,
  YWS_ERR_NET_DOWN = 13
} yws_err_e;

typedef enum {
  YWS_CONN_STA_IDLE = 0,
  YWS_CONN_STA_CLOSED = 0,
  YWS_CONN_STA_CONNECTING = 1,
  YWS_CONN_STA_CONNECTED = 2,
  YWS_CONN_STA_CLOSING = 3
} yws_conn_sta_e;

typedef enum {
  YWS_CB_TYPE_RECV = 0,
  YWS_CB_TYPE_OPEN = 1,
  YWS_CB_TYPE_CLOSE = 2,
  /* With "read/message" in direct mode: data/size are bytes of one message,
   * virtual its YWS_MSG_FLAG_* (kind, first, final). */
  YWS_CB_TYPE_MESSAGE = 3,
  /* With "reconn/attempts": a new open of the client is coming after an end
   * it did not ask for. size = the attempt number (1, 2, ...), virtual = its
   * delay in ms. Exactly one OPEN follows (the attempt's outcome), or one
   * CLOSE with 0 when yv_ws_close_proc stops the reconnect meanwhile. */
  YWS_CB_TYPE_RECONNECT = 4,
  YWS_CB_TYPE_MAX = 5
} yws_cb_type_e;

typedef enum {
  YWS_WRITE_PROT_TEXT = 0,
  YWS_WRITE_PROT_BIN = 1,
  YWS_WRITE_PROT_MAX = 2
} yws_write_prot_e;

/* Option ids of yv_ws_cfg_set_opt / yv_ws_cfg_get_opt. 0..4 name categories
 * and are refused by every call. */
typedef enum {
  YWS_CFG_TYPE_CONN = 0,
  YWS_CFG_TYPE_PING = 1,
  YWS_CFG_TYPE_WRITE = 2,
  YWS_CFG_TYPE_READ = 3,
  YWS_CFG_TYPE_CLOSE = 4,
  YWS_CFG_CONN_PDPCID = 5,        /* int 1..16 */
  YWS_CFG_CONN_SSLCTXID = 6,      /* int 0..4 */
  YWS_CFG_CONN_URL = 7,           /* const char *; checked at open (YWS_ERR_INVAL_URL) */
  YWS_CFG_CONN_SUBPROT_EN = 8,    /* int 0/1: the sub-protocol is sent only when 1 */
  YWS_CFG_CONN_SUBPROT = 9,       /* const char *: comma-separated tokens, <= 256 */
  YWS_CFG_CONN_EXTENSION_EN = 10, /* int 0/1 */
  YWS_CFG_CONN_EXTENSION = 11,    /* const char * */
  YWS_CFG_CONN_METHOD = 12,       /* const char * */
  YWS_CFG_CONN_TIMEOUT = 13,      /* int 0..255 seconds, 0 = none */
  YWS_CFG_PING_INTERVAL = 14,     /* int 0..255 seconds, 0 = none */
  YWS_CFG_WRITE_BUFFERSZ = 15,    /* int 4096..16384 */
  YWS_CFG_WRITE_TIMEOUT = 16,     /* int 0..255 */
  YWS_CFG_WRITE_ECHO = 17,        /* int 0/1 */
  YWS_CFG_READ_BUFFERSZ = 18,     /* int 4096..16384 */
  YWS_CFG_READ_TIMEOUT = 19,      /* int 0..255 */
  YWS_CFG_READ_MODE = 20,         /* int 0/1 */
  YWS_CFG_CLOSE_WAITTIME = 21,    /* int 0..255 seconds */
  YWS_CFG_RECV_CB = 22,           /* ws_client_recv_cb_t */
  YWS_CFG_REQHEAD_ADD = 23,       /* const char *name, const char *value; see add_http_head */
  YWS_CFG_REQHEAD_REMOVE = 24,    /* const char *name, or NULL for all */
  /* int 0..255 seconds, default 0 = off. With ping/interval also non-zero:
   * when nothing at all (data, pong, ping, close) arrives within this time
   * after a ping was sent, the client is closed at once, without a closing
   * handshake, and CLOSE carries YWS_ERR_TIMEDOUT. */
  YWS_CFG_PING_TIMEOUT = 25,
  /* "write/message", int 0/1, default 0. 0: writes are a byte stream; bytes
   * of one kind queued together may leave in one message and a message holds
   * at most 2048 bytes (text is cut only between characters). 1: each accepted
   * yv_ws_write_proc is exactly one WebSocket message of its kind, whatever
   * its size up to the transmit limit (size 0: an empty message); above 2048
   * bytes it leaves as a fragmented message of 2048-byte frames. Text is sent
   * as given. At most YWS_TX_MSG_QUEUE messages wait at once: a write past
   * them answers YWS_ERR_NO_MEM, as a full transmit buffer does. */
  YWS_CFG_WRITE_MESSAGE = 26,
  /* "read/message", int 0 or 128..65536 bytes, default 0: pieces as they
   * come, notified as YWS_CB_TYPE_RECV. With N, direct mode notifies
   * YWS_CB_TYPE_MESSAGE: a message of at most N bytes whole, a larger one in
   * pieces of N bytes (the last may be shorter), virtual = YWS_MSG_FLAG_*;
   * buffered mode keeps boundaries and kinds for yv_ws_read_msg. */
  YWS_CFG_READ_MESSAGE = 27,
  /* Reconnect, off by default. "reconn/attempts", int 0..255, default 0 =
   * off, 255 = without limit: after an end the caller did not ask for (server
   * close, reset, ping timeout, bearer loss) or an open that failed after
   * yv_ws_open_proc returned 0, the client opens again by itself with the
   * same id and profile, at most this many times in a row. The n-th attempt
   * waits a random time in [d/2, d], d = min(maxdelay, mindelay * 2^(n-1));
   * the count starts over once a connection stayed open 30 s (or 2 x
   * maxdelay when that is less). No attempt follows yv_ws_close_proc, an
   * upgrade refused with an HTTP 4xx status or a server certificate refused
   * at TLS level >= 1. While a reconnect waits or runs the state is
   * YWS_CONN_STA_CONNECTING, the slot stays taken and yv_ws_close_proc ends
   * it (a wait at once). Queued writes wait for the next connection; in
   * message mode the rest of a message that had partly left cannot follow
   * it and is dropped: the CLOSE or OPEN that tells the end carries those
   * bytes in size (and, at the last end, every byte still queued). */
  YWS_CFG_RECONN_ATTEMPTS = 28,
  /* "reconn/mindelay", int 100..60000 ms, default 1000. */
  YWS_CFG_RECONN_MINDELAY = 29,
  /* "reconn/maxdelay", int 1000..3600000 ms, default 60000; below mindelay,
   * mindelay counts. */
  YWS_CFG_RECONN_MAXDELAY = 30,
  /* "conn/deflate", int 0 or 9..15, default 0 = off: nothing is offered.
   * With N the upgrade request offers per-message deflate with
   * client_max_window_bits=N and server_max_window_bits=N; context takeover
   * stays (the state's size is fixed by N either way). A server that declines gives an uncompressed
   * connection; an answer with a parameter not offered, or a window larger
   * than N (a missing server_max_window_bits counts as 15), fails the open
   * (OPEN carries YWS_ERR_NET_FAIL). Compression state is made per
   * connection only when negotiated; see the README for its size at each N.
   * A received compressed message that inflates past 1 MiB fails
   * the connection with close code 1009 (CLOSE: YWS_ERR_PROT_FAIL). Limits,
   * flow control and counts are in the caller's (uncompressed) bytes. */
  YWS_CFG_CONN_DEFLATE = 31,
  YWS_CFG_WRITE_MAX = 32
} yws_cfg_type_e;

/* Messages that may wait in the transmit queue at once in message mode. */
#define YWS_TX_MSG_QUEUE 64

/* Flags in `virtual` of YWS_CB_TYPE_MESSAGE and in *flags of yv_ws_read_msg. */
#define YWS_MSG_FLAG_BINARY 1 /* a binary message; text otherwise */
#define YWS_MSG_FLAG_FIRST 2  /* these bytes start the message */
#define YWS_MSG_FLAG_FINAL 4  /* the message's last byte is among them */

typedef enum { YWS_CFG_READ_MODE_BUFFER = 0, YWS_CFG_READ_MODE_PUSH = 1 } yws_cfg_read_mode_e;

/* Query ids of yv_ws_client_get_opt. */
typedef enum {
  YWS_CLIENT_GET_ERRCODE = 0,   /* int *err */
  YWS_CLIENT_GET_CONNSTATE = 1, /* int *state */
  /* int *total_accepted, int *unsent. Both count from the open; past
   * INT32_MAX bytes accepted the total reads INT32_MAX (unsent never exceeds
   * the transmit limit). */
  YWS_CLIENT_GET_UNSENT_SIZE = 2,
  /* int *cause (yws_close_cause_e), int *peer_code, char *reason (at least
   * YWS_CLOSE_REASON_SIZE bytes, NUL-terminated). Answers for the last end of
   * the client id (after its CLOSE, or after an OPEN with an error) until the
   * id is opened again, so it also works on a free slot. */
  YWS_CLIENT_GET_CLOSE_CAUSE = 3,
  /* yws_link_stats_t *stats. Answers for a taken slot (connected, connecting
   * or waiting to reconnect). */
  YWS_CLIENT_GET_LINK_STATS = 4,
  /* yws_wire_stats_t *stats. Answers as YWS_CLIENT_GET_LINK_STATS does. */
  YWS_CLIENT_GET_WIRE_STATS = 5,
  YWS_CLIENT_RES_MAX = 6
} yws_client_res_e;

/* Link health of a client, from YWS_CLIENT_GET_LINK_STATS. */
typedef struct yws_link_stats {
  uint64_t tx_bytes, rx_bytes; /* payload bytes sent / received since the open */
  uint32_t tx_msgs, rx_msgs;   /* messages sent / received since the open */
  int32_t
      ping_rtt_ms;  /* last ping's round trip (a pong matched to its ping); -1 before the first */
  uint32_t idle_ms; /* since anything last arrived from the server */
  uint32_t reconnects; /* successful reconnects since the caller's open */
  uint32_t drops;      /* ends the caller did not ask for, since the caller's open */
} yws_link_stats_t;

/* What a client's payload cost on the link, from YWS_CLIENT_GET_WIRE_STATS:
 * the caller's bytes beside the bytes its sockets carried (upgrade, framing,
 * per-message deflate, TLS and retransmissions included), both counted over
 * every connection since the caller's open. The ratio of the two is the
 * saving of "conn/deflate". */
typedef struct yws_wire_stats {
  uint64_t tx_bytes, rx_bytes; /* payload, as in yws_link_stats_t */
  uint64_t tx_wire, rx_wire;   /* bytes the sockets sent / received */
  int32_t wire_counted;        /* 1 when the IP stack counts; 0: tx_wire and rx_wire are 0 */
} yws_wire_stats_t;

/* Room for a close reason (at most 123 bytes) and its NUL. */
#define YWS_CLOSE_REASON_SIZE 124

/* Why a client ended, from YWS_CLIENT_GET_CLOSE_CAUSE. The first cause wins.
 * peer_code and reason are those of the server's close frame (code 1005 when
 * the frame had none); 0 and "" when the server sent no close frame, except
 * for YWS_CLOSE_CAUSE_NETWORK, where peer_code is the HTTP status of a refused
 * upgrade (0 otherwise) and reason says what failed ("HTTP 502",
 * "certificate: ...", "lookup: <host>", "connect: ...", "handshake: ...",
 * "reset", "closed", "TLS closed"). */
typedef enum {
  YWS_CLOSE_CAUSE_NONE = 0,         /* no end since the last open, or never opened */
  YWS_CLOSE_CAUSE_USER = 1,         /* yv_ws_close_proc; peer_code and reason are those of
                                       the server's reply when it sent one */
  YWS_CLOSE_CAUSE_PEER = 2,         /* the server sent a valid close frame */
  YWS_CLOSE_CAUSE_NETWORK = 3,      /* refused, reset or dropped, TLS or handshake failure */
  YWS_CLOSE_CAUSE_TIMEOUT = 4,      /* connect timeout */
  YWS_CLOSE_CAUSE_PING_TIMEOUT = 5, /* nothing arrived within ping/timeout after a ping */
  YWS_CLOSE_CAUSE_BEARER = 6,       /* packet-data context lost or not activated */
  YWS_CLOSE_CAUSE_LOCAL = 7,        /* out of memory, task creation, other local failure */
  YWS_CLOSE_CAUSE_PROTOCOL = 8      /* the server broke RFC 6455; CLOSE carries
                                       YWS_ERR_PROT_FAIL, peer_code is 0 */
} yws_close_cause_e;

/*
 * A notification or a write request. The fourth member is called `virtual` in
 * C; C++ reserves that word, so C++ code spells the same member `virtual_`.
 * As a notification: type is a yws_cb_type_e; virtual carries the error code
 * for OPEN and CLOSE and the profile id for RECV.
 * As a write request: type is a yws_write_prot_e.
 */
typedef struct yws_parm {
  int32_t type;
  uint8_t *data;
  int32_t size;
#ifdef __cplusplus
  int32_t virtual_;
#else
  int32_t virtual;
#endif
} yws_parm_t;

/* The user's notification callback; its result is ignored. */
typedef int (*ws_client_recv_cb_t)(int client_id, yws_parm_t *parm);

typedef struct yws_open {
  int client_id;
  int cfg_id;
  void *data; /* not read */
  int user;   /* system mode word; only the open that creates the service counts */
} yws_open_t;

/* One item of the service queue: 16 bytes. */
typedef struct yv_event {
  uint32_t id;
  uint32_t param1;
  uint32_t param2;
  uint32_t param3;
} yv_event_t;

/* Answer callback of the data-call layer. */
typedef void (*YVW_DATACALL_RESPONSE_CB)(uint8_t nSim, uint32_t ind_type, int profile_idx,
                                         bool result, void *task_ref);

/* Limits of the upgrade request (nothing refused reaches the wire):
 * - the URL, checked at open (OPEN carries YWS_ERR_INVAL_URL): host at most
 *   96 characters (an IPv6 literal counted without its brackets), path with
 *   query at most 1024 characters, the leading '/' included;
 * - the sub-protocol at most 256 characters, checked when set;
 * - a header's name at most 256 characters, its value at most 1024, checked
 *   when added;
 * - the whole request, checked at open (OPEN carries YWS_ERR_INVAL_PARM): an
 *   estimate of 320 bytes (request line, the library's own lines) plus the
 *   path, twice "host:port" (Host and Origin; the port always counted, an
 *   IPv6 host with its brackets), the sub-protocol when sent, and
 *   "name: value\r\n" for each header, at most 3584 bytes. */

/* ---- start and open ---- */
/* Creates what is missing of the service; may be called from several tasks at
 * once (the service is created once). client_id is not used.
 * Returns 0, YWS_ERR_NO_MEM, or the platform's negative status of a queue or
 * task that could not be created. */
int yv_ws_app_start(int client_id, int sys_mode);
/* Starts an open. 0 means started: exactly one OPEN follows through the
 * callback, with 0 (connected) or the error that ended the open. Non-zero:
 * - YWS_ERR_GENERIC: open_t is null; YWS_ERR_INVAL_PARM: a client or profile
 *   id outside 0..2; YWS_ERR_BUSY: the client slot is in use;
 *   YWS_ERR_INVAL_URL: the profile has no URL: refused, nothing notified (a
 *   URL that is not usable ends the open through OPEN);
 * - YWS_ERR_NO_MEM: out of memory, or a lock of the service or of the client
 *   could not be created; nothing was started or notified and nothing runs
 *   without its lock; a later open tries again;
 * - a negative platform status: a queue, task or timer could not be created;
 *   nothing notified;
 * - the bearer step's own result (-1): activation refused; OPEN with
 *   YWS_ERR_NET_FAIL has been notified, on the caller's task.
 * The profile's "conn/timeout", when not 0, bounds the whole open, bearer step
 * included: OPEN with YWS_ERR_TIMEDOUT when it runs out. With 0 nothing bounds
 * it: an activation the data-call layer accepted but never answers, or whose
 * answer cannot be bound to its context, holds the client in CONNECTING (close
 * answers YWS_ERR_BUSY) until the next indication for its context.
 * Bearer loss: a deactivation or failure indication for a packet-data context
 * ends every client whose profile uses that context ("conn/pdpcid"), whatever
 * its state, each with one OPEN carrying YWS_ERR_NET_FAIL: the open's outcome
 * if it was still opening, in place of CLOSE if it had connected. Clients on
 * other contexts are not affected. */
int yv_ws_open_proc(yws_open_t *open_t);
/* Creates the profile cfg_id when missing, and the service lock once the
 * service exists (yv_ws_open_proc calls it). No result; client_id is not
 * used. */
void yv_ws_service_init(int client_id, int cfg_id);
/* Deletes the event queue; the next open creates a new one and has a service
 * task read it. No result; the ids are not used. */
void yv_ws_service_deinit(int client_id, int cfg_id);
/* Posts the event to the service task; blocks while the queue is full (never
 * on the service task itself). Always 0: a null event, or no service, posts
 * nothing. */
int yv_ws_task_send_message(yv_event_t *p_msg);

/* ---- close and cancel ---- */
/* Returns 0 when the close was started (CLOSE follows) or there is nothing
 * to close (a free slot, or no service yet); YWS_ERR_INVAL_PARM for a client
 * id outside 0..2; YWS_ERR_BUSY while the client is opening or closing.
 * A connected client first sends every byte accepted before the call, in
 * order, then the close frame (1000), and waits for the server's close
 * answer, all within the profile's "close/waittime" seconds (0: no closing
 * handshake, the connection ends at once). CLOSE carries 0 when everything
 * was sent and the handshake finished (with waittime 0: when everything had
 * been sent), YWS_ERR_TIMEDOUT (5) when time ran out with bytes unsent or no
 * answer. May be called from inside the notification callback. */
int yv_ws_close_proc(int client_id);
/* Does nothing; always YWS_OK. */
int32_t yv_ws_client_cancel(void *client_hndl, int32_t reason);

/* ---- configuration ---- */
/* Creates the profile with its defaults when missing. YWS_OK (also when it
 * existed), YWS_ERR_INVAL_PARM for an id outside 0..2, YWS_ERR_NO_MEM when
 * the profile could not be made, or when its header list could not (the
 * profile exists then; the list is made at the first header added). */
int yws_cfg_init(int cfg_id);
/* The option id of a key such as "conn/url" (letter case ignored) into
 * *type_out. YWS_OK; YWS_ERR_INVAL_PARM for a null argument; YWS_ERR_GENERIC
 * for an unknown key (*type_out untouched). */
yws_err_e yws_cfg_type_parse(const char *cfg_name, int *type_out);
/* The key of an option id, as yws_cfg_type_parse takes it ("conn/url"); NULL
 * for an id without one (categories, the callback, others). */
const char *yws_cfg_key(int opt_tag);
/* A set and the open of a client of the same profile exclude each other: the
 * set lands before the client exists, or answers YWS_ERR_BUSY.
 * Returns YWS_OK; YWS_ERR_INVAL_PARM for a profile id outside 0..2 or one that
 * cannot be created, an option id that cannot be set, a value out of range,
 * a null string or a null callback (which is cleared), an invalid
 * sub-protocol, or a header refused as yws_cfg_add_http_head says;
 * YWS_ERR_BUSY while a client of the profile is opening, connected or
 * closing; YWS_ERR_NO_MEM when a string or header cannot be copied (the old
 * value stays). */
yws_err_e yv_ws_cfg_set_opt(uint8_t cfg_id, int opt_tag, ...);
/* String options come back as the profile's own pointer: do not free it, and
 * do not use it after a later set of the same option (from any task), which
 * frees it. Returns YWS_OK; YWS_ERR_INVAL_PARM for a profile id outside 0..2
 * or one that cannot be created, an option id without a field (categories,
 * the callback, headers) or a null output pointer. */
yws_err_e yv_ws_cfg_get_opt(uint8_t cfg_id, int opt_tag, ...);
/* Answers a yws_client_res_e query into the pointers that follow (a null
 * pointer is skipped). Returns YWS_OK; YWS_ERR_INVAL_PARM for a client id
 * outside 0..2, a free slot (except YWS_CLIENT_GET_CLOSE_CAUSE), or an
 * unknown query id. */
yws_err_e yv_ws_client_get_opt(uint8_t client_id, int opt_tag, ...);
/* The name must be an HTTP token (<= 256), the value free of control
 * characters (<= 1024): else YWS_ERR_INVAL_PARM, list unchanged. A stored
 * header of the same name (compared whole, ignoring letter case) is
 * replaced. Returns YWS_OK; YWS_ERR_INVAL_PARM also for a null argument or a
 * profile id outside 0..2; YWS_ERR_NO_MEM when the copy cannot be stored
 * (list unchanged). */
int yws_cfg_add_http_head(int cfg_id, const char *header_name, const char *header_str);
/* Removes the headers of that name (whole, ignoring case), or all for NULL.
 * 0 (also when none matched); -1 for a profile id outside 0..2. */
int yws_cfg_remove_http_head(int cfg_id, const char *header_name);
/* On YWS_OK *fmt is a "+YWSCFG: " line owned by the caller (yv_ws_mem_free),
 * or NULL after the "reqheader/remove" query. Inside quoted values '"' and
 * '\' are written \" and \\. Otherwise *fmt is NULL or untouched:
 * YWS_ERR_INVAL_PARM for a null fmt or type_str, a profile id outside 0..2 or
 * one that cannot be created (untouched), an option without a report, or a
 * header query that finds no list or, with a name, no headers (NULL);
 * YWS_ERR_NO_MEM when the line cannot be allocated (NULL). */
yws_err_e yws_cfg_get_opt_with_fmt(char **fmt, int type, uint8_t cfg_id, const char *type_str,
                                   const char *value_str);
/* Writes the "+YWSCFG: " header line of the profile (the headers named
 * header_name, or all for NULL) into resp_buffer, cut to len_max - 1
 * characters. The number of stored headers; -1 for a null buffer or type_str,
 * len_max <= 0, a profile id outside 0..2, or a name asked of a profile
 * without headers. */
int yws_cfg_get_http_head(char *resp_buffer, int len_max, int cfg_id, const char *type_str,
                          const char *header_name);

/* ---- data ---- */
/* Copies the data and returns YWS_OK; YWS_ERR_GENERIC for a null parm_t, no
 * service yet, or a client id outside 0..2 or a free slot;
 * YWS_ERR_INVAL_PARM for a negative size, null data with a positive size, or
 * a type other than text or binary; YWS_ERR_NO_MEM when it would exceed the
 * transmit limit or cannot be copied, and when 32 changes of kind are queued
 * unsent already and this write would start another (nothing is queued).
 * Queued bytes keep the kind of their write: a message never holds bytes of a
 * text and a binary write together, while consecutive writes of one kind may
 * share messages. Messages are of at most 2048 bytes; a text message that
 * leaves bytes of its kind behind ends at the last complete UTF-8 sequence, so
 * valid UTF-8 stays valid in every message. Invalid UTF-8 in a text write is
 * sent as given. */
int32_t yv_ws_write_proc(int32_t client_id, yws_parm_t *parm_t);
/* In: *size is the capacity of data. Out: bytes copied. Returns YWS_OK while
 * data remains or the client is connected, and when bytes were copied;
 * YWS_ERR_NET_FAIL when nothing was copied and the client is no longer
 * connected; YWS_ERR_GENERIC with no service yet (*size untouched) or for a
 * client id outside 0..2 or a free slot (*size 0); YWS_ERR_INVAL_PARM for a
 * null size. */
int32_t yv_ws_read_proc(int32_t client_id, char *data, int32_t *size, bool continue_read);
/* Buffered mode with "read/message": like yv_ws_read_proc (same return
 * values, *size in and out, no further READ notification), but copies bytes
 * of at most one message; *flags gets its kind, FIRST when these bytes start
 * it and FINAL when its last byte was copied. Nothing waiting: nothing copied
 * and *flags 0. An empty message reads as 0 bytes with FIRST|FINAL and its
 * kind; a message larger than data is read in several calls. Mixed with
 * yv_ws_read_proc, which reads the same bytes as a stream, the boundaries
 * stay right. Without "read/message" (or in direct mode) it reads as
 * yv_ws_read_proc does and *flags is 0. flags may be NULL. */
int32_t yv_ws_read_msg(int32_t client_id, char *data, int32_t *size, int32_t *flags);
/* The service's push-notification flag and the text kept with it (not
 * copied); nothing before the service exists. client_id is not used. */
void yws_client_set_data_push_urc_high(int32_t client_id, bool isHigh, char *remaining);
/* The flag into *high (when not null) and the kept text; NULL before the
 * service exists. client_id is not used. */
char *yws_client_get_data_push_urc_high(int32_t client_id, int32_t *high);
/* Clears the flag and asks the service task to deliver the next buffered
 * data of client (uintptr_t)ctx. No result. */
void yws_client_data_push_urc_cb(void *ctx);

/* ---- state ---- */
/* The client's yws_conn_sta_e; YWS_CONN_STA_IDLE (0) for an id outside 0..2 or
 * a free slot. */
int yv_ws_get_client_conn_state(uint8_t client_id);

/* ---- bearer ---- */
/* Activates packet-data context cid on SIM sim_id & 0xFF. 0 when it is
 * active (its address is traced); -2 while an activation is under way; -1
 * when the activation failed; the information call's non-zero status when
 * the active context's address cannot be read. */
int yv_ws_act_start(int cid, int sim_id);
/* Waits for network registration (bounded), then: context active: cb with
 * success, and the registration wait's result (0 once registered); an
 * activation started or already under way: -2 (cb follows from the
 * data-call layer); refused: cb with failure, -1. cb may be null. */
int yv_ws_get_data_call_state(int cid, void *user_param, YVW_DATACALL_RESPONSE_CB cb);
/* The data-call layer's answer callback: posts the indication to the service
 * task. No result. */
void yv_ws_datacall_cb(uint8_t nSim, uint32_t ind_type, int profile_idx, bool result,
                       void *task_ref);
/* Service task: a bearer indication; param1 is the SIM/context binding word,
 * whose low byte names the context it acts on (yv_datacall.h). */
void yv_ws_client_net_cb(yv_event_t *ws_event);

/* Releases a block the service handed over (a report line); NULL is
 * ignored. No result. */
void yv_ws_mem_free(void *p);

#ifdef __cplusplus
}
#endif

#endif
