/* A task entry as a port's C code may be built: no exceptions, no unwind tables. It ends its
 * task two frames below the entry; nothing after the end may run. */
#include "yv_rtos.h"

void task_end_plain_entry(void *arg);

static __attribute__((noinline)) void plain_leaf(int *stage) {
  *stage = 1;
  yv_rtos_task_delete(0);
}

static __attribute__((noinline)) void plain_middle(int *stage) {
  plain_leaf(stage);
  *stage = 2;
}

void task_end_plain_entry(void *arg) {
  plain_middle((int *)arg);
  *(int *)arg = 3;
}
