/*
 * The library's protocol callback: turns callback reasons into service events.
 * It runs inside library calls, normally on the client's library thread, and
 * only stages its events (the loop thread posts them after the pass).
 */
#include <cstring>

#include "yv_websocket_inc.h"
#include "yws_loop.h"

namespace {

/* The loop whose callback is running on this thread, for yws_recv_push_req. */
thread_local yws_loop *t_cb_loop = nullptr;

void yws_emit(const yv_event_t *ev) {
  if (t_cb_loop) {
    yws_loop_stage(t_cb_loop, ev);
  } else {
    yv_event_t copy = *ev;
    yv_ws_task_send_message(&copy);
  }
}

void yws_emit_id(yv_event_t *ev, uint32_t id, uint32_t p2 = 0, uint32_t p3 = 0) {
  ev->id = id;
  ev->param2 = p2;
  ev->param3 = p3;
  yws_emit(ev);
}

void yws_writable_step(uint8_t client_id, yv_event_t *ev, uint32_t id) {
  if (yws_get_curr_writable_status(client_id)) return;
  YWS_TRACE("writable");
  yws_update_writable_status(client_id, true);
  yws_emit_id(ev, id);
}

/* Buffered mode: pause the library before the receive buffer can overflow. */
void yws_rx_account(yws_loop *loop, struct lws *wsi, size_t len) {
  if (!loop->buffered) return;
  int32_t pending =
      loop->rx_pending.fetch_add(static_cast<int32_t>(len)) + static_cast<int32_t>(len);
  if (pending >= loop->rx_high && !loop->rx_paused.load()) {
    loop->rx_paused = true;
    lws_rx_flow_control(wsi, 0x1000);
    YWS_TRACE("rx disabled");
  }
}

int yws_http_body_read(struct lws *wsi, uint8_t client_id) {
  auto *buffer = static_cast<char *>(yv_mem_alloc(YWS_LWS_PRE + 1024));
  if (!buffer) return -1;
  char *p = buffer + YWS_LWS_PRE;
  int n = 1024;
  if (lws_http_client_read(wsi, &p, &n) < 0) {
    yv_mem_free(buffer);
    return -1;
  }
  int r =
      yws_recv_push_req(client_id, YWS_MSG_TYPE_LWS_CLIENT_HTTP_RECEIVE, p, static_cast<size_t>(n));
  yv_mem_free(buffer);
  return r < 0 ? -1 : 0;
}

int yws_dispatch_reason(yws_loop *loop, struct lws *wsi, enum lws_callback_reasons reason, void *in,
                        size_t len, yv_event_t *ev) {
  uint8_t client_id = loop->client_id;
  yws_client_t *rec = yws_client[client_id];
  if (rec && rec->prot_ctxt.loop != loop) rec = nullptr;
  YWS_TRACE("client(%d, 0x%p) cb: %d, %p", client_id, (void *)wsi, (int)reason, (void *)rec);
  switch (reason) {
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
      YWS_TRACE("CONN ERR: [%d] %.80s", (int)len, in ? static_cast<const char *>(in) : "");
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLIENT_CONNECTION_ERROR, YWS_ERR_NET_FAIL, YWS_CB_TYPE_OPEN);
      break;
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLIENT_ESTABLISHED);
      break;
    case LWS_CALLBACK_CLIENT_RECEIVE:
      if (in && len) yws_rx_account(loop, wsi, len);
      if (yws_rx_data(client_id, wsi, in, len)) return -1;
      break;
    case LWS_CALLBACK_CLIENT_RECEIVE_PONG:
      yws_alive(client_id);
      yws_recv_push_req(client_id, YWS_MSG_TYPE_LWS_CLIENT_RECEIVE_PONG, in, in ? len : 0);
      break;
    case LWS_CALLBACK_CLIENT_WRITEABLE:
      if (loop->close_requested.load() && wsi == loop->wsi) {
        /* Our close: the library sends the close frame and waits for the
         * answer from its own thread. */
        lws_close_reason(wsi, LWS_CLOSE_STATUS_NORMAL, nullptr, 0);
        return -1;
      }
      yws_writable_step(client_id, ev, YWS_MSG_TYPE_LWS_CLIENT_WRITEABLE);
      break;
    case LWS_CALLBACK_CLIENT_HTTP_WRITEABLE:
      yws_writable_step(client_id, ev, YWS_MSG_TYPE_LWS_CLIENT_HTTP_WRITEABLE);
      break;
    case LWS_CALLBACK_RAW_WRITEABLE:
      yws_writable_step(client_id, ev, YWS_MSG_TYPE_LWS_RAW_WRITEABLE);
      break;
    case LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER:
      if (rec && in) (void)yws_add_http_header_by_name(wsi, in, len, rec->cfg_id);
      break;
    case LWS_CALLBACK_PROTOCOL_DESTROY:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_PROTOCOL_DESTROY);
      break;
    case LWS_CALLBACK_WSI_CREATE:
      if (rec) YWS_TRACE("WSI_CREATE=\t%p, %p", (void *)wsi, (void *)rec->prot_ctxt.wsi);
      break;
    case LWS_CALLBACK_WSI_DESTROY:
      if (wsi == loop->wsi) loop->wsi = nullptr;
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_WSI_DESTROY, yws_closed_err(client_id, nullptr));
      break;
    case LWS_CALLBACK_ESTABLISHED_CLIENT_HTTP:
      /* Our connections are upgrades, and the library raises this before it
       * has checked the upgrade answer (status, accept key, sub-protocol):
       * success is LWS_CALLBACK_CLIENT_ESTABLISHED, a refusal the connection
       * error that follows. */
      YWS_TRACE("upgrade answer: %d", (int)lws_http_client_http_response(wsi));
      break;
    case LWS_CALLBACK_CLOSED_CLIENT_HTTP:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLOSED_CLIENT_HTTP);
      break;
    case LWS_CALLBACK_RECEIVE_CLIENT_HTTP:
      return yws_http_body_read(wsi, client_id);
    case LWS_CALLBACK_RECEIVE_CLIENT_HTTP_READ:
      yws_recv_push_req(client_id, YWS_MSG_TYPE_LWS_CLIENT_HTTP_RECEIVE, in, in ? len : 0);
      break;
    case LWS_CALLBACK_RAW_RX:
      yws_recv_push_req(client_id, YWS_MSG_TYPE_LWS_RAW_RECEIVE, in, in ? len : 0);
      break;
    case LWS_CALLBACK_RAW_CLOSE:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_RAW_CLOSED);
      break;
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
      /* Non-zero drops the connection instead of echoing an invalid close. */
      return yws_peer_close(client_id, wsi, in, len);
    case LWS_CALLBACK_CLIENT_CLOSED:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLIENT_CLOSED, yws_closed_err(client_id, wsi));
      break;
    case LWS_CALLBACK_CLIENT_HTTP_DROP_PROTOCOL:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLIENT_HTTP_DROP_PROTOCOL);
      break;
    case LWS_CALLBACK_WS_CLIENT_DROP_PROTOCOL:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLIENT_DROP_PROTOCOL, yws_closed_err(client_id, wsi));
      break;
    case LWS_CALLBACK_RAW_SKT_DROP_PROTOCOL:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_RAW_SKT_DROP_PROTOCOL);
      break;
    case LWS_CALLBACK_RAW_CONNECTED:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_RAW_CONNECTED);
      break;
    default:
      break;
  }
  return 0;
}

}  // namespace

int yws_recv_push_req(int client_id, int id, void *in, size_t len) {
  auto *copy = static_cast<char *>(yv_mem_alloc(len + 1));
  if (!copy) return -1;
  if (len) std::memcpy(copy, in, len);
  copy[len] = '\0';
  yv_event_t ev;
  ev.id = static_cast<uint32_t>(id);
  ev.param1 = t_cb_loop ? yws_tag(t_cb_loop->client_id, t_cb_loop->serial)
                        : static_cast<uint32_t>(client_id);
  ev.param2 = yws_ticket_put(copy);
  ev.param3 = static_cast<uint32_t>(len);
  yws_emit(&ev);
  return 0;
}

int yws_client_prot_callback(struct lws *wsi, enum lws_callback_reasons reason, void *user,
                             void *in, size_t len) {
  (void)user;
  if (!wsi) return 1;
  /* The client is found through the context, never through the connection's
   * user pointer: protocol-level reasons have no connection, and callbacks
   * made inside the connect call come before the pointer is attached. */
  struct lws_context *context = lws_get_context(wsi);
  auto *loop = context ? static_cast<yws_loop *>(lws_context_user(context)) : nullptr;
  if (!loop) return 0;
  if (loop->client_id >= YWS_CLIENT_NUM) return 3;
  if (loop->drop_events.load()) {
    if (reason == LWS_CALLBACK_WSI_DESTROY && wsi == loop->wsi) loop->wsi = nullptr;
    return 0;
  }
  yv_event_t ev;
  std::memset(&ev, 0, sizeof(ev));
  ev.param1 = yws_tag(loop->client_id, loop->serial);
  yws_loop *outer = t_cb_loop;
  t_cb_loop = loop;
  int r = yws_dispatch_reason(loop, wsi, reason, in, len, &ev);
  t_cb_loop = outer;
  return r;
}
