/*
 * Reconnect: the end of a connection or of an open either releases the
 * record or, with "reconn/attempts", keeps the slot and opens again after a
 * delay drawn from the client's own random source. The wait and the bearer
 * step of an attempt run on a task of their own ("wsretry"), never on the
 * service task, so no other client's events wait behind them.
 */
#include "yv_datacall.h"
#include "yws_client_part.h"

namespace {

/* A connection that stayed open this long starts the count over. */
constexpr int64_t kStableMs = 30000;

bool yws_reconn_on(const yws_client_t *rec) {
  const yws_cfg_t *cfg = yws_profile(rec->cfg_id);
  return cfg && cfg->reconn.attempts > 0;
}

int32_t yws_size_of(int64_t bytes) {
  return static_cast<int32_t>(bytes > INT32_MAX ? INT32_MAX : bytes);
}

/* Folds what the connection that ended counted into the record. */
void yws_stats_fold(int client_id, yws_client_t *rec) {
  int64_t last = yws_last_rx_ms(client_id);
  if (last > rec->part.client->stats.last_rx_ms) rec->part.client->stats.last_rx_ms = last;
  yws_loop *loop = yws_loop_of(rec);
  if (!loop) return;
  yws_loop_counts_t ended;
  yws_loop_take_counts(loop, &ended);
  rec->part.client->stats.rx_bytes += ended.rx_bytes;
  rec->part.client->stats.rx_msgs += ended.rx_msgs;
  rec->part.client->stats.wire_tx += ended.wire_tx;
  rec->part.client->stats.wire_rx += ended.wire_rx;
  if (ended.ping_rtt_ms >= 0) rec->part.client->stats.ping_rtt_ms = ended.ping_rtt_ms;
}

/* The record becomes the next attempt's: what belonged to the connection
 * that ended goes, the slot, the profile, the queued writes and the counts
 * stay. A new generation makes every late event of the old one stale.
 * False when the receive side cannot be made again (no memory). */
bool yws_reconn_reset(int client_id, yws_client_t *rec, int32_t *cut) {
  /* Other tasks read the fields below under this lock (queries, the retry task). */
  yws_service_lock lk;
  yws_stats_fold(client_id, rec);
  yws_connection_release(rec);
  rec->part.client->bearer = YWS_BEARER_WAITING;
  rec->part.client->pdp_cid = 0;
  rec->part.client->bearer_task = 0;
  *cut = yws_tx_drop_cut(rec);
  if (!yws_data_part_restart(rec)) return false;
  yws_rec_regenerate(rec);
  yws_status_set(rec, YWS_CONN_STA_CONNECTING, YWS_OK, 0);
  yws_writable_set(rec, true);
  rec->part.client->reconn.active = true;
  rec->part.client->reconn.waiting = true;
  return true;
}

bool yws_retry_alive(uint32_t tag) {
  yws_service_lock lk;
  yws_client_t *rec = yws_rec_tagged(tag);
  return rec && rec->part.client->reconn.waiting && !rec->part.client->reconn.stop &&
         yws_core_running();
}

/* The wait is over: from here the attempt is an open like the caller's. */
bool yws_retry_claim(uint32_t tag) {
  yws_service_lock lk;
  yws_client_t *rec = yws_rec_tagged(tag);
  if (!rec || !rec->part.client->reconn.waiting || rec->part.client->reconn.stop ||
      !yws_core_running())
    return false;
  rec->part.client->reconn.waiting = false;
  return true;
}

void yws_retry_task(void *arg) {
  auto tag = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
  int client_id = yws_tag_client(tag);
  uint32_t delay = 0;
  {
    yws_service_lock lk;
    if (yws_client_t *rec = yws_rec_tagged(tag)) delay = rec->part.client->reconn.delay_ms;
  }
  /* Without registration no attempt is spent: the attempt waits for it and,
   * once it is back, starts at once. */
  bool go = yws_retry_alive(tag);
  bool waited = false;
  while (go && yv_network_register_wait(0, 1) != 0) {
    waited = true;
    go = yws_retry_alive(tag);
  }
  if (go && !waited) go = yws_core_nap(client_id, delay);
  if (go && yws_retry_claim(tag)) {
    /* As an open: the connect timer bounds the bearer step too, which runs
     * here; its failures come back to the service task as events. */
    if (yws_open_timer_start(tag) != YV_OSI_SUCCESS) {
      yws_post(YWS_MSG_TYPE_OPEN_FAILED, tag, YWS_ERR_NO_MEM, 0);
    } else {
      yv_event_t ev = {YWS_MSG_TYPE_TO_NET_ACT, tag, 0, 0};
      (void)yws_client_net_act(&ev);
    }
  }
  yv_rtos_task_delete(0);
}

/* Starts the wait of the attempt the record now stands for. */
bool yws_retry_start(int client_id, yws_client_t *rec) {
  yws_core_nap_reset(client_id);
  uint32_t tag = yws_tag(static_cast<uint8_t>(client_id), rec->serial);
  yv_task_t task = 0;
  return yv_rtos_task_create(&task, 4096, APP_PRIORITY_NORMAL, "wsretry", yws_retry_task,
                             reinterpret_cast<void *>(static_cast<uintptr_t>(tag)),
                             0) == YV_OSI_SUCCESS;
}

/* The record ends for good; size tells the bytes it takes along unsent. */
void yws_end_for_good(uint32_t tag, int client_id, uint8_t cfg_id, int32_t type, int32_t err,
                      int32_t size) {
  if (!yws_final_do_if(tag)) return;
  yws_notify(client_id, cfg_id, type, nullptr, size, err);
}

}  // namespace

uint32_t yws_reconn_random(uint32_t *state) {
  /* xorshift32: never 0 once seeded with a non-zero state. */
  uint32_t x = *state ? *state : 0x9E3779B9u;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return x;
}

uint32_t yws_reconn_delay(uint32_t attempt, uint32_t min_ms, uint32_t max_ms, uint32_t *rng) {
  uint64_t cap = max_ms < min_ms ? min_ms : max_ms;
  uint64_t d = min_ms;
  for (uint32_t i = 1; i < attempt && d < cap; i++) d *= 2;
  if (d > cap) d = cap;
  uint64_t lo = d / 2;
  return static_cast<uint32_t>(lo + yws_reconn_random(rng) % (d - lo + 1));
}

int64_t yws_reconn_stable_ms(uint32_t max_ms) {
  int64_t twice = 2 * static_cast<int64_t>(max_ms);
  return twice < kStableMs ? twice : kStableMs;
}

void yws_reconn_opened(yws_client_t *rec) {
  yws_service_lock lk;
  if (rec->part.client->reconn.active) rec->part.client->stats.reconnects++;
  rec->part.client->reconn.active = false;
  rec->part.client->reconn.waiting = false;
  rec->part.client->reconn.up_since_ms = yws_now_ms();
}

void yws_client_end(uint32_t tag, int32_t type, int32_t err, bool may_retry) {
  yws_client_t *rec = yws_rec_tagged(tag);
  if (!rec) return;
  int client_id = yws_tag_client(tag);
  uint8_t cfg_id = rec->cfg_id;
  yws_cause_settle(client_id, type, err);
  if (!yws_reconn_on(rec)) {
    yws_end_for_good(tag, client_id, cfg_id, type, err, 0);
    return;
  }
  int cause = YWS_CLOSE_CAUSE_NONE;
  (void)yws_cause_get(client_id, &cause, nullptr, nullptr);
  bool asked = rec->part.client->reconn.stop || cause == YWS_CLOSE_CAUSE_USER;
  if (!asked && rec->part.client->reconn.up_since_ms) {
    yws_service_lock lk;
    rec->part.client->stats.drops++;
  }
  const yws_cfg_t *cfg = yws_profile(cfg_id);
  if (rec->part.client->reconn.up_since_ms && yws_now_ms() - rec->part.client->reconn.up_since_ms >=
                                                  yws_reconn_stable_ms(cfg->reconn.maxdelay_ms))
    rec->part.client->reconn.attempt = 0;
  rec->part.client->reconn.up_since_ms = 0;
  bool more =
      cfg->reconn.attempts == 255 || rec->part.client->reconn.attempt < cfg->reconn.attempts;
  if (asked || !may_retry || !more || !yws_core_running()) {
    yws_end_for_good(tag, client_id, cfg_id, type, err, yws_size_of(yws_tx_queued(rec)));
    return;
  }
  uint32_t n = ++rec->part.client->reconn.attempt;
  uint32_t delay = yws_reconn_delay(n, cfg->reconn.mindelay_ms, cfg->reconn.maxdelay_ms,
                                    &rec->part.client->reconn.rng);
  rec->part.client->reconn.delay_ms = delay;
  int32_t cut = 0;
  if (!yws_reconn_reset(client_id, rec, &cut)) {
    yws_end_for_good(yws_tag(static_cast<uint8_t>(client_id), rec->serial), client_id, cfg_id, type,
                     YWS_ERR_NO_MEM, yws_size_of(yws_tx_queued(rec) + cut));
    return;
  }
  uint32_t next = yws_tag(static_cast<uint8_t>(client_id), rec->serial);
  YWS_TRACE("reconnect %u in %u ms, %d bytes cut", n, delay, cut);
  yws_notify(client_id, cfg_id, type, nullptr, cut, err);
  /* The attempt's own end records its cause from here. */
  yws_cause_open(client_id);
  yws_rx_check_open(client_id);
  yws_keepalive_open(client_id);
  rec = yws_rec_tagged(next);
  if (!rec) return;
  yws_notify(client_id, cfg_id, YWS_CB_TYPE_RECONNECT, nullptr, static_cast<int32_t>(n),
             static_cast<int32_t>(delay));
  rec = yws_rec_tagged(next);
  if (!rec || rec->part.client->reconn.stop)
    return; /* a close during the notifications is handled by its event */
  if (!yws_retry_start(client_id, rec)) {
    yws_cause_set(client_id, YWS_CLOSE_CAUSE_LOCAL);
    yws_end_for_good(next, client_id, cfg_id, YWS_CB_TYPE_OPEN, YWS_ERR_TASK_CREATE,
                     yws_size_of(yws_tx_queued(rec)));
  }
}

bool yws_reconn_close(int client_id, yws_client_t *rec) {
  bool waiting;
  {
    /* The retry task reads stop and writes waiting under this lock. */
    yws_service_lock lk;
    if (!rec->part.client->reconn.active && yws_state(rec) != YWS_CONN_STA_CLOSING) return false;
    rec->part.client->reconn.stop = true;
    waiting = rec->part.client->reconn.waiting;
  }
  /* An end under way: it is told as it comes, and nothing follows it. */
  if (!rec->part.client->reconn.active) return true;
  yws_cause_set(client_id, YWS_CLOSE_CAUSE_USER);
  if (waiting || !yws_loop_started(rec)) {
    /* Nothing of the attempt is on the network yet: the end is now. */
    yws_core_nap_cut(client_id);
    uint32_t tag = yws_tag(static_cast<uint8_t>(client_id), rec->serial);
    yws_end_for_good(tag, client_id, rec->cfg_id, YWS_CB_TYPE_CLOSE, YWS_OK,
                     yws_size_of(yws_tx_queued(rec)));
    return true;
  }
  /* The attempt's connection is under way: its teardown tells the CLOSE. */
  yws_status_set(rec, YWS_CONN_STA_CLOSING, YWS_OK, YWS_CB_TYPE_CLOSE);
  if (yws_loop_of(rec)) yws_loop_stop(yws_loop_of(rec));
  return true;
}
