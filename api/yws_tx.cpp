/*
 * Transmit path: callers queue bytes in the client's transmit chain; the
 * service task sends them as messages of at most 2048 bytes, one per event.
 */
#include <algorithm>

#include "yv_websocket_inc.h"
#include "yws_lock.h"
#include "yws_loop.h"

int32_t yv_ws_write_proc(int32_t client_id, yws_parm_t *parm_t) {
  if (!parm_t || !service_t) return YWS_ERR_GENERIC;
  bool post = false;
  bool was_empty;
  uint32_t tag;
  {
    yws_service_lock lk;
    if (client_id < 0 || client_id >= YWS_CLIENT_NUM || !yws_client[client_id])
      return YWS_ERR_GENERIC;
    if (parm_t->size < 0 || (!parm_t->data && parm_t->size > 0) ||
        (parm_t->type != YWS_WRITE_PROT_TEXT && parm_t->type != YWS_WRITE_PROT_BIN))
      return YWS_ERR_INVAL_PARM;
    yws_client_t *rec = yws_client[client_id];
    tag = yws_tag(static_cast<uint8_t>(client_id), rec->serial);
    auto &w = rec->data.write;
    YWS_TRACE("yws pos: %d, %d, %d", w.tx_total_size, w.tx_send_size, w.tx_max_size);
    if ((w.tx_total_size - w.tx_send_size) + parm_t->size > w.tx_max_size) return YWS_ERR_NO_MEM;
    was_empty = list_empty(&w.tx_q);
    if (yws_chain_append(&w.tx_q, reinterpret_cast<const char *>(parm_t->data), parm_t->size) != 0)
      return YWS_ERR_NO_MEM;
    w.cmd_parm.write_prot = static_cast<uint8_t>(parm_t->type);
    w.tx_total_size += parm_t->size;
    /* One send event in flight is enough: it re-posts itself while data is
     * queued. */
    if (was_empty && !rec->tx_event_pending) {
      rec->tx_event_pending = true;
      post = true;
    }
  }
  YWS_TRACE("flag:%d", was_empty ? 1 : 0);
  if (post) yws_post(YWS_MSG_TYPE_TO_WRITE_DATA, tag, 0, 0);
  return YWS_OK;
}

int32_t yv_ws_service_send(int32_t client_id) {
  if (client_id < 0 || client_id >= YWS_CLIENT_NUM || !yws_client[client_id])
    return YWS_ERR_INVAL_PARM;
  yws_client_t *rec = yws_client[client_id];
  yws_loop *loop = rec->prot_ctxt.loop;
  auto &w = rec->data.write;
  int32_t ret;
  int32_t n;
  bool choked = false;
  bool repost = false;
  {
    yws_service_lock lk;
    /* This event is consumed: a later kick may post the next one. */
    rec->tx_event_pending = false;
    if (!loop || !rec->prot_ctxt.context) return YWS_ERR_INVAL_PARM;
    int state;
    {
      yws_mutex_guard sl(rec->status.conn.mutex);
      state = rec->status.conn.cur_sta;
    }
    if (state != YWS_CONN_STA_CONNECTED || list_empty(&w.tx_q)) return YWS_OK;
    n = std::min(w.tx_total_size - w.tx_send_size, YWS_TX_MSG_MAX);
    if (n <= 0) return YWS_OK;
    /* A choked connection takes nothing more until the library says it is
     * writable again; that event restarts sending. */
    if (!yws_get_curr_writable_status(static_cast<uint8_t>(client_id))) return YWS_OK;
    unsigned char *buf = loop->tx_buf;
    /* Bytes leave the chain only once the library has taken them. */
    n = yws_chain_peek(&w.tx_q, reinterpret_cast<char *>(buf + YWS_LWS_PRE), n);
    ret = -1;
    {
      yws_loop_guard guard(loop);
      if (loop->wsi) {
        ret = lws_write(
            loop->wsi, buf + YWS_LWS_PRE, static_cast<size_t>(n),
            w.cmd_parm.write_prot == YWS_WRITE_PROT_BIN ? LWS_WRITE_BINARY : LWS_WRITE_TEXT);
        if (ret >= 0 && lws_send_pipe_choked(loop->wsi)) {
          choked = true;
          yws_update_writable_status(static_cast<uint8_t>(client_id), false);
          lws_callback_on_writable(loop->wsi);
        }
      }
    }
    YWS_TRACE("write ret=%d,%d", ret, n);
    if (ret > 0) {
      int32_t taken = std::min(ret, n);
      int32_t discard = taken;
      yv_ws_service_pull_data(&w.tx_q, reinterpret_cast<char *>(buf + YWS_LWS_PRE), &discard);
      w.tx_send_size += taken;
    }
    repost = ret > 0 && !choked && !list_empty(&w.tx_q);
    if (repost) rec->tx_event_pending = true;
  }
  if (choked) YWS_TRACE("UNWRITABLE(%d)", client_id);
  if (repost)
    yws_post(YWS_MSG_TYPE_TO_WRITE_DATA, yws_tag(static_cast<uint8_t>(client_id), rec->serial), 0,
             0);
  return ret;
}

int32_t yv_ws_client_cancel(void *client_hndl, int32_t reason) {
  (void)client_hndl;
  (void)reason;
  return YWS_OK;
}
