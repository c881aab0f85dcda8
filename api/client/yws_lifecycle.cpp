/*
 * Open result, keepalive, close and teardown: service-task handlers, plus the
 * public close request and the two timer callbacks.
 */
#include <atomic>
#include <cstring>

#include "yws_client_part.h"

namespace {

void yws_conn_timer_expired_callback(void *argv) {
  yws_post(YWS_MSG_TYPE_OPEN_TIMEDOUT, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argv)),
           YWS_ERR_TIMEDOUT, YWS_CB_TYPE_OPEN);
}

void yws_ping_timer_expired_callback(void *argv) {
  yws_post(YWS_MSG_TYPE_TO_PING, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argv)), 0, 0);
}

/* A user close of a live connection: the loop thread sends what is queued,
 * then the close frame, and ends when the server answers. The library's
 * timer ends the connection when "close/waittime" runs out first; the
 * teardown then reports YWS_ERR_TIMEDOUT. Waittime 0: no handshake. The
 * loop thread starts it itself: the service task does not wait for a pass. */
bool yws_start_graceful_close(yws_client_t *rec) {
  yws_loop *loop = yws_loop_of(rec);
  if (!loop) return false;
  yws_loop_user_close(loop);
  uint8_t wait_s = yws_profile(rec->cfg_id)->close.waittime;
  if (wait_s == 0) return false;
  return yws_loop_ask_close(loop, wait_s);
}

/* Time beyond its own limits that an end may take: a loop thread that has
 * not ended by then is left to end alone (its pass may never return). */
constexpr uint32_t kEndSlackMs = 1000;

void yws_end_timer_cb(void *argv) {
  yws_post(YWS_MSG_TYPE_LWS_THREAD_EXIT, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argv)),
           YWS_END_DEADLINE, 0);
}

/* An end asked of a running loop thread is bounded: the close's own wait
 * (a closing handshake) and kEndSlackMs after it. */
void yws_end_deadline_start(int client_id, yws_client_t *rec, uint32_t wait_ms) {
  if (rec->part.client->end_timer) return; /* the first end's bound stands */
  if (yv_rtos_timer_create(&rec->part.client->end_timer, 0xFFFFFFFFu, yws_end_timer_cb,
                           yws_timer_arg(client_id, rec)) != YV_OSI_SUCCESS) {
    rec->part.client->end_timer = 0;
    return;
  }
  yv_rtos_timer_start(rec->part.client->end_timer, wait_ms + kEndSlackMs, 0);
}

}  // namespace

int yws_client_open_do(const yv_event_t *ev) {
  /* The event names its client: several opens may have waited for one bearer. */
  yws_client_t *rec = yws_rec_tagged(ev->param1);
  if (!rec) return YWS_ERR_INVAL_PARM;
  int client_id = yws_tag_client(ev->param1);
  /* The open normally started its timer already: it bounds the bearer step too. */
  (void)yws_open_timer_start(ev->param1);
  yws_err_e r = yws_client_do_connect(client_id);
  if (r == YWS_OK) return 0;
  /* A URL or request that cannot be made stays so on every attempt. */
  bool may_retry = r != YWS_ERR_INVAL_URL && r != YWS_ERR_INVAL_PARM;
  yws_client_end(ev->param1, YWS_CB_TYPE_OPEN, r, may_retry);
  return r;
}

yws_err_e yws_client_open_connected(int client_id) {
  yws_client_t *rec = yws_rec(client_id);
  if (!rec) return YWS_OK;
  int state = yws_state(rec);
  /* Once closing, the open has its outcome coming from teardown: a late
   * establishment must not report a second one. */
  if (state != YWS_CONN_STA_CONNECTING) return YWS_OK;
  uint8_t cfg_id = rec->cfg_id;
  {
    yws_timer_remove(&rec->part.client->conn_timer);
    uint8_t interval = yws_profile(cfg_id)->ping.interval;
    if (interval) {
      if (yv_rtos_timer_create(&rec->part.client->ping_timer, 0xFFFFFFFFu,
                               yws_ping_timer_expired_callback,
                               yws_timer_arg(client_id, rec)) == YV_OSI_SUCCESS)
        yv_rtos_timer_start(rec->part.client->ping_timer, interval * 1000u, 0);
      else
        rec->part.client->ping_timer = 0;
      YWS_TRACE("interval=%d", interval);
    }
    yws_status_set(rec, YWS_CONN_STA_CONNECTED, YWS_OK, 0);
    yws_reconn_opened(rec);
    YWS_TRACE("open ok");
    yws_tx_kick(client_id); /* data queued while connecting goes now */
  }
  yws_notify(client_id, cfg_id, YWS_CB_TYPE_OPEN, nullptr, 0, YWS_OK);
  return YWS_OK;
}

yws_err_e yws_client_open_cnf(yv_event_t *msg) {
  int client_id = static_cast<int>(msg->param1 & 0xFF);
  yws_client_t *rec = yws_rec(client_id);
  if (!rec) return YWS_OK;
  /* A timeout whose timer is already gone raced with the open's success. */
  if (msg->id == YWS_MSG_TYPE_OPEN_TIMEDOUT && !rec->part.client->conn_timer) return YWS_OK;
  /* With its thread running, the thread's end tells the outcome. */
  if (yws_loop_started(rec)) return yws_close_proc(msg);
  auto err = static_cast<int32_t>(msg->param2);
  uint32_t tag = yws_tag(static_cast<uint8_t>(client_id), rec->serial);
  if (yws_state(rec) != YWS_CONN_STA_CLOSING)
    yws_status_set(rec, YWS_CONN_STA_CLOSING, static_cast<uint32_t>(err), YWS_CB_TYPE_OPEN);
  yws_client_end(tag, YWS_CB_TYPE_OPEN, err, true);
  return YWS_OK;
}

yws_err_e yws_close_proc(yv_event_t *msg) {
  int client_id = static_cast<int>(msg->param1 & 0xFF);
  yws_client_t *rec = yws_rec(client_id);
  if (!rec) return YWS_OK;
  /* The caller's close of a reconnect that waits or runs. */
  if (msg->id == YWS_MSG_TYPE_TO_CLOSE_CLIENT && msg->param3 == YWS_CLOSE_STOPS_RECONNECT &&
      yws_reconn_close(client_id, rec))
    return YWS_OK;
  int state = yws_state(rec);
  bool graceful = false;
  if (state == YWS_CONN_STA_CONNECTING || state == YWS_CONN_STA_CONNECTED) {
    /* The handshake is under way before anyone can see the state CLOSING. */
    graceful = msg->id == YWS_MSG_TYPE_TO_CLOSE_CLIENT && msg->param2 == 0 &&
               state == YWS_CONN_STA_CONNECTED && yws_start_graceful_close(rec);
    uint32_t err = msg->param2;
    uint32_t type = msg->param3;
    /* A connection lost before the upgrade completed (a server refusing our
     * certificate after the TLS handshake, for one) ends the open. */
    if (state == YWS_CONN_STA_CONNECTING) {
      err = err ? err : static_cast<uint32_t>(YWS_ERR_NET_FAIL);
      type = YWS_CB_TYPE_OPEN;
    }
    yws_status_set(rec, YWS_CONN_STA_CLOSING, err, type);
  }
  if (yws_loop_of(rec) && yws_loop_started(rec))
    yws_end_deadline_start(client_id, rec,
                           graceful ? yws_profile(rec->cfg_id)->close.waittime * 1000u : 0);
  if (!graceful && yws_loop_of(rec)) {
    yws_loop_stop(yws_loop_of(rec));
    /* A lookup may outlast every bound: the end comes now, and the thread
     * frees its block once the lookup returns. */
    if (yws_loop_resolving(yws_loop_of(rec))) {
      yws_thread_exit_destroy(client_id, rec->serial, false);
      return YWS_OK;
    }
  }
  if (!yws_loop_started(rec)) yws_final_do(client_id);
  return YWS_OK;
}

/* Readers wake the loop under the service lock: the context stays alive for
 * them until they are done. */
void yws_context_destroy(yws_client_t *rec) {
  yws_loop *loop = yws_loop_of(rec);
  if (!loop || !yws_loop_has_context(loop)) return;
  /* A thread still running (its end's bound ran out, or its lookup has not
   * returned) destroys the context itself once orphaned. */
  if (yws_loop_running(loop)) return;
  yws_service_lock slk;
  yws_loop_destroy_context(loop);
  YWS_TRACE("destroy");
}

void yws_thread_exit_destroy(int client_id, uint32_t loop_serial, bool deadline) {
  yws_client_t *rec = yws_rec(client_id);
  if (!rec || (loop_serial && rec->serial != loop_serial)) return;
  if (deadline) {
    if (!yws_loop_of(rec)) return; /* the record is the next attempt's */
    /* A thread that ended has its exit event queued, or lost with a queue a
     * deinit deleted: the end is now either way (a queued one is stale then). */
    if (yws_loop_running(yws_loop_of(rec))) {
      YWS_TRACE("CLIENT(%d) end overdue: its loop is left to end alone", client_id);
      if (yws_state(rec) != YWS_CONN_STA_CLOSING)
        yws_status_set(rec, YWS_CONN_STA_CLOSING, YWS_ERR_TIMEDOUT, YWS_CB_TYPE_CLOSE);
    }
  }
  int32_t err = yws_status_read(rec, YWS_STATUS_ERR);
  int32_t type = yws_status_read(rec, YWS_STATUS_TYPE) == YWS_CB_TYPE_OPEN ? YWS_CB_TYPE_OPEN
                                                                           : YWS_CB_TYPE_CLOSE;
  /* A user close that could not send everything or had no answer. */
  if (err == YWS_OK && type == YWS_CB_TYPE_CLOSE) err = yws_user_close_result(rec);
  bool may_retry = !(yws_loop_of(rec) && yws_loop_no_retry(yws_loop_of(rec)));
  yws_context_destroy(rec);
  yws_client_end(yws_tag(static_cast<uint8_t>(client_id), rec->serial), type, err, may_retry);
}

void yws_connection_release(yws_client_t *rec) {
  yws_timer_remove(&rec->part.client->conn_timer);
  yws_timer_remove(&rec->part.client->ping_timer);
  yws_timer_remove(&rec->part.client->pong_timer);
  yws_timer_remove(&rec->part.client->end_timer);
  yws_loop_release(rec);
}

void yws_final_do(int client_id) {
  if (!yws_client_id_ok(client_id)) return;
  (void)yws_final_do_if(static_cast<uint32_t>(client_id));
}

namespace {

/* Records released off the service task, for it to free: its handlers read
 * a record without the service lock (only it frees records), so a caller's
 * task that ends an open (its bearer step failed) only unlinks the record.
 * Under the service lock; the atomic lets the task look without it. */
std::atomic<yws_client_t *> g_reap{nullptr};

void yws_record_free(yws_client_t *rec) {
  yws_connection_release(rec);
  YWS_TRACE("client hd=%p", (void *)rec);
  yws_record_release(rec);
}

}  // namespace

bool yws_final_do_if(uint32_t tag) {
  int client_id = yws_tag_client(tag);
  uint32_t serial = yws_tag_serial(tag);
  if (!yws_core_exists()) return false;
  yv_task_t service = yws_core_task();
  bool deferred = service && yv_rtos_task_self() != service;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec(client_id);
    if (!rec || (serial && rec->serial != serial)) return false;
    yws_cause_settle(client_id, YWS_CB_TYPE_CLOSE, YWS_ERR_GENERIC);   /* every end has a cause */
    if (rec->part.client->reconn.waiting) yws_core_nap_cut(client_id); /* its retry task ends now */
    yws_slot_clear(client_id);
    if (!deferred) {
      yws_record_free(rec);
      return true;
    }
    /* Its timers' and loop's events are stale from here (the slot is free). */
    rec->part.client->reap_next = g_reap.load();
    g_reap = rec;
  }
  /* The service task frees it before its next event: give it one. */
  yws_post(YWS_MSG_TYPE_NULL, 0, 0, 0);
  return true;
}

void yws_client_reap(void) {
  if (!g_reap.load()) return;
  yws_service_lock lk;
  while (yws_client_t *rec = g_reap.load()) {
    g_reap = rec->part.client->reap_next;
    yws_record_free(rec);
  }
}

yws_err_e yws_ping_proc(yv_event_t *msg) {
  int client_id = static_cast<int>(msg->param1 & 0xFF);
  yws_client_t *rec = yws_rec(client_id);
  if (!rec || yws_state(rec) != YWS_CONN_STA_CONNECTED) {
    YWS_TRACE("CLIENT(%d)", client_id);
    return YWS_OK;
  }
  if (yws_ping_wait_event(msg)) {
    yws_pong_wait_expired(client_id, rec);
    return YWS_OK;
  }
  if (rec->part.client->ping_timer)
    yv_rtos_timer_start(rec->part.client->ping_timer,
                        yws_profile(rec->cfg_id)->ping.interval * 1000u, 0);
  if (!yws_writable(rec)) {
    YWS_TRACE("BUSY PING");
    return YWS_OK;
  }
  /* The loop thread writes it after its pass: the service task does not
   * wait for one. A write that fails comes back as a close. */
  int64_t sent_ms = yws_now_ms();
  yws_loop *loop = yws_loop_of(rec);
  if (!loop || !yws_loop_ask_ping(loop, sent_ms)) {
    YWS_TRACE("PING ERROR(%d)", client_id);
    yws_post(YWS_MSG_TYPE_TO_CLOSE_CLIENT, yws_tag(static_cast<uint8_t>(client_id), rec->serial),
             YWS_ERR_NET_FAIL, 0);
  } else {
    yws_pong_wait_start(client_id, rec, sent_ms);
  }
  return YWS_OK;
}

int yws_open_timer_start(uint32_t tag) {
  int client_id = yws_tag_client(tag);
  yws_service_lock lk;
  yws_client_t *rec = yws_rec_tagged(tag);
  if (!rec || rec->part.client->conn_timer) return YV_OSI_SUCCESS;
  uint8_t timeout = yws_profile(rec->cfg_id)->conn.timeout;
  if (!timeout) return YV_OSI_SUCCESS;
  yv_timer_t timer = 0;
  int st = yv_rtos_timer_create(&timer, 0xFFFFFFFFu, yws_conn_timer_expired_callback,
                                yws_timer_arg(client_id, rec));
  if (st != YV_OSI_SUCCESS) return st;
  rec->part.client->conn_timer = timer;
  yv_rtos_timer_start(timer, timeout * 1000u, 0);
  return YV_OSI_SUCCESS;
}

int yv_ws_close_proc(int client_id) {
  if (!yws_client_id_ok(client_id)) return YWS_ERR_INVAL_PARM;
  if (!yws_core_exists()) return YWS_OK;
  int state;
  uint32_t tag = 0;
  bool reconnecting = false;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec(client_id);
    state = rec ? yws_state(rec) : YWS_CONN_STA_IDLE;
    /* With reconnect on, an end under way would be followed by an attempt:
     * the close stops that too. */
    reconnecting =
        rec && (rec->part.client->reconn.active ||
                (state == YWS_CONN_STA_CLOSING && yws_profile(rec->cfg_id)->reconn.attempts > 0));
    /* A close that stops a reconnect belongs to the caller's open, whichever
     * attempt is running when it is handled. */
    if (rec)
      tag = yws_tag(static_cast<uint8_t>(client_id),
                    reconnecting ? rec->part.client->reconn.open_serial : rec->serial);
    if (rec && (state == YWS_CONN_STA_CONNECTED || rec->part.client->reconn.active))
      yws_cause_set(client_id, YWS_CLOSE_CAUSE_USER);
  }
  YWS_TRACE("result=%d", state);
  /* A reconnect that waits or runs stops; a caller's own open still answers busy. */
  if (!reconnecting && (state == YWS_CONN_STA_CONNECTING || state == YWS_CONN_STA_CLOSING))
    return YWS_ERR_BUSY;
  /* No client: nothing to close. The close belongs to this record only; a
   * later open of the id must not receive it. */
  if (tag)
    yws_post(YWS_MSG_TYPE_TO_CLOSE_CLIENT, tag, 0, reconnecting ? YWS_CLOSE_STOPS_RECONNECT : 0);
  return YWS_OK;
}
