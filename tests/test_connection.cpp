// Connections against real WebSocket servers on the loopback interface: the
// connect step, the library thread, callback translation, keepalive, close
// and teardown.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ws_test_server.h"
#include "yv_datacall_ctl.h"
#include "yv_rtos_test.h"
#include "yv_ssl_store.h"
#include "yws_test_util.h"

using namespace ywst;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using ywstest::RawPeer;
using ywstest::StallServer;
using ywstest::WsServer;

namespace {

RawPeer::Options echo_peer() {
  RawPeer::Options o;
  o.echo = true;
  return o;
}

std::string host_of(const WsServer &s) {
  return "127.0.0.1:" + std::to_string(s.port());
}

/* Closes whatever is open and checks that nothing is left behind. */
void expect_clean() {
  for (int i = 0; i < YWS_CLIENT_NUM; i++)
    if (yv_ws_get_client_conn_state(static_cast<uint8_t>(i)) == YWS_CONN_STA_CONNECTED)
      close_client(i);
  EXPECT_TRUE(settled());
}

}  // namespace

TEST(Connection, OpensOnTheServiceTaskWithPathHostOriginAndSubprotocol) {
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
  // The profile cannot change while its client is open.
  EXPECT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_PING_INTERVAL, 5), YWS_ERR_BUSY);
  EXPECT_EQ(close_client(0), 0);
  EXPECT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_PING_INTERVAL, 5), YWS_OK);
  expect_clean();
}

TEST(Connection, ExtraHeadersGoOutInListOrder) {
  RawPeer peer;
  profile(1, peer.url("/"));
  yv_ws_cfg_set_opt(1, YWS_CFG_REQHEAD_ADD, "X-First", "1");
  yv_ws_cfg_set_opt(1, YWS_CFG_REQHEAD_ADD, "X-Second", "two");
  yv_ws_cfg_set_opt(1, YWS_CFG_REQHEAD_ADD, "X-First", "3");  // replaced: moves to the end
  ASSERT_EQ(open_client(2, 1), 0);
  auto req = peer.last_request();
  ASSERT_TRUE(req.has_value());
  std::vector<std::string> extra;
  for (auto &h : req->headers)
    if (h.first.rfind("X-", 0) == 0) extra.push_back(h.first + "=" + h.second);
  EXPECT_EQ(extra, (std::vector<std::string>{"X-Second=two", "X-First=3"}));
  EXPECT_EQ(req->request_line, "GET / HTTP/1.1");
  expect_clean();
}

TEST(Connection, TlsWithAndWithoutAConfiguredContext) {
  WsServer::Options tls;
  tls.tls = WsServer::Tls::kSelfSigned;
  WsServer server(tls);
  // No TLS context configured: self-signed accepted, no host name check.
  profile(0, server.url("/a"));
  ASSERT_EQ(open_client(0, 0), 0);
  ASSERT_EQ(write_bytes(0, "over tls"), 0);
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_RECV, 1));
  EXPECT_EQ(Notes::get().all().back().data, "over tls");
  EXPECT_EQ(close_client(0), 0);
  // A configured context with the server's certificate as CA; scheme in capitals.
  ASSERT_EQ(yavo_ssl_cfg_set(2, server.ca_path().c_str(), nullptr, nullptr), 0);
  std::string url = server.url("/b");
  url.replace(0, 3, "WSS");
  profile(1, url);
  yv_ws_cfg_set_opt(1, YWS_CFG_CONN_SSLCTXID, 2);
  ASSERT_EQ(open_client(1, 1), 0);
  ASSERT_TRUE(server.wait_handshakes(2, kWait));
  EXPECT_EQ(server.handshakes()[1].path, "/b");
  expect_clean();
}

TEST(Connection, InvalidUrlsNotifyAndLeaveNoClient) {
  for (const char *url : {"ftp://127.0.0.1:80/x", "127.0.0.1:80/x", "ws://127.0.0.1:65536/x",
                          "ws://:80/x", "ws:///"}) {
    profile(0, url);
    EXPECT_EQ(open_client(0, 0), YWS_ERR_INVAL_URL) << url;
    EXPECT_EQ(yv_ws_get_client_conn_state(0), 0) << url;
  }
  expect_clean();
}

TEST(Connection, RefusedConnectionAndRefusedUpgradeAreOpenFailures) {
  profile(0, "ws://127.0.0.1:" + std::to_string(closed_port()) + "/");
  EXPECT_EQ(open_client(0, 0), YWS_ERR_NET_FAIL);
  WsServer server;
  profile(1, server.url("/refuse"));
  int r = open_client(1, 1);
  EXPECT_NE(r, 0);
  EXPECT_NE(r, -100);
  ASSERT_TRUE(settled());
  EXPECT_EQ(Notes::get().count(1, YWS_CB_TYPE_OPEN), 1u);  // never OPEN/0 first
  EXPECT_EQ(Notes::get().count(1, YWS_CB_TYPE_CLOSE), 0u);
}

TEST(Connection, StalledHandshakeTimesOut) {
  StallServer stall;
  profile(0, stall.url("/"));
  yv_ws_cfg_set_opt(0, YWS_CFG_CONN_TIMEOUT, 1);
  auto t0 = steady_clock::now();
  EXPECT_EQ(open_client(0, 0), YWS_ERR_TIMEDOUT);
  auto ms = std::chrono::duration_cast<milliseconds>(steady_clock::now() - t0).count();
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 3000);
  EXPECT_TRUE(settled());
}

TEST(Connection, CloseOnEitherSideEndsWithCloseNotification) {
  WsServer server;
  profile(0, server.url("/echo"));
  ASSERT_EQ(open_client(0, 0), 0);
  EXPECT_EQ(close_client(0), 0);
  ASSERT_TRUE(server.wait_peer_closes(1, kWait));
  EXPECT_EQ(server.close_codes()[0], 1000);  // the closing handshake happened
  EXPECT_TRUE(settled());

  profile(1, server.url("/close-after/1"));
  ASSERT_EQ(open_client(1, 1), 0);
  ASSERT_EQ(write_bytes(1, "last"), 0);
  ASSERT_TRUE(Notes::get().wait_count(1, YWS_CB_TYPE_CLOSE, 1));
  EXPECT_EQ(last(1, YWS_CB_TYPE_CLOSE), 0);
  EXPECT_TRUE(settled());

  profile(2, server.url("/drop-after/1"));
  ASSERT_EQ(open_client(2, 2), 0);
  ASSERT_EQ(write_bytes(2, "bye"), 0);
  ASSERT_TRUE(Notes::get().wait_count(2, YWS_CB_TYPE_CLOSE, 1));
  EXPECT_TRUE(settled());
}

TEST(Connection, KeepalivePingsFollowTheInterval) {
  RawPeer peer(echo_peer());
  profile(0, peer.url("/"));
  yv_ws_cfg_set_opt(0, YWS_CFG_PING_INTERVAL, 1);
  ASSERT_EQ(open_client(0, 0), 0);
  ASSERT_TRUE(peer.wait_pings(2, milliseconds(3500)));
  std::string body("yavorin_ping_body", 18);
  for (const std::string &p : peer.ping_payloads()) EXPECT_EQ(p, body);
  EXPECT_EQ(close_client(0), 0);

  RawPeer quiet(echo_peer());
  profile(1, quiet.url("/"));
  yv_ws_cfg_set_opt(1, YWS_CFG_PING_INTERVAL, 0);
  ASSERT_EQ(open_client(1, 1), 0);
  EXPECT_FALSE(quiet.wait_pings(1, milliseconds(1500)));
  expect_clean();
}

TEST(Connection, ThreeClientsAreIndependent) {
  WsServer server;
  profile(0, server.url("/echo"));
  profile(1, server.url("/burst/50000/0"));
  profile(2, server.url("/close-after/1000"));
  for (int i = 0; i < 3; i++) ASSERT_EQ(open_client(i, i), 0) << i;
  EXPECT_EQ(close_client(1), 0);
  ASSERT_EQ(write_bytes(0, "zero"), 0);
  ASSERT_EQ(write_bytes(2, "two"), 0);
  ASSERT_TRUE(Notes::get().wait([](const std::vector<Note> &v) {
    int seen = 0;
    for (const Note &n : v)
      if (n.type == YWS_CB_TYPE_RECV && (n.data == "zero" || n.data == "two")) seen++;
    return seen == 2;
  }));
  EXPECT_EQ(yv_ws_get_client_conn_state(0), YWS_CONN_STA_CONNECTED);
  EXPECT_EQ(yv_ws_get_client_conn_state(2), YWS_CONN_STA_CONNECTED);
  expect_clean();
}

TEST(Connection, BearerLossWhileConnectedReleasesAtOnceAndTheThreadEnds) {
  WsServer server;
  profile(0, server.url("/burst/2000000/0"));
  ASSERT_EQ(open_client(0, 0), 0);
  ASSERT_EQ(yv_dc_ctl_deactivate(1), 0);
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_OPEN, 2));
  EXPECT_EQ(last(0, YWS_CB_TYPE_OPEN), YWS_ERR_NET_FAIL);
  EXPECT_TRUE(settled());
  EXPECT_TRUE(server.wait_closed(1, kWait));
  // The id is usable again at once.
  profile(0, server.url("/echo"));
  EXPECT_EQ(open_client(0, 0), 0);
  expect_clean();
}

TEST(Connection, LibraryThreadThatCannotStartFailsTheOpen) {
  WsServer server;
  profile(0, server.url("/echo"));
  yv_rtos_test_fail_task_name("wsservice");
  yv_rtos_test_fail_next(YV_RTOS_FAIL_TASK_CREATE, 0, 1);
  EXPECT_EQ(open_client(0, 0), YWS_ERR_TASK_CREATE);
  yv_rtos_test_fail_task_name(nullptr);
  EXPECT_TRUE(settled());
  EXPECT_EQ(open_client(0, 0), 0);
  expect_clean();
}

// Three clients receive continuous bursts while the test writes and the
// keepalive pings; the queue stays at its 8 items. Nothing may hang.
TEST(Connection, StressThreeBurstingClientsWithWritesAndPings) {
  WsServer server;
  for (int i = 0; i < 3; i++) {
    profile(i, server.url("/burst/3000000/0"));
    yv_ws_cfg_set_opt(static_cast<uint8_t>(i), YWS_CFG_PING_INTERVAL, 1);
    yv_ws_cfg_set_opt(static_cast<uint8_t>(i), YWS_CFG_CLOSE_WAITTIME, 2);
    ASSERT_EQ(open_client(i, i), 0);
  }
  auto end = steady_clock::now() + milliseconds(2500);
  std::string chunk(700, 'w');
  int accepted = 0;
  while (steady_clock::now() < end) {
    for (int i = 0; i < 3; i++) accepted += write_bytes(i, chunk) == 0 ? 1 : 0;
    std::this_thread::yield();
  }
  EXPECT_GT(accepted, 0);
  // The server's close answer queues behind the rest of its burst: a slow
  // reader may not reach it within the wait time, which bounds the close.
  for (int i = 0; i < 3; i++) ASSERT_EQ(yv_ws_close_proc(i), YWS_OK) << i;
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(Notes::get().wait_count(i, YWS_CB_TYPE_CLOSE, 1, milliseconds(2000) + kWait)) << i;
    int err = last(i, YWS_CB_TYPE_CLOSE);
    EXPECT_TRUE(err == YWS_OK || err == YWS_ERR_TIMEDOUT) << i << ": " << err;
  }
  EXPECT_TRUE(settled());
}

TEST(Connection, RepeatedOpenCloseLeavesNothingBehind) {
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
