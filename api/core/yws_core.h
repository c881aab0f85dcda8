/*
 * The core room: what every other room stands on and nothing above it.
 *
 * - the trace macro, ids and their checks, tags of events and timers;
 * - the service record (lock, queue, task, system mode) behind functions;
 * - the client table and the client record, its status under its mutexes;
 * - posting into the event queue;
 * - the process-wide locks and their RAII guards;
 * - the close-cause record of each client id (it outlives the record);
 * - UTF-8 helpers and the buffer chains of the record.
 *
 * Threads: callers' tasks run the exported functions; the service task
 * "wsclient" handles the event queue and owns every state change; each
 * connected client has a library thread "wsservice" (see yws_loop.h for who
 * may call the library from where).
 */
#ifndef YWS_CORE_H
#define YWS_CORE_H

#include <stdbool.h>
#include <stdint.h>

#include <atomic>
#include <cstddef>

#include "ringbuffer.h"
#include "yavo_list.h"
#include "yv_api_websocket.h"
#include "yv_mem.h"
#include "yv_rtos.h"
#include "yv_ws_msg.h"

struct lws_protocols;
struct lws_extension;
struct yws_loop;

/* Every trace line: "%p %d " with an address naming the emitting function and
 * the source line, then the message. */
#define YWS_TRACE(fmt, ...)                                                                        \
  do {                                                                                             \
    if (yv_trace_enabled())                                                                        \
      osiTracePrintf(YV_TRACE_TAG, "%p %d " fmt, (const void *)__func__, __LINE__, ##__VA_ARGS__); \
  } while (0)

#define WS_BUFFER_CHUNK_SIZE 2048
#define YWS_TX_MSG_MAX 2048
#define YWS_QUEUE_ITEMS 8

/* ---- ids, tags, clock ---- */

static inline bool yws_client_id_ok(int client_id) {
  return client_id >= 0 && client_id < YWS_CLIENT_NUM;
}
static inline bool yws_cfg_id_ok(int cfg_id) {
  return cfg_id >= 0 && cfg_id < YWS_CFG_NUM;
}
/* param1 of an event that belongs to one record: its generation above the id. */
static inline uint32_t yws_tag(uint8_t client_id, uint32_t serial) {
  return (serial << 8) | client_id;
}
static inline int yws_tag_client(uint32_t tag) {
  return static_cast<int>(tag & 0xFF);
}
static inline uint32_t yws_tag_serial(uint32_t tag) {
  return tag >> 8;
}
/* The service's clock: the platform's monotonic milliseconds. */
static inline int64_t yws_now_ms(void) {
  return static_cast<int64_t>(yv_rtos_uptime_ms());
}

/* ---- the client record ---- */

typedef struct {
  list_head list;
  ring_buffer_t data;
} ws_buffer_t;

/* A chain of chunks. A chunk drained while others still wait is kept as the
 * spare for the next append, so a busy chain stops allocating; an empty
 * chain holds nothing (an idle client pays no heap for it). */
typedef struct {
  list_head q;
  ws_buffer_t *spare;
} yws_chain_t;

/* Where an open stands in its bearer step. */
typedef enum {
  YWS_BEARER_IDLE = 0,
  YWS_BEARER_WAITING = 1,   /* waiting for the activation of pdp_cid */
  YWS_BEARER_CONNECTING = 6 /* the connect step was posted */
} yws_bearer_e;

/* Queued bytes keep the kind of their write: the transmit chain is a run of
 * text or binary bytes after another, oldest first. In stream mode
 * consecutive writes of one kind share a run and only a change of kind takes
 * a new one (at most YWS_TX_KINDS wait); in message mode each write is a run
 * of its own, one message. */
#define YWS_TX_RUNS YWS_TX_MSG_QUEUE
#define YWS_TX_KINDS 32
typedef struct {
  uint8_t prot; /* yws_write_prot_e */
  bool started; /* message mode: its first frame is out */
  int32_t len;  /* bytes of the run still unsent */
} yws_tx_run_t;

/* Buffered message mode: one message in the receive chain, oldest first. */
typedef struct {
  int32_t avail; /* its bytes in the chain, not read yet */
  uint8_t flags; /* YWS_MSG_FLAG_BINARY, YWS_MSG_FLAG_FINAL once all arrived */
  bool read_any; /* a read took part of it: the next is not FIRST */
} yws_rx_mark_t;

/* Who writes each field, beside it:
 *   [C]    the open's task at creation, before the slot is filled; fixed after
 *   [svc]  the service task alone (no other thread reads it)
 *   [S]    under the service lock; other tasks read it under that lock, the
 *          service task (which writes it) may also read it alone
 *   [S+T]  under the service lock and the transmit lock together (writers);
 *          the loop thread under the transmit lock alone; either suffices
 *          to read
 *   [T]    under the transmit lock (writers and the loop thread)
 *   [M]    under the mutex beside it, from any thread
 * A record is freed only by the service task (yws_final_do_if, or its reap
 * of one another task released), under the service lock. */
typedef struct yws_client {
  uint8_t cfg_id; /* [C] */
  /* Generation of this record (never 0): events of its library thread and
   * timers carry it so that none of them acts on a later client of the id.
   * [S]: a reconnect gives a new one. */
  uint32_t serial;
  /* [S]: started by the open's task or the retry task, removed by the
   * service task (which reads it alone once the bearer step is over). */
  yv_timer_t conn_timer;
  yv_timer_t ping_timer; /* [svc] */
  /* Bounds the wait for any sign of life after a ping (ping/timeout). [svc] */
  yv_timer_t pong_timer;
  /* Bounds an end asked of a running loop thread (close/waittime + 1 s). [svc] */
  yv_timer_t end_timer;
  struct {
    struct lws_protocols *protocols; /* [C] */
    struct lws_extension *exts;      /* [C] */
    /* The library loop of this client. [S]: writers read it under the
     * service lock to wake it. It outlives the record when the record ends
     * while the loop thread runs (orphaned, yws_loop_orphan). */
    struct yws_loop *loop;
    /* The transmit lock: tx_q, the tx counters and the kind runs, shared by
     * writers (under the service lock) and the loop thread (alone). [C] */
    yv_mutex_t tx_lock;
  } prot_ctxt;
  struct {
    struct {
      int8_t err_code; /* [M] service task; the open's task at creation */
      uint8_t cur_sta; /* [M] */
      int32_t type;    /* [M] */
      yv_mutex_t mutex;
    } conn;
    struct {
      /* [M] the loop thread (in a callback, a choked write and its end) and
       * the service task (a reconnect starts writable). */
      bool curr_is_writable;
      yv_mutex_t mutex;
    } write;
  } status;
  struct {
    struct {
      yws_chain_t tx_q;    /* [S+T] */
      int32_t tx_max_size; /* [C] */
      /* 64-bit: a long-lived connection passes 2 GiB. [S+T] */
      int64_t tx_total_size;
      int64_t tx_send_size; /* [T] the loop thread counts what it sent */
      /* Accepted bytes that will never leave: the rest of a message cut by
       * a drop before a reconnect. [S+T] */
      int64_t tx_lost;
      uint32_t tx_msgs; /* [T] messages completed on the wire */
      /* A ring of runs over the chain. [S+T] */
      yws_tx_run_t runs[YWS_TX_RUNS];
      uint8_t run_head;
      uint8_t run_count;
      bool message; /* [C] "write/message" */
    } write;
    struct {
      int64_t rx_total_size; /* [S] */
      int64_t rx_read_size;  /* [S] */
      int32_t rx_max_size;   /* [C] */
      yws_chain_t rx_q;      /* [S] */
      /* Buffered mode (data room) [S]: received pieces that do not fit the
       * receive buffer yet, oldest first, from held_off of the first block
       * on. Only a TLS record's end, delivered past a pause, lands here. */
      struct yws_rx_block *held;
      uint32_t held_off;
      /* "read/message" (data room): the piece size, 0 when off. Direct mode
       * gathers a message's bytes here [svc]; buffered mode keeps a ring of
       * marks [S]. */
      struct {
        uint32_t piece;
        uint8_t *gather;
        uint32_t gathered;
        uint8_t flags; /* of the message being gathered */
        yws_rx_mark_t *marks;
        uint16_t mark_cap;
        uint16_t mark_head;
        uint16_t mark_count;
      } msg;
    } read;
  } data;
  /* The loop thread was started: its exit event ends the record. [svc] */
  bool thread_started;
  /* [S]: the task running the bearer step and the service task. */
  uint8_t bearer; /* yws_bearer_e */
  /* The packet-data context the client runs on; 0 until its bearer step. [S] */
  uint8_t pdp_cid;
  /* The task running this open's bearer step, while it runs. [S] */
  yv_task_t bearer_task;
  /* Reconnect (client room): kept across the attempts of one caller's open. */
  struct {
    uint32_t open_serial; /* [C] the generation of the caller's open */
    uint32_t attempt;     /* [svc] attempts since the count last started over */
    uint32_t rng;         /* [svc] this client's random state */
    uint32_t delay_ms;    /* [svc] of the announced attempt; its task reads it under [S] */
    int64_t up_since_ms;  /* [svc] the current connection opened; 0 while none is up */
    bool active;          /* [S] an announced attempt has no outcome yet */
    bool waiting;         /* [S] ... and has not started its open (the retry task ends it) */
    bool stop;            /* [S] the caller closed: no further attempt */
  } reconn;
  /* Link health of the connections before the current one; the loop counts
   * the current one. [S] */
  struct {
    uint64_t rx_bytes;
    uint32_t rx_msgs;
    uint64_t wire_tx, wire_rx; /* what their sockets carried */
    int32_t ping_rtt_ms;       /* -1 before the first */
    uint32_t reconnects;
    uint32_t drops;
    int64_t opened_ms;  /* [C] the caller's open */
    int64_t last_rx_ms; /* last arrival on an earlier connection; 0 if none */
  } stats;
  /* [S] released off the service task: the next record it is to free. */
  struct yws_client *reap_next;
} yws_client_t;

/* A record's timers carry its tag as their argument. */
static inline void *yws_timer_arg(int client_id, const yws_client_t *rec) {
  return reinterpret_cast<void *>(
      static_cast<uintptr_t>(yws_tag(static_cast<uint8_t>(client_id), rec->serial)));
}

#ifdef __cplusplus
extern "C" {
#endif

/* ---- the service record ---- */

/* Creates what is missing of the service: record, queue, task (running
 * task_entry). 0 or the platform's status, YWS_ERR_NO_MEM for the record. */
int yws_core_start(int sys_mode, void (*task_entry)(void *));
/* Gives the service its lock once; false while it has none. */
bool yws_core_init(void);
/* Deletes the queue: the service task ends on its next wait. */
void yws_core_deinit(void);
/* Service task: the next event. false when the task must end. */
bool yws_core_wait(yv_event_t *ev);
bool yws_core_exists(void);
/* The service task is there to take events (no deinit since the start). */
bool yws_core_running(void);
/* A wait of up to ms for the client id's slot: false when cut short by
 * yws_core_nap_cut or a deinit. A cut made before the wait starts counts. */
bool yws_core_nap(int client_id, uint32_t ms);
/* Forgets cuts made before now. */
void yws_core_nap_reset(int client_id);
void yws_core_nap_cut(int client_id);
/* Buffered reception (YWS_SYS_MODE_BUFFERED) was chosen by the first open. */
bool yws_buffered(void);
/* The service task, 0 while there is none. */
yv_task_t yws_core_task(void);

/* ---- the client table ----
 * Slots are filled by callers' tasks and emptied by the service task while
 * others look at them: every access is atomic. A record is released only
 * under the service lock, so other tasks hold that lock while they look. */

/* The record in a slot; NULL for an id outside 0..2 or a free slot. */
yws_client_t *yws_rec(int client_id);
/* The record a tag names, if it is still that one. */
yws_client_t *yws_rec_tagged(uint32_t tag);
/* Fills a free slot (caller holds the service lock); false when taken. */
bool yws_slot_fill(int client_id, yws_client_t *rec);
void yws_slot_clear(int client_id);
bool yws_client_specific_id_is_occupied(uint8_t client_id);
/* A client of the profile exists and is not idle (the busy rule). */
bool yws_client_specific_id_is_busy(int cfg_id);

/* ---- record status (its own mutexes) ---- */

typedef enum { YWS_STATUS_STATE = 0, YWS_STATUS_ERR = 1, YWS_STATUS_TYPE = 2 } yws_status_e;

int yws_state(yws_client_t *rec);
int yws_status_read(yws_client_t *rec, yws_status_e which);
void yws_status_set(yws_client_t *rec, uint8_t state, uint32_t err, uint32_t type);
void yws_writable_set(yws_client_t *rec, bool writable);
bool yws_writable(yws_client_t *rec);

/* ---- events ---- */

/* Posts {id, p1, p2, p3}; waits while the queue is full (never for the
 * service task's own posts: the queue's contract). */
void yws_post(uint32_t id, uint32_t p1, uint32_t p2, uint32_t p3);

/* ---- close cause of each id ---- */

/* A new open of the id: nothing recorded. */
void yws_cause_open(int client_id);
/* Records a cause unless one is already recorded. */
void yws_cause_set(int client_id, yws_close_cause_e cause);
/* Records the cause of an end that has none yet from how it is notified. */
void yws_cause_settle(int client_id, int32_t type, int32_t err);
/* The server's valid close frame: cause PEER unless one is recorded, and its
 * code and reason (n bytes) unless a code is recorded. */
void yws_cause_peer(int client_id, int code, const char *reason, size_t n);
/* What failed, for an end that is or becomes NETWORK: an HTTP status of a
 * refused upgrade (0 otherwise) and a short text, `what` followed by up to
 * detail_len bytes of `detail`; the first one stays. No formatting: the loop
 * thread's stack is small. */
void yws_cause_network(int client_id, int code, const char *what, const char *detail = nullptr,
                       size_t detail_len = SIZE_MAX);
/* PROTOCOL unless another cause is recorded; true when PROTOCOL stands. */
bool yws_cause_protocol(int client_id);
yws_err_e yws_cause_get(int client_id, int *cause, int *peer_code, char *reason);

/* ---- small helpers ---- */

/* n bytes of s and a NUL, from the platform allocator; NULL without memory. */
char *yws_str_copy(const char *s, size_t n);
/* Stops and deletes the timer if there is one; *timer becomes 0. */
void yws_timer_remove(yv_timer_t *timer);

/* UTF-8 (yws_utf8.cpp). Decoder state carried across the pieces of a text. */
typedef struct {
  uint8_t need; /* continuation bytes still expected */
  uint8_t lo;   /* bounds of the next continuation byte */
  uint8_t hi;
} yws_utf8_t;
#define YWS_UTF8_START \
  { 0, 0x80, 0xBF }
/* Length of the sequence a lead byte starts; 0 for a continuation or a byte
 * no sequence starts with. */
int32_t yws_utf8_seq_len(unsigned char c);
/* Advances the decoder over len bytes; false on an invalid byte. *tail is the
 * offset where an unfinished code point starts (len if none started there). */
bool yws_utf8_scan(yws_utf8_t *st, const uint8_t *p, size_t len, size_t *tail);
bool yws_utf8_valid(const uint8_t *p, size_t len);
/* Cuts text at the end of its last complete sequence; n when the bytes end
 * on a boundary or are not valid UTF-8 there. */
int32_t yws_utf8_cut(const unsigned char *p, int32_t n);

/* Buffer chains (yws_chain.cpp): chunks of up to 2048 bytes; callers hold
 * the lock that guards the chain. No linked chunk is empty. */
void yws_chain_init(yws_chain_t *c);
static inline bool yws_chain_empty(const yws_chain_t *c) {
  return list_empty(&c->q) != 0;
}
int yws_chain_append(yws_chain_t *c, const char *data, int32_t len);
/* Removes up to *len bytes from the front into data; *len becomes the count. */
void yws_chain_pull(yws_chain_t *c, char *data, int32_t *len);
int32_t yws_chain_peek(yws_chain_t *c, char *data, int32_t len);
/* Removes up to len bytes from the front unread; the number removed. */
int32_t yws_chain_drop(yws_chain_t *c, int32_t len);
/* Frees every chunk and the spare; the chain is empty and usable after. */
void yws_chain_release(yws_chain_t *c);

#ifdef __cplusplus
}
#endif

/* ---- locks and their order ----
 * Everything a thread can block on has a rank, and a thread takes or waits
 * on something only when its rank is above everything that thread holds, so
 * no set of threads can wait on one another in a cycle. The rank table, its
 * names and the checker are in yws_rank.cpp; docs/ARCHITECTURE.md shows the
 * order. A wait that may last (a post into a full queue, a retry's nap) is
 * ranked lowest: it is made holding nothing. The pass of a client's loop
 * ranks like a lock: its thread holds it while it runs lws_service, and a
 * task that parks the loop holds it while parked. */
typedef enum {
  YWS_RANK_NONE = 0,
  YWS_RANK_NAP = 1,     /* a retry task's wait for its delay */
  YWS_RANK_QUEUE = 2,   /* a post's wait for room in the full queue */
  YWS_RANK_PROFILE = 3, /* the profile lock */
  YWS_RANK_SERVICE = 4, /* the service lock */
  YWS_RANK_START = 5,   /* the start lock */
  YWS_RANK_PASS = 6,    /* a loop's pass: 6, 7, 8 for clients 0, 1, 2 */
  YWS_RANK_RECORD = 9,  /* a loop's hold on its client record */
  YWS_RANK_GATE = 10,   /* a loop's gate */
  YWS_RANK_TX = 11,     /* a record's transmit lock */
  YWS_RANK_STATUS = 12, /* a record's status mutexes (never two at once) */
  YWS_RANK_HEADERS = 13,
  YWS_RANK_STAGE = 14, /* a loop's stage lock */
  YWS_RANK_CAUSE = 15,
  YWS_RANK_MAX = 16
} yws_rank_e;

static inline yws_rank_e yws_rank_pass(int client_id) {
  return static_cast<yws_rank_e>(YWS_RANK_PASS + (yws_client_id_ok(client_id) ? client_id : 0));
}

/* The checker is built in test builds (YWS_LOCK_ORDER) and does nothing
 * otherwise. A take out of order ends the program at once, naming both ranks
 * and the thread. */
bool yws_rank_checking(void);
void yws_rank_take(yws_rank_e rank);
void yws_rank_drop(yws_rank_e rank);
/* A wait that holds nothing once it is over (a post, a nap): only checked. */
void yws_rank_wait(yws_rank_e rank);
/* The rank's name, "?" for none. */
const char *yws_rank_name(yws_rank_e rank);

/* Every lock of the service goes through these, with its rank. */
void yws_lock(yv_mutex_t m, yws_rank_e rank);
void yws_unlock(yv_mutex_t m, yws_rank_e rank);

/* Process-wide locks. */
typedef enum {
  YWS_GLOCK_START = 0,   /* service creation, its queue and task, their end */
  YWS_GLOCK_PROFILE = 1, /* the profiles; taken before the service lock */
  YWS_GLOCK_HEADERS = 2, /* the header lists */
  YWS_GLOCK_CAUSE = 3,   /* close causes */
  YWS_GLOCK_MAX = 4
} yws_glock_e;

/* Made during static initialisation; a creation that failed then is tried
 * again here. 0 only while the platform cannot make a mutex at all. */
yv_mutex_t yws_glock(yws_glock_e which);
yws_rank_e yws_glock_rank(yws_glock_e which);
/* The service lock; 0 before the service has one (no record exists then).
 * It guards both chains of every client with their counters, the release of
 * a record and the loop pointer writers wake. */
yv_mutex_t yws_service_mutex(void);

class yws_mutex_guard {
 public:
  yws_mutex_guard(yv_mutex_t m, yws_rank_e rank) : m_(m), rank_(rank) {
    if (m_) yws_lock(m_, rank_);
  }
  ~yws_mutex_guard() {
    if (m_) yws_unlock(m_, rank_);
  }
  yws_mutex_guard(const yws_mutex_guard &) = delete;
  yws_mutex_guard &operator=(const yws_mutex_guard &) = delete;

 private:
  yv_mutex_t m_;
  yws_rank_e rank_;
};

class yws_glock_guard : public yws_mutex_guard {
 public:
  explicit yws_glock_guard(yws_glock_e which)
      : yws_mutex_guard(yws_glock(which), yws_glock_rank(which)) {}
};

class yws_service_lock : public yws_mutex_guard {
 public:
  yws_service_lock() : yws_mutex_guard(yws_service_mutex(), YWS_RANK_SERVICE) {}
};

#endif
