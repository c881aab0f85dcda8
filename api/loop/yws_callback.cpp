/*
 * The library's protocol callback: turns callback reasons into service events.
 * It runs inside library calls, normally on the client's library thread, and
 * only stages its events and received pieces (the loop thread posts them
 * after the pass). No allocation that can throw, no wait but leaf locks.
 */
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>

#include "yws_loop_impl.h"

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
  unsigned int status = lws_http_client_http_response(wsi);
  const char *said = in ? in : "";
  size_t n = in ? strnlen(said, len) : 0;
  if (status >= 100 && status <= 999 && status != 101) {
    char digits[4] = {static_cast<char>('0' + status / 100),
                      static_cast<char>('0' + status / 10 % 10),
                      static_cast<char>('0' + status % 10), '\0'};
    yws_cause_network(loop->client_id, static_cast<int>(status), "HTTP ", digits);
    return;
  }
  if (n >= 17 && std::strncmp(said, "Unable to connect", 17) == 0) {
    const char *what = err == ECONNREFUSED                         ? "refused"
                       : err == ETIMEDOUT                          ? "timed out"
                       : err == EHOSTUNREACH || err == ENETUNREACH ? "unreachable"
                                                                   : "failed";
    yws_cause_network(loop->client_id, 0, "connect: ", what);
  } else {
    yws_cause_network(loop->client_id, 0, "handshake: ", said, n);
  }
}

/* The verifier's verdict on the server's chain; user is its store context. */
void yws_cert_cause(yws_loop *loop, void *user, size_t ok) {
  if (ok || loop->tls_level < 1 || !user) return;
  int err = X509_STORE_CTX_get_error(static_cast<X509_STORE_CTX *>(user));
  yws_cause_network(loop->client_id, 0, "certificate: ", X509_verify_cert_error_string(err));
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

/* The reasons we act on, one handler each. cx carries the loop, the event
 * being made and the library's user argument; the result is the callback's. */
struct yws_reason_args {
  yws_cb_ctx *cx;
  struct lws *wsi;
  void *in;
  size_t len;
};

int yws_on_connection_error(const yws_reason_args &a) {
  int err = errno;
  yws_loop *loop = a.cx->loop;
  yws_conn_error_cause(loop, a.wsi, static_cast<const char *>(a.in), a.len, err);
  YWS_TRACE("CONN ERR: [%d] %.80s", (int)a.len, a.in ? static_cast<const char *>(a.in) : "");
  yws_wire_sample(loop, a.wsi);
  /* A refusal by status asks the caller to change something first. */
  unsigned int status = lws_http_client_http_response(a.wsi);
  if (status >= 400 && status < 500) loop->no_retry = true;
  yws_emit_id(a.cx, YWS_MSG_TYPE_LWS_CLIENT_CONNECTION_ERROR, YWS_ERR_NET_FAIL, YWS_CB_TYPE_OPEN);
  return 0;
}

/* len is OpenSSL's verdict on the server's certificate: one we refuse is
 * refused again on every retry. */
int yws_on_cert_verdict(const yws_reason_args &a) {
  yws_loop *loop = a.cx->loop;
  if (a.len == 0 && loop->tls_level >= 1) loop->no_retry = true;
  yws_cert_cause(loop, a.cx->user, a.len);
  return 0;
}

int yws_on_established(const yws_reason_args &a) {
  if (a.wsi == a.cx->loop->wsi) yws_wire_socket(a.cx->loop, lws_get_socket_fd(a.wsi));
  a.cx->loop->tls_up = true;
  yws_emit_id(a.cx, YWS_MSG_TYPE_LWS_CLIENT_ESTABLISHED);
  return 0;
}

int yws_on_receive(const yws_reason_args &a) {
  yws_loop *loop = a.cx->loop;
  loop->rx_bytes.fetch_add(a.len, std::memory_order_relaxed);
  if (lws_is_final_fragment(a.wsi)) loop->rx_msgs.fetch_add(1, std::memory_order_relaxed);
  if (yws_rxflow_discard(loop)) return 0;
  if (yws_rx_data(loop, a.wsi, a.in, a.len)) return -1;
  /* After the piece and its message's mark are counted. */
  yws_rxflow_piece(loop, a.wsi, a.in ? a.len : 0);
  return 0;
}

int yws_on_pong(const yws_reason_args &a) {
  yws_loop *loop = a.cx->loop;
  yws_alive(loop->client_id);
  yws_pong_match(loop, a.in, a.len);
  (void)yws_loop_rx_put(loop, YWS_MSG_TYPE_LWS_CLIENT_RECEIVE_PONG, a.in, a.in ? a.len : 0);
  return 0;
}

int yws_on_writeable(const yws_reason_args &a) {
  yws_writable_step(a.cx->loop->client_id);
  return a.wsi == a.cx->loop->wsi ? yws_tx_writeable(a.cx->loop, a.wsi) : 0;
}

/* An invalid close frame: non-zero drops the connection instead of echoing it. */
int yws_on_peer_close(const yws_reason_args &a) {
  yws_loop *loop = a.cx->loop;
  if (yws_peer_close(loop->client_id, a.wsi, a.in, a.len)) return -1;
  return a.wsi == loop->wsi ? yws_tx_peer_close(loop) : 0;
}

/* Our connections are upgrades, and the library raises this before it has
 * checked the upgrade answer (status, accept key, sub-protocol): success is
 * LWS_CALLBACK_CLIENT_ESTABLISHED, a refusal the connection error that
 * follows. A deflate answer we refuse ends here, before the library takes it
 * up: it leaks the extension's state of an answer it refuses itself. */
int yws_on_upgrade_answer(const yws_reason_args &a) {
  /* The socket is the query's to read from here until the connection ends. */
  if (a.wsi == a.cx->loop->wsi) yws_wire_socket(a.cx->loop, lws_get_socket_fd(a.wsi));
  YWS_TRACE("upgrade answer: %d", (int)lws_http_client_http_response(a.wsi));
  return yws_deflate_check_answer(a.cx->loop, a.wsi) ? -1 : 0;
}

int yws_on_wsi_destroy(const yws_reason_args &a) {
  yws_loop *loop = a.cx->loop;
  if (a.wsi == loop->wsi) {
    yws_wire_socket(loop, -1);
    loop->wsi = nullptr;
  }
  yws_emit_id(a.cx, YWS_MSG_TYPE_LWS_WSI_DESTROY, yws_closed_err(loop->client_id, nullptr));
  return 0;
}

/* The connection ended (after the upgrade, or in its HTTP phase): its socket's
 * counts are taken before the library lets it go. */
int yws_on_closed(const yws_reason_args &a, uint32_t id, bool websocket) {
  yws_loop *loop = a.cx->loop;
  yws_wire_sample(loop, a.wsi);
  yws_emit_id(a.cx, id, websocket ? yws_closed_err(loop->client_id, a.wsi) : 0);
  return 0;
}

int yws_dispatch_reason(yws_loop *loop, struct lws *wsi, enum lws_callback_reasons reason, void *in,
                        size_t len, yws_cb_ctx *cx) {
  uint8_t client_id = loop->client_id;
  yws_client_t *rec = yws_rec(client_id);
  if (rec && rec->part.loop->loop != loop) rec = nullptr;
  YWS_TRACE("client(%d, 0x%p) cb: %d, %p", client_id, (void *)wsi, (int)reason, (void *)rec);
  const yws_reason_args a{cx, wsi, in, len};
  switch (reason) {
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
      return yws_on_connection_error(a);
    case LWS_CALLBACK_OPENSSL_PERFORM_SERVER_CERT_VERIFICATION:
      return yws_on_cert_verdict(a);
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
      return yws_on_established(a);
    case LWS_CALLBACK_CLIENT_RECEIVE:
      return yws_on_receive(a);
    case LWS_CALLBACK_CLIENT_RECEIVE_PONG:
      return yws_on_pong(a);
    case LWS_CALLBACK_CLIENT_WRITEABLE:
      return yws_on_writeable(a);
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
      return yws_on_peer_close(a);
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
      /* A writer woke the loop: ask for the writable callback. */
      yws_tx_apply_kick(loop);
      return 0;
    case LWS_CALLBACK_WS_EXT_DEFAULTS:
      /* user: the extension's name; in: room for our options. */
      yws_deflate_defaults(loop, static_cast<const char *>(cx->user), static_cast<char *>(in), len);
      return 0;
    case LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER:
      if (rec && in && loop->headers)
        (void)yws_add_http_header_by_name(wsi, in, len, loop->headers);
      return 0;
    case LWS_CALLBACK_PROTOCOL_DESTROY:
      yws_emit_id(cx, YWS_MSG_TYPE_LWS_PROTOCOL_DESTROY);
      return 0;
    case LWS_CALLBACK_WSI_CREATE:
      YWS_TRACE("WSI_CREATE=\t%p", (void *)wsi);
      return 0;
    case LWS_CALLBACK_WSI_DESTROY:
      return yws_on_wsi_destroy(a);
    case LWS_CALLBACK_ESTABLISHED_CLIENT_HTTP:
      return yws_on_upgrade_answer(a);
    case LWS_CALLBACK_CLOSED_CLIENT_HTTP:
      /* Our connections speak HTTP only until the upgrade; an end in that
       * phase ends the open like any other. */
      return yws_on_closed(a, YWS_MSG_TYPE_LWS_CLOSED_CLIENT_HTTP, false);
    case LWS_CALLBACK_CLIENT_CLOSED:
      return yws_on_closed(a, YWS_MSG_TYPE_LWS_CLIENT_CLOSED, true);
    case LWS_CALLBACK_CLIENT_HTTP_DROP_PROTOCOL:
      yws_emit_id(cx, YWS_MSG_TYPE_LWS_CLIENT_HTTP_DROP_PROTOCOL);
      return 0;
    case LWS_CALLBACK_WS_CLIENT_DROP_PROTOCOL:
      yws_emit_id(cx, YWS_MSG_TYPE_LWS_CLIENT_DROP_PROTOCOL, yws_closed_err(client_id, wsi));
      return 0;
    default:
      return 0;
  }
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
  /* The record stays while the callback holds the loop's record lock;
   * once it is released no callback looks at it again. */
  if (!yws_loop_rec_enter(loop)) return 0;
  yws_cb_ctx cx;
  std::memset(&cx, 0, sizeof(cx));
  cx.loop = loop;
  cx.user = user;
  cx.ev.param1 = yws_tag(loop->client_id, loop->serial);
  int r = yws_dispatch_reason(loop, wsi, reason, in, len, &cx);
  yws_loop_rec_leave(loop);
  return r;
}
