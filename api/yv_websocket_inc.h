/*
 * Internal records and operations of the WebSocket client service.
 *
 * Threads: callers' tasks run the exported functions; the service task
 * "wsclient" handles the event queue and owns every state change; each
 * connected client has a library thread "wsservice" running lws_service.
 *
 * Locks and who may call the library from which thread: see yws_loop.h.
 */
#ifndef YV_WEBSOCKET_INC_H
#define YV_WEBSOCKET_INC_H

#include <libwebsockets.h>

#include <stdbool.h>
#include <stdint.h>

#include <atomic>
#include <cstring>

#include "ringbuffer.h"
#include "yavo_linklist.h"
#include "yavo_list.h"
#include "yv_api_websocket.h"
#include "yv_ws_msg.h"
#include "yv_datacall.h"
#include "yv_mem.h"
#include "yv_rtos.h"
#include "yv_ws_private.h"

/* Every trace line: "%p %d " with an address naming the emitting function and
 * the source line, then the message. */
#define YWS_TRACE(fmt, ...)                                                                        \
  do {                                                                                             \
    if (yv_trace_enabled())                                                                        \
      osiTracePrintf(YV_TRACE_TAG, "%p %d " fmt, (const void *)__func__, __LINE__, ##__VA_ARGS__); \
  } while (0)

#define WS_BUFFER_CHUNK_SIZE 2048
#define YWS_TX_MSG_MAX 2048
#define YWS_RX_RESUME_MARK 3072
#define YWS_QUEUE_ITEMS 8
#define YWS_LWS_PRE 16
/* The library sizes a per-context table by the highest socket number it may
 * see (the process limit by default: 320 KiB a client on a host). A socket
 * numbered at or above this fails to connect; a module sets its own ceiling. */
#define YWS_LWS_FD_LIMIT 1024

typedef void (*yv_ws_service_event_cb)(int client_id, yv_event_t *ev);
typedef struct yv_dispatch yv_dispatch_t;

/* Fields that tasks read without the service lock are atomic. */
typedef struct {
  list_head list;
  std::atomic<yv_mutex_t> lock;
  int32_t proto_type;
  int32_t sock_hndl;
  yv_timer_t connect_timer;
  yv_ws_service_event_cb event_cb;
  bool urc_high;
  bool initialized;
  bool inactive_enable;
  uint8_t active_close;
  std::atomic<uint8_t> pdp_listen;
  uint8_t client_sta;
  std::atomic<uint8_t> cur_client_id;
  std::atomic<uint8_t> cur_cfg_id;
  yv_timer_t inactive_timer;
  std::atomic<yv_task_t> ws_task_id;
  std::atomic<yv_queue_t> queue;
  yv_dispatch_t *port_ch;
  int32_t pdp_cid;
  int32_t sim_id;
  char *urc_remaining;
  int32_t sys_mode;
  uint16_t close_uti;
} ws_service_t;

/* ---- handshake input bounds ----
 * The library builds the upgrade request in a 4096-byte buffer and cuts Host
 * and Origin near 128 bytes: every piece we hand it is bounded so that the
 * request always fits, with room for the library's own lines. */
#define YWS_URL_HOST_MAX 96   /* host without brackets */
#define YWS_URL_PATH_MAX 1024 /* path with query, leading '/' included */
#define YWS_SUBPROT_MAX 256
#define YWS_REQUEST_FIXED 320 /* request line, Host/Origin/Protocol names, lws's own headers */
#define YWS_REQUEST_MAX 3584

typedef struct {
  bool tls;
  bool ipv6; /* host is an IPv6 literal, kept here without its brackets */
  int port;
  char host[YWS_URL_HOST_MAX + 1];
  char host_port[YWS_URL_HOST_MAX + 9]; /* Host and Origin: "h:port" or "[h]:port" */
  char path[YWS_URL_PATH_MAX + 1];
} yws_url_t;

/* ---- configuration ---- */
typedef struct {
  char *name;
  char *value;
} http_head_list_node_t;

typedef struct {
  int32_t pdp_cid;
  int32_t ssl_ctx_id;
  char *url;
  bool subprot_en;
  char *subprot;
  bool extension_en;
  char *extension;
  char *method;
  uint8_t timeout;
  linklist_handler_t head_linklist_hd;
} YWS_CFG_CONN_PARM_LIST;

typedef struct {
  uint8_t interval;
  uint8_t timeout; /* seconds without any arrival after a ping; 0 = off */
} YWS_CFG_PING_PARM_LIST;

typedef struct {
  uint32_t buffer_sz;
  uint8_t timeout;
  bool echo;
} YWS_CFG_WRITE_PARM_LIST;

typedef struct {
  uint32_t buffer_sz;
  uint8_t timeout;
  uint8_t mode;
  ws_client_recv_cb_t recv_cb;
} YWS_CFG_READ_PARM_LIST;

typedef struct {
  uint8_t waittime;
} YWS_CFG_CLOSE_PARM_LIST;

typedef struct {
  YWS_CFG_CONN_PARM_LIST conn;
  YWS_CFG_PING_PARM_LIST ping;
  YWS_CFG_WRITE_PARM_LIST write;
  YWS_CFG_READ_PARM_LIST read;
  YWS_CFG_CLOSE_PARM_LIST close;
} yws_cfg_t;

/* ---- client record ---- */
typedef enum {
  YWS_CMD_CATE_NONE = -1,
  YWS_CMD_CATE_CFG = 0,
  YWS_CMD_CATE_OPEN = 1,
  YWS_CMD_CATE_WRITE = 2,
  YWS_CMD_CATE_READ = 3,
  YWS_CMD_CATE_CLOSE = 4,
  YWS_CMD_CATE_MAX = 5
} yws_cmd_cate_e;

typedef enum {
  YWS_WRITE_TYPE_NONE = 0,
  YWS_WRITE_TYPE_USERDATA = 1,
  YWS_WRITE_TYPE_PING = 2
} yws_write_type_e;

typedef struct {
  list_head list;
  ring_buffer_t data;
} ws_buffer_t;

/* Queued bytes keep the kind of their write: the transmit chain is a run of
 * text or binary bytes after another, oldest first. Consecutive writes of one
 * kind share a run; only a change of kind takes a new one. */
#define YWS_TX_RUNS 32
typedef struct {
  uint8_t prot; /* yws_write_prot_e */
  int32_t len;  /* bytes of the run still unsent */
} yws_tx_run_t;

struct yws_loop;

typedef struct {
  uint8_t cfg_id;
  int8_t cmd_cate_in_async;
  yv_timer_t conn_timer;
  yv_timer_t ping_timer;
  /* Bounds the wait for any sign of life after a ping (ping/timeout). */
  yv_timer_t pong_timer;
  struct {
    struct lws_protocols *protocols;
    struct lws_extension *exts;
    struct lws_context *context;
    struct lws *wsi;
    lws_plat_user_info_t *user_info;
    /* The transmit lock: tx_q, the tx counters and the kind runs, shared by
     * writers (under the service lock) and the loop thread (alone). */
    yv_mutex_t prot_api_mutex;
    yv_mutex_t destroy_mutex;
    bool is_destroyed;
    /* The library loop of this client; outlives the record when the bearer
     * is lost while the loop thread runs. */
    struct yws_loop *loop;
  } prot_ctxt;
  struct {
    struct {
      int8_t err_code;
      uint8_t cur_sta;
      int32_t type;
      yv_mutex_t mutex;
    } conn;
    struct {
      bool curr_is_writable;
      yv_mutex_t mutex;
      uint8_t write_type;
    } write;
    struct {
      bool rx_is_disabled;
    } read;
  } status;
  struct {
    struct {
      list_head tx_q;
      int32_t high;
      int32_t low;
      int32_t tx_max_size;
      int32_t socket_swind_size;
      /* 64-bit: a long-lived connection passes 2 GiB. Guarded by the service
       * lock and prot_api_mutex together; either one suffices to read. */
      int64_t tx_total_size;
      int64_t tx_send_size;
      /* A ring of runs over the chain, under the transmit lock. */
      yws_tx_run_t runs[YWS_TX_RUNS];
      uint8_t run_head;
      uint8_t run_count;
    } write;
    struct {
      struct {
        list_head list;
        yv_mutex_t list_mutex;
      } remaining_data;
      int32_t high;
      int32_t low;
      int64_t rx_total_size;
      int64_t rx_read_size;
      int32_t socket_rwind_size;
      int32_t rx_max_size;
      list_head rx_q;
    } read;
  } data;
  struct {
    uint8_t *stack_ptr;
    yv_sem_t thread_rdy_sem;
    bool lws_prot_thread_is_created;
    bool force_exit;
    yv_task_t ws_service_id;
  } lws_prot_thread;
  yv_ws_service_event_cb event_cb;
  /* Bearer state of this open: 1 waiting for the activation of pdp_cid, 6 the
   * connect step posted. */
  uint8_t pdp_listen;
  /* The packet-data context the client runs on; 0 until its bearer step. */
  uint8_t pdp_cid;
  /* Generation of this record (never 0): events of its library thread and
   * timers carry it so that none of them acts on a later client of the id. */
  uint32_t serial;
} yws_client_t;

/* ---- globals ---- */
extern ws_service_t *service_t;
/* Slots are filled by callers' tasks and emptied by the service task while
 * others look at them: every access is atomic. */
extern std::atomic<yws_client_t *> yws_client[YWS_CLIENT_NUM];
extern yws_cfg_t *yws_cfg[YWS_CFG_NUM];

#ifdef __cplusplus
extern "C" {
#endif

/* service core */
void yv_ws_thread_run(void *arg);
void yws_notify(int client_id, uint8_t cfg_id, int32_t type, uint8_t *data, int32_t size,
                int32_t virt);
/* The checks of a client or profile id: its range, and the record in a
 * client slot (NULL for an id outside 0..2 or a free slot). */
static inline bool yws_client_id_ok(int client_id) {
  return client_id >= 0 && client_id < YWS_CLIENT_NUM;
}
/* The service's clock: the platform's monotonic milliseconds. */
static inline int64_t yws_now_ms(void) {
  return static_cast<int64_t>(yv_rtos_uptime_ms());
}
/* RFC 7230 tchar: the characters of a token (header names, sub-protocols). */
static inline bool yws_is_tchar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}
/* Length of the UTF-8 sequence a lead byte starts; 0 for a continuation or
 * a byte no sequence starts with. */
static inline int32_t yws_utf8_seq_len(unsigned char c) {
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xF0 && c <= 0xF4) return 4;
  return 0;
}
static inline bool yws_cfg_id_ok(int cfg_id) {
  return cfg_id >= 0 && cfg_id < YWS_CFG_NUM;
}
static inline yws_client_t *yws_rec(int client_id) {
  return yws_client_id_ok(client_id) ? yws_client[client_id].load() : nullptr;
}
/* param1 of an event that belongs to one record. */
static inline uint32_t yws_tag(uint8_t client_id, uint32_t serial) {
  return (serial << 8) | client_id;
}
/* A record's timers carry its tag as their argument. */
static inline void *yws_timer_arg(int client_id, const yws_client_t *rec) {
  return reinterpret_cast<void *>(
      static_cast<uintptr_t>(yws_tag(static_cast<uint8_t>(client_id), rec->serial)));
}
/* Posts {id, p1, p2, p3}. */
void yws_post(uint32_t id, uint32_t p1, uint32_t p2, uint32_t p3);

/* lifecycle */
/* Stops and deletes the timer if there is one; *timer becomes 0. */
void yws_timer_remove(yv_timer_t *timer);
yws_err_e yws_client_open_connected(int client_id);
yws_err_e yws_client_open_cnf(yv_event_t *msg);
yws_err_e yws_close_proc(yv_event_t *msg);
void yws_thread_exit_destroy(int client_id, uint32_t loop_serial);
void yws_lws_context_destroy(uint8_t client_id);
void yws_final_do(int client_id);
/* Releases the record `tag` names (yws_tag) if it is still that one; false
 * when it has gone already, so that one open is never ended twice. */
bool yws_final_do_if(uint32_t tag);
/* Starts the connect timer of the record `tag` names when its profile has a
 * connect timeout; the platform's status. */
int yws_open_timer_start(uint32_t tag);
yws_err_e yws_ping_proc(yv_event_t *msg);
void yws_conn_timer_expired_callback(void *argv);
void yws_ping_timer_expired_callback(void *argv);
void yws_client_writable_event(int client_id);

/* close cause and liveness (yws_cause.cpp) */
void yws_cause_open(int client_id);
/* Records a cause unless one is already recorded. */
void yws_cause_set(int client_id, yws_close_cause_e cause);
/* Records the cause of an end that has none yet from how it is notified. */
void yws_cause_settle(int client_id, int32_t type, int32_t err);
yws_err_e yws_cause_get(int client_id, int *cause, int *peer_code, char *reason);
/* On the loop thread: any frame from the server arrived. */
void yws_alive(int client_id);
/* On the service task: a received event was handled. */
void yws_alive_event(int client_id);
/* Keepalive steps of yws_ping_proc: after a ping went out, and the expiry of
 * the wait for a sign of life. sent_ms: yws_now_ms() taken before the ping
 * was written, so that an answer can never look older than its ping. */
void yws_pong_wait_start(int client_id, yws_client_t *rec, int64_t sent_ms);
void yws_pong_wait_expired(int client_id, yws_client_t *rec);
/* A YWS_MSG_TYPE_TO_PING event that is the expiry of that wait. */
bool yws_ping_wait_event(const yv_event_t *msg);
/* The server's close frame (loop thread): non-zero when it breaks the
 * protocol and the connection must be dropped. */
int yws_peer_close(int client_id, struct lws *wsi, const void *in, size_t len);
/* Received data (loop thread): checks text for UTF-8 and pushes what may be
 * delivered; non-zero fails the connection. */
int yws_rx_data(struct yws_loop *loop, struct lws *wsi, void *in, size_t len);
/* The error a library close event carries: YWS_ERR_PROT_FAIL after a
 * violation. With wsi (a websocket end on the loop thread) it also tells a
 * library verdict on what the server sent from a drop by the network. */
uint32_t yws_closed_err(int client_id, struct lws *wsi);

/* configuration */
/* n bytes of s and a NUL, from the platform allocator; NULL without memory. */
char *yws_str_copy(const char *s, size_t n);
bool yws_client_specific_id_is_busy(int cfg_id);
/* yws_cfg_add_http_head and yws_cfg_remove_http_head for a caller that may
 * hold the profile lock (profile_held: it does, and the profile exists). */
int yws_cfg_head_add(int cfg_id, const char *header_name, const char *header_str,
                     bool profile_held);
int yws_cfg_head_remove(int cfg_id, const char *header_name, bool profile_held);
/* A string option of an existing profile; the caller holds the profile lock. */
char *yws_cfg_string_held(int cfg_id, int opt_tag);
int yws_add_http_header_by_name(struct lws *wsi, void *in, size_t len, int cfg_id);
/* Bytes the profile's headers take in a request ("name: value\r\n" each). */
size_t yws_cfg_headers_wire_size(int cfg_id);
/* The profile lock (not recursive): held by an option set across its busy
 * check and change, by client creation across its reading of the profile
 * and the filling of the client slot, and by reports while they read profile
 * strings. Taken before the service lock, never inside it. */
void yws_cfg_lock(int cfg_id);
void yws_cfg_unlock(int cfg_id);
/* Appends s to the text of buf (len characters so far, cap bytes) with '"'
 * and '\\' written \\" and \\\\, cut to stay NUL-terminated; the new length. */
size_t yws_report_escape(char *buf, size_t cap, size_t len, const char *s);

/* bearer */
int yws_client_net_act(void *arg);

/* client record */
int yws_client_service_new(int client_id, int cfg_id);
bool yws_client_specific_id_is_occupied(uint8_t client_id);
void yws_update_conn_status(uint8_t client_id, yv_event_t *parm_t);
int yws_get_curr_conn_status(uint8_t client_id, uint8_t type);
void yws_update_writable_status(uint8_t client_id, bool sta);
bool yws_get_curr_writable_status(uint8_t client_id);

/* connection */
/* YWS_OK and *out filled, or YWS_ERR_INVAL_URL; reads nothing beyond the NUL. */
yws_err_e yws_url_parse(const char *url, yws_url_t *out);
/* A comma-separated list of RFC 6455 tokens (spaces allowed after commas),
 * at most YWS_SUBPROT_MAX characters; "" is allowed (no sub-protocol). */
bool yws_subprot_is_valid(const char *s);
/* Upper estimate of the upgrade request's size for this URL, sub-protocol
 * and the profile's headers now. */
size_t yws_request_size(const yws_url_t *url, const char *subprot, int cfg_id);
int yws_client_open_do(void *arg);
yws_err_e yws_client_do_connect(int client_id);
int yv_ws_service_start(int client_id);
void yv_ws_thread_service(void *arg);
int yws_client_prot_callback(struct lws *wsi, enum lws_callback_reasons reason, void *user,
                             void *in, size_t len);
/* Keeps a copy of a received piece in the loop's batch (see yws_loop.h);
 * -1 when it cannot be kept (the piece is dropped). */
int yws_recv_push_req(struct yws_loop *loop, int id, const void *in, size_t len);

/* data path */
/* Service task: a user close is complete only when every accepted byte went
 * out and the server answered the close; YWS_ERR_TIMEDOUT otherwise. */
int32_t yws_user_close_result(yws_client_t *rec);
int yws_chain_append(list_head *head, const char *data, int32_t len);
void yv_ws_service_pull_data(list_head *head, char *data, int32_t *len);
int32_t yws_chain_peek(list_head *head, char *data, int32_t len);
/* Removes up to len bytes from the front unread; the number removed. */
int32_t yws_chain_drop(list_head *head, int32_t len);
void yws_chain_release(list_head *head);
int32_t yv_ws_service_send(int32_t client_id);
/* Service task: delivers every piece its loop has batched for the client. */
void yws_rx_batch_event(int32_t client_id);
/* Wakes the client's loop to send what the transmit chain holds. */
void yws_tx_kick(int client_id);
int32_t yws_client_read_event(int32_t client_id);

#ifdef __cplusplus
}
#endif

#endif
