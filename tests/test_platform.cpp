#include <gtest/gtest.h>
#include <libwebsockets.h>
#include <netinet/tcp.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "yv_datacall.h"
#include "yv_datacall_ctl.h"
#include "yv_mem_test.h"
#include "yv_net.h"
#include "yv_rtos.h"
#include "yv_rtos_test.h"
#include "yv_ssl_store_ctl.h"
#include "yws_test_util.h"

namespace {

using Count = std::atomic<int>;

bool reaches(const Count &n, int k) {
  return ywst::eventually([&] { return n >= k; }, std::chrono::seconds(3));
}

yv_queue_t MakeQueue(uint32_t count) {
  yv_queue_t q = 0;
  EXPECT_EQ(yv_rtos_queue_create(&q, sizeof(yv_event_t), count), YV_OSI_SUCCESS);
  return q;
}

YvOSStatus Post(yv_queue_t q, uint32_t id, uint32_t seq, uint32_t timeout = YV_WAIT_FOREVER) {
  yv_event_t ev = {id, seq, 0, 0};
  return yv_rtos_queue_release(q, sizeof ev, &ev, timeout);
}

yv_event_t Take(yv_queue_t q) {
  yv_event_t ev = {};
  EXPECT_EQ(yv_rtos_queue_wait(q, &ev, sizeof ev, 2000), YV_OSI_SUCCESS);
  return ev;
}

struct Fired {
  Count count{0}, entered{0};
  yv_timer_t self = 0;
  yv_queue_t q = 0;
  YvOSStatus st = 1;
};

void OnFire(void *arg) {
  static_cast<Fired *>(arg)->count++;
}

void StopSelf(void *arg) {
  auto *s = static_cast<Fired *>(arg);
  YvOSStatus stop = yv_rtos_timer_stop(s->self);
  s->st = stop != YV_OSI_SUCCESS ? stop : yv_rtos_timer_delete(s->self);
  s->count++;
}

void PostFromTimer(void *arg) {
  auto *s = static_cast<Fired *>(arg);
  s->entered++;
  Post(s->q, 7, 7);
  s->count++;
}

void NopEntry(void *) {}

struct Capture {
  std::mutex mu;
  std::vector<std::string> lines;
  std::atomic<bool> removed{false};
  Count seen{0}, after_removal{0};
};

void CaptureSink(const char *line, void *user) {
  auto *c = static_cast<Capture *>(user);
  if (c->removed) c->after_removal++;
  std::lock_guard<std::mutex> lk(c->mu);
  c->lines.emplace_back(line);
  c->seen++;
}

struct Answer {
  uint32_t ind;
  int cid;
  bool result;
  std::thread::id thread;
};

// Written by the layer thread only; a slot is read once n counts it.
struct Answers {
  Answer v[4];
  Count n{0};
};

void OnDataCall(uint8_t, uint32_t ind, int cid, bool result, void *ref) {
  auto *a = static_cast<Answers *>(ref);
  if (a->n < 4) a->v[a->n] = {ind, cid, result, std::this_thread::get_id()};
  a->n++;
}

}  // namespace

TEST(Queue, ConsumerPostsPastCapacityInOrder) {
  yv_queue_t q = MakeQueue(8);
  ASSERT_EQ(Post(q, 0, 0), YV_OSI_SUCCESS);
  Take(q); /* makes this thread the consumer */
  for (uint32_t i = 0; i < 20; i++) ASSERT_EQ(Post(q, 0, i, 1000), YV_OSI_SUCCESS);
  std::thread outsider([&] { EXPECT_EQ(Post(q, 1, 20), YV_OSI_SUCCESS); });
  for (uint32_t i = 0; i <= 20; i++) EXPECT_EQ(Take(q).param1, i);
  outsider.join();
  yv_rtos_queue_delete(q);
}

TEST(Queue, DeleteWakesBlockedCallersAndRefusesStaleHandle) {
  yv_queue_t full = MakeQueue(1), empty = MakeQueue(1);
  ASSERT_EQ(Post(full, 0, 0), YV_OSI_SUCCESS);
  std::atomic<YvOSStatus> poster_st{1}, waiter_st{1};
  Count started{0}, finished{0};
  std::thread poster([&] {
    started++;
    poster_st = Post(full, 0, 1);
    finished++;
  });
  std::thread waiter([&] {
    yv_event_t ev;
    started++;
    waiter_st = yv_rtos_queue_wait(empty, &ev, sizeof ev, YV_WAIT_FOREVER);
    finished++;
  });
  ASSERT_TRUE(reaches(started, 2));
  EXPECT_EQ(yv_rtos_queue_delete(full), YV_OSI_SUCCESS);
  EXPECT_EQ(yv_rtos_queue_delete(empty), YV_OSI_SUCCESS);
  ASSERT_TRUE(reaches(finished, 2)); /* aborts on joinable threads rather than hang */
  poster.join();
  waiter.join();
  EXPECT_EQ(poster_st.load(), YV_OSI_QUEUE_DELETED);
  EXPECT_EQ(waiter_st.load(), YV_OSI_QUEUE_DELETED);
  yv_event_t ev;
  EXPECT_EQ(Post(full, 0, 2), YV_OSI_QUEUE_DELETED);
  EXPECT_EQ(yv_rtos_queue_wait(full, &ev, sizeof ev, 0), YV_OSI_QUEUE_DELETED);
  EXPECT_EQ(yv_rtos_queue_delete(full), YV_OSI_QUEUE_DELETED);
}

// The single timer thread fires in deadline order, so a later marker bounds earlier timers.
// Then a timer stops and deletes itself in its callback, and another is stopped and deleted
// from a second thread while its callback blocks.
TEST(Timer, OneShotFiresOnceStopHoldsAndStopOrDeleteWorkInsideOrDuringTheCallback) {
  uint32_t base = yv_rtos_test_live_timers();
  Fired f[3]; /* one-shot, stopped, marker */
  yv_timer_t t[3] = {};
  for (int i = 0; i < 3; i++)
    ASSERT_EQ(yv_rtos_timer_create(&t[i], 0, OnFire, &f[i]), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_test_live_timers(), base + 3);
  ASSERT_EQ(yv_rtos_timer_start(t[0], 30, 0), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_timer_start(t[1], 50, 0), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_timer_start(t[2], 120, 0), YV_OSI_SUCCESS);
  EXPECT_TRUE(yv_rtos_timer_is_running(t[2]));
  EXPECT_EQ(yv_rtos_timer_stop(t[1]), YV_OSI_SUCCESS);
  EXPECT_FALSE(yv_rtos_timer_is_running(t[1]));
  ASSERT_TRUE(reaches(f[2].count, 1));
  EXPECT_EQ(f[0].count, 1);
  EXPECT_EQ(f[1].count, 0);
  EXPECT_FALSE(yv_rtos_timer_is_running(t[0]));
  for (yv_timer_t x : t) EXPECT_EQ(yv_rtos_timer_delete(x), YV_OSI_SUCCESS);
  EXPECT_EQ(yv_rtos_test_live_timers(), base);
  EXPECT_EQ(yv_rtos_timer_start(t[0], 1, 0), YV_OSI_INVALID_HANDLE);

  Fired s;
  ASSERT_EQ(yv_rtos_timer_create(&s.self, 0, StopSelf, &s), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_timer_start(s.self, 1, 1), YV_OSI_SUCCESS);
  ASSERT_TRUE(reaches(s.count, 1));
  EXPECT_EQ(s.st, YV_OSI_SUCCESS);
  EXPECT_EQ(yv_rtos_test_live_timers(), base);

  /* The callback blocks posting into this thread's full queue while we stop it. */
  Fired p;
  p.q = MakeQueue(1);
  ASSERT_EQ(Post(p.q, 0, 0), YV_OSI_SUCCESS);
  Take(p.q);
  ASSERT_EQ(Post(p.q, 0, 1), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_timer_create(&p.self, 0, PostFromTimer, &p), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_timer_start(p.self, 1, 0), YV_OSI_SUCCESS);
  ASSERT_TRUE(reaches(p.entered, 1));
  Count stopped{0};
  std::thread stopper([&] {
    yv_rtos_timer_stop(p.self);
    yv_rtos_timer_delete(p.self);
    stopped++;
  });
  EXPECT_TRUE(reaches(stopped, 1)) << "stop/delete waited for the callback";
  EXPECT_EQ(Take(p.q).param1, 1u);
  EXPECT_EQ(Take(p.q).id, 7u);
  EXPECT_TRUE(reaches(p.count, 1));
  stopper.join();
  yv_rtos_queue_delete(p.q);
  EXPECT_EQ(yv_rtos_test_live_timers(), base);
}

// A task's stack is painted: what it touched is what it reports, whatever the host gave it.
void TouchStack(void *arg) {
  volatile uint8_t frame[24 * 1024];
  for (size_t i = 0; i < sizeof(frame); i += 64) frame[i] = static_cast<uint8_t>(i);
  (void)frame[0];
  *static_cast<std::atomic<bool> *>(arg) = true;
  yv_rtos_task_delete(0);
}

TEST(Task, StackHighWaterIsWhatTheTaskTouched) {
  yv_rtos_test_stack_reset();
  EXPECT_EQ(yv_rtos_test_stack_high_water("deep"), 0u);
  EXPECT_GE(yv_rtos_test_stack_given(6144), 6144u);
  std::atomic<bool> ran{false};
  yv_task_t deep = 0, shallow = 0;
  ASSERT_EQ(yv_rtos_task_create(&deep, 6144, 0, "deep", TouchStack, &ran, 0), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_task_create(&shallow, 6144, 0, "shallow", NopEntry, nullptr, 0),
            YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_test_wait_live_tasks(0, 3000), 0);
  EXPECT_TRUE(ran.load());
  uint32_t high = yv_rtos_test_stack_high_water("deep");
  EXPECT_GE(high, 24u * 1024);
  EXPECT_LT(high, yv_rtos_test_stack_given(6144));
  EXPECT_LT(yv_rtos_test_stack_high_water("shallow"), high - 20 * 1024);
  EXPECT_GT(yv_rtos_test_stack_high_water("shallow"), 0u);
}

extern "C" void task_end_plain_entry(void *arg);

// The end of a task crosses frames that cannot be unwound (tests/task_end_plain.c): it jumps,
// so an exception would have ended the process here, on any architecture.
TEST(Task, EndsFromFramesWithoutUnwindTables) {
  int stage[2] = {0, 0};
  yv_task_t task[2] = {0, 0};
  for (int i = 0; i < 2; i++)
    ASSERT_EQ(yv_rtos_task_create(&task[i], 6144, 0, "plain", task_end_plain_entry, &stage[i], 0),
              YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_test_wait_live_tasks(0, 3000), 0);
  EXPECT_EQ(stage[0], 1);
  EXPECT_EQ(stage[1], 1);
  EXPECT_GT(yv_rtos_test_stack_high_water("plain"), 0u);
}

TEST(Task, FailureInjectionGivesDistinctStatuses) {
  std::set<YvOSStatus> seen;
  yv_task_t task = 1;
  yv_queue_t q = 1;
  yv_mutex_t mx = 1;
  yv_timer_t tm = 1;
  yv_rtos_test_fail_task_name("wsclient");
  yv_rtos_test_fail_next(YV_RTOS_FAIL_TASK_CREATE, 0, 1);
  EXPECT_EQ(yv_rtos_task_create(&task, 0, 0, "other", NopEntry, nullptr, 0), YV_OSI_SUCCESS);
  seen.insert(yv_rtos_task_create(&task, 0, 0, "wsclient", NopEntry, nullptr, 0));
  EXPECT_EQ(task, 0u);
  yv_rtos_test_fail_task_name(nullptr);
  yv_rtos_test_fail_next(YV_RTOS_FAIL_QUEUE_CREATE, 1, 1);
  ASSERT_EQ(yv_rtos_queue_create(&q, 4, 1), YV_OSI_SUCCESS);
  yv_rtos_queue_delete(q);
  seen.insert(yv_rtos_queue_create(&q, 4, 1));
  EXPECT_EQ(q, 0u);
  ASSERT_EQ(yv_rtos_queue_create(&q, 4, 1), YV_OSI_SUCCESS);
  yv_rtos_queue_delete(q);
  yv_rtos_test_fail_next(YV_RTOS_FAIL_MUTEX_CREATE, 0, 1);
  seen.insert(yv_rtos_mutex_create(&mx));
  yv_rtos_test_fail_next(YV_RTOS_FAIL_TIMER_CREATE, 0, 1);
  seen.insert(yv_rtos_timer_create(&tm, 0, OnFire, nullptr));
  EXPECT_EQ(mx | tm, 0u);
  EXPECT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen.count(YV_OSI_SUCCESS), 0u);
  EXPECT_EQ(yv_rtos_test_wait_live_tasks(0, 3000), 0);
}

// What a socket carried and how long it was quiet come from the IP stack, or are -1 where it
// cannot tell (an emulator answers TCP_INFO with a few bytes): never a figure it did not give.
TEST(Net, SocketCountsAreTheStacksOrNone) {
  ywst::TcpPair p;
  ASSERT_TRUE(p.open());
  ASSERT_TRUE(p.carry(300));
  uint64_t sent[2] = {7, 7}, received[2] = {7, 7};
  int rc[2] = {yv_socket_bytes(p.client, &sent[0], &received[0]),
               yv_socket_bytes(p.server, &sent[1], &received[1])};
  int64_t quiet = yv_socket_quiet_ms(p.server);
  if (ywst::stack_counts_bytes()) {
    EXPECT_EQ(rc[0], 0);
    EXPECT_EQ(rc[1], 0);
    EXPECT_GE(sent[0], 300u);
    EXPECT_LT(sent[0], 600u);
    EXPECT_EQ(received[0], 0u);
    EXPECT_EQ(sent[1], 0u);
    EXPECT_EQ(received[1], 300u);
  } else {
    EXPECT_EQ(rc[0], -1);
    EXPECT_EQ(rc[1], -1);
  }
  if (ywst::tcp_info_length() >= offsetof(tcp_info, tcpi_last_data_recv) + sizeof(uint32_t)) {
    EXPECT_GE(quiet, 0);
    EXPECT_LT(quiet, 10000);
  } else {
    EXPECT_EQ(quiet, -1) << "answer of " << ywst::tcp_info_length() << " bytes";
  }
  EXPECT_EQ(yv_socket_bytes(-1, &sent[0], &received[0]), -1);
  EXPECT_EQ(yv_socket_quiet_ms(-1), -1);
}

TEST(Trace, SinkGetsFormattedLinesAndNothingAfterRemoval) {
  Capture cap;
  yv_trace_set_sink(CaptureSink, &cap);
  EXPECT_TRUE(yv_trace_enabled());
  osiTracePrintf(YV_TRACE_TAG, "client %d state %s\n", 2, "open");
  osiTracePrintf(YV_TRACE_TAG, "%s", std::string(2000, 'x').c_str());
  std::atomic<bool> stop{false};
  Count loops{0};
  std::thread tracer([&] {
    for (; !stop; loops++) osiTracePrintf(YV_TRACE_TAG, "tick");
  });
  ASSERT_TRUE(reaches(cap.seen, 10));
  yv_trace_set_sink(nullptr, nullptr);
  cap.removed = true;
  EXPECT_TRUE(reaches(loops, loops + 100));
  stop = true;
  tracer.join();
  EXPECT_EQ(cap.after_removal, 0);
  std::lock_guard<std::mutex> lk(cap.mu);
  EXPECT_EQ(cap.lines[0], "client 2 state open");
  EXPECT_GT(cap.lines[1].size(), 100u);
  EXPECT_LT(cap.lines[1].size(), 2000u);
}

TEST(Mem, FailHookAndByteCountersCoverTheLibrarysBlocks) {
  struct {
    size_t fail_size = 777;
    std::string reason;
  } ctl;
  yv_mem_set_fail_hook(
      [](size_t size, const char *reason, void *user) {
        auto *h = static_cast<decltype(ctl) *>(user);
        if (size == h->fail_size) h->reason = reason ? reason : "";
        return size == h->fail_size ? 1 : 0;
      },
      &ctl);
  EXPECT_EQ(yv_mem_alloc(777), nullptr);
  EXPECT_EQ(yv_mem_chunk_alloc(777), nullptr);
  size_t base = yv_mem_bytes_in_use();
  yv_mem_reset_peak();
  auto *p = static_cast<unsigned char *>(yv_mem_alloc(1000));
  void *c = yv_mem_chunk_alloc(3000);
  ASSERT_TRUE(p && c);
  EXPECT_EQ(p[0] | p[999], 0);
  EXPECT_GE(yv_mem_bytes_in_use(), base + 4000);
  yv_mem_free(p);
  yv_mem_chunk_free(c);
  EXPECT_EQ(yv_mem_bytes_in_use(), base);
  EXPECT_GE(yv_mem_peak_bytes(), base + 4000);
  yv_mem_install_lws_allocator();
  yv_mem_install_lws_allocator();
  ctl.fail_size = 555;
  EXPECT_EQ(lws_realloc(nullptr, 555, "probe"), nullptr);
  EXPECT_EQ(ctl.reason, "probe");
  void *l = lws_realloc(nullptr, 2000, "probe");
  ASSERT_NE(l, nullptr);
  EXPECT_GE(yv_mem_bytes_in_use(), base + 2000);
  lws_realloc(l, 0, "lws_free");
  EXPECT_EQ(yv_mem_bytes_in_use(), base);
  yv_mem_set_fail_hook(nullptr, nullptr);
}

/* A repeated request hands the deactivation answer to its own callback. */
TEST(DataCall, AnsweredFromLayerThreadDeactivationUsesLatestCallback) {
  yv_dc_ctl_reset();
  Answers a, b;
  ASSERT_EQ(yv_datacall_pdp_active(0, 1, OnDataCall, &a), 0u);
  ASSERT_TRUE(reaches(a.n, 1));
  const Answer &x = a.v[0];
  EXPECT_TRUE(x.ind == YAVO_DATACALL_ACT_RSP_IND && x.cid == 1 && x.result);
  EXPECT_NE(x.thread, std::this_thread::get_id());
  EXPECT_EQ(yavo_get_datacall_status(0, 1), YV_DATACALL_ACTIVED);
  EXPECT_EQ(yv_datacall_pdp_active(0, 1, OnDataCall, &a), YV_DATACALL_REPEAT_ACTIVE_ERR);
  EXPECT_EQ(yv_dc_ctl_deactivate(1), 0);
  ASSERT_TRUE(reaches(a.n, 2));
  EXPECT_EQ(a.v[1].ind, YAVO_DATACALL_DEACT_RSP_IND);
  EXPECT_EQ(yavo_get_datacall_status(0, 1), YV_DATACALL_IDLE);
  yv_dc_ctl_set_active(5, 1); /* active without any callback */
  EXPECT_NE(yv_dc_ctl_deactivate(5), 0);
  yv_dc_ctl_set_active(5, 1);
  EXPECT_EQ(yv_datacall_pdp_active(0, 5, OnDataCall, &b), YV_DATACALL_REPEAT_ACTIVE_ERR);
  EXPECT_EQ(yv_dc_ctl_deactivate(5), 0);
  ASSERT_TRUE(reaches(b.n, 1));
  EXPECT_TRUE(b.v[0].ind == YAVO_DATACALL_DEACT_RSP_IND && b.v[0].cid == 5);
  EXPECT_EQ(a.n, 2);
  EXPECT_EQ(yv_dc_ctl_wait_idle(2000), 0);
}

TEST(SslStore, SetCopiesAndClearRemoves) {
  EXPECT_EQ(yavo_ssl_cfg_get_by_id(2), nullptr);
  std::string ca = "/certs/ca.pem";
  ASSERT_EQ(yavo_ssl_cfg_set(2, ca.c_str(), nullptr, "/certs/key.pem"), 0);
  ca.assign("overwritten!!");
  yv_ssl_config *cfg = yavo_ssl_cfg_get_by_id(2);
  ASSERT_NE(cfg, nullptr);
  EXPECT_STREQ(cfg->ca_cert_path[0], "/certs/ca.pem");
  EXPECT_EQ(cfg->ca_cert_path[1], nullptr);
  EXPECT_EQ(cfg->own_cert_path, nullptr);
  EXPECT_STREQ(cfg->own_key_path, "/certs/key.pem");
  EXPECT_EQ(yavo_ssl_cfg_clear(2), 0);
  EXPECT_EQ(yavo_ssl_cfg_get_by_id(2), nullptr);
  EXPECT_EQ(yavo_ssl_cfg_set(YV_SSL_CTX_NUM, "a", "b", "c"), -1);
}
