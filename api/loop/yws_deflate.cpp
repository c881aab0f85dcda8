/*
 * Per-message deflate ("conn/deflate"): the offer of the upgrade request,
 * zlib sizes that a module can afford, and the check of the server's answer.
 * The library compresses and inflates; its state exists only on a connection
 * that negotiated the extension and goes with the connection.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "yws_loop_impl.h"

namespace {

/* zlib's hash table at half the window (its default proportion would be
 * equal): at N = 10 compression and decompression stay under 24 KiB. */
int mem_level(int bits) {
  int m = bits - 8;
  return m < 1 ? 1 : m;
}

bool is_space(char c) {
  return c == ' ' || c == '\t';
}

/* One token of a header value between `p` and `end`, spaces trimmed. */
void trim(const char **p, const char **end) {
  while (*p < *end && is_space(**p)) (*p)++;
  while (*end > *p && is_space((*end)[-1])) (*end)--;
}

bool token_is(const char *p, const char *end, const char *name) {
  size_t n = std::strlen(name);
  return static_cast<size_t>(end - p) == n && strncasecmp(p, name, n) == 0;
}

/* A window value: 9..15 as bare digits; -1 when not one. The quoted form
 * RFC 7692 allows is refused: this library build misreads it and would
 * inflate with a wrong window. So is 8, which zlib's deflate turns into 9. */
int window_value(const char *p, const char *end) {
  if (p == end || end - p > 2) return -1;
  int v = 0;
  for (; p < end; p++) {
    if (*p < '0' || *p > '9') return -1;
    v = v * 10 + (*p - '0');
  }
  return v >= 9 && v <= 15 ? v : -1;
}

/* The library's (4.1.6) private view of a piece passing its deflate
 * extension, and its answers: more output owed, a frame not compressed. */
struct yws_pmd_pieces_t {
  struct lws_tokens in;
  struct lws_tokens out;
};
constexpr int k_pmd_has_pending = 2;
constexpr int k_pmd_not_compressed = 5;

/* The library's deflate extension, with two repairs.
 * - For a frame it does not inflate (an uncompressed message, a pong) its
 *   receive loop never counts the input as used and hands the same piece
 *   over without end (libwebsockets issue 2794). Marking the input used
 *   makes it one delivery.
 * - Its receive loop inflates all it was given in one go, whatever flow
 *   control says: a few hundred compressed bytes become megabytes of
 *   batches. While delivery is paused and output is owed, an empty "still
 *   pending" answer ends the loop with the connection left on the library's
 *   drain list, which it serves again only once delivery resumes; the
 *   inflater keeps its place in the frame, which the parser does not
 *   overwrite while it drains. */
int yws_pmd_callback(struct lws_context *context, const struct lws_extension *ext, struct lws *wsi,
                     enum lws_extension_callback_reasons reason, void *user, void *in, size_t len) {
  auto *loop = context ? static_cast<yws_loop *>(lws_context_user(context)) : nullptr;
  auto *pieces = static_cast<yws_pmd_pieces_t *>(in);
  if (reason == LWS_EXT_CB_PAYLOAD_RX && loop && pieces && loop->inflate_owed &&
      yws_rxflow_paused(loop)) {
    pieces->out.token = loop->inflate_scratch;
    pieces->out.len = 0;
    loop->inflate_held = true;
    return k_pmd_has_pending;
  }
  int n = lws_extension_callback_pm_deflate(context, ext, wsi, reason, user, in, len);
  if (reason != LWS_EXT_CB_PAYLOAD_RX) return n;
  if (loop) loop->inflate_owed = n == k_pmd_has_pending;
  if (n == k_pmd_not_compressed && pieces) pieces->in.len = 0;
  return n;
}

/* Checks the server's answer for an offer of `bits`; why is set on refusal. */
bool answer_ok(const char *answer, int bits, const char **why) {
  const char *p = answer, *end = answer + std::strlen(answer);
  if (std::memchr(p, ',', static_cast<size_t>(end - p))) {
    *why = "more than one extension";
    return false;
  }
  bool server_window = false;
  bool first = true;
  while (p <= end) {
    const char *semi = static_cast<const char *>(std::memchr(p, ';', static_cast<size_t>(end - p)));
    const char *stop = semi ? semi : end;
    const char *a = p, *b = stop;
    trim(&a, &b);
    const char *eq = static_cast<const char *>(std::memchr(a, '=', static_cast<size_t>(b - a)));
    const char *ne = eq ? eq : b, *va = eq ? eq + 1 : b, *vb = b;
    trim(&a, &ne);
    trim(&va, &vb);
    if (first) {
      if (!token_is(a, b, "permessage-deflate")) {
        *why = "extension not offered";
        return false;
      }
      first = false;
    } else if (!eq && (token_is(a, ne, "client_no_context_takeover") ||
                       token_is(a, ne, "server_no_context_takeover"))) {
      /* Either side may forget its dictionary after each message: it costs
       * ratio, never memory or correctness. */
    } else if (eq && (token_is(a, ne, "client_max_window_bits") ||
                      token_is(a, ne, "server_max_window_bits"))) {
      int v = window_value(va, vb);
      if (v < 0) {
        *why = "window value";
        return false;
      }
      if (v > bits) {
        *why = "window larger than offered";
        return false;
      }
      if (token_is(a, ne, "server_max_window_bits")) server_window = true;
    } else {
      *why = "parameter not offered";
      return false;
    }
    if (!semi) break;
    p = semi + 1;
  }
  /* Without the parameter the server keeps its 15-bit window. */
  if (!server_window && bits < 15) {
    *why = "window larger than offered";
    return false;
  }
  return true;
}

}  // namespace

bool yws_deflate_setup(yws_loop *loop, uint8_t bits) {
  if (!loop->inflate_wake && yv_rtos_sem_create(&loop->inflate_wake, 0) != YV_OSI_SUCCESS) {
    loop->inflate_wake = 0;
    return false;
  }
  loop->deflate_bits = bits;
  std::snprintf(loop->deflate_offer, sizeof(loop->deflate_offer),
                "permessage-deflate; client_max_window_bits=%d; server_max_window_bits=%d",
                (int)bits, (int)bits);
  std::memset(loop->deflate_ext, 0, sizeof(loop->deflate_ext));
  loop->deflate_ext[0].name = "permessage-deflate";
  loop->deflate_ext[0].callback = yws_pmd_callback;
  loop->deflate_ext[0].client_offer = loop->deflate_offer;
  return true;
}

void yws_deflate_defaults(yws_loop *loop, const char *ext, char *out, size_t len) {
  if (!loop->deflate_bits || !ext || !out || !len || std::strcmp(ext, "permessage-deflate")) return;
  int bits = loop->deflate_bits;
  /* The server's answer is parsed after these and may only lower the
   * windows (checked before the connection is up). Pieces of 1 KiB either
   * way keep the library's buffers small. */
  std::snprintf(out, len,
                "client_max_window_bits=%d; server_max_window_bits=%d; mem_level=%d; "
                "rx_buf_size=10; tx_buf_size=10",
                bits, bits, mem_level(bits));
}

int yws_deflate_check_answer(yws_loop *loop, struct lws *wsi) {
  if (!loop->deflate_bits) return 0;
  char answer[256];
  int total = lws_hdr_total_length(wsi, WSI_TOKEN_EXTENSIONS);
  if (total == 0) {
    YWS_TRACE("deflate: declined by the server, uncompressed");
    return 0;
  }
  if (total < 0 || total >= static_cast<int>(sizeof(answer)) ||
      lws_hdr_copy(wsi, answer, sizeof(answer), WSI_TOKEN_EXTENSIONS) < 0) {
    YWS_TRACE("deflate: answer refused (%d bytes long)", total);
    return 1;
  }
  const char *why = "";
  if (!answer_ok(answer, loop->deflate_bits, &why)) {
    YWS_TRACE("deflate: answer refused (%s): %.120s", why, answer);
    return 1;
  }
  YWS_TRACE("deflate: %.120s", answer);
  return 0;
}
