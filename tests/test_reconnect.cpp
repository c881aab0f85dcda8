// Reconnect: what the caller sees of each attempt, what stops it, and the
// bytes queued across a drop. Real servers on 127.0.0.1; waits are bounded, never slept.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "link_emu.h"
#include "ws_test_server.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::WsServer;

namespace {

constexpr int kClient = 0, kCfg = 0, kSslCtx = 3;
constexpr int kOpen = YWS_CB_TYPE_OPEN, kClose = YWS_CB_TYPE_CLOSE,
              kReconnect = YWS_CB_TYPE_RECONNECT;
constexpr milliseconds kLong{20000};
using Types = std::vector<int>;

class Reconnect : public OneClientTest<kClient> {
 protected:
  void SetUp() override {
    OneClientTest::SetUp();
    from_ = Notes::get().all().size();
  }
  void TearDown() override {
    if (yv_ws_get_client_conn_state(kClient) != YWS_CONN_STA_IDLE) {
      size_t closes = count(kClose);
      if (yv_ws_close_proc(kClient) == YWS_OK)
        Notes::get().wait_count(kClient, kClose, closes + 1, kLong);
    }
    yavo_ssl_cfg_clear(kSslCtx);
    EXPECT_TRUE(settled()) << "state " << yv_ws_get_client_conn_state(kClient) << ", seen "
                           << ::testing::PrintToString(types(outcomes()));
    OneClientTest::TearDown();
  }
  // attempts < 0 leaves the profile's default.
  void setup(const std::string &url, int attempts, int min_ms = 100, int max_ms = 1000) {
    profile_on(kCfg, url, 1, 5);
    yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_SSLCTXID, 0);
    yv_ws_cfg_set_opt(kCfg, YWS_CFG_CLOSE_WAITTIME, 2);
    yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_MESSAGE, 0);
    if (attempts >= 0) yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECONN_ATTEMPTS, attempts);
    yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECONN_MINDELAY, min_ms);
    yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECONN_MAXDELAY, max_ms);
  }
  size_t count(int type) { return Notes::get().count(kClient, type); }
  // Notifications of the client since the test began, without RECV.
  std::vector<Note> outcomes(const std::vector<Note> &all = Notes::get().all()) const {
    std::vector<Note> out;
    for (size_t i = from_; i < all.size(); i++)
      if (all[i].client == kClient && all[i].type != YWS_CB_TYPE_RECV) out.push_back(all[i]);
    return out;
  }
  static Types types(const std::vector<Note> &o) {
    Types t;
    for (const Note &n : o) t.push_back(n.type);
    return t;
  }
  // n notifications of that type (any: -1) since the test began; the predicate runs under the
  // notes' lock, so it sees them as given.
  bool wait_type(int type, size_t n, milliseconds t = kLong) {
    return Notes::get().wait(
        [&](const std::vector<Note> &v) {
          size_t k = 0;
          for (const Note &x : outcomes(v)) k += type < 0 || x.type == type;
          return k >= n;
        },
        t);
  }
  yws_link_stats_t stats() {
    yws_link_stats_t s{};
    EXPECT_EQ(yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_LINK_STATS, &s), YWS_OK);
    return s;
  }
  size_t from_ = 0;
};

// Without reconnect set, pings are timed on the link and a drop ends the client for good.
TEST_F(Reconnect, OffByDefaultLinkStatsTellAPingsRoundTripAndADropEndsTheClient) {
  WsServer server;
  setup(server.url("/"), -1);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, 1);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  EXPECT_EQ(stats().ping_rtt_ms, -1);
  ASSERT_TRUE(eventually([&] { return stats().ping_rtt_ms >= 0; }, milliseconds(4000)));
  yws_link_stats_t s = stats();
  EXPECT_LT(s.ping_rtt_ms, 1000);
  EXPECT_LT(s.idle_ms, 2000u);  // the pong came within the last interval
  EXPECT_EQ(s.drops, 0u);
  server.drop_all();
  ASSERT_TRUE(wait_type(-1, 2));
  ASSERT_TRUE(settled());
  auto o = outcomes();
  EXPECT_EQ(types(o), (Types{kOpen, kClose}));
  EXPECT_EQ(o.back().size, 0);
}

TEST_F(Reconnect, ADropIsToldThenAnnouncedThenReopenedAndTheLinkCountsIt) {
  WsServer server;
  setup(server.url("/"), 3);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  ASSERT_TRUE(echoed(kClient, "before"));
  yws_wire_stats_t w1{}, w2{};
  ASSERT_EQ(yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_WIRE_STATS, &w1), YWS_OK);
  server.drop_all();
  ASSERT_TRUE(wait_type(-1, 4));
  auto o = outcomes();
  // CLOSE of the drop, RECONNECT 1 with its delay, OPEN 0.
  ASSERT_EQ(types(o), (Types{kOpen, kClose, kReconnect, kOpen}));
  EXPECT_EQ(o[2].size, 1);
  EXPECT_GE(o[2].virt, 50);
  EXPECT_LE(o[2].virt, 100);
  EXPECT_EQ(o[3].virt, YWS_OK);
  EXPECT_TRUE(echoed(kClient, "after"));
  yws_link_stats_t s = stats();
  EXPECT_EQ(s.reconnects, 1u);
  EXPECT_EQ(s.drops, 1u);
  EXPECT_GE(s.tx_bytes, 11u);
  EXPECT_GE(s.rx_bytes, 11u);
  EXPECT_EQ(s.tx_msgs, 2u);
  EXPECT_EQ(s.rx_msgs, 2u);
  // The second connection, much like the first, adds to what the first carried.
  ASSERT_EQ(yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_WIRE_STATS, &w2), YWS_OK);
  EXPECT_EQ(w2.tx_bytes, s.tx_bytes);
  if (ywst::wire_counted(w1) && ywst::wire_counted(w2)) {
    EXPECT_GE(w2.tx_wire + 16, 2 * w1.tx_wire);
    EXPECT_GE(w2.rx_wire + 16, 2 * w1.rx_wire);
    EXPECT_GT(w1.tx_wire, w1.tx_bytes);
  }
  EXPECT_EQ(server.total_connections(), 2);
  EXPECT_EQ(close_client(kClient), YWS_OK);
  EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_USER);
}

TEST_F(Reconnect, AttemptsRunOutAfterTheLastAllowedOneAndFreeTheSlot) {
  setup("ws://127.0.0.1:" + std::to_string(closed_port()) + "/", 2);
  yws_open_t o{kClient, kCfg, nullptr, 0};
  ASSERT_EQ(yv_ws_open_proc(&o), 0);
  ASSERT_TRUE(wait_type(-1, 5));
  ASSERT_TRUE(settled());
  auto n = outcomes();
  ASSERT_EQ(types(n), (Types{kOpen, kReconnect, kOpen, kReconnect, kOpen}));
  for (size_t i : {0u, 2u, 4u}) EXPECT_EQ(n[i].virt, YWS_ERR_NET_FAIL) << i;
  EXPECT_EQ(n[1].size, 1);
  EXPECT_EQ(n[3].size, 2);
  EXPECT_LE(n[3].virt, 200);
  EXPECT_GE(n[3].virt, 100);
  EXPECT_EQ(yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_LINK_STATS, nullptr), YWS_ERR_INVAL_PARM);
}

// A refused upgrade and a refused server certificate: one failed OPEN each, no attempt.
TEST_F(Reconnect, RefusalsThatRetryingCannotMendEndAtOnce) {
  WsServer plain;
  WsServer::Options tls;
  tls.tls = WsServer::Tls::kCaSigned;
  WsServer signed_server(tls);
  ASSERT_EQ(yavo_ssl_cfg_set(kSslCtx, signed_server.other_ca_path().c_str(), nullptr, nullptr), 0);
  for (bool over_tls : {false, true}) {
    setup(over_tls ? signed_server.url("/") : plain.url("/refuse"), 5);
    if (over_tls) yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_SSLCTXID, kSslCtx);
    EXPECT_EQ(open_client(kClient, kCfg), YWS_ERR_NET_FAIL) << over_tls;
    ASSERT_TRUE(settled());
  }
  ASSERT_TRUE(queue_drained());
  EXPECT_EQ(types(outcomes()), (Types{kOpen, kOpen}));
}

TEST_F(Reconnect, ARestartedServerIsFoundAgain) {
  // The emulator stands for the server's address: it refuses while no server is behind it.
  auto first = std::make_unique<WsServer>();
  ywstest::LinkEmu front(first->port());
  setup("ws://127.0.0.1:" + std::to_string(front.port()) + "/", 255, 100, 400);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  first.reset();
  // Attempts fail while nothing listens; then the server is back.
  ASSERT_TRUE(wait_type(kReconnect, 2));
  WsServer again;
  front.set_target(again.port());
  ASSERT_TRUE(Notes::get().wait(
      [&](const std::vector<Note> &v) {
        auto o = outcomes(v);
        return o.size() > 2 && o.back().type == kOpen && o.back().virt == YWS_OK;
      },
      kLong));
  EXPECT_TRUE(echoed(kClient, "again"));
  // Every RECONNECT has exactly one outcome after it.
  auto o = outcomes();
  for (size_t i = 0; i < o.size(); i++)
    if (o[i].type == kReconnect) {
      ASSERT_LT(i + 1, o.size());
      EXPECT_EQ(o[i + 1].type, kOpen);
    }
}

// Registration stays away for a while after the bearer is lost: no attempt is spent on it, and
// when it is back the attempt starts at once instead of after its minute of delay. A drop then
// waits its minute for the last attempt, and a close during that wait answers at once.
TEST_F(Reconnect, ABearerLostUntilRegistrationReturnsSpendsOneAttemptAndACloseInAWaitEndsAtOnce) {
  WsServer server;
  setup(server.url("/"), 2, 60000, 60000);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  yv_dc_ctl_fail_registration(5, 100);
  ASSERT_EQ(yv_dc_ctl_deactivate(1), 0);
  ASSERT_TRUE(wait_type(-1, 4));
  auto o = outcomes();
  ASSERT_EQ(types(o), (Types{kOpen, kOpen, kReconnect, kOpen}));
  EXPECT_EQ(o[1].virt, YWS_ERR_NET_FAIL);
  EXPECT_EQ(o[2].size, 1);
  EXPECT_EQ(o[3].virt, YWS_OK);
  EXPECT_GE(yv_dc_ctl_registration_calls(), 5u);
  EXPECT_TRUE(echoed(kClient, "back"));
  EXPECT_EQ(stats().reconnects, 1u);

  ASSERT_EQ(write_bytes(kClient, "queued?"), YWS_OK);
  server.drop_all();
  ASSERT_TRUE(wait_type(kReconnect, 2));
  EXPECT_EQ(outcomes().back().size, 2);
  int state = -1;
  yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_CONNSTATE, &state);
  EXPECT_EQ(state, YWS_CONN_STA_CONNECTING);
  // Writes wait for the next connection and count as unsent; the slot stays busy.
  ASSERT_EQ(write_bytes(kClient, "later"), YWS_OK);
  EXPECT_GE(unsent(kClient), 5);
  yws_open_t req{kClient, kCfg, nullptr, 0};
  EXPECT_EQ(yv_ws_open_proc(&req), YWS_ERR_BUSY);
  EXPECT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECONN_ATTEMPTS, 1), YWS_ERR_BUSY);
  auto start = std::chrono::steady_clock::now();
  size_t closes = count(kClose);
  ASSERT_EQ(yv_ws_close_proc(kClient), YWS_OK);
  ASSERT_TRUE(Notes::get().wait_count(kClient, kClose, closes + 1, milliseconds(2000)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000));
  EXPECT_EQ(last(kClient, kClose), YWS_OK);
  EXPECT_EQ(outcomes().back().type, kClose);
  EXPECT_GE(outcomes().back().size, 5);  // what it takes along unsent
  EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_USER);
  EXPECT_TRUE(settled());  // the retry task is gone too
  EXPECT_EQ(server.total_connections(), 2);
}

// Message mode across a drop: whole messages that had not started leaving go out on the next
// connection, in order and whole; the one cut by the drop is dropped and its rest reported in
// the end's notification; none arrives twice.
TEST_F(Reconnect, QueuedMessagesFollowWholeAndTheCutOneIsReported) {
  WsServer server;
  ywstest::LinkEmu front(server.port());
  setup("ws://127.0.0.1:" + std::to_string(front.port()) + "/", 3);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_MESSAGE, 1);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_BUFFERSZ, 16384);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  front.stall_server_reads(true);
  // 5000-byte messages, each stamped with its number.
  auto message = [](int i) {
    std::string m = "#" + std::to_string(i) + ":";
    m.resize(5000, static_cast<char>('a' + i % 26));
    return m;
  };
  int written = 0, held = -1;
  // Until the stalled link holds a queue that no longer moves.
  for (auto end = std::chrono::steady_clock::now() + kLong;
       std::chrono::steady_clock::now() < end && (held <= 0 || held != unsent(kClient));) {
    int rc = YWS_OK;
    for (int k = 0; k < 64 && (rc = write_bytes(kClient, message(written))) == YWS_OK; k++)
      written++;
    ASSERT_TRUE(rc == YWS_OK || rc == YWS_ERR_NO_MEM) << rc;
    held = unsent(kClient);
    eventually([&] { return unsent(kClient) != held; }, milliseconds(300));
  }
  ASSERT_GT(held, 0);
  size_t closes = count(kClose);
  front.reset();
  front.stall_server_reads(false);
  ASSERT_TRUE(Notes::get().wait_count(kClient, kClose, closes + 1, kLong));
  int cut = outcomes().back().size;
  EXPECT_GE(cut, 0);
  EXPECT_LT(cut, 5000);
  // What waits now is whole messages: the next connection sends them and the server echoes.
  int queued = unsent(kClient);
  ASSERT_EQ(queued % 5000, 0) << queued;
  size_t follow = static_cast<size_t>(queued / 5000);
  ASSERT_TRUE(wait_type(kOpen, 2));
  ASSERT_TRUE(eventually(
      [&] { return received_size(kClient, Notes::get().all(), from_) >= follow * 5000; }, kLong));
  std::string got = received(kClient, Notes::get().all(), from_), want;
  for (int i = written - static_cast<int>(follow); i < written; i++) want += message(i);
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want) << "the queued messages, whole and in order";
}

}  // namespace
