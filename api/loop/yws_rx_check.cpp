/*
 * What the server sends, checked on the loop thread before anything reaches
 * the caller: UTF-8 of received text, the server's close frame, and the
 * library's own verdicts on what it refused. Also when anything last arrived,
 * which the keepalive reads.
 */
#include <openssl/ssl.h>

#include <atomic>
#include <cstring>

#include "yv_net.h"
#include "yws_loop_impl.h"

namespace {

/* Receive-side state of one client id. The loop thread of the client writes
 * it; the open resets it before that thread exists. */
struct rx_t {
  std::atomic<int64_t> last_rx_ms{0};
  std::atomic<bool> violation{false};
  bool in_text = false;
  yws_utf8_t utf8 = YWS_UTF8_START;
  uint8_t carry[4] = {0, 0, 0, 0}; /* start of a code point cut by a piece boundary */
  uint8_t ncarry = 0;
  /* The current message came compressed; its inflated bytes so far. */
  bool compressed = false;
  uint32_t inflated = 0;
  bool in_msg = false; /* a piece of a message came, its final one not yet */
};

rx_t g_rx[YWS_CLIENT_NUM];

bool yws_close_code_valid(int code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
         (code >= 3000 && code <= 4999);
}

/* The server broke the protocol: fail the connection, with our close frame
 * carrying `code` when there is one (0: dropped without close frame). */
int yws_violation(int client_id, struct lws *wsi, int code, const char *why) {
  YWS_TRACE("protocol violation: %s", why);
  g_rx[client_id].violation = true;
  yws_cause_set(client_id, YWS_CLOSE_CAUSE_PROTOCOL);
  if (code)
    lws_close_reason(wsi, static_cast<enum lws_close_status>(code),
                     reinterpret_cast<unsigned char *>(const_cast<char *>(why)), std::strlen(why));
  return -1;
}

/* Batches received bytes (two parts, one after the other). Message mode
 * gives the piece its flags, batches an empty final piece too, and counts a
 * buffered message's mark against the receive buffer at its first piece. */
void yws_rx_push(yws_loop *loop, const void *a, size_t na, const void *b, size_t nb, bool binary,
                 bool final) {
  if (!loop->msg_mode) {
    if (na + nb) (void)yws_loop_rx_put2(loop, YWS_MSG_TYPE_LWS_CLIENT_RECEIVE, a, na, b, nb);
    return;
  }
  if (na + nb == 0 && !final) return;
  uint32_t flags = (binary ? YWS_MSG_FLAG_BINARY : 0u) |
                   (loop->msg_open ? 0u : YWS_MSG_FLAG_FIRST) | (final ? YWS_MSG_FLAG_FINAL : 0u);
  if (!loop->msg_open) yws_rxflow_mark(loop);
  loop->msg_open = !final;
  (void)yws_loop_rx_put2(loop, YWS_MSG_TYPE_LWS_CLIENT_RECEIVE, a, na, b, nb, flags);
}

}  // namespace

void yws_rx_check_open(int client_id) {
  if (!yws_client_id_ok(client_id)) return;
  rx_t &rx = g_rx[client_id];
  rx.last_rx_ms = 0;
  rx.violation = false;
  rx.in_text = false;
  rx.utf8 = YWS_UTF8_START;
  rx.ncarry = 0;
  rx.compressed = false;
  rx.inflated = 0;
  rx.in_msg = false;
}

void yws_alive(int client_id) {
  if (yws_client_id_ok(client_id)) g_rx[client_id].last_rx_ms = yws_now_ms();
}

int64_t yws_last_rx_ms(int client_id) {
  return yws_client_id_ok(client_id) ? g_rx[client_id].last_rx_ms.load() : 0;
}

int64_t yws_loop_quiet_ms(yws_loop *loop) {
  if (!loop) return -1;
  yws_loop_guard guard(loop);
  if (!guard.parked() || !loop->wsi) return -1;
  int fd = lws_get_socket_fd(loop->wsi);
  return fd < 0 ? -1 : yv_socket_quiet_ms(fd);
}

int yws_peer_close(int client_id, struct lws *wsi, const void *in, size_t len) {
  if (!yws_client_id_ok(client_id)) return 0;
  yws_alive(client_id);
  const auto *p = static_cast<const uint8_t *>(in);
  if (len == 1 || (len && !p)) return yws_violation(client_id, wsi, 0, "close payload");
  int code = len >= 2 ? (p[0] << 8) | p[1] : 1005;
  if (len >= 2 && !yws_close_code_valid(code))
    return yws_violation(client_id, wsi, 0, "close code");
  if (len > 2 && !yws_utf8_valid(p + 2, len - 2))
    return yws_violation(client_id, wsi, 0, "close reason");
  yws_cause_peer(client_id, code, len > 2 ? reinterpret_cast<const char *>(p + 2) : "",
                 len > 2 ? len - 2 : 0);
  return 0;
}

int yws_rx_data(yws_loop *loop, struct lws *wsi, void *in, size_t len) {
  int client_id = loop->client_id;
  if (!yws_client_id_ok(client_id)) return 0;
  rx_t &rx = g_rx[client_id];
  rx.last_rx_ms = yws_now_ms();
  auto *p = static_cast<uint8_t *>(in);
  if (!p) len = 0;
  bool first = lws_is_first_fragment(wsi) != 0;
  bool final = lws_is_final_fragment(wsi) != 0;
  if (first) {
    /* A text message whose end we never saw stopped inside a code point. */
    if (rx.in_text && rx.utf8.need) return yws_violation(client_id, wsi, 1007, "partial utf8");
    rx.in_text = !lws_frame_is_binary(wsi);
    rx.utf8 = YWS_UTF8_START;
    rx.ncarry = 0;
    /* RSV1 of a first frame: the library inflates only what was negotiated
     * and refuses the bit otherwise. */
    rx.compressed = loop->deflate_bits && (lws_get_reserved_bits(wsi) & 0x40);
    rx.inflated = 0;
  }
  /* A piece that continues no message: the library handing the last one
   * over again (its loop for uncompressed frames on a deflate connection,
   * repaired in yws_deflate.cpp). The connection cannot go on. */
  if (loop->deflate_bits && !first && !rx.in_msg)
    return yws_violation(client_id, wsi, 1011, "uncompressed message on a deflate connection");
  rx.in_msg = !final;
  if (rx.compressed) {
    if (len > YWS_DEFLATE_RX_MAX - rx.inflated)
      return yws_violation(client_id, wsi, 1009, "inflated message too large");
    rx.inflated += static_cast<uint32_t>(len);
  }
  if (!rx.in_text) {
    yws_rx_push(loop, p, len, nullptr, 0, true, final);
    return 0;
  }
  size_t tail;
  if (!yws_utf8_scan(&rx.utf8, p, len, &tail))
    return yws_violation(client_id, wsi, 1007, "bad utf8");
  if (final && rx.utf8.need) return yws_violation(client_id, wsi, 1007, "partial utf8");
  /* Bytes of an unfinished code point wait for the piece that completes it,
   * so no byte of an invalid sequence ever reaches the caller. */
  bool open_in_carry = rx.utf8.need && tail == len && rx.ncarry;
  size_t keep_from = open_in_carry ? 0 : tail;
  if (!open_in_carry) yws_rx_push(loop, rx.carry, rx.ncarry, p, keep_from, false, final);
  if (open_in_carry) {
    std::memcpy(rx.carry + rx.ncarry, p, len);
    rx.ncarry = static_cast<uint8_t>(rx.ncarry + len);
  } else {
    rx.ncarry = static_cast<uint8_t>(len - keep_from);
    if (rx.ncarry) std::memcpy(rx.carry, p + keep_from, rx.ncarry);
  }
  if (final) rx.in_text = false;
  return 0;
}

namespace {

/* How a websocket the server did not close with a frame ended: a violation
 * the library refused, or what the network did (recorded for the cause). */
void yws_end_judge(int client_id, struct lws *wsi) {
  SSL *ssl = lws_get_ssl(wsi);
  int fd = lws_get_socket_fd(wsi);
  /* The server's TLS close_notify ends the stream as a FIN does, whether or
   * not its FIN has arrived yet: the peer went away, nothing was refused. */
  if (ssl && (SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN)) {
    yws_cause_network(client_id, 0, "TLS closed");
    return;
  }
  /* The library ended a websocket whose server neither closed nor dropped
   * it: its parser refused what the server sent. */
  if (fd >= 0 && yv_socket_peer_open(fd) == 1) {
    g_rx[client_id].violation = true;
    return;
  }
  yws_cause_network(client_id, 0, fd >= 0 && yv_socket_reset(fd) == 1 ? "reset" : "closed");
}

}  // namespace

uint32_t yws_closed_err(int client_id, struct lws *wsi) {
  if (!yws_client_id_ok(client_id)) return YWS_OK;
  if (wsi && !g_rx[client_id].violation.load()) yws_end_judge(client_id, wsi);
  if (!g_rx[client_id].violation.load()) return YWS_OK;
  /* The library ends our own closing handshake the same way when the
   * server's answer arrives: that end stays the user's. */
  return yws_cause_protocol(client_id) ? YWS_ERR_PROT_FAIL : YWS_OK;
}
