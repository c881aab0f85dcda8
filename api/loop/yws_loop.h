/*
 * The loop room: the library side of a client. Its libwebsockets context,
 * the "wsservice" thread that services it, the connect step, the protocol
 * callback, the transmit path and the checks of what the server sends, all
 * of which run on that thread, and the gate through which the service task
 * makes its own library calls.
 *
 * Who may call the library, from which thread:
 * - The loop thread, inside its pass (lws_service and the callbacks it makes):
 *   everything, for its own context. Data leaves here: the transmit chain is
 *   sent from LWS_CALLBACK_CLIENT_WRITEABLE, one message per callback, and
 *   the closing handshake of a user close is made here too.
 * - The service task: only while it holds a yws_loop_guard (the loop is
 *   parked between passes; the wait for the pass in progress is bounded),
 *   or before the thread starts / after it ended. A keepalive ping and the
 *   start of a user close are asked of the loop thread instead, so that the
 *   service task never waits for a pass that may not end.
 * - Any thread: yws_loop_wake (lws_cancel_service) while the context lives;
 *   callers do it under the service lock, which keeps the context alive.
 *
 * Locks nest in the order of their ranks (yws_rank_e, checked on every take
 * in test builds): service lock -> pass -> record lock (rec_m) -> gate
 * (gate_m) -> transmit lock (the record's tx_lock) -> status mutexes ->
 * stage lock. Inside a pass the loop thread takes only the record lock and
 * what ranks above it, none of which is held while waiting for anything
 * that may not end; it posts to the queue only between passes, holding
 * nothing, so a full queue or a slow user callback on the service task can
 * delay it but never wedge it (the service task's own posts never block:
 * the queue's contract in yv_rtos.h).
 *
 * Callbacks never post into the queue from inside a library call: they stage
 * their events in a fixed ring here and the loop thread posts them after the
 * pass. Received pieces go into batches (blocks from the platform allocator
 * holding many pieces); one receive event announces a batch, and the service
 * task takes every piece that arrived up to then. No allocation per piece on
 * the hot path: a drained block is kept for the next batch.
 *
 * The loop block and this room's part of a client record are opaque outside
 * this room (yws_loop_impl.h holds them and everything of the library);
 * other rooms reach them through the operations below.
 *
 * The block outlives the client record when the bearer is lost while the
 * thread runs: the thread then destroys the context and frees the block.
 */
#ifndef YWS_LOOP_H
#define YWS_LOOP_H

#include <cstddef>
#include <cstdint>

#include "yws_config.h"
#include "yws_core.h"

struct yws_loop;

/* A batch block: pieces back to back, each a yws_rx_piece_t, its bytes, a
 * zero byte, padded to 8. */
typedef struct yws_rx_block {
  struct yws_rx_block *next;
  uint32_t used; /* bytes of pieces */
  uint32_t cap;
} yws_rx_block_t;

typedef struct {
  uint32_t id; /* the receive event it stands for */
  uint32_t len;
  uint32_t flags; /* message mode: YWS_MSG_FLAG_* of the piece; 0 otherwise */
} yws_rx_piece_t;

/* Buffered message mode: what one message's mark costs against the receive
 * buffer, so that flow control bounds the marks as it bounds the bytes. */
#define YWS_RX_MARK_COST 32

/* Asks the thread to end and wakes it. */
void yws_loop_stop(yws_loop *loop);

/* The thread runs (it has not posted its exit). */
bool yws_loop_running(yws_loop *loop);

/* The thread is still in its lookup: nothing ends it until the lookup
 * returns, so the record is released without waiting (yws_loop_release). */
bool yws_loop_resolving(yws_loop *loop);

/* Destroys the context on the calling thread with event posting dropped. */
void yws_loop_destroy_context(yws_loop *loop);

/* Service task, around the delivery of a batch: kicks made inside it wake
 * the loop once, at its end. */
void yws_loop_deliver_begin(yws_loop *loop);
void yws_loop_deliver_end(yws_loop *loop);

/* Takes every batched piece (a chain of blocks) and ends the announcement,
 * so the next piece announces a new batch. */
yws_rx_block_t *yws_loop_rx_take(yws_loop *loop);
/* Gives taken blocks back: one is kept for reuse, the rest freed. */
void yws_loop_rx_recycle(yws_loop *loop, yws_rx_block_t *blocks);

/* Frees a chain of blocks. */
void yws_rx_free_chain(yws_rx_block_t *blocks);
/* Walks the pieces of a block: *off starts at 0; NULL at the end. */
const yws_rx_piece_t *yws_rx_next_piece(const yws_rx_block_t *b, uint32_t *off, const char **data);

/* Any thread, under the service lock: wakes the client's loop to send what
 * the transmit chain holds. */
void yws_tx_kick(int client_id);
/* Service task: a user close is complete only when every accepted byte went
 * out and the server answered the close; YWS_ERR_TIMEDOUT otherwise. */
int32_t yws_user_close_result(yws_client_t *rec);
/* Accepted bytes still waiting to leave (the limit counts them). */
int64_t yws_tx_queued(yws_client_t *rec);
/* No loop runs for the record: the rest of a message that had partly left
 * (message mode) is dropped, since it cannot follow on another connection;
 * the bytes dropped. */
int32_t yws_tx_drop_cut(yws_client_t *rec);

/* Service task: creates the client's context and starts its loop thread,
 * which resolves the host and connects. YWS_OK, or the error the open ends
 * with (the caller ends it). A lookup or connect that fails later ends the
 * open through a staged CONNECTION_ERROR with YWS_ERR_PROT_FAIL. */
yws_err_e yws_client_do_connect(int client_id);

/* A new open of the id: nothing received, no violation, no text open. */
void yws_rx_check_open(int client_id);
/* When anything last arrived from the server (yws_now_ms), 0 before that. */
int64_t yws_last_rx_ms(int client_id);

/* Milliseconds since the client's socket last received anything, server
 * pings the library answers itself included; -1 when unknown (a loop that
 * cannot be parked within YWS_PARK_WAIT_MS too). Service task. */
int64_t yws_loop_quiet_ms(yws_loop *loop);

/* The socket's counts now, or as last taken once it is gone; false when the
 * IP stack cannot tell. Never parks the loop; the caller holds the service
 * lock. */
bool yws_wire_read(yws_loop *loop, uint64_t *tx, uint64_t *rx);

/* Any thread that keeps the loop alive (service lock, or the service task):
 * n bytes or marks were read or given up; wakes a paused loop once the
 * resume rule holds. n = 0 only checks (a batch was taken). */
void yws_rxflow_credit(yws_loop *loop, int32_t n);

/* Service task: ask the loop thread to start the closing handshake of a
 * user close (limit wait_s seconds) or to send a keepalive ping; it does so
 * after its pass. false when no thread runs to do it. */
bool yws_loop_ask_close(yws_loop *loop, uint8_t wait_s);
bool yws_loop_ask_ping(yws_loop *loop, int64_t now_ms);

/* ---- the loop room's part of a record (yws_loop_part.cpp) ---- */

/* Makes the record's part from its profile: the library's protocol table
 * (ours, with the sub-protocol's name when it is enabled), the extension
 * table's room, the transmit chain and its lock. false without memory; what
 * was made goes with yws_loop_part_free. */
bool yws_loop_part_new(yws_client_t *rec, int client_id, const yws_cfg_t *cfg);
/* Frees the part, what its transmit chain holds included; the loop was let
 * go already (yws_loop_release). */
void yws_loop_part_free(yws_client_t *rec);
/* The record's loop; NULL before the connect step made one and after it was
 * let go. Other tasks read it under the service lock. */
yws_loop *yws_loop_of(const yws_client_t *rec);
/* The loop thread was started: its exit event ends the record. */
bool yws_loop_started(const yws_client_t *rec);
/* Caller holds the service lock: the record lets its loop go. A thread that
 * still runs (bearer lost) takes its block over and ends without touching
 * the record again. */
void yws_loop_release(yws_client_t *rec);

/* What the transmit side counted: accepted, sent and lost bytes, the
 * messages completed on the wire. */
typedef struct {
  int64_t total;
  int64_t sent;
  int64_t lost;
  uint32_t msgs;
} yws_tx_counts_t;
/* Reads them under the transmit lock; the caller holds the service lock. */
void yws_tx_counts(yws_client_t *rec, yws_tx_counts_t *out);

/* ---- what other rooms ask of a loop ---- */

/* The library's log level (the service's start). */
void yws_loop_log_level(int level);
/* The library context exists (it is destroyed once). */
bool yws_loop_has_context(const yws_loop *loop);
/* A user close started its closing handshake: reads may not end it. */
bool yws_loop_closing(const yws_loop *loop);
/* An end that retrying cannot mend (a refused certificate, a 4xx upgrade). */
bool yws_loop_no_retry(const yws_loop *loop);
/* Marks a user close (before the loop is asked to close or stopped). */
void yws_loop_user_close(yws_loop *loop);

/* What the connection counted so far: payload received, its messages, the
 * last ping round trip (-1: none), the socket's bytes. */
typedef struct {
  uint64_t rx_bytes;
  uint32_t rx_msgs;
  int32_t ping_rtt_ms;
  uint64_t wire_tx, wire_rx;
} yws_loop_counts_t;
/* Reads them (any thread that keeps the loop alive). */
void yws_loop_counts(const yws_loop *loop, yws_loop_counts_t *out);
/* Takes them, leaving the loop's at zero (-1 for the round trip): the
 * connection ended and the record folds them in. */
void yws_loop_take_counts(yws_loop *loop, yws_loop_counts_t *out);

#endif
