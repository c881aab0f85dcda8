/*
 * Receive path: each received piece goes to the callback (direct mode) or
 * into the client's receive chain for yv_ws_read_proc (buffered mode); and
 * the service-wide push-notification flag of the command layer.
 */
#include "yws_data_part.h"

namespace {

/* The command layer's push-notification flag, under the service lock. */
bool g_urc_high = false;
char *g_urc_remaining = nullptr;

/* Bytes the library delivered but nobody will read: let flow control know. */
void yws_rx_forget(yws_client_t *rec, int32_t size) {
  if (yws_loop *loop = yws_loop_of(rec)) yws_rxflow_credit(loop, size);
}

/* Buffered mode, service lock held: the piece fits the receive buffer now
 * (its bytes, and a mark for it in message mode). */
bool yws_rx_fits(yws_client_t *rec, int32_t size, uint32_t flags) {
  auto &r = *rec->part.data;
  if (size > r.rx_max_size - (r.rx_total_size - r.rx_read_size)) return false;
  return !r.msg.marks || yws_msg_mark_room(rec, flags);
}

/* Buffered mode, service lock held: one piece that fits into the receive
 * chain (with its message's mark when "read/message" is on). true when the
 * chain had nothing waiting before it; false for a piece that could not be
 * kept (no memory). */
bool yws_rx_store(yws_client_t *rec, const char *data, int32_t size, uint32_t flags,
                  bool *was_empty) {
  auto &r = *rec->part.data;
  bool msg = r.msg.marks != nullptr;
  int32_t cost = msg && (flags & YWS_MSG_FLAG_FIRST) ? YWS_RX_MARK_COST : 0;
  *was_empty = yws_chain_empty(&r.rx_q) && !(msg && yws_msg_waiting(rec));
  bool kept =
      msg ? yws_msg_store(rec, data, size, flags) : yws_chain_append(&r.rx_q, data, size) == 0;
  if (!kept) {
    YWS_TRACE("received piece dropped: %d bytes", size);
    yws_rx_forget(rec, size + cost);
    return false;
  }
  r.rx_total_size += size;
  return true;
}

/* The first piece that went into an empty chain. */
struct yws_rx_first {
  const char *data = nullptr;
  int32_t size = 0;
  bool found = false;
};

/* Buffered mode, service lock held: moves held pieces into the receive chain,
 * in order, while they fit. Blocks it emptied go to *drained, to be given
 * back once nothing points into them. */
void yws_rx_unhold(yws_client_t *rec, yws_rx_first *first, yws_rx_block_t **drained) {
  auto &r = *rec->part.data;
  while (r.held) {
    uint32_t off = r.held_off;
    const char *data;
    const yws_rx_piece_t *p = yws_rx_next_piece(r.held, &off, &data);
    if (!p) {
      yws_rx_block_t *b = r.held;
      r.held = b->next;
      r.held_off = 0;
      b->next = *drained;
      *drained = b;
      continue;
    }
    auto size = static_cast<int32_t>(p->len);
    bool pong = p->id == YWS_MSG_TYPE_LWS_CLIENT_RECEIVE_PONG;
    if (!pong && !yws_rx_fits(rec, size, p->flags)) return;
    r.held_off = off;
    bool was_empty = false;
    if (!pong && yws_rx_store(rec, data, size, p->flags, &was_empty) && was_empty && !first->found)
      *first = {data, size, true};
  }
}

/* Gives blocks back to the loop for reuse, or frees them without one. */
void yws_rx_recycle(yws_client_t *rec, yws_rx_block_t *blocks) {
  if (yws_loop *loop = rec ? yws_loop_of(rec) : nullptr)
    yws_loop_rx_recycle(loop, blocks);
  else
    yws_rx_free_chain(blocks);
}

/* Buffered mode: the whole batch under one hold of the service lock, behind
 * whatever is held; the piece that found nothing waiting is notified after
 * it, as before. */
void yws_rx_store_batch(int32_t client_id, yws_client_t *rec, yws_rx_block_t *blocks) {
  yws_rx_first first;
  yws_rx_block_t *drained = nullptr;
  {
    yws_service_lock lk;
    auto &r = *rec->part.data;
    yws_rx_block_t **tail = &r.held;
    while (*tail) tail = &(*tail)->next;
    *tail = blocks;
    yws_rx_unhold(rec, &first, &drained);
  }
  if (first.found)
    yws_notify(client_id, rec->cfg_id, YWS_CB_TYPE_RECV,
               reinterpret_cast<uint8_t *>(const_cast<char *>(first.data)), first.size,
               rec->cfg_id);
  /* A user callback cannot release the record, but stay safe if it did. */
  yws_rx_recycle(yws_rec(client_id) == rec ? rec : nullptr, drained);
}

/* Direct mode: each piece to the callback, or gathered into messages. Only
 * this task releases records, so no lock is needed to look at this one. */
void yws_rx_notify_batch(int32_t client_id, yws_client_t *rec, yws_rx_block_t *blocks) {
  for (yws_rx_block_t *b = blocks; b; b = b->next) {
    uint32_t off = 0;
    const char *data;
    while (const yws_rx_piece_t *p = yws_rx_next_piece(b, &off, &data)) {
      if (p->id == YWS_MSG_TYPE_LWS_CLIENT_RECEIVE_PONG)
        YWS_TRACE("yws received pong: %.80s", data);
      else if (rec->part.data->msg.gather)
        yws_msg_deliver(client_id, rec, data, p->len, p->flags);
      else
        yws_notify(client_id, rec->cfg_id, YWS_CB_TYPE_RECV,
                   reinterpret_cast<uint8_t *>(const_cast<char *>(data)),
                   static_cast<int32_t>(p->len), rec->cfg_id);
    }
  }
}

}  // namespace

void yws_rx_batch_event(int32_t client_id) {
  /* The service task owns the record's loop pointer: no lock needed to read
   * it, and the block lives until this task releases the record. */
  yws_client_t *rec = yws_rec(client_id);
  yws_loop *loop = rec ? yws_loop_of(rec) : nullptr;
  if (!loop) return;
  yws_rx_block_t *blocks = yws_loop_rx_take(loop);
  /* Delivery paused on a full batch resumes on the loop thread; wake it (the
   * context lives while this task holds the record). */
  yws_rxflow_credit(loop, 0);
  yws_loop_deliver_begin(loop);
  if (yws_buffered()) {
    yws_rx_store_batch(client_id, rec, blocks);
  } else {
    yws_rx_notify_batch(client_id, rec, blocks);
    yws_client_t *now = yws_rec(client_id);
    yws_rx_recycle(now && yws_loop_of(now) == loop ? now : nullptr, blocks);
  }
  yws_loop_deliver_end(loop);
}

namespace {

/* Frees what was received and not read. */
void yws_rx_release(yws_client_t *rec) {
  auto &r = *rec->part.data;
  yws_chain_release(&r.rx_q);
  yws_rx_free_chain(r.held);
  r.held = nullptr;
  r.held_off = 0;
}

}  // namespace

bool yws_data_part_new(yws_client_t *rec, const yws_cfg_t *cfg) {
  auto *dp = static_cast<yws_data_part *>(yv_mem_alloc(sizeof(yws_data_part)));
  if (!dp) return false;
  rec->part.data = dp;
  yws_chain_init(&dp->rx_q);
  dp->rx_max_size = yws_buffer_limit(cfg->read.buffer_sz);
  return yws_msg_open(rec, cfg->read.message, yws_buffered()) == YWS_OK;
}

void yws_data_part_free(yws_client_t *rec) {
  if (!rec->part.data) return;
  yws_rx_release(rec);
  yws_msg_release(rec);
  yv_mem_free(rec->part.data);
  rec->part.data = nullptr;
}

bool yws_data_part_restart(yws_client_t *rec) {
  auto &r = *rec->part.data;
  uint32_t piece = r.msg.piece;
  yws_rx_release(rec);
  yws_msg_release(rec);
  r.rx_total_size = 0;
  r.rx_read_size = 0;
  r.msg = decltype(r.msg){};
  return yws_msg_open(rec, piece, yws_buffered()) == YWS_OK;
}

namespace {

/* yv_ws_read_proc, and with flags yv_ws_read_msg: one message at most. */
int32_t yws_read(int32_t client_id, char *data, int32_t *size, bool continue_read, int32_t *flags) {
  if (!yws_core_exists()) return YWS_ERR_GENERIC;
  if (!size) return YWS_ERR_INVAL_PARM;
  int32_t wanted = *size;
  *size = 0;
  if (flags) *flags = 0;
  int32_t got = 0;
  bool left;
  bool unheld = false;
  bool message_read = false;
  int state;
  bool user_close;
  uint32_t tag;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec(client_id);
    if (!rec) return YWS_ERR_GENERIC;
    /* Events this read posts belong to this record, not to a later one. */
    tag = yws_tag(static_cast<uint8_t>(client_id), rec->serial);
    auto &r = *rec->part.data;
    int32_t freed = 0;
    if (flags && r.msg.marks) {
      int32_t f = 0;
      freed = yws_msg_pull(rec, data, wanted, &got, &f);
      if (flags) *flags = f;
      message_read = f != 0 || got > 0;
    } else {
      if (data && wanted > 0) {
        got = wanted;
        yws_chain_pull(&r.rx_q, data, &got);
      }
      if (r.msg.marks) freed = yws_msg_consumed(rec, got);
    }
    /* Counted before held pieces are moved in: what was read makes room. */
    if (got > 0) r.rx_read_size += got;
    if (r.held) {
      /* What was held back now fits; into an empty chain it is news. */
      yws_rx_first first;
      yws_rx_block_t *drained = nullptr;
      yws_rx_unhold(rec, &first, &drained);
      yws_rx_recycle(rec, drained);
      unheld = first.found;
    }
    left = !yws_chain_empty(&r.rx_q) || (r.msg.marks && yws_msg_waiting(rec));
    YWS_TRACE("read=%d,service_id=%d", got, client_id);
    if (got > 0) *size = got;
    yws_loop *loop = yws_loop_of(rec);
    /* The context lives while we hold the service lock. */
    if (loop && got + freed > 0) yws_rxflow_credit(loop, got + freed);
    state = yws_state(rec);
    /* A user close ends by its own handshake; ending it here would cut that short. */
    user_close = loop && yws_loop_closing(loop);
  }
  if (left) {
    if ((got > 0 && continue_read) || unheld) yws_post(YWS_MSG_TYPE_TO_READ_DATA, tag, 0, 0);
    return YWS_OK;
  }
  YWS_TRACE("cur_sta=%d", state);
  if (state == YWS_CONN_STA_CONNECTED) return YWS_OK;
  if (state == YWS_CONN_STA_CLOSING && !user_close)
    yws_post(YWS_MSG_TYPE_LWS_CLIENT_CLOSED, tag, 0, 0);
  return got > 0 || message_read ? YWS_OK : YWS_ERR_NET_FAIL;
}

}  // namespace

int32_t yv_ws_read_proc(int32_t client_id, char *data, int32_t *size, bool continue_read) {
  return yws_read(client_id, data, size, continue_read, nullptr);
}

int32_t yv_ws_read_msg(int32_t client_id, char *data, int32_t *size, int32_t *flags) {
  int32_t ignored = 0;
  return yws_read(client_id, data, size, false, flags ? flags : &ignored);
}

int32_t yws_client_read_event(int32_t client_id) {
  uint8_t cfg_id;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec(client_id);
    if (!rec) return YWS_ERR_GENERIC;
    cfg_id = rec->cfg_id;
  }
  yws_notify(client_id, cfg_id, YWS_CB_TYPE_RECV, nullptr, 0, cfg_id);
  return YWS_OK;
}

void yws_client_set_data_push_urc_high(int32_t client_id, bool isHigh, char *remaining) {
  (void)client_id;
  if (!yws_core_exists()) return;
  yws_service_lock lk;
  g_urc_high = isHigh;
  g_urc_remaining = remaining;
}

char *yws_client_get_data_push_urc_high(int32_t client_id, int32_t *high) {
  (void)client_id;
  if (!yws_core_exists()) return nullptr;
  yws_service_lock lk;
  if (high) *high = g_urc_high ? 1 : 0;
  return g_urc_remaining;
}

void yws_client_data_push_urc_cb(void *ctx) {
  if (!yws_core_exists()) return;
  {
    yws_service_lock lk;
    g_urc_high = false;
  }
  yws_post(YWS_MSG_TYPE_TO_READ_DATA, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ctx)), 0,
           0);
}
