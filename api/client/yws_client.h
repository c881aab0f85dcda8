/*
 * The client room: a client's life on the service task. Record creation and
 * release, the open from its bearer step (registration, packet-data context)
 * through the connect step to its outcome, the keepalive, the close and the
 * teardown; also the state and client queries other tasks make.
 *
 * Every handler here runs on the service task except the exported queries,
 * the close request and the timer callbacks, which only post.
 */
#ifndef YWS_CLIENT_H
#define YWS_CLIENT_H

#include "yws_config.h"
#include "yws_core.h"
#include "yws_data.h"
#include "yws_loop.h"

/* ---- the record (yws_client.cpp) ---- */

/* Creates the record of an open from its profile and fills the slot. */
int yws_client_service_new(int client_id, int cfg_id);
/* Frees what a record holds; it is out of its slot already. */
void yws_record_release(yws_client_t *rec);

/* ---- the open (yws_bearer.cpp, yws_lifecycle.cpp) ---- */

/* Bearer step of the open ev->param1 names (YWS_MSG_TYPE_TO_NET_ACT); runs
 * on the opening task or the service task. */
int yws_client_net_act(void *arg);
/* Starts the connect timer of the record `tag` names when its profile has a
 * connect timeout; the platform's status. */
int yws_open_timer_start(uint32_t tag);
/* The bearer is up: the connect step (YWS_MSG_TYPE_TO_OPEN_CLIENT). */
int yws_client_open_do(const yv_event_t *ev);
yws_err_e yws_client_open_connected(int client_id);
/* The open failed or timed out before its loop thread ran. */
yws_err_e yws_client_open_cnf(yv_event_t *msg);

/* ---- keepalive (yws_lifecycle.cpp, yws_keepalive.cpp) ---- */

yws_err_e yws_ping_proc(yv_event_t *msg);
/* A new open of the id: no wait for a sign of life. */
void yws_keepalive_open(int client_id);
/* A received event was handled: it answers the ping being waited for. */
void yws_alive_event(int client_id);
/* After a ping went out. sent_ms: yws_now_ms() taken before the ping was
 * written, so that an answer can never look older than its ping. */
void yws_pong_wait_start(int client_id, yws_client_t *rec, int64_t sent_ms);
/* The wait ran out: the client ends unless something arrived meanwhile. */
void yws_pong_wait_expired(int client_id, yws_client_t *rec);
/* A YWS_MSG_TYPE_TO_PING event that is the expiry of that wait. */
bool yws_ping_wait_event(const yv_event_t *msg);

/* ---- the end (yws_lifecycle.cpp) ---- */

yws_err_e yws_close_proc(yv_event_t *msg);
/* The loop thread ended: the outcome is notified and the record released. */
void yws_thread_exit_destroy(int client_id, uint32_t loop_serial);
void yws_final_do(int client_id);
/* Releases the record `tag` names (yws_tag) if it is still that one; false
 * when it has gone already, so that one open is never ended twice. */
bool yws_final_do_if(uint32_t tag);
void yws_client_writable_event(int client_id);

#endif
