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
/* The generation of the caller's open the record serves (reconnect
 * attempts keep it). */
uint32_t yws_client_open_serial(const yws_client_t *rec);

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
/* param2 of a YWS_MSG_TYPE_LWS_THREAD_EXIT posted by an end's bound: the
 * loop thread had its time; the record ends without waiting for it. */
#define YWS_END_DEADLINE 1u
void yws_thread_exit_destroy(int client_id, uint32_t loop_serial, bool deadline);
void yws_final_do(int client_id);
/* Caller holds the service lock: the record's timers and its loop go (a loop
 * thread that still runs takes its block over); the record stays. */
void yws_connection_release(yws_client_t *rec);
/* Releases the record `tag` names (yws_tag) if it is still that one; false
 * when it has gone already, so that one open is never ended twice. */
bool yws_final_do_if(uint32_t tag);
/* Service task, between events (holding no record): frees the records that
 * other tasks released (yws_final_do_if off the service task only unlinks). */
void yws_client_reap(void);

/* ---- reconnect (yws_reconnect.cpp) ---- */

/* param3 of the caller's YWS_MSG_TYPE_TO_CLOSE_CLIENT made while a
 * reconnect waited or ran. */
#define YWS_CLOSE_STOPS_RECONNECT 1

/* The end of the open or connection `tag` names, on the service task: the
 * cause is settled, then the record is released and the end notified, or,
 * with reconnect on and may_retry, the end is notified, the record made the
 * next attempt's and that attempt announced (YWS_CB_TYPE_RECONNECT). */
void yws_client_end(uint32_t tag, int32_t type, int32_t err, bool may_retry);
/* The attempt (or the caller's open) is connected. */
void yws_reconn_opened(yws_client_t *rec);
/* The caller's close while a reconnect waits or runs; false when none does. */
bool yws_reconn_close(int client_id, yws_client_t *rec);
/* The delay schedule: attempt n (from 1) waits a time in [d/2, d],
 * d = min(cap, min_ms * 2^(n-1)) with cap = max(max_ms, min_ms). */
uint32_t yws_reconn_delay(uint32_t attempt, uint32_t min_ms, uint32_t max_ms, uint32_t *rng);
uint32_t yws_reconn_random(uint32_t *state);
/* How long a connection must stay open for the count to start over. */
int64_t yws_reconn_stable_ms(uint32_t max_ms);

#endif
