/*
 * The bearer step of an open: network registration, packet-data context
 * activation, and the data-call layer's answers and indications.
 */
#include "yv_datacall.h"
#include "yv_net.h"
#include "yws_client_part.h"

namespace {

/* The context an indication is for: the low byte of its binding word
 * (yv_datacall.h). */
int yws_word_cid(uint32_t word) {
  return static_cast<int>(word & 0xFF);
}

/* The open `tag` names failed in its bearer step (own_step: on the task
 * running that step) or lost its bearer: release it and tell it, unless it
 * has ended some other way already. */
void yws_bearer_fail(uint32_t tag, bool own_step) {
  uint8_t client_id = static_cast<uint8_t>(yws_tag_client(tag));
  uint8_t cfg_id;
  bool retrying;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec_tagged(tag);
    if (!rec) return;
    cfg_id = rec->cfg_id;
    retrying = rec->part.client->reconn.active;
    /* Under the lock that keeps this record in its slot: the cause belongs
     * to this end, not to a later open of the id. */
    yws_cause_set(client_id, YWS_CLOSE_CAUSE_BEARER);
  }
  if (!own_step) {
    yws_client_end(tag, YWS_CB_TYPE_OPEN, YWS_ERR_NET_FAIL, true);
    return;
  }
  /* An attempt's bearer step runs on its own task; the service task tells
   * its outcome. */
  if (retrying) {
    yws_post(YWS_MSG_TYPE_OPEN_FAILED, tag, YWS_ERR_NET_FAIL, 0);
    return;
  }
  /* The caller's open, in its bearer step: its return tells the failure too. */
  if (!yws_final_do_if(tag)) return;
  yws_notify(client_id, cfg_id, YWS_CB_TYPE_OPEN, nullptr, 0, YWS_ERR_NET_FAIL);
}

/* A refusal of context cid reported synchronously inside the bearer step of
 * an open on this task is released and notified by that step itself. */
bool yws_in_own_bearer_step(int cid) {
  yv_task_t self = yv_rtos_task_self();
  yws_service_lock lk;
  for (int i = 0; i < YWS_CLIENT_NUM; i++) {
    yws_client_t *rec = yws_rec(i);
    if (rec && rec->part.client->bearer_task == self && rec->part.client->pdp_cid == cid)
      return true;
  }
  return false;
}

void yws_bearer_step_cb(uint8_t nSim, uint32_t ind_type, int profile_idx, bool result,
                        void *task_ref) {
  if (!result && yws_in_own_bearer_step(profile_idx)) return;
  yv_ws_datacall_cb(nSim, ind_type, profile_idx, result, task_ref);
}

void yws_bearer_step_end(uint32_t tag) {
  yws_service_lock lk;
  yws_client_t *rec = yws_rec_tagged(tag);
  if (rec) rec->part.client->bearer_task = 0;
}

/* Records on context `cid`, by tag: only those still waiting for its
 * activation when `waiting`, every one otherwise. With `go` the waiting ones
 * are marked as sent on to their connect step. */
int yws_bearer_clients(int cid, bool waiting, bool go, uint32_t *tags) {
  int n = 0;
  yws_service_lock lk;
  for (uint8_t i = 0; i < YWS_CLIENT_NUM; i++) {
    yws_client_t *rec = yws_rec(i);
    if (!rec || rec->part.client->pdp_cid != cid ||
        (waiting && rec->part.client->bearer != YWS_BEARER_WAITING))
      continue;
    if (go) rec->part.client->bearer = YWS_BEARER_CONNECTING;
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
  int cid;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec_tagged(tag);
    if (!rec) return 0; /* ended already, and told */
    /* The profile holds still while its client exists (busy rule). */
    cid = yws_profile(rec->cfg_id)->conn.pdp_cid;
    rec->part.client->pdp_cid = static_cast<uint8_t>(cid);
    rec->part.client->bearer = YWS_BEARER_WAITING;
    rec->part.client->bearer_task = yv_rtos_task_self();
  }
  int result =
      yv_ws_get_data_call_state(cid, reinterpret_cast<void *>(yws_core_task()), yws_bearer_step_cb);
  yws_bearer_step_end(tag);
  YWS_TRACE("net_act ret:%d", result);
  if (result == 0 || result == -2) return 0;
  yws_bearer_fail(tag, true);
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
  /* Another open's request may have come between our look and ours: the
   * context's state now says what the repeat means. */
  if (r == YV_DATACALL_REPEAT_ACTIVE_ERR && status != YV_DATACALL_ACTIVING) {
    status = yavo_get_datacall_status(0, cid);
    if (status == YV_DATACALL_ACTIVED) {
      YWS_TRACE("actived");
      if (cb) cb(0, YAVO_DATACALL_ACT_RSP_IND, cid, true, user_param);
      return reg;
    }
  }
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
  yv_event_t ev = {YAVO_TCPIP_APP_PDP_EVT_IND, word, ind_type, result ? 1u : 0u};
  (void)yv_ws_task_send_message(&ev);
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
    return;
  }
  if (!success)
    YWS_TRACE("net down");
  else if (ws_event->param2 == YAVO_DATACALL_DEACT_RSP_IND)
    YWS_TRACE("deact");
  /* Context cid is gone: every client on it ends now, whatever its state,
   * and no other. */
  int n = yws_bearer_clients(cid, false, false, tags);
  for (int i = 0; i < n; i++) yws_bearer_fail(tags[i], false);
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
    lwip_inet_ntop(YV_AF_INET, &info.v4.addr.ip, text, sizeof(text));
    YWS_TRACE("yws info.v4.addr.ip: %s\r\n", text);
    return 0;
  }
  YWS_TRACE("pdp %d failed", cid);
  return -1;
}
