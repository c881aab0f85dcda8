/*
 * The data room's own header: its part of a client record and the message
 * state within it. Only files of api/data/ include it.
 */
#ifndef YWS_DATA_PART_H
#define YWS_DATA_PART_H

#include "yws_data.h"

/* Buffered message mode: one message in the receive chain, oldest first. */
typedef struct {
  int32_t avail; /* its bytes in the chain, not read yet */
  uint8_t flags; /* YWS_MSG_FLAG_BINARY, YWS_MSG_FLAG_FINAL once all arrived */
  bool read_any; /* a read took part of it: the next is not FIRST */
} yws_rx_mark_t;

/* Who writes each field, beside it:
 *   [C]    at creation (yws_data_part_new); fixed after
 *   [svc]  the service task alone
 *   [S]    under the service lock (the service task delivers, callers read) */
struct yws_data_part {
  int64_t rx_total_size; /* [S] */
  int64_t rx_read_size;  /* [S] */
  int32_t rx_max_size;   /* [C] */
  yws_chain_t rx_q;      /* [S] */
  /* Buffered mode [S]: received pieces that do not fit the receive buffer
   * yet, oldest first, from held_off of the first block on. Only a TLS
   * record's end, delivered past a pause, lands here. */
  struct yws_rx_block *held;
  uint32_t held_off;
  /* "read/message": the piece size, 0 when off. Direct mode gathers a
   * message's bytes here [svc]; buffered mode keeps a ring of marks [S]. */
  struct {
    uint32_t piece;
    uint8_t *gather;
    uint32_t gathered;
    uint8_t flags; /* of the message being gathered */
    yws_rx_mark_t *marks;
    uint16_t mark_cap;
    uint16_t mark_head;
    uint16_t mark_count;
  } msg;
};

/* ---- message delivery (yws_msg.cpp) ---- */

/* The part's message state for "read/message" = piece (0: off). */
int yws_msg_open(yws_client_t *rec, uint32_t piece, bool buffered);
void yws_msg_release(yws_client_t *rec);
/* Direct mode: a piece of a message (flags of the loop) on its way to the
 * callback as YWS_CB_TYPE_MESSAGE notifications. */
void yws_msg_deliver(int client_id, yws_client_t *rec, const char *data, uint32_t len,
                     uint32_t flags);
/* Buffered mode, under the service lock. */
/* A message has bytes or its end to be read. */
bool yws_msg_waiting(yws_client_t *rec);
/* A piece with these flags would find a mark for it. */
bool yws_msg_mark_room(yws_client_t *rec, uint32_t flags);
/* Appends a piece to the chain under its message's mark; false without room. */
bool yws_msg_store(yws_client_t *rec, const char *data, int32_t size, uint32_t flags);
/* got bytes were read as a stream; the flow-control bytes of the marks that
 * went. */
int32_t yws_msg_consumed(yws_client_t *rec, int32_t got);
/* Reads up to wanted bytes of the oldest message: *got, *flags; the
 * flow-control bytes of the marks that went. */
int32_t yws_msg_pull(yws_client_t *rec, char *data, int32_t wanted, int32_t *got, int32_t *flags);

#endif
