/*
 * Why a client ended: the per-id close-cause record. It outlives the client
 * record, so the cause query answers on a free slot too.
 */
#include <cstring>

#include "yws_core.h"

namespace {

struct cause_t {
  int cause;
  int peer_code;
  char reason[YWS_CLOSE_REASON_SIZE];
  /* What failed, for an end that turns out NETWORK. */
  int net_code;
  char net_reason[YWS_CLOSE_REASON_SIZE];
};

/* Appends up to n bytes of in at *at, printable ASCII only and cut to fit:
 * library and verifier words end up on a command line. */
void yws_reason_add(char *out, size_t *at, const char *in, size_t n) {
  for (size_t i = 0; in && i < n && in[i] && *at < YWS_CLOSE_REASON_SIZE - 1; i++) {
    char ch = in[i];
    out[(*at)++] = ch >= 0x20 && ch < 0x7F && ch != '"' ? ch : '?';
  }
  out[*at] = '\0';
}

cause_t g_cause[YWS_CLIENT_NUM];

}  // namespace

void yws_cause_open(int client_id) {
  if (!yws_client_id_ok(client_id)) return;
  yws_glock_guard lk(YWS_GLOCK_CAUSE);
  std::memset(&g_cause[client_id], 0, sizeof(cause_t));
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

void yws_cause_peer(int client_id, int code, const char *reason, size_t n) {
  if (!yws_client_id_ok(client_id)) return;
  yws_glock_guard lk(YWS_GLOCK_CAUSE);
  cause_t &c = g_cause[client_id];
  if (c.cause == YWS_CLOSE_CAUSE_NONE) c.cause = YWS_CLOSE_CAUSE_PEER;
  if (c.peer_code != 0) return;
  if (n > YWS_CLOSE_REASON_SIZE - 1) n = YWS_CLOSE_REASON_SIZE - 1;
  c.peer_code = code;
  if (n) std::memcpy(c.reason, reason, n);
  c.reason[n] = '\0';
}

void yws_cause_network(int client_id, int code, const char *what, const char *detail,
                       size_t detail_len) {
  if (!yws_client_id_ok(client_id)) return;
  yws_glock_guard lk(YWS_GLOCK_CAUSE);
  cause_t &c = g_cause[client_id];
  if (c.net_reason[0]) return;
  c.net_code = code;
  size_t at = 0;
  yws_reason_add(c.net_reason, &at, what, SIZE_MAX);
  yws_reason_add(c.net_reason, &at, detail, detail_len);
}

bool yws_cause_protocol(int client_id) {
  if (!yws_client_id_ok(client_id)) return false;
  yws_glock_guard lk(YWS_GLOCK_CAUSE);
  int &c = g_cause[client_id].cause;
  if (c == YWS_CLOSE_CAUSE_NONE) c = YWS_CLOSE_CAUSE_PROTOCOL;
  return c == YWS_CLOSE_CAUSE_PROTOCOL;
}

yws_err_e yws_cause_get(int client_id, int *cause, int *peer_code, char *reason) {
  if (!yws_client_id_ok(client_id)) return YWS_ERR_INVAL_PARM;
  yws_glock_guard lk(YWS_GLOCK_CAUSE);
  const cause_t &c = g_cause[client_id];
  bool net = c.cause == YWS_CLOSE_CAUSE_NETWORK;
  if (cause) *cause = c.cause;
  if (peer_code) *peer_code = net ? c.net_code : c.peer_code;
  if (reason) std::memcpy(reason, net ? c.net_reason : c.reason, sizeof(c.reason));
  return YWS_OK;
}
