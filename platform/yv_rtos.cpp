/* Host operating-system layer on std::thread (tasks on POSIX threads, for
 * their stacks). */
#include "yv_rtos.h"
#include "yv_rtos_test.h"

#include <pthread.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

/* Never destroyed: detached threads may still touch it while the process exits. */
template <class T>
T &leaked() {
  static T *p = new T;
  return *p;
}

Clock::time_point deadline_after(uint32_t ms) {
  return Clock::now() + std::chrono::milliseconds(ms);
}

/* Waits for pred; false on timeout. */
template <class Pred>
bool wait_for_ms(std::condition_variable &cv, std::unique_lock<std::mutex> &lk, uint32_t timeout,
                 Pred pred) {
  if (timeout == YV_WAIT_FOREVER) {
    cv.wait(lk, pred);
    return true;
  }
  return cv.wait_until(lk, deadline_after(timeout), pred);
}

/* ---- failure injection ---- */

struct FailState {
  std::mutex mu;
  uint32_t skip[YV_RTOS_FAIL_KIND_MAX] = {};
  uint32_t count[YV_RTOS_FAIL_KIND_MAX] = {};
  bool only_name = false;
  std::string name;
};

bool inject_failure(yv_rtos_fail_kind_e kind, const char *task_name = nullptr) {
  FailState &f = leaked<FailState>();
  std::lock_guard<std::mutex> lk(f.mu);
  if (f.count[kind] == 0) return false;
  /* Creations of other tasks neither fail nor use up the skip count. */
  if (kind == YV_RTOS_FAIL_TASK_CREATE && f.only_name && (!task_name || f.name != task_name))
    return false;
  if (f.skip[kind] > 0) {
    f.skip[kind]--;
    return false;
  }
  f.count[kind]--;
  return true;
}

std::atomic<uint32_t> g_sleep_ms_per_s{1000};
std::atomic<uint32_t> g_timer_ms_per_s{1000};
std::atomic<uint32_t> g_sleep_seconds{0};

/* ---- tasks ---- */

/* Each task runs on a stack of its own, painted so that its high-water mark
 * can be read when it ends. The host raises a task's stack to its minimum:
 * glibc keeps the thread's descriptor and static TLS inside it, and the
 * sanitizers' frames are several times larger. A guard page below catches an
 * overflow. */
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kStackMin = size_t(8) << 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kStackMin = size_t(8) << 20;
#else
constexpr size_t kStackMin = size_t(256) << 10;
#endif
#else
constexpr size_t kStackMin = size_t(256) << 10;
#endif
constexpr uint8_t kPaint = 0xA5;

struct Stack {
  uint8_t *map = nullptr; /* guard page first */
  size_t map_size = 0;
  uint8_t *low = nullptr; /* lowest usable byte */
  size_t size = 0;
};

/* Stacks of ended tasks are unmapped once their thread has been joined, by
 * the next task creation; high-water marks of ended tasks by name. */
struct Stacks {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::pair<pthread_t, Stack>> ended;
  std::unordered_map<std::string, uint32_t> high;
  std::unordered_map<yv_task_t, std::pair<std::string, Stack>> live;
};

bool stack_map(size_t want, Stack *st) {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t size = (std::max(want, kStackMin) + page - 1) / page * page;
  void *m = mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return false;
  st->map = static_cast<uint8_t *>(m);
  st->map_size = size + page;
  mprotect(st->map, page, PROT_NONE);
  st->low = st->map + page;
  st->size = size;
  std::memset(st->low, kPaint, size);
  return true;
}

/* Bytes of the stack a task has touched: from the top down to the lowest
 * byte that lost its paint. */
uint32_t stack_used(const Stack &st) {
  size_t i = 0;
  while (i < st.size && st.low[i] == kPaint) i++;
  return static_cast<uint32_t>(st.size - i);
}

struct TaskStart {
  yv_task_entry_t entry;
  void *arg;
  std::string name;
  yv_task_t id;
  Stack stack;
};

struct LiveTasks {
  std::mutex mu;
  std::condition_variable cv;
  uint32_t n = 0;
};

thread_local yv_task_t t_self = 0;
/* Where yv_rtos_task_delete leaves the task's frames: set while its entry runs. */
thread_local jmp_buf *t_exit = nullptr;
std::atomic<uintptr_t> g_next_task{0x31000001};
/* Handles of threads the platform did not create: from another range. */
std::atomic<uintptr_t> g_next_foreign{0x39000001};
thread_local yv_task_t t_foreign = 0;

void task_ended() {
  LiveTasks &lt = leaked<LiveTasks>();
  {
    std::lock_guard<std::mutex> lk(lt.mu);
    lt.n--;
  }
  lt.cv.notify_all();
}

/* Joins each task's thread as soon as it ended and unmaps its stack; only
 * then does the task stop counting as live, so nothing of it is left when
 * a test sees no task. */
void reaper() {
  Stacks &s = leaked<Stacks>();
  std::unique_lock<std::mutex> lk(s.mu);
  for (;;) {
    s.cv.wait(lk, [&] { return !s.ended.empty(); });
    std::vector<std::pair<pthread_t, Stack>> done;
    done.swap(s.ended);
    lk.unlock();
    for (auto &e : done) {
      pthread_join(e.first, nullptr);
      munmap(e.second.map, e.second.map_size);
      task_ended();
    }
    lk.lock();
  }
}

/* A task ends by returning or by yv_rtos_task_delete, which jumps back here
 * without unwinding: the entry's frames are abandoned as an RTOS abandons
 * them, and code built without exceptions or unwind tables may lie between. */
void run_entry(yv_task_entry_t entry, void *arg) {
  jmp_buf exit_point;
  if (setjmp(exit_point) == 0) {
    t_exit = &exit_point;
    entry(arg);
  }
  t_exit = nullptr;
}

void task_trampoline(std::unique_ptr<TaskStart> st) {
  pthread_setname_np(pthread_self(), st->name.c_str());
  t_self = st->id;
  run_entry(st->entry, st->arg);
  {
    Stacks &s = leaked<Stacks>();
    uint32_t used = stack_used(st->stack);
    std::lock_guard<std::mutex> lk(s.mu);
    uint32_t &high = s.high[st->name];
    if (used > high) high = used;
    s.live.erase(st->id);
    s.ended.emplace_back(pthread_self(), st->stack);
  }
  leaked<Stacks>().cv.notify_one();
  st.reset();
}

void *task_thread(void *arg) {
  task_trampoline(std::unique_ptr<TaskStart>(static_cast<TaskStart *>(arg)));
  return nullptr;
}

/* ---- queues ---- */

struct Queue {
  Queue(uint32_t isz, uint32_t cap)
      : item_size(isz), capacity(cap), slots(cap), buf(size_t(isz) * cap) {}

  const uint32_t item_size;
  const uint32_t capacity;
  std::mutex mu;
  std::condition_variable readable;
  std::condition_variable writable;
  /* Ring of `slots` items; grows only when the consumer posts past capacity. */
  uint32_t slots;
  std::vector<uint8_t> buf;
  uint32_t head = 0;
  uint32_t count = 0;
  uint32_t readers_waiting = 0;
  uint32_t writers_waiting = 0;
  std::thread::id consumer;
  bool closed = false;

  void push(const void *item) {
    if (count == slots) grow();
    uint32_t tail = head + count;
    if (tail >= slots) tail -= slots;
    memcpy(&buf[size_t(tail) * item_size], item, item_size);
    count++;
  }

  void pop(void *item) {
    memcpy(item, &buf[size_t(head) * item_size], item_size);
    if (++head == slots) head = 0;
    count--;
  }

  void grow() {
    uint32_t nslots = slots * 2;
    std::vector<uint8_t> nb(size_t(nslots) * item_size);
    for (uint32_t i = 0; i < count; i++) {
      uint32_t from = (head + i) % slots;
      memcpy(&nb[size_t(i) * item_size], &buf[size_t(from) * item_size], item_size);
    }
    buf.swap(nb);
    slots = nslots;
    head = 0;
  }
};

struct QueueRegistry {
  std::shared_mutex mu;
  std::unordered_map<uintptr_t, std::shared_ptr<Queue>> map;
  uintptr_t next_id = 0x51000001;
};

std::shared_ptr<Queue> find_queue(yv_queue_t h) {
  QueueRegistry &r = leaked<QueueRegistry>();
  std::shared_lock<std::shared_mutex> lk(r.mu);
  auto it = r.map.find(h);
  return it == r.map.end() ? nullptr : it->second;
}

/* ---- mutexes ---- */

constexpr uint32_t kMutexMagic = 0x6D757478;

/* Built on mutex + condvar rather than std::timed_mutex: its timed lock uses
 * pthread_mutex_clocklock, which the thread sanitizer does not see. */
struct RtosMutex {
  uint32_t magic = kMutexMagic;
  std::mutex mu;
  std::condition_variable cv;
  bool locked = false;
  uint32_t waiters = 0;
};

RtosMutex *as_mutex(yv_mutex_t h) {
  auto *m = reinterpret_cast<RtosMutex *>(h);
  return (m && m->magic == kMutexMagic) ? m : nullptr;
}

/* ---- semaphores ---- */

constexpr uint32_t kSemMagic = 0x73656D61;

struct RtosSem {
  uint32_t magic = kSemMagic;
  std::mutex mu;
  std::condition_variable cv;
  uint32_t count = 0;
};

RtosSem *as_sem(yv_sem_t h) {
  auto *s = reinterpret_cast<RtosSem *>(h);
  return (s && s->magic == kSemMagic) ? s : nullptr;
}

/* ---- timers ---- */

struct Timer {
  yv_timer_cb_t cb;
  void *argv;
  bool armed = false;
  bool cyclic = false;
  uint32_t period_ms = 0;
  Clock::time_point deadline;
};

struct Timers {
  std::mutex mu;
  std::condition_variable cv;
  std::unordered_map<uintptr_t, Timer> map;
  std::set<std::pair<Clock::time_point, uintptr_t>> due;
  uintptr_t next_id = 0x71000001;
  bool thread_started = false;
};

void disarm(Timers &s, uintptr_t id, Timer &t) {
  if (t.armed) s.due.erase({t.deadline, id});
  t.armed = false;
}

void timer_thread() {
  pthread_setname_np(pthread_self(), "yv_timer");
  Timers &s = leaked<Timers>();
  std::unique_lock<std::mutex> lk(s.mu);
  for (;;) {
    if (s.due.empty()) {
      s.cv.wait(lk);
      continue;
    }
    /* Copies: the entry may be erased while we wait unlocked. */
    auto [when, id] = *s.due.begin();
    Clock::time_point now = Clock::now();
    if (when > now) {
      s.cv.wait_until(lk, when);
      continue;
    }
    s.due.erase(s.due.begin());
    Timer &t = s.map.at(id);
    if (t.cyclic) {
      Clock::time_point next = t.deadline + std::chrono::milliseconds(t.period_ms);
      /* After a long stall, do not fire a burst to catch up. */
      if (next <= now) next = now + std::chrono::milliseconds(t.period_ms);
      t.deadline = next;
      s.due.emplace(next, id);
    } else {
      t.armed = false;
    }
    yv_timer_cb_t cb = t.cb;
    void *argv = t.argv;
    /* Unlocked: the callback may block or call any timer function. */
    lk.unlock();
    cb(argv);
    lk.lock();
  }
}

}  // namespace

extern "C" {

/* ---- tasks ---- */

YvOSStatus yv_rtos_task_create(yv_task_t *task, uint32_t stack_size, uint8_t priority,
                               const char *name, yv_task_entry_t entry, void *arg,
                               uint32_t event_count) {
  (void)priority;
  (void)event_count;
  if (task) *task = 0;
  if (!task || !entry) return YV_OSI_INVALID_PARAM;
  if (inject_failure(YV_RTOS_FAIL_TASK_CREATE, name)) return YV_OSI_TASK_CREATE_FAIL;

  auto st = std::make_unique<TaskStart>();
  st->entry = entry;
  st->arg = arg;
  st->name = std::string(name ? name : "task").substr(0, 15);
  st->id = g_next_task.fetch_add(1);
  yv_task_t id = st->id;

  static std::once_flag reaper_started;
  std::call_once(reaper_started, [] {
    try {
      std::thread(reaper).detach();
    } catch (const std::exception &) {
      /* Without it ended tasks keep their stacks and count as live. */
    }
  });
  if (!stack_map(stack_size, &st->stack)) return YV_OSI_TASK_CREATE_FAIL;
  Stack stack = st->stack;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack.low, stack.size);
  LiveTasks &lt = leaked<LiveTasks>();
  {
    std::lock_guard<std::mutex> lk(lt.mu);
    lt.n++;
  }
  {
    Stacks &s = leaked<Stacks>();
    std::lock_guard<std::mutex> lk(s.mu);
    s.live[id] = {st->name, stack};
  }
  pthread_t thread;
  TaskStart *start = st.release();
  int rc = pthread_create(&thread, &attr, task_thread, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    {
      Stacks &s = leaked<Stacks>();
      std::lock_guard<std::mutex> lk(s.mu);
      s.live.erase(id);
    }
    delete start;
    munmap(stack.map, stack.map_size);
    task_ended();
    return YV_OSI_TASK_CREATE_FAIL;
  }
  *task = id;
  return YV_OSI_SUCCESS;
}

void yv_rtos_task_delete(yv_task_t task) {
  if (t_self == 0) {
    fprintf(stderr, "yv_rtos_task_delete: caller is not a task of yv_rtos_task_create\n");
    abort();
  }
  if (task != 0 && task != t_self) {
    fprintf(stderr, "yv_rtos_task_delete: only the calling task can be ended\n");
    abort();
  }
  longjmp(*t_exit, 1);
}

void yv_rtos_task_sleep_s(uint32_t seconds) {
  g_sleep_seconds.fetch_add(seconds, std::memory_order_relaxed);
  uint64_t ms = uint64_t(seconds) * g_sleep_ms_per_s.load(std::memory_order_relaxed);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

yv_task_t yv_rtos_task_self(void) {
  if (t_self) return t_self;
  if (!t_foreign) t_foreign = g_next_foreign.fetch_add(1);
  return t_foreign;
}

void *yv_rtos_task_local(void) {
  alignas(8) static thread_local unsigned char block[YV_TASK_LOCAL_SIZE];
  return block;
}

void yv_rtos_task_name(char *buf, uint32_t size) {
  if (!buf || size == 0) return;
  char name[16] = {0};
  if (pthread_getname_np(pthread_self(), name, sizeof(name)) != 0) std::strcpy(name, "?");
  std::snprintf(buf, size, "%s", name);
}

void yv_rtos_panic(const char *text) {
  std::fprintf(stderr, "%s\n", text ? text : "panic");
  std::fflush(stderr);
  std::abort();
}

/* ---- queue ---- */

YvOSStatus yv_rtos_queue_create(yv_queue_t *queue, uint32_t item_size, uint32_t item_count) {
  if (queue) *queue = 0;
  if (!queue || item_size == 0 || item_count == 0) return YV_OSI_INVALID_PARAM;
  if (inject_failure(YV_RTOS_FAIL_QUEUE_CREATE)) return YV_OSI_QUEUE_CREATE_FAIL;
  std::shared_ptr<Queue> q;
  try {
    q = std::make_shared<Queue>(item_size, item_count);
  } catch (const std::exception &) {
    return YV_OSI_QUEUE_CREATE_FAIL;
  }
  QueueRegistry &r = leaked<QueueRegistry>();
  std::unique_lock<std::shared_mutex> lk(r.mu);
  uintptr_t id = r.next_id++;
  r.map.emplace(id, std::move(q));
  *queue = id;
  return YV_OSI_SUCCESS;
}

YvOSStatus yv_rtos_queue_release(yv_queue_t queue, uint32_t size, const void *item,
                                 uint32_t timeout) {
  std::shared_ptr<Queue> q = find_queue(queue);
  if (!q) return YV_OSI_QUEUE_DELETED;
  if (!item || size != q->item_size) return YV_OSI_INVALID_PARAM;

  std::unique_lock<std::mutex> lk(q->mu);
  if (q->closed) return YV_OSI_QUEUE_DELETED;
  /* The consumer must never wait on itself, so its posts go past capacity. */
  if (q->count >= q->capacity && std::this_thread::get_id() != q->consumer) {
    if (timeout == 0) return YV_OSI_QUEUE_TIMEOUT;
    q->writers_waiting++;
    bool ok =
        wait_for_ms(q->writable, lk, timeout, [&] { return q->closed || q->count < q->capacity; });
    q->writers_waiting--;
    if (q->closed) return YV_OSI_QUEUE_DELETED;
    if (!ok) return YV_OSI_QUEUE_TIMEOUT;
  }
  q->push(item);
  bool wake = q->readers_waiting > 0;
  lk.unlock();
  if (wake) q->readable.notify_one();
  return YV_OSI_SUCCESS;
}

YvOSStatus yv_rtos_queue_wait(yv_queue_t queue, void *item, uint32_t size, uint32_t timeout) {
  std::shared_ptr<Queue> q = find_queue(queue);
  if (!q) return YV_OSI_QUEUE_DELETED;
  if (!item || size != q->item_size) return YV_OSI_INVALID_PARAM;

  std::unique_lock<std::mutex> lk(q->mu);
  q->consumer = std::this_thread::get_id();
  if (q->closed) return YV_OSI_QUEUE_DELETED;
  if (q->count == 0) {
    if (timeout == 0) return YV_OSI_QUEUE_TIMEOUT;
    q->readers_waiting++;
    bool ok = wait_for_ms(q->readable, lk, timeout, [&] { return q->closed || q->count > 0; });
    q->readers_waiting--;
    if (q->closed) return YV_OSI_QUEUE_DELETED;
    if (!ok) return YV_OSI_QUEUE_TIMEOUT;
  }
  q->pop(item);
  bool wake = q->writers_waiting > 0 && q->count < q->capacity;
  lk.unlock();
  if (wake) q->writable.notify_one();
  return YV_OSI_SUCCESS;
}

YvOSStatus yv_rtos_queue_delete(yv_queue_t queue) {
  std::shared_ptr<Queue> q;
  {
    QueueRegistry &r = leaked<QueueRegistry>();
    std::unique_lock<std::shared_mutex> lk(r.mu);
    auto it = r.map.find(queue);
    if (it == r.map.end()) return YV_OSI_QUEUE_DELETED;
    q = std::move(it->second);
    r.map.erase(it);
  }
  {
    std::lock_guard<std::mutex> lk(q->mu);
    q->closed = true;
  }
  q->readable.notify_all();
  q->writable.notify_all();
  return YV_OSI_SUCCESS;
}

/* ---- mutexes ---- */

YvOSStatus yv_rtos_mutex_create(yv_mutex_t *mutex) {
  if (mutex) *mutex = 0;
  if (!mutex) return YV_OSI_INVALID_PARAM;
  if (inject_failure(YV_RTOS_FAIL_MUTEX_CREATE)) return YV_OSI_MUTEX_CREATE_FAIL;
  auto *m = new (std::nothrow) RtosMutex;
  if (!m) return YV_OSI_MUTEX_CREATE_FAIL;
  *mutex = reinterpret_cast<yv_mutex_t>(m);
  return YV_OSI_SUCCESS;
}

YvOSStatus yv_rtos_mutex_lock(yv_mutex_t mutex, uint32_t timeout) {
  RtosMutex *m = as_mutex(mutex);
  if (!m) return YV_OSI_INVALID_HANDLE;
  std::unique_lock<std::mutex> lk(m->mu);
  if (m->locked) {
    if (timeout == 0) return YV_OSI_QUEUE_TIMEOUT;
    m->waiters++;
    bool ok = wait_for_ms(m->cv, lk, timeout, [&] { return !m->locked; });
    m->waiters--;
    if (!ok) return YV_OSI_QUEUE_TIMEOUT;
  }
  m->locked = true;
  return YV_OSI_SUCCESS;
}

YvOSStatus yv_rtos_mutex_unlock(yv_mutex_t mutex) {
  RtosMutex *m = as_mutex(mutex);
  if (!m) return YV_OSI_INVALID_HANDLE;
  std::lock_guard<std::mutex> lk(m->mu);
  if (!m->locked) return YV_OSI_INVALID_PARAM;
  m->locked = false;
  /* Notified under the lock: the next holder may delete the mutex. */
  if (m->waiters > 0) m->cv.notify_one();
  return YV_OSI_SUCCESS;
}

YvOSStatus yv_rtos_mutex_delete(yv_mutex_t mutex) {
  RtosMutex *m = as_mutex(mutex);
  if (!m) return YV_OSI_INVALID_HANDLE;
  m->magic = 0;
  delete m;
  return YV_OSI_SUCCESS;
}

/* ---- semaphores ---- */

YvOSStatus yv_rtos_sem_create(yv_sem_t *sem, uint32_t initial) {
  if (sem) *sem = 0;
  if (!sem) return YV_OSI_INVALID_PARAM;
  auto *s = new (std::nothrow) RtosSem;
  if (!s) return YV_OSI_MUTEX_CREATE_FAIL;
  s->count = initial;
  *sem = reinterpret_cast<yv_sem_t>(s);
  return YV_OSI_SUCCESS;
}

YvOSStatus yv_rtos_sem_take(yv_sem_t sem, uint32_t timeout) {
  RtosSem *s = as_sem(sem);
  if (!s) return YV_OSI_INVALID_HANDLE;
  std::unique_lock<std::mutex> lk(s->mu);
  if (!wait_for_ms(s->cv, lk, timeout, [s] { return s->count > 0; })) return YV_OSI_QUEUE_TIMEOUT;
  s->count--;
  return YV_OSI_SUCCESS;
}

YvOSStatus yv_rtos_sem_give(yv_sem_t sem) {
  RtosSem *s = as_sem(sem);
  if (!s) return YV_OSI_INVALID_HANDLE;
  /* Notified under the lock: the woken taker may delete the semaphore. */
  std::lock_guard<std::mutex> lk(s->mu);
  s->count++;
  s->cv.notify_one();
  return YV_OSI_SUCCESS;
}

YvOSStatus yv_rtos_sem_delete(yv_sem_t sem) {
  RtosSem *s = as_sem(sem);
  if (!s) return YV_OSI_INVALID_HANDLE;
  s->magic = 0;
  delete s;
  return YV_OSI_SUCCESS;
}

/* ---- clock ---- */

uint64_t yv_rtos_uptime_ms(void) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
}

uint32_t yv_rtos_random(void) {
  static std::mutex m;
  static std::random_device dev;
  std::lock_guard<std::mutex> lk(m);
  return dev();
}

/* ---- timers ---- */

YvOSStatus yv_rtos_timer_create(yv_timer_t *timer, uint32_t task, yv_timer_cb_t cb, void *argv) {
  (void)task;
  if (timer) *timer = 0;
  if (!timer || !cb) return YV_OSI_INVALID_PARAM;
  if (inject_failure(YV_RTOS_FAIL_TIMER_CREATE)) return YV_OSI_TIMER_CREATE_FAIL;
  Timers &s = leaked<Timers>();
  std::lock_guard<std::mutex> lk(s.mu);
  if (!s.thread_started) {
    try {
      std::thread(timer_thread).detach();
    } catch (const std::exception &) {
      return YV_OSI_TIMER_CREATE_FAIL;
    }
    s.thread_started = true;
  }
  uintptr_t id = s.next_id++;
  Timer t;
  t.cb = cb;
  t.argv = argv;
  s.map.emplace(id, t);
  *timer = id;
  return YV_OSI_SUCCESS;
}

YvOSStatus yv_rtos_timer_start(yv_timer_t timer, uint32_t period_ms, uint8_t cyclic) {
  if (cyclic && period_ms == 0) return YV_OSI_INVALID_PARAM;
  Timers &s = leaked<Timers>();
  std::lock_guard<std::mutex> lk(s.mu);
  auto it = s.map.find(timer);
  if (it == s.map.end()) return YV_OSI_INVALID_HANDLE;
  Timer &t = it->second;
  disarm(s, timer, t);
  t.armed = true;
  t.cyclic = cyclic != 0;
  t.period_ms = static_cast<uint32_t>(uint64_t(period_ms) *
                                      g_timer_ms_per_s.load(std::memory_order_relaxed) / 1000);
  if (t.period_ms == 0 && period_ms) t.period_ms = 1;
  t.deadline = deadline_after(t.period_ms);
  auto pos = s.due.emplace(t.deadline, timer).first;
  if (pos == s.due.begin()) s.cv.notify_one();
  return YV_OSI_SUCCESS;
}

int yv_rtos_timer_is_running(yv_timer_t timer) {
  Timers &s = leaked<Timers>();
  std::lock_guard<std::mutex> lk(s.mu);
  auto it = s.map.find(timer);
  return (it != s.map.end() && it->second.armed) ? 1 : 0;
}

YvOSStatus yv_rtos_timer_stop(yv_timer_t timer) {
  Timers &s = leaked<Timers>();
  std::lock_guard<std::mutex> lk(s.mu);
  auto it = s.map.find(timer);
  if (it == s.map.end()) return YV_OSI_INVALID_HANDLE;
  disarm(s, timer, it->second);
  return YV_OSI_SUCCESS;
}

YvOSStatus yv_rtos_timer_delete(yv_timer_t timer) {
  Timers &s = leaked<Timers>();
  std::lock_guard<std::mutex> lk(s.mu);
  auto it = s.map.find(timer);
  if (it == s.map.end()) return YV_OSI_INVALID_HANDLE;
  disarm(s, timer, it->second);
  s.map.erase(it);
  return YV_OSI_SUCCESS;
}

/* ---- test controls ---- */

void yv_rtos_test_fail_next(yv_rtos_fail_kind_e kind, uint32_t skip, uint32_t count) {
  if (kind < 0 || kind >= YV_RTOS_FAIL_KIND_MAX) return;
  FailState &f = leaked<FailState>();
  std::lock_guard<std::mutex> lk(f.mu);
  f.skip[kind] = skip;
  f.count[kind] = count;
}

void yv_rtos_test_fail_task_name(const char *name) {
  FailState &f = leaked<FailState>();
  std::lock_guard<std::mutex> lk(f.mu);
  f.only_name = name != nullptr;
  f.name = name ? name : "";
}

uint32_t yv_rtos_test_slept_seconds(void) {
  return g_sleep_seconds.load();
}

void yv_rtos_test_set_sleep_ms_per_s(uint32_t ms) {
  g_sleep_ms_per_s.store(ms);
}

uint32_t yv_rtos_test_stack_high_water(const char *name) {
  Stacks &s = leaked<Stacks>();
  std::string n = name ? name : "";
  std::lock_guard<std::mutex> lk(s.mu);
  auto it = s.high.find(n);
  uint32_t high = it == s.high.end() ? 0 : it->second;
  /* A live task's stack is read while it runs: a figure, not a fence. */
  for (const auto &t : s.live)
    if (t.second.first == n) high = std::max(high, stack_used(t.second.second));
  return high;
}

void yv_rtos_test_stack_reset(void) {
  Stacks &s = leaked<Stacks>();
  std::lock_guard<std::mutex> lk(s.mu);
  s.high.clear();
}

uint32_t yv_rtos_test_stack_given(uint32_t asked) {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return static_cast<uint32_t>((std::max<size_t>(asked, kStackMin) + page - 1) / page * page);
}

void yv_rtos_test_set_timer_ms_per_s(uint32_t ms) {
  g_timer_ms_per_s.store(ms);
}

uint32_t yv_rtos_test_live_tasks(void) {
  LiveTasks &lt = leaked<LiveTasks>();
  std::lock_guard<std::mutex> lk(lt.mu);
  return lt.n;
}

int yv_rtos_test_wait_live_tasks(uint32_t count, uint32_t timeout_ms) {
  LiveTasks &lt = leaked<LiveTasks>();
  std::unique_lock<std::mutex> lk(lt.mu);
  return wait_for_ms(lt.cv, lk, timeout_ms, [&] { return lt.n <= count; }) ? 0 : -1;
}

uint32_t yv_rtos_test_live_timers(void) {
  Timers &s = leaked<Timers>();
  std::lock_guard<std::mutex> lk(s.mu);
  return uint32_t(s.map.size());
}

}  // extern "C"
