/*
 * The bearer step of an open: network registration, packet-data context
 * activation, and the data-call layer's answers and indications.
 */
#include <arpa/inet.h>

#include "yv_websocket_inc.h"
#include "yws_lock.h"

namespace {

uint8_t yws_cur_client() {
  return __atomic_load_n(&service_t->cur_client_id, __ATOMIC_ACQUIRE);
}
uint8_t yws_cur_cfg() {
  return __atomic_load_n(&service_t->cur_cfg_id, __ATOMIC_ACQUIRE);
}
void yws_set_pdp_listen(uint8_t v) {
  __atomic_store_n(&service_t->pdp_listen, v, __ATOMIC_RELEASE);
}

/* The current open failed in its bearer step: release it and say so. */
void yws_abandon_open(uint8_t client_id, uint8_t cfg_id) {
  if (client_id < YWS_CLIENT_NUM && yws_client[client_id])
    yws_cause_set(client_id, YWS_CLOSE_CAUSE_BEARER);
  yws_final_do(client_id);
  yws_set_pdp_listen(0);
  yws_notify(client_id, cfg_id, YWS_CB_TYPE_OPEN, nullptr, 0, YWS_ERR_NET_FAIL);
}

/* Set while the bearer step runs on this task: a refusal reported there
 * synchronously is released and notified by the step itself, and must not come
 * back as an event that could tear down a newer open of the same id. */
thread_local bool t_in_bearer_step = false;

void yws_bearer_step_cb(uint8_t nSim, uint32_t ind_type, int profile_idx, bool result,
                        void *task_ref) {
  if (t_in_bearer_step && !result) return;
  yv_ws_datacall_cb(nSim, ind_type, profile_idx, result, task_ref);
}

/* The opens still waiting for the bearer, returned by id and profile. With
 * `go` each is sent on to its connect step. */
int yws_bearer_waiting(bool go, uint8_t *ids, uint8_t *cfgs) {
  uint32_t tags[YWS_CLIENT_NUM];
  int n = 0;
  {
    yws_service_lock lk;
    for (uint8_t i = 0; i < YWS_CLIENT_NUM; i++) {
      yws_client_t *rec = yws_client[i];
      if (!rec || rec->pdp_listen != 1) continue;
      if (go) rec->pdp_listen = 6;
      if (ids) ids[n] = i;
      if (cfgs) cfgs[n] = rec->cfg_id;
      tags[n++] = yws_tag(i, rec->serial);
    }
  }
  for (int i = 0; go && i < n; i++) yws_post(YWS_MSG_TYPE_TO_OPEN_CLIENT, tags[i], 0, 0);
  return n;
}

}  // namespace

int yws_client_net_act(void *arg) {
  (void)arg;
  uint8_t client_id = yws_cur_client();
  uint8_t cfg_id = yws_cur_cfg();
  int cid = 1;
  int v = 0;
  if (yv_ws_cfg_get_opt(cfg_id, YWS_CFG_CONN_PDPCID, &v) == YWS_OK) cid = v;
  t_in_bearer_step = true;
  int result = yv_ws_get_data_call_state(
      cid, reinterpret_cast<void *>(__atomic_load_n(&service_t->ws_task_id, __ATOMIC_ACQUIRE)),
      yws_bearer_step_cb);
  t_in_bearer_step = false;
  YWS_TRACE("net_act ret:%d", result);
  if (result == 0 || result == -2) return 0;
  yws_abandon_open(client_id, cfg_id);
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
  (void)yv_rtos_queue_release(__atomic_load_n(&service_t->queue, __ATOMIC_ACQUIRE), sizeof(ev), &ev,
                              YV_WAIT_FOREVER);
}

void yv_ws_client_net_cb(yv_event_t *ws_event) {
  uint8_t listen = __atomic_load_n(&service_t->pdp_listen, __ATOMIC_ACQUIRE);
  YWS_TRACE("yws result= %d, %ld,  %ld,%d", (int)ws_event->param3, (long)ws_event->param2,
            (long)YAVO_DATACALL_ACT_RSP_IND, (int)listen);
  /* No open is waiting on the bearer: it was abandoned and notified already
   * (a refused activation is also answered through the callback), and the
   * id may belong to a newer open by now. */
  if (listen == 0) return;
  bool success = ws_event->param3 != 0;
  if (success && ws_event->param2 == YAVO_DATACALL_ACT_RSP_IND) {
    /* The bearer is up for every open that waits for it, not only the
     * latest; an answer that finds none waiting changes nothing. */
    if (yws_bearer_waiting(true, nullptr, nullptr) > 0) yws_set_pdp_listen(6);
    return;
  }
  if (!success)
    YWS_TRACE("net down");
  else if (ws_event->param2 == YAVO_DATACALL_DEACT_RSP_IND)
    YWS_TRACE("deact");
  uint8_t ids[YWS_CLIENT_NUM], cfgs[YWS_CLIENT_NUM];
  int n = yws_bearer_waiting(false, ids, cfgs);
  uint8_t cur = yws_cur_client();
  yws_abandon_open(cur, yws_cur_cfg());
  for (int i = 0; i < n; i++)
    if (ids[i] != cur) yws_abandon_open(ids[i], cfgs[i]);
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
