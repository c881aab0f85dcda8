/*
 * Extra handshake request headers of each profile: add, remove, the header
 * report line, and the copy a connect step hands to its library thread.
 *
 * Any task may add or remove headers directly (those calls apply no busy
 * rule), so every access to any list goes through one lock. A connect step
 * copies the list for its library thread, which reads only the copy. A profile whose list
 * could not be created behaves as one without headers; adding to it fails.
 */
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "yws_config.h"
#include "yws_core.h"

namespace {

constexpr size_t k_name_max = YWS_HEADER_NAME_MAX;
constexpr size_t k_value_max = YWS_HEADER_VALUE_MAX;

/* With the profile lock held the profile exists already (and its creation
 * would take the lock again). */
yws_cfg_t *profile(int cfg_id, bool profile_held = false) {
  if (!yws_cfg_id_ok(cfg_id)) return nullptr;
  if (!profile_held) (void)yws_cfg_init(cfg_id); /* a record whose list failed is still used */
  return yws_profile(cfg_id);
}

/* Names are equal without regard to letter case; a prefix is another name. */
bool name_matches(const char *stored, const char *given) {
  return yws_str_ieq(given, stored);
}

/* A missing list counts as empty. */
bool head_count(yws_cfg_t *cfg, uint32_t *n) {
  *n = 0;
  return !cfg->conn.head_linklist_hd || linklist_get_node_cnt(&cfg->conn.head_linklist_hd, n) == 0;
}

/* Node payloads are not pointer-aligned, so the record is copied out. */
bool head_at(yws_cfg_t *cfg, uint32_t index, http_head_list_node_t *out) {
  linklist *node = nullptr;
  if (linklist_node_find(&cfg->conn.head_linklist_hd, index, &node) != 0 || !node ||
      node->size < sizeof(*out))
    return false;
  memcpy(out, node->data, sizeof(*out));
  return true;
}

/* Walks from the back so that a deletion keeps the lower indexes valid. Only
 * the first `limit` nodes are considered. Caller holds the header lock. */
void remove_matching(yws_cfg_t *cfg, const char *name, uint32_t limit) {
  for (uint32_t i = limit; i-- > 0;) {
    http_head_list_node_t h;
    if (!head_at(cfg, i, &h) || (name && !name_matches(h.name, name))) continue;
    if (linklist_node_delete(&cfg->conn.head_linklist_hd, i) != 0) continue;
    yv_mem_free(h.name);
    yv_mem_free(h.value);
  }
}

/* A name is an HTTP token (RFC 7230 tchar): no control character, blank,
 * colon or quote can end its line or forge another. */
bool name_is_safe(const char *name, size_t n) {
  if (n == 0) return false;
  for (size_t i = 0; i < n; i++)
    if (!yws_is_tchar(name[i])) return false;
  return true;
}

/* No control character at all in a value (tab included): CR or LF would
 * start a new header line, the others have no business on the wire. */
bool value_is_safe(const char *value, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

struct line_t {
  char *buf;
  size_t cap;
  size_t len;
};

/* Appends at the end of the text, cutting it at cap - 1 characters. */
__attribute__((format(printf, 2, 3))) void append(line_t *line, const char *fmt, ...) {
  if (line->len + 1 >= line->cap) return;
  va_list ap;
  va_start(ap, fmt);
  int w = vsnprintf(line->buf + line->len, line->cap - line->len, fmt, ap);
  va_end(ap);
  if (w > 0) line->len += std::min(static_cast<size_t>(w), line->cap - 1 - line->len);
}

}  // namespace

int yws_cfg_add_http_head(int cfg_id, const char *header_name, const char *header_str) {
  return yws_cfg_head_add(cfg_id, header_name, header_str, false);
}

int yws_cfg_head_add(int cfg_id, const char *header_name, const char *header_str,
                     bool profile_held) {
  if (!header_name || !header_str) return YWS_ERR_INVAL_PARM;
  size_t name_len = strnlen(header_name, k_name_max + 1);
  size_t value_len = strnlen(header_str, k_value_max + 1);
  if (name_len > k_name_max || value_len > k_value_max) return YWS_ERR_INVAL_PARM;

  const char *name = header_name;
  const char *value = header_str;
  if (name[0] == '"') {
    /* A quoted pair: both lose their first and last characters. */
    if (name_len < 2 || value_len < 2) return YWS_ERR_INVAL_PARM;
    name++;
    value++;
    name_len -= 2;
    value_len -= 2;
  }
  if (!name_is_safe(name, name_len) || !value_is_safe(value, value_len)) return YWS_ERR_INVAL_PARM;

  yws_cfg_t *cfg = profile(cfg_id, profile_held);
  if (!cfg) return YWS_ERR_INVAL_PARM;
  http_head_list_node_t node = {yws_str_copy(name, name_len), yws_str_copy(value, value_len)};
  if (!node.name || !node.value) {
    yv_mem_free(node.name);
    yv_mem_free(node.value);
    return YWS_ERR_NO_MEM;
  }

  yws_glock_guard guard(YWS_GLOCK_HEADERS);
  uint32_t before = 0;
  /* A list that could not be made with the profile is made now. */
  int rc = cfg->conn.head_linklist_hd ? 0 : linklist_init(&cfg->conn.head_linklist_hd);
  if (rc == 0) rc = linklist_get_node_cnt(&cfg->conn.head_linklist_hd, &before);
  if (rc == 0) rc = linklist_push(&cfg->conn.head_linklist_hd, DIR_FIFO, &node, sizeof(node));
  if (rc != 0) {
    yv_mem_free(node.name);
    yv_mem_free(node.value);
    return rc == LINKLIST_ERR_NO_MEM ? YWS_ERR_NO_MEM : rc;
  }
  /* Older headers of the name go only once the new one is stored, so a failed
   * add leaves the list as it was; the replacement ends up last. */
  remove_matching(cfg, node.name, before);
  YWS_TRACE("name=%s, %s", node.name, node.value);
  return YWS_OK;
}

int yws_cfg_remove_http_head(int cfg_id, const char *header_name) {
  return yws_cfg_head_remove(cfg_id, header_name, false);
}

int yws_cfg_head_remove(int cfg_id, const char *header_name, bool profile_held) {
  yws_cfg_t *cfg = profile(cfg_id, profile_held);
  if (!cfg) return -1;
  yws_glock_guard guard(YWS_GLOCK_HEADERS);
  uint32_t n;
  if (!head_count(cfg, &n)) return -1;
  remove_matching(cfg, header_name, n);
  return 0;
}

int yws_cfg_get_http_head(char *resp_buffer, int len_max, int cfg_id, const char *type_str,
                          const char *header_name) {
  if (!resp_buffer || len_max <= 0 || !type_str) return -1;
  yws_cfg_t *cfg = profile(cfg_id);
  if (!cfg) return -1;
  yws_glock_guard guard(YWS_GLOCK_HEADERS);
  uint32_t n;
  if (!head_count(cfg, &n) || (n == 0 && header_name)) return -1;

  line_t line = {resp_buffer, static_cast<size_t>(len_max), 0};
  resp_buffer[0] = '\0';
  if (header_name)
    append(&line, "+YWSCFG: \"%s\",%d", type_str, cfg_id);
  else
    append(&line, "+YWSCFG: \"%s\",%d,%d", type_str, cfg_id, static_cast<int>(n));
  for (uint32_t i = 0; i < n; i++) {
    http_head_list_node_t h;
    if (!head_at(cfg, i, &h) || (header_name && !name_matches(h.name, header_name))) continue;
    append(&line, ",\"");
    line.len = yws_report_escape(line.buf, line.cap, line.len, h.name);
    append(&line, "\":\"");
    line.len = yws_report_escape(line.buf, line.cap, line.len, h.value);
    append(&line, "\"");
  }
  return static_cast<int>(n);
}

size_t yws_cfg_headers_wire_size(int cfg_id) {
  yws_cfg_t *cfg = profile(cfg_id);
  if (!cfg) return 0;
  yws_glock_guard guard(YWS_GLOCK_HEADERS);
  uint32_t n;
  if (!head_count(cfg, &n)) return 0;
  size_t total = 0;
  for (uint32_t i = 0; i < n; i++) {
    http_head_list_node_t h;
    if (head_at(cfg, i, &h)) total += strlen(h.name) + 2 + strlen(h.value) + 2;
  }
  return total;
}

yws_headers_t *yws_cfg_headers_copy(int cfg_id, bool *no_mem) {
  *no_mem = false;
  yws_cfg_t *cfg = profile(cfg_id);
  if (!cfg) return nullptr;
  yws_glock_guard guard(YWS_GLOCK_HEADERS);
  uint32_t n;
  if (!head_count(cfg, &n) || n == 0) return nullptr;
  size_t size = 0;
  for (uint32_t i = 0; i < n; i++) {
    http_head_list_node_t h;
    if (head_at(cfg, i, &h)) size += strlen(h.name) + 1 + strlen(h.value) + 1;
  }
  auto *copy = static_cast<yws_headers_t *>(yv_mem_alloc(sizeof(yws_headers_t) + size));
  if (!copy) {
    *no_mem = true;
    return nullptr;
  }
  char *out = reinterpret_cast<char *>(copy + 1);
  for (uint32_t i = 0; i < n; i++) {
    http_head_list_node_t h;
    if (!head_at(cfg, i, &h)) continue;
    size_t a = strlen(h.name) + 1, b = strlen(h.value) + 1;
    memcpy(out, h.name, a);
    memcpy(out + a, h.value, b);
    out += a + b;
    copy->count++;
  }
  copy->size = static_cast<uint32_t>(size);
  return copy;
}

bool yws_headers_next(const yws_headers_t *h, uint32_t *at, const char **name, const char **value) {
  if (!h || *at >= h->size) return false;
  const char *base = reinterpret_cast<const char *>(h + 1);
  const char *end = base + h->size;
  const char *n = base + *at;
  size_t a = strnlen(n, static_cast<size_t>(end - n));
  if (n + a >= end) return false;
  const char *v = n + a + 1;
  size_t b = strnlen(v, static_cast<size_t>(end - v));
  if (v + b >= end || a > k_name_max || b > k_value_max) return false;
  *name = n;
  *value = v;
  *at = static_cast<uint32_t>(v + b + 1 - base);
  return true;
}
