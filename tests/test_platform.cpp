#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libwebsockets.h>
#include <pthread.h>

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
#include "yv_rtos.h"
#include "yv_rtos_test.h"
#include "yv_ssl_store_ctl.h"
#include "yws_test_util.h"

using Clock = std::chrono::steady_clock;

namespace {

/* A count that can be awaited with a bound. */
struct Counter {
  std::atomic<int> n{0};
  void Add() { n++; }
  bool WaitAtLeast(int k) {
    return ywst::eventually([&] { return n >= k; }, std::chrono::seconds(3));
  }
  int Get() { return n; }
};

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

long MsSince(Clock::time_point t0) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

struct Fired {
  Counter count, entered;
  std::atomic<long> first_ms{-1};
  Clock::time_point t0 = Clock::now();
  yv_timer_t self = 0;
  yv_queue_t q = 0;
  YvOSStatus st = 1;
};

void OnFire(void *arg) {
  auto *f = static_cast<Fired *>(arg);
  long none = -1;
  f->first_ms.compare_exchange_strong(none, MsSince(f->t0));
  f->count.Add();
}

yv_timer_t MakeTimer(Fired *f) {
  yv_timer_t t = 0;
  EXPECT_EQ(yv_rtos_timer_create(&t, 0, OnFire, f), YV_OSI_SUCCESS);
  return t;
}

void StopSelf(void *arg) {
  auto *s = static_cast<Fired *>(arg);
  YvOSStatus stop = yv_rtos_timer_stop(s->self);
  s->st = stop != YV_OSI_SUCCESS ? stop : yv_rtos_timer_delete(s->self);
  s->count.Add();
}

void PostFromTimer(void *arg) {
  auto *s = static_cast<Fired *>(arg);
  s->entered.Add();
  Post(s->q, 7, 7);
  s->count.Add();
}

struct TaskProbe {
  char name[16] = {};
  bool unwound = false;
  bool returned = false;
};

struct SetOnUnwind {
  bool *flag;
  ~SetOnUnwind() { *flag = true; }
};

void ProbeEntry(void *arg) {
  auto *p = static_cast<TaskProbe *>(arg);
  pthread_getname_np(pthread_self(), p->name, sizeof p->name);
  SetOnUnwind guard{&p->unwound};
  yv_rtos_task_delete(0);
  p->returned = true;
}

void NopEntry(void *) {}

struct Capture {
  std::mutex mu;
  std::vector<std::string> lines;
  std::atomic<bool> removed{false};
  std::atomic<int> after_removal{0};
  Counter seen;
};

void CaptureSink(const char *line, void *user) {
  auto *c = static_cast<Capture *>(user);
  if (c->removed) c->after_removal++;
  {
    std::lock_guard<std::mutex> lk(c->mu);
    c->lines.emplace_back(line);
  }
  c->seen.Add();
}

struct HookCtl {
  size_t fail_size = 0;
  std::string reason;
};

int FailSize(size_t size, const char *reason, void *user) {
  auto *h = static_cast<HookCtl *>(user);
  if (size != h->fail_size) return 0;
  h->reason = reason ? reason : "";
  return 1;
}

struct Answer {
  uint32_t ind;
  int cid;
  bool result;
  void *ref;
  std::thread::id thread;
};

std::mutex g_answers_mu;
std::vector<Answer> g_answers;
Counter *g_answer_count;

void OnDataCall(uint8_t, uint32_t ind, int cid, bool result, void *ref) {
  {
    std::lock_guard<std::mutex> lk(g_answers_mu);
    g_answers.push_back({ind, cid, result, ref, std::this_thread::get_id()});
  }
  g_answer_count->Add();
}

class DataCall : public ::testing::Test {
 protected:
  void SetUp() override {
    yv_dc_ctl_reset();
    std::lock_guard<std::mutex> lk(g_answers_mu);
    g_answers.clear();
    g_answer_count = &count_;
  }
  void TearDown() override { EXPECT_EQ(yv_dc_ctl_wait_idle(2000), 0); }
  Answer At(size_t i) {
    std::lock_guard<std::mutex> lk(g_answers_mu);
    return g_answers.at(i);
  }
  Counter count_;
  int ref_ = 0;
};

}  // namespace

TEST(Queue, ConcurrentPostersKeepTheirOwnOrder) {
  yv_queue_t q = MakeQueue(8);
  constexpr uint32_t kPosters = 4, kEach = 500;
  std::vector<std::thread> posters;
  for (uint32_t p = 0; p < kPosters; p++)
    posters.emplace_back([=] {
      for (uint32_t i = 0; i < kEach; i++) ASSERT_EQ(Post(q, p, i), YV_OSI_SUCCESS);
    });
  std::vector<uint32_t> next(kPosters, 0);
  for (uint32_t n = 0; n < kPosters * kEach; n++) {
    yv_event_t ev = Take(q);
    ASSERT_LT(ev.id, kPosters);
    ASSERT_EQ(ev.param1, next[ev.id]++) << "poster " << ev.id;
  }
  for (auto &t : posters) t.join();
  yv_rtos_queue_delete(q);
}

TEST(Queue, PosterBlocksWhileFullUntilConsumerTakes) {
  yv_queue_t q = MakeQueue(8);
  for (uint32_t i = 0; i < 8; i++) ASSERT_EQ(Post(q, 0, i), YV_OSI_SUCCESS);
  auto t0 = Clock::now();
  YvOSStatus timed = YV_OSI_SUCCESS;
  std::thread([&] { timed = Post(q, 1, 0, 50); }).join();
  EXPECT_EQ(timed, YV_OSI_QUEUE_TIMEOUT);
  EXPECT_GE(MsSince(t0), 50);

  Counter started, done;
  std::thread poster([&] {
    started.Add();
    EXPECT_EQ(Post(q, 0, 8), YV_OSI_SUCCESS);
    done.Add();
  });
  ASSERT_TRUE(started.WaitAtLeast(1));
  EXPECT_EQ(done.Get(), 0);
  EXPECT_EQ(Take(q).param1, 0u);
  EXPECT_TRUE(done.WaitAtLeast(1));
  poster.join();
  for (uint32_t i = 1; i <= 8; i++) EXPECT_EQ(Take(q).param1, i);
  yv_rtos_queue_delete(q);
}

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
  Counter started, finished;
  std::thread poster([&] {
    started.Add();
    poster_st = Post(full, 0, 1);
    finished.Add();
  });
  std::thread waiter([&] {
    yv_event_t ev;
    started.Add();
    waiter_st = yv_rtos_queue_wait(empty, &ev, sizeof ev, YV_WAIT_FOREVER);
    finished.Add();
  });
  ASSERT_TRUE(started.WaitAtLeast(2));
  EXPECT_EQ(yv_rtos_queue_delete(full), YV_OSI_SUCCESS);
  EXPECT_EQ(yv_rtos_queue_delete(empty), YV_OSI_SUCCESS);
  ASSERT_TRUE(finished.WaitAtLeast(2)); /* aborts on joinable threads rather than hang */
  poster.join();
  waiter.join();
  EXPECT_EQ(poster_st.load(), YV_OSI_QUEUE_DELETED);
  EXPECT_EQ(waiter_st.load(), YV_OSI_QUEUE_DELETED);

  yv_event_t ev;
  EXPECT_EQ(Post(full, 0, 2), YV_OSI_QUEUE_DELETED);
  EXPECT_EQ(yv_rtos_queue_wait(full, &ev, sizeof ev, 0), YV_OSI_QUEUE_DELETED);
  EXPECT_EQ(yv_rtos_queue_delete(full), YV_OSI_QUEUE_DELETED);
  yv_queue_t fresh = MakeQueue(2);
  EXPECT_EQ(yv_rtos_queue_release(fresh, sizeof ev - 1, &ev, 0), YV_OSI_INVALID_PARAM);
  yv_rtos_queue_delete(fresh);
}

/* The single timer thread fires in deadline order, so a later marker bounds earlier timers. */
TEST(Timer, OneShotFiresOnceStopPreventsCyclicRepeats) {
  uint32_t base = yv_rtos_test_live_timers();
  Fired once, stopped, cyclic, marker;
  yv_timer_t a = MakeTimer(&once), b = MakeTimer(&stopped), c = MakeTimer(&cyclic),
             m = MakeTimer(&marker);
  ASSERT_EQ(yv_rtos_test_live_timers(), base + 4);
  ASSERT_EQ(yv_rtos_timer_start(a, 30, 0), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_timer_start(b, 50, 0), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_timer_start(c, 5, 1), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_timer_start(m, 10000, 0), YV_OSI_SUCCESS);
  EXPECT_TRUE(yv_rtos_timer_is_running(m));
  EXPECT_EQ(yv_rtos_timer_stop(b), YV_OSI_SUCCESS);
  EXPECT_FALSE(yv_rtos_timer_is_running(b));
  ASSERT_EQ(yv_rtos_timer_start(m, 120, 0), YV_OSI_SUCCESS); /* re-arms earlier */

  ASSERT_TRUE(marker.count.WaitAtLeast(1));
  EXPECT_EQ(once.count.Get(), 1);
  EXPECT_GE(once.first_ms.load(), 30);
  EXPECT_LT(once.first_ms.load(), 2000);
  EXPECT_EQ(stopped.count.Get(), 0);
  EXPECT_FALSE(yv_rtos_timer_is_running(a));
  EXPECT_GE(cyclic.count.Get(), 2);
  EXPECT_TRUE(yv_rtos_timer_is_running(c));
  for (yv_timer_t t : {a, b, c, m}) EXPECT_EQ(yv_rtos_timer_delete(t), YV_OSI_SUCCESS);
  EXPECT_EQ(yv_rtos_test_live_timers(), base);
  EXPECT_EQ(yv_rtos_timer_start(a, 1, 0), YV_OSI_INVALID_HANDLE);
}

TEST(Timer, StopAndDeleteInsideOrDuringCallback) {
  uint32_t base = yv_rtos_test_live_timers();
  Fired s;
  ASSERT_EQ(yv_rtos_timer_create(&s.self, 0, StopSelf, &s), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_timer_start(s.self, 1, 1), YV_OSI_SUCCESS);
  ASSERT_TRUE(s.count.WaitAtLeast(1));
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
  ASSERT_TRUE(p.entered.WaitAtLeast(1));
  Counter stopped;
  std::thread stopper([&] {
    yv_rtos_timer_stop(p.self);
    yv_rtos_timer_delete(p.self);
    stopped.Add();
  });
  EXPECT_TRUE(stopped.WaitAtLeast(1)) << "stop/delete waited for the callback";
  EXPECT_EQ(Take(p.q).param1, 1u);
  EXPECT_EQ(Take(p.q).id, 7u);
  EXPECT_TRUE(p.count.WaitAtLeast(1));
  stopper.join();
  yv_rtos_queue_delete(p.q);
}

TEST(Task, NamedThreadEndsThroughTaskDelete) {
  uint32_t base = yv_rtos_test_live_tasks();
  TaskProbe probe;
  yv_task_t task = 0;
  ASSERT_EQ(yv_rtos_task_create(&task, 4096, APP_PRIORITY_NORMAL, "wsclient_long_name", ProbeEntry,
                                &probe, 8),
            YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_test_wait_live_tasks(base, 3000), 0);
  EXPECT_STREQ(probe.name, "wsclient_long_n");
  EXPECT_TRUE(probe.unwound);
  EXPECT_FALSE(probe.returned);
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

TEST(Task, MutexLockTimesOutWhileHeldElsewhere) {
  yv_mutex_t mx = 0;
  ASSERT_EQ(yv_rtos_mutex_create(&mx), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_mutex_lock(mx, YV_WAIT_FOREVER), YV_OSI_SUCCESS);
  YvOSStatus held = 0, freed = 1;
  std::thread([&] { held = yv_rtos_mutex_lock(mx, 20); }).join();
  EXPECT_EQ(yv_rtos_mutex_unlock(mx), YV_OSI_SUCCESS);
  std::thread([&] {
    freed = yv_rtos_mutex_lock(mx, 20);
    if (freed == YV_OSI_SUCCESS) freed = yv_rtos_mutex_unlock(mx);
  }).join();
  EXPECT_NE(held, YV_OSI_SUCCESS);
  EXPECT_EQ(freed, YV_OSI_SUCCESS);
  EXPECT_EQ(yv_rtos_mutex_delete(mx), YV_OSI_SUCCESS);
}

TEST(Trace, SinkGetsFormattedLinesAndNothingAfterRemoval) {
  Capture cap;
  yv_trace_set_sink(CaptureSink, &cap);
  EXPECT_TRUE(yv_trace_enabled());
  osiTracePrintf(YV_TRACE_TAG, "client %d state %s\n", 2, "open");
  osiTracePrintf(YV_TRACE_TAG, "%s", std::string(2000, 'x').c_str());
  std::atomic<bool> stop{false};
  Counter loops;
  std::thread tracer([&] {
    while (!stop) {
      osiTracePrintf(YV_TRACE_TAG, "tick");
      loops.Add();
    }
  });
  ASSERT_TRUE(cap.seen.WaitAtLeast(10));
  yv_trace_set_sink(nullptr, nullptr);
  cap.removed = true;
  EXPECT_TRUE(loops.WaitAtLeast(loops.Get() + 100));
  stop = true;
  tracer.join();
  EXPECT_EQ(cap.after_removal.load(), 0);
  std::lock_guard<std::mutex> lk(cap.mu);
  EXPECT_EQ(cap.lines[0], "client 2 state open");
  EXPECT_GT(cap.lines[1].size(), 100u);
  EXPECT_LT(cap.lines[1].size(), 2000u);
}

TEST(Mem, FailHookAndByteCounters) {
  HookCtl ctl{777, ""};
  yv_mem_set_fail_hook(FailSize, &ctl);
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
  p = static_cast<unsigned char *>(yv_mem_alloc(500));
  ASSERT_TRUE(l && p);
  EXPECT_GE(yv_mem_bytes_in_use(), base + 2500);
  yv_mem_free(p);
  lws_realloc(l, 0, "lws_free");
  EXPECT_EQ(yv_mem_bytes_in_use(), base);
  yv_mem_set_fail_hook(nullptr, nullptr);
}

TEST_F(DataCall, ActivationAnsweredFromLayerThreadThenDeactivated) {
  yv_data_call_info_s info;
  EXPECT_NE(yv_get_data_call_info(0, 1, &info), 0);
  ASSERT_EQ(yv_datacall_pdp_active(0, 1, OnDataCall, &ref_), 0u);
  ASSERT_TRUE(count_.WaitAtLeast(1));
  Answer a = At(0);
  EXPECT_EQ(a.ind, YAVO_DATACALL_ACT_RSP_IND);
  EXPECT_TRUE(a.cid == 1 && a.result && a.ref == &ref_);
  EXPECT_NE(a.thread, std::this_thread::get_id());
  EXPECT_EQ(yavo_get_datacall_status(0, 1), YV_DATACALL_ACTIVED);
  EXPECT_EQ(yv_datacall_pdp_active(0, 1, OnDataCall, &ref_), YV_DATACALL_REPEAT_ACTIVE_ERR);
  EXPECT_EQ(yv_dc_ctl_activation_requests(), 2u);

  ASSERT_EQ(yv_get_data_call_info(0, 1, &info), 0);
  char text[INET_ADDRSTRLEN];
  ASSERT_NE(lwip_inet_ntop(AF_INET, &info.v4.addr.ip, text, sizeof text), nullptr);
  EXPECT_STREQ(text, "127.0.0.1");

  EXPECT_EQ(yv_dc_ctl_deactivate(1), 0);
  ASSERT_TRUE(count_.WaitAtLeast(2));
  EXPECT_EQ(At(1).ind, YAVO_DATACALL_DEACT_RSP_IND);
  EXPECT_EQ(yavo_get_datacall_status(0, 1), YV_DATACALL_IDLE);
  EXPECT_NE(yv_get_data_call_info(0, 1, &info), 0);
}

TEST_F(DataCall, RefusedFailedNeverAnsweredAndUnderWay) {
  yv_dc_ctl_set_act_mode(YV_DC_ACT_REFUSE);
  uint32_t r = yv_datacall_pdp_active(0, 1, OnDataCall, &ref_);
  EXPECT_TRUE(r != 0 && r != YV_DATACALL_REPEAT_ACTIVE_ERR);
  EXPECT_EQ(yavo_get_datacall_status(0, 1), YV_DATACALL_IDLE);
  yv_dc_ctl_set_act_mode(YV_DC_ACT_ANSWER_FAIL);
  ASSERT_EQ(yv_datacall_pdp_active(0, 2, OnDataCall, &ref_), 0u);
  ASSERT_TRUE(count_.WaitAtLeast(1));
  EXPECT_FALSE(At(0).result);
  EXPECT_EQ(yavo_get_datacall_status(0, 2), YV_DATACALL_IDLE);

  yv_dc_ctl_set_act_mode(YV_DC_ACT_NEVER_ANSWER);
  ASSERT_EQ(yv_datacall_pdp_active(0, 3, OnDataCall, &ref_), 0u);
  yv_dc_ctl_set_act_mode(YV_DC_ACT_UNDER_WAY);
  EXPECT_EQ(yv_datacall_pdp_active(0, 4, OnDataCall, &ref_), YV_DATACALL_REPEAT_ACTIVE_ERR);
  ASSERT_EQ(yv_dc_ctl_wait_idle(2000), 0);
  EXPECT_EQ(count_.Get(), 1);
  EXPECT_EQ(yavo_get_datacall_status(0, 3), YV_DATACALL_ACTIVING);
  EXPECT_EQ(yavo_get_datacall_status(0, 4), YV_DATACALL_ACTIVING);

  yv_dc_ctl_answer_pending(1);
  ASSERT_TRUE(count_.WaitAtLeast(3));
  EXPECT_EQ((std::set<int>{At(1).cid, At(2).cid}), (std::set<int>{3, 4}));
  EXPECT_TRUE(At(1).result && At(2).result);
  EXPECT_EQ(yavo_get_datacall_status(0, 4), YV_DATACALL_ACTIVED);
}

TEST_F(DataCall, DeactivationUsesCallbackOfLatestRequest) {
  ASSERT_EQ(yv_datacall_pdp_active(0, 5, OnDataCall, &ref_), 0u);
  ASSERT_TRUE(count_.WaitAtLeast(1));
  yv_dc_ctl_set_active(5, 1); /* forgets the callback */
  EXPECT_NE(yv_dc_ctl_deactivate(5), 0);
  yv_dc_ctl_set_active(5, 1);
  EXPECT_EQ(yv_datacall_pdp_active(0, 5, OnDataCall, &ref_), YV_DATACALL_REPEAT_ACTIVE_ERR);
  EXPECT_EQ(yv_dc_ctl_deactivate(5), 0);
  ASSERT_TRUE(count_.WaitAtLeast(2));
  EXPECT_EQ(At(1).ind, YAVO_DATACALL_DEACT_RSP_IND);
  EXPECT_EQ(At(1).cid, 5);
}

TEST_F(DataCall, RegistrationFailuresAndBind) {
  yv_dc_ctl_fail_registration(2, 20);
  for (int i = 0; i < 2; i++) {
    auto t0 = Clock::now();
    EXPECT_NE(yv_network_register_wait(0, 60), 0);
    EXPECT_GE(MsSince(t0), 20);
  }
  EXPECT_EQ(yv_network_register_wait(0, 60), 0);
  EXPECT_EQ(yv_dc_ctl_registration_calls(), 3u);
  uint16_t word = 0;
  ASSERT_EQ(yv_bind_sim_and_profile(1, 3, &word), 0);
  EXPECT_EQ(word, (1u << 8) | 3u);
  yv_dc_ctl_fail_bind(1);
  EXPECT_NE(yv_bind_sim_and_profile(1, 3, &word), 0);
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
