// White-box suite. Service core: event queue and dispatcher, start and stop of the service
// task, and the buffer chains.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>
#include <string>
#include <vector>

#include "yv_rtos_test.h"
#include "child_exec.h"
#include "yws_core.h"
#include "yws_test_util.h"

using namespace ywst;

TEST(ServiceCore, IgnoredEventsChangeNothing) {
  queue_probe::reset();
  ASSERT_EQ(yv_ws_app_start(0, 0), 0);
  size_t base = yv_mem_bytes_in_use();
  // A pong event from outside carries no copy: param2 is never taken for one.
  yv_event_t pong{YWS_MSG_TYPE_LWS_CLIENT_RECEIVE_PONG, 0, 0xDEADBEEF, 5};
  EXPECT_EQ(yv_ws_task_send_message(&pong), 0);
  for (uint32_t id : {0u, 1u, 14u, 20u, 25u, 29u, 77u}) yws_post(id, 0, 0, 0);
  yws_post(200, 0, 0, 0);
  ASSERT_TRUE(queue_probe::wait_handled(200));
  EXPECT_EQ(queue_probe::handled(), (std::vector<uint32_t>{16, 0, 1, 14, 20, 25, 29, 77, 200}));
  EXPECT_EQ(yv_mem_bytes_in_use(), base);
  // Id 1 does not end the task: it still takes and handles the next item.
  EXPECT_TRUE(queue_drained());
  EXPECT_EQ(yv_rtos_test_live_tasks(), 1u);
}

TEST(ServiceCore, DeletedQueueEndsTaskAndNextStartMakesNewOnes) {
  ASSERT_EQ(yv_ws_app_start(0, YWS_SYS_MODE_BUFFERED), 0);
  ASSERT_NE(yws_core_task(), 0u);
  yv_ws_service_deinit(0, 0);
  ASSERT_TRUE(eventually([&] { return yws_core_task() == 0; }));
  ASSERT_EQ(yv_rtos_test_wait_live_tasks(0, 5000), 0);
  yv_ws_service_deinit(0, 0);  // no queue: nothing to do

  ASSERT_EQ(yv_ws_app_start(1, 0), 0);
  EXPECT_NE(yws_core_task(), 0u);
  EXPECT_TRUE(yws_buffered());  // the first start fixed the mode
  queue_probe::reset();
  yws_post(123, 0, 0, 0);
  EXPECT_TRUE(queue_probe::wait_handled(123));
}

TEST(ServiceCore, FailedQueueOrTaskCreationIsReportedAndRetried) {
  yv_rtos_test_fail_next(YV_RTOS_FAIL_QUEUE_CREATE, 0, 1);
  int r = yv_ws_app_start(0, 0);
  EXPECT_NE(r, 0);
  EXPECT_NE(r, YWS_ERR_NO_MEM);
  yv_rtos_test_fail_next(YV_RTOS_FAIL_TASK_CREATE, 0, 1);
  int r2 = yv_ws_app_start(0, 0);
  EXPECT_NE(r2, 0);
  EXPECT_NE(r2, r);  // the platform's own, distinct statuses are passed on
  EXPECT_EQ(yws_core_task(), 0u);
  EXPECT_EQ(yv_ws_app_start(0, 0), 0);
  EXPECT_NE(yws_core_task(), 0u);
  queue_probe::reset();
  yws_post(124, 0, 0, 0);  // the queue made on the retry works
  EXPECT_TRUE(queue_probe::wait_handled(124));
}

// The service task posting to its own full queue must neither block nor
// reorder: a callback on the service task posts 20 events at once.
TEST(ServiceCore, SelfPostsOnFullQueueKeepOrder) {
  queue_probe::reset();
  profile(0, "ftp://127.0.0.1/x");  // the connect step refuses it on the service task
  Notes::get().set_hook([](int, const yws_parm_t *) {
    for (uint32_t i = 0; i < 20; i++) yws_post(300 + i, 0, 0, 0);
  });
  EXPECT_EQ(open_client(0, 0), YWS_ERR_INVAL_URL);
  ASSERT_TRUE(queue_probe::wait_handled(319));
  std::vector<uint32_t> tail;
  for (uint32_t id : queue_probe::handled())
    if (id >= 300 && id < 320) tail.push_back(id);
  ASSERT_EQ(tail.size(), 20u);
  for (uint32_t i = 0; i < 20; i++) EXPECT_EQ(tail[i], 300 + i);
  Notes::get().set_hook(nullptr);
}

TEST(ServiceCore, OpenChecksItsRequest) {
  EXPECT_EQ(yv_ws_open_proc(nullptr), YWS_ERR_GENERIC);
  yws_open_t bad{3, 0, nullptr, 0};
  EXPECT_EQ(yv_ws_open_proc(&bad), YWS_ERR_INVAL_PARM);
  bad.client_id = -1;
  EXPECT_EQ(yv_ws_open_proc(&bad), YWS_ERR_INVAL_PARM);
  yws_open_t no_url{0, 1, nullptr, 0};
  EXPECT_EQ(yv_ws_open_proc(&no_url), YWS_ERR_INVAL_URL);
  EXPECT_EQ(yv_ws_get_client_conn_state(0), 0);
}

// ---- buffer chains ----

class Chain : public ::testing::Test {
 protected:
  void SetUp() override { yws_chain_init(&head_); }
  void TearDown() override {
    yv_mem_set_fail_hook(nullptr, nullptr);
    yws_chain_release(&head_);
  }
  std::vector<int32_t> sizes() {
    std::vector<int32_t> v;
    for (list_head *p = head_.q.next; p != &head_.q; p = p->next)
      v.push_back(reinterpret_cast<ws_buffer_t *>(p)->data.valid_size);
    return v;
  }
  std::string pull(int32_t n) {
    std::string out(static_cast<size_t>(n), '\0');
    yws_chain_pull(&head_, &out[0], &n);
    out.resize(static_cast<size_t>(n));
    return out;
  }
  yws_chain_t head_;
};

std::string pattern(size_t n, size_t offset = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i + offset) % 251);
  return s;
}

TEST_F(Chain, AppendSplitsIntoChunksAndRemoveReturnsTheSameBytes) {
  std::string data = pattern(5000);
  ASSERT_EQ(yws_chain_append(&head_, data.data(), 5000), 0);
  EXPECT_EQ(sizes(), (std::vector<int32_t>{2048, 2048, 904}));
  EXPECT_EQ(pull(100), data.substr(0, 100));
  EXPECT_EQ(pull(2000), data.substr(100, 2000));  // across the first boundary
  EXPECT_EQ(sizes(), (std::vector<int32_t>{1996, 904}));
  EXPECT_EQ(pull(1996), data.substr(2100, 1996));  // ends exactly at a boundary
  EXPECT_EQ(sizes(), (std::vector<int32_t>{904}));
  EXPECT_EQ(pull(10000), data.substr(4096));  // more than held: all of it
  EXPECT_TRUE(yws_chain_empty(&head_));
  EXPECT_EQ(pull(10), "");
}

TEST_F(Chain, TopUpOfAPartlyReadChunkKeepsOrder) {
  std::string a = pattern(2048), b = pattern(3000, 2048);
  ASSERT_EQ(yws_chain_append(&head_, a.data(), 1948), 0);
  EXPECT_EQ(pull(1000), a.substr(0, 1000));
  ASSERT_EQ(yws_chain_append(&head_, a.data() + 1948, 100), 0);
  ASSERT_EQ(yws_chain_append(&head_, b.data(), 3000), 0);
  // 1048 left + 1000 free in the ring: the top-up wraps inside the first chunk.
  EXPECT_EQ(sizes(), (std::vector<int32_t>{2048, 2000}));
  std::string all = a.substr(1000) + b;
  EXPECT_EQ(pull(100000), all);
  for (int32_t s : sizes()) EXPECT_GT(s, 0);
}

TEST_F(Chain, EdgeLengths) {
  std::string a = pattern(2049);
  ASSERT_EQ(yws_chain_append(&head_, a.data(), 0), 0);
  EXPECT_TRUE(yws_chain_empty(&head_));
  ASSERT_EQ(yws_chain_append(&head_, nullptr, 10), 0);
  EXPECT_TRUE(yws_chain_empty(&head_));
  ASSERT_EQ(yws_chain_append(&head_, a.data(), 2048), 0);
  ASSERT_EQ(yws_chain_append(&head_, a.data() + 2048, 1), 0);
  EXPECT_EQ(sizes(), (std::vector<int32_t>{2048, 1}));
  int32_t n = 0;
  char buf[4];
  yws_chain_pull(&head_, buf, &n);  // zero request: unchanged
  EXPECT_EQ(n, 0);
  n = 4;
  yws_chain_pull(&head_, nullptr, &n);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(sizes(), (std::vector<int32_t>{2048, 1}));
}

// A stream through a chain that never empties (a writer ahead of the loop) allocates once per
// chunk in flight, not per chunk passed through; once empty the chain holds no heap.
TEST_F(Chain, BusyChainReusesItsChunksAndAnEmptyOneHoldsNothing) {
  size_t base = yv_mem_bytes_in_use();
  int allocs = 0;
  yv_mem_set_fail_hook(
      [](size_t, const char *, void *u) -> int {
        ++*static_cast<int *>(u);
        return 0;
      },
      &allocs);
  std::string a = pattern(2048 * 40);
  std::string got;
  ASSERT_EQ(yws_chain_append(&head_, a.data(), 2048), 0);
  for (int i = 1; i < 40; i++) {
    ASSERT_EQ(yws_chain_append(&head_, a.data() + 2048 * i, 2048), 0);
    got += pull(2048);
  }
  EXPECT_LE(allocs, 3);
  got += pull(2048);
  EXPECT_EQ(got, a);
  EXPECT_TRUE(yws_chain_empty(&head_));
  EXPECT_EQ(yv_mem_bytes_in_use(), base);
}

TEST_F(Chain, AllocationFailureLeavesTheChainAsItWas) {
  std::string a = pattern(6000);
  ASSERT_EQ(yws_chain_append(&head_, a.data(), 1000), 0);
  int calls = 0;
  struct Ctx {
    int *calls;
  } ctx{&calls};
  // Let the first allocation pass and fail the second one.
  yv_mem_set_fail_hook(
      [](size_t, const char *, void *u) -> int { return ++*static_cast<Ctx *>(u)->calls == 2; },
      &ctx);
  EXPECT_NE(yws_chain_append(&head_, a.data() + 1000, 5000), 0);
  yv_mem_set_fail_hook(nullptr, nullptr);
  EXPECT_EQ(sizes(), (std::vector<int32_t>{1000}));
  EXPECT_EQ(pull(100000), a.substr(0, 1000));
}

// The lock-order checker: every test build has it on, and a take out of order ends the
// program at once, naming both locks and the thread.
TEST(LockOrderDeathTest, TakeOutOfOrderAbortsNamingBothLocksAndTheThread) {
  if (!yws_rank_checking()) GTEST_SKIP() << "the checker is off in this build";
  // A user-mode emulator cannot re-execute the test program (the threadsafe style's execv of
  // a foreign binary): there the child is forked as it is.
  GTEST_FLAG_SET(death_test_style, ywstest::under_emulator() ? "fast" : "threadsafe");
  yv_mutex_t a = 0, b = 0;
  ASSERT_EQ(yv_rtos_mutex_create(&a), YV_OSI_SUCCESS);
  ASSERT_EQ(yv_rtos_mutex_create(&b), YV_OSI_SUCCESS);
  {
    // In order: nothing to report, and the ranks are let go in any order.
    yws_mutex_guard s(a, YWS_RANK_SERVICE);
    yws_mutex_guard t(b, YWS_RANK_TX);
  }
  yws_lock(a, YWS_RANK_PROFILE);
  yws_lock(b, YWS_RANK_SERVICE);
  yws_unlock(a, YWS_RANK_PROFILE);
  yws_unlock(b, YWS_RANK_SERVICE);
  EXPECT_DEATH(
      {
        pthread_setname_np(pthread_self(), "lockorder");
        yws_mutex_guard s(a, YWS_RANK_SERVICE);
        yws_mutex_guard p(b, YWS_RANK_PROFILE);
      },
      "task \"lockorder\" takes profile lock \\(rank 3\\) while holding service lock \\(rank 4\\)");
  // A wait without end holding a lock: a post into a full queue under the service lock.
  EXPECT_DEATH(
      {
        yws_mutex_guard s(a, YWS_RANK_SERVICE);
        yws_rank_wait(YWS_RANK_QUEUE);
      },
      "waits on queue-full wait .* while holding service lock");
  // A parked loop is held like its pass: the service lock cannot be taken under it.
  EXPECT_DEATH(
      {
        yws_rank_take(yws_rank_pass(1));
        yws_mutex_guard s(a, YWS_RANK_SERVICE);
      },
      "takes service lock \\(rank 4\\) while holding pass of loop 1");
  yv_rtos_mutex_delete(a);
  yv_rtos_mutex_delete(b);
}
