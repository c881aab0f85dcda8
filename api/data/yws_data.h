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
/* Service task: YWS_MSG_TYPE_TO_READ_DATA, tells the caller to read on. */
int32_t yws_client_read_event(int32_t client_id);

#endif
