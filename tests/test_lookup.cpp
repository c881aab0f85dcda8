// Name resolution off the service task: a slow or held lookup of one client leaves the other
// clients' round trips as they were and ends at the connect timeout; a slow answer connects.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ws_test_server.h"
#include "yv_net_ctl.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::WsServer;
using Clock = std::chrono::steady_clock;

namespace {

long ms_since(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

std::string port_of(const WsServer &server) {
  std::string u = server.url("/");  // ws://127.0.0.1:port/
  return u.substr(u.rfind(':'), u.size() - u.rfind(':') - 1);
}

// Client 1's profile, to `name` on the server's port, with its open started.
size_t start_open(const std::string &name, const WsServer &server, int timeout_s) {
  profile_on(1, "ws://" + name + port_of(server) + "/", 1, timeout_s);
  size_t opens = Notes::get().count(1, YWS_CB_TYPE_OPEN);
  yws_open_t o{1, 1, nullptr, 0};
  EXPECT_EQ(yv_ws_open_proc(&o), 0);
  return opens;
}

class Lookup : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    yv_dc_ctl_reset();
    yv_net_ctl_reset();
  }
  void TearDown() override {
    yv_net_ctl_reset();  // a held lookup returns and its thread ends
    if (yv_ws_get_client_conn_state(0) == YWS_CONN_STA_CONNECTED) close_client(0);
    EXPECT_TRUE(settled());
  }
};

}  // namespace

TEST_P(Lookup, OtherClientsKeepTheirRoundTripAndTheOpenEndsAtItsTimeout) {
  WsServer server;
  profile_on(0, server.url("/"), 1, 5);
  uint32_t lookups = yv_net_ctl_lookups();
  ASSERT_EQ(open_client(0, 0), 0);
  EXPECT_EQ(yv_net_ctl_lookups(), lookups) << "a numeric address needs no lookup";

  ASSERT_EQ(yv_net_ctl_set_host("stuck.test", GetParam(), nullptr), 0);
  auto start = Clock::now();
  size_t opens = start_open("stuck.test", server, 2);
  ASSERT_TRUE(eventually([] { return yv_net_ctl_lookups_running() == 1; }));
  int rounds = 0;
  long worst = 0;
  while (Notes::get().count(1, YWS_CB_TYPE_OPEN) == opens && ms_since(start) < 4000) {
    auto t = Clock::now();
    ASSERT_TRUE(echoed(0, "round " + std::to_string(rounds++)));
    worst = std::max(worst, ms_since(t));
  }
  EXPECT_LT(worst, 200) << "client 0's round trip while client 1's lookup ran";
  EXPECT_GT(rounds, 10);

  ASSERT_TRUE(Notes::get().wait_count(1, YWS_CB_TYPE_OPEN, opens + 1));
  long took = ms_since(start);
  EXPECT_GE(took, 1900);
  EXPECT_LE(took, 2500);
  EXPECT_EQ(last(1, YWS_CB_TYPE_OPEN), YWS_ERR_TIMEDOUT);
  EXPECT_EQ(cause_of(1).cause, YWS_CLOSE_CAUSE_TIMEOUT);
  // The slot is free while the lookup still runs.
  EXPECT_EQ(yv_net_ctl_lookups_running(), 1u);
  EXPECT_EQ(yv_ws_get_client_conn_state(1), YWS_CONN_STA_IDLE);
}

// A lookup that fails after 3 s, and one that never answers.
INSTANTIATE_TEST_SUITE_P(Resolver, Lookup, ::testing::Values(3000u, YV_NET_CTL_FOREVER));

TEST(LookupEnds, ASlowAnswerConnectsAndAFailureEndsAsBefore) {
  yv_dc_ctl_reset();
  WsServer server;
  ASSERT_EQ(yv_net_ctl_set_host("slow.test", 600, "127.0.0.1"), 0);
  auto t = Clock::now();
  size_t opens = start_open("slow.test", server, 5);
  ASSERT_TRUE(Notes::get().wait_count(1, YWS_CB_TYPE_OPEN, opens + 1));
  EXPECT_EQ(last(1, YWS_CB_TYPE_OPEN), 0);
  EXPECT_GE(ms_since(t), 550);
  EXPECT_TRUE(echoed(1, "named"));
  ASSERT_EQ(server.handshakes().size(), 1u);
  EXPECT_EQ(server.handshakes()[0].host, "slow.test" + port_of(server));
  EXPECT_EQ(close_client(1), 0);

  // A name that does not resolve: the error and cause a refused request gave on the service task.
  ASSERT_EQ(yv_net_ctl_set_host("none.test", 0, nullptr), 0);
  start_open("none.test", server, 5);
  EXPECT_TRUE(Notes::get().wait_count(1, YWS_CB_TYPE_OPEN, opens + 2));
  EXPECT_EQ(last(1, YWS_CB_TYPE_OPEN), YWS_ERR_PROT_FAIL);
  EXPECT_EQ(cause_of(1).cause, YWS_CLOSE_CAUSE_NETWORK);
  EXPECT_EQ(cause_of(1).reason, "lookup: none.test");

  yv_net_ctl_reset();
  EXPECT_TRUE(settled());
  EXPECT_EQ(server.total_connections(), 1);
}
