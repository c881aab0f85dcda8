/*
 * The loop room's own header: the loop block and everything that touches
 * libwebsockets. Only files of api/loop/ include it.
 */
#ifndef YWS_LOOP_IMPL_H
#define YWS_LOOP_IMPL_H

#include <libwebsockets.h>

#include <atomic>

#include "yv_ws_private.h"
#include "yws_loop.h"

#define YWS_LWS_PRE 16
#define YWS_RX_RESUME_MARK 3072
/* The library sizes a per-context table by the highest socket number it may
 * see (the process limit by default: 320 KiB a client on a host). A socket
 * numbered at or above this fails to connect; a module sets its own ceiling. */
#define YWS_LWS_FD_LIMIT 1024

typedef enum {
  YWS_LOOP_NO_THREAD = 0,
  YWS_LOOP_RUNNING = 1,
  YWS_LOOP_EXITED = 2,  /* thread ended and posted its exit event */
  YWS_LOOP_ORPHANED = 3 /* record released while the thread ran */
} yws_loop_state_e;

/* A numeric address in text, IPv6 included; a literal host fits as it is. */
#define YWS_ADDR_MAX (YWS_URL_HOST_MAX + 1)
/* Room for the per-message deflate offer of the upgrade request. */
#define YWS_DEFLATE_OFFER_MAX 128
/* Inflated bytes one compressed message may reach: past it the connection
 * fails with 1009, whatever the ratio, so a few KiB that would inflate to
 * gigabytes cost a bounded time and the usual receive memory. */
#define YWS_DEFLATE_RX_MAX (1024 * 1024)

/* Control events staged in one pass; a pass makes a handful at most. */
#define YWS_STAGE_MAX 16
/* Bytes of a batch block (a larger piece gets a block of its own size). */
#define YWS_RX_BLOCK_SIZE 8192
/* Batched bytes at which the library's delivery pauses until the service
 * task takes the batch: a slow callback must not grow the heap without end. */
#define YWS_RX_BATCH_MAX 16384

/* The keepalive ping's body, sent with its zero byte; a pong that echoes it
 * answers the ping. */
#define YWS_PING_BODY "yavorin_ping_body"

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

/* The loop room's part of a client record. Who writes each field, beside it:
 *   [C]    at creation (yws_loop_part_new); fixed after
 *   [svc]  the service task alone
 *   [S]    under the service lock (readers on other tasks hold it too)
 *   [S+T]  under the service lock and the transmit lock together (writers);
 *          the loop thread under the transmit lock alone; either suffices
 *          to read
 *   [T]    under the transmit lock (writers and the loop thread) */
struct yws_loop_part {
  struct lws_protocols *protocols; /* [C] */
  struct lws_extension *exts;      /* [C] */
  /* The library loop of this client. [S]: writers read it under the
   * service lock to wake it. It outlives the record when the record ends
   * while the loop thread runs (orphaned, yws_loop_orphan). */
  struct yws_loop *loop;
  /* The loop thread was started: its exit event ends the record. [svc] */
  bool thread_started;
  /* What the connect step gives each loop: the receive buffer's bytes and
   * whether "read/message" is on. [C] */
  int32_t rx_max;
  bool msg_mode;
  /* The transmit lock: the chain, its counters and the kind runs, shared by
   * writers (under the service lock) and the loop thread (alone). [C] */
  yv_mutex_t tx_lock;
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
};

typedef struct yws_connect_req {
  yws_url_t url;
  char protocol[YWS_SUBPROT_MAX + 1];
  bool has_protocol;
  /* Loop thread: the numeric address, empty when the lookup failed. */
  char address[YWS_ADDR_MAX];
} yws_connect_req_t;

struct yws_loop {
  /* First member: the context's user pointer is this block and the info. */
  lws_plat_user_info_t info;
  uint32_t serial;
  uint8_t client_id;
  struct lws_context *context;
  struct lws *wsi; /* NULL once the library destroyed the connection */
  bool buffered;
  /* "read/message" is on: pieces carry their message flags, and an empty
   * final frame still makes a piece. */
  bool msg_mode;
  /* Loop thread: a piece of the current message was batched already. */
  bool msg_open;
  /* "conn/deflate": the window bits offered (0: none), the extension table
   * the context points at and the offer it carries. */
  uint8_t deflate_bits;
  struct lws_extension deflate_ext[2];
  char deflate_offer[YWS_DEFLATE_OFFER_MAX];
  /* Loop thread: the inflater owes output for input it already took. While
   * delivery is paused with output owed the library keeps the connection
   * on its drain list and would poll without waiting: the loop waits on
   * inflate_wake instead (deflate connections only). */
  bool inflate_owed = false;
  std::atomic<bool> inflate_held{false};
  unsigned char inflate_scratch[8];
  yv_sem_t inflate_wake = 0;
  /* The message being written: one per client, used by the loop thread only. */
  unsigned char tx_buf[YWS_LWS_PRE + YWS_TX_MSG_MAX];
  int32_t rx_high;
  int32_t rx_resume;

  std::atomic<bool> force_exit{false};
  std::atomic<bool> drop_events{false};
  /* A user close: set by the service task before it parks or stops the loop. */
  std::atomic<bool> user_close{false};
  /* ... with a closing handshake: send the rest, then the close frame. */
  std::atomic<bool> close_requested{false};
  /* Loop thread only: our close frame is out; the answer completes the close. */
  bool close_sent = false;
  /* The server's close frame arrived with nothing left unsent. */
  std::atomic<bool> close_clean{false};
  /* The loop may send: the service task has seen the connection open. */
  std::atomic<bool> tx_ready{false};
  /* A writer queued data into an idle chain: ask for WRITEABLE. */
  std::atomic<bool> tx_kick{false};
  /* The service task is delivering a batch: a kick from inside one of its
   * notifications waits for the batch's end, one wake-up for all. */
  std::atomic<bool> delivering{false};
  std::atomic<bool> kick_deferred{false};
  /* Received bytes not yet read by the user (buffered mode). */
  std::atomic<int32_t> rx_pending{0};
  std::atomic<bool> rx_paused{false};
  /* Bytes of pieces batched and not yet taken by the service task. */
  std::atomic<uint32_t> rx_batched{0};
  /* Link health of this connection (loop thread counts, others read). */
  std::atomic<uint64_t> rx_bytes{0};
  std::atomic<uint32_t> rx_msgs{0};
  /* What the socket carried when last looked at (yws_wire.cpp). */
  std::atomic<uint64_t> wire_tx{0};
  std::atomic<uint64_t> wire_rx{0};
  std::atomic<bool> wire_counted{false};
  /* When the ping waiting for its pong went out (service task), 0 when none
   * waits; the pong's round trip (-1 before the first). */
  std::atomic<int64_t> ping_sent_ms{0};
  std::atomic<int32_t> ping_rtt_ms{-1};
  /* Set on the loop thread: an end that retrying cannot mend (an upgrade
   * refused with a 4xx status, a server certificate refused). */
  std::atomic<bool> no_retry{false};
  /* TLS level of the connection (0 without TLS). */
  int tls_level = 0;
  bool tls = false;
  bool tls_stamped = false;        /* while parked, or on the loop thread */
  std::atomic<bool> tls_up{false}; /* the upgrade completed */

  /* What the loop thread connects to, filled before it starts: the lookup
   * and the connect run there, never on the service task. Freed once the
   * library has the request: an idle client does not keep it. */
  struct yws_connect_req *req = nullptr;
  /* The profile's extra headers, copied by the connect step: the handshake
   * appends them without taking the profile's locks. The loop thread's once
   * it starts; freed with the block. */
  yws_headers_t *headers = nullptr;
  int ssl_flags;
  uint32_t lookup_ms; /* the connect timeout, 0 for none */

  /* The record lock: the loop's hold on its client record. The protocol
   * callback holds it while it runs (rec_depth counts nested callbacks, on
   * whichever thread may call the library), so that a release that takes it
   * knows no callback reads the record any more: from then on `detached`
   * stands and no callback looks at the record again. It also keeps sock_fd,
   * the connection's socket while the library has one, for the wire query. */
  yv_mutex_t rec_m = 0;
  int rec_depth = 0;
  bool detached = false;
  int sock_fd = -1;
  /* Service task to loop thread: start the closing handshake of a user
   * close (close_wait_s: the library's limit for it), send a ping. The loop
   * thread does both itself, so the service task never waits for a pass. */
  std::atomic<bool> close_start{false};
  uint8_t close_wait_s = 0;
  std::atomic<bool> ping_due{false};
  std::atomic<int64_t> ping_due_ms{0};

  /* The gate (platform mutex) guards the fields below. A waiter counts
   * itself, lets go of the gate and takes its semaphore; whoever ends what it
   * waits for gives one token per counted waiter. */
  yv_mutex_t gate_m;
  int api_waiters = 0;
  bool in_pass = false;
  yws_loop_state_e state = YWS_LOOP_NO_THREAD;
  /* The thread is in its lookup, outside the library and every lock. */
  bool resolving = false;
  /* Service task side: waiting for the pass to end. */
  int pass_waiters = 0;
  yv_sem_t pass_done;
  /* Loop thread: parked until the last API waiter leaves. */
  bool loop_parked = false;
  yv_sem_t gate_open;

  /* The stage lock (platform mutex): staged events and the batches. */
  yv_mutex_t stage_m;
  yv_event_t staged[YWS_STAGE_MAX];
  int staged_n;
  yws_rx_block_t *rx_head; /* batched pieces, oldest first */
  yws_rx_block_t *rx_tail;
  yws_rx_block_t *rx_spare; /* a drained block kept for the next batch */
  bool rx_announced;        /* a receive event for the batch is staged or queued */
};

/* Destroys the context if it still exists (its callbacks post nothing) and
 * frees the block. Only when no thread runs on it. */
void yws_loop_free(yws_loop *loop);
/* Releases the record side: when the thread still runs, it takes the block
 * over (destroys the context, frees the block) and true is returned; false
 * means the caller must free it with yws_loop_free. Never waits for a pass:
 * only for the callback in progress, which waits on nothing without end. */
bool yws_loop_orphan(yws_loop *loop);
/* Any frame from the server arrived (loop thread). */
void yws_alive(int client_id);
/* NULL when it cannot be allocated. */
yws_loop *yws_loop_new(uint8_t client_id, uint32_t serial);
/* Starts the "wsservice" thread; returns the platform status. */
int yws_loop_start_thread(yws_loop *loop, yv_task_t *task);
/* Wakes the loop from another thread (lws_cancel_service). */
void yws_loop_wake(yws_loop *loop);

/* Called from the protocol callback: where its events go. Never blocks,
 * never allocates; a full ring drops the event with a trace. */
void yws_loop_stage(yws_loop *loop, const yv_event_t *ev);
/* Copies up to max staged events out (oldest first) and empties the ring. */
int yws_loop_take_staged(yws_loop *loop, yv_event_t *out, int max);
/* Appends a piece to the batch; stages the receive event when the batch was
 * not announced yet. -1 when no block can be had (the piece is dropped). */
int yws_loop_rx_put(yws_loop *loop, uint32_t id, const void *in, size_t len);
/* The same for one piece made of two parts, copied one after the other. */
int yws_loop_rx_put2(yws_loop *loop, uint32_t id, const void *in, size_t in_len, const void *more,
                     size_t more_len, uint32_t flags = 0);

/* Writes one frame (a caller allowed to call the library); with the pipe
 * choked the client reads unwritable, set before the caller asks for the
 * WRITEABLE that ends it, so the loop cannot answer first. lws_write's
 * result. */
int yws_write_frame(yws_loop *loop, struct lws *wsi, unsigned char *p, size_t n,
                    enum lws_write_protocol kind, bool *choked);
/* Loop thread, inside its pass: asks for WRITEABLE when data was queued. */
void yws_tx_apply_kick(yws_loop *loop);
/* Loop thread: LWS_CALLBACK_CLIENT_WRITEABLE of the client's connection;
 * sends one message, or the close frame once everything is out. The
 * callback's result. */
int yws_tx_writeable(yws_loop *loop, struct lws *wsi);
/* Loop thread: the server's close frame arrived; the callback's result. */
int yws_tx_peer_close(yws_loop *loop);

/* ---- connect step (yws_connect.cpp) ---- */

/* Loop thread, before its first pass, holding nothing: resolves the host
 * through the platform (numeric addresses need no lookup). */
void yws_loop_resolve(yws_loop *loop);
/* Loop thread, inside its first pass: the connection to the resolved
 * address; false when there is none (the failure is staged). */
bool yws_loop_connect(yws_loop *loop);
/* Frees the connect request once nothing needs it. */
void yws_loop_req_free(yws_loop *loop);

/* Library thread, LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER: appends the
 * connect step's copy of the profile's headers within the room the library
 * gives (in: its write pointer, len: the room). 0; 1 when one did not fit;
 * YWS_ERR_INVAL_PARM for a bad room or no headers. */
int yws_add_http_header_by_name(struct lws *wsi, void *in, size_t len, const yws_headers_t *hd);
/* Library thread: the protocol callback of every client connection. */
int yws_client_prot_callback(struct lws *wsi, enum lws_callback_reasons reason, void *user,
                             void *in, size_t len);

/* ---- checks of what the server sends (yws_rx_check.cpp) ----
 * Receive state of each client id: written by its loop thread, reset by an
 * open before that thread exists. */

/* ---- what the socket carried (yws_wire.cpp) ---- */

/* Takes the socket's counts before the connection `wsi` lets it go (loop
 * thread, at the connection's end). */
void yws_wire_sample(yws_loop *loop, struct lws *wsi);
/* Loop thread, in a callback (record lock held): the connection's socket
 * is known now (fd), or about to go (-1). */
void yws_wire_socket(yws_loop *loop, int fd);

/* The server's close frame: non-zero when it breaks the protocol and the
 * connection must be dropped. */
int yws_peer_close(int client_id, struct lws *wsi, const void *in, size_t len);
/* Received data: checks text for UTF-8 and batches what may be delivered;
 * non-zero fails the connection. */
int yws_rx_data(struct yws_loop *loop, struct lws *wsi, void *in, size_t len);

/* ---- receive flow control (yws_rxflow.cpp) ----
 * rx_pending counts what the library delivered and nobody has read yet
 * (buffered mode: bytes and message marks); rx_batched what the service task
 * has not taken. Pausing and resuming happen on the loop thread only. */

/* Connect step: the marks for a receive buffer of rx_max bytes. */
void yws_rxflow_init(yws_loop *loop, int32_t rx_max);
/* Loop thread, LWS_CALLBACK_CLIENT_RECEIVE: counts a delivered piece and
 * pauses the library when the pause rule holds. */
void yws_rxflow_piece(yws_loop *loop, struct lws *wsi, size_t len);
/* Loop thread: a message's first piece was batched (message mode); its mark
 * counts against the receive buffer in buffered mode. */
void yws_rxflow_mark(yws_loop *loop);
/* Loop thread, after each pass: a pause left for later, or the resume. */
void yws_rxflow_pass_end(yws_loop *loop);
bool yws_rxflow_paused(const yws_loop *loop);
/* Loop thread: our close frame is out, so received data goes nowhere: the
 * caller ended the client and the answer must not wait behind a full buffer. */
bool yws_rxflow_discard(const yws_loop *loop);

/* Per-message deflate (yws_deflate.cpp). Fills the loop's extension table
 * for `bits` (9..15); false when its wake-up cannot be created. */
bool yws_deflate_setup(struct yws_loop *loop, uint8_t bits);
/* LWS_CALLBACK_WS_EXT_DEFAULTS: our zlib sizes for the negotiated extension. */
void yws_deflate_defaults(struct yws_loop *loop, const char *ext, char *out, size_t len);
/* LWS_CALLBACK_ESTABLISHED_CLIENT_HTTP: non-zero refuses the server's
 * extension answer (traced why). */
int yws_deflate_check_answer(struct yws_loop *loop, struct lws *wsi);
/* The error a library close event carries: YWS_ERR_PROT_FAIL after a
 * violation. With wsi (a websocket end on the loop thread) it also tells a
 * library verdict on what the server sent from a drop by the network. */
uint32_t yws_closed_err(int client_id, struct lws *wsi);

/* Whoever may call the library for the loop, around what reads the client
 * record: takes the record lock at the outermost level (callbacks nest).
 * false, holding nothing, once the record was released. */
bool yws_loop_rec_enter(yws_loop *loop);
void yws_loop_rec_leave(yws_loop *loop);

/* The socket's counts for the wire query, read under the record lock while
 * the connection has its socket; the caller holds the service lock. */
/* How long a park waits for the pass in progress. A pass the wake-up does
 * not end within this is stuck: nobody may wait on it without end. */
#define YWS_PARK_WAIT_MS 250

/* Holds the loop parked for the service task's own library calls. The wait
 * for the pass is bounded: parked() tells whether it was had, and the
 * caller skips its library call when it was not. */
class yws_loop_guard {
 public:
  explicit yws_loop_guard(yws_loop *loop, uint32_t wait_ms = YWS_PARK_WAIT_MS);
  ~yws_loop_guard();
  bool parked() const { return parked_; }
  yws_loop_guard(const yws_loop_guard &) = delete;
  yws_loop_guard &operator=(const yws_loop_guard &) = delete;

 private:
  yws_loop *loop_;
  bool parked_;
};

#endif
