// Every fault ends in its documented notification, frees the slot, leaves no thread, timer or
// library context behind, and passes by a bystander client on another profile.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ws_test_server.h"
#include "yv_ws_msg.h"
#include "yws_test_util.h"

using namespace ywst;
using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;
using ywstest::burst_byte;
using ywstest::RawPeer;
using ywstest::StallServer;
using ywstest::WsServer;

namespace {

// The client under test has a bearer of its own: its loss ends it, never the bystander.
constexpr int kClient = 0, kCfg = 0, kCid = 2, kOtherClient = 2, kOtherCfg = 2, kSslCtx = 3;
// Lazily grown library tables are allowed for; a leaked context is larger.
constexpr size_t kHeapSlack = 16 * 1024;
constexpr milliseconds kLong{20000};

// Profiles outlive a test when the binary runs its tests in one process.
void fresh_profile(int cfg, const std::string &url) {
  auto id = static_cast<uint8_t>(cfg);
  profile_on(cfg, url, cfg == kCfg ? kCid : 1, 60);
  yv_ws_cfg_set_opt(id, YWS_CFG_CONN_SSLCTXID, 0);
  yv_ws_cfg_set_opt(id, YWS_CFG_WRITE_BUFFERSZ, 10240);
  yv_ws_cfg_set_opt(id, YWS_CFG_CLOSE_WAITTIME, 10);
}

// Every byte depends on its offset: a lost, doubled or reordered piece shows in the echo.
struct Stream {
  bool write(int client, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('!' + (sent.size() + i) * 7 % 89);
    if (write_bytes(client, s) != YWS_OK) return false;
    sent += s;
    return true;
  }
  // Tops the chain up to `limit` until nothing leaves it for a second: the library holds output.
  bool fill_until_held(int client, int limit) {
    auto deadline = std::chrono::steady_clock::now() + kLong;
    while (std::chrono::steady_clock::now() < deadline) {
      if (write(client, 1000)) continue;
      for (int i = 0; i < limit; i++)
        if (!write(client, 1)) break;
      if (unsent(client) == limit &&
          !eventually([client, limit] { return unsent(client) < limit; }, milliseconds(1000)))
        return true;
    }
    return false;
  }
  // The kernel may open its window late (it compacts a queue of tiny segments), so the refusal
  // counts only on a chain seen full both before and after the refused write.
  bool refused_while_full(int client, int limit) {
    for (int attempt = 0; attempt < 5; attempt++) {
      if (!fill_until_held(client, limit)) return false;
      bool full = unsent(client) == limit;
      int rc = write_bytes(client, "!");
      if (rc == YWS_OK) sent += "!";
      if (full && rc == YWS_ERR_NO_MEM && unsent(client) == limit) return true;
    }
    return false;
  }
  std::string sent;
};

// The record gone (not merely idle), only the service task and the bystander's library thread.
AssertionResult left_clean(size_t heap_before, uint32_t tasks = 2) {
  int v = 0;
  if (!eventually([&] {
        return yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_CONNSTATE, &v) == YWS_ERR_INVAL_PARM;
      }))
    return AssertionFailure() << "slot still taken";
  if (yv_rtos_test_wait_live_tasks(tasks, static_cast<uint32_t>(kWait.count())) != 0)
    return AssertionFailure() << "library thread left: " << yv_rtos_test_live_tasks() << " tasks";
  if (!queue_drained()) return AssertionFailure() << "service task does not answer";
  if (yv_rtos_test_live_timers() != 0)
    return AssertionFailure() << yv_rtos_test_live_timers() << " timers left";
  size_t heap = yv_mem_bytes_in_use();
  if (heap > heap_before + kHeapSlack)
    return AssertionFailure() << "heap grew by " << heap - heap_before
                              << " bytes: a context or record leaked";
  return AssertionSuccess();
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override { yv_dc_ctl_reset(); }
  void TearDown() override {
    yv_dc_ctl_set_act_mode(YV_DC_ACT_ANSWER_OK);
    yv_dc_ctl_answer_pending(0);
    for (int i = 0; i < YWS_CLIENT_NUM; i++)
      if (yv_ws_get_client_conn_state(static_cast<uint8_t>(i)) == YWS_CONN_STA_CONNECTED)
        close_client(i);
    EXPECT_TRUE(settled());
    yavo_ssl_cfg_clear(kSslCtx);
  }
  // Opened before the fault; must come through it with its connection, notifications and echo.
  AssertionResult bystander() {
    other_ = std::make_unique<WsServer>();
    fresh_profile(kOtherCfg, other_->url("/echo"));
    int rc = open_client(kOtherClient, kOtherCfg);
    if (rc != 0) return AssertionFailure() << "bystander open: " << rc;
    other_opens_ = Notes::get().count(kOtherClient, YWS_CB_TYPE_OPEN);
    other_closes_ = Notes::get().count(kOtherClient, YWS_CB_TYPE_CLOSE);
    return intact();
  }
  AssertionResult intact() {
    if (yv_ws_get_client_conn_state(kOtherClient) != YWS_CONN_STA_CONNECTED)
      return AssertionFailure() << "bystander no longer connected";
    if (Notes::get().count(kOtherClient, YWS_CB_TYPE_OPEN) != other_opens_ ||
        Notes::get().count(kOtherClient, YWS_CB_TYPE_CLOSE) != other_closes_)
      return AssertionFailure() << "bystander was notified an open or close";
    if (!echoed(kOtherClient, "bystander-" + std::to_string(++round_)))
      return AssertionFailure() << "bystander echo missing";
    return AssertionSuccess();
  }
  // Taken once the peers exist: they allocate through the same counters.
  void mark() {
    heap_ = yv_mem_bytes_in_use();
    opens_ = Notes::get().count(kClient, YWS_CB_TYPE_OPEN);
    closes_ = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
    from_ = Notes::get().all().size();
  }
  void expect_notified(size_t opens, size_t closes) {
    EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_OPEN), opens_ + opens);
    EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_CLOSE), closes_ + closes);
  }
  // Nothing of the client left, so many notifications since mark(), the bystander intact.
  void expect_ended(size_t opens, size_t closes) {
    EXPECT_TRUE(left_clean(heap_));
    expect_notified(opens, closes);
    EXPECT_TRUE(intact());
  }
  std::unique_ptr<WsServer> other_;
  size_t heap_ = 0, opens_ = 0, closes_ = 0, from_ = 0, other_opens_ = 0, other_closes_ = 0;
  size_t round_ = 0;
};

template <class P>
class With : public Faults, public ::testing::WithParamInterface<P> {
 public:
  static std::string Name(const ::testing::TestParamInfo<P> &i) { return i.param.name; }
};

enum class Peer { kClosedPort, kRefusing, kStalling, kUnknownCa };

struct OpenFault {
  const char *name;
  Peer peer;
  int error, cause;
  friend void PrintTo(const OpenFault &c, std::ostream *os) { *os << c.name; }
};

using OpenFaults = With<OpenFault>;

struct ServerEnd {
  const char *name, *path;
  int echoed;  // of the three messages
  friend void PrintTo(const ServerEnd &c, std::ostream *os) { *os << c.name; }
};

using ServerEnds = With<ServerEnd>;

enum class Phase { kBearerStep, kHandshake, kConnected, kClosing };

struct BearerLoss {
  const char *name;
  Phase phase;
  friend void PrintTo(const BearerLoss &c, std::ostream *os) { *os << c.name; }
};

using BearerLosses = With<BearerLoss>;

}  // namespace

TEST_P(OpenFaults, NotifyOneOpenFailureAndLeaveNothing) {
  ASSERT_TRUE(bystander());
  const Peer peer = GetParam().peer;
  WsServer::Options tls;
  tls.tls = WsServer::Tls::kCaSigned;
  WsServer server(peer == Peer::kUnknownCa ? tls : WsServer::Options{});
  StallServer stall;
  if (peer == Peer::kClosedPort)
    fresh_profile(kCfg, "ws://127.0.0.1:" + std::to_string(closed_port()) + "/");
  if (peer == Peer::kRefusing) fresh_profile(kCfg, server.url("/refuse"));
  if (peer == Peer::kStalling) {
    fresh_profile(kCfg, stall.url("/"));
    yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_TIMEOUT, 1);
  }
  if (peer == Peer::kUnknownCa) {
    ASSERT_EQ(yavo_ssl_cfg_set(kSslCtx, server.other_ca_path().c_str(), nullptr, nullptr), 0);
    fresh_profile(kCfg, server.url("/"));
    yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_SSLCTXID, kSslCtx);
  }
  mark();
  EXPECT_EQ(open_client(kClient, kCfg), GetParam().error);
  Cause c = cause_of(kClient);
  EXPECT_EQ(c.cause, GetParam().cause);
  // A network failure says what failed (the exact words: test_liveness); others say nothing.
  EXPECT_EQ(c.reason.empty(), c.cause != YWS_CLOSE_CAUSE_NETWORK) << c.reason;
  if (c.cause != YWS_CLOSE_CAUSE_NETWORK) {
    EXPECT_EQ(c.code, 0);
  }
  EXPECT_EQ(received_size(kClient, Notes::get().all(), from_), 0u);
  expect_ended(1, 0);
}

INSTANTIATE_TEST_SUITE_P(Matrix, OpenFaults,
                         ::testing::Values(OpenFault{"ConnectionRefused", Peer::kClosedPort,
                                                     YWS_ERR_NET_FAIL, YWS_CLOSE_CAUSE_NETWORK},
                                           OpenFault{"UpgradeRefused", Peer::kRefusing,
                                                     YWS_ERR_NET_FAIL, YWS_CLOSE_CAUSE_NETWORK},
                                           OpenFault{"HandshakeNeverAnswered", Peer::kStalling,
                                                     YWS_ERR_TIMEDOUT, YWS_CLOSE_CAUSE_TIMEOUT},
                                           OpenFault{"CertificateOfUnknownCa", Peer::kUnknownCa,
                                                     YWS_ERR_NET_FAIL, YWS_CLOSE_CAUSE_NETWORK}),
                         OpenFaults::Name);

TEST_P(ServerEnds, NotifyOneCloseAfterTheEchoesInOrder) {
  ASSERT_TRUE(bystander());
  WsServer server;
  mark();
  fresh_profile(kCfg, server.url(GetParam().path));
  ASSERT_EQ(open_client(kClient, kCfg), 0);

  // One at a time: queued writes would merge into one message.
  std::string expected;
  for (int i = 1; i <= 3; i++) {
    std::string msg = "message-" + std::to_string(i);
    bool echo = i <= GetParam().echoed;
    ASSERT_TRUE(echo ? echoed(kClient, msg) : write_bytes(kClient, msg) == YWS_OK) << i;
    if (echo) expected += msg;
  }
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes_ + 1));
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_OK);
  EXPECT_TRUE(server.wait_closed(1, kWait));  // it shares the heap counters
  EXPECT_EQ(received(kClient, Notes::get().all(), from_), expected);
  expect_ended(1, 1);
}

INSTANTIATE_TEST_SUITE_P(Matrix, ServerEnds,
                         ::testing::Values(ServerEnd{"CloseFrame", "/close-after/3", 3},
                                           ServerEnd{"TcpReset", "/drop-after/3", 2}),
                         ServerEnds::Name);

TEST_F(Faults, StalledReaderFillsTheTransmitLimitThenDrains) {
  ASSERT_TRUE(bystander());
  const int limit = 6000;
  WsServer server;
  mark();
  fresh_profile(kCfg, server.url("/stall-read"));
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_BUFFERSZ, limit);
  ASSERT_EQ(open_client(kClient, kCfg), 0);

  Stream stream;
  ASSERT_TRUE(stream.refused_while_full(kClient, limit));
  EXPECT_TRUE(intact());

  server.resume_reading();
  ASSERT_TRUE(eventually([] { return unsent(kClient) == 0; }, kLong));
  ASSERT_TRUE(stream.write(kClient, 100));
  ASSERT_TRUE(Notes::get().wait(
      [&](const std::vector<Note> &v) {
        return received_size(kClient, v, from_) >= stream.sent.size();
      },
      kLong));
  EXPECT_TRUE(received(kClient, Notes::get().all(), from_) == stream.sent);
  EXPECT_EQ(close_client(kClient), 0);
  EXPECT_TRUE(server.wait_closed(1, kWait));
  expect_ended(1, 1);
}

TEST_P(BearerLosses, ReleaseTheClientOnTheLostContextAtOnceWithOpenFailure) {
  ASSERT_TRUE(bystander());
  StallServer stall;
  RawPeer::Options echo;
  echo.echo = true;
  RawPeer peer(echo);
  mark();
  Phase phase = GetParam().phase;
  fresh_profile(kCfg, phase == Phase::kHandshake ? stall.url("/") : peer.url("/"));

  if (phase == Phase::kBearerStep) yv_dc_ctl_set_act_mode(YV_DC_ACT_NEVER_ANSWER);
  yws_open_t o{kClient, kCfg, nullptr, 0};
  ASSERT_EQ(yv_ws_open_proc(&o), 0);
  yv_dc_ctl_set_act_mode(YV_DC_ACT_ANSWER_OK);
  bool connected = phase == Phase::kConnected || phase == Phase::kClosing;
  ASSERT_TRUE(phase != Phase::kBearerStep || yv_dc_ctl_wait_idle(5000) == 0);
  ASSERT_TRUE(phase != Phase::kHandshake || stall.wait_accepted(1, kWait));
  if (connected) {
    ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_OPEN, opens_ + 1));
    ASSERT_EQ(last(kClient, YWS_CB_TYPE_OPEN), 0);
    ASSERT_TRUE(echoed(kClient, "alive"));
  }
  ASSERT_EQ(yv_ws_get_client_conn_state(kClient),
            connected ? YWS_CONN_STA_CONNECTED : YWS_CONN_STA_CONNECTING);
  size_t opens = connected ? 2 : 1;  // the failure, after an OPEN 0 once connected

  if (phase != Phase::kClosing) {
    ASSERT_EQ(yv_dc_ctl_deactivate(kCid), 0);
  } else {
    // The close is handled first, the loss right after it, before the library thread ends it.
    ServiceHold hold(kOtherClient, "hold");
    ASSERT_EQ(write_bytes(kOtherClient, "hold"), 0);
    ASSERT_TRUE(hold.wait_held());
    ASSERT_EQ(yv_ws_close_proc(kClient), YWS_OK);
    ASSERT_EQ(yv_dc_ctl_deactivate(kCid), 0);
    ASSERT_EQ(yv_dc_ctl_wait_idle(5000), 0);
  }
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_OPEN, opens_ + opens));
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_OPEN), YWS_ERR_NET_FAIL);
  Cause c = cause_of(kClient);
  // A close requested before the loss stays the user's.
  EXPECT_EQ(c.cause, phase == Phase::kClosing ? YWS_CLOSE_CAUSE_USER : YWS_CLOSE_CAUSE_BEARER);
  // The peer's answer to our close frame may have come before the loss.
  EXPECT_TRUE(c.code == 0 || (phase == Phase::kClosing && c.code == 1000)) << c.code;
  EXPECT_TRUE(!connected || peer.wait_disconnected(kWait));
  expect_ended(opens, 0);
}

INSTANTIATE_TEST_SUITE_P(Matrix, BearerLosses,
                         ::testing::Values(BearerLoss{"WhileInBearerStep", Phase::kBearerStep},
                                           BearerLoss{"WhileConnecting", Phase::kHandshake},
                                           BearerLoss{"WhileConnected", Phase::kConnected},
                                           BearerLoss{"WhileClosing", Phase::kClosing}),
                         BearerLosses::Name);

TEST_F(Faults, CloseInBearerStepIsRefusedBusyAndTheOpenGoesOn) {
  ASSERT_TRUE(bystander());
  WsServer server;
  mark();
  fresh_profile(kCfg, server.url("/echo"));

  yv_dc_ctl_set_act_mode(YV_DC_ACT_NEVER_ANSWER);
  yws_open_t o{kClient, kCfg, nullptr, 0};
  ASSERT_EQ(yv_ws_open_proc(&o), 0);
  yv_dc_ctl_set_act_mode(YV_DC_ACT_ANSWER_OK);
  EXPECT_EQ(yv_ws_close_proc(kClient), YWS_ERR_BUSY);
  ASSERT_TRUE(queue_drained());
  EXPECT_EQ(yv_ws_get_client_conn_state(kClient), YWS_CONN_STA_CONNECTING);
  expect_notified(0, 0);

  yv_dc_ctl_answer_pending(1);
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_OPEN, opens_ + 1));
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_OPEN), 0);
  EXPECT_TRUE(echoed(kClient, "late"));
  EXPECT_EQ(close_client(kClient), 0);
  EXPECT_TRUE(server.wait_closed(1, kWait));  // its side shares the heap counters
  expect_ended(1, 1);
}

// Three flooding clients saturate the queue while the caller writes and closes them.
TEST_F(Faults, FloodingClientsStillCloseAndKeepTheirBytesInOrder) {
  const uint64_t total = 4u << 20;
  WsServer server;
  mark();
  size_t closes[YWS_CLIENT_NUM], before[YWS_CLIENT_NUM];
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    fresh_profile(c, server.url("/burst/" + std::to_string(total) + "/0"));
    yv_ws_cfg_set_opt(static_cast<uint8_t>(c), YWS_CFG_CONN_PDPCID, 1);
    yv_ws_cfg_set_opt(static_cast<uint8_t>(c), YWS_CFG_PING_INTERVAL, 1);
    closes[c] = Notes::get().count(c, YWS_CB_TYPE_CLOSE);
    before[c] = Notes::get().all().size();
    ASSERT_EQ(open_client(c, c), 0) << c;
  }
  // Every flood is running before the caller starts.
  ASSERT_TRUE(Notes::get().wait([&](const std::vector<Note> &v) {
    for (int c = 0; c < YWS_CLIENT_NUM; c++)
      if (received_size(c, v, before[c]) < (1u << 20)) return false;
    return true;
  }));
  const std::string chunk(700, '\xff');  // never part of the burst pattern
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    for (int k = 0; k < 3; k++)
      for (int w = c; w < YWS_CLIENT_NUM; w++) write_bytes(w, chunk, YWS_WRITE_PROT_BIN);
    EXPECT_EQ(yv_ws_close_proc(c), YWS_OK) << c;
  }
  for (int c = 0; c < YWS_CLIENT_NUM; c++)
    EXPECT_TRUE(Notes::get().wait_count(c, YWS_CB_TYPE_CLOSE, closes[c] + 1)) << c;
  EXPECT_TRUE(settled());
  EXPECT_TRUE(server.wait_closed(YWS_CLIENT_NUM, kWait));
  EXPECT_TRUE(left_clean(heap_, 1));

  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    EXPECT_EQ(last(c, YWS_CB_TYPE_CLOSE), 0) << c;
    std::string got = received(c, Notes::get().all(), before[c]);
    size_t k = 0;
    while (k < got.size() && k < total && static_cast<uint8_t>(got[k]) == burst_byte(k)) k++;
    bool rest_echo = got.find_first_not_of('\xff', k) == std::string::npos;
    EXPECT_TRUE(rest_echo && (k == got.size() || k == total))
        << "client " << c << ": byte " << k << " of " << got.size() << " out of order";
  }
}
