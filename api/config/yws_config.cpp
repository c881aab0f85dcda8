/*
 * Configuration profiles: defaults, option ids and their keys, setting and
 * reading single options.
 *
 * One profile lock serialises profile creation, every option set (its busy
 * check and its change together), client creation (yws_client_service_new)
 * and the reports: a set either lands before a client of the profile exists
 * or is refused as busy, so an open never reads a string that a set frees.
 * It is not recursive: what runs under it uses the *_held variants.
 */
#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "yws_config.h"
#include "yws_core.h"

namespace {
/* Made by the first use of the id, never released. */
std::atomic<yws_cfg_t *> g_profiles[YWS_CFG_NUM];
}  // namespace

namespace {

enum opt_kind_e : uint8_t { OPT_I32, OPT_BOOL, OPT_U8, OPT_U32, OPT_STR, OPT_HEADER };

struct opt_desc_t {
  int id;
  const char *key;
  opt_kind_e kind;
  int32_t lo;
  int32_t hi;
  size_t offset; /* of the field in yws_cfg_t; unused for OPT_HEADER */
};

#define YWS_OPT(id, key, kind, lo, hi, field) \
  { id, key, kind, lo, hi, offsetof(yws_cfg_t, field) }

/* Every option the command layer can name. Byte-sized and TLS-context options
 * refuse negative values: a byte field would otherwise keep their low 8 bits. */
const opt_desc_t k_opts[] = {
    YWS_OPT(YWS_CFG_CONN_PDPCID, "conn/pdpcid", OPT_I32, 1, 16, conn.pdp_cid),
    YWS_OPT(YWS_CFG_CONN_SSLCTXID, "conn/sslctxid", OPT_I32, 0, 4, conn.ssl_ctx_id),
    YWS_OPT(YWS_CFG_CONN_URL, "conn/url", OPT_STR, 0, 0, conn.url),
    YWS_OPT(YWS_CFG_CONN_SUBPROT_EN, "conn/subprot_en", OPT_BOOL, 0, 1, conn.subprot_en),
    YWS_OPT(YWS_CFG_CONN_SUBPROT, "conn/subprot", OPT_STR, 0, 0, conn.subprot),
    YWS_OPT(YWS_CFG_CONN_EXTENSION_EN, "conn/extension_en", OPT_BOOL, 0, 1, conn.extension_en),
    YWS_OPT(YWS_CFG_CONN_EXTENSION, "conn/extension", OPT_STR, 0, 0, conn.extension),
    YWS_OPT(YWS_CFG_CONN_METHOD, "conn/method", OPT_STR, 0, 0, conn.method),
    YWS_OPT(YWS_CFG_CONN_TIMEOUT, "conn/timeout", OPT_U8, 0, 255, conn.timeout),
    /* 0 or 9..15: the gap is refused in set_one. */
    YWS_OPT(YWS_CFG_CONN_DEFLATE, "conn/deflate", OPT_U8, 0, 15, conn.deflate),
    YWS_OPT(YWS_CFG_PING_INTERVAL, "ping/interval", OPT_U8, 0, 255, ping.interval),
    YWS_OPT(YWS_CFG_PING_TIMEOUT, "ping/timeout", OPT_U8, 0, 255, ping.timeout),
    YWS_OPT(YWS_CFG_WRITE_BUFFERSZ, "write/buffersize", OPT_U32, 4096, 16384, write.buffer_sz),
    YWS_OPT(YWS_CFG_WRITE_TIMEOUT, "write/timeout", OPT_U8, 0, 255, write.timeout),
    YWS_OPT(YWS_CFG_WRITE_ECHO, "write/echo", OPT_BOOL, 0, 1, write.echo),
    YWS_OPT(YWS_CFG_WRITE_MESSAGE, "write/message", OPT_BOOL, 0, 1, write.message),
    YWS_OPT(YWS_CFG_READ_BUFFERSZ, "read/buffersize", OPT_U32, 4096, 16384, read.buffer_sz),
    YWS_OPT(YWS_CFG_READ_TIMEOUT, "read/timeout", OPT_U8, 0, 255, read.timeout),
    YWS_OPT(YWS_CFG_READ_MODE, "read/mode", OPT_U8, 0, 1, read.mode),
    /* 0 or 128..65536: the gap is refused in set_one. */
    YWS_OPT(YWS_CFG_READ_MESSAGE, "read/message", OPT_U32, 0, 65536, read.message),
    YWS_OPT(YWS_CFG_CLOSE_WAITTIME, "close/waittime", OPT_U8, 0, 255, close.waittime),
    YWS_OPT(YWS_CFG_RECONN_ATTEMPTS, "reconn/attempts", OPT_U8, 0, 255, reconn.attempts),
    YWS_OPT(YWS_CFG_RECONN_MINDELAY, "reconn/mindelay", OPT_U32, 100, 60000, reconn.mindelay_ms),
    YWS_OPT(YWS_CFG_RECONN_MAXDELAY, "reconn/maxdelay", OPT_U32, 1000, 3600000, reconn.maxdelay_ms),
    {YWS_CFG_REQHEAD_ADD, "reqheader/add", OPT_HEADER, 0, 0, 0},
    {YWS_CFG_REQHEAD_REMOVE, "reqheader/remove", OPT_HEADER, 0, 0, 0},
};

#undef YWS_OPT

/* The entry of an option that is a field of the profile, or null. */
const opt_desc_t *field_opt(int id) {
  for (const opt_desc_t &d : k_opts)
    if (d.id == id) return d.kind == OPT_HEADER ? nullptr : &d;
  return nullptr;
}

template <typename T>
T *field(yws_cfg_t *cfg, const opt_desc_t &d) {
  return reinterpret_cast<T *>(reinterpret_cast<char *>(cfg) + d.offset);
}

int read_int_field(yws_cfg_t *cfg, const opt_desc_t &d) {
  switch (d.kind) {
    case OPT_I32:
      return *field<int32_t>(cfg, d);
    case OPT_BOOL:
      return *field<bool>(cfg, d) ? 1 : 0;
    case OPT_U8:
      return *field<uint8_t>(cfg, d);
    case OPT_U32:
      return static_cast<int>(*field<uint32_t>(cfg, d));
    default:
      return 0;
  }
}

void write_int_field(yws_cfg_t *cfg, const opt_desc_t &d, int v) {
  switch (d.kind) {
    case OPT_I32:
      *field<int32_t>(cfg, d) = v;
      break;
    case OPT_BOOL:
      *field<bool>(cfg, d) = v != 0;
      break;
    case OPT_U8:
      *field<uint8_t>(cfg, d) = static_cast<uint8_t>(v);
      break;
    case OPT_U32:
      *field<uint32_t>(cfg, d) = static_cast<uint32_t>(v);
      break;
    default:
      break;
  }
}

/* The new copy is made before the old one goes, so a failed set keeps the
 * previous value. */
yws_err_e set_string(char **slot, const char *s) {
  if (!s) return YWS_ERR_INVAL_PARM;
  char *copy = yws_str_copy(s, strlen(s));
  if (!copy) return YWS_ERR_NO_MEM;
  yv_mem_free(*slot);
  *slot = copy;
  return YWS_OK;
}

yws_err_e set_one(yws_cfg_t *cfg, uint8_t cfg_id, int opt_tag, va_list ap) {
  switch (opt_tag) {
    case YWS_CFG_RECV_CB:
      /* Stored before the test: a null callback clears the previous one. */
      {
        /* The service task reads it for the end of a client whose slot is
         * free already (the busy rule no longer holds the profile then). */
        ws_client_recv_cb_t cb = va_arg(ap, ws_client_recv_cb_t);
        __atomic_store_n(&cfg->read.recv_cb, cb, __ATOMIC_RELEASE);
        return cb ? YWS_OK : YWS_ERR_INVAL_PARM;
      }
    case YWS_CFG_REQHEAD_ADD: {
      const char *name = va_arg(ap, const char *);
      const char *value = va_arg(ap, const char *);
      if (!name || !value) return YWS_ERR_INVAL_PARM;
      int rc = yws_cfg_head_add(cfg_id, name, value, true);
      return rc == YWS_OK || rc == YWS_ERR_NO_MEM ? static_cast<yws_err_e>(rc) : YWS_ERR_INVAL_PARM;
    }
    case YWS_CFG_REQHEAD_REMOVE:
      (void)yws_cfg_head_remove(cfg_id, va_arg(ap, const char *), true);
      return YWS_OK;
    default:
      break;
  }

  const opt_desc_t *d = field_opt(opt_tag);
  if (!d) return YWS_ERR_INVAL_PARM;
  if (d->kind == OPT_STR) {
    char **slot = field<char *>(cfg, *d);
    const char *value = va_arg(ap, const char *);
    /* The URL is checked at open, where its parts are needed. */
    if (opt_tag == YWS_CFG_CONN_SUBPROT && value && !yws_subprot_is_valid(value))
      return YWS_ERR_INVAL_PARM;
    yws_err_e rc = set_string(slot, value);
    if (rc == YWS_OK && opt_tag == YWS_CFG_CONN_URL) YWS_TRACE("url: %s", *slot);
    return rc;
  }
  int v = va_arg(ap, int);
  if (v < d->lo || v > d->hi) return YWS_ERR_INVAL_PARM;
  if (opt_tag == YWS_CFG_READ_MESSAGE && v != 0 && v < YWS_READ_MESSAGE_MIN)
    return YWS_ERR_INVAL_PARM;
  if (opt_tag == YWS_CFG_CONN_DEFLATE && v != 0 && v < YWS_DEFLATE_BITS_MIN)
    return YWS_ERR_INVAL_PARM;
  write_int_field(cfg, *d, v);
  return YWS_OK;
}

}  // namespace

yws_cfg_t *yws_profile(int cfg_id) {
  return yws_cfg_id_ok(cfg_id) ? g_profiles[cfg_id].load() : nullptr;
}

int32_t yws_buffer_limit(uint32_t configured) {
  return (configured >= 3072 && configured <= 16384) ? static_cast<int32_t>(configured) : 10240;
}

void yws_notify(int client_id, uint8_t cfg_id, int32_t type, uint8_t *data, int32_t size,
                int32_t virt) {
  yws_cfg_t *cfg = yws_profile(cfg_id);
  ws_client_recv_cb_t cb = cfg ? __atomic_load_n(&cfg->read.recv_cb, __ATOMIC_ACQUIRE) : nullptr;
  if (!cb) return;
  yws_parm_t parm;
  parm.type = type;
  parm.data = data;
  parm.size = size;
  parm.virtual_ = virt;
  cb(client_id, &parm);
}

int yws_cfg_init(int cfg_id) {
  if (!yws_cfg_id_ok(cfg_id)) return YWS_ERR_INVAL_PARM;
  yws_glock_guard guard(YWS_GLOCK_PROFILE);
  if (g_profiles[cfg_id].load()) return YWS_OK;

  yws_cfg_t *cfg = static_cast<yws_cfg_t *>(yv_mem_alloc(sizeof(yws_cfg_t)));
  if (!cfg) return YWS_ERR_NO_MEM;
  cfg->conn.pdp_cid = 1;
  cfg->conn.ssl_ctx_id = 0;
  cfg->conn.timeout = 60;
  cfg->ping.interval = 60;
  cfg->write.buffer_sz = 10240;
  cfg->write.timeout = 60;
  cfg->read.buffer_sz = 10240;
  cfg->read.timeout = 60;
  cfg->read.mode = YWS_CFG_READ_MODE_BUFFER;
  cfg->close.waittime = 10;
  cfg->reconn.mindelay_ms = 1000;
  cfg->reconn.maxdelay_ms = 60000;
  int rc = YWS_OK;
  if (linklist_init(&cfg->conn.head_linklist_hd) != 0) {
    /* The profile stays usable; the header code treats a missing list as empty. */
    cfg->conn.head_linklist_hd = nullptr;
    rc = YWS_ERR_NO_MEM;
  }
  g_profiles[cfg_id] = cfg;
  YWS_TRACE("yws cf default");
  return rc;
}

void yws_cfg_lock(int cfg_id) {
  (void)cfg_id; /* one lock for the three profiles: sets are rare and short */
  yws_lock(yws_glock(YWS_GLOCK_PROFILE), YWS_RANK_PROFILE);
}

void yws_cfg_unlock(int cfg_id) {
  (void)cfg_id;
  yws_unlock(yws_glock(YWS_GLOCK_PROFILE), YWS_RANK_PROFILE);
}

char *yws_cfg_string_held(int cfg_id, int opt_tag) {
  const opt_desc_t *d = field_opt(opt_tag);
  yws_cfg_t *cfg = yws_profile(cfg_id);
  if (!cfg || !d || d->kind != OPT_STR) return nullptr;
  return *field<char *>(cfg, *d);
}

const char *yws_cfg_key(int opt_tag) {
  for (const opt_desc_t &d : k_opts)
    if (d.id == opt_tag) return d.key;
  return nullptr;
}

yws_err_e yws_cfg_type_parse(const char *cfg_name, int *type_out) {
  if (!cfg_name || !type_out) return YWS_ERR_INVAL_PARM;
  for (const opt_desc_t &d : k_opts) {
    if (yws_str_ieq(cfg_name, d.key)) {
      *type_out = d.id;
      return YWS_OK;
    }
  }
  return YWS_ERR_GENERIC;
}

yws_err_e yv_ws_cfg_set_opt(uint8_t cfg_id, int opt_tag, ...) {
  if (!yws_cfg_id_ok(cfg_id)) return YWS_ERR_INVAL_PARM;
  if (yws_cfg_init(cfg_id) != YWS_OK) {
    YWS_TRACE("cfg_id: %d", cfg_id);
    return YWS_ERR_INVAL_PARM;
  }
  yws_glock_guard guard(YWS_GLOCK_PROFILE);
  if (yws_client_specific_id_is_busy(cfg_id)) return YWS_ERR_BUSY;
  YWS_TRACE("opt_tag: %d", opt_tag);

  va_list ap;
  va_start(ap, opt_tag);
  yws_err_e rc = set_one(yws_profile(cfg_id), cfg_id, opt_tag, ap);
  va_end(ap);
  return rc;
}

yws_err_e yv_ws_cfg_get_opt(uint8_t cfg_id, int opt_tag, ...) {
  if (!yws_cfg_id_ok(cfg_id)) return YWS_ERR_INVAL_PARM;
  if (yws_cfg_init(cfg_id) != YWS_OK) {
    YWS_TRACE("err cfg_id: %d", cfg_id);
    return YWS_ERR_INVAL_PARM;
  }
  const opt_desc_t *d = field_opt(opt_tag);
  if (!d) return YWS_ERR_INVAL_PARM;

  yws_cfg_t *cfg = yws_profile(cfg_id);
  yws_err_e rc = YWS_OK;
  yws_glock_guard guard(YWS_GLOCK_PROFILE);
  va_list ap;
  va_start(ap, opt_tag);
  if (d->kind == OPT_STR) {
    char **out = va_arg(ap, char **);
    if (out)
      *out = *field<char *>(cfg, *d);
    else
      rc = YWS_ERR_INVAL_PARM;
  } else {
    int *out = va_arg(ap, int *);
    if (out)
      *out = read_int_field(cfg, *d);
    else
      rc = YWS_ERR_INVAL_PARM;
  }
  va_end(ap);
  return rc;
}
