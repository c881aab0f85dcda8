/*
 * Allocation points of the service. Records, strings and copies come from the
 * library allocator (lws_realloc); buffer chunks from the system heap. Both
 * pass through here so a test can count them and fail chosen ones.
 */
#ifndef YV_MEM_H
#define YV_MEM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Zero-filled block from the library allocator; NULL on failure. */
void *yv_mem_alloc(size_t size);
/* Releases a block of yv_mem_alloc or of the library; NULL is ignored. */
void yv_mem_free(void *p);
/* System-heap blocks for buffer chunks. */
void *yv_mem_chunk_alloc(size_t size);
void yv_mem_chunk_free(void *p);

/* Test hook: consulted before every allocation above and every allocation the
 * library makes; returning non-zero makes that allocation fail. */
typedef int (*yv_mem_fail_hook_t)(size_t size, const char *reason, void *user);
void yv_mem_set_fail_hook(yv_mem_fail_hook_t hook, void *user);
/* Routes the library's allocator through the hook and the counters; idempotent. */
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
