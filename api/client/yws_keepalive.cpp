/*
 * The wait for a sign of life after a ping (ping/timeout). Any arrival from
 * the server answers a ping, server pings the library answers itself
 * included; a silent server ends the connection without a closing handshake.
 * Service task only.
 */
#include "yws_client_part.h"

namespace {

struct live_t {
  bool waiting;         /* a wait is on, until an answer or its expiry is handled */
  int64_t wait_ping_ms; /* the ping the wait is for */
  int64_t last_ping_ms;
};

live_t g_live[YWS_CLIENT_NUM];

constexpr uint32_t kPongWaitExpired = 1; /* param2 of YWS_MSG_TYPE_TO_PING */

int64_t yws_ping_timeout_ms(const yws_client_t *rec) {
  return yws_profile(rec->cfg_id)->ping.timeout * 1000ll;
}

void yws_pong_timer_cb(void *argv) {
  yws_post(YWS_MSG_TYPE_TO_PING, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argv)),
           kPongWaitExpired, 0);
}

/* Guards the latest ping if nothing arrived since it; otherwise no wait. */
void yws_pong_wait_rearm(int client_id, yws_client_t *rec, int64_t last_rx, int64_t now) {
  live_t &lv = g_live[client_id];
  if (lv.last_ping_ms <= last_rx) {
    lv.waiting = false;
    if (yv_rtos_timer_is_running(rec->part.client->pong_timer))
      yv_rtos_timer_stop(rec->part.client->pong_timer);
    return;
  }
  int64_t wait = lv.last_ping_ms + yws_ping_timeout_ms(rec) - now;
  lv.wait_ping_ms = lv.last_ping_ms;
  yv_rtos_timer_start(rec->part.client->pong_timer, static_cast<uint32_t>(wait > 1 ? wait : 1), 0);
}

}  // namespace

void yws_keepalive_open(int client_id) {
  if (yws_client_id_ok(client_id)) g_live[client_id] = {false, 0, 0};
}

void yws_alive_event(int client_id) {
  yws_client_t *rec = yws_rec(client_id);
  if (!rec || !rec->part.client->pong_timer || !g_live[client_id].waiting) return;
  int64_t last_rx = yws_last_rx_ms(client_id);
  if (last_rx < g_live[client_id].wait_ping_ms) return;
  /* The guarded ping was answered: an idle healthy client costs no wake-up. */
  yws_pong_wait_rearm(client_id, rec, last_rx, yws_now_ms());
}

void yws_pong_wait_start(int client_id, yws_client_t *rec, int64_t sent_ms) {
  if (!yws_client_id_ok(client_id) || !yws_profile(rec->cfg_id)->ping.timeout) return;
  g_live[client_id].last_ping_ms = sent_ms;
  if (!rec->part.client->pong_timer &&
      yv_rtos_timer_create(&rec->part.client->pong_timer, 0xFFFFFFFFu, yws_pong_timer_cb,
                           yws_timer_arg(client_id, rec)) != YV_OSI_SUCCESS) {
    rec->part.client->pong_timer = 0;
    return;
  }
  if (g_live[client_id].waiting) return; /* an older ping is unanswered */
  g_live[client_id].waiting = true;
  g_live[client_id].wait_ping_ms = sent_ms;
  yv_rtos_timer_start(rec->part.client->pong_timer, static_cast<uint32_t>(yws_ping_timeout_ms(rec)),
                      0);
}

void yws_pong_wait_expired(int client_id, yws_client_t *rec) {
  if (!yws_client_id_ok(client_id) || !rec->part.client->pong_timer || !g_live[client_id].waiting)
    return;
  int64_t now = yws_now_ms();
  int64_t deadline = g_live[client_id].wait_ping_ms + yws_ping_timeout_ms(rec);
  if (now < deadline) {
    /* The expiry of an earlier wait, handled after a newer one started. */
    if (!yv_rtos_timer_is_running(rec->part.client->pong_timer))
      yv_rtos_timer_start(rec->part.client->pong_timer, static_cast<uint32_t>(deadline - now), 0);
    return;
  }
  int64_t last_rx = yws_last_rx_ms(client_id);
  if (last_rx < g_live[client_id].wait_ping_ms) {
    int64_t quiet = yws_loop_quiet_ms(yws_loop_of(rec));
    if (quiet >= 0 && now - quiet > last_rx) last_rx = now - quiet;
  }
  if (last_rx >= g_live[client_id].wait_ping_ms) {
    yws_pong_wait_rearm(client_id, rec, last_rx, now);
    return;
  }
  YWS_TRACE("PING TIMEOUT(%d)", client_id);
  yws_cause_set(client_id, YWS_CLOSE_CAUSE_PING_TIMEOUT);
  /* A silent peer gets no closing handshake: the connection ends now. */
  yv_event_t ev = {YWS_MSG_TYPE_TO_CLOSE_CLIENT,
                   yws_tag(static_cast<uint8_t>(client_id), rec->serial), YWS_ERR_TIMEDOUT, 0};
  yws_close_proc(&ev);
}

bool yws_ping_wait_event(const yv_event_t *msg) {
  return msg->param2 == kPongWaitExpired;
}
