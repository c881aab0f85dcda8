/*
 * The service room, on top of every other: the service's start and end, the
 * open entry point, and the service task with its dispatcher, the one place
 * that routes each event to the room that handles it.
 */

#include "yv_datacall.h"
#include "yws_client.h"
#include "yws_config.h"
#include "yws_core.h"
#include "yws_data.h"
#include "yws_loop.h"

void yws_service_task(void *arg);

int yv_ws_app_start(int client_id, int sys_mode) {
  (void)client_id;
  return yws_core_start(sys_mode, yws_service_task);
}

void yv_ws_service_init(int client_id, int cfg_id) {
  (void)client_id;
  (void)yws_cfg_init(cfg_id);
  if (yws_core_init()) yws_loop_log_level(3);
}

void yv_ws_service_deinit(int client_id, int cfg_id) {
  (void)client_id;
  (void)cfg_id;
  yws_core_deinit();
}

namespace {

/* The rest of an open, for its own record only: the connect timer first (a
 * non-zero "conn/timeout" bounds the whole open, bearer step included), then
 * the bearer step. */
int yws_open_start(int client_id) {
  uint32_t tag;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec(client_id);
    if (!rec) return YWS_OK;
    tag = yws_tag(static_cast<uint8_t>(client_id), rec->serial);
  }
  int st = yws_open_timer_start(tag);
  if (st != YV_OSI_SUCCESS) {
    (void)yws_final_do_if(tag);
    return st;
  }
  yv_event_t ev = {YWS_MSG_TYPE_TO_NET_ACT, tag, 0, 0};
  return yws_client_net_act(&ev);
}

}  // namespace

int yv_ws_open_proc(yws_open_t *open_t) {
  int ret;
  if (!open_t) {
    ret = YWS_ERR_GENERIC;
  } else if (!yws_client_id_ok(open_t->client_id)) {
    ret = YWS_ERR_INVAL_PARM;
  } else if (yws_rec(open_t->client_id)) {
    ret = YWS_ERR_BUSY;
  } else if ((ret = yv_ws_app_start(open_t->client_id, open_t->user)) == 0) {
    yv_ws_service_init(open_t->client_id, open_t->cfg_id);
    if (!yws_service_mutex())
      ret = YWS_ERR_NO_MEM;
    else
      ret = yws_client_service_new(open_t->client_id, open_t->cfg_id);
    if (ret == 0) ret = yws_open_start(open_t->client_id);
  }
  YWS_TRACE("ret=%d", ret);
  return ret;
}

/* ---- the service task ---- */

namespace {

/* Events from a client's library thread and timers carry the generation of
 * the record they belong to above the client id; one that outlived its record
 * must not act on a newer client with the same id. */
bool yws_event_is_stale(const yv_event_t *ev) {
  if (ev->id >= YWS_MSG_TYPE_MAX) return false;
  uint32_t serial = yws_tag_serial(ev->param1);
  int cid = yws_tag_client(ev->param1);
  if (serial == 0 || !yws_client_id_ok(cid)) return false;
  if (ev->id == YWS_MSG_TYPE_TO_CLOSE_CLIENT && ev->param3 == YWS_CLOSE_STOPS_RECONNECT) {
    yws_client_t *rec = yws_rec(cid);
    return !rec || yws_client_open_serial(rec) != serial;
  }
  return yws_rec_tagged(ev->param1) == nullptr;
}

void yws_dispatch(yv_event_t *ev) {
  if (yws_event_is_stale(ev)) {
    YWS_TRACE("stale evt:%u p1:0x%x", ev->id, ev->param1);
    return;
  }
  int cid = yws_tag_client(ev->param1);
  /* A batch of received pieces (data or pongs) answers a pending ping. */
  if (ev->id == YWS_MSG_TYPE_LWS_CLIENT_RECEIVE) yws_alive_event(cid);
  /* Ids nothing posts any more (a bearer step on the service task, a write
   * or writable kick, a pong of its own: the loop thread does these) fall to
   * the default and change nothing when a caller posts them. */
  switch (ev->id) {
    case YWS_MSG_TYPE_TO_OPEN_CLIENT:
      yws_client_open_do(ev);
      break;
    case YWS_MSG_TYPE_TO_PING:
      yws_ping_proc(ev);
      break;
    case YWS_MSG_TYPE_TO_READ_DATA:
      yws_client_read_event(cid);
      break;
    case YWS_MSG_TYPE_TO_CLOSE_CLIENT:
    case YWS_MSG_TYPE_LWS_WSI_DESTROY:
    case YWS_MSG_TYPE_LWS_CLIENT_CLOSED:
    case YWS_MSG_TYPE_LWS_CLIENT_DROP_PROTOCOL:
    case YWS_MSG_TYPE_LWS_CLOSED_CLIENT_HTTP:
    case YWS_MSG_TYPE_LWS_CLIENT_HTTP_DROP_PROTOCOL:
    case YWS_MSG_TYPE_LWS_PROTOCOL_DESTROY:
      yws_close_proc(ev);
      break;
    case YWS_MSG_TYPE_OPEN_TIMEDOUT:
    case YWS_MSG_TYPE_LWS_CLIENT_CONNECTION_ERROR:
      yws_client_open_cnf(ev);
      break;
    case YWS_MSG_TYPE_LWS_CLIENT_ESTABLISHED:
      yws_client_open_connected(cid);
      break;
    case YWS_MSG_TYPE_LWS_CLIENT_RECEIVE:
      yws_rx_batch_event(cid);
      break;
    case YWS_MSG_TYPE_LWS_THREAD_EXIT:
      yws_thread_exit_destroy(cid, yws_tag_serial(ev->param1), ev->param2 == YWS_END_DEADLINE);
      break;
    case YWS_MSG_TYPE_OPEN_FAILED:
      yws_client_end(ev->param1, YWS_CB_TYPE_OPEN, static_cast<int32_t>(ev->param2), true);
      break;
    case YAVO_TCPIP_APP_PDP_EVT_IND:
      yv_ws_client_net_cb(ev);
      break;
    default:
      break;
  }
}

}  // namespace

void yws_service_task(void *arg) {
  (void)arg;
  yv_event_t ev;
  while (yws_core_wait(&ev)) {
    YWS_TRACE("yws evt:%d", (int)ev.id);
    yws_client_reap();
    yws_dispatch(&ev);
  }
  yws_client_reap();
  YWS_TRACE("yws task exit");
  yv_rtos_task_delete(0);
}
