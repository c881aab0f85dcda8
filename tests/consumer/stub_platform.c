/*
 * The smallest platform the service links with: single-threaded, no tasks
 * (creating one fails), queues and mutexes that only hand out handles, timers
 * that never fire, no data call, no TLS contexts, allocation from the C heap.
 * Enough to show that a port supplies every function the service needs and
 * nothing else.
 */
#include "stub_platform.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "yv_datacall.h"
#include "yv_mem.h"
#include "yv_net.h"
#include "yv_rtos.h"
#include "yv_ssl_store.h"

int stub_tasks_asked;
char stub_last_task[32];
int stub_blocks_held;

static uintptr_t g_next_handle = 1;

/* ---- tasks ---- */
YvOSStatus yv_rtos_task_create(yv_task_t *task, uint32_t stack_size, uint8_t priority,
                               const char *name, yv_task_entry_t entry, void *arg,
                               uint32_t event_count) {
  (void)stack_size, (void)priority, (void)entry, (void)arg, (void)event_count;
  stub_tasks_asked++;
  strncpy(stub_last_task, name ? name : "", sizeof stub_last_task - 1);
  if (task) *task = 0;
  return YV_OSI_TASK_CREATE_FAIL;
}
void yv_rtos_task_delete(yv_task_t task) {
  (void)task;
  abort(); /* no task of ours ever runs */
}
void yv_rtos_task_sleep_s(uint32_t seconds) {
  (void)seconds;
}

/* ---- queues, mutexes, timers: handles only ---- */
static YvOSStatus new_handle(uintptr_t *h) {
  if (!h) return YV_OSI_INVALID_PARAM;
  *h = g_next_handle++;
  return YV_OSI_SUCCESS;
}
YvOSStatus yv_rtos_queue_create(yv_queue_t *queue, uint32_t item_size, uint32_t item_count) {
  (void)item_size, (void)item_count;
  return new_handle(queue);
}
YvOSStatus yv_rtos_queue_release(yv_queue_t queue, uint32_t size, const void *item,
                                 uint32_t timeout) {
  (void)queue, (void)size, (void)item, (void)timeout;
  return YV_OSI_QUEUE_DELETED;
}
YvOSStatus yv_rtos_queue_wait(yv_queue_t queue, void *item, uint32_t size, uint32_t timeout) {
  (void)queue, (void)item, (void)size, (void)timeout;
  return YV_OSI_QUEUE_DELETED;
}
YvOSStatus yv_rtos_queue_delete(yv_queue_t queue) {
  (void)queue;
  return YV_OSI_SUCCESS;
}
YvOSStatus yv_rtos_mutex_create(yv_mutex_t *mutex) {
  return new_handle(mutex);
}
YvOSStatus yv_rtos_mutex_lock(yv_mutex_t mutex, uint32_t timeout) {
  (void)mutex, (void)timeout;
  return YV_OSI_SUCCESS;
}
YvOSStatus yv_rtos_mutex_unlock(yv_mutex_t mutex) {
  (void)mutex;
  return YV_OSI_SUCCESS;
}
YvOSStatus yv_rtos_mutex_delete(yv_mutex_t mutex) {
  (void)mutex;
  return YV_OSI_SUCCESS;
}
yv_task_t yv_rtos_task_self(void) {
  return 1; /* one thread */
}
void *yv_rtos_task_local(void) {
  static unsigned char block[YV_TASK_LOCAL_SIZE]; /* one thread */
  return block;
}
void yv_rtos_task_name(char *buf, uint32_t size) {
  if (buf && size) {
    strncpy(buf, "main", size - 1);
    buf[size - 1] = '\0';
  }
}
void yv_rtos_panic(const char *text) {
  (void)text;
  abort();
}
YvOSStatus yv_rtos_sem_create(yv_sem_t *sem, uint32_t initial) {
  (void)initial;
  return new_handle(sem);
}
YvOSStatus yv_rtos_sem_take(yv_sem_t sem, uint32_t timeout) {
  (void)sem, (void)timeout;
  return YV_OSI_QUEUE_TIMEOUT; /* nothing else runs to give it */
}
YvOSStatus yv_rtos_sem_give(yv_sem_t sem) {
  (void)sem;
  return YV_OSI_SUCCESS;
}
YvOSStatus yv_rtos_sem_delete(yv_sem_t sem) {
  (void)sem;
  return YV_OSI_SUCCESS;
}
uint64_t yv_rtos_uptime_ms(void) {
  return 0;
}
uint32_t yv_rtos_random(void) {
  return 4; /* a stub: the consumer test only links */
}
YvOSStatus yv_rtos_timer_create(yv_timer_t *timer, uint32_t task, yv_timer_cb_t cb, void *argv) {
  (void)task, (void)cb, (void)argv;
  return new_handle(timer);
}
YvOSStatus yv_rtos_timer_start(yv_timer_t timer, uint32_t period_ms, uint8_t cyclic) {
  (void)timer, (void)period_ms, (void)cyclic;
  return YV_OSI_SUCCESS;
}
int yv_rtos_timer_is_running(yv_timer_t timer) {
  (void)timer;
  return 0;
}
YvOSStatus yv_rtos_timer_stop(yv_timer_t timer) {
  (void)timer;
  return YV_OSI_SUCCESS;
}
YvOSStatus yv_rtos_timer_delete(yv_timer_t timer) {
  (void)timer;
  return YV_OSI_SUCCESS;
}

/* ---- trace: off ---- */
void osiTracePrintf(uint32_t tag, const char *format, ...) {
  (void)tag, (void)format;
}
int yv_trace_enabled(void) {
  return 0;
}

/* ---- data call: never registered ---- */
int yv_network_register_wait(uint8_t sim, uint32_t timeout) {
  (void)sim, (void)timeout;
  return -1;
}
int yavo_get_datacall_status(uint8_t sim, int cid) {
  (void)sim, (void)cid;
  return YV_DATACALL_IDLE;
}
uint32_t yv_datacall_pdp_active(uint8_t sim, int cid, YVW_DATACALL_RESPONSE_CB cb, void *task_ref) {
  (void)sim, (void)cid, (void)cb, (void)task_ref;
  return 1;
}
int yv_bind_sim_and_profile(uint8_t sim, int cid, uint16_t *word) {
  (void)sim, (void)cid, (void)word;
  return -1;
}
int yv_get_data_call_info(uint8_t sim, int cid, yv_data_call_info_s *info) {
  (void)sim, (void)cid, (void)info;
  return -1;
}
const char *lwip_inet_ntop(int af, const void *src, char *dst, uint32_t size) {
  (void)af, (void)src, (void)dst, (void)size;
  return NULL;
}

/* ---- IP stack: no addresses, no sockets ---- */
int lwip_inet_pton(int af, const char *src, void *dst) {
  (void)af, (void)src, (void)dst;
  return 0;
}
int yv_net_resolve(const char *host, char *addr, size_t addr_size, uint32_t timeout_ms) {
  (void)host, (void)addr, (void)addr_size, (void)timeout_ms;
  return -1;
}
int yv_socket_peer_open(int fd) {
  (void)fd;
  return 0;
}
int yv_socket_reset(int fd) {
  (void)fd;
  return -1;
}
int yv_socket_readable(int fd) {
  (void)fd;
  return 0;
}
int64_t yv_socket_quiet_ms(int fd) {
  (void)fd;
  return -1;
}
int yv_socket_bytes(int fd, uint64_t *sent, uint64_t *received) {
  (void)fd;
  (void)sent;
  (void)received;
  return -1;
}

/* ---- TLS store: no contexts ---- */
yv_ssl_config *yavo_ssl_cfg_get_by_id(int ssl_ctx_id) {
  (void)ssl_ctx_id;
  return NULL;
}
int yavo_ssl_cfg_get_level(int ssl_ctx_id) {
  return ssl_ctx_id >= 0 && ssl_ctx_id < YV_SSL_CTX_NUM ? 0 : -1;
}

/* ---- allocation: the C heap ---- */
void *yv_mem_alloc(size_t size) {
  void *p = calloc(1, size ? size : 1);
  if (p) stub_blocks_held++;
  return p;
}
void yv_mem_free(void *p) {
  if (p) stub_blocks_held--;
  free(p);
}
void *yv_mem_chunk_alloc(size_t size) {
  return yv_mem_alloc(size);
}
void yv_mem_chunk_free(void *p) {
  yv_mem_free(p);
}
