/* What the stub platform saw, for the consumer's checks. */
#ifndef STUB_PLATFORM_H
#define STUB_PLATFORM_H

extern int stub_tasks_asked;
extern char stub_last_task[32];
extern int stub_blocks_held;

#endif
