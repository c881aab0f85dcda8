// Name resolution off the service task: a slow or held lookup of one client leaves the other
// clients' round trips as they were, the connect timeout bounds it, a slow lookup that answers
// connects, and the name the certificate is checked against stays the URL's.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "certs.h"
#include "ws_test_server.h"
#include "yv_net_ctl.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::WsServer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTimeoutS = 2;

long ms_since(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

std::string port_of(const WsServer &server) {
  std::string u = server.url("/");  // ws://127.0.0.1:port/
  size_t colon = u.rfind(':');
  return u.substr(colon, u.size() - colon - 1);
}

std::string named_url(const std::string &name, const WsServer &server, const char *scheme) {
  return scheme + name + port_of(server) + "/";
}

class Lookup : public ::testing::Test {
 protected:
  void SetUp() override {
    yv_dc_ctl_reset();
    yv_net_ctl_reset();
  }
  void TearDown() override {
    yv_net_ctl_reset();  // a held lookup's thread ends
    for (int c : {0, 1}) {
      if (yv_ws_get_client_conn_state(static_cast<uint8_t>(c)) == YWS_CONN_STA_CONNECTED)
        close_client(c);
    }
    EXPECT_TRUE(settled());
    EXPECT_EQ(yv_rtos_test_live_timers(), 0u);
  }
};

class StuckLookup : public Lookup, public ::testing::WithParamInterface<uint32_t> {};

}  // namespace

TEST_P(StuckLookup, OtherClientsKeepTheirRoundTripAndTheOpenEndsAtItsTimeout) {
  WsServer server;
  profile_on(0, server.url("/"), 1, 5);
  uint32_t lookups = yv_net_ctl_lookups();
  ASSERT_EQ(open_client(0, 0), 0);
  EXPECT_EQ(yv_net_ctl_lookups(), lookups) << "a numeric address needs no lookup";

  ASSERT_EQ(yv_net_ctl_set_host("stuck.test", GetParam(), nullptr), 0);
  profile_on(1, named_url("stuck.test", server, "ws://"), 1, kTimeoutS);
  size_t opens = Notes::get().count(1, YWS_CB_TYPE_OPEN);
  auto start = Clock::now();
  yws_open_t o{1, 1, nullptr, 0};
  ASSERT_EQ(yv_ws_open_proc(&o), 0);
  ASSERT_TRUE(eventually([] { return yv_net_ctl_lookups_running() == 1; }));

  int rounds = 0;
  long worst = 0;
  while (Notes::get().count(1, YWS_CB_TYPE_OPEN) == opens && ms_since(start) < 4000) {
    auto t = Clock::now();
    ASSERT_TRUE(echoed(0, "round " + std::to_string(rounds)));
    worst = std::max(worst, ms_since(t));
    rounds++;
  }
  EXPECT_LT(worst, 200) << "round trip while client 1's lookup ran";
  EXPECT_GT(rounds, 10);

  ASSERT_TRUE(Notes::get().wait_count(1, YWS_CB_TYPE_OPEN, opens + 1));
  long took = ms_since(start);
  EXPECT_EQ(last(1, YWS_CB_TYPE_OPEN), YWS_ERR_TIMEDOUT);
  EXPECT_EQ(cause_of(1).cause, YWS_CLOSE_CAUSE_TIMEOUT);
  EXPECT_GE(took, kTimeoutS * 1000 - 100);
  EXPECT_LE(took, kTimeoutS * 1000 + 500);
  // The slot is free while the lookup still runs; the id opens again.
  EXPECT_EQ(yv_net_ctl_lookups_running(), 1u);
  EXPECT_EQ(yv_ws_get_client_conn_state(1), YWS_CONN_STA_IDLE);
  profile_on(1, server.url("/"), 1, kTimeoutS);
  EXPECT_EQ(open_client(1, 1), 0);
  EXPECT_TRUE(echoed(1, "after"));
  EXPECT_EQ(Notes::get().count(1, YWS_CB_TYPE_OPEN), opens + 2);
}

INSTANTIATE_TEST_SUITE_P(Resolver, StuckLookup, ::testing::Values(3000u, YV_NET_CTL_FOREVER),
                         [](const ::testing::TestParamInfo<uint32_t> &i) {
                           return std::string(i.param == YV_NET_CTL_FOREVER
                                                  ? "NeverAnswers"
                                                  : "FailsAfterThreeSeconds");
                         });

TEST_F(Lookup, ASlowAnswerConnectsWithTheNameInHostAndAFailureEndsAsBefore) {
  WsServer server;
  ASSERT_EQ(yv_net_ctl_set_host("slow.test", 600, "127.0.0.1"), 0);
  profile_on(1, named_url("slow.test", server, "ws://"), 1, 5);
  auto start = Clock::now();
  ASSERT_EQ(open_client(1, 1), 0);
  EXPECT_GE(ms_since(start), 550);
  EXPECT_TRUE(echoed(1, "named"));
  auto hs = server.handshakes();
  ASSERT_EQ(hs.size(), 1u);
  EXPECT_EQ(hs[0].host, "slow.test" + port_of(server));
  EXPECT_EQ(close_client(1), 0);

  // A name that does not resolve: OPEN with the error and cause a refused request gives.
  ASSERT_EQ(yv_net_ctl_set_host("none.test", 0, nullptr), 0);
  profile_on(1, named_url("none.test", server, "ws://"), 1, 5);
  EXPECT_EQ(open_client(1, 1), YWS_ERR_PROT_FAIL);
  EXPECT_EQ(cause_of(1).cause, YWS_CLOSE_CAUSE_NETWORK);
  EXPECT_EQ(server.total_connections(), 1);
}

TEST_F(Lookup, BearerLossDuringAHeldLookupEndsTheOpenAtOnce) {
  WsServer server;
  ASSERT_EQ(yv_net_ctl_set_host("held.test", YV_NET_CTL_FOREVER, nullptr), 0);
  profile_on(1, named_url("held.test", server, "ws://"), 3, 0);  // nothing but the loss ends it
  size_t opens = Notes::get().count(1, YWS_CB_TYPE_OPEN);
  yws_open_t o{1, 1, nullptr, 0};
  ASSERT_EQ(yv_ws_open_proc(&o), 0);
  ASSERT_TRUE(eventually([] { return yv_net_ctl_lookups_running() == 1; }));
  auto t = Clock::now();
  ASSERT_EQ(yv_dc_ctl_deactivate(3), 0);
  ASSERT_TRUE(Notes::get().wait_count(1, YWS_CB_TYPE_OPEN, opens + 1));
  EXPECT_LT(ms_since(t), 500);
  EXPECT_EQ(last(1, YWS_CB_TYPE_OPEN), YWS_ERR_NET_FAIL);
  EXPECT_EQ(yv_net_ctl_lookups_running(), 1u);
}

// The certificate is checked against the URL's name, not the address the lookup gave.
TEST_F(Lookup, TheCertificateNameCheckUsesTheUrlsHost) {
  ywstest::TempDir dir;
  ywstest::TestPki pki = ywstest::make_test_pki(dir.path());
  ASSERT_EQ(yavo_ssl_cfg_set(3, pki.ca.c_str(), nullptr, nullptr), 0);  // level 1
  ASSERT_EQ(yv_net_ctl_set_host("other.example", 0, "127.0.0.1"), 0);
  ASSERT_EQ(yv_net_ctl_set_host("named.test", 0, "127.0.0.1"), 0);
  const struct {
    ywstest::TestPki::Pair *served;
    const char *name;
    int outcome;
  } cases[] = {{&pki.other_host, "other.example", 0},
               {&pki.other_host, "named.test", YWS_ERR_NET_FAIL},
               {&pki.good, "localhost", 0},
               {&pki.good, "named.test", YWS_ERR_NET_FAIL}};
  for (const auto &c : cases) {
    WsServer::Options opt;
    opt.tls = WsServer::Tls::kFiles;
    opt.cert_file = c.served->cert;
    opt.key_file = c.served->key;
    WsServer server(opt);
    profile_on(0, named_url(c.name, server, "wss://"), 1, 5);
    ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SSLCTXID, 3), YWS_OK);
    EXPECT_EQ(open_client(0, 0), c.outcome) << c.name;
    if (c.outcome == 0) {
      EXPECT_EQ(close_client(0), 0) << c.name;
    }
    EXPECT_TRUE(settled());
  }
  yavo_ssl_cfg_clear(3);
}
