// Every open ends exactly once: bearer answers and losses per context, opens from several tasks,
// the connect timeout over the whole open, service start, locks or timers that cannot be made.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ws_test_server.h"
#include "yv_ws_msg.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::RawPeer;
using ywstest::WsServer;

namespace {

constexpr size_t kHeapSlack = 16 * 1024;  // lazily grown library tables

// Opens {client, profile} pairs from one thread each, released together.
std::vector<int> open_together(const std::vector<std::pair<int, int>> &opens) {
  std::vector<int> rc(opens.size(), -1000);
  std::atomic<size_t> ready{0};
  std::vector<std::thread> tasks;
  for (size_t i = 0; i < opens.size(); i++)
    tasks.emplace_back([&, i] {
      for (ready++; ready.load() < opens.size();) std::this_thread::yield();
      yws_open_t o{opens[i].first, opens[i].second, nullptr, 0};
      rc[i] = yv_ws_open_proc(&o);
    });
  for (auto &t : tasks) t.join();
  return rc;
}

// A free slot refuses the state query; an idle one would answer it.
bool slot_free(int client) {
  int v = 0;
  return yv_ws_client_get_opt(static_cast<uint8_t>(client), YWS_CLIENT_GET_CONNSTATE, &v) ==
         YWS_ERR_INVAL_PARM;
}

// Every slot free, only the service task alive, no timer, the heap back.
::testing::AssertionResult all_idle(size_t heap_before) {
  auto fail = [] { return ::testing::AssertionFailure(); };
  if (!settled()) return fail() << "slot or library thread left";
  if (yv_rtos_test_live_tasks() != 1) return fail() << yv_rtos_test_live_tasks() << " tasks";
  if (!queue_drained()) return fail() << "service task does not answer";
  if (yv_rtos_test_live_timers() != 0) return fail() << yv_rtos_test_live_timers() << " timers";
  if (yv_mem_bytes_in_use() > heap_before + kHeapSlack)
    return fail() << "heap grew by " << yv_mem_bytes_in_use() - heap_before;
  return ::testing::AssertionSuccess();
}

bool idle_and_drained() {
  return yv_dc_ctl_wait_idle(5000) == 0 && queue_drained();
}

const struct {
  const char *name;
  yv_dc_act_mode_e mode;
} kActs[] = {{"Answered", YV_DC_ACT_ANSWER_OK},
             {"AnswerFails", YV_DC_ACT_ANSWER_FAIL},
             {"Refused", YV_DC_ACT_REFUSE},
             {"NeverAnswered", YV_DC_ACT_NEVER_ANSWER}};

class TwoContexts : public ::testing::TestWithParam<std::tuple<int, int>> {};
class TimeoutRace : public ::testing::TestWithParam<bool> {};  // true: the timeout first

std::string switching_protocols(const RawPeer::Request &req) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         RawPeer::accept_key(req.header("Sec-WebSocket-Key").value_or("")) + "\r\n\r\n";
}

}  // namespace

// Two profiles on contexts 1 and 5, opened from two tasks at once.
TEST_P(TwoContexts, EachOpenGetsTheOutcomeOfItsOwnContextOnce) {
  const int cids[2] = {1, 5};
  const yv_dc_act_mode_e acts[2] = {kActs[std::get<0>(GetParam())].mode,
                                    kActs[std::get<1>(GetParam())].mode};
  WsServer server;
  size_t heap = yv_mem_bytes_in_use();
  yv_dc_ctl_reset();
  for (int i = 0; i < 2; i++) {
    profile_on(i, server.url("/echo"), cids[i], 0);
    yv_dc_ctl_set_cid_act_mode(cids[i], acts[i]);
  }
  std::vector<int> rc = open_together({{0, 0}, {1, 1}});
  // The answered side ends first; the unanswered one must not hear of it.
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(rc[size_t(i)], acts[i] == YV_DC_ACT_REFUSE ? -1 : 0) << i;
    bool held = acts[i] == YV_DC_ACT_NEVER_ANSWER;
    ASSERT_TRUE(held || Notes::get().wait_count(i, YWS_CB_TYPE_OPEN, 1)) << i;
  }
  ASSERT_TRUE(idle_and_drained());
  // A late failure answer ends a held open; the other client stays as it was.
  for (int i = 0; i < 2; i++) {
    if (acts[i] != YV_DC_ACT_NEVER_ANSWER) continue;
    EXPECT_EQ(yv_ws_get_client_conn_state(static_cast<uint8_t>(i)), YWS_CONN_STA_CONNECTING);
    EXPECT_EQ(Notes::get().count(i, YWS_CB_TYPE_OPEN), 0u) << i;
    yv_dc_ctl_answer_cid(cids[i], 0);
    ASSERT_TRUE(Notes::get().wait_count(i, YWS_CB_TYPE_OPEN, 1)) << i;
  }
  for (int i = 0; i < 2; i++) {
    if (acts[i] != YV_DC_ACT_ANSWER_OK) continue;
    EXPECT_TRUE(echoed(i, "on context " + std::to_string(cids[i])));
    EXPECT_EQ(close_client(i), 0);
  }
  ASSERT_TRUE(idle_and_drained());
  // One OPEN each, its own context's outcome; a CLOSE only after a connection.
  for (int i = 0; i < 2; i++) {
    bool ok = acts[i] == YV_DC_ACT_ANSWER_OK;
    EXPECT_EQ(Notes::get().count(i, YWS_CB_TYPE_OPEN), 1u) << i;
    EXPECT_EQ(last(i, YWS_CB_TYPE_OPEN), ok ? 0 : YWS_ERR_NET_FAIL) << i;
    EXPECT_EQ(Notes::get().count(i, YWS_CB_TYPE_CLOSE), ok ? 1u : 0u) << i;
  }
  EXPECT_TRUE(server.wait_closed(server.total_connections(), kWait));
  EXPECT_TRUE(all_idle(heap));
}

INSTANTIATE_TEST_SUITE_P(Matrix, TwoContexts,
                         ::testing::Combine(::testing::Range(0, 4), ::testing::Range(0, 4)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>> &i) {
                           return std::string(kActs[std::get<0>(i.param)].name) + "_" +
                                  kActs[std::get<1>(i.param)].name;
                         });

// Clients 0 and 2 run on context 1, client 1 on context 5. (An open in its bearer step:
// test_faults.)
TEST(ContextLoss, EndsEveryClientOnThatContextOnceAndNoOther) {
  WsServer server;
  size_t heap = yv_mem_bytes_in_use();
  profile_on(0, server.url("/echo"), 1, 0);
  profile_on(1, server.url("/echo"), 5, 0);
  for (int c : {0, 1, 2}) ASSERT_EQ(open_client(c, c % 2), 0);
  for (int c : {0, 1, 2}) ASSERT_TRUE(echoed(c, "before " + std::to_string(c)));
  ASSERT_EQ(yv_dc_ctl_deactivate(1), 0);
  for (int c : {0, 2}) ASSERT_TRUE(Notes::get().wait_count(c, YWS_CB_TYPE_OPEN, 2));
  EXPECT_TRUE(server.wait_closed(2, kWait));
  ASSERT_TRUE(idle_and_drained());
  for (int c : {0, 2}) EXPECT_EQ(yv_ws_get_client_conn_state(static_cast<uint8_t>(c)), 0);
  EXPECT_TRUE(echoed(1, "after"));
  EXPECT_EQ(yv_rtos_test_wait_live_tasks(2, 5000), 0);  // the service and client 1's loop
  EXPECT_EQ(close_client(1), 0);
  for (int c : {0, 1, 2}) {
    EXPECT_EQ(Notes::get().count(c, YWS_CB_TYPE_CLOSE), c == 1 ? 1u : 0u);
    EXPECT_EQ(Notes::get().count(c, YWS_CB_TYPE_OPEN), c == 1 ? 1u : 2u);
    EXPECT_EQ(last(c, YWS_CB_TYPE_OPEN), c == 1 ? 0 : YWS_ERR_NET_FAIL);
  }
  EXPECT_TRUE(server.wait_closed(3, kWait));
  EXPECT_TRUE(all_idle(heap));
}

// The connect timeout bounds the whole open.
TEST(OpenTimeout, EndsAnUnansweredActivationOrALostBindingOnce) {
  WsServer server;
  size_t heap = yv_mem_bytes_in_use();
  profile_on(0, server.url("/echo"), 3, 1);
  for (bool lost_binding : {false, true}) {
    size_t opens = Notes::get().count(0, YWS_CB_TYPE_OPEN);
    yv_dc_ctl_reset();
    lost_binding ? yv_dc_ctl_fail_bind(1) : yv_dc_ctl_set_act_mode(YV_DC_ACT_NEVER_ANSWER);
    yws_open_t o{0, 0, nullptr, 0};
    ASSERT_EQ(yv_ws_open_proc(&o), 0);
    ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_OPEN, opens + 1));
    EXPECT_EQ(last(0, YWS_CB_TYPE_OPEN), YWS_ERR_TIMEDOUT) << lost_binding;
    // A late answer finds nobody waiting.
    yv_dc_ctl_fail_bind(0);
    yv_dc_ctl_answer_pending(1);
    ASSERT_TRUE(idle_and_drained());
    EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_OPEN), opens + 1);
    EXPECT_EQ(server.total_connections(), 0);
  }
  EXPECT_TRUE(all_idle(heap));
}

// The peer answers the upgrade only when told and the service task is held while the timer
// fires, so both events are queued in the order chosen.
TEST_P(TimeoutRace, GivesExactlyOneOpen) {
  bool timeout_first = GetParam();
  WsServer bystander_server;
  RawPeer::Options po;
  po.answer = RawPeer::Answer::kCustom;  // nothing until send_raw
  po.echo = true;
  RawPeer peer(po);
  size_t heap = yv_mem_bytes_in_use();
  profile_on(2, bystander_server.url("/echo"), 1, 0);
  ASSERT_EQ(open_client(2, 2), 0);
  profile_on(0, peer.url("/"), 1, 1);
  ASSERT_TRUE(queue_drained());  // the bystander's establishment is behind us
  queue_probe::reset();
  yws_open_t o{0, 0, nullptr, 0};
  ASSERT_EQ(yv_ws_open_proc(&o), 0);
  ASSERT_TRUE(peer.wait_handshake(kWait));
  ASSERT_EQ(yv_rtos_test_live_timers(), 1u);  // the connect timer: the bystander has no keepalive
  {
    ServiceHold hold(2, "hold");
    ASSERT_EQ(write_bytes(2, "hold"), YWS_OK);
    ASSERT_TRUE(hold.wait_held());
    // The loop posts the establishment right after its callback; the timer is most of a second
    // away by then.
    uint32_t first =
        timeout_first ? YWS_MSG_TYPE_OPEN_TIMEDOUT : YWS_MSG_TYPE_LWS_CLIENT_ESTABLISHED;
    ASSERT_TRUE(!timeout_first || queue_probe::wait_posted(first, 1));
    peer.send_raw(switching_protocols(*peer.last_request()));
    ASSERT_TRUE(queue_probe::wait_posted(first, 1));
    ASSERT_TRUE(queue_probe::wait_posted(YWS_MSG_TYPE_OPEN_TIMEDOUT, 1));
  }
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_OPEN, 1));
  EXPECT_EQ(last(0, YWS_CB_TYPE_OPEN), timeout_first ? YWS_ERR_TIMEDOUT : 0);
  EXPECT_TRUE(timeout_first ? peer.wait_disconnected(kWait) : echoed(0, "won the race"));
  EXPECT_EQ(timeout_first ? 0 : close_client(0), 0);
  EXPECT_TRUE(eventually([] { return yv_ws_get_client_conn_state(0) == 0; }));
  ASSERT_TRUE(queue_drained());
  EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_OPEN), 1u);
  // Both were handled in the order chosen (a late establishment may not come at all).
  std::vector<uint32_t> h = queue_probe::handled();
  auto timeout_at = std::find(h.begin(), h.end(), YWS_MSG_TYPE_OPEN_TIMEDOUT);
  ASSERT_NE(timeout_at, h.end());
  EXPECT_EQ(timeout_at < std::find(h.begin(), h.end(), YWS_MSG_TYPE_LWS_CLIENT_ESTABLISHED),
            timeout_first);
  EXPECT_TRUE(echoed(2, "bystander"));
  EXPECT_EQ(close_client(2), 0);
  EXPECT_TRUE(bystander_server.wait_closed(1, kWait));
  EXPECT_TRUE(all_idle(heap));
}

INSTANTIATE_TEST_SUITE_P(Order, TimeoutRace, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &i) {
                           return i.param ? "TimeoutQueuedFirst" : "EstablishmentQueuedFirst";
                         });

// Two first opens from two tasks create one service; opens right after a deinit always start it.
TEST(ServiceStart, FirstOpensAndOpensAfterDeinitHaveExactlyOneService) {
  WsServer server;
  profile_on(0, server.url("/echo"), 1, 5);
  profile_on(1, server.url("/echo"), 1, 5);
  // No service yet: a read is answered as before one exists (*size untouched).
  int32_t n = 5;
  ASSERT_EQ(yv_ws_read_proc(0, nullptr, &n, false), YWS_ERR_GENERIC);
  ASSERT_EQ(n, 5);
  ASSERT_EQ(open_together({{0, 0}, {1, 1}}), std::vector<int>({0, 0}));
  for (int c : {0, 1}) {
    ASSERT_TRUE(Notes::get().wait_count(c, YWS_CB_TYPE_OPEN, 1));
    EXPECT_EQ(last(c, YWS_CB_TYPE_OPEN), 0);
    EXPECT_TRUE(echoed(c, "one service"));
  }
  EXPECT_EQ(yv_rtos_test_live_tasks(), 3u);  // the service and two library threads
  for (int c : {0, 1}) EXPECT_EQ(close_client(c), 0);
  size_t heap = yv_mem_bytes_in_use();
  for (int i = 0; i < 20; i++) {
    yv_ws_service_deinit(0, 0);
    ASSERT_EQ(open_client(0, 0), 0) << "round " << i;
    ASSERT_EQ(close_client(0), 0) << "round " << i;
  }
  EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_OPEN), 21u);
  EXPECT_TRUE(server.wait_closed(22, kWait));
  EXPECT_TRUE(all_idle(heap));  // exactly one service task
}

// The service lock is the first creation of the first open, the record's three locks follow;
// each failure fails its open alone. So does the connect timer.
TEST(Locks, FailedCreationFailsTheOpenAndALaterOpenWorks) {
  WsServer server;
  profile_on(0, server.url("/echo"), 1, 5);
  size_t heap = yv_mem_bytes_in_use();
  yws_open_t o{0, 0, nullptr, 0};
  for (uint32_t point = 0; point < 4; point++) {
    yv_rtos_test_fail_next(YV_RTOS_FAIL_MUTEX_CREATE, point == 0 ? 0 : point - 1, 1);
    EXPECT_EQ(yv_ws_open_proc(&o), YWS_ERR_NO_MEM) << point;
    EXPECT_TRUE(slot_free(0)) << point;
    if (point == 0) {
      // Nothing may run under a missing lock: the next open makes the service lock again before
      // the record's three, so its fourth creation is the record's last.
      yv_rtos_test_fail_next(YV_RTOS_FAIL_MUTEX_CREATE, 3, 1);
      EXPECT_EQ(yv_ws_open_proc(&o), YWS_ERR_NO_MEM);
      EXPECT_TRUE(slot_free(0));
    }
    EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_OPEN), point) << point;
    EXPECT_EQ(open_client(0, 0), 0) << point;
    EXPECT_TRUE(echoed(0, "locked " + std::to_string(point)));
    EXPECT_EQ(close_client(0), 0);
    EXPECT_TRUE(server.wait_closed(static_cast<int>(point) + 1, kWait));
  }
  // The connect timer is made at the open too: without it the open would be unbounded.
  yv_rtos_test_fail_next(YV_RTOS_FAIL_TIMER_CREATE, 0, 1);
  EXPECT_LT(yv_ws_open_proc(&o), 0);
  EXPECT_TRUE(slot_free(0));
  EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_OPEN), 4u);
  EXPECT_TRUE(all_idle(heap));
}
