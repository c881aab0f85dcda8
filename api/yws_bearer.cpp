/*
 * The bearer step of an open: network registration, packet-data context
 * activation, and the data-call layer's answers and indications.
 */
#include <arpa/inet.h>

#include "yv_websocket_inc.h"
#include "yws_lock.h"

namespace {

/* The context an indication is for: the low byte of its binding word
 * (yv_datacall.h). */
int yws_word_cid(uint32_t word) {
  return static_cast<int>(word & 0xFF);
}

/* The open `tag` names failed in its bearer step or lost its bearer: release it
 * and tell it, unless it has ended some other way already. */
void yws_bearer_fail(uint32_t tag) {
  uint8_t client_id = static_cast<uint8_t>(tag & 0xFF);
  uint8_t cfg_id;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec(client_id);
    if (!rec || rec->serial != (tag >> 8)) return;
    cfg_id = rec->cfg_id;
    /* Under the lock that keeps this record in its slot: the cause belongs
     * to this end, not to a later open of the id. */
    yws_cause_set(client_id, YWS_CLOSE_CAUSE_BEARER);
  }
  if (!yws_final_do_if(tag)) return;
  yws_notify(client_id, cfg_id, YWS_CB_TYPE_OPEN, nullptr, 0, YWS_ERR_NET_FAIL);
}

/* The task running the bearer step, while it runs: a refusal reported there
 * synchronously is released and notified by the step itself. */
std::atomic<yv_task_t> g_bearer_step_task{0};

void yws_bearer_step_cb(uint8_t nSim, uint32_t ind_type, int profile_idx, bool result,
                        void *task_ref) {
  if (!result && g_bearer_step_task.load() == yv_rtos_task_self()) return;
  yv_ws_datacall_cb(nSim, ind_type, profile_idx, result, task_ref);
}

/* Records on context `cid`, by tag: only those still waiting for its
 * activation when `waiting`, every one otherwise. With `go` the waiting ones
 * are marked as sent on to their connect step. */
int yws_bearer_clients(int cid, bool waiting, bool go, uint32_t *tags) {
  int n = 0;
  yws_service_lock lk;
  for (uint8_t i = 0; i < YWS_CLIENT_NUM; i++) {
    yws_client_t *rec = yws_client[i];
    if (!rec || rec->pdp_cid != cid || (waiting && rec->pdp_listen != 1)) continue;
    if (go) rec->pdp_listen = 6;
    tags[n++] = yws_tag(i, rec->serial);
  }
  return n;
}

}  // namespace

int yws_client_net_act(void *arg) {
  /* The open names itself: several opens on several tasks and contexts may be
   * in their bearer step at once. */
  auto *ev = static_cast<yv_event_t *>(arg);
  if (!ev) return YWS_ERR_INVAL_PARM;
  uint32_t tag = ev->param1;
  uint8_t client_id = static_cast<uint8_t>(tag & 0xFF);
  int cid;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec(client_id);
    if (!rec || rec->serial != (tag >> 8)) return 0; /* ended already, and told */
    /* The profile holds still while its client exists (busy rule). */
    cid = yws_cfg[rec->cfg_id]->conn.pdp_cid;
    rec->pdp_cid = static_cast<uint8_t>(cid);
    rec->pdp_listen = 1;
  }
  service_t->pdp_listen = 1;
  g_bearer_step_task = yv_rtos_task_self();
  int result = yv_ws_get_data_call_state(
      cid, reinterpret_cast<void *>(service_t->ws_task_id.load()), yws_bearer_step_cb);
  g_bearer_step_task = 0;
  YWS_TRACE("net_act ret:%d", result);
  if (result == 0 || result == -2) return 0;
  yws_bearer_fail(tag);
  return result;
}

int yv_ws_get_data_call_state(int cid, void *user_param, YVW_DATACALL_RESPONSE_CB cb) {
  int reg = 0;
  for (int attempt = 1; attempt <= 11; attempt++) {
    reg = yv_network_register_wait(0, 120);
    if (reg == 0) break;
    if (attempt < 11) yv_rtos_task_sleep_s(1);
  }
  int status = yavo_get_datacall_status(0, cid);
  if (status == YV_DATACALL_ACTIVED) {
    YWS_TRACE("actived");
    if (cb) cb(0, YAVO_DATACALL_ACT_RSP_IND, cid, true, user_param);
    return reg;
  }
  uint32_t r = yv_datacall_pdp_active(0, cid, cb, nullptr);
  YWS_TRACE("active:%x", r);
  if (r == 0 || (r == YV_DATACALL_REPEAT_ACTIVE_ERR && status == YV_DATACALL_ACTIVING)) {
    YWS_TRACE("activing");
    return -2;
  }
  YWS_TRACE("failed");
  if (cb) cb(0, YAVO_DATACALL_ACT_RSP_IND, cid, false, user_param);
  return -1;
}

void yv_ws_datacall_cb(uint8_t nSim, uint32_t ind_type, int profile_idx, bool result,
                       void *task_ref) {
  (void)task_ref;
  uint16_t word = 0;
  if (yv_bind_sim_and_profile(nSim, profile_idx, &word) != 0) {
    YWS_TRACE("bind err");
    return;
  }
  if (!service_t) return;
  yv_event_t ev = {YAVO_TCPIP_APP_PDP_EVT_IND, word, ind_type, result ? 1u : 0u};
  (void)yv_rtos_queue_release(service_t->queue.load(), sizeof(ev), &ev, YV_WAIT_FOREVER);
}

void yv_ws_client_net_cb(yv_event_t *ws_event) {
  int cid = yws_word_cid(ws_event->param1);
  YWS_TRACE("yws result= %d, %ld,  %ld,%d", (int)ws_event->param3, (long)ws_event->param2,
            (long)YAVO_DATACALL_ACT_RSP_IND, cid);
  uint32_t tags[YWS_CLIENT_NUM];
  bool success = ws_event->param3 != 0;
  if (success && ws_event->param2 == YAVO_DATACALL_ACT_RSP_IND) {
    /* Context cid is up for every open waiting for it; an answer that finds
     * none waiting changes nothing. */
    int n = yws_bearer_clients(cid, true, true, tags);
    for (int i = 0; i < n; i++) yws_post(YWS_MSG_TYPE_TO_OPEN_CLIENT, tags[i], 0, 0);
    if (n > 0) service_t->pdp_listen = 6;
    return;
  }
  if (!success)
    YWS_TRACE("net down");
  else if (ws_event->param2 == YAVO_DATACALL_DEACT_RSP_IND)
    YWS_TRACE("deact");
  /* Context cid is gone: every client on it ends now, whatever its state,
   * and no other. */
  int n = yws_bearer_clients(cid, false, false, tags);
  for (int i = 0; i < n; i++) yws_bearer_fail(tags[i]);
  if (n > 0) service_t->pdp_listen = 0;
  YWS_TRACE("yws exit");
}

int yv_ws_act_start(int cid, int sim_id) {
  uint8_t sim = static_cast<uint8_t>(sim_id & 0xFF);
  uint32_t r = yv_datacall_pdp_active(sim, cid, nullptr, nullptr);
  int status = yavo_get_datacall_status(sim, cid);
  if (r == 0 || (r == YV_DATACALL_REPEAT_ACTIVE_ERR && status == YV_DATACALL_ACTIVING)) {
    YWS_TRACE("pdp %d activing", cid);
    return -2;
  }
  if (r == YV_DATACALL_REPEAT_ACTIVE_ERR && status == YV_DATACALL_ACTIVED) {
    YWS_TRACE("pdp %d actived", cid);
    yv_data_call_info_s info = {};
    int ret = yv_get_data_call_info(sim, cid, &info);
    if (ret != 0) {
      YWS_TRACE("yws ret: %d", ret);
      return ret;
    }
    char text[16] = {0};
    lwip_inet_ntop(AF_INET, &info.v4.addr.ip, text, sizeof(text));
    YWS_TRACE("yws info.v4.addr.ip: %s\r\n", text);
    return 0;
  }
  YWS_TRACE("pdp %d failed", cid);
  return -1;
}
