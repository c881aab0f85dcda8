/*
 * The library loop of one client: its libwebsockets context, the "wsservice"
 * thread that services it, and the gate through which the service task makes
 * its own library calls.
 *
 * The library is single-threaded per context: the service task may call it
 * only while the loop thread is outside lws_service(). yws_loop_guard wakes
 * the loop and waits until it has parked; while any guard is held the loop
 * does not start another pass.
 *
 * Callbacks never post into the queue from inside a library call: they stage
 * their events here and the loop thread posts them after the pass, holding
 * nothing, so a full queue can block only the loop thread itself.
 *
 * The block outlives the client record when the bearer is lost while the
 * thread runs: the thread then destroys the context and frees the block.
 */
#ifndef YWS_LOOP_H
#define YWS_LOOP_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "yv_websocket_inc.h"

typedef enum {
  YWS_LOOP_NO_THREAD = 0,
  YWS_LOOP_RUNNING = 1,
  YWS_LOOP_EXITED = 2,  /* thread ended and posted its exit event */
  YWS_LOOP_ORPHANED = 3 /* record released while the thread ran */
} yws_loop_state_e;

struct yws_loop {
  /* First member: the context's user pointer is this block and the info. */
  lws_plat_user_info_t info;
  uint32_t serial;
  uint8_t client_id;
  struct lws_context *context;
  struct lws *wsi; /* NULL once the library destroyed the connection */
  bool buffered;
  /* The message being written: one per client, used by the service task only. */
  unsigned char tx_buf[YWS_LWS_PRE + YWS_TX_MSG_MAX];
  int32_t rx_high;
  int32_t rx_resume;

  std::atomic<bool> force_exit{false};
  std::atomic<bool> drop_events{false};
  std::atomic<bool> close_requested{false};
  /* Received bytes not yet read by the user (buffered mode). */
  std::atomic<int32_t> rx_pending{0};
  std::atomic<bool> rx_paused{false};
  /* A refused upgrade must end as an open failure, never as a success. */
  bool upgrade_refused = false;

  std::mutex gate_m;
  std::condition_variable gate_cv;
  int api_waiters = 0;
  bool in_pass = false;
  yws_loop_state_e state = YWS_LOOP_NO_THREAD;

  std::mutex staged_m;
  std::vector<yv_event_t> staged;
};

/* NULL when it cannot be allocated. */
yws_loop *yws_loop_new(uint8_t client_id, uint32_t serial);
/* Destroys the context if it still exists (its callbacks post nothing) and
 * frees the block. Only when no thread runs on it. */
void yws_loop_free(yws_loop *loop);
/* Starts the "wsservice" thread; returns the platform status. */
int yws_loop_start_thread(yws_loop *loop, yv_task_t *task);
/* Asks the thread to end and wakes it. */
void yws_loop_stop(yws_loop *loop);
/* Releases the record side: when the thread still runs, it takes the block
 * over (destroys the context, frees the block) and true is returned; false
 * means the caller must free it with yws_loop_free. */
bool yws_loop_orphan(yws_loop *loop);
/* Destroys the context on the calling thread with event posting dropped. */
void yws_loop_destroy_context(yws_loop *loop);
/* Wakes the loop from another thread (lws_cancel_service). */
void yws_loop_wake(yws_loop *loop);

/* Called from the protocol callback: where its events go. */
void yws_loop_stage(yws_loop *loop, const yv_event_t *ev);

/* Holds the loop parked for the service task's own library calls. */
class yws_loop_guard {
 public:
  explicit yws_loop_guard(yws_loop *loop);
  ~yws_loop_guard();
  yws_loop_guard(const yws_loop_guard &) = delete;
  yws_loop_guard &operator=(const yws_loop_guard &) = delete;

 private:
  yws_loop *loop_;
};

#endif
