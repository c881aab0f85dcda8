/* Intrusive, doubly linked, circular list. An empty list is a head pointing
 * to itself; entries embed a list_head as their first member. */
#ifndef YAVO_LIST_H
#define YAVO_LIST_H

#include <stdint.h>

typedef struct list_head {
  struct list_head *next;
  struct list_head *prev;
} list_head;

static inline void list_init(list_head *head) {
  head->next = head;
  head->prev = head;
}

static inline void __list_add(list_head *n, list_head *prev, list_head *next) {
  next->prev = n;
  n->next = next;
  n->prev = prev;
  prev->next = n;
}

static inline void list_add(list_head *n, list_head *head) {
  __list_add(n, head, head->next);
}

static inline void list_add_tail(list_head *n, list_head *head) {
  __list_add(n, head->prev, head);
}

static inline void __list_del(list_head *prev, list_head *next) {
  next->prev = prev;
  prev->next = next;
}

static inline void list_del(list_head *entry) {
  __list_del(entry->prev, entry->next);
}

static inline int list_empty(const list_head *head) {
  return head->next == head;
}

static inline int32_t list_len(const list_head *head) {
  int32_t n = 0;
  for (const list_head *p = head->next; p != head; p = p->next) n++;
  return n;
}

#endif
