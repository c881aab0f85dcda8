/*
 * The client record: its creation, and the readers that other tasks use
 * (state query, client query). Records are released only
 * by yws_final_do under the service lock, so every reader on another task
 * holds that lock while it looks at a record.
 */
#include <atomic>
#include <cstdarg>
#include <cstring>

#include "yws_client_part.h"

namespace {

/* Makes each room's part of the record; false without memory. */
bool yws_parts_new(yws_client_t *rec, int client_id, const yws_cfg_t *cfg) {
  if (!yws_loop_part_new(rec, client_id, cfg) || !yws_data_part_new(rec, cfg)) return false;
  auto *cp = static_cast<yws_client_part *>(yv_mem_alloc(sizeof(yws_client_part)));
  if (!cp) return false;
  rec->part.client = cp;
  cp->reconn.open_serial = rec->serial;
  /* Modules and clients that lost one server together draw different delays. */
  cp->reconn.rng = yv_rtos_random() ^ static_cast<uint32_t>(yws_now_ms()) ^
                   (static_cast<uint32_t>(client_id) + 1) * 0x9E3779B9u;
  cp->stats.ping_rtt_ms = -1;
  cp->stats.opened_ms = yws_now_ms();
  cp->bearer = YWS_BEARER_WAITING; /* the open's bearer step comes next */
  return true;
}

}  // namespace

/* Releases what a record holds; the one cleanup path, for a record under
 * construction and for a released one. */
void yws_record_release(yws_client_t *rec) {
  yws_data_part_free(rec);
  yws_loop_part_free(rec);
  if (rec->part.client) {
    std::memset(rec->part.client, 0, sizeof(*rec->part.client));
    yv_mem_free(rec->part.client);
  }
  yws_rec_free(rec);
}

namespace {

int yws_client_create_locked(int client_id, int cfg_id) {
  yws_cfg_t *cfg = yws_profile(cfg_id);
  if (!cfg || !cfg->conn.url) {
    YWS_TRACE("URL EMPTY");
    return YWS_ERR_INVAL_URL;
  }
  yws_client_t *rec = yws_rec_new(static_cast<uint8_t>(cfg_id));
  if (!rec) return YWS_ERR_NO_MEM;
  if (!yws_parts_new(rec, client_id, cfg)) {
    yws_record_release(rec);
    return YWS_ERR_NO_MEM;
  }
  bool filled;
  {
    /* Two tasks opening the same id: only one record may win the slot. */
    yws_service_lock lk;
    filled = yws_slot_fill(client_id, rec);
    if (filled) {
      yws_cause_open(client_id);
      yws_rx_check_open(client_id);
      yws_keepalive_open(client_id);
    }
  }
  if (!filled) {
    yws_record_release(rec);
    return YWS_ERR_INVAL_PARM;
  }
  YWS_TRACE("client hd=%p", (void *)rec);
  return YWS_OK;
}

}  // namespace

/* Creates the record from the profile as it stands under the profile lock;
 * once the record is in its slot the busy rule keeps the profile still. */
int yws_client_service_new(int client_id, int cfg_id) {
  if (!yws_client_id_ok(client_id) || !yws_cfg_id_ok(cfg_id) ||
      yws_client_specific_id_is_occupied(static_cast<uint8_t>(client_id)))
    return YWS_ERR_INVAL_PARM;
  yws_cfg_lock(cfg_id);
  int rc = yws_client_create_locked(client_id, cfg_id);
  yws_cfg_unlock(cfg_id);
  return rc;
}

namespace {

/* Caller holds the service lock: the record and its loop stay. */
void yws_link_stats_read(int client_id, yws_client_t *rec, yws_link_stats_t *out) {
  std::memset(out, 0, sizeof(*out));
  yws_tx_counts_t tx;
  yws_tx_counts(rec, &tx);
  out->tx_bytes = static_cast<uint64_t>(tx.sent);
  out->tx_msgs = tx.msgs;
  out->rx_bytes = rec->part.client->stats.rx_bytes;
  out->rx_msgs = rec->part.client->stats.rx_msgs;
  out->ping_rtt_ms = rec->part.client->stats.ping_rtt_ms;
  if (const yws_loop *loop = yws_loop_of(rec)) {
    yws_loop_counts_t now;
    yws_loop_counts(loop, &now);
    out->rx_bytes += now.rx_bytes;
    out->rx_msgs += now.rx_msgs;
    if (now.ping_rtt_ms >= 0) out->ping_rtt_ms = now.ping_rtt_ms;
  }
  int64_t last = yws_last_rx_ms(client_id);
  if (last < rec->part.client->stats.last_rx_ms) last = rec->part.client->stats.last_rx_ms;
  if (last == 0) last = rec->part.client->stats.opened_ms; /* nothing yet: idle since the open */
  int64_t idle = yws_now_ms() - last;
  out->idle_ms = static_cast<uint32_t>(idle < 0 ? 0 : (idle > UINT32_MAX ? UINT32_MAX : idle));
  out->reconnects = rec->part.client->stats.reconnects;
  out->drops = rec->part.client->stats.drops;
}

/* Caller holds the service lock. */
void yws_wire_stats_read(int client_id, yws_client_t *rec, yws_wire_stats_t *out) {
  yws_link_stats_t link;
  yws_link_stats_read(client_id, rec, &link);
  std::memset(out, 0, sizeof(*out));
  out->tx_bytes = link.tx_bytes;
  out->rx_bytes = link.rx_bytes;
  uint64_t tx = 0, rx = 0;
  bool counted = rec->part.client->stats.wire_tx || rec->part.client->stats.wire_rx;
  if (yws_loop *loop = yws_loop_of(rec)) counted = yws_wire_read(loop, &tx, &rx) || counted;
  if (!counted) return;
  out->tx_wire = rec->part.client->stats.wire_tx + tx;
  out->rx_wire = rec->part.client->stats.wire_rx + rx;
  out->wire_counted = 1;
}

}  // namespace

int yv_ws_get_client_conn_state(uint8_t client_id) {
  int r = 0;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec(client_id);
    if (rec) r = yws_state(rec);
  }
  YWS_TRACE("result=%d", r);
  return r;
}
yws_err_e yv_ws_client_get_opt(uint8_t client_id, int opt_tag, ...) {
  if (!yws_client_id_ok(client_id)) return YWS_ERR_INVAL_PARM;
  va_list ap;
  va_start(ap, opt_tag);
  yws_err_e ret = YWS_OK;
  if (opt_tag == YWS_CLIENT_GET_CLOSE_CAUSE) {
    /* Answers on a free slot too: the record outlives the client. */
    int *cause = va_arg(ap, int *);
    int *peer_code = va_arg(ap, int *);
    char *reason = va_arg(ap, char *);
    ret = yws_cause_get(client_id, cause, peer_code, reason);
    va_end(ap);
    return ret;
  }
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec(client_id);
    if (!rec) {
      ret = YWS_ERR_INVAL_PARM;
    } else {
      switch (opt_tag) {
        case YWS_CLIENT_GET_ERRCODE: {
          int *out = va_arg(ap, int *);
          if (out) *out = yws_status_read(rec, YWS_STATUS_ERR);
          break;
        }
        case YWS_CLIENT_GET_CONNSTATE: {
          int *out = va_arg(ap, int *);
          if (out) *out = yws_state(rec);
          break;
        }
        case YWS_CLIENT_GET_UNSENT_SIZE: {
          int *total = va_arg(ap, int *);
          int *unsent = va_arg(ap, int *);
          yws_tx_counts_t tx;
          yws_tx_counts(rec, &tx);
          int64_t t = tx.total, u = tx.total - tx.sent - tx.lost;
          /* The int answers stop at INT32_MAX; the counters go on. */
          if (total) *total = static_cast<int>(t > INT32_MAX ? INT32_MAX : t);
          if (unsent) *unsent = static_cast<int>(u > INT32_MAX ? INT32_MAX : u);
          break;
        }
        case YWS_CLIENT_GET_LINK_STATS: {
          auto *out = va_arg(ap, yws_link_stats_t *);
          if (out)
            yws_link_stats_read(client_id, rec, out);
          else
            ret = YWS_ERR_INVAL_PARM;
          break;
        }
        case YWS_CLIENT_GET_WIRE_STATS: {
          auto *out = va_arg(ap, yws_wire_stats_t *);
          if (out)
            yws_wire_stats_read(client_id, rec, out);
          else
            ret = YWS_ERR_INVAL_PARM;
          break;
        }
        default:
          ret = YWS_ERR_INVAL_PARM;
          break;
      }
    }
  }
  va_end(ap);
  return ret;
}

uint32_t yws_client_open_serial(const yws_client_t *rec) {
  return rec->part.client->reconn.open_serial;
}
