/* Counted singly linked list of payload copies. */
#include "yavo_linklist.h"

#include <cstring>

#include "yv_mem.h"

namespace {

bool valid(linklist_handler_t *hd) {
  return hd && *hd;
}

/* Node before index (NULL for the head); index must be < node_cnt. */
linklist *before(linklist_t *l, uint32_t index) {
  linklist *prev = nullptr;
  for (uint32_t i = 0; i < index; i++) prev = prev ? prev->next : l->header;
  return prev;
}

}  // namespace

extern "C" {

int linklist_init(linklist_handler_t *hd) {
  if (!hd) return LINKLIST_ERR_PARAM;
  auto *l = static_cast<linklist_t *>(yv_mem_alloc(sizeof(linklist_t)));
  if (!l) return LINKLIST_ERR_NO_MEM;
  *hd = l;
  return 0;
}

int linklist_push(linklist_handler_t *hd, int dir, const void *data, uint32_t size) {
  if (!valid(hd) || (!data && size > 0)) return LINKLIST_ERR_PARAM;
  if (dir != DIR_FIFO && dir != DIR_LIFO && dir != DIR_SIFO) return LINKLIST_ERR_PARAM;
  auto *n = static_cast<linklist *>(yv_mem_alloc(sizeof(linklist) + size));
  if (!n) return LINKLIST_ERR_NO_MEM;
  n->next = nullptr;
  n->size = size;
  if (size > 0) memcpy(n->data, data, size);

  linklist_t *l = *hd;
  linklist *after = nullptr;
  if (dir == DIR_FIFO) after = l->tail;
  if (dir == DIR_SIFO) after = l->curt ? l->curt : l->tail;
  if (after) {
    n->next = after->next;
    after->next = n;
  } else {
    n->next = l->header;
    l->header = n;
  }
  if (!n->next) l->tail = n;
  /* Successive SIFO pushes stay together, in their own order. */
  if (dir == DIR_SIFO) l->curt = n;
  l->node_cnt++;
  return 0;
}

int linklist_get_node_cnt(linklist_handler_t *hd, uint32_t *cnt) {
  if (!valid(hd) || !cnt) return LINKLIST_ERR_PARAM;
  *cnt = (*hd)->node_cnt;
  return 0;
}

int linklist_node_find(linklist_handler_t *hd, uint32_t index, linklist **node) {
  if (!valid(hd) || !node) return LINKLIST_ERR_PARAM;
  linklist_t *l = *hd;
  if (index >= l->node_cnt) return LINKLIST_ERR_NOT_FOUND;
  linklist *prev = before(l, index);
  *node = prev ? prev->next : l->header;
  return 0;
}

int linklist_node_delete(linklist_handler_t *hd, uint32_t index) {
  if (!valid(hd)) return LINKLIST_ERR_PARAM;
  linklist_t *l = *hd;
  if (index >= l->node_cnt) return LINKLIST_ERR_NOT_FOUND;
  linklist *prev = before(l, index);
  linklist *victim = prev ? prev->next : l->header;
  if (prev)
    prev->next = victim->next;
  else
    l->header = victim->next;
  if (l->tail == victim) l->tail = prev;
  if (l->curt == victim) l->curt = nullptr;
  l->node_cnt--;
  yv_mem_free(victim);
  return 0;
}

int linklist_deinit(linklist_handler_t *hd) {
  if (!valid(hd)) return LINKLIST_ERR_PARAM;
  linklist *n = (*hd)->header;
  while (n) {
    linklist *next = n->next;
    yv_mem_free(n);
    n = next;
  }
  yv_mem_free(*hd);
  *hd = nullptr;
  return 0;
}

}  // extern "C"
