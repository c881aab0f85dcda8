/* Counted singly linked list that stores copies of small records.
 * All calls return 0 on success and non-zero on failure. */
#ifndef YAVO_LINKLIST_H
#define YAVO_LINKLIST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct linklist {
  struct linklist *next;
  uint32_t size;
  uint32_t reserved; /* keeps the payload pointer-aligned: it may hold pointers */
  uint8_t data[];    /* payload copy */
} linklist;

typedef struct {
  uint32_t node_cnt;
  linklist *header;
  linklist *tail;
  linklist *curt;
} linklist_t;

typedef linklist_t *linklist_handler_t;

typedef enum { DIR_FIFO = 0, DIR_LIFO = 1, DIR_SIFO = 2 } linklist_dir_e;

#define LINKLIST_ERR_PARAM (-1)
#define LINKLIST_ERR_NO_MEM (-2)
#define LINKLIST_ERR_NOT_FOUND (-3)

int linklist_init(linklist_handler_t *hd);
/* DIR_FIFO appends at the tail, DIR_LIFO inserts at the head, DIR_SIFO
 * inserts after the cursor (at the tail when there is none). */
int linklist_push(linklist_handler_t *hd, int dir, const void *data, uint32_t size);
int linklist_get_node_cnt(linklist_handler_t *hd, uint32_t *cnt);
/* Node at 0-based index from the head. */
int linklist_node_find(linklist_handler_t *hd, uint32_t index, linklist **node);
int linklist_node_delete(linklist_handler_t *hd, uint32_t index);
/* Releases every node and the list; *hd becomes NULL. */
int linklist_deinit(linklist_handler_t *hd);

#ifdef __cplusplus
}
#endif

#endif
