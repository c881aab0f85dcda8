/*
 * Transmit path: callers queue bytes in the client's transmit chain and wake
 * the client's loop; the loop thread sends them from its writable callback,
 * one message of at most 2048 bytes per callback, and after a user close the
 * close frame once everything accepted is out.
 */
#include <algorithm>

#include "yws_loop_impl.h"

namespace {

int64_t yws_unsent(const yws_client_t *rec) {
  const auto &w = rec->part.loop->write;
  return w.tx_total_size - w.tx_send_size - w.tx_lost;
}

/* Caller holds the transmit lock or the service lock: bytes or, in message
 * mode, messages (empty ones too) wait to be sent. */
bool yws_tx_pending(const yws_client_t *rec) {
  return yws_unsent(rec) > 0 ||
         (rec->part.loop->write.message && rec->part.loop->write.run_count > 0);
}

/* Caller holds the transmit lock. Stream mode: bytes of a write of `prot`
 * join the newest run when it has that kind. Message mode: every write takes
 * a run. False when none is free. */
bool yws_tx_run_room(const yws_client_t *rec, uint8_t prot) {
  const auto &w = rec->part.loop->write;
  if (w.message) return w.run_count < YWS_TX_RUNS;
  if (w.run_count == 0) return true;
  const yws_tx_run_t &last = w.runs[(w.run_head + w.run_count - 1) % YWS_TX_RUNS];
  return last.prot == prot || w.run_count < YWS_TX_KINDS;
}

void yws_tx_run_add(yws_client_t *rec, uint8_t prot, int32_t len) {
  auto &w = rec->part.loop->write;
  if (w.run_count > 0 && !w.message) {
    yws_tx_run_t &last = w.runs[(w.run_head + w.run_count - 1) % YWS_TX_RUNS];
    if (last.prot == prot) {
      last.len += len;
      return;
    }
  }
  w.runs[(w.run_head + w.run_count) % YWS_TX_RUNS] = {prot, false, len};
  w.run_count++;
}

void yws_tx_run_pop(yws_client_t *rec) {
  auto &w = rec->part.loop->write;
  w.run_head = static_cast<uint8_t>((w.run_head + 1) % YWS_TX_RUNS);
  w.run_count--;
}

/* n bytes of the oldest run went out. */
void yws_tx_run_sent(yws_client_t *rec, int32_t n) {
  auto &w = rec->part.loop->write;
  while (n > 0 && w.run_count > 0) {
    yws_tx_run_t &first = w.runs[w.run_head];
    int32_t k = n < first.len ? n : first.len;
    first.len -= k;
    n -= k;
    if (first.len > 0) break;
    yws_tx_run_pop(rec);
  }
}

/* Caller holds the service lock, which keeps the context alive for the wake. */
void yws_kick_locked(yws_loop *loop) {
  if (loop->tx_kick.exchange(true)) return;
  if (loop->delivering.load() && yv_rtos_task_self() == yws_core_task()) {
    loop->kick_deferred = true;
    return;
  }
  yws_loop_wake(loop);
}

}  // namespace

void yws_loop_deliver_begin(yws_loop *loop) {
  loop->delivering = true;
}

void yws_loop_deliver_end(yws_loop *loop) {
  loop->delivering = false;
  /* The service task keeps the context alive: no lock needed to wake it. */
  if (loop->kick_deferred.exchange(false)) yws_loop_wake(loop);
}

int32_t yv_ws_write_proc(int32_t client_id, yws_parm_t *parm_t) {
  if (!parm_t || !yws_core_exists()) return YWS_ERR_GENERIC;
  bool was_empty;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec(client_id);
    if (!rec) return YWS_ERR_GENERIC;
    if (parm_t->size < 0 || (!parm_t->data && parm_t->size > 0) ||
        (parm_t->type != YWS_WRITE_PROT_TEXT && parm_t->type != YWS_WRITE_PROT_BIN))
      return YWS_ERR_INVAL_PARM;
    auto &w = rec->part.loop->write;
    {
      yws_mutex_guard tl(rec->part.loop->tx_lock, YWS_RANK_TX);
      int64_t unsent = yws_unsent(rec);
      YWS_TRACE("yws pos: %lld, %lld, %d", static_cast<long long>(w.tx_total_size),
                static_cast<long long>(w.tx_send_size), w.tx_max_size);
      /* Written so that nothing can overflow: unsent never exceeds the limit. */
      if (parm_t->size > w.tx_max_size - unsent) return YWS_ERR_NO_MEM;
      auto prot = static_cast<uint8_t>(parm_t->type);
      /* Too many changes of kind (or messages) queued: like a full buffer,
       * until some go out. */
      bool counts = parm_t->size > 0 || w.message;
      if (counts && !yws_tx_run_room(rec, prot)) return YWS_ERR_NO_MEM;
      was_empty = !yws_tx_pending(rec);
      if (yws_chain_append(&w.tx_q, reinterpret_cast<const char *>(parm_t->data), parm_t->size) !=
          0)
        return YWS_ERR_NO_MEM;
      if (counts) yws_tx_run_add(rec, prot, parm_t->size);
      w.tx_total_size += parm_t->size;
      was_empty = was_empty && counts;
    }
    /* A loop that is sending asks for the next callback itself while data
     * waits; only one that may have gone idle needs waking. */
    yws_loop *loop = rec->part.loop->loop;
    if (loop && was_empty && loop->tx_ready.load()) yws_kick_locked(loop);
  }
  YWS_TRACE("flag:%d", was_empty ? 1 : 0);
  return YWS_OK;
}

void yws_tx_kick(int client_id) {
  if (!yws_core_exists()) return;
  yws_service_lock lk;
  yws_client_t *rec = yws_rec(client_id);
  if (!rec || !rec->part.loop->loop) return;
  yws_loop *loop = rec->part.loop->loop;
  if (yws_state(rec) == YWS_CONN_STA_CONNECTED) loop->tx_ready = true;
  if (loop->tx_ready.load()) yws_kick_locked(loop);
}

void yws_tx_apply_kick(yws_loop *loop) {
  if (loop->tx_kick.exchange(false) && loop->wsi) lws_callback_on_writable(loop->wsi);
}

int yws_write_frame(yws_loop *loop, struct lws *wsi, unsigned char *p, size_t n,
                    enum lws_write_protocol kind, bool *choked) {
  int ret = lws_write(wsi, p, n, kind);
  *choked = ret >= 0 && lws_send_pipe_choked(wsi);
  if (*choked) {
    /* The library sends the rest itself and calls back when it is out. */
    if (yws_client_t *rec = yws_rec(loop->client_id)) yws_writable_set(rec, false);
    YWS_TRACE("UNWRITABLE(%d)", loop->client_id);
  }
  return ret;
}

namespace {

/* Sends the next piece of the oldest message (message mode): one frame of at
 * most 2048 bytes, the first with the message's kind, the rest continuations,
 * the last with FIN. false when nothing waited; *ret is lws_write's. */
bool yws_tx_send_message_frame(yws_loop *loop, yws_client_t *rec, struct lws *wsi, int *ret) {
  auto &w = rec->part.loop->write;
  unsigned char *buf = loop->tx_buf + YWS_LWS_PRE;
  int32_t n;
  bool first, fin, text;
  {
    yws_mutex_guard tl(rec->part.loop->tx_lock, YWS_RANK_TX);
    if (w.run_count == 0) return false;
    const yws_tx_run_t &run = w.runs[w.run_head];
    n = yws_chain_peek(&w.tx_q, reinterpret_cast<char *>(buf),
                       std::min<int32_t>(run.len, YWS_TX_MSG_MAX));
    first = !run.started;
    fin = n == run.len;
    text = run.prot != YWS_WRITE_PROT_BIN;
  }
  int kind = first ? (text ? LWS_WRITE_TEXT : LWS_WRITE_BINARY) : LWS_WRITE_CONTINUATION;
  if (!fin) kind |= LWS_WRITE_NO_FIN;
  bool choked;
  *ret = yws_write_frame(loop, wsi, buf, static_cast<size_t>(n),
                         static_cast<enum lws_write_protocol>(kind), &choked);
  YWS_TRACE("write msg ret=%d,%d fin=%d", *ret, n, fin ? 1 : 0);
  if (*ret < 0) return true;
  bool more;
  {
    yws_mutex_guard tl(rec->part.loop->tx_lock, YWS_RANK_TX);
    int32_t dropped = yws_chain_drop(&w.tx_q, n);
    yws_tx_run_t &run = w.runs[w.run_head];
    run.len -= dropped;
    run.started = true;
    if (fin) yws_tx_run_pop(rec);
    if (fin) w.tx_msgs++;
    w.tx_send_size += dropped;
    more = yws_tx_pending(rec);
  }
  if (more || loop->close_requested.load()) lws_callback_on_writable(wsi);
  return true;
}

}  // namespace

int yws_tx_writeable(yws_loop *loop, struct lws *wsi) {
  yws_client_t *rec = yws_rec(loop->client_id);
  if (!rec || rec->part.loop->loop != loop) return 0;
  if (!loop->tx_ready.load() && !loop->close_requested.load()) return 0;
  /* Nothing may follow our close frame; later writes stay unsent and the
   * close reports them. */
  if (loop->close_sent) return 0;
  auto &w = rec->part.loop->write;
  if (w.message) {
    int ret = 0;
    if (yws_tx_send_message_frame(loop, rec, wsi, &ret)) return ret < 0 ? -1 : 0;
  }
  unsigned char *buf = loop->tx_buf + YWS_LWS_PRE;
  int32_t n = 0;
  int64_t unsent;
  int32_t run_left = 0;
  bool text = false;
  {
    yws_mutex_guard tl(rec->part.loop->tx_lock, YWS_RANK_TX);
    unsent = yws_tx_pending(rec) ? 1 : 0;
    if (unsent > 0 && w.run_count > 0 && !w.message) {
      /* A message never crosses into bytes of another kind. */
      const yws_tx_run_t &run = w.runs[w.run_head];
      run_left = run.len;
      n = std::min<int32_t>(run_left, YWS_TX_MSG_MAX);
      n = yws_chain_peek(&w.tx_q, reinterpret_cast<char *>(buf), n);
      text = run.prot != YWS_WRITE_PROT_BIN;
    }
  }
  if (n > 0) {
    /* Only a message that leaves bytes of its run behind is cut: the rest of
     * a character follows in the next one. */
    if (text && run_left > n) n = yws_utf8_cut(buf, n);
    bool choked;
    int ret = yws_write_frame(loop, wsi, buf, static_cast<size_t>(n),
                              text ? LWS_WRITE_TEXT : LWS_WRITE_BINARY, &choked);
    YWS_TRACE("write ret=%d,%d", ret, n);
    /* The connection is going (the library refuses writes once the server
     * closed): the bytes stay counted unsent, and a user close reports them. */
    if (ret < 0) return -1;
    bool more;
    {
      yws_mutex_guard tl(rec->part.loop->tx_lock, YWS_RANK_TX);
      int32_t dropped = yws_chain_drop(&w.tx_q, n);
      yws_tx_run_sent(rec, dropped);
      w.tx_msgs++;
      w.tx_send_size += dropped;
      more = yws_tx_pending(rec);
    }
    if (more || loop->close_requested.load()) lws_callback_on_writable(wsi);
    return 0;
  }
  if (loop->close_requested.load() && !loop->close_sent && unsent == 0) {
    unsigned char *c = loop->tx_buf + YWS_LWS_PRE;
    c[0] = LWS_CLOSE_STATUS_NORMAL >> 8;
    c[1] = LWS_CLOSE_STATUS_NORMAL & 0xFF;
    loop->close_sent = true;
    /* Written as a frame of our own (the library's private opcode 4, which
     * its own close uses) rather than through lws_close_reason: the library
     * then reports the server's answer as WS_PEER_INITIATED_CLOSE, the only
     * way to tell an answered close from its timer running out. */
    int ret = lws_write(wsi, c, 2, static_cast<enum lws_write_protocol>(4));
    YWS_TRACE("close sent ret=%d", ret);
    if (ret < 0) return -1;
  }
  return 0;
}

int yws_tx_peer_close(yws_loop *loop) {
  yws_client_t *rec = yws_rec(loop->client_id);
  if (rec && rec->part.loop->loop == loop) {
    yws_mutex_guard tl(rec->part.loop->tx_lock, YWS_RANK_TX);
    if (!yws_tx_pending(rec)) loop->close_clean = true;
  }
  /* Our close frame is answered: end now, without a second close frame.
   * Otherwise the library answers the server's close itself. */
  return loop->close_sent ? -1 : 0;
}

int32_t yws_user_close_result(yws_client_t *rec) {
  yws_loop *loop = rec->part.loop->loop;
  if (!loop || !loop->user_close.load()) return YWS_OK;
  bool pending;
  {
    yws_mutex_guard tl(rec->part.loop->tx_lock, YWS_RANK_TX);
    pending = yws_tx_pending(rec);
  }
  if (pending) return YWS_ERR_TIMEDOUT;
  if (loop->close_requested.load() && !loop->close_clean.load()) return YWS_ERR_TIMEDOUT;
  return YWS_OK;
}

int64_t yws_tx_queued(yws_client_t *rec) {
  yws_mutex_guard tl(rec->part.loop->tx_lock, YWS_RANK_TX);
  return yws_unsent(rec);
}

int32_t yws_tx_drop_cut(yws_client_t *rec) {
  auto &w = rec->part.loop->write;
  yws_mutex_guard tl(rec->part.loop->tx_lock, YWS_RANK_TX);
  if (!w.message || w.run_count == 0 || !w.runs[w.run_head].started) return 0;
  int32_t cut = yws_chain_drop(&w.tx_q, w.runs[w.run_head].len);
  yws_tx_run_pop(rec);
  w.tx_lost += cut;
  return cut;
}

int32_t yv_ws_client_cancel(void *client_hndl, int32_t reason) {
  (void)client_hndl;
  (void)reason;
  return YWS_OK;
}
