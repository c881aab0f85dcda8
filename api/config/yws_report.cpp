/*
 * "+YWSCFG: " report lines for the command layer. The key is echoed exactly
 * as the caller passed it.
 */
#include <algorithm>
#include <cstdio>

#include "yws_config.h"
#include "yws_core.h"

namespace {

/* A line holds at most this many bytes with its NUL; the buffer has one more. */
constexpr int k_line_max = 2048;

}  // namespace

size_t yws_report_escape(char *buf, size_t cap, size_t len, const char *s) {
  /* A value can never close its quotes early and forge a field. */
  for (; *s && len + 1 < cap; s++) {
    bool esc = *s == '"' || *s == '\\';
    if (esc && len + 2 >= cap) break;
    if (esc) buf[len++] = '\\';
    buf[len++] = *s;
  }
  if (cap) buf[len < cap ? len : cap - 1] = '\0';
  return len;
}

yws_err_e yws_cfg_get_opt_with_fmt(char **fmt, int type, uint8_t cfg_id, const char *type_str,
                                   const char *value_str) {
  if (!fmt || !type_str || !yws_cfg_id_ok(cfg_id)) return YWS_ERR_INVAL_PARM;
  if (yws_cfg_init(cfg_id) != YWS_OK) {
    YWS_TRACE("cfg_id: %d", cfg_id);
    return YWS_ERR_INVAL_PARM;
  }
  char *buf = static_cast<char *>(yv_mem_alloc(k_line_max + 1));
  *fmt = buf;
  if (!buf) return YWS_ERR_NO_MEM;
  YWS_TRACE("cfg_id: %d, type: 0x%d, %s", cfg_id, type, type_str);

  switch (type) {
    case YWS_CFG_CONN_URL:
    case YWS_CFG_CONN_SUBPROT:
    case YWS_CFG_CONN_EXTENSION:
    case YWS_CFG_CONN_METHOD: {
      /* Held while the string is read: a set from another task frees it. */
      yws_cfg_lock(cfg_id);
      const char *s = yws_cfg_string_held(cfg_id, type);
      int n = snprintf(buf, k_line_max, "+YWSCFG: \"%s\",%d,\"", type_str, cfg_id);
      size_t len =
          n < 0 ? 0 : std::min(static_cast<size_t>(n), static_cast<size_t>(k_line_max - 1));
      len = yws_report_escape(buf, k_line_max, len, s ? s : "");
      if (len + 1 < static_cast<size_t>(k_line_max)) snprintf(buf + len, k_line_max - len, "\"");
      yws_cfg_unlock(cfg_id);
      return YWS_OK;
    }
    case YWS_CFG_REQHEAD_ADD:
      if (yws_cfg_get_http_head(buf, k_line_max, cfg_id, type_str, value_str) >= 0) return YWS_OK;
      break;
    case YWS_CFG_REQHEAD_REMOVE:
      /* A query of this key deletes every header of the profile, as it
       * always has: callers rely on it. It has no line. */
      yv_mem_free(buf);
      *fmt = nullptr;
      (void)yws_cfg_remove_http_head(cfg_id, nullptr);
      return YWS_OK;
    default: {
      /* Every remaining option with a field is an integer; the read refuses
       * categories, the callback and ids outside the table. */
      int v = 0;
      if (yv_ws_cfg_get_opt(cfg_id, type, &v) == YWS_OK) {
        snprintf(buf, k_line_max, "+YWSCFG: \"%s\",%d,%d", type_str, cfg_id, v);
        return YWS_OK;
      }
      YWS_TRACE("cfg_id: %d, type: 0x%d", cfg_id, type);
      break;
    }
  }
  yv_mem_free(buf);
  *fmt = nullptr;
  return YWS_ERR_INVAL_PARM;
}
