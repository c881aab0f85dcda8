/*
 * The connect step: a library context and a client connection for one client,
 * the connect timer, and the client's library thread.
 */
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "yv_ssl_store.h"
#include "yv_websocket_inc.h"
#include "yws_loop.h"

namespace {

char *yws_strdup(const char *s) {
  size_t n = std::strlen(s) + 1;
  auto *copy = static_cast<char *>(yv_mem_alloc(n));
  if (copy) std::memcpy(copy, s, n);
  return copy;
}

void yws_stop_conn_timer(yws_client_t *rec) {
  if (!rec->conn_timer) return;
  if (yv_rtos_timer_is_running(rec->conn_timer)) yv_rtos_timer_stop(rec->conn_timer);
  yv_rtos_timer_delete(rec->conn_timer);
  rec->conn_timer = 0;
}

/* Receive flow control pauses the library before the receive buffer can
 * overflow: one more piece (at most the protocol's 2048-byte rx buffer) must
 * still fit after the pause takes effect. */
void yws_loop_set_rx_marks(yws_loop *loop, int32_t rx_max) {
  loop->rx_high = rx_max - 2048;
  loop->rx_resume = loop->rx_high < YWS_RX_RESUME_MARK ? loop->rx_high : YWS_RX_RESUME_MARK;
}

}  // namespace

int yws_client_open_do(void *arg) {
  /* The event names its client: several opens may have waited for one bearer. */
  auto *ev = static_cast<yv_event_t *>(arg);
  int client_id = ev ? static_cast<int>(ev->param1 & 0xFF)
                     : __atomic_load_n(&service_t->cur_client_id, __ATOMIC_ACQUIRE);
  if (client_id >= YWS_CLIENT_NUM || !yws_client[client_id]) return YWS_ERR_INVAL_PARM;
  uint8_t cfg_id = yws_client[client_id].load()->cfg_id;
  yws_err_e r = yws_client_do_connect(client_id);
  if (r == YWS_OK) return 0;
  yws_cause_settle(client_id, YWS_CB_TYPE_OPEN, r);
  yws_final_do(client_id);
  __atomic_store_n(&service_t->pdp_listen, 0, __ATOMIC_RELEASE);
  yws_notify(client_id, cfg_id, YWS_CB_TYPE_OPEN, nullptr, 0, r);
  return r;
}

yws_err_e yws_client_do_connect(int client_id) {
  if (client_id < 0 || client_id >= YWS_CLIENT_NUM || !yws_client[client_id])
    return YWS_ERR_INVAL_PARM;
  yws_client_t *rec = yws_client[client_id];
  /* A second bearer answer for a client already connecting changes nothing. */
  if (rec->prot_ctxt.loop) return YWS_OK;
  yws_cfg_t *cfg = yws_cfg[rec->cfg_id];
  if (!cfg->conn.url) return YWS_ERR_INVAL_URL;

  char *url = yws_strdup(cfg->conn.url);
  if (!url) return YWS_ERR_NO_MEM;
  YWS_TRACE("URL %d, %s", rec->cfg_id, url);

  const char *scheme = nullptr, *address = nullptr, *path = nullptr;
  int port = -1;
  if (lws_parse_uri(url, &scheme, &address, &port, &path) || !scheme || !*scheme || !address ||
      !*address || static_cast<unsigned>(port) >= 65536u ||
      (strcasecmp(scheme, "ws") != 0 && strcasecmp(scheme, "wss") != 0)) {
    yv_mem_free(url);
    return YWS_ERR_INVAL_URL;
  }
  bool tls = strcasecmp(scheme, "wss") == 0;
  /* For a URL without a path part the parser answers a "/" of its own, not
   * one inside our copy. */
  size_t url_len = std::strlen(cfg->conn.url);
  if (!path || path < url || path > url + url_len) path = "";

  size_t host_len = std::strlen(address) + 7;
  auto *host = static_cast<char *>(yv_mem_alloc(host_len));
  auto *full_path = static_cast<char *>(yv_mem_alloc(std::strlen(path) + 2));
  yws_loop *loop = yws_loop_new(static_cast<uint8_t>(client_id), rec->serial);
  if (!host || !full_path || !loop) {
    yv_mem_free(url);
    yv_mem_free(host);
    yv_mem_free(full_path);
    yws_loop_free(loop);
    return YWS_ERR_NO_MEM;
  }

  lws_context_creation_info info;
  std::memset(&info, 0, sizeof(info));
  info.port = CONTEXT_PORT_NO_LISTEN;
  info.protocols = rec->prot_ctxt.protocols;
  info.extensions = rec->prot_ctxt.exts;
  info.gid = -1;
  info.uid = -1;
  info.fd_limit_per_thread = YWS_LWS_FD_LIMIT;
  if (tls) {
    YWS_TRACE("yws cfg_id=\t%d, %d, %d", client_id, rec->cfg_id, (int)cfg->conn.ssl_ctx_id);
    yv_ssl_config *ssl = yavo_ssl_cfg_get_by_id(cfg->conn.ssl_ctx_id);
    if (ssl) {
      info.client_ssl_ca_filepath = ssl->ca_cert_path[0];
      info.client_ssl_cert_filepath = ssl->own_cert_path;
      info.client_ssl_private_key_filepath = ssl->own_key_path;
    }
    info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
  }

  loop->info.config.pdp_cid = cfg->conn.pdp_cid;
  loop->info.config.ssl_ctx_id = cfg->conn.ssl_ctx_id;
  loop->info.config.subprot_en = cfg->conn.subprot_en;
  loop->info.config.linger_time_ms = cfg->close.waittime * 1000;
  loop->buffered = service_t->sys_mode == YWS_SYS_MODE_BUFFERED;
  yws_loop_set_rx_marks(loop, rec->data.read.rx_max_size);
  rec->prot_ctxt.user_info = &loop->info;
  rec->prot_ctxt.loop = loop;
  info.user = loop;
  info.pcontext = &loop->context;

  struct lws_context *context = lws_create_context(&info);
  if (!context) {
    YWS_TRACE("context ERROR");
    yv_mem_free(url);
    yv_mem_free(host);
    yv_mem_free(full_path);
    rec->prot_ctxt.user_info = nullptr;
    rec->prot_ctxt.loop = nullptr;
    loop->context = nullptr;
    yws_loop_free(loop);
    return YWS_ERR_PROT_FAIL;
  }
  loop->context = context;
  rec->prot_ctxt.context = context;
  std::snprintf(host, host_len, "%s:%d", address, port);
  std::snprintf(full_path, std::strlen(path) + 2, "/%s", path);
  YWS_TRACE("yws url path: %s", full_path);
  YWS_TRACE("yws url host: %s", host);

  lws_client_connect_info ci;
  std::memset(&ci, 0, sizeof(ci));
  ci.context = context;
  ci.address = address;
  ci.port = port;
  ci.ssl_connection =
      tls ? (LCCSCF_USE_SSL | LCCSCF_ALLOW_SELFSIGNED | LCCSCF_SKIP_SERVER_CERT_HOSTNAME_CHECK) : 0;
  ci.path = full_path;
  ci.host = host;
  ci.origin = host;
  ci.protocol = rec->prot_ctxt.protocols[0].name;

  if (cfg->conn.timeout) {
    if (yv_rtos_timer_create(&rec->conn_timer, 0xFFFFFFFFu, yws_conn_timer_expired_callback,
                             reinterpret_cast<void *>(static_cast<uintptr_t>(yws_tag(
                                 static_cast<uint8_t>(client_id), rec->serial)))) == YV_OSI_SUCCESS)
      yv_rtos_timer_start(rec->conn_timer, cfg->conn.timeout * 1000u, 0);
    else
      rec->conn_timer = 0;
  }

  struct lws *wsi = lws_client_connect_via_info(&ci);
  yws_err_e ret = YWS_OK;
  if (!wsi) {
    YWS_TRACE("connect ERROR");
    /* The library keeps nothing of a refused request: the context goes too. */
    rec->prot_ctxt.user_info = nullptr;
    rec->prot_ctxt.loop = nullptr;
    rec->prot_ctxt.context = nullptr;
    yws_loop_free(loop);
    yws_stop_conn_timer(rec);
    ret = YWS_ERR_PROT_FAIL;
  } else {
    lws_set_wsi_user(wsi, loop);
    loop->wsi = wsi;
    rec->prot_ctxt.wsi = wsi;
    YWS_TRACE("service in");
    if (yv_ws_service_start(client_id) != 0) {
      YWS_TRACE("service ERROR");
      ret = YWS_ERR_TASK_CREATE;
    }
  }
  yv_mem_free(url);
  yv_mem_free(host);
  yv_mem_free(full_path);
  return ret;
}

int yv_ws_service_start(int client_id) {
  if (client_id < 0 || client_id >= YWS_CLIENT_NUM || !yws_client[client_id]) return 4;
  yws_client_t *rec = yws_client[client_id];
  if (!rec->prot_ctxt.loop) return 4;
  int st = yws_loop_start_thread(rec->prot_ctxt.loop, &rec->lws_prot_thread.ws_service_id);
  if (st != 0) {
    rec->lws_prot_thread.ws_service_id = 0;
    return st;
  }
  rec->lws_prot_thread.lws_prot_thread_is_created = true;
  return 0;
}
