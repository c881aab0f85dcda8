/*
 * Operating-system layer the service runs on: tasks, one message queue kind,
 * mutexes, one-shot timers, sleep and trace.
 *
 * On the module this maps onto the RTOS; on a host it runs on std::thread.
 * What the service relies on is stated at each call: a port must keep it.
 *
 * - Handles are opaque, pointer-sized; 0 means "none".
 * - Every call returns YV_OSI_SUCCESS (0) or one of the distinct negative
 *   failure statuses below; the service passes statuses on, never decodes them.
 * - All calls are safe from any thread: service task, library threads, timer
 *   callbacks, data-call callbacks.
 *
 * What a port provides: every function below, nothing else from the OS. The
 * service keeps no threads, locks, clocks or allocations of its own beyond
 * these and yv_mem.h. It creates a few process-wide mutexes during static
 * initialisation (before main or the first task), so yv_rtos_mutex_create
 * must work then. The queue rule "the consumer's own posts never block" maps
 * onto a fixed-size RTOS queue like this: the service task posts to itself
 * a bounded number of follow-up events per event it handles (the callback
 * events one of its library calls staged, at most 16, and a few of its own),
 * so a port either sizes the queue with that much headroom and reserves it
 * for the consumer (other posters block while fewer slots than that are
 * free), or keeps an overflow list of that size that only the consumer
 * appends to; either way wait returns the items in posting order.
 */
#ifndef YV_RTOS_H
#define YV_RTOS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uintptr_t yv_task_t;
typedef uintptr_t yv_mutex_t;
typedef uintptr_t yv_queue_t;
typedef uintptr_t yv_timer_t;
typedef uintptr_t yv_sem_t;
typedef int32_t YvOSStatus;

#define YV_WAIT_FOREVER 0xFFFFFFFFu
#define APP_PRIORITY_NORMAL 12

#define YV_OSI_SUCCESS 0
#define YV_OSI_TASK_CREATE_FAIL (-0x7F000001)
#define YV_OSI_QUEUE_CREATE_FAIL (-0x7F000002)
#define YV_OSI_QUEUE_DELETED (-0x7F000003)
#define YV_OSI_QUEUE_TIMEOUT (-0x7F000004)
#define YV_OSI_MUTEX_CREATE_FAIL (-0x7F000005)
#define YV_OSI_TIMER_CREATE_FAIL (-0x7F000006)
#define YV_OSI_INVALID_PARAM (-0x7F000007)
#define YV_OSI_INVALID_HANDLE (-0x7F000008)

typedef void (*yv_task_entry_t)(void *arg);
typedef void (*yv_timer_cb_t)(void *argv);

/* ---- tasks ---- */
/* On success *task is set and entry(arg) runs concurrently with the caller,
 * on a thread named after `name` (visible in a debugger and /proc). On
 * failure *task is 0. Stack size, priority and event count are advisory on a
 * host. */
YvOSStatus yv_rtos_task_create(yv_task_t *task, uint32_t stack_size, uint8_t priority,
                               const char *name, yv_task_entry_t entry, void *arg,
                               uint32_t event_count);
/* With 0 ends the calling task (created by yv_rtos_task_create) and does not
 * return; nothing unwinds, no destructor of the task's frames runs, as on an
 * RTOS: the caller releases what it holds first. Other handles are not
 * supported. */
#ifdef __cplusplus
[[noreturn]]
#endif
void yv_rtos_task_delete(yv_task_t task);
/* Blocks the caller for whole seconds. */
void yv_rtos_task_sleep_s(uint32_t seconds);
/* The calling thread's handle: non-zero, the same for every call from one
 * thread and distinct between live threads; threads the platform did not
 * create (a caller's own) have one too. Never blocks. */
yv_task_t yv_rtos_task_self(void);
/* A block of YV_TASK_LOCAL_SIZE bytes private to the calling task: zero when
 * the task first asks, kept for as long as the task lives, never shared.
 * Threads the platform did not create have one too. Never blocks, never
 * allocates (a port reserves it with the task). The service keeps the locks
 * a task holds there while its lock-order check is on. */
#define YV_TASK_LOCAL_SIZE 64
void *yv_rtos_task_local(void);
/* The calling task's name, NUL ended and cut to size ("?" when unknown). */
void yv_rtos_task_name(char *buf, uint32_t size);
/* Writes text where a crash report goes and ends the program: a broken
 * invariant that must stop the module (a lock taken out of order). */
#ifdef __cplusplus
[[noreturn]]
#endif
void yv_rtos_panic(const char *text);

/* ---- queue ----
 * Fixed item size and capacity. Posting blocks while the queue is full,
 * except a post from the queue's own consumer (the task that waits on it),
 * which never blocks so that a task can post follow-up events to itself; the
 * order of items is always the order of posting. Deleting a queue wakes a
 * task blocked in wait (and posters) with YV_OSI_QUEUE_DELETED; a deleted or
 * unknown handle is refused the same way. */
YvOSStatus yv_rtos_queue_create(yv_queue_t *queue, uint32_t item_size, uint32_t item_count);
YvOSStatus yv_rtos_queue_release(yv_queue_t queue, uint32_t size, const void *item,
                                 uint32_t timeout);
YvOSStatus yv_rtos_queue_wait(yv_queue_t queue, void *item, uint32_t size, uint32_t timeout);
YvOSStatus yv_rtos_queue_delete(yv_queue_t queue);

/* ---- mutexes (not recursive) ----
 * The service relies on: lock with YV_WAIT_FOREVER on a valid handle always
 * succeeds; a lock with a timeout returns YV_OSI_QUEUE_TIMEOUT when it runs
 * out; locking and unlocking never allocate and are safe from any thread,
 * inside a library callback too (the data path's transmit and stage locks
 * are taken there, briefly, with nothing else held while waiting); the
 * thread that locked unlocks; delete only when no thread holds or waits
 * (the thread that got the lock from an unlock may delete it: unlock's last
 * touch comes first). */
YvOSStatus yv_rtos_mutex_create(yv_mutex_t *mutex);
YvOSStatus yv_rtos_mutex_lock(yv_mutex_t mutex, uint32_t timeout);
YvOSStatus yv_rtos_mutex_unlock(yv_mutex_t mutex);
YvOSStatus yv_rtos_mutex_delete(yv_mutex_t mutex);

/* ---- counting semaphores ----
 * take waits until the count is above zero and lowers it; it returns
 * YV_OSI_QUEUE_TIMEOUT when the timeout (ms, 0 = do not wait,
 * YV_WAIT_FOREVER) runs out first. give raises the count and wakes one
 * waiter; it never blocks and never allocates, from any thread. The last
 * touch of the semaphore by give happens before a woken waiter returns, so
 * that waiter may delete it at once. create gives an initial count; delete
 * only when no thread waits. A 0 or deleted handle is refused with
 * YV_OSI_INVALID_HANDLE. The service uses them as wake-ups: each give
 * matches one waiter it counted under its own mutex. */
YvOSStatus yv_rtos_sem_create(yv_sem_t *sem, uint32_t initial);
YvOSStatus yv_rtos_sem_take(yv_sem_t sem, uint32_t timeout);
YvOSStatus yv_rtos_sem_give(yv_sem_t sem);
YvOSStatus yv_rtos_sem_delete(yv_sem_t sem);

/* ---- monotonic clock ----
 * Milliseconds since an arbitrary start, never going back, unaffected by
 * changes of the wall clock; from any thread, never blocks. */
uint64_t yv_rtos_uptime_ms(void);

/* ---- entropy ----
 * 32 random bits that differ between modules and between calls (a hardware
 * source, or one seeded from one): reconnect delays are drawn from it so
 * that a fleet does not retry in step. From any thread, never blocks. */
uint32_t yv_rtos_random(void);

/* ---- one-shot timers ----
 * Callbacks run on the timer thread, never on the caller of start. stop and
 * delete never wait for a callback that is running at that moment (it may be
 * blocked posting to the caller's own queue); such a callback completes with
 * the argument it was given. A timer reads as not running once its callback
 * has been started. `task` is ignored on a host. */
YvOSStatus yv_rtos_timer_create(yv_timer_t *timer, uint32_t task, yv_timer_cb_t cb, void *argv);
YvOSStatus yv_rtos_timer_start(yv_timer_t timer, uint32_t period_ms, uint8_t cyclic);
int yv_rtos_timer_is_running(yv_timer_t timer);
YvOSStatus yv_rtos_timer_stop(yv_timer_t timer);
YvOSStatus yv_rtos_timer_delete(yv_timer_t timer);

/* ---- trace ----
 * One line per call, to wherever the port keeps its log; yv_trace_enabled
 * lets the service skip formatting when trace is off. Trace never changes
 * behaviour. On a host it is off by default; YWS_TRACE=1 in the environment
 * sends lines to stderr, and yv_rtos_test.h installs a sink instead. */
#define YV_TRACE_TAG 0x3A75EBD1u
void osiTracePrintf(uint32_t tag, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
int yv_trace_enabled(void);

#ifdef __cplusplus
}
#endif

#endif
