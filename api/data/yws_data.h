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

/* ---- the data room's part of a record ---- */

/* Makes the record's part from its profile: an empty receive chain and, for
 * "read/message", the gather buffer (direct mode) or the ring of marks
 * (buffered mode). false without memory; what was made goes with
 * yws_data_part_free. */
bool yws_data_part_new(yws_client_t *rec, const yws_cfg_t *cfg);
/* Service lock held: frees the part with what was received and not read. */
void yws_data_part_free(yws_client_t *rec);
/* Service lock held: what arrived and was not read belonged to the
 * connection that ended; the part starts again as made. false without
 * memory. */
bool yws_data_part_restart(yws_client_t *rec);

/* Service task: delivers every piece its loop has batched for the client. */
void yws_rx_batch_event(int32_t client_id);
/* Service task: YWS_MSG_TYPE_TO_READ_DATA, tells the caller to read on. */
int32_t yws_client_read_event(int32_t client_id);

#endif
