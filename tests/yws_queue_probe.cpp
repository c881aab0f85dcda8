/* Records by id every item posted to a platform queue and every item the
 * service task finishes handling, through the link's wrapping of the queue calls. */
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "yv_rtos.h"
#include "yws_test_util.h"

extern "C" {
YvOSStatus __real_yv_rtos_queue_wait(yv_queue_t queue, void *item, uint32_t size, uint32_t timeout);
YvOSStatus __real_yv_rtos_queue_release(yv_queue_t queue, uint32_t size, const void *item,
                                        uint32_t timeout);
YvOSStatus __wrap_yv_rtos_queue_wait(yv_queue_t queue, void *item, uint32_t size, uint32_t timeout);
YvOSStatus __wrap_yv_rtos_queue_release(yv_queue_t queue, uint32_t size, const void *item,
                                        uint32_t timeout);
}

namespace {

struct probe_t {
  std::mutex m;
  std::condition_variable cv;
  std::vector<uint32_t> posted;
  std::vector<uint32_t> handled;
  yv_queue_t consumed = 0;  // the queue the service task waits on
  size_t sleeps = 0;        // its waits that found it empty
};

probe_t &probe() {
  // Never destroyed: the service task outlives main().
  static probe_t *p = new probe_t;
  return *p;
}

/* The item a task took last: handled once the task waits again. */
thread_local bool t_holding = false;
thread_local uint32_t t_held = 0;

uint32_t item_id(const void *item, uint32_t size) {
  uint32_t id = 0;
  if (item && size >= sizeof(id)) std::memcpy(&id, item, sizeof(id));
  return id;
}

}  // namespace

YvOSStatus __wrap_yv_rtos_queue_wait(yv_queue_t queue, void *item, uint32_t size,
                                     uint32_t timeout) {
  probe_t &p = probe();
  if (t_holding) {
    {
      std::lock_guard<std::mutex> lk(p.m);
      p.handled.push_back(t_held);
    }
    p.cv.notify_all();
    t_holding = false;
  }
  {
    std::lock_guard<std::mutex> lk(p.m);
    p.consumed = queue;
  }
  p.cv.notify_all();
  /* A wait that finds an item costs the task no sleep; one that does not is
   * a wake-up to come. */
  YvOSStatus st = __real_yv_rtos_queue_wait(queue, item, size, 0);
  if (st == YV_OSI_QUEUE_TIMEOUT && timeout != 0) {
    {
      std::lock_guard<std::mutex> lk(p.m);
      p.sleeps++;
    }
    st = __real_yv_rtos_queue_wait(queue, item, size, timeout);
  }
  if (st == YV_OSI_SUCCESS) {
    t_held = item_id(item, size);
    t_holding = true;
  }
  return st;
}

YvOSStatus __wrap_yv_rtos_queue_release(yv_queue_t queue, uint32_t size, const void *item,
                                        uint32_t timeout) {
  YvOSStatus st = __real_yv_rtos_queue_release(queue, size, item, timeout);
  if (st == YV_OSI_SUCCESS) {
    probe_t &p = probe();
    {
      std::lock_guard<std::mutex> lk(p.m);
      p.posted.push_back(item_id(item, size));
    }
    p.cv.notify_all();
  }
  return st;
}

namespace ywst {
namespace queue_probe {

namespace {
size_t count_in(const std::vector<uint32_t> &v, uint32_t id) {
  size_t n = 0;
  for (uint32_t x : v) n += x == id ? 1 : 0;
  return n;
}
}  // namespace

void reset() {
  std::lock_guard<std::mutex> lk(probe().m);
  probe().posted.clear();
  probe().handled.clear();
  probe().sleeps = 0;
}

size_t sleeps() {
  std::lock_guard<std::mutex> lk(probe().m);
  return probe().sleeps;
}

size_t posted(uint32_t id) {
  std::lock_guard<std::mutex> lk(probe().m);
  return count_in(probe().posted, id);
}

std::vector<uint32_t> handled() {
  std::lock_guard<std::mutex> lk(probe().m);
  return probe().handled;
}

size_t handled_count(uint32_t id) {
  std::lock_guard<std::mutex> lk(probe().m);
  return count_in(probe().handled, id);
}

bool wait_posted(uint32_t id, size_t n, milliseconds t) {
  probe_t &p = probe();
  std::unique_lock<std::mutex> lk(p.m);
  return p.cv.wait_for(lk, t, [&] { return count_in(p.posted, id) >= n; });
}

bool wait_handled(uint32_t id, size_t n, milliseconds t) {
  probe_t &p = probe();
  std::unique_lock<std::mutex> lk(p.m);
  return p.cv.wait_for(lk, t, [&] { return count_in(p.handled, id) >= n; });
}

YvOSStatus post(uint32_t id, milliseconds t) {
  probe_t &p = probe();
  const uint32_t ev[4] = {id, 0, 0, 0};
  auto deadline = std::chrono::steady_clock::now() + t;
  for (;;) {
    yv_queue_t q;
    {
      std::lock_guard<std::mutex> lk(p.m);
      q = p.consumed;
    }
    YvOSStatus st = yv_rtos_queue_release(q, sizeof(ev), ev, static_cast<uint32_t>(t.count()));
    if (st != YV_OSI_QUEUE_DELETED && st != YV_OSI_INVALID_HANDLE) return st;
    // A restarted service has a new queue its task has not waited on yet.
    std::unique_lock<std::mutex> lk(p.m);
    if (!p.cv.wait_until(lk, deadline, [&] { return p.consumed != q; })) return st;
  }
}

}  // namespace queue_probe
}  // namespace ywst
