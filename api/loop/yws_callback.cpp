/*
 * The library's protocol callback: turns callback reasons into service events.
 * It runs inside library calls, normally on the client's library thread, and
 * only stages its events and received pieces (the loop thread posts them
 * after the pass). No allocation that can throw, no wait but leaf locks.
 */
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "yws_loop.h"

namespace {

struct yws_cb_ctx {
  yws_loop *loop;
  void *user; /* the library's user argument of the reason */
  yv_event_t ev;
};

void yws_emit_id(yws_cb_ctx *cx, uint32_t id, uint32_t p2 = 0, uint32_t p3 = 0) {
  cx->ev.id = id;
  cx->ev.param2 = p2;
  cx->ev.param3 = p3;
  yws_loop_stage(cx->loop, &cx->ev);
}

/* The pipe drained: the client is writable again. The writable callback
 * that says so sends the next message itself, so the service task is not
 * woken for it. */
void yws_writable_step(uint8_t client_id) {
  yws_client_t *rec = yws_rec(client_id);
  if (!rec || yws_writable(rec)) return;
  YWS_TRACE("writable");
  yws_writable_set(rec, true);
}

/* What a failed open tells its caller: the status of a refused upgrade, or
 * what the library says failed. `err` is errno as the callback found it: it
 * names a connect that failed at once; one that failed later reads
 * "connect: failed", since the library reads the socket's error and drops it. */
void yws_conn_error_cause(yws_loop *loop, struct lws *wsi, const char *in, size_t len, int err) {
  char why[YWS_CLOSE_REASON_SIZE];
  unsigned int status = lws_http_client_http_response(wsi);
  const char *said = in ? in : "";
  int n = static_cast<int>(in ? strnlen(said, len) : 0);
  if (status >= 100 && status != 101) {
    std::snprintf(why, sizeof(why), "HTTP %u", status);
    yws_cause_network(loop->client_id, static_cast<int>(status), why);
    return;
  }
  if (n >= 17 && std::strncmp(said, "Unable to connect", 17) == 0) {
    const char *what = err == ECONNREFUSED                         ? "refused"
                       : err == ETIMEDOUT                          ? "timed out"
                       : err == EHOSTUNREACH || err == ENETUNREACH ? "unreachable"
                                                                   : "failed";
    std::snprintf(why, sizeof(why), "connect: %s", what);
  } else {
    std::snprintf(why, sizeof(why), "handshake: %.*s", n, said);
  }
  yws_cause_network(loop->client_id, 0, why);
}

/* The verifier's verdict on the server's chain; user is its store context. */
void yws_cert_cause(yws_loop *loop, void *user, size_t ok) {
  if (ok || loop->tls_level < 1 || !user) return;
  int err = X509_STORE_CTX_get_error(static_cast<X509_STORE_CTX *>(user));
  char why[YWS_CLOSE_REASON_SIZE];
  std::snprintf(why, sizeof(why), "certificate: %s", X509_verify_cert_error_string(err));
  yws_cause_network(loop->client_id, 0, why);
}

/* A pong that echoes our ping's body answers the ping waiting for it. */
void yws_pong_match(yws_loop *loop, const void *in, size_t len) {
  int64_t sent = loop->ping_sent_ms.load();
  if (sent == 0 || !in || len != sizeof(YWS_PING_BODY) || std::memcmp(in, YWS_PING_BODY, len) != 0)
    return;
  if (!loop->ping_sent_ms.compare_exchange_strong(sent, 0)) return;
  int64_t rtt = yws_now_ms() - sent;
  loop->ping_rtt_ms = static_cast<int32_t>(rtt < 0 ? 0 : rtt);
}

int yws_dispatch_reason(yws_loop *loop, struct lws *wsi, enum lws_callback_reasons reason, void *in,
                        size_t len, yws_cb_ctx *ev) {
  uint8_t client_id = loop->client_id;
  yws_client_t *rec = yws_rec(client_id);
  if (rec && rec->prot_ctxt.loop != loop) rec = nullptr;
  YWS_TRACE("client(%d, 0x%p) cb: %d, %p", client_id, (void *)wsi, (int)reason, (void *)rec);
  switch (reason) {
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR: {
      int err = errno;
      yws_conn_error_cause(loop, wsi, static_cast<const char *>(in), len, err);
      YWS_TRACE("CONN ERR: [%d] %.80s", (int)len, in ? static_cast<const char *>(in) : "");
      yws_wire_sample(loop, wsi);
      /* A refusal by status asks the caller to change something first. */
      unsigned int status = lws_http_client_http_response(wsi);
      if (status >= 400 && status < 500) loop->no_retry = true;
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLIENT_CONNECTION_ERROR, YWS_ERR_NET_FAIL, YWS_CB_TYPE_OPEN);
      break;
    }
    case LWS_CALLBACK_OPENSSL_PERFORM_SERVER_CERT_VERIFICATION:
      /* len is OpenSSL's verdict on the server's certificate: one we refuse
       * is refused again on every retry. */
      if (len == 0 && loop->tls_level >= 1) loop->no_retry = true;
      yws_cert_cause(loop, ev->user, len);
      break;
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
      loop->tls_up = true;
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLIENT_ESTABLISHED);
      break;
    case LWS_CALLBACK_CLIENT_RECEIVE:
      loop->rx_bytes.fetch_add(len, std::memory_order_relaxed);
      if (lws_is_final_fragment(wsi)) loop->rx_msgs.fetch_add(1, std::memory_order_relaxed);
      if (yws_rxflow_discard(loop)) break;
      if (yws_rx_data(loop, wsi, in, len)) return -1;
      /* After the piece and its message's mark are counted. */
      yws_rxflow_piece(loop, wsi, in ? len : 0);
      break;
    case LWS_CALLBACK_CLIENT_RECEIVE_PONG:
      yws_alive(client_id);
      yws_pong_match(loop, in, len);
      (void)yws_loop_rx_put(loop, YWS_MSG_TYPE_LWS_CLIENT_RECEIVE_PONG, in, in ? len : 0);
      break;
    case LWS_CALLBACK_CLIENT_WRITEABLE:
      yws_writable_step(client_id);
      if (wsi == loop->wsi) return yws_tx_writeable(loop, wsi);
      break;
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
      /* An invalid close frame: non-zero drops the connection instead of
       * echoing it. */
      if (yws_peer_close(client_id, wsi, in, len)) return -1;
      if (wsi == loop->wsi) return yws_tx_peer_close(loop);
      break;
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
      /* A writer woke the loop: ask for the writable callback. */
      yws_tx_apply_kick(loop);
      break;
    case LWS_CALLBACK_WS_EXT_DEFAULTS:
      /* user: the extension's name; in: room for our options. */
      yws_deflate_defaults(loop, static_cast<const char *>(ev->user), static_cast<char *>(in), len);
      break;
    case LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER:
      if (rec && in) (void)yws_add_http_header_by_name(wsi, in, len, rec->cfg_id);
      break;
    case LWS_CALLBACK_PROTOCOL_DESTROY:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_PROTOCOL_DESTROY);
      break;
    case LWS_CALLBACK_WSI_CREATE:
      YWS_TRACE("WSI_CREATE=\t%p", (void *)wsi);
      break;
    case LWS_CALLBACK_WSI_DESTROY:
      if (wsi == loop->wsi) loop->wsi = nullptr;
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_WSI_DESTROY, yws_closed_err(client_id, nullptr));
      break;
    case LWS_CALLBACK_ESTABLISHED_CLIENT_HTTP:
      /* Our connections are upgrades, and the library raises this before it
       * has checked the upgrade answer (status, accept key, sub-protocol):
       * success is LWS_CALLBACK_CLIENT_ESTABLISHED, a refusal the connection
       * error that follows. */
      YWS_TRACE("upgrade answer: %d", (int)lws_http_client_http_response(wsi));
      /* A deflate answer we refuse ends here, before the library takes it up:
       * it leaks the extension's state of an answer it refuses itself. */
      if (yws_deflate_check_answer(loop, wsi)) return -1;
      break;
    case LWS_CALLBACK_CLOSED_CLIENT_HTTP:
      /* Our connections speak HTTP only until the upgrade; an end in that
       * phase ends the open like any other. */
      yws_wire_sample(loop, wsi);
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLOSED_CLIENT_HTTP);
      break;
    case LWS_CALLBACK_CLIENT_CLOSED:
      yws_wire_sample(loop, wsi);
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLIENT_CLOSED, yws_closed_err(client_id, wsi));
      break;
    case LWS_CALLBACK_CLIENT_HTTP_DROP_PROTOCOL:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLIENT_HTTP_DROP_PROTOCOL);
      break;
    case LWS_CALLBACK_WS_CLIENT_DROP_PROTOCOL:
      yws_emit_id(ev, YWS_MSG_TYPE_LWS_CLIENT_DROP_PROTOCOL, yws_closed_err(client_id, wsi));
      break;
    default:
      break;
  }
  return 0;
}

}  // namespace

int yws_client_prot_callback(struct lws *wsi, enum lws_callback_reasons reason, void *user,
                             void *in, size_t len) {
  if (!wsi) return 1;
  /* The client is found through the context, never through the connection's
   * user pointer: protocol-level reasons have no connection, and callbacks
   * made inside the connect call come before the pointer is attached. */
  struct lws_context *context = lws_get_context(wsi);
  auto *loop = context ? static_cast<yws_loop *>(lws_context_user(context)) : nullptr;
  if (!loop) return 0;
  if (!yws_client_id_ok(loop->client_id)) return 3;
  if (loop->drop_events.load()) {
    if (reason == LWS_CALLBACK_WSI_DESTROY && wsi == loop->wsi) loop->wsi = nullptr;
    return 0;
  }
  yws_cb_ctx cx;
  std::memset(&cx, 0, sizeof(cx));
  cx.loop = loop;
  cx.user = user;
  cx.ev.param1 = yws_tag(loop->client_id, loop->serial);
  return yws_dispatch_reason(loop, wsi, reason, in, len, &cx);
}
