/*
 * Buffer chains: a client's transmit and receive bytes as a list of chunks of
 * up to 2048 bytes. Callers hold the lock of the chain. No linked chunk is empty.
 */
#include <algorithm>

#include "yws_core.h"

namespace {

/* One block: the chunk record, then its storage. */
ws_buffer_t *yws_chunk_new(yws_chain_t *c) {
  ws_buffer_t *chunk = c->spare;
  c->spare = nullptr;
  if (!chunk) {
    chunk =
        static_cast<ws_buffer_t *>(yv_mem_chunk_alloc(sizeof(ws_buffer_t) + WS_BUFFER_CHUNK_SIZE));
    if (!chunk) return nullptr;
  }
  ring_buffer_init2(&chunk->data, reinterpret_cast<uint8_t *>(chunk + 1), WS_BUFFER_CHUNK_SIZE);
  return chunk;
}

void yws_chunk_free_list(list_head *head) {
  while (!list_empty(head)) {
    list_head *pos = head->next;
    list_del(pos);
    yv_mem_chunk_free(pos);
  }
}

/* Unlinks a drained chunk: kept as the spare while more chunks wait behind
 * it, freed when it was the last one. */
void yws_chunk_retire(yws_chain_t *c, ws_buffer_t *chunk) {
  list_del(&chunk->list);
  if (!c->spare && !list_empty(&c->q)) {
    c->spare = chunk;
    return;
  }
  yv_mem_chunk_free(chunk);
  if (list_empty(&c->q) && c->spare) {
    yv_mem_chunk_free(c->spare);
    c->spare = nullptr;
  }
}

/* Removes up to len bytes from the front, copied to data unless it is null. */
int32_t yws_chain_take(yws_chain_t *c, char *data, int32_t len) {
  int32_t got = 0;
  list_head *head = &c->q;
  list_head *pos = head->next;
  while (pos != head && got < len) {
    list_head *next = pos->next;
    auto *chunk = reinterpret_cast<ws_buffer_t *>(pos);
    int32_t want = std::min(chunk->data.valid_size, len - got);
    got += data ? ring_buffer_read(&chunk->data, data + got, want)
                : ring_buffer_drop(&chunk->data, want);
    if (chunk->data.valid_size == 0) yws_chunk_retire(c, chunk);
    pos = next;
  }
  return got;
}

}  // namespace

void yws_chain_init(yws_chain_t *c) {
  list_init(&c->q);
  c->spare = nullptr;
}

int yws_chain_append(yws_chain_t *c, const char *data, int32_t len) {
  YWS_TRACE("yws len:%d", len);
  if (!data || len <= 0) return 0;
  list_head *head = &c->q;
  int32_t room = 0;
  ws_buffer_t *back = nullptr;
  if (!list_empty(head)) {
    back = reinterpret_cast<ws_buffer_t *>(head->prev);
    room = back->data.total_size - back->data.valid_size;
  }
  /* Every chunk is in hand before a byte is written, so a failure leaves the
   * chain exactly as it was (the spare, if taken, is freed with the rest). */
  list_head fresh;
  list_init(&fresh);
  for (int32_t need = len - room; need > 0; need -= WS_BUFFER_CHUNK_SIZE) {
    ws_buffer_t *chunk = yws_chunk_new(c);
    if (!chunk) {
      yws_chunk_free_list(&fresh);
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

void yws_chain_pull(yws_chain_t *c, char *data, int32_t *len) {
  if (!len || !data || *len <= 0) return;
  *len = yws_chain_take(c, data, *len);
}

int32_t yws_chain_drop(yws_chain_t *c, int32_t len) {
  return len > 0 ? yws_chain_take(c, nullptr, len) : 0;
}

int32_t yws_chain_peek(yws_chain_t *c, char *data, int32_t len) {
  int32_t got = 0;
  for (list_head *pos = c->q.next; pos != &c->q && got < len; pos = pos->next) {
    auto *chunk = reinterpret_cast<ws_buffer_t *>(pos);
    got += ring_buffer_peek(&chunk->data, data + got, len - got);
  }
  return got;
}

void yws_chain_release(yws_chain_t *c) {
  yws_chunk_free_list(&c->q);
  yv_mem_chunk_free(c->spare);
  c->spare = nullptr;
}
