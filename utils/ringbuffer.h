/* Byte ring buffer. valid_size and total_size may be read directly. */
#ifndef RINGBUFFER_H
#define RINGBUFFER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  uint8_t *buffer;
  int32_t read_offset;
  int32_t write_offset;
  int32_t valid_size;
  int32_t total_size;
} ring_buffer_t;

/* Empty ring over storage from yv_mem_chunk_alloc; the ring owns it from now
 * on (ring_buffer_deinit releases it with yv_mem_chunk_free). */
int ring_buffer_init2(ring_buffer_t *ring, uint8_t *storage, int32_t size);
/* Empty ring with storage of its own (yv_mem_chunk_alloc); -1 when it
 * cannot be allocated. */
int ring_buffer_init(ring_buffer_t *ring, int32_t size);
/* Appends min(length, free space) bytes; returns the number written. */
int32_t ring_buffer_write(const void *data, int32_t length, ring_buffer_t *ring);
/* Removes min(length, valid_size) bytes from the front; returns the number read. */
int32_t ring_buffer_read(ring_buffer_t *ring, void *dst, int32_t length);
/* Removes min(length, valid_size) bytes from the front unread; returns the number removed. */
int32_t ring_buffer_drop(ring_buffer_t *ring, int32_t length);
/* Copies min(length, valid_size) bytes from the front without removing them. */
int32_t ring_buffer_peek(const ring_buffer_t *ring, void *dst, int32_t length);
void ring_buffer_deinit(ring_buffer_t *ring);

#ifdef __cplusplus
}
#endif

#endif
