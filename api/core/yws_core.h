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

/* Each room's part of a record is defined and written in that room alone;
 * core holds only what every room needs and a pointer to each part. */
struct yws_loop_part;   /* loop room: library tables, the loop, the transmit chain */
struct yws_data_part;   /* data room: what was received and is not read yet */
struct yws_client_part; /* client room: bearer step, timers, reconnect, statistics */

/* Who writes each field, beside it:
 *   [C]    at creation, before the slot is filled; fixed after
 *   [S]    under the service lock; other tasks read it under that lock, the
 *          service task (which writes it) may also read it alone
 *   [M]    under the mutex beside it, from any thread
 * A record is freed only by the service task (yws_final_do_if, or its reap
 * of one another task released), under the service lock. */
typedef struct yws_client {
  uint8_t cfg_id; /* [C] */
  /* Generation of this record (never 0): events of its library thread and
   * timers carry it so that none of them acts on a later client of the id.
   * [S]: a reconnect gives a new one (yws_rec_regenerate). */
  uint32_t serial;
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
  /* [C] each made and freed by its room (yws_<room>_part_new/_free). */
  struct {
    struct yws_loop_part *loop;
    struct yws_data_part *data;
    struct yws_client_part *client;
  } part;
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

/* ---- the record's core ---- */

/* A record of the profile in state CONNECTING with its status mutexes and a
 * new generation, no parts yet; NULL without memory or mutexes. */
yws_client_t *yws_rec_new(uint8_t cfg_id);
/* Frees the core of a record whose parts are freed. */
void yws_rec_free(yws_client_t *rec);
/* A new generation (service lock held): late events of the old one are stale. */
void yws_rec_regenerate(yws_client_t *rec);

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
