/* TLS context store: owned copies of the configured paths. */
#include "yv_ssl_store_ctl.h"

#include <mutex>
#include <string>

namespace {

struct Entry {
  bool configured = false;
  int level = 0;
  std::string ca, cert, key;
  yv_ssl_config cfg = {};
};

struct Store {
  std::mutex mu;
  Entry entries[YV_SSL_CTX_NUM];
};

Store &store() {
  static Store *s = new Store;
  return *s;
}

bool valid_id(int id) {
  return id >= 0 && id < YV_SSL_CTX_NUM;
}

const char *keep(std::string &dst, const char *src) {
  if (!src) {
    dst.clear();
    return nullptr;
  }
  dst = src;
  return dst.c_str();
}

}  // namespace

extern "C" {

yv_ssl_config *yavo_ssl_cfg_get_by_id(int ssl_ctx_id) {
  if (!valid_id(ssl_ctx_id)) return nullptr;
  Store &s = store();
  std::lock_guard<std::mutex> lk(s.mu);
  Entry &e = s.entries[ssl_ctx_id];
  return e.configured ? &e.cfg : nullptr;
}

int yavo_ssl_cfg_set(int ssl_ctx_id, const char *ca_path, const char *cert_path,
                     const char *key_path) {
  if (!valid_id(ssl_ctx_id)) return -1;
  Store &s = store();
  std::lock_guard<std::mutex> lk(s.mu);
  Entry &e = s.entries[ssl_ctx_id];
  e.cfg = yv_ssl_config{};
  e.cfg.ca_cert_path[0] = keep(e.ca, ca_path);
  e.cfg.own_cert_path = keep(e.cert, cert_path);
  e.cfg.own_key_path = keep(e.key, key_path);
  e.configured = true;
  e.level = ca_path ? 1 : 0;
  return 0;
}

int yavo_ssl_cfg_set_level(int ssl_ctx_id, int level) {
  if (!valid_id(ssl_ctx_id) || level < 0 || level > YV_SSL_LEVEL_MAX) return -1;
  Store &s = store();
  std::lock_guard<std::mutex> lk(s.mu);
  s.entries[ssl_ctx_id].level = level;
  return 0;
}

int yavo_ssl_cfg_get_level(int ssl_ctx_id) {
  if (!valid_id(ssl_ctx_id)) return -1;
  Store &s = store();
  std::lock_guard<std::mutex> lk(s.mu);
  return s.entries[ssl_ctx_id].level;
}

int yavo_ssl_cfg_clear(int ssl_ctx_id) {
  if (!valid_id(ssl_ctx_id)) return -1;
  Store &s = store();
  std::lock_guard<std::mutex> lk(s.mu);
  Entry &e = s.entries[ssl_ctx_id];
  e.configured = false;
  e.level = 0;
  e.cfg = yv_ssl_config{};
  e.ca.clear();
  e.cert.clear();
  e.key.clear();
  return 0;
}

}  // extern "C"
