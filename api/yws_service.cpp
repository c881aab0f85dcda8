/*
 * Service core: the context, the event queue, the service task and its
 * dispatcher, and the open entry point.
 */
#include <cstring>
#include <new>

#include "yv_websocket_inc.h"
#include "yws_lock.h"
#include "yws_loop.h"

ws_service_t *service_t = nullptr;
std::atomic<yws_client_t *> yws_client[YWS_CLIENT_NUM] = {{nullptr}, {nullptr}, {nullptr}};

/* ---- process-wide locks ---- */

namespace {
std::atomic<yv_mutex_t> g_glocks[YWS_GLOCK_MAX];

/* Makes them before main, where no test or caller can make a creation fail. */
struct yws_glocks_maker {
  yws_glocks_maker() {
    for (int i = 0; i < YWS_GLOCK_MAX; i++) (void)yws_glock(static_cast<yws_glock_e>(i));
  }
} g_glocks_maker;
}  // namespace

yv_mutex_t yws_glock(yws_glock_e which) {
  yv_mutex_t m = g_glocks[which].load();
  if (m) return m;
  yv_mutex_t made = 0;
  if (yv_rtos_mutex_create(&made) != YV_OSI_SUCCESS) return 0;
  if (!g_glocks[which].compare_exchange_strong(m, made)) {
    yv_rtos_mutex_delete(made); /* another thread was first */
    return m;
  }
  return made;
}

/* ---- posting and notifying ---- */

int yv_ws_task_send_message(yv_event_t *p_msg) {
  if (!p_msg) return 0;
  ws_service_t *svc = service_t;
  if (!svc) return 0;
  yv_queue_t q = svc->queue.load();
  (void)yv_rtos_queue_release(q, sizeof(yv_event_t), p_msg, YV_WAIT_FOREVER);
  return 0;
}

void yws_post(uint32_t id, uint32_t p1, uint32_t p2, uint32_t p3) {
  yv_event_t ev = {id, p1, p2, p3};
  yv_ws_task_send_message(&ev);
}

void yws_notify(int client_id, uint8_t cfg_id, int32_t type, uint8_t *data, int32_t size,
                int32_t virt) {
  if (!yws_cfg_id_ok(cfg_id) || !yws_cfg[cfg_id]) return;
  ws_client_recv_cb_t cb = yws_cfg[cfg_id]->read.recv_cb;
  if (!cb) return;
  yws_parm_t parm;
  parm.type = type;
  parm.data = data;
  parm.size = size;
  parm.virtual_ = virt;
  cb(client_id, &parm);
}

void yv_ws_mem_free(void *p) {
  yv_mem_free(p);
}

/* ---- start ---- */

/* Creation of the context, queue, task and lock, the deletion of the queue and
 * the task's decision to end are made under the start lock: two first opens
 * create one service, and an open right after a deinit never relies on a task
 * that is about to leave. */

int yv_ws_app_start(int client_id, int sys_mode) {
  (void)client_id;
  yws_glock_guard start(YWS_GLOCK_START);
  if (!service_t) {
    auto *svc = static_cast<ws_service_t *>(yv_mem_alloc(sizeof(ws_service_t)));
    if (!svc) return YWS_ERR_NO_MEM;
    new (svc) ws_service_t();
    svc->sys_mode = sys_mode;
    service_t = svc;
  }
  if (service_t->queue.load() == 0) {
    yv_queue_t q = 0;
    YvOSStatus st = yv_rtos_queue_create(&q, sizeof(yv_event_t), YWS_QUEUE_ITEMS);
    if (st != YV_OSI_SUCCESS) {
      service_t->queue = 0;
      YWS_TRACE("failed!");
      return st;
    }
    service_t->queue = q;
  }
  if (service_t->ws_task_id.load() == 0) {
    yv_task_t task = 0;
    YvOSStatus st = yv_rtos_task_create(&task, 8192, APP_PRIORITY_NORMAL, "wsclient",
                                        yv_ws_thread_run, nullptr, 5);
    if (st != YV_OSI_SUCCESS) {
      YWS_TRACE("failed");
      service_t->ws_task_id = 0;
      return st;
    }
    service_t->ws_task_id = task;
  }
  YWS_TRACE("ws_task_id=%ld", (long)service_t->ws_task_id.load());
  return 0;
}

void yv_ws_service_init(int client_id, int cfg_id) {
  (void)client_id;
  (void)yws_cfg_init(cfg_id);
  yws_glock_guard start(YWS_GLOCK_START);
  if (!service_t || service_t->initialized) return;
  /* Without its lock the service must not run at all: the open fails and the
   * next one tries again. */
  yv_mutex_t lock = 0;
  if (yv_rtos_mutex_create(&lock) != YV_OSI_SUCCESS || !lock) {
    YWS_TRACE("lock failed");
    return;
  }
  list_init(&service_t->list);
  service_t->lock = lock;
  lws_set_log_level(3, nullptr);
  service_t->initialized = true;
}

void yv_ws_service_deinit(int client_id, int cfg_id) {
  (void)client_id;
  (void)cfg_id;
  yws_glock_guard start(YWS_GLOCK_START);
  if (!service_t) return;
  yv_queue_t q = service_t->queue.exchange(0);
  if (q) (void)yv_rtos_queue_delete(q);
}

namespace {

/* The rest of an open, for its own record only: the connect timer first (a
 * non-zero "conn/timeout" bounds the whole open, bearer step included), then
 * the bearer step. */
int yws_open_start(int client_id) {
  uint32_t tag;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_client[client_id];
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
  } else if (yws_client[open_t->client_id]) {
    ret = YWS_ERR_BUSY;
  } else if ((ret = yv_ws_app_start(open_t->client_id, open_t->user)) == 0) {
    /* Kept for the record only: every later step of the open takes its client
     * and profile from the open itself. */
    service_t->cur_cfg_id = (uint8_t)open_t->cfg_id;
    service_t->cur_client_id = (uint8_t)open_t->client_id;
    yv_ws_service_init(open_t->client_id, open_t->cfg_id);
    if (!service_t->lock.load())
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
  uint32_t serial = ev->param1 >> 8;
  uint32_t cid = ev->param1 & 0xFF;
  if (serial == 0 || !yws_client_id_ok(static_cast<int>(cid))) return false;
  yws_client_t *rec = yws_client[cid];
  return !rec || rec->serial != serial;
}

void yws_pong(yv_event_t *ev) {
  /* Pongs travel in the loop's receive batches; this id carries no copy. */
  YWS_TRACE("yws received pong: %u bytes", ev->param3);
}

void yws_dispatch(yv_event_t *ev) {
  if (yws_event_is_stale(ev)) {
    YWS_TRACE("stale evt:%u p1:0x%x", ev->id, ev->param1);
    return;
  }
  int cid = static_cast<int>(ev->param1 & 0xFF);
  /* A batch of received pieces (data or pong) answers a pending ping. */
  if (ev->id == YWS_MSG_TYPE_LWS_CLIENT_RECEIVE || ev->id == YWS_MSG_TYPE_LWS_CLIENT_RECEIVE_PONG)
    yws_alive_event(cid);
  switch (ev->id) {
    case YWS_MSG_TYPE_TO_NET_ACT:
      yws_client_net_act(ev);
      break;
    case YWS_MSG_TYPE_TO_OPEN_CLIENT:
      yws_client_open_do(ev);
      break;
    case YWS_MSG_TYPE_TO_PING:
      yws_ping_proc(ev);
      break;
    case YWS_MSG_TYPE_TO_WRITE_DATA:
      yv_ws_service_send(cid);
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
    case YWS_MSG_TYPE_LWS_RAW_CLOSED:
    case YWS_MSG_TYPE_LWS_RAW_SKT_DROP_PROTOCOL:
    case YWS_MSG_TYPE_LWS_PROTOCOL_DESTROY:
      yws_close_proc(ev);
      break;
    case YWS_MSG_TYPE_OPEN_TIMEDOUT:
    case YWS_MSG_TYPE_LWS_CLIENT_CONNECTION_ERROR:
      yws_client_open_cnf(ev);
      break;
    case YWS_MSG_TYPE_LWS_CLIENT_ESTABLISHED:
    case YWS_MSG_TYPE_LWS_ESTABLISHED_CLIENT_HTTP:
    case YWS_MSG_TYPE_LWS_RAW_CONNECTED:
      yws_client_open_connected(cid);
      break;
    case YWS_MSG_TYPE_LWS_CLIENT_WRITEABLE:
    case YWS_MSG_TYPE_LWS_CLIENT_HTTP_WRITEABLE:
    case YWS_MSG_TYPE_LWS_RAW_WRITEABLE:
      yws_client_writable_event(cid);
      break;
    case YWS_MSG_TYPE_LWS_CLIENT_RECEIVE:
    case YWS_MSG_TYPE_LWS_CLIENT_HTTP_RECEIVE:
    case YWS_MSG_TYPE_LWS_RAW_RECEIVE:
      yws_rx_batch_event(cid);
      break;
    case YWS_MSG_TYPE_LWS_CLIENT_RECEIVE_PONG:
      yws_pong(ev);
      break;
    case YWS_MSG_TYPE_LWS_THREAD_EXIT:
      yws_thread_exit_destroy(cid, ev->param1 >> 8);
      break;
    case YAVO_TCPIP_APP_PDP_EVT_IND:
      yv_ws_client_net_cb(ev);
      break;
    default:
      break;
  }
}

}  // namespace

void yv_ws_thread_run(void *arg) {
  (void)arg;
  yv_event_t ev;
  for (;;) {
    std::memset(&ev, 0, sizeof(ev));
    yv_queue_t q = service_t->queue.load();
    if (yv_rtos_queue_wait(q, &ev, sizeof(ev), YV_WAIT_FOREVER) != YV_OSI_SUCCESS) {
      yws_glock_guard start(YWS_GLOCK_START);
      /* An open made a new queue after a deinit and counts on this task. */
      yv_queue_t now = service_t->queue.load();
      if (now && now != q) continue;
      service_t->ws_task_id = 0;
      break;
    }
    YWS_TRACE("yws evt:%d", (int)ev.id);
    yws_dispatch(&ev);
  }
  YWS_TRACE("yws task exit");
  yv_rtos_task_delete(0);
}
