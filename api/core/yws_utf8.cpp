/*
 * UTF-8 for both directions: the receive side validates text across piece
 * boundaries, the transmit side cuts stream messages on a character boundary.
 */
#include <cstring>

#include "yws_core.h"

namespace {

bool yws_utf8_cont(uint8_t b, uint8_t lo = 0x80, uint8_t hi = 0xBF) {
  return b >= lo && b <= hi;
}

/* The decoder state a lead byte starts: continuation bytes it needs and the
 * bounds of the first one (overlong forms, surrogates and code points above
 * U+10FFFF are cut off there). False for a byte no code point starts with. */
bool yws_utf8_lead(uint8_t b, yws_utf8_t *st) {
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
  yws_utf8_t st;
  if (!yws_utf8_lead(b, &st) || !yws_utf8_cont(p[1], st.lo, st.hi)) return 0;
  for (uint8_t k = 2; k <= st.need; k++)
    if (!yws_utf8_cont(p[k])) return 0;
  return st.need + 1u;
}

}  // namespace

int32_t yws_utf8_seq_len(unsigned char c) {
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xF0 && c <= 0xF4) return 4;
  return 0;
}

bool yws_utf8_scan(yws_utf8_t *st, const uint8_t *p, size_t len, size_t *tail) {
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
  yws_utf8_t st = YWS_UTF8_START;
  size_t tail;
  return yws_utf8_scan(&st, p, len, &tail) && st.need == 0;
}

int32_t yws_utf8_cut(const unsigned char *p, int32_t n) {
  int32_t lead = n - 1;
  while (lead >= 0 && lead > n - 4 && (p[lead] & 0xC0) == 0x80) lead--;
  if (lead < 0) return n;
  int32_t len = yws_utf8_seq_len(p[lead]);
  /* Invalid input is sent as given; a cut that would leave nothing too. */
  if (len == 0 || lead + len <= n || lead == 0) return n;
  return lead;
}
