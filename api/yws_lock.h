/* RAII holders for the service lock and the platform mutexes, and the
 * process-wide locks that exist before any service does. */
#ifndef YWS_LOCK_H
#define YWS_LOCK_H

#include "yv_websocket_inc.h"

/* Process-wide locks, never nested in one another except as noted. */
typedef enum {
  YWS_GLOCK_START = 0,   /* service creation, its queue and task, their end */
  YWS_GLOCK_PROFILE = 1, /* the profiles; taken before the service lock */
  YWS_GLOCK_HEADERS = 2, /* the header lists (a leaf) */
  YWS_GLOCK_CAUSE = 3,   /* close causes (a leaf) */
  YWS_GLOCK_MAX = 4
} yws_glock_e;

/* Made during static initialisation; a creation that failed then is tried
 * again here. 0 only while the platform cannot make a mutex at all. */
yv_mutex_t yws_glock(yws_glock_e which);

class yws_mutex_guard {
 public:
  explicit yws_mutex_guard(yv_mutex_t m) : m_(m) {
    if (m_) yv_rtos_mutex_lock(m_, YV_WAIT_FOREVER);
  }
  ~yws_mutex_guard() {
    if (m_) yv_rtos_mutex_unlock(m_);
  }
  yws_mutex_guard(const yws_mutex_guard &) = delete;
  yws_mutex_guard &operator=(const yws_mutex_guard &) = delete;

 private:
  yv_mutex_t m_;
};

class yws_glock_guard : public yws_mutex_guard {
 public:
  explicit yws_glock_guard(yws_glock_e which) : yws_mutex_guard(yws_glock(which)) {}
};

/* The service lock, if the service has one yet (no record exists before it). */
class yws_service_lock : public yws_mutex_guard {
 public:
  yws_service_lock() : yws_mutex_guard(service_t ? service_t->lock.load() : 0) {}
};

#endif
