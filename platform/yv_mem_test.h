/* Test controls of the host allocation points. Not for production code. */
#ifndef YV_MEM_TEST_H
#define YV_MEM_TEST_H

#include <stddef.h>

#include "yv_mem.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Consulted before every allocation of yv_mem.h and, once the counting
 * allocator is installed, every allocation the library makes; returning
 * non-zero makes that allocation fail. */
typedef int (*yv_mem_fail_hook_t)(size_t size, const char *reason, void *user);
void yv_mem_set_fail_hook(yv_mem_fail_hook_t hook, void *user);
/* Routes the library's allocator through the hook and the counters; idempotent.
 * The service never installs it: a test or benchmark that counts or fails the
 * library's blocks does, before the library allocates anything. */
void yv_mem_install_lws_allocator(void);
/* Bytes currently held through these points (library blocks included once the
 * allocator is installed), and the high-water mark since the last reset. */
size_t yv_mem_bytes_in_use(void);
size_t yv_mem_peak_bytes(void);
void yv_mem_reset_peak(void);

#ifdef __cplusplus
}
#endif

#endif
