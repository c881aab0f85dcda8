/*
 * Buffer chains: a client's transmit and receive bytes as a list of chunks of
 * up to 2048 bytes. Callers hold the lock of the chain. No linked chunk is empty.
 */
#include <algorithm>

#include "yws_core.h"

namespace {

ws_buffer_t *yws_chunk_new() {
  auto *chunk = static_cast<ws_buffer_t *>(yv_mem_chunk_alloc(sizeof(ws_buffer_t)));
  auto *storage = static_cast<uint8_t *>(yv_mem_chunk_alloc(WS_BUFFER_CHUNK_SIZE));
  if (!chunk || !storage) {
    yv_mem_chunk_free(chunk);
    yv_mem_chunk_free(storage);
    return nullptr;
  }
  ring_buffer_init2(&chunk->data, storage, WS_BUFFER_CHUNK_SIZE);
  return chunk;
}

void yws_chunk_release(ws_buffer_t *chunk) {
  ring_buffer_deinit(&chunk->data);
  list_del(&chunk->list);
  yv_mem_chunk_free(chunk);
}

/* Removes up to len bytes from the front, copied to data unless it is null. */
int32_t yws_chain_take(list_head *head, char *data, int32_t len) {
  int32_t got = 0;
  list_head *pos = head->next;
  while (pos != head && got < len) {
    list_head *next = pos->next;
    auto *chunk = reinterpret_cast<ws_buffer_t *>(pos);
    int32_t want = std::min(chunk->data.valid_size, len - got);
    got += data ? ring_buffer_read(&chunk->data, data + got, want)
                : ring_buffer_drop(&chunk->data, want);
    if (chunk->data.valid_size == 0) yws_chunk_release(chunk);
    pos = next;
  }
  return got;
}

}  // namespace

int yws_chain_append(list_head *head, const char *data, int32_t len) {
  YWS_TRACE("yws len:%d", len);
  if (!data || len <= 0) return 0;
  int32_t room = 0;
  ws_buffer_t *back = nullptr;
  if (!list_empty(head)) {
    back = reinterpret_cast<ws_buffer_t *>(head->prev);
    room = back->data.total_size - back->data.valid_size;
  }
  /* Every chunk is allocated before a byte is written, so a failure leaves
   * the chain exactly as it was. */
  list_head fresh;
  list_init(&fresh);
  for (int32_t need = len - room; need > 0; need -= WS_BUFFER_CHUNK_SIZE) {
    ws_buffer_t *chunk = yws_chunk_new();
    if (!chunk) {
      yws_chain_release(&fresh);
      return -1;
    }
    list_add_tail(&chunk->list, &fresh);
  }
  int32_t copied = 0;
  if (back) copied = ring_buffer_write(data, std::min(room, len), &back->data);
  while (!list_empty(&fresh)) {
    auto *chunk = reinterpret_cast<ws_buffer_t *>(fresh.next);
    list_del(&chunk->list);
    copied += ring_buffer_write(data + copied, std::min(len - copied, WS_BUFFER_CHUNK_SIZE),
                                &chunk->data);
    list_add_tail(&chunk->list, head);
  }
  return 0;
}

void yws_chain_pull(list_head *head, char *data, int32_t *len) {
  if (!len || !data || *len <= 0) return;
  *len = yws_chain_take(head, data, *len);
}

int32_t yws_chain_drop(list_head *head, int32_t len) {
  return len > 0 ? yws_chain_take(head, nullptr, len) : 0;
}

int32_t yws_chain_peek(list_head *head, char *data, int32_t len) {
  int32_t got = 0;
  for (list_head *pos = head->next; pos != head && got < len; pos = pos->next) {
    auto *chunk = reinterpret_cast<ws_buffer_t *>(pos);
    got += ring_buffer_peek(&chunk->data, data + got, len - got);
  }
  return got;
}

void yws_chain_release(list_head *head) {
  while (!list_empty(head)) yws_chunk_release(reinterpret_cast<ws_buffer_t *>(head->next));
}
