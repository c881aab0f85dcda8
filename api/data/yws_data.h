/*
 * The data room: received pieces on their way to the caller, on the service
 * task. Each piece of a batch the loop announced goes to the profile's
 * callback (direct mode) or into the record's receive chain, which
 * yv_ws_read_proc empties from the caller's task (buffered mode); reading
 * gives flow control back to the loop. Also the command layer's
 * push-notification flag.
 */
#ifndef YWS_DATA_H
#define YWS_DATA_H

#include "yws_config.h"
#include "yws_core.h"
#include "yws_loop.h"

/* Service task: delivers every piece its loop has batched for the client. */
void yws_rx_batch_event(int32_t client_id);
/* Service lock held: frees what was received and not read. */
void yws_rx_release(yws_client_t *rec);
/* Service task: YWS_MSG_TYPE_TO_READ_DATA, tells the caller to read on. */
int32_t yws_client_read_event(int32_t client_id);

/* ---- message delivery (yws_msg.cpp) ---- */

/* The record's message state for "read/message" = piece (0: off); the
 * gather buffer (direct) or the ring of marks (buffered). */
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
