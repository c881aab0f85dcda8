/*
 * A client's library loop: the "wsservice" thread, the gate that parks it for
 * the service task's library calls, and the staging of callback events.
 */
#include "yws_loop_impl.h"

#include <cstring>
#include <new>

#include "yv_net.h"

void yws_loop_thread(void *arg);

namespace {

constexpr uint32_t kPieceAlign = 8;

uint32_t yws_piece_span(size_t len) {
  size_t n = sizeof(yws_rx_piece_t) + len + 1;
  return static_cast<uint32_t>((n + kPieceAlign - 1) & ~static_cast<size_t>(kPieceAlign - 1));
}

void yws_loop_discard_staged(yws_loop *loop) {
  {
    yws_mutex_guard lk(loop->stage_m, YWS_RANK_STAGE);
    loop->staged_n = 0;
  }
  yws_rx_free_chain(yws_loop_rx_take(loop));
}

/* Posts what the callbacks staged, in order. May block on a full queue, so
 * it runs holding nothing. */
void yws_loop_flush(yws_loop *loop) {
  yv_event_t out[YWS_STAGE_MAX];
  int n = yws_loop_take_staged(loop, out, YWS_STAGE_MAX);
  for (int i = 0; i < n; i++) yv_ws_task_send_message(&out[i]);
}

/* What the service task asked of the loop, made inside its pass where
 * library calls are allowed: the closing handshake's start, a ping. */
void yws_loop_apply_asks(yws_loop *loop) {
  if (loop->close_start.exchange(false) && loop->wsi) {
    lws_set_timeout(loop->wsi, PENDING_TIMEOUT_USER_OK, loop->close_wait_s);
    lws_callback_on_writable(loop->wsi);
  }
  if (loop->ping_due.exchange(false) && loop->wsi && !loop->close_requested.load() &&
      yws_loop_rec_enter(loop)) {
    unsigned char buf[YWS_LWS_PRE + sizeof(YWS_PING_BODY)];
    std::memcpy(buf + YWS_LWS_PRE, YWS_PING_BODY, sizeof(YWS_PING_BODY));
    bool choked = false;
    int64_t asked = loop->ping_due_ms.load();
    /* Set first: the pong can only come after the write. */
    loop->ping_sent_ms = asked;
    int ret = yws_write_frame(loop, loop->wsi, buf + YWS_LWS_PRE, sizeof(YWS_PING_BODY),
                              LWS_WRITE_PING, &choked);
    if (choked) lws_callback_on_writable(loop->wsi);
    if (ret < 0) {
      loop->ping_sent_ms = 0;
      YWS_TRACE("PING ERROR(%d)", loop->client_id);
      yv_event_t ev = {YWS_MSG_TYPE_TO_CLOSE_CLIENT, yws_tag(loop->client_id, loop->serial),
                       YWS_ERR_NET_FAIL, 0};
      yws_loop_stage(loop, &ev);
    }
    yws_loop_rec_leave(loop);
  }
}

/* How long a loop paused with inflated output owed waits for a wake-up. */
constexpr uint32_t kInflateHeldMs = 100;

/* Passes a batch may wait for while the socket has more. */
constexpr int kReadAhead = 4;

/* Only the announcement of a batch is staged, the batch is well below the
 * size at which delivery pauses, and the library reads (a paused one would
 * leave the loop waiting on a socket it does not poll). */
bool yws_loop_batch_only(yws_loop *loop) {
  yws_mutex_guard lk(loop->stage_m, YWS_RANK_STAGE);
  return loop->staged_n == 1 && loop->staged[0].id == YWS_MSG_TYPE_LWS_CLIENT_RECEIVE &&
         loop->rx_batched.load() < YWS_RX_BATCH_MAX / 2 && !yws_rxflow_paused(loop);
}

void yws_loop_delete_locks(yws_loop *loop) {
  if (loop->rec_m) yv_rtos_mutex_delete(loop->rec_m);
  if (loop->stage_m) yv_rtos_mutex_delete(loop->stage_m);
  if (loop->gate_m) yv_rtos_mutex_delete(loop->gate_m);
  if (loop->pass_done) yv_rtos_sem_delete(loop->pass_done);
  if (loop->inflate_wake) yv_rtos_sem_delete(loop->inflate_wake);
  if (loop->gate_open) yv_rtos_sem_delete(loop->gate_open);
}

/* Service task side, gate held on entry and on return: waits up to ms until
 * the loop thread is out of its pass; false when it was not. The caller
 * counted itself in api_waiters, so the thread cannot start another pass
 * meanwhile. */
bool yws_gate_wait_pass(yws_loop *loop, uint32_t ms) {
  if (!loop->in_pass) return true;
  yws_loop_wake(loop);
  loop->pass_waiters++;
  yws_unlock(loop->gate_m, YWS_RANK_GATE);
  bool ended = yv_rtos_sem_take(loop->pass_done, ms) == YV_OSI_SUCCESS;
  yws_lock(loop->gate_m, YWS_RANK_GATE);
  if (ended) return true;
  if (loop->pass_waiters > 0) {
    loop->pass_waiters--; /* withdrawn before the pass counted us */
    return false;
  }
  /* The pass ended between the timeout and the gate: its token is there. */
  (void)yv_rtos_sem_take(loop->pass_done, 0);
  return true;
}

/* Gate held: one API waiter leaves; the last one lets a parked thread go. */
void yws_gate_leave(yws_loop *loop) {
  if (--loop->api_waiters > 0 || !loop->loop_parked) return;
  loop->loop_parked = false;
  yv_rtos_sem_give(loop->gate_open);
}

}  // namespace

void yws_rx_free_chain(yws_rx_block_t *b) {
  while (b) {
    yws_rx_block_t *next = b->next;
    yv_mem_free(b);
    b = next;
  }
}

yws_loop *yws_loop_new(uint8_t client_id, uint32_t serial) {
  void *mem = yv_mem_alloc(sizeof(yws_loop));
  if (!mem) return nullptr;
  auto *loop = new (mem) yws_loop();
  if (yv_rtos_mutex_create(&loop->rec_m) != YV_OSI_SUCCESS ||
      yv_rtos_mutex_create(&loop->stage_m) != YV_OSI_SUCCESS ||
      yv_rtos_mutex_create(&loop->gate_m) != YV_OSI_SUCCESS ||
      yv_rtos_sem_create(&loop->pass_done, 0) != YV_OSI_SUCCESS ||
      yv_rtos_sem_create(&loop->gate_open, 0) != YV_OSI_SUCCESS) {
    yws_loop_delete_locks(loop);
    loop->~yws_loop();
    yv_mem_free(mem);
    return nullptr;
  }
  loop->client_id = client_id;
  loop->serial = serial;
  loop->info.config.client_id = client_id;
  return loop;
}

void yws_loop_destroy_context(yws_loop *loop) {
  loop->drop_events = true;
  {
    yws_mutex_guard rl(loop->rec_m, YWS_RANK_RECORD);
    loop->sock_fd = -1;
  }
  if (loop->context) {
    lws_context_destroy(loop->context);
    loop->context = nullptr;
  }
  loop->wsi = nullptr;
  yws_loop_discard_staged(loop);
}

void yws_loop_free(yws_loop *loop) {
  if (!loop) return;
  yws_loop_destroy_context(loop);
  yws_loop_req_free(loop);
  yv_mem_free(loop->headers);
  loop->headers = nullptr;
  yws_rx_free_chain(loop->rx_spare);
  yws_loop_delete_locks(loop);
  loop->~yws_loop();
  yv_mem_free(loop);
}

int yws_loop_start_thread(yws_loop *loop, yv_task_t *task) {
  {
    yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
    loop->state = YWS_LOOP_RUNNING;
    loop->resolving = true;
  }
  YvOSStatus st =
      yv_rtos_task_create(task, 6144, APP_PRIORITY_NORMAL, "wsservice", yws_loop_thread, loop, 5);
  if (st != YV_OSI_SUCCESS) {
    yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
    loop->state = YWS_LOOP_NO_THREAD;
  }
  return st;
}

void yws_loop_wake(yws_loop *loop) {
  if (loop->context) lws_cancel_service(loop->context);
  if (loop->inflate_held.load()) yv_rtos_sem_give(loop->inflate_wake);
}

void yws_loop_stop(yws_loop *loop) {
  yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
  loop->force_exit = true;
  if (loop->state == YWS_LOOP_RUNNING) yws_loop_wake(loop);
}

bool yws_loop_running(yws_loop *loop) {
  yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
  return loop->state == YWS_LOOP_RUNNING;
}

bool yws_loop_resolving(yws_loop *loop) {
  yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
  return loop->state == YWS_LOOP_RUNNING && loop->resolving;
}

bool yws_loop_orphan(yws_loop *loop) {
  /* The record lock first: the callback in progress, if any, ends before the
   * record goes, and the thread cannot free the block before we let go. */
  yws_mutex_guard rl(loop->rec_m, YWS_RANK_RECORD);
  yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
  if (loop->state != YWS_LOOP_RUNNING) return false;
  loop->state = YWS_LOOP_ORPHANED;
  loop->detached = true;
  loop->sock_fd = -1;
  loop->force_exit = true;
  loop->drop_events = true;
  yws_loop_wake(loop);
  return true;
}

bool yws_loop_rec_enter(yws_loop *loop) {
  if (loop->rec_depth++ == 0) yws_lock(loop->rec_m, YWS_RANK_RECORD);
  if (!loop->detached) return true;
  yws_loop_rec_leave(loop);
  return false;
}

void yws_loop_rec_leave(yws_loop *loop) {
  if (--loop->rec_depth == 0) yws_unlock(loop->rec_m, YWS_RANK_RECORD);
}

bool yws_loop_ask_close(yws_loop *loop, uint8_t wait_s) {
  yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
  if (loop->state != YWS_LOOP_RUNNING || loop->force_exit) return false;
  loop->close_wait_s = wait_s;
  loop->close_requested = true;
  loop->close_start = true;
  yws_loop_wake(loop);
  return true;
}

bool yws_loop_ask_ping(yws_loop *loop, int64_t now_ms) {
  yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
  if (loop->state != YWS_LOOP_RUNNING || loop->force_exit) return false;
  loop->ping_due_ms = now_ms;
  loop->ping_due = true;
  yws_loop_wake(loop);
  return true;
}

namespace {

void yws_stage_event(yws_loop *loop, const yv_event_t *ev) {
  if (loop->drop_events) return;
  bool lost = false;
  {
    yws_mutex_guard lk(loop->stage_m, YWS_RANK_STAGE);
    if (loop->staged_n < YWS_STAGE_MAX)
      loop->staged[loop->staged_n++] = *ev;
    else
      lost = true;
  }
  if (lost) YWS_TRACE("staged event %u lost", ev->id);
}

}  // namespace

void yws_loop_stage(yws_loop *loop, const yv_event_t *ev) {
  yws_stage_event(loop, ev);
  /* The library's own timers (a close that timed out) run before its poll:
   * without a wake-up the loop would sleep on with the event unposted. */
  if (!loop->drop_events && loop->context) lws_cancel_service(loop->context);
}

int yws_loop_take_staged(yws_loop *loop, yv_event_t *out, int max) {
  yws_mutex_guard lk(loop->stage_m, YWS_RANK_STAGE);
  int n = loop->staged_n < max ? loop->staged_n : max;
  std::memcpy(out, loop->staged, sizeof(yv_event_t) * static_cast<size_t>(n));
  loop->staged_n = 0;
  return n;
}

int yws_loop_rx_put(yws_loop *loop, uint32_t id, const void *in, size_t len) {
  return yws_loop_rx_put2(loop, id, in, len, nullptr, 0);
}

int yws_loop_rx_put2(yws_loop *loop, uint32_t id, const void *in, size_t in_len, const void *more,
                     size_t more_len, uint32_t flags) {
  if (loop->drop_events) return 0;
  if (in_len > 0x7FFFFFF0u || more_len > 0x7FFFFFF0u - in_len) return -1;
  size_t len = in_len + more_len;
  uint32_t span = yws_piece_span(len);
  yws_rx_block_t *fresh = nullptr;
  bool announce = false;
  for (;;) {
    {
      yws_mutex_guard lk(loop->stage_m, YWS_RANK_STAGE);
      yws_rx_block_t *b = loop->rx_tail;
      if (!b || b->cap - b->used < span) {
        if (!fresh && loop->rx_spare && loop->rx_spare->cap >= span) {
          fresh = loop->rx_spare;
          loop->rx_spare = nullptr;
        }
        if (fresh) {
          fresh->next = nullptr;
          fresh->used = 0;
          if (b)
            b->next = fresh;
          else
            loop->rx_head = fresh;
          loop->rx_tail = b = fresh;
          fresh = nullptr;
        }
      }
      if (b && b->cap - b->used >= span) {
        auto *base = reinterpret_cast<char *>(b + 1) + b->used;
        auto *piece = reinterpret_cast<yws_rx_piece_t *>(base);
        piece->id = id;
        piece->len = static_cast<uint32_t>(len);
        piece->flags = flags;
        if (in_len) std::memcpy(base + sizeof(*piece), in, in_len);
        if (more_len) std::memcpy(base + sizeof(*piece) + in_len, more, more_len);
        base[sizeof(*piece) + len] = '\0';
        b->used += span;
        loop->rx_batched += span;
        announce = !loop->rx_announced;
        loop->rx_announced = true;
        break;
      }
    }
    /* Allocated outside the leaf lock; the next round links it. */
    uint32_t cap = span > YWS_RX_BLOCK_SIZE ? span : YWS_RX_BLOCK_SIZE;
    fresh = static_cast<yws_rx_block_t *>(yv_mem_alloc(sizeof(yws_rx_block_t) + cap));
    if (!fresh) {
      YWS_TRACE("received piece dropped: %u bytes", static_cast<unsigned>(len));
      return -1;
    }
    fresh->cap = cap;
  }
  if (fresh) yv_mem_free(fresh);
  if (announce) {
    /* One event kind for every batch: the pieces carry their own kinds. */
    yv_event_t ev = {YWS_MSG_TYPE_LWS_CLIENT_RECEIVE, yws_tag(loop->client_id, loop->serial), 0, 0};
    /* Pieces arrive while the library services a socket: the pass ends
     * after them, no wake-up needed. */
    yws_stage_event(loop, &ev);
  }
  return 0;
}

yws_rx_block_t *yws_loop_rx_take(yws_loop *loop) {
  yws_mutex_guard lk(loop->stage_m, YWS_RANK_STAGE);
  yws_rx_block_t *b = loop->rx_head;
  loop->rx_head = loop->rx_tail = nullptr;
  loop->rx_announced = false;
  loop->rx_batched = 0;
  return b;
}

void yws_loop_rx_recycle(yws_loop *loop, yws_rx_block_t *blocks) {
  if (!blocks) return;
  {
    yws_mutex_guard lk(loop->stage_m, YWS_RANK_STAGE);
    if (!loop->rx_spare && blocks->cap == YWS_RX_BLOCK_SIZE) {
      loop->rx_spare = blocks;
      blocks = blocks->next;
      loop->rx_spare->next = nullptr;
    }
  }
  yws_rx_free_chain(blocks);
}

const yws_rx_piece_t *yws_rx_next_piece(const yws_rx_block_t *b, uint32_t *off, const char **data) {
  if (*off >= b->used) return nullptr;
  const char *base = reinterpret_cast<const char *>(b + 1) + *off;
  auto *piece = reinterpret_cast<const yws_rx_piece_t *>(base);
  *data = base + sizeof(*piece);
  *off += yws_piece_span(piece->len);
  return piece;
}

yws_loop_guard::yws_loop_guard(yws_loop *loop, uint32_t wait_ms) : loop_(loop), parked_(false) {
  /* A parked loop is held like its pass. */
  yws_rank_take(yws_rank_pass(loop->client_id));
  yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
  loop->api_waiters++;
  parked_ = yws_gate_wait_pass(loop, wait_ms);
  if (!parked_) {
    YWS_TRACE("loop %d: pass did not end within %u ms", loop->client_id, (unsigned)wait_ms);
    yws_gate_leave(loop);
  }
}

yws_loop_guard::~yws_loop_guard() {
  if (!parked_) {
    yws_rank_drop(yws_rank_pass(loop_->client_id));
    return;
  }
  uint8_t client_id = loop_->client_id;
  bool running, orphaned, staged;
  {
    yws_mutex_guard lk(loop_->gate_m, YWS_RANK_GATE);
    running = loop_->state == YWS_LOOP_RUNNING;
    orphaned = loop_->state == YWS_LOOP_ORPHANED;
    {
      yws_mutex_guard sk(loop_->stage_m, YWS_RANK_STAGE);
      staged = loop_->staged_n > 0;
    }
    /* Last: an orphaned loop's thread frees the block once the gate opens. */
    yws_gate_leave(loop_);
  }
  yws_rank_drop(yws_rank_pass(client_id));
  if (!staged || orphaned) return;
  /* Our calls made callbacks: the loop thread posts them after a short pass;
   * with no thread left the service task posts them to itself. */
  if (running)
    yws_loop_wake(loop_);
  else
    yws_loop_flush(loop_);
}

void yws_loop_thread(void *arg) {
  auto *loop = static_cast<yws_loop *>(arg);
  /* Outside any pass: a record released meanwhile does not wait for it. */
  yws_loop_resolve(loop);
  bool connect = true;
  int held = 0;
  const yws_rank_e pass = yws_rank_pass(loop->client_id);
  for (;;) {
    /* More is waiting on the socket behind a batch: read it into the same
     * batch first, so the service task is woken once for all of it. */
    if (held < kReadAhead && yws_loop_batch_only(loop) && loop->wsi &&
        yv_socket_readable(lws_get_socket_fd(loop->wsi)) == 1) {
      held++;
    } else {
      held = 0;
      yws_loop_flush(loop);
    }
    /* Paused with inflated output owed: the library would not wait in its
     * poll. Writers, the reader and the service task wake us; the timeout
     * lets the library's own timers and a choked socket's rest go on. */
    if (loop->inflate_held.load() && yws_rxflow_paused(loop))
      (void)yv_rtos_sem_take(loop->inflate_wake, kInflateHeldMs);
    {
      yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
      /* Parkers hold the loop only for a few library calls. */
      while (loop->api_waiters > 0) {
        loop->loop_parked = true;
        yws_unlock(loop->gate_m, YWS_RANK_GATE);
        yv_rtos_sem_take(loop->gate_open, YV_WAIT_FOREVER);
        yws_lock(loop->gate_m, YWS_RANK_GATE);
      }
      if (loop->force_exit) break;
      loop->in_pass = true;
    }
    yws_rank_take(pass);
    if (!connect)
      lws_service(loop->context, 500);
    else if (!yws_loop_connect(loop))
      loop->force_exit = true; /* after its failure is posted */
    connect = false;
    yws_rxflow_pass_end(loop);
    yws_loop_apply_asks(loop);
    yws_tx_apply_kick(loop);
    yws_rank_drop(pass);
    {
      yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
      loop->in_pass = false;
      for (; loop->pass_waiters > 0; loop->pass_waiters--) yv_rtos_sem_give(loop->pass_done);
    }
  }
  yws_loop_flush(loop);
  uint8_t client_id = loop->client_id;
  uint32_t serial = loop->serial;
  bool orphaned;
  {
    /* As the orphaning does: record lock, then gate. */
    yws_mutex_guard rl(loop->rec_m, YWS_RANK_RECORD);
    yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
    orphaned = loop->state == YWS_LOOP_ORPHANED;
    if (!orphaned) loop->state = YWS_LOOP_EXITED;
  }
  /* Once EXITED is visible the service task owns the block: touch nothing of
   * it. An orphaned block is ours to destroy. */
  if (orphaned) yws_loop_free(loop);
  YWS_TRACE("service exit\n");
  if (!orphaned) yws_post(YWS_MSG_TYPE_LWS_THREAD_EXIT, yws_tag(client_id, serial), 0, 0);
  yv_rtos_task_delete(0);
}

bool yws_loop_closing(const yws_loop *loop) {
  return loop->close_requested.load();
}

bool yws_loop_no_retry(const yws_loop *loop) {
  return loop->no_retry.load();
}

void yws_loop_user_close(yws_loop *loop) {
  loop->user_close = true;
}

bool yws_loop_has_context(const yws_loop *loop) {
  return loop->context != nullptr;
}
