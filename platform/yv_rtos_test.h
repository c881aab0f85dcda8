/* Controls of the host operating-system layer, for tests and host programs.
 * Not part of the platform a port provides. */
#ifndef YV_RTOS_TEST_H
#define YV_RTOS_TEST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  YV_RTOS_FAIL_TASK_CREATE = 0,
  YV_RTOS_FAIL_QUEUE_CREATE = 1,
  YV_RTOS_FAIL_MUTEX_CREATE = 2,
  YV_RTOS_FAIL_TIMER_CREATE = 3,
  YV_RTOS_FAIL_KIND_MAX = 4
} yv_rtos_fail_kind_e;

/* The next `count` creations of that kind fail (after `skip` succeed). */
void yv_rtos_test_fail_next(yv_rtos_fail_kind_e kind, uint32_t skip, uint32_t count);
/* Fail only task creations of this name ("wsclient", "wsservice"); NULL for all. */
void yv_rtos_test_fail_task_name(const char *name);
/* yv_rtos_task_sleep_s sleeps this many milliseconds per second asked (default 1000). */
void yv_rtos_test_set_sleep_ms_per_s(uint32_t ms);
/* Timers started from now on run this many milliseconds per second asked
 * (default 1000): a test sees a 60 s timer in 0.6 s at 10. */
void yv_rtos_test_set_timer_ms_per_s(uint32_t ms);
/* Stacks: the most any task of that name ("wsclient", "wsservice") used of
 * its painted stack so far, in bytes, live tasks included (their stacks are
 * read while they run: for reports, not for sanitizer builds); 0 for none
 * since the reset. */
uint32_t yv_rtos_test_stack_high_water(const char *name);
void yv_rtos_test_stack_reset(void);
/* The stack a task asking `asked` bytes gets on this host (its minimum). */
uint32_t yv_rtos_test_stack_given(uint32_t asked);
/* Seconds asked of yv_rtos_task_sleep_s so far. */
uint32_t yv_rtos_test_slept_seconds(void);
/* Tasks created by yv_rtos_task_create that have not ended yet. */
uint32_t yv_rtos_test_live_tasks(void);
/* Waits until at most `count` such tasks are alive; 0 on success, -1 on timeout. */
int yv_rtos_test_wait_live_tasks(uint32_t count, uint32_t timeout_ms);
/* Number of timers that exist (created, not deleted). */
uint32_t yv_rtos_test_live_timers(void);

/* Trace lines go to `sink` instead of stderr, whatever YWS_TRACE says; NULL
 * restores the default (environment-controlled stderr). */
typedef void (*yv_trace_sink_t)(const char *line, void *user);
void yv_trace_set_sink(yv_trace_sink_t sink, void *user);

#ifdef __cplusplus
}
#endif

#endif
