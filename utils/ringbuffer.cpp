/* Byte ring buffer over chunk storage. */
#include "ringbuffer.h"

#include <cstring>

#include "yv_mem.h"

namespace {

int32_t min32(int32_t a, int32_t b) {
  return a < b ? a : b;
}

/* Copies n bytes starting at offset `from`, split in two at the end of storage. */
void copy_out(const ring_buffer_t *r, int32_t from, uint8_t *dst, int32_t n) {
  int32_t first = min32(n, r->total_size - from);
  memcpy(dst, r->buffer + from, size_t(first));
  if (n > first) memcpy(dst + first, r->buffer, size_t(n - first));
}

bool usable(const ring_buffer_t *r) {
  return r && r->buffer && r->total_size > 0;
}

}  // namespace

extern "C" {

int ring_buffer_init2(ring_buffer_t *ring, uint8_t *storage, int32_t size) {
  if (!ring || !storage || size <= 0) return -1;
  ring->buffer = storage;
  ring->read_offset = 0;
  ring->write_offset = 0;
  ring->valid_size = 0;
  ring->total_size = size;
  return 0;
}

int ring_buffer_init(ring_buffer_t *ring, int32_t size) {
  if (!ring || size <= 0) return -1;
  auto *storage = static_cast<uint8_t *>(yv_mem_chunk_alloc(size_t(size)));
  if (!storage) return -1;
  return ring_buffer_init2(ring, storage, size);
}

int32_t ring_buffer_write(const void *data, int32_t length, ring_buffer_t *ring) {
  if (!usable(ring) || !data || length <= 0) return 0;
  int32_t n = min32(length, ring->total_size - ring->valid_size);
  if (n == 0) return 0;
  const auto *src = static_cast<const uint8_t *>(data);
  int32_t first = min32(n, ring->total_size - ring->write_offset);
  memcpy(ring->buffer + ring->write_offset, src, size_t(first));
  if (n > first) memcpy(ring->buffer, src + first, size_t(n - first));
  ring->write_offset = (ring->write_offset + n) % ring->total_size;
  ring->valid_size += n;
  return n;
}

int32_t ring_buffer_peek(const ring_buffer_t *ring, void *dst, int32_t length) {
  if (!usable(ring) || !dst || length <= 0) return 0;
  int32_t n = min32(length, ring->valid_size);
  if (n > 0) copy_out(ring, ring->read_offset, static_cast<uint8_t *>(dst), n);
  return n;
}

int32_t ring_buffer_drop(ring_buffer_t *ring, int32_t length) {
  if (!usable(ring) || length <= 0) return 0;
  int32_t n = min32(length, ring->valid_size);
  ring->read_offset = (ring->read_offset + n) % ring->total_size;
  ring->valid_size -= n;
  return n;
}

int32_t ring_buffer_read(ring_buffer_t *ring, void *dst, int32_t length) {
  int32_t n = ring_buffer_peek(ring, dst, length);
  return n > 0 ? ring_buffer_drop(ring, n) : 0;
}

void ring_buffer_deinit(ring_buffer_t *ring) {
  if (!ring) return;
  yv_mem_chunk_free(ring->buffer);
  memset(ring, 0, sizeof *ring);
}

}  // extern "C"
