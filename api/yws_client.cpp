/*
 * The client record: creation, status operations, and the readers that other
 * tasks use (state query, client query, busy rule). Records are released only
 * by yws_final_do under the service lock, so every reader on another task
 * holds that lock while it looks at a record.
 */
#include <atomic>
#include <cstdarg>
#include <cstring>

#include "yv_websocket_inc.h"
#include "yws_lock.h"

namespace {

std::atomic<uint32_t> g_serial{0};

uint32_t yws_next_serial() {
  uint32_t s;
  do {
    s = (g_serial.fetch_add(1) + 1) & 0xFFFFFF;
  } while (s == 0);
  return s;
}

int32_t yws_buffer_limit(uint32_t configured) {
  return (configured >= 3072 && configured <= 16384) ? static_cast<int32_t>(configured) : 10240;
}

int yws_read_status(yws_client_t *rec, uint8_t type) {
  yv_rtos_mutex_lock(rec->status.conn.mutex, YV_WAIT_FOREVER);
  int r;
  switch (type) {
    case 1:
      r = rec->status.conn.err_code;
      break;
    case 2:
      r = rec->status.conn.type;
      break;
    default:
      r = rec->status.conn.cur_sta;
      break;
  }
  yv_rtos_mutex_unlock(rec->status.conn.mutex);
  return r;
}

int yws_client_create_locked(int client_id, int cfg_id) {
  yws_cfg_t *cfg = yws_cfg[cfg_id];
  if (!cfg || !cfg->conn.url) {
    YWS_TRACE("URL EMPTY");
    return YWS_ERR_INVAL_URL;
  }
  auto *rec = static_cast<yws_client_t *>(yv_mem_alloc(sizeof(yws_client_t)));
  if (!rec) return YWS_ERR_NO_MEM;
  /* The sub-protocol is sent only when enabled; the record keeps its own
   * copy behind the table, released with it. */
  const char *subprot = cfg->conn.subprot_en && cfg->conn.subprot ? cfg->conn.subprot : "";
  size_t name_size = strlen(subprot) + 1;
  auto *prots = static_cast<lws_protocols *>(yv_mem_alloc(2 * sizeof(lws_protocols) + name_size));
  if (!prots) {
    yv_mem_free(rec);
    return YWS_ERR_NO_MEM;
  }
  lws_extension *exts = nullptr;
  if (cfg->conn.extension_en) {
    exts = static_cast<lws_extension *>(yv_mem_alloc(2 * sizeof(lws_extension)));
    if (!exts) {
      yv_mem_free(prots);
      yv_mem_free(rec);
      return YWS_ERR_NO_MEM;
    }
  }
  char *name = reinterpret_cast<char *>(prots + 2);
  memcpy(name, subprot, name_size);
  prots[0].name = name;
  prots[0].callback = yws_client_prot_callback;
  prots[0].per_session_data_size = 0;
  prots[0].rx_buffer_size = 2048;
  prots[0].id = static_cast<unsigned int>(client_id);
  prots[0].user = nullptr;
  prots[0].tx_packet_size = 2048 + YWS_LWS_PRE;

  rec->cfg_id = static_cast<uint8_t>(cfg_id);
  rec->prot_ctxt.protocols = prots;
  rec->prot_ctxt.exts = exts;
  rec->prot_ctxt.wsi = nullptr;
  rec->prot_ctxt.is_destroyed = false;
  rec->status.write.curr_is_writable = true;
  /* A record whose locks could not all be made is not used at all: its status
   * guards would do nothing. */
  yv_mutex_t *locks[] = {&rec->prot_ctxt.prot_api_mutex, &rec->prot_ctxt.destroy_mutex,
                         &rec->status.conn.mutex, &rec->status.write.mutex};
  for (yv_mutex_t *m : locks) {
    if (yv_rtos_mutex_create(m) == YV_OSI_SUCCESS && *m) continue;
    YWS_TRACE("mutex failed");
    for (yv_mutex_t *made : locks) yv_rtos_mutex_delete(*made);
    yv_mem_free(exts);
    yv_mem_free(prots);
    yv_mem_free(rec);
    return YWS_ERR_NO_MEM;
  }
  list_init(&rec->data.read.rx_q);
  list_init(&rec->data.write.tx_q);
  rec->data.read.rx_max_size = yws_buffer_limit(cfg->read.buffer_sz);
  rec->data.write.tx_max_size = yws_buffer_limit(cfg->write.buffer_sz);
  rec->serial = yws_next_serial();
  rec->pdp_listen = 1; /* the open's bearer step comes next */
  rec->status.conn.cur_sta = YWS_CONN_STA_CONNECTING;
  rec->data.read.socket_rwind_size = 20480;
  rec->data.write.socket_swind_size = 20480;
  {
    /* Two tasks opening the same id: only one record may win the slot. */
    yws_service_lock lk;
    if (!yws_client[client_id]) {
      yws_cause_open(client_id);
      yws_client[client_id] = rec;
      rec = nullptr;
    }
  }
  if (rec) {
    yv_rtos_mutex_delete(rec->prot_ctxt.prot_api_mutex);
    yv_rtos_mutex_delete(rec->prot_ctxt.destroy_mutex);
    yv_rtos_mutex_delete(rec->status.conn.mutex);
    yv_rtos_mutex_delete(rec->status.write.mutex);
    yv_mem_free(exts);
    yv_mem_free(prots);
    yv_mem_free(rec);
    return YWS_ERR_INVAL_PARM;
  }
  YWS_TRACE("client hd=%p", (void *)yws_client[client_id]);
  return YWS_OK;
}

}  // namespace

bool yws_client_specific_id_is_occupied(uint8_t client_id) {
  return !yws_client_id_ok(client_id) || yws_rec(client_id);
}

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

void yws_update_conn_status(uint8_t client_id, yv_event_t *parm_t) {
  yws_client_t *rec = yws_rec(client_id);
  if (!rec || !parm_t) return;
  yv_rtos_mutex_lock(rec->status.conn.mutex, YV_WAIT_FOREVER);
  rec->status.conn.err_code = static_cast<int8_t>(parm_t->param2 & 0xFF);
  rec->status.conn.cur_sta = static_cast<uint8_t>(parm_t->param1 & 0xFF);
  rec->status.conn.type = static_cast<int32_t>(parm_t->param3);
  yv_rtos_mutex_unlock(rec->status.conn.mutex);
}

int yws_get_curr_conn_status(uint8_t client_id, uint8_t type) {
  int r = 0;
  {
    yws_service_lock lk;
    yws_client_t *rec = yws_rec(client_id);
    if (rec) r = yws_read_status(rec, type);
  }
  YWS_TRACE("result=%d", r);
  return r;
}

int yv_ws_get_client_conn_state(uint8_t client_id) {
  return yws_get_curr_conn_status(client_id, 0);
}

void yws_update_writable_status(uint8_t client_id, bool sta) {
  yws_client_t *rec = yws_rec(client_id);
  if (!rec) return;
  yv_rtos_mutex_lock(rec->status.write.mutex, YV_WAIT_FOREVER);
  rec->status.write.curr_is_writable = sta;
  yv_rtos_mutex_unlock(rec->status.write.mutex);
}

bool yws_get_curr_writable_status(uint8_t client_id) {
  yws_client_t *rec = yws_rec(client_id);
  if (!rec) return false;
  yv_rtos_mutex_lock(rec->status.write.mutex, YV_WAIT_FOREVER);
  bool sta = rec->status.write.curr_is_writable;
  yv_rtos_mutex_unlock(rec->status.write.mutex);
  return sta;
}

bool yws_client_specific_id_is_busy(int cfg_id) {
  yws_service_lock lk;
  for (int i = 0; i < YWS_CLIENT_NUM; i++) {
    yws_client_t *rec = yws_client[i];
    if (rec && rec->cfg_id == cfg_id && yws_read_status(rec, 0) != YWS_CONN_STA_IDLE) return true;
  }
  return false;
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
          if (out) *out = yws_read_status(rec, 1);
          break;
        }
        case YWS_CLIENT_GET_CONNSTATE: {
          int *out = va_arg(ap, int *);
          if (out) *out = yws_read_status(rec, 0);
          break;
        }
        case YWS_CLIENT_GET_UNSENT_SIZE: {
          int *total = va_arg(ap, int *);
          int *unsent = va_arg(ap, int *);
          int64_t t, u;
          {
            /* The loop thread counts sent bytes under the transmit lock. */
            yws_mutex_guard tl(rec->prot_ctxt.prot_api_mutex);
            t = rec->data.write.tx_total_size;
            u = t - rec->data.write.tx_send_size;
          }
          /* The int answers stop at INT32_MAX; the counters go on. */
          if (total) *total = static_cast<int>(t > INT32_MAX ? INT32_MAX : t);
          if (unsent) *unsent = static_cast<int>(u > INT32_MAX ? INT32_MAX : u);
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
