/*
 * Why a client ended, and the receive-side checks that decide it: the
 * per-id close-cause record (it outlives the client record), the wait for a
 * sign of life after a ping, the server's close frame, UTF-8 of received text,
 * and the library's own protocol-violation verdicts.
 */
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>

#include "yv_websocket_inc.h"
#include "yws_lock.h"
#include "yws_loop.h"

namespace {

struct cause_t {
  int cause;
  int peer_code;
  char reason[YWS_CLOSE_REASON_SIZE];
};

/* UTF-8 decoder state carried across the pieces of one text message. */
struct utf8_t {
  uint8_t need; /* continuation bytes still expected */
  uint8_t lo;   /* bounds of the next continuation byte */
  uint8_t hi;
};

/* Receive-side state of one client id. The loop thread of the client writes
 * it; the open resets it before that thread exists. */
struct rx_t {
  std::atomic<int64_t> last_rx_ms{0};
  std::atomic<bool> violation{false};
  bool in_text = false;
  utf8_t utf8 = {0, 0x80, 0xBF};
  uint8_t carry[4] = {0, 0, 0, 0}; /* start of a code point cut by a piece boundary */
  uint8_t ncarry = 0;
};

/* Service task only. */
struct live_t {
  bool waiting;         /* a wait is on, until an answer or its expiry is handled */
  int64_t wait_ping_ms; /* the ping the wait is for */
  int64_t last_ping_ms;
};

cause_t g_cause[YWS_CLIENT_NUM];
rx_t g_rx[YWS_CLIENT_NUM];
live_t g_live[YWS_CLIENT_NUM];

constexpr uint32_t kPongWaitExpired = 1; /* param2 of YWS_MSG_TYPE_TO_PING */

bool yws_utf8_cont(uint8_t b, uint8_t lo = 0x80, uint8_t hi = 0xBF) {
  return b >= lo && b <= hi;
}

/* The decoder state a lead byte starts: continuation bytes it needs and the
 * bounds of the first one (overlong forms, surrogates and code points above
 * U+10FFFF are cut off there). False for a byte no code point starts with. */
bool yws_utf8_lead(uint8_t b, utf8_t *st) {
  int32_t len = yws_utf8_seq_len(b);
  if (len < 2) return false;
  st->need = static_cast<uint8_t>(len - 1);
  st->lo = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
  st->hi = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
  return true;
}

/* Length of the valid code point at p (lead byte b, four bytes readable), or
 * 0 when it is invalid. */
size_t yws_utf8_whole(const uint8_t *p, uint8_t b) {
  utf8_t st;
  if (!yws_utf8_lead(b, &st) || !yws_utf8_cont(p[1], st.lo, st.hi)) return 0;
  for (uint8_t k = 2; k <= st.need; k++)
    if (!yws_utf8_cont(p[k])) return 0;
  return st.need + 1u;
}

/* Advances the decoder over len bytes. Returns false on an invalid byte;
 * *tail is the offset where an unfinished code point starts (len if none
 * started inside these bytes). */
bool yws_utf8_scan(utf8_t *st, const uint8_t *p, size_t len, size_t *tail) {
  size_t i = 0;
  *tail = len;
  while (i < len) {
    if (st->need == 0) {
      /* ASCII runs are the common case: eight bytes at a time. */
      while (i + 8 <= len) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) break;
        i += 8;
      }
      if (i >= len) break;
      uint8_t b = p[i];
      if (b < 0x80) {
        i++;
        continue;
      }
      if (i + 4 <= len) {
        /* A whole code point is at hand: check it without the state. */
        size_t n = yws_utf8_whole(p + i, b);
        if (n == 0) return false;
        i += n;
        continue;
      }
      if (!yws_utf8_lead(b, st)) return false;
      *tail = i;
      i++;
      continue;
    }
    uint8_t b = p[i];
    if (b < st->lo || b > st->hi) return false;
    st->lo = 0x80;
    st->hi = 0xBF;
    st->need--;
    i++;
    if (st->need == 0) *tail = len;
  }
  if (st->need == 0) *tail = len;
  return true;
}

bool yws_utf8_valid(const uint8_t *p, size_t len) {
  utf8_t st = {0, 0x80, 0xBF};
  size_t tail;
  return yws_utf8_scan(&st, p, len, &tail) && st.need == 0;
}

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

/* The connection's socket has neither an end of stream nor an error waiting:
 * the server is still there. Unread bytes do not count: a close frame the
 * library has not parsed yet may sit in front of the server's FIN. */
bool yws_peer_still_there(struct lws *wsi) {
  int fd = lws_get_socket_fd(wsi);
  if (fd < 0) return false;
  struct pollfd pfd = {fd, POLLRDHUP, 0};
  if (poll(&pfd, 1, 0) < 0) return false;
  return (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
}

void yws_pong_timer_cb(void *argv) {
  yws_post(YWS_MSG_TYPE_TO_PING, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argv)),
           kPongWaitExpired, 0);
}

/* Milliseconds since the socket last received data, or -1 when unknown: it
 * sees server pings, which the library answers without telling us. */
int64_t yws_socket_quiet_ms(yws_client_t *rec) {
#ifdef TCP_INFO
  yws_loop *loop = rec->prot_ctxt.loop;
  if (!loop) return -1;
  yws_loop_guard guard(loop);
  if (!loop->wsi) return -1;
  int fd = lws_get_socket_fd(loop->wsi);
  if (fd < 0) return -1;
  struct tcp_info ti;
  socklen_t n = sizeof(ti);
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &n) != 0) return -1;
  return ti.tcpi_last_data_recv;
#else
  (void)rec;
  return -1;
#endif
}

/* Guards the latest ping if nothing arrived since it; otherwise no wait. */
void yws_pong_wait_rearm(int client_id, yws_client_t *rec, int64_t last_rx, int64_t now) {
  live_t &lv = g_live[client_id];
  if (lv.last_ping_ms <= last_rx) {
    lv.waiting = false;
    if (yv_rtos_timer_is_running(rec->pong_timer)) yv_rtos_timer_stop(rec->pong_timer);
    return;
  }
  int64_t wait = lv.last_ping_ms + yws_cfg[rec->cfg_id]->ping.timeout * 1000ll - now;
  lv.wait_ping_ms = lv.last_ping_ms;
  yv_rtos_timer_start(rec->pong_timer, static_cast<uint32_t>(wait > 1 ? wait : 1), 0);
}

}  // namespace

void yws_cause_open(int client_id) {
  if (!yws_client_id_ok(client_id)) return;
  {
    yws_glock_guard lk(YWS_GLOCK_CAUSE);
    std::memset(&g_cause[client_id], 0, sizeof(cause_t));
  }
  rx_t &rx = g_rx[client_id];
  rx.last_rx_ms = 0;
  rx.violation = false;
  rx.in_text = false;
  rx.utf8 = {0, 0x80, 0xBF};
  rx.ncarry = 0;
  g_live[client_id] = {false, 0, 0};
}

void yws_cause_set(int client_id, yws_close_cause_e cause) {
  if (!yws_client_id_ok(client_id)) return;
  yws_glock_guard lk(YWS_GLOCK_CAUSE);
  if (g_cause[client_id].cause == YWS_CLOSE_CAUSE_NONE) g_cause[client_id].cause = cause;
}

void yws_cause_settle(int client_id, int32_t type, int32_t err) {
  yws_close_cause_e cause;
  switch (err) {
    case YWS_OK: /* no user, peer or keepalive end was recorded */
    case YWS_ERR_NET_FAIL:
    case YWS_ERR_NET_CLOSE:
    case YWS_ERR_NET_DOWN:
      cause = YWS_CLOSE_CAUSE_NETWORK;
      break;
    case YWS_ERR_TIMEDOUT:
      cause = YWS_CLOSE_CAUSE_TIMEOUT;
      break;
    case YWS_ERR_PROT_FAIL:
      /* At open: the library refused the request (name resolution). */
      cause = type == YWS_CB_TYPE_OPEN ? YWS_CLOSE_CAUSE_NETWORK : YWS_CLOSE_CAUSE_PROTOCOL;
      break;
    default:
      cause = YWS_CLOSE_CAUSE_LOCAL;
      break;
  }
  yws_cause_set(client_id, cause);
}

yws_err_e yws_cause_get(int client_id, int *cause, int *peer_code, char *reason) {
  if (!yws_client_id_ok(client_id)) return YWS_ERR_INVAL_PARM;
  yws_glock_guard lk(YWS_GLOCK_CAUSE);
  const cause_t &c = g_cause[client_id];
  if (cause) *cause = c.cause;
  if (peer_code) *peer_code = c.peer_code;
  if (reason) std::memcpy(reason, c.reason, sizeof(c.reason));
  return YWS_OK;
}

void yws_alive(int client_id) {
  if (yws_client_id_ok(client_id)) g_rx[client_id].last_rx_ms = yws_now_ms();
}

void yws_alive_event(int client_id) {
  if (!yws_client_id_ok(client_id)) return;
  yws_client_t *rec = yws_client[client_id];
  if (!rec || !rec->pong_timer || !g_live[client_id].waiting) return;
  int64_t last_rx = g_rx[client_id].last_rx_ms.load();
  if (last_rx < g_live[client_id].wait_ping_ms) return;
  /* The guarded ping was answered: an idle healthy client costs no wake-up. */
  yws_pong_wait_rearm(client_id, rec, last_rx, yws_now_ms());
}

void yws_pong_wait_start(int client_id, yws_client_t *rec, int64_t sent_ms) {
  if (!yws_client_id_ok(client_id) || !yws_cfg[rec->cfg_id]->ping.timeout) return;
  g_live[client_id].last_ping_ms = sent_ms;
  if (!rec->pong_timer && yv_rtos_timer_create(&rec->pong_timer, 0xFFFFFFFFu, yws_pong_timer_cb,
                                               yws_timer_arg(client_id, rec)) != YV_OSI_SUCCESS) {
    rec->pong_timer = 0;
    return;
  }
  if (g_live[client_id].waiting) return; /* an older ping is unanswered */
  g_live[client_id].waiting = true;
  g_live[client_id].wait_ping_ms = sent_ms;
  yv_rtos_timer_start(rec->pong_timer, yws_cfg[rec->cfg_id]->ping.timeout * 1000u, 0);
}

void yws_pong_wait_expired(int client_id, yws_client_t *rec) {
  if (!yws_client_id_ok(client_id) || !rec->pong_timer || !g_live[client_id].waiting) return;
  int64_t now = yws_now_ms();
  int64_t deadline = g_live[client_id].wait_ping_ms + yws_cfg[rec->cfg_id]->ping.timeout * 1000ll;
  if (now < deadline) {
    /* The expiry of an earlier wait, handled after a newer one started. */
    if (!yv_rtos_timer_is_running(rec->pong_timer))
      yv_rtos_timer_start(rec->pong_timer, static_cast<uint32_t>(deadline - now), 0);
    return;
  }
  int64_t last_rx = g_rx[client_id].last_rx_ms.load();
  if (last_rx < g_live[client_id].wait_ping_ms) {
    int64_t quiet = yws_socket_quiet_ms(rec);
    if (quiet >= 0 && now - quiet > last_rx) last_rx = now - quiet;
  }
  if (last_rx >= g_live[client_id].wait_ping_ms) {
    yws_pong_wait_rearm(client_id, rec, last_rx, now);
    return;
  }
  YWS_TRACE("PING TIMEOUT(%d)", client_id);
  yws_cause_set(client_id, YWS_CLOSE_CAUSE_PING_TIMEOUT);
  /* A silent peer gets no closing handshake: the connection ends now. */
  yv_event_t ev = {YWS_MSG_TYPE_TO_CLOSE_CLIENT,
                   yws_tag(static_cast<uint8_t>(client_id), rec->serial), YWS_ERR_TIMEDOUT, 0};
  yws_close_proc(&ev);
}

bool yws_ping_wait_event(const yv_event_t *msg) {
  return msg->param2 == kPongWaitExpired;
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
  yws_glock_guard lk(YWS_GLOCK_CAUSE);
  cause_t &c = g_cause[client_id];
  if (c.cause == YWS_CLOSE_CAUSE_NONE) c.cause = YWS_CLOSE_CAUSE_PEER;
  if (c.peer_code == 0) {
    size_t n = len > 2 ? len - 2 : 0;
    if (n > YWS_CLOSE_REASON_SIZE - 1) n = YWS_CLOSE_REASON_SIZE - 1;
    c.peer_code = code;
    if (n) std::memcpy(c.reason, p + 2, n);
    c.reason[n] = '\0';
  }
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
    rx.utf8 = {0, 0x80, 0xBF};
    rx.ncarry = 0;
  }
  if (!rx.in_text) {
    if (len) yws_recv_push_req(loop, YWS_MSG_TYPE_LWS_CLIENT_RECEIVE, p, len);
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
  if (!open_in_carry && rx.ncarry + keep_from)
    (void)yws_loop_rx_put2(loop, YWS_MSG_TYPE_LWS_CLIENT_RECEIVE, rx.carry, rx.ncarry, p,
                           keep_from);
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

uint32_t yws_closed_err(int client_id, struct lws *wsi) {
  if (!yws_client_id_ok(client_id)) return YWS_OK;
  if (wsi && !g_rx[client_id].violation.load() && yws_peer_still_there(wsi)) {
    /* The library ended a websocket whose server neither closed nor dropped
     * it: its parser refused what the server sent. */
    g_rx[client_id].violation = true;
  }
  if (!g_rx[client_id].violation.load()) return YWS_OK;
  {
    /* The library ends our own closing handshake the same way when the
     * server's answer arrives: that end stays the user's. */
    yws_glock_guard lk(YWS_GLOCK_CAUSE);
    int &c = g_cause[client_id].cause;
    if (c == YWS_CLOSE_CAUSE_NONE) c = YWS_CLOSE_CAUSE_PROTOCOL;
    if (c != YWS_CLOSE_CAUSE_PROTOCOL) return YWS_OK;
  }
  return YWS_ERR_PROT_FAIL;
}
