/* RAII holders for the service lock and the platform mutexes. */
#ifndef YWS_LOCK_H
#define YWS_LOCK_H

#include "yv_websocket_inc.h"

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

/* The service lock, if the service has one yet (no record exists before it). */
class yws_service_lock : public yws_mutex_guard {
 public:
  yws_service_lock()
      : yws_mutex_guard(service_t ? __atomic_load_n(&service_t->lock, __ATOMIC_ACQUIRE) : 0) {}
};

#endif
