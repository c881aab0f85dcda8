/*
 * The connect step: a library context for one client and its library thread
 * (service task), then on that thread the host's lookup and the client
 * connection. Also the checks that keep TLS files the library would
 * mishandle away from it.
 */
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "yv_net.h"
#include "yv_ssl_store.h"
#include "yws_loop_impl.h"

namespace {

/* A PEM file with at least one certificate. */
bool cert_file_loads(const char *path, X509 **first) {
  FILE *f = path && *path ? std::fopen(path, "r") : nullptr;
  if (!f) return false;
  X509 *x = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (!x) return false;
  if (first)
    *first = x;
  else
    X509_free(x);
  return true;
}

/* Certificate and key that load and belong together. */
bool client_pair_loads(const char *cert_path, const char *key_path) {
  X509 *cert = nullptr;
  if (!cert_file_loads(cert_path, &cert)) return false;
  FILE *f = key_path && *key_path ? std::fopen(key_path, "r") : nullptr;
  EVP_PKEY *key = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
  if (f) std::fclose(f);
  bool ok = key && X509_check_private_key(cert, key) == 1;
  EVP_PKEY_free(key);
  X509_free(cert);
  return ok;
}

/* Fills the TLS part of the creation info and the connect flags for the
 * context's level. Files are checked here because the library ignores an
 * unreadable CA and leaks when its context creation fails. */
yws_err_e yws_tls_setup(int ssl_ctx_id, lws_context_creation_info *info, int *flags) {
  const yv_ssl_config *ssl = yavo_ssl_cfg_get_by_id(ssl_ctx_id);
  int level = yavo_ssl_cfg_get_level(ssl_ctx_id);
  const char *ca = ssl ? ssl->ca_cert_path[0] : nullptr;
  const char *cert = ssl ? ssl->own_cert_path : nullptr;
  const char *key = ssl ? ssl->own_key_path : nullptr;
  info->options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
  if (level <= 0) {
    /* Encryption without authentication, as before levels existed; what is
     * configured must still load. */
    if ((ca && !cert_file_loads(ca, nullptr)) || ((cert || key) && !client_pair_loads(cert, key))) {
      YWS_TRACE("tls ctx %d: a configured file does not load", ssl_ctx_id);
      return YWS_ERR_INVAL_PARM;
    }
    info->client_ssl_ca_filepath = ca;
    info->client_ssl_cert_filepath = cert;
    info->client_ssl_private_key_filepath = key;
    *flags = LCCSCF_USE_SSL | LCCSCF_ALLOW_SELFSIGNED | LCCSCF_SKIP_SERVER_CERT_HOSTNAME_CHECK;
    return YWS_OK;
  }
  if (!cert_file_loads(ca, nullptr)) {
    YWS_TRACE("tls ctx %d level %d: no CA that loads", ssl_ctx_id, level);
    return YWS_ERR_INVAL_PARM;
  }
  if (level >= 2 && !client_pair_loads(cert, key)) {
    YWS_TRACE("tls ctx %d level 2: client certificate or key does not load", ssl_ctx_id);
    return YWS_ERR_INVAL_PARM;
  }
  info->client_ssl_ca_filepath = ca;
  if (level >= 2) {
    info->client_ssl_cert_filepath = cert;
    info->client_ssl_private_key_filepath = key;
  }
  /* Only the context's CA: the machine's store would trust any public CA. */
  info->options |= LWS_SERVER_OPTION_DISABLE_OS_CA_CERTS;
  *flags = LCCSCF_USE_SSL;
  return YWS_OK;
}

/* Indexes later context creations may take while one handshake runs. */
constexpr int kTlsIndexSpan = 32;
/* The library's index grows by one with every TLS context made in the
 * process; the search is made only while another client makes one. */
constexpr int kTlsIndexSearch = 1 << 20;

/* Caller has the loop parked. Puts the connection pointer of its handshake
 * at the indexes after the one the library stored it at, where empty. */
void yws_tls_stamp(yws_loop *loop) {
  if (!loop->tls || loop->tls_stamped || loop->tls_up.load() || !loop->wsi) return;
  SSL *ssl = lws_get_ssl(loop->wsi);
  if (!ssl) return;
  loop->tls_stamped = true;
  int own = -1;
  for (int k = 0; k < kTlsIndexSearch && own < 0; k++)
    if (SSL_get_ex_data(ssl, k) == loop->wsi) own = k;
  if (own < 0) return;
  for (int k = own + 1; k <= own + kTlsIndexSpan; k++)
    if (!SSL_get_ex_data(ssl, k)) (void)SSL_set_ex_data(ssl, k, loop->wsi);
}

/* This library version takes a new OpenSSL ex-data index for its connection
 * pointer at every TLS context creation, and its certificate check reads the
 * newest: another client's handshake under way would fail. The handshaking
 * loops are parked while the context is made, and those that have their TLS
 * session already find their pointer at the new index too. */
struct lws_context *yws_create_context_among_others(const lws_context_creation_info *info,
                                                    const yws_loop *self) {
  std::optional<yws_loop_guard> parked[YWS_CLIENT_NUM];
  yws_loop *others[YWS_CLIENT_NUM] = {};
  for (int i = 0; i < YWS_CLIENT_NUM; i++) {
    yws_client_t *rec = yws_rec(i);
    yws_loop *l = rec ? rec->part.loop->loop : nullptr;
    if (!l || l == self || !l->tls || l->tls_up.load()) continue;
    /* In client order, as the ranks of their passes ask. A loop whose pass
     * does not end is not waited for: its handshake may fail and retry. */
    parked[i].emplace(l);
    if (parked[i]->parked())
      others[i] = l;
    else
      parked[i].reset();
  }
  struct lws_context *context = lws_create_context(info);
  for (yws_loop *l : others)
    if (l) yws_tls_stamp(l);
  return context;
}

/* Undoes what a failed connect step made; the record keeps no loop. */
void yws_connect_undo(yws_client_t *rec, yws_loop *loop) {
  {
    yws_service_lock lk;
    rec->part.loop->loop = nullptr;
  }
  yws_loop_free(loop); /* the library keeps nothing of a refused request */
}

/* The connect step up to a running loop thread; *made is the loop once it
 * exists. Any failure leaves the cleanup to the caller. */
yws_err_e yws_connect_steps(int client_id, yws_client_t *rec, yws_cfg_t *cfg, const yws_url_t *url,
                            yws_loop **made) {
  const char *protocol = rec->part.loop->protocols[0].name;
  size_t request = yws_request_size(url, protocol, rec->cfg_id);
  if (request > YWS_REQUEST_MAX) {
    YWS_TRACE("request of about %u bytes exceeds %d", (unsigned)request, YWS_REQUEST_MAX);
    return YWS_ERR_INVAL_PARM;
  }
  yws_loop *loop = yws_loop_new(static_cast<uint8_t>(client_id), rec->serial);
  if (!loop) return YWS_ERR_NO_MEM;
  *made = loop;

  lws_context_creation_info info;
  std::memset(&info, 0, sizeof(info));
  info.port = CONTEXT_PORT_NO_LISTEN;
  info.protocols = rec->part.loop->protocols;
  /* "conn/extension_en" alone keeps its empty table: nothing is offered. */
  info.extensions = rec->part.loop->exts;
  if (cfg->conn.deflate) {
    if (!yws_deflate_setup(loop, cfg->conn.deflate)) return YWS_ERR_NO_MEM;
    info.extensions = loop->deflate_ext;
  }
  info.gid = -1;
  info.uid = -1;
  info.fd_limit_per_thread = YWS_LWS_FD_LIMIT;
  int ssl_flags = 0;
  if (url->tls) {
    YWS_TRACE("yws cfg_id=\t%d, %d, %d", client_id, rec->cfg_id, (int)cfg->conn.ssl_ctx_id);
    yws_err_e rc = yws_tls_setup(cfg->conn.ssl_ctx_id, &info, &ssl_flags);
    if (rc != YWS_OK) return rc;
  }

  loop->info.config.pdp_cid = cfg->conn.pdp_cid;
  loop->info.config.ssl_ctx_id = cfg->conn.ssl_ctx_id;
  loop->info.config.subprot_en = cfg->conn.subprot_en;
  loop->tls = url->tls;
  if (url->tls) loop->tls_level = yavo_ssl_cfg_get_level(cfg->conn.ssl_ctx_id);
  loop->info.config.linger_time_ms = cfg->close.waittime * 1000;
  loop->buffered = yws_buffered();
  loop->msg_mode = rec->part.loop->msg_mode;
  yws_rxflow_init(loop, rec->part.loop->rx_max);
  {
    /* Writers look for the loop under the service lock to wake it. */
    yws_service_lock lk;
    rec->part.loop->loop = loop;
  }
  info.user = loop;
  info.pcontext = &loop->context;

  struct lws_context *context =
      url->tls ? yws_create_context_among_others(&info, loop) : lws_create_context(&info);
  if (!context) {
    YWS_TRACE("context ERROR");
    loop->context = nullptr;
    return YWS_ERR_PROT_FAIL;
  }
  loop->context = context;
  YWS_TRACE("yws url path: %s", url->path);
  YWS_TRACE("yws url host: %s", url->host_port);
  auto *req = static_cast<yws_connect_req_t *>(yv_mem_alloc(sizeof(yws_connect_req_t)));
  if (!req) return YWS_ERR_NO_MEM;
  req->url = *url;
  req->has_protocol = protocol != nullptr;
  if (protocol) std::snprintf(req->protocol, sizeof(req->protocol), "%s", protocol);
  loop->req = req;
  bool no_mem = false;
  loop->headers = yws_cfg_headers_copy(rec->cfg_id, &no_mem);
  if (no_mem) return YWS_ERR_NO_MEM;
  loop->ssl_flags = ssl_flags;
  loop->lookup_ms = cfg->conn.timeout * 1000u;
  return YWS_OK;
}

void yws_stage_connect_failure(yws_loop *loop) {
  /* As when the library refused the request on the service task. */
  yv_event_t ev = {YWS_MSG_TYPE_LWS_CLIENT_CONNECTION_ERROR, yws_tag(loop->client_id, loop->serial),
                   YWS_ERR_PROT_FAIL, YWS_CB_TYPE_OPEN};
  yws_loop_stage(loop, &ev);
}

}  // namespace

void yws_loop_req_free(yws_loop *loop) {
  yv_mem_free(loop->req);
  loop->req = nullptr;
}

void yws_loop_resolve(yws_loop *loop) {
  yws_connect_req_t *req = loop->req;
  const yws_url_t *url = &req->url;
  unsigned char bin[16];
  bool literal = url->ipv6 || lwip_inet_pton(YV_AF_INET, url->host, bin) == 1;
  if (literal) {
    std::snprintf(req->address, sizeof(req->address), "%s", url->host);
  } else if (yv_net_resolve(url->host, req->address, sizeof(req->address), loop->lookup_ms) != 0) {
    YWS_TRACE("lookup of %s failed", url->host);
    yws_cause_network(loop->client_id, 0, "lookup: ", url->host);
    req->address[0] = '\0';
  }
  yws_mutex_guard lk(loop->gate_m, YWS_RANK_GATE);
  loop->resolving = false;
}

bool yws_loop_connect(yws_loop *loop) {
  yws_connect_req_t *req = loop->req;
  const yws_url_t *url = &req->url;
  if (!req->address[0]) {
    yws_stage_connect_failure(loop);
    yws_loop_req_free(loop);
    return false;
  }
  lws_client_connect_info ci;
  std::memset(&ci, 0, sizeof(ci));
  ci.context = loop->context;
  ci.address = req->address;
  ci.port = url->port;
  ci.ssl_connection = loop->ssl_flags;
  ci.path = url->path;
  /* Host and Origin carry the URL's name, its port and the brackets of an
   * IPv6 literal; the library takes SNI and the certificate's name check from
   * the host, not from the address it connects to. */
  ci.host = url->host_port;
  ci.origin = url->host_port;
  ci.protocol = req->has_protocol ? req->protocol : nullptr;

  /* The library copies what it keeps of the request. */
  struct lws *wsi = lws_client_connect_via_info(&ci);
  yws_loop_req_free(loop);
  if (!wsi) {
    YWS_TRACE("connect ERROR");
    yws_stage_connect_failure(loop);
    return false;
  }
  lws_set_wsi_user(wsi, loop);
  loop->wsi = wsi;
  return true;
}

yws_err_e yws_client_do_connect(int client_id) {
  yws_client_t *rec = yws_rec(client_id);
  if (!rec) return YWS_ERR_INVAL_PARM;
  /* A second bearer answer for a client already connecting changes nothing. */
  if (rec->part.loop->loop) return YWS_OK;
  yws_cfg_t *cfg = yws_profile(rec->cfg_id);
  if (!cfg->conn.url) return YWS_ERR_INVAL_URL;

  YWS_TRACE("URL %d, %s", rec->cfg_id, cfg->conn.url);
  /* The profile cannot change while its client exists (busy rule), so the
   * URL and the record's protocol name hold still from here on. */
  auto *url = static_cast<yws_url_t *>(yv_mem_alloc(sizeof(yws_url_t)));
  if (!url) return YWS_ERR_NO_MEM;
  yws_err_e ret = yws_url_parse(cfg->conn.url, url);
  yws_loop *loop = nullptr;
  if (ret != YWS_OK)
    YWS_TRACE("URL refused");
  else
    ret = yws_connect_steps(client_id, rec, cfg, url, &loop);
  yv_mem_free(url);
  if (ret != YWS_OK) {
    if (loop) yws_connect_undo(rec, loop);
    return ret;
  }
  YWS_TRACE("service in");
  /* From here the record owns the loop: a failure ends through the teardown. */
  yv_task_t thread = 0;
  if (yws_loop_start_thread(loop, &thread) != 0) {
    YWS_TRACE("service ERROR");
    return YWS_ERR_TASK_CREATE;
  }
  rec->part.loop->thread_started = true;
  return YWS_OK;
}

void yws_loop_log_level(int level) {
  lws_set_log_level(level, nullptr);
}

int yws_add_http_header_by_name(struct lws *wsi, void *in, size_t len, const yws_headers_t *hd) {
  /* The library's request buffer is a few KB: a larger room is a bad length
   * (a negative one seen as unsigned), not space to write into. */
  constexpr size_t k_room_max = 65536;
  auto **p = static_cast<unsigned char **>(in);
  if (!wsi || !p || !*p || len == 0 || len > k_room_max || !hd || hd->count == 0)
    return YWS_ERR_INVAL_PARM;
  unsigned char *const end = *p + len;
  const char *hname, *hvalue;
  int rc = 0;
  for (uint32_t at = 0; yws_headers_next(hd, &at, &hname, &hvalue);) {
    char name[YWS_HEADER_NAME_MAX + 2]; /* the longest name, its colon and the NUL */
    size_t n = std::strlen(hname);
    std::memcpy(name, hname, n);
    name[n] = ':';
    name[n + 1] = '\0';
    unsigned char *mark = *p;
    if (lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char *>(name),
                                    reinterpret_cast<const unsigned char *>(hvalue),
                                    static_cast<int>(std::strlen(hvalue)), p, end) != 0) {
      /* The library may have written part of the header before it ran out
       * of room: take that back so the next header starts on a clean line. */
      *p = mark;
      rc = 1;
    }
  }
  return rc;
}
