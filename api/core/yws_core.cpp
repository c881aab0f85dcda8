/*
 * The service record, the client table, the process-wide locks, posting and
 * the record's status.
 */
#include <cstring>
#include <initializer_list>
#include <new>

#include "yws_core.h"

namespace {

/* Fields that tasks read without the service lock are atomic. */
typedef struct {
  std::atomic<yv_mutex_t> lock;
  bool initialized;
  std::atomic<yv_task_t> task;
  std::atomic<yv_queue_t> queue;
  int32_t sys_mode;
  /* The waits of reconnecting clients, made by their first use. */
  std::atomic<yv_sem_t> naps[YWS_CLIENT_NUM];
} ws_service_t;

/* Created by the first open, never released. */
std::atomic<ws_service_t *> g_service{nullptr};
std::atomic<yws_client_t *> g_clients[YWS_CLIENT_NUM] = {{nullptr}, {nullptr}, {nullptr}};
std::atomic<yv_mutex_t> g_glocks[YWS_GLOCK_MAX];

/* Makes them before main, where no test or caller can make a creation fail. */
struct yws_glocks_maker {
  yws_glocks_maker() {
    for (int i = 0; i < YWS_GLOCK_MAX; i++) (void)yws_glock(static_cast<yws_glock_e>(i));
  }
} g_glocks_maker;

}  // namespace

yv_mutex_t yws_glock(yws_glock_e which) {
  yv_mutex_t m = g_glocks[which].load();
  if (m) return m;
  yv_mutex_t made = 0;
  if (yv_rtos_mutex_create(&made) != YV_OSI_SUCCESS) return 0;
  if (!g_glocks[which].compare_exchange_strong(m, made)) {
    yv_rtos_mutex_delete(made); /* another thread was first */
    return m;
  }
  return made;
}

/* ---- the service record ----
 * Creation of the record, queue, task and lock, the deletion of the queue and
 * the task's decision to end are made under the start lock: two first opens
 * create one service, and an open right after a deinit never relies on a task
 * that is about to leave. */

int yws_core_start(int sys_mode, void (*task_entry)(void *)) {
  yws_glock_guard start(YWS_GLOCK_START);
  ws_service_t *svc = g_service.load();
  if (!svc) {
    void *mem = yv_mem_alloc(sizeof(ws_service_t));
    if (!mem) return YWS_ERR_NO_MEM;
    svc = new (mem) ws_service_t();
    svc->sys_mode = sys_mode;
    g_service = svc;
  }
  if (svc->queue.load() == 0) {
    yv_queue_t q = 0;
    YvOSStatus st = yv_rtos_queue_create(&q, sizeof(yv_event_t), YWS_QUEUE_ITEMS);
    if (st != YV_OSI_SUCCESS) {
      YWS_TRACE("failed!");
      return st;
    }
    svc->queue = q;
  }
  if (svc->task.load() == 0) {
    yv_task_t task = 0;
    YvOSStatus st =
        yv_rtos_task_create(&task, 8192, APP_PRIORITY_NORMAL, "wsclient", task_entry, nullptr, 5);
    if (st != YV_OSI_SUCCESS) {
      YWS_TRACE("failed");
      return st;
    }
    svc->task = task;
  }
  YWS_TRACE("ws_task_id=%ld", (long)svc->task.load());
  return 0;
}

bool yws_core_init(void) {
  yws_glock_guard start(YWS_GLOCK_START);
  ws_service_t *svc = g_service.load();
  if (!svc) return false;
  if (svc->initialized) return true;
  /* Without its lock the service must not run at all: the open fails and the
   * next one tries again. */
  yv_mutex_t lock = 0;
  if (yv_rtos_mutex_create(&lock) != YV_OSI_SUCCESS || !lock) {
    YWS_TRACE("lock failed");
    return false;
  }
  svc->lock = lock;
  svc->initialized = true;
  return true;
}

void yws_core_deinit(void) {
  yws_glock_guard start(YWS_GLOCK_START);
  ws_service_t *svc = g_service.load();
  if (!svc) return;
  yv_queue_t q = svc->queue.exchange(0);
  if (q) (void)yv_rtos_queue_delete(q);
  for (auto &nap : svc->naps)
    if (yv_sem_t sem = nap.load()) (void)yv_rtos_sem_give(sem);
}

bool yws_core_wait(yv_event_t *ev) {
  ws_service_t *svc = g_service.load();
  for (;;) {
    std::memset(ev, 0, sizeof(*ev));
    yv_queue_t q = svc->queue.load();
    if (yv_rtos_queue_wait(q, ev, sizeof(*ev), YV_WAIT_FOREVER) == YV_OSI_SUCCESS) return true;
    yws_glock_guard start(YWS_GLOCK_START);
    /* An open made a new queue after a deinit and counts on this task. */
    yv_queue_t now = svc->queue.load();
    if (now && now != q) continue;
    svc->task = 0;
    return false;
  }
}

bool yws_core_exists(void) {
  return g_service.load() != nullptr;
}

bool yws_core_running(void) {
  ws_service_t *svc = g_service.load();
  return svc && svc->queue.load() != 0;
}

namespace {

yv_sem_t yws_nap_sem(int client_id) {
  ws_service_t *svc = g_service.load();
  if (!svc || !yws_client_id_ok(client_id)) return 0;
  yv_sem_t sem = svc->naps[client_id].load();
  if (sem) return sem;
  yws_glock_guard start(YWS_GLOCK_START);
  sem = svc->naps[client_id].load();
  if (!sem && yv_rtos_sem_create(&sem, 0) == YV_OSI_SUCCESS) svc->naps[client_id] = sem;
  return svc->naps[client_id].load();
}

}  // namespace

bool yws_core_nap(int client_id, uint32_t ms) {
  yws_rank_wait(YWS_RANK_NAP);
  yv_sem_t sem = yws_nap_sem(client_id);
  /* Without a semaphore the wait is skipped: an early attempt, not a lost one. */
  bool cut = sem && ms && yv_rtos_sem_take(sem, ms) == YV_OSI_SUCCESS;
  return !cut && yws_core_running();
}

void yws_core_nap_reset(int client_id) {
  yv_sem_t sem = yws_nap_sem(client_id);
  while (sem && yv_rtos_sem_take(sem, 0) == YV_OSI_SUCCESS) {
  }
}

void yws_core_nap_cut(int client_id) {
  if (yv_sem_t sem = yws_nap_sem(client_id)) (void)yv_rtos_sem_give(sem);
}

bool yws_buffered(void) {
  ws_service_t *svc = g_service.load();
  return svc && svc->sys_mode == YWS_SYS_MODE_BUFFERED;
}

yv_task_t yws_core_task(void) {
  ws_service_t *svc = g_service.load();
  return svc ? svc->task.load() : 0;
}

yv_mutex_t yws_service_mutex(void) {
  ws_service_t *svc = g_service.load();
  return svc ? svc->lock.load() : 0;
}

/* ---- posting ---- */

int yv_ws_task_send_message(yv_event_t *p_msg) {
  if (!p_msg) return 0;
  ws_service_t *svc = g_service.load();
  if (!svc) return 0;
  /* Any poster but the service task itself may wait for room. */
  if (yv_rtos_task_self() != svc->task.load()) yws_rank_wait(YWS_RANK_QUEUE);
  (void)yv_rtos_queue_release(svc->queue.load(), sizeof(yv_event_t), p_msg, YV_WAIT_FOREVER);
  return 0;
}

void yws_post(uint32_t id, uint32_t p1, uint32_t p2, uint32_t p3) {
  yv_event_t ev = {id, p1, p2, p3};
  yv_ws_task_send_message(&ev);
}

void yv_ws_mem_free(void *p) {
  yv_mem_free(p);
}

/* ---- the client table ---- */

yws_client_t *yws_rec(int client_id) {
  return yws_client_id_ok(client_id) ? g_clients[client_id].load() : nullptr;
}

yws_client_t *yws_rec_tagged(uint32_t tag) {
  yws_client_t *rec = yws_rec(yws_tag_client(tag));
  return rec && rec->serial == yws_tag_serial(tag) ? rec : nullptr;
}

bool yws_slot_fill(int client_id, yws_client_t *rec) {
  if (!yws_client_id_ok(client_id) || g_clients[client_id].load()) return false;
  g_clients[client_id] = rec;
  return true;
}

void yws_slot_clear(int client_id) {
  if (yws_client_id_ok(client_id)) g_clients[client_id] = nullptr;
}

bool yws_client_specific_id_is_occupied(uint8_t client_id) {
  return !yws_client_id_ok(client_id) || yws_rec(client_id);
}

bool yws_client_specific_id_is_busy(int cfg_id) {
  yws_service_lock lk;
  for (int i = 0; i < YWS_CLIENT_NUM; i++) {
    yws_client_t *rec = yws_rec(i);
    if (rec && rec->cfg_id == cfg_id && yws_state(rec) != YWS_CONN_STA_IDLE) return true;
  }
  return false;
}

/* ---- the record's core ---- */

namespace {

std::atomic<uint32_t> g_serial{0};

uint32_t yws_next_serial(void) {
  uint32_t s;
  do {
    s = (g_serial.fetch_add(1) + 1) & 0xFFFFFF;
  } while (s == 0);
  return s;
}

}  // namespace

yws_client_t *yws_rec_new(uint8_t cfg_id) {
  /* Zero-filled: a mutex a failure below meets is either made or 0. */
  auto *rec = static_cast<yws_client_t *>(yv_mem_alloc(sizeof(yws_client_t)));
  if (!rec) return nullptr;
  /* A record whose status guards could not be made is not used at all:
   * they would do nothing. */
  for (yv_mutex_t *m : {&rec->status.conn.mutex, &rec->status.write.mutex}) {
    if (yv_rtos_mutex_create(m) != YV_OSI_SUCCESS || !*m) {
      *m = 0;
      YWS_TRACE("mutex failed");
      yws_rec_free(rec);
      return nullptr;
    }
  }
  rec->cfg_id = cfg_id;
  rec->serial = yws_next_serial();
  rec->status.conn.cur_sta = YWS_CONN_STA_CONNECTING;
  rec->status.write.curr_is_writable = true;
  return rec;
}

void yws_rec_free(yws_client_t *rec) {
  for (yv_mutex_t m : {rec->status.conn.mutex, rec->status.write.mutex})
    if (m) yv_rtos_mutex_delete(m);
  std::memset(rec, 0, sizeof(*rec));
  yv_mem_free(rec);
}

void yws_rec_regenerate(yws_client_t *rec) {
  rec->serial = yws_next_serial();
}

/* ---- record status ---- */

int yws_state(yws_client_t *rec) {
  return yws_status_read(rec, YWS_STATUS_STATE);
}

int yws_status_read(yws_client_t *rec, yws_status_e which) {
  yws_mutex_guard lk(rec->status.conn.mutex, YWS_RANK_STATUS);
  switch (which) {
    case YWS_STATUS_ERR:
      return rec->status.conn.err_code;
    case YWS_STATUS_TYPE:
      return rec->status.conn.type;
    default:
      return rec->status.conn.cur_sta;
  }
}

void yws_status_set(yws_client_t *rec, uint8_t state, uint32_t err, uint32_t type) {
  yws_mutex_guard lk(rec->status.conn.mutex, YWS_RANK_STATUS);
  rec->status.conn.err_code = static_cast<int8_t>(err & 0xFF);
  rec->status.conn.cur_sta = state;
  rec->status.conn.type = static_cast<int32_t>(type);
}

void yws_writable_set(yws_client_t *rec, bool writable) {
  yws_mutex_guard lk(rec->status.write.mutex, YWS_RANK_STATUS);
  rec->status.write.curr_is_writable = writable;
}

bool yws_writable(yws_client_t *rec) {
  yws_mutex_guard lk(rec->status.write.mutex, YWS_RANK_STATUS);
  return rec->status.write.curr_is_writable;
}

/* ---- small helpers ---- */

char *yws_str_copy(const char *s, size_t n) {
  char *copy = static_cast<char *>(yv_mem_alloc(n + 1));
  if (copy) std::memcpy(copy, s, n); /* the block is zero-filled */
  return copy;
}

void yws_timer_remove(yv_timer_t *timer) {
  if (!*timer) return;
  if (yv_rtos_timer_is_running(*timer)) yv_rtos_timer_stop(*timer);
  yv_rtos_timer_delete(*timer);
  *timer = 0;
}
