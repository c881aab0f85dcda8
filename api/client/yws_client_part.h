/*
 * The client room's own header: its part of a client record. Only files of
 * api/client/ include it.
 */
#ifndef YWS_CLIENT_PART_H
#define YWS_CLIENT_PART_H

#include "yws_client.h"

/* Where an open stands in its bearer step. */
typedef enum {
  YWS_BEARER_IDLE = 0,
  YWS_BEARER_WAITING = 1,   /* waiting for the activation of pdp_cid */
  YWS_BEARER_CONNECTING = 6 /* the connect step was posted */
} yws_bearer_e;

/* Who writes each field, beside it:
 *   [C]    at creation, before the slot is filled; fixed after
 *   [svc]  the service task alone (no other thread reads it)
 *   [S]    under the service lock; other tasks read it under that lock, the
 *          service task (which writes it) may also read it alone */
struct yws_client_part {
  /* [S]: started by the open's task or the retry task, removed by the
   * service task (which reads it alone once the bearer step is over). */
  yv_timer_t conn_timer;
  yv_timer_t ping_timer; /* [svc] */
  /* Bounds the wait for any sign of life after a ping (ping/timeout). [svc] */
  yv_timer_t pong_timer;
  /* Bounds an end asked of a running loop thread (close/waittime + 1 s). [svc] */
  yv_timer_t end_timer;
  /* [S]: the task running the bearer step and the service task. */
  uint8_t bearer; /* yws_bearer_e */
  /* The packet-data context the client runs on; 0 until its bearer step. [S] */
  uint8_t pdp_cid;
  /* The task running this open's bearer step, while it runs. [S] */
  yv_task_t bearer_task;
  /* Reconnect: kept across the attempts of one caller's open. */
  struct {
    uint32_t open_serial; /* [C] the generation of the caller's open */
    uint32_t attempt;     /* [svc] attempts since the count last started over */
    uint32_t rng;         /* [svc] this client's random state */
    uint32_t delay_ms;    /* [svc] of the announced attempt; its task reads it under [S] */
    int64_t up_since_ms;  /* [svc] the current connection opened; 0 while none is up */
    bool active;          /* [S] an announced attempt has no outcome yet */
    bool waiting;         /* [S] ... and has not started its open (the retry task ends it) */
    bool stop;            /* [S] the caller closed: no further attempt */
  } reconn;
  /* Link health of the connections before the current one; the loop counts
   * the current one. [S] */
  struct {
    uint64_t rx_bytes;
    uint32_t rx_msgs;
    uint64_t wire_tx, wire_rx; /* what their sockets carried */
    int32_t ping_rtt_ms;       /* -1 before the first */
    uint32_t reconnects;
    uint32_t drops;
    int64_t opened_ms;  /* [C] the caller's open */
    int64_t last_rx_ms; /* last arrival on an earlier connection; 0 if none */
  } stats;
  /* [S] released off the service task: the next record it is to free. */
  struct yws_client *reap_next;
};

#endif
