// White-box suite: client records, the open/close state machine for clients without a library
// thread, the bearer step, and races that only a parked library loop can force.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "ws_test_server.h"
#include "yv_datacall_ctl.h"
#include "yv_rtos_test.h"
#include "yv_datacall.h"
#include "yws_client_part.h"
#include "yws_data_part.h"
#include "yws_loop_impl.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::RawPeer;

namespace {

class Records : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(yv_ws_app_start(0, 0), 0);
    yv_ws_service_init(0, 0);
    profile(0, "ws://127.0.0.1:1/");
  }
  yws_client_t *make() {
    EXPECT_EQ(yws_client_service_new(0, 0), YWS_OK);
    return yws_rec(0);
  }
};

TEST(ReconnectSchedule, DelaysGrowWithinTheirBoundsUpToTheCapAndSpreadAcrossSeeds) {
  uint32_t rng = 12345;
  for (uint32_t n = 1; n <= 40; n++) {
    uint64_t d = std::min<uint64_t>(60000, 1000ull << std::min<uint32_t>(n - 1, 20));
    for (int k = 0; k < 50; k++) {
      uint32_t v = yws_reconn_delay(n, 1000, 60000, &rng);
      ASSERT_GE(v, d / 2) << n;
      ASSERT_LE(v, d) << n;
    }
  }
  // A maximum below the minimum: the minimum counts.
  for (uint32_t n = 1; n <= 5; n++) {
    uint32_t v = yws_reconn_delay(n, 5000, 1000, &rng);
    EXPECT_GE(v, 2500u);
    EXPECT_LE(v, 5000u);
  }
  // The largest settings neither overflow nor leave their bounds.
  for (uint32_t n : {1u, 30u, 255u, 100000u}) {
    uint32_t v = yws_reconn_delay(n, 60000, 3600000, &rng);
    EXPECT_LE(v, 3600000u);
    EXPECT_GE(v, n == 1 ? 30000u : 1800000u);
  }
  // Clients seeded apart do not retry in step: first delays of 100 seeds mostly differ and
  // fill both halves of their range.
  std::set<uint32_t> first;
  int low = 0;
  for (uint32_t seed = 1; seed <= 100; seed++) {
    uint32_t s = seed * 2654435761u;
    uint32_t v = yws_reconn_delay(1, 10000, 60000, &s);
    first.insert(v);
    low += v < 7500;
  }
  EXPECT_GT(first.size(), 90u);
  EXPECT_GT(low, 25);
  EXPECT_LT(low, 75);
  // The count starts over after 30 s, or twice the maximum when that is less.
  EXPECT_EQ(yws_reconn_stable_ms(60000), 30000);
  EXPECT_EQ(yws_reconn_stable_ms(1000), 2000);
}

}  // namespace

TEST_F(Records, CreationMapsProfileValues) {
  struct {
    uint32_t configured;
    int32_t limit;
  } cases[] = {{3072, 3072}, {3071, 10240}, {16384, 16384}, {16385, 10240}, {0, 10240}};
  for (auto c : cases) {
    yws_profile(0)->write.buffer_sz = c.configured;
    yws_profile(0)->read.buffer_sz = c.configured;
    yws_client_t *rec = make();
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->part.loop->write.tx_max_size, c.limit) << c.configured;
    EXPECT_EQ(rec->part.data->rx_max_size, c.limit) << c.configured;
    EXPECT_EQ(yv_ws_get_client_conn_state(0), YWS_CONN_STA_CONNECTING);
    EXPECT_STREQ(rec->part.loop->protocols[0].name, "");
    EXPECT_EQ(rec->part.loop->exts, nullptr);
    EXPECT_TRUE(yws_chain_empty(&rec->part.loop->write.tx_q));
    yws_final_do(0);
    EXPECT_EQ(yws_rec(0), nullptr);
  }
  yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT, "chat");
  yws_client_t *rec = make();
  EXPECT_STREQ(rec->part.loop->protocols[0].name, "");  // not enabled: not sent
  yws_final_do(0);
  yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT_EN, 1);
  yv_ws_cfg_set_opt(0, YWS_CFG_CONN_EXTENSION_EN, 1);
  rec = make();
  EXPECT_STREQ(rec->part.loop->protocols[0].name, "chat");
  EXPECT_NE(rec->part.loop->protocols[0].name, yws_profile(0)->conn.subprot);  // a copy
  ASSERT_NE(rec->part.loop->exts, nullptr);
  EXPECT_EQ(rec->part.loop->exts[0].name, nullptr);
  EXPECT_EQ(yws_client_service_new(0, 0), YWS_ERR_INVAL_PARM);  // slot in use
  EXPECT_EQ(yws_client_service_new(3, 0), YWS_ERR_INVAL_PARM);
  EXPECT_EQ(yws_client_service_new(1, 3), YWS_ERR_INVAL_PARM);
  yws_final_do(0);
}

TEST_F(Records, OpenResultsAndCloseWithoutLibraryThread) {
  // Close of a client that never got a thread: released at once, nothing notified.
  make();
  yv_event_t e = {YWS_MSG_TYPE_TO_CLOSE_CLIENT, 0, 0, 0};
  yws_close_proc(&e);
  EXPECT_EQ(yws_rec(0), nullptr);
  // Open failure: released and notified with the event's error.
  make();
  e = {YWS_MSG_TYPE_LWS_CLIENT_CONNECTION_ERROR, 0, YWS_ERR_NET_FAIL, YWS_CB_TYPE_OPEN};
  yws_client_open_cnf(&e);
  EXPECT_EQ(yws_rec(0), nullptr);
  EXPECT_EQ(last(0, YWS_CB_TYPE_OPEN), YWS_ERR_NET_FAIL);
  EXPECT_EQ(Notes::get().all().size(), 1u);
  // Open success; a repeat changes nothing. (Ping timers: test_connection, test_liveness.)
  make();
  yws_client_open_connected(0);
  EXPECT_EQ(yv_ws_get_client_conn_state(0), YWS_CONN_STA_CONNECTED);
  yws_client_open_connected(0);
  EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_OPEN), 2u);
  yws_final_do(0);
}

TEST_F(Records, FirstCauseOfACloseWinsAndLateEstablishmentIsNotReported) {
  yws_client_t *rec = make();
  rec->part.loop->thread_started = true;  // a thread "runs": no release yet
  yv_event_t e = {YWS_MSG_TYPE_OPEN_TIMEDOUT, 0, YWS_ERR_TIMEDOUT, YWS_CB_TYPE_OPEN};
  rec->part.client->conn_timer = 0;
  yv_rtos_timer_create(
      &rec->part.client->conn_timer, 0xFFFFFFFFu, [](void *) {}, nullptr);
  yws_client_open_cnf(&e);
  EXPECT_EQ(yv_ws_get_client_conn_state(0), YWS_CONN_STA_CLOSING);
  EXPECT_EQ(Notes::get().all().size(), 0u);  // reported when the thread ends
  yv_event_t later = {YWS_MSG_TYPE_LWS_CLIENT_CLOSED, 0, YWS_ERR_NET_FAIL, 0};
  yws_close_proc(&later);
  EXPECT_EQ(yws_status_read(rec, YWS_STATUS_ERR), YWS_ERR_TIMEDOUT);
  EXPECT_EQ(yv_ws_close_proc(0), YWS_ERR_BUSY);
  yws_client_open_connected(0);  // establishment after the timeout
  EXPECT_EQ(Notes::get().all().size(), 0u);
  EXPECT_EQ(yv_ws_get_client_conn_state(0), YWS_CONN_STA_CLOSING);
  yws_thread_exit_destroy(0, rec->serial, false);
  EXPECT_EQ(yws_rec(0), nullptr);
  EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_OPEN), 1u);
  EXPECT_EQ(last(0, YWS_CB_TYPE_OPEN), YWS_ERR_TIMEDOUT);
  EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_CLOSE), 0u);
}

TEST_F(Records, IdsOutsideTheTablesAreRefused) {
  int v = 0;
  EXPECT_EQ(yv_ws_get_client_conn_state(3), 0);
  EXPECT_EQ(yv_ws_get_client_conn_state(255), 0);
  EXPECT_EQ(yv_ws_client_get_opt(3, YWS_CLIENT_GET_CONNSTATE, &v), YWS_ERR_INVAL_PARM);
  EXPECT_EQ(yv_ws_client_get_opt(0, YWS_CLIENT_GET_CONNSTATE, &v), YWS_ERR_INVAL_PARM);
  for (int id : {3, -1}) EXPECT_EQ(yv_ws_close_proc(id), YWS_ERR_INVAL_PARM);
  yws_parm_t p{0, nullptr, 0, 0};
  EXPECT_EQ(yv_ws_write_proc(3, &p), YWS_ERR_GENERIC);
  yws_client_t *rec = make();
  rec->part.loop->write.tx_total_size = 50;
  rec->part.loop->write.tx_send_size = 20;
  int total = 0, unsent = 0;
  EXPECT_EQ(yv_ws_client_get_opt(0, YWS_CLIENT_GET_UNSENT_SIZE, &total, &unsent), YWS_OK);
  EXPECT_EQ(total, 50);
  EXPECT_EQ(unsent, 30);
  EXPECT_EQ(yv_ws_client_get_opt(0, YWS_CLIENT_RES_MAX, &v), YWS_ERR_INVAL_PARM);
  yws_final_do(0);
}

TEST(PublicClose, NothingToCloseBeforeTheServiceExists) {
  EXPECT_EQ(yv_ws_close_proc(0), 0);
}

// ---- bearer ----

// The connect step refuses this URL, so an OPEN/10 proves the bearer let the open through to it.
static const char *kProbeUrl = "ftp://127.0.0.1/probe";

TEST(Bearer, ActiveContextConnectsWithoutActivation) {
  yv_dc_ctl_set_active(1, 1);
  profile(0, kProbeUrl);
  EXPECT_EQ(open_client(0, 0), YWS_ERR_INVAL_URL);
  EXPECT_EQ(yv_dc_ctl_activation_requests(), 0u);
}

TEST(Bearer, RegistrationIsWaitedForElevenTimesThenTriedAnyway) {
  yv_rtos_test_set_sleep_ms_per_s(1);
  yv_dc_ctl_fail_registration(100, 1);
  profile(0, kProbeUrl);
  EXPECT_EQ(open_client(0, 0), YWS_ERR_INVAL_URL);
  EXPECT_EQ(yv_dc_ctl_registration_calls(), 11u);
  EXPECT_EQ(yv_rtos_test_slept_seconds(), 10u);
}

TEST(Bearer, RefusedActivationReleasesAndNotifiesOnce) {
  yv_dc_ctl_set_act_mode(YV_DC_ACT_REFUSE);
  profile(0, kProbeUrl);
  yws_open_t o{0, 0, nullptr, 0};
  EXPECT_EQ(yv_ws_open_proc(&o), -1);
  EXPECT_EQ(yv_ws_get_client_conn_state(0), 0);
  EXPECT_EQ(last(0, YWS_CB_TYPE_OPEN), YWS_ERR_NET_FAIL);
  // The failure also comes back through the data-call callback: it must not tear down a new open.
  yv_dc_ctl_set_act_mode(YV_DC_ACT_NEVER_ANSWER);
  EXPECT_EQ(yv_ws_open_proc(&o), 0);
  ASSERT_TRUE(yv_dc_ctl_wait_idle(5000) == 0 && queue_drained());
  EXPECT_EQ(yv_ws_get_client_conn_state(0), YWS_CONN_STA_CONNECTING);
  EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_OPEN), 1u);
}

TEST(Bearer, ActStartReportsAddressOrProgress) {
  yv_dc_ctl_set_active(3, 1);
  EXPECT_EQ(yv_ws_act_start(3, 0), 0);
  EXPECT_EQ(yavo_get_datacall_status(0, 3), YV_DATACALL_ACTIVED);  // left as it was
  yv_dc_ctl_set_act_mode(YV_DC_ACT_UNDER_WAY);
  EXPECT_EQ(yv_ws_act_start(4, 0), -2);
  yv_dc_ctl_set_act_mode(YV_DC_ACT_REFUSE);
  EXPECT_EQ(yv_ws_act_start(6, 0), -1);
}

// Opens made while another waits for the bearer each reach their own connect step on its answer.
TEST(Bearer, OneActivationAnswerServesEveryWaitingOpen) {
  yv_dc_ctl_set_act_mode(YV_DC_ACT_NEVER_ANSWER);
  profile(0, kProbeUrl);
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    yws_open_t o{c, 0, nullptr, 0};
    ASSERT_EQ(yv_ws_open_proc(&o), 0) << c;
  }
  yv_dc_ctl_answer_pending(1);
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    ASSERT_TRUE(Notes::get().wait_count(c, YWS_CB_TYPE_OPEN, 1)) << c;
    EXPECT_EQ(last(c, YWS_CB_TYPE_OPEN), YWS_ERR_INVAL_URL) << c;
  }
  EXPECT_TRUE(settled());
}

// Holds a client's loop parked across API calls on purpose, as no service thread may: the
// pass's rank is let go while it is held and taken again before the park ends.
class HeldPark {
 public:
  explicit HeldPark(int client) : client_(client) {
    yws_service_lock lk;
    if (yws_client_t *rec = yws_rec(client)) {
      guard_ = std::make_unique<yws_loop_guard>(rec->part.loop->loop);
      yws_rank_drop(yws_rank_pass(client));
    }
  }
  ~HeldPark() { release(); }
  bool parked() const { return guard_ && guard_->parked(); }
  void release() {
    if (!guard_) return;
    yws_rank_take(yws_rank_pass(client_));
    guard_.reset();
  }

 private:
  int client_;
  std::unique_ptr<yws_loop_guard> guard_;
};

// The loop is kept parked: the user close's frame is still to be sent when the read finds nothing.
TEST(BufferedClose, ReadOfTheEmptyChainLeavesTheClosingHandshakeAlone) {
  RawPeer::Options po;
  po.echo = true;
  RawPeer peer(po);
  profile_on(0, peer.url("/"), 1, 5);
  yv_ws_cfg_set_opt(0, YWS_CFG_CLOSE_WAITTIME, 10);
  ASSERT_EQ(open_client(0, 0, YWS_SYS_MODE_BUFFERED), 0);
  HeldPark parked(0);
  ASSERT_TRUE(parked.parked());
  ASSERT_EQ(yv_ws_close_proc(0), YWS_OK);
  ASSERT_TRUE(queue_drained());
  ASSERT_EQ(yv_ws_get_client_conn_state(0), YWS_CONN_STA_CLOSING);
  char buf[16];
  int32_t n = sizeof(buf);
  EXPECT_EQ(yv_ws_read_proc(0, buf, &n, false), YWS_ERR_NET_FAIL);
  EXPECT_EQ(n, 0);
  ASSERT_TRUE(queue_drained());
  {
    yws_service_lock lk;  // the loop cannot end while parked
    ASSERT_NE(yws_rec(0), nullptr);
    EXPECT_FALSE(yws_rec(0)->part.loop->loop->force_exit.load());
  }
  parked.release();
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_CLOSE, 1));
  EXPECT_EQ(last(0, YWS_CB_TYPE_CLOSE), 0);
  ASSERT_TRUE(peer.wait_close(kWait));
  EXPECT_EQ(peer.closes().at(0).code, 1000);
  EXPECT_TRUE(peer.wait_disconnected(kWait));
  EXPECT_TRUE(settled());
  EXPECT_EQ(yv_rtos_test_live_timers(), 0u);
}

// An end never waits for a loop thread that does not come back: the thread is held parked (as
// a pass that never returns would hold it), and the user close still ends the client within
// close/waittime + 1 s, while another client echoes; the thread, let go, ends alone.
TEST(BoundedEnd, CloseOfAClientWhoseLoopNeverReturnsEndsInTimeAndHoldsUpNoOther) {
  RawPeer::Options po;
  po.echo = true;
  RawPeer stuck_peer(po), other_peer(po);
  profile_on(0, stuck_peer.url("/"), 1, 5);
  profile_on(1, other_peer.url("/"), 1, 5);
  yv_ws_cfg_set_opt(0, YWS_CFG_CLOSE_WAITTIME, 1);
  ASSERT_EQ(open_client(0, 0), 0);
  ASSERT_EQ(open_client(1, 1), 0);
  size_t tasks = yv_rtos_test_live_tasks();
  HeldPark parked(0);
  ASSERT_TRUE(parked.parked());
  auto asked = std::chrono::steady_clock::now();
  ASSERT_EQ(yv_ws_close_proc(0), YWS_OK);
  for (int i = 0; i < 5; i++) EXPECT_TRUE(echoed(1, "meanwhile " + std::to_string(i))) << i;
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_CLOSE, 1));
  auto took = std::chrono::steady_clock::now() - asked;
  EXPECT_LE(took, std::chrono::milliseconds(1000 + 1000 + 500));
  EXPECT_GE(took, std::chrono::milliseconds(1000 + 1000 - 100));
  EXPECT_EQ(last(0, YWS_CB_TYPE_CLOSE), YWS_ERR_TIMEDOUT);  // no answer to a close was had
  EXPECT_EQ(yv_ws_get_client_conn_state(0), YWS_CONN_STA_IDLE);
  // The slot is free at once for a new open, even with the old thread still held.
  RawPeer next_peer(po);
  profile_on(0, next_peer.url("/"), 1, 5);
  ASSERT_EQ(open_client(0, 0), 0);
  EXPECT_TRUE(echoed(0, "a new client of the id"));
  parked.release();  // the orphaned thread ends and frees its block
  EXPECT_EQ(close_client(0), 0);
  EXPECT_EQ(close_client(1), 0);
  EXPECT_TRUE(settled());
  EXPECT_LE(yv_rtos_test_live_tasks(), tasks);
}
