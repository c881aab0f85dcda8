/*
 * A client's library loop: the "wsservice" thread, the gate that parks it for
 * the service task's library calls, and the staging of callback events.
 */
#include "yws_loop.h"

#include <new>

namespace {

void yws_loop_discard_staged(yws_loop *loop) {
  std::vector<yv_event_t> out;
  {
    std::lock_guard<std::mutex> lk(loop->staged_m);
    out.swap(loop->staged);
  }
  for (const yv_event_t &ev : out)
    if (yws_event_has_copy(ev.id)) yv_mem_free(yws_ticket_take(ev.param2));
}

/* Posts what the callbacks staged, in order. May block on a full queue, so
 * it runs holding nothing. */
void yws_loop_flush(yws_loop *loop) {
  static thread_local std::vector<yv_event_t> out;
  {
    std::lock_guard<std::mutex> lk(loop->staged_m);
    if (loop->staged.empty()) return;
    out.swap(loop->staged);
  }
  for (yv_event_t &ev : out) yv_ws_task_send_message(&ev);
  out.clear();
}

/* Resumes delivery once the reader has caught up; on the loop thread, inside
 * its pass, where library calls are allowed. */
void yws_loop_rx_resume(yws_loop *loop) {
  if (!loop->rx_paused.load() || !loop->wsi) return;
  if (loop->rx_pending.load() >= loop->rx_resume) return;
  loop->rx_paused = false;
  lws_rx_flow_control(loop->wsi, 0x1001);
  YWS_TRACE("rx enabled");
}

}  // namespace

yws_loop *yws_loop_new(uint8_t client_id, uint32_t serial) {
  void *mem = yv_mem_alloc(sizeof(yws_loop));
  if (!mem) return nullptr;
  auto *loop = new (mem) yws_loop();
  loop->client_id = client_id;
  loop->serial = serial;
  loop->info.config.client_id = client_id;
  return loop;
}

void yws_loop_destroy_context(yws_loop *loop) {
  loop->drop_events = true;
  if (loop->context) {
    lws_context_destroy(loop->context);
    loop->context = nullptr;
  }
  loop->wsi = nullptr;
  yws_loop_discard_staged(loop);
}

void yws_loop_free(yws_loop *loop) {
  if (!loop) return;
  yws_loop_destroy_context(loop);
  loop->~yws_loop();
  yv_mem_free(loop);
}

int yws_loop_start_thread(yws_loop *loop, yv_task_t *task) {
  {
    std::lock_guard<std::mutex> lk(loop->gate_m);
    loop->state = YWS_LOOP_RUNNING;
  }
  YvOSStatus st = yv_rtos_task_create(task, 6144, APP_PRIORITY_NORMAL, "wsservice",
                                      yv_ws_thread_service, loop, 5);
  if (st != YV_OSI_SUCCESS) {
    std::lock_guard<std::mutex> lk(loop->gate_m);
    loop->state = YWS_LOOP_NO_THREAD;
  }
  return st;
}

void yws_loop_wake(yws_loop *loop) {
  if (loop->context) lws_cancel_service(loop->context);
}

void yws_loop_stop(yws_loop *loop) {
  std::lock_guard<std::mutex> lk(loop->gate_m);
  loop->force_exit = true;
  if (loop->state == YWS_LOOP_RUNNING) yws_loop_wake(loop);
}

bool yws_loop_orphan(yws_loop *loop) {
  std::unique_lock<std::mutex> lk(loop->gate_m);
  if (loop->state != YWS_LOOP_RUNNING) return false;
  /* Let the pass in progress finish: its callbacks may still read the record
   * that the caller is about to release. */
  loop->api_waiters++;
  if (loop->in_pass) {
    yws_loop_wake(loop);
    loop->gate_cv.wait(lk, [loop] { return !loop->in_pass; });
  }
  loop->api_waiters--;
  loop->state = YWS_LOOP_ORPHANED;
  loop->force_exit = true;
  loop->drop_events = true;
  /* Notified under the lock: once it is released the thread may free the block. */
  loop->gate_cv.notify_all();
  return true;
}

void yws_loop_stage(yws_loop *loop, const yv_event_t *ev) {
  if (loop->drop_events) {
    if (yws_event_has_copy(ev->id)) yv_mem_free(yws_ticket_take(ev->param2));
    return;
  }
  std::lock_guard<std::mutex> lk(loop->staged_m);
  loop->staged.push_back(*ev);
}

yws_loop_guard::yws_loop_guard(yws_loop *loop) : loop_(loop) {
  std::unique_lock<std::mutex> lk(loop->gate_m);
  loop->api_waiters++;
  if (loop->in_pass) {
    yws_loop_wake(loop);
    loop->gate_cv.wait(lk, [loop] { return !loop->in_pass; });
  }
}

yws_loop_guard::~yws_loop_guard() {
  bool running;
  {
    std::lock_guard<std::mutex> lk(loop_->gate_m);
    loop_->api_waiters--;
    running = loop_->state == YWS_LOOP_RUNNING;
  }
  loop_->gate_cv.notify_all();
  bool staged;
  {
    std::lock_guard<std::mutex> lk(loop_->staged_m);
    staged = !loop_->staged.empty();
  }
  if (!staged) return;
  /* Our calls made callbacks: the loop thread posts them after a short pass;
   * with no thread left the service task posts them to itself. */
  if (running)
    yws_loop_wake(loop_);
  else
    yws_loop_flush(loop_);
}

void yv_ws_thread_service(void *arg) {
  auto *loop = static_cast<yws_loop *>(arg);
  for (;;) {
    yws_loop_flush(loop);
    {
      std::unique_lock<std::mutex> lk(loop->gate_m);
      loop->gate_cv.wait(lk, [loop] { return loop->api_waiters == 0; });
      if (loop->force_exit) break;
      loop->in_pass = true;
    }
    lws_service(loop->context, 500);
    yws_loop_rx_resume(loop);
    {
      std::lock_guard<std::mutex> lk(loop->gate_m);
      loop->in_pass = false;
    }
    loop->gate_cv.notify_all();
  }
  yws_loop_flush(loop);
  uint8_t client_id = loop->client_id;
  uint32_t serial = loop->serial;
  bool orphaned;
  {
    std::lock_guard<std::mutex> lk(loop->gate_m);
    orphaned = loop->state == YWS_LOOP_ORPHANED;
    if (!orphaned) loop->state = YWS_LOOP_EXITED;
  }
  /* Once EXITED is visible the service task owns the block: touch nothing of
   * it. An orphaned block is ours to destroy. */
  if (orphaned) yws_loop_free(loop);
  YWS_TRACE("service exit\n");
  if (!orphaned) yws_post(YWS_MSG_TYPE_LWS_THREAD_EXIT, yws_tag(client_id, serial), 0, 0);
  yv_rtos_task_delete(0);
}
