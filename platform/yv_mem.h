/*
 * Allocation points of the service. Records, strings and copies come from the
 * library allocator (lws_realloc); buffer chunks from the system heap. A port
 * provides all four; the service copes with NULL from either allocation. On a
 * host they are counted and can be made to fail (yv_mem_test.h).
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

#ifdef __cplusplus
}
#endif

#endif
