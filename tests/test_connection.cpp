// Connections against real WebSocket servers on the loopback interface: the
// connect step, the library thread, keepalive and teardown. Open failures and
// server ends: test_faults; closes: test_sending; the connect timeout: test_hostile.
#include <gtest/gtest.h>
#include <pthread.h>

#include "ws_test_server.h"
#include "yv_rtos_test.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::RawPeer;
using ywstest::WsServer;

namespace {

/* Whatever is still open is closed, and nothing may be left behind. */
class Connection : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int i = 0; i < YWS_CLIENT_NUM; i++)
      if (yv_ws_get_client_conn_state(static_cast<uint8_t>(i)) == YWS_CONN_STA_CONNECTED)
        close_client(i);
    EXPECT_TRUE(settled());
  }
};

std::string host_of(const WsServer &s) {
  return "127.0.0.1:" + std::to_string(s.port());
}

}  // namespace

TEST_F(Connection, OpensOnTheServiceTaskWithPathHostOriginAndSubprotocol) {
  WsServer server;
  profile(0, server.url("/chat/room"));
  yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT, "chat");
  yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT_EN, 1);
  std::string thread_name;
  Notes::get().set_hook([&](int, const yws_parm_t *p) {
    char name[16] = {0};
    if (p->type == YWS_CB_TYPE_OPEN) pthread_getname_np(pthread_self(), name, sizeof(name));
    if (p->type == YWS_CB_TYPE_OPEN) thread_name = name;
  });
  ASSERT_EQ(open_client(0, 0), 0);
  Notes::get().set_hook(nullptr);
  EXPECT_EQ(thread_name, "wsclient");
  EXPECT_EQ(yv_ws_get_client_conn_state(0), YWS_CONN_STA_CONNECTED);
  ASSERT_TRUE(server.wait_handshakes(1, kWait));
  WsServer::Handshake h = server.handshakes()[0];
  EXPECT_EQ(h.path, "/chat/room");
  EXPECT_EQ(h.host, host_of(server));
  EXPECT_EQ(h.origin, "http://" + host_of(server));  // the library adds the scheme
  EXPECT_EQ(h.protocol, "chat");
}

// Pings at an interval: test_liveness.
// Timers run at a hundredth of their time: 1.5 s of watching is 150 s of the service's, more
// than twice the default interval, which the same watch must see pinging.
TEST_F(Connection, IntervalZeroSendsNoPings) {
  struct FastTimers {
    FastTimers() { yv_rtos_test_set_timer_ms_per_s(10); }
    ~FastTimers() { yv_rtos_test_set_timer_ms_per_s(1000); }
  } fast;
  RawPeer::Options o;
  o.echo = true;
  RawPeer quiet(o);
  profile(1, quiet.url("/"));
  yv_ws_cfg_set_opt(1, YWS_CFG_PING_INTERVAL, 0);
  ASSERT_EQ(open_client(1, 1), 0);
  EXPECT_FALSE(quiet.wait_pings(1, milliseconds(1500)));
  ASSERT_EQ(close_client(1), 0);

  RawPeer pinged(o);
  profile(1, pinged.url("/"));
  yv_ws_cfg_set_opt(1, YWS_CFG_PING_INTERVAL, 60);  // the default
  ASSERT_EQ(open_client(1, 1), 0);
  EXPECT_TRUE(pinged.wait_pings(1, milliseconds(1500)));
}

TEST_F(Connection, LibraryThreadThatCannotStartFailsTheOpen) {
  WsServer server;
  profile(0, server.url("/echo"));
  yv_rtos_test_fail_task_name("wsservice");
  yv_rtos_test_fail_next(YV_RTOS_FAIL_TASK_CREATE, 0, 1);
  EXPECT_EQ(open_client(0, 0), YWS_ERR_TASK_CREATE);
  yv_rtos_test_fail_task_name(nullptr);
  EXPECT_TRUE(settled());
  EXPECT_EQ(open_client(0, 0), 0);
}

TEST_F(Connection, RepeatedOpenCloseLeavesNothingBehind) {
  WsServer server;
  profile(0, server.url("/echo"));
  yv_ws_cfg_set_opt(0, YWS_CFG_PING_INTERVAL, 0);
  ASSERT_EQ(open_client(0, 0), 0);
  ASSERT_EQ(close_client(0), 0);
  ASSERT_TRUE(settled());
  size_t heap = yv_mem_bytes_in_use();
  for (int i = 0; i < 200; i++) {
    ASSERT_EQ(open_client(0, 0), 0) << i;
    ASSERT_EQ(close_client(0), 0) << i;
  }
  ASSERT_TRUE(settled());
  EXPECT_EQ(yv_rtos_test_live_timers(), 0u);
  EXPECT_TRUE(server.wait_closed(201, kWait));
  // Allow for the library's lazily grown tables, not for a per-cycle leak.
  EXPECT_LT(yv_mem_bytes_in_use(), heap + 16 * 1024);
}
