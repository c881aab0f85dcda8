/*
 * The connect step: a library context and a client connection for one client,
 * the connect timer, and the client's library thread. Also the checks that
 * keep hostile URL, sub-protocol and TLS files away from the library.
 */
#include <arpa/inet.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "yv_ssl_store.h"
#include "yv_websocket_inc.h"
#include "yws_lock.h"
#include "yws_loop.h"

namespace {

/* Receive flow control pauses the library before the receive buffer can
 * overflow: one more piece (at most the protocol's 2048-byte rx buffer) must
 * still fit after the pause takes effect. */
void yws_loop_set_rx_marks(yws_loop *loop, int32_t rx_max) {
  loop->rx_high = rx_max - 2048;
  loop->rx_resume = loop->rx_high < YWS_RX_RESUME_MARK ? loop->rx_high : YWS_RX_RESUME_MARK;
}

bool is_alpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/* What RFC 3986 allows in a path or query besides %-escapes. */
bool is_path_char(char c) {
  return is_alpha(c) || is_digit(c) || std::strchr("-._~!$&'()*+,;=:@/?", c) != nullptr;
}

/* Labels of letters, digits and inner hyphens, 1..63 each; an all-numeric
 * name must be a dotted IPv4 address. */
bool host_name_ok(const char *h) {
  size_t label = 0;
  bool numeric = true;
  char prev = '.';
  for (const char *c = h; *c; c++) {
    if (*c == '.') {
      if (label == 0 || prev == '-') return false;
      label = 0;
    } else if (is_alpha(*c) || is_digit(*c) || *c == '-') {
      if (label == 0 && *c == '-') return false;
      if (++label > 63) return false;
      if (!is_digit(*c)) numeric = false;
    } else {
      return false;
    }
    prev = *c;
  }
  if (label == 0 || prev == '-') return false;
  if (!numeric) return true;
  struct in_addr a;
  return inet_pton(AF_INET, h, &a) == 1;
}

bool path_ok(const char *p, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (p[i] == '%') {
      if (i + 2 >= n) return false;
      if (!is_hex(p[i + 1]) || !is_hex(p[i + 2])) return false;
      i += 2;
    } else if (!is_path_char(p[i])) {
      return false;
    }
  }
  return true;
}

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

}  // namespace

yws_err_e yws_url_parse(const char *url, yws_url_t *out) {
  if (!url || !out) return YWS_ERR_INVAL_URL;
  std::memset(out, 0, sizeof(*out));
  const char *sep = std::strstr(url, "://");
  if (!sep) return YWS_ERR_INVAL_URL;
  size_t scheme_len = static_cast<size_t>(sep - url);
  if (scheme_len == 2 && strncasecmp(url, "ws", 2) == 0)
    out->tls = false;
  else if (scheme_len == 3 && strncasecmp(url, "wss", 3) == 0)
    out->tls = true;
  else
    return YWS_ERR_INVAL_URL;

  const char *auth = sep + 3;
  size_t auth_len = std::strcspn(auth, "/?#");
  const char *rest = auth + auth_len;
  if (std::memchr(auth, '@', auth_len)) return YWS_ERR_INVAL_URL; /* no userinfo */

  const char *host = auth;
  size_t host_len;
  const char *after;
  if (auth_len > 0 && auth[0] == '[') {
    const char *close = static_cast<const char *>(std::memchr(auth, ']', auth_len));
    if (!close) return YWS_ERR_INVAL_URL;
    host = auth + 1;
    host_len = static_cast<size_t>(close - host);
    after = close + 1;
    out->ipv6 = true;
  } else {
    const char *colon = static_cast<const char *>(std::memchr(auth, ':', auth_len));
    host_len = colon ? static_cast<size_t>(colon - auth) : auth_len;
    after = auth + host_len;
  }
  if (host_len == 0 || host_len > YWS_URL_HOST_MAX) return YWS_ERR_INVAL_URL;
  std::memcpy(out->host, host, host_len);
  out->host[host_len] = '\0';
  if (out->ipv6) {
#ifdef LWS_WITH_IPV6
    struct in6_addr a6;
    if (std::strspn(out->host, "0123456789abcdefABCDEF:.") != host_len ||
        inet_pton(AF_INET6, out->host, &a6) != 1)
      return YWS_ERR_INVAL_URL;
#else
    return YWS_ERR_INVAL_URL; /* this library build cannot reach it */
#endif
  } else if (!host_name_ok(out->host)) {
    return YWS_ERR_INVAL_URL;
  }

  out->port = out->tls ? 443 : 80;
  if (after < rest) {
    if (*after != ':') return YWS_ERR_INVAL_URL;
    const char *d = after + 1;
    size_t nd = static_cast<size_t>(rest - d);
    if (nd == 0 || nd > 5) return YWS_ERR_INVAL_URL;
    int port = 0;
    for (size_t i = 0; i < nd; i++) {
      if (!is_digit(d[i])) return YWS_ERR_INVAL_URL;
      port = port * 10 + (d[i] - '0');
    }
    if (port < 1 || port > 65535) return YWS_ERR_INVAL_URL;
    out->port = port;
  }

  size_t path_len = std::strlen(rest);
  if (*rest == '#' || !path_ok(rest, path_len)) return YWS_ERR_INVAL_URL;
  bool slash = *rest != '/';
  if (path_len + (slash ? 1 : 0) > YWS_URL_PATH_MAX) return YWS_ERR_INVAL_URL;
  std::snprintf(out->path, sizeof(out->path), "%s%s", slash ? "/" : "", rest);
  std::snprintf(out->host_port, sizeof(out->host_port), out->ipv6 ? "[%s]:%d" : "%s:%d", out->host,
                out->port);
  return YWS_OK;
}

bool yws_subprot_is_valid(const char *s) {
  if (!s) return false;
  size_t n = std::strlen(s);
  if (n > YWS_SUBPROT_MAX) return false;
  if (n == 0) return true;
  bool in_token = false, after_comma = false;
  for (size_t i = 0; i < n; i++) {
    char c = s[i];
    if (yws_is_tchar(c)) {
      in_token = true;
      after_comma = false;
    } else if (c == ',' && in_token) {
      in_token = false;
      after_comma = true;
    } else if (c == ' ' && after_comma) {
      /* optional spaces after a comma */
    } else {
      return false;
    }
  }
  return in_token;
}

size_t yws_request_size(const yws_url_t *url, const char *subprot, int cfg_id) {
  size_t n = YWS_REQUEST_FIXED + std::strlen(url->path) + 2 * std::strlen(url->host_port);
  if (subprot) n += std::strlen(subprot);
  return n + yws_cfg_headers_wire_size(cfg_id);
}

int yws_client_open_do(void *arg) {
  /* The event names its client: several opens may have waited for one bearer. */
  auto *ev = static_cast<yv_event_t *>(arg);
  int client_id = ev ? static_cast<int>(ev->param1 & 0xFF) : service_t->cur_client_id.load();
  yws_client_t *rec = yws_rec(client_id);
  if (!rec) return YWS_ERR_INVAL_PARM;
  uint8_t cfg_id = rec->cfg_id;
  yws_err_e r = yws_client_do_connect(client_id);
  if (r == YWS_OK) return 0;
  yws_cause_settle(client_id, YWS_CB_TYPE_OPEN, r);
  yws_final_do(client_id);
  service_t->pdp_listen = 0;
  yws_notify(client_id, cfg_id, YWS_CB_TYPE_OPEN, nullptr, 0, r);
  return r;
}

namespace {

/* Undoes what a failed connect step made; the record keeps no loop. */
void yws_connect_undo(yws_client_t *rec, yws_loop *loop) {
  rec->prot_ctxt.user_info = nullptr;
  {
    yws_service_lock lk;
    rec->prot_ctxt.loop = nullptr;
  }
  rec->prot_ctxt.context = nullptr;
  rec->prot_ctxt.wsi = nullptr;
  yws_loop_free(loop); /* the library keeps nothing of a refused request */
  yws_timer_remove(&rec->conn_timer);
}

/* The connect step up to a running loop thread; *made is the loop once it
 * exists. Any failure leaves the cleanup to the caller. */
yws_err_e yws_connect_steps(int client_id, yws_client_t *rec, yws_cfg_t *cfg, const yws_url_t *url,
                            yws_loop **made) {
  const char *protocol = rec->prot_ctxt.protocols[0].name;
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
  info.protocols = rec->prot_ctxt.protocols;
  info.extensions = rec->prot_ctxt.exts;
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
  loop->info.config.linger_time_ms = cfg->close.waittime * 1000;
  loop->buffered = service_t->sys_mode == YWS_SYS_MODE_BUFFERED;
  yws_loop_set_rx_marks(loop, rec->data.read.rx_max_size);
  rec->prot_ctxt.user_info = &loop->info;
  {
    /* Writers look for the loop under the service lock to wake it. */
    yws_service_lock lk;
    rec->prot_ctxt.loop = loop;
  }
  info.user = loop;
  info.pcontext = &loop->context;

  struct lws_context *context = lws_create_context(&info);
  if (!context) {
    YWS_TRACE("context ERROR");
    loop->context = nullptr;
    return YWS_ERR_PROT_FAIL;
  }
  loop->context = context;
  rec->prot_ctxt.context = context;
  YWS_TRACE("yws url path: %s", url->path);
  YWS_TRACE("yws url host: %s", url->host_port);

  lws_client_connect_info ci;
  std::memset(&ci, 0, sizeof(ci));
  ci.context = context;
  ci.address = url->host;
  ci.port = url->port;
  ci.ssl_connection = ssl_flags;
  ci.path = url->path;
  /* Host and Origin carry the port and the brackets of an IPv6 literal; the
   * library takes SNI and the certificate's name check from the host. */
  ci.host = url->host_port;
  ci.origin = url->host_port;
  ci.protocol = protocol;

  /* The open normally started its timer already: it bounds the bearer step too. */
  (void)yws_open_timer_start(yws_tag(static_cast<uint8_t>(client_id), rec->serial));

  struct lws *wsi = lws_client_connect_via_info(&ci);
  if (!wsi) {
    YWS_TRACE("connect ERROR");
    return YWS_ERR_PROT_FAIL;
  }
  lws_set_wsi_user(wsi, loop);
  loop->wsi = wsi;
  rec->prot_ctxt.wsi = wsi;
  return YWS_OK;
}

}  // namespace

yws_err_e yws_client_do_connect(int client_id) {
  yws_client_t *rec = yws_rec(client_id);
  if (!rec) return YWS_ERR_INVAL_PARM;
  /* A second bearer answer for a client already connecting changes nothing. */
  if (rec->prot_ctxt.loop) return YWS_OK;
  yws_cfg_t *cfg = yws_cfg[rec->cfg_id];
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
  if (yv_ws_service_start(client_id) != 0) {
    YWS_TRACE("service ERROR");
    return YWS_ERR_TASK_CREATE;
  }
  return YWS_OK;
}

int yv_ws_service_start(int client_id) {
  yws_client_t *rec = yws_rec(client_id);
  if (!rec || !rec->prot_ctxt.loop) return YWS_ERR_INVAL_PARM;
  int st = yws_loop_start_thread(rec->prot_ctxt.loop, &rec->lws_prot_thread.ws_service_id);
  if (st != 0) {
    rec->lws_prot_thread.ws_service_id = 0;
    return st;
  }
  rec->lws_prot_thread.lws_prot_thread_is_created = true;
  return 0;
}
