// Keepalive with a deadline (ping/timeout) and the close-cause query. The
// causes of failed opens: test_faults; of server close frames: test_conformance.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "certs.h"
#include "child_exec.h"
#include "py_peer.h"
#include "ws_test_server.h"
#include "yv_ws_msg.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::RawPeer;
using ywstest::WsServer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kClient = 2;
constexpr int kCfg = 2;

void fresh_profile(const std::string &url, int interval, int timeout) {
  profile(kCfg, url);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_TIMEOUT, 5);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, interval);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_TIMEOUT, timeout);
}

double secs(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

using Liveness = OneClientTest<kClient>;

}  // namespace

TEST_F(Liveness, SwallowedPingsEndTheClientAtTheDeadlineWithoutHandshake) {
  RawPeer::Options o;
  o.auto_pong = false;
  RawPeer peer(o);
  fresh_profile(peer.url("/"), 1, 2);
  size_t closes = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
  Clock::time_point opened = Clock::now();
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_NONE);
  ASSERT_TRUE(peer.wait_pings(1, kWait));
  Clock::time_point pinged = Clock::now();
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes + 1, milliseconds(8000)));
  Clock::time_point closed = Clock::now();
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_ERR_TIMEDOUT);
  EXPECT_GT(secs(pinged - opened), 0.8);
  EXPECT_LT(secs(pinged - opened), 2.0);
  // The ping cannot leave before 1 s after the open, so the deadline is at
  // least 3 s after it; the peer sees the ping a little after it left.
  EXPECT_GE(secs(closed - opened), 3.0);
  EXPECT_GE(secs(closed - pinged), 1.8);
  EXPECT_LE(secs(closed - pinged), 3.0);
  Cause c = cause_of(kClient);
  EXPECT_EQ(c.cause, YWS_CLOSE_CAUSE_PING_TIMEOUT);
  EXPECT_EQ(c.code, 0);
  EXPECT_EQ(c.reason, "");
  EXPECT_TRUE(peer.wait_disconnected(kWait));
  EXPECT_TRUE(peer.closes().empty()) << "a silent peer gets no closing handshake";
}

namespace {

struct AliveCase {
  const char *name;
  bool pongs;
  int heartbeat_ms;
  int timeout;
};

void PrintTo(const AliveCase &c, std::ostream *os) {
  *os << c.name;
}

class StaysUp : public Liveness, public ::testing::WithParamInterface<AliveCase> {};

}  // namespace

TEST_P(StaysUp, OverSeveralIntervals) {
  const AliveCase &ac = GetParam();
  RawPeer::Options o;
  o.auto_pong = ac.pongs;
  o.heartbeat_ms = ac.heartbeat_ms;
  RawPeer peer(o);
  fresh_profile(peer.url("/"), 1, ac.timeout);
  size_t closes = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
  queue_probe::reset();
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  // Four pings: twice the timeout after the first unanswered one.
  ASSERT_TRUE(peer.wait_pings(4, milliseconds(8000)));
  ASSERT_TRUE(queue_drained());
  // Answered pings cancel the wait: the ping timer's own expiries are the
  // only keepalive events.
  if (ac.pongs) {
    EXPECT_LE(queue_probe::handled_count(YWS_MSG_TYPE_TO_PING),
              static_cast<size_t>(peer.pings()) + 1)
        << peer.pings();
  }
  EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_CLOSE), closes);
  EXPECT_EQ(yv_ws_get_client_conn_state(kClient), YWS_CONN_STA_CONNECTED);
  for (const std::string &p : peer.ping_payloads())
    EXPECT_EQ(p, std::string("yavorin_ping_body", 18));  // its zero byte included
  ASSERT_EQ(close_client(kClient), YWS_OK);
  EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_USER);
}

INSTANTIATE_TEST_SUITE_P(Peers, StaysUp,
                         ::testing::Values(AliveCase{"AnswersPings", true, 0, 1},
                                           AliveCase{"SendsDataButNoPongs", false, 300, 2},
                                           AliveCase{"TimeoutOff", false, 0, 0}),
                         [](const ::testing::TestParamInfo<AliveCase> &i) { return i.param.name; });

// ---- the cause of each kind of end ----

// A server that ends TLS with close_notify and FIN but no close frame, as a reverse proxy's read
// timeout does (Python's TLS and WebSocket stack): every time the same answer, the network.
TEST_F(Liveness, TlsEndWithoutCloseFrameIsAlwaysTheNetwork) {
  ywstest::TempDir dir;
  ywstest::CertFiles files = ywstest::make_cert_files(dir.path(), false);
  ywstest::PyPeer peer(files.cert, files.key);
  ASSERT_NE(peer.port(), 0);
  fresh_profile("wss://127.0.0.1:" + std::to_string(peer.port()) + "/end-after/1", 0, 0);
  // Under an emulator each TLS open costs seconds of CPU: fewer rounds, the same answer.
  const int rounds = ywstest::under_emulator() ? 5 : 20;
  for (int i = 0; i < rounds; i++) {
    SCOPED_TRACE(i);
    size_t closes = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
    ASSERT_EQ(open_client(kClient, kCfg), 0);
    ASSERT_EQ(write_bytes(kClient, "x"), 0);
    ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes + 1));
    EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_OK);
    Cause c = cause_of(kClient);
    EXPECT_EQ(c.cause, YWS_CLOSE_CAUSE_NETWORK);
    EXPECT_EQ(c.code, 0);
    EXPECT_EQ(c.reason, "TLS closed");
    ASSERT_TRUE(settled());
  }
}

// A failed open keeps its OPEN error and NETWORK cause, and says what failed.
TEST_F(Liveness, FailedOpensSayWhatFailed) {
  WsServer server;
  RawPeer::Options bad_gateway;
  bad_gateway.answer = RawPeer::Answer::kCustom;
  bad_gateway.custom_response = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
  RawPeer gateway(bad_gateway);
  RawPeer::Options wrong;
  wrong.answer = RawPeer::Answer::kWrongAccept;
  RawPeer wrong_accept(wrong);
  const struct {
    std::string url;
    int code;
    const char *reason;
  } fails[] = {{"ws://127.0.0.1:" + std::to_string(closed_port()) + "/", 0, "connect: failed"},
               {server.url("/refuse"), 403, "HTTP 403"},
               {gateway.url("/"), 502, "HTTP 502"},
               {wrong_accept.url("/"), 0, "handshake: HS: Accept hash wrong"}};
  for (const auto &f : fails) {
    SCOPED_TRACE(f.url);
    fresh_profile(f.url, 0, 0);
    EXPECT_EQ(open_client(kClient, kCfg), YWS_ERR_NET_FAIL);
    ASSERT_TRUE(settled());
    Cause c = cause_of(kClient);
    EXPECT_EQ(c.cause, YWS_CLOSE_CAUSE_NETWORK);
    EXPECT_EQ(c.code, f.code);
    EXPECT_EQ(c.reason, f.reason);
  }
}

TEST_F(Liveness, UserCloseIsKeptOnTheFreeSlotUntilTheNextOpen) {
  WsServer server;
  fresh_profile(server.url("/echo"), 0, 0);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  ASSERT_EQ(close_client(kClient), YWS_OK);
  Cause c = cause_of(kClient);
  EXPECT_EQ(c.cause, YWS_CLOSE_CAUSE_USER);
  EXPECT_EQ(c.code, 1000) << "the server's answer to our close";
  ASSERT_TRUE(settled());
  EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_USER) << "kept on the free slot";
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_NONE) << "a new open forgets it";
  int v = 0;
  char reason[YWS_CLOSE_REASON_SIZE];
  EXPECT_EQ(yv_ws_client_get_opt(3, YWS_CLIENT_GET_CLOSE_CAUSE, &v, &v, reason),
            YWS_ERR_INVAL_PARM);
}

// A reset or a FIN without close frame is the network, not a protocol failure, and the cause
// says which; over TLS the ends keep their causes.
TEST_F(Liveness, ServerEndsRecordTheirCause) {
  WsServer plain;
  WsServer::Options tls_opts;
  tls_opts.tls = WsServer::Tls::kSelfSigned;
  WsServer tls(tls_opts);
  RawPeer::Options o;
  o.script.push_back(RawPeer::Step{RawPeer::Step::kWaitMessages, {}, 1});
  o.script.push_back(RawPeer::Step{RawPeer::Step::kCloseTcp, {}});
  RawPeer fin(o);
  const struct {
    std::string url;
    int cause, code;
    const char *reason;
  } ends[] = {{plain.url("/drop-after/1"), YWS_CLOSE_CAUSE_NETWORK, 0, "reset"},
              {fin.url("/"), YWS_CLOSE_CAUSE_NETWORK, 0, "closed"},
              {tls.url("/close-after/1"), YWS_CLOSE_CAUSE_PEER, 1000, "bye"},
              {tls.url("/drop-after/1"), YWS_CLOSE_CAUSE_NETWORK, 0, "reset"}};
  for (const auto &e : ends) {
    SCOPED_TRACE(e.url);
    fresh_profile(e.url, 0, 0);
    size_t closes = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
    ASSERT_EQ(open_client(kClient, kCfg), 0);
    ASSERT_EQ(write_bytes(kClient, "x"), 0);
    ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes + 1));
    EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_OK);
    Cause c = cause_of(kClient);
    EXPECT_EQ(c.cause, e.cause);
    EXPECT_EQ(c.code, e.code);
    EXPECT_EQ(c.reason, e.reason);
    ASSERT_TRUE(settled());
  }
}
