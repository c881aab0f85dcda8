// Fault matrix against real loopback servers. Every fault must end in its
// documented notification, free the slot, leave no thread, timer or library
// context behind, and pass by a bystander client on another profile.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ws_test_server.h"
#include "yv_datacall_ctl.h"
#include "yv_mem.h"
#include "yv_rtos_test.h"
#include "yv_ssl_store_ctl.h"
#include "yv_ws_msg.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::burst_byte;
using ywstest::RawPeer;
using ywstest::StallServer;
using ywstest::WsServer;

namespace {

// The client under test runs on a context of its own: its bearer loss must
// end it and never the bystander.
constexpr int kClient = 0;
constexpr int kCfg = 0;
constexpr int kCid = 2;  // a bearer of its own, apart from the bystander's
constexpr int kOtherClient = 2;
constexpr int kOtherCfg = 2;
constexpr int kSslCtx = 3;
// Lazily grown library tables are allowed for; a leaked context is larger.
constexpr size_t kHeapSlack = 16 * 1024;

// Profiles outlive a test when the binary runs its tests in one process.
void fresh_profile(int cfg, const std::string &url) {
  auto id = static_cast<uint8_t>(cfg);
  profile_on(cfg, url, cfg == kCfg ? kCid : 1, 60);
  yv_ws_cfg_set_opt(id, YWS_CFG_CONN_SSLCTXID, 0);
  yv_ws_cfg_set_opt(id, YWS_CFG_WRITE_BUFFERSZ, 10240);
  yv_ws_cfg_set_opt(id, YWS_CFG_CLOSE_WAITTIME, 10);
}

// The record is gone, not merely idle.
bool slot_free(int client) {
  return eventually([client] {
    int v = 0;
    return yv_ws_client_get_opt(static_cast<uint8_t>(client), YWS_CLIENT_GET_CONNSTATE, &v) ==
           YWS_ERR_INVAL_PARM;
  });
}

// A byte stream whose every byte depends on its offset, so a lost, doubled
// or reordered piece shows in the echo.
class Stream {
 public:
  std::string next(size_t n) const {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('!' + (sent.size() + i) * 7 % 89);
    return s;
  }
  bool write(int client, size_t n) {
    std::string s = next(n);
    if (write_bytes(client, s) != YWS_OK) return false;
    sent += s;
    return true;
  }
  // Tops the transmit chain up to `limit` bytes until nothing leaves it for a
  // second (a margin for a loaded machine): the peer's window and our socket
  // buffer are full, and the library holds output it cannot hand to the
  // socket. The caller proves the choke: the library reports the end of one
  // only once the peer reads again.
  bool fill_until_held(int client, int limit) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
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
  std::string sent;
};

// Opened before the client under test; must come through every fault with
// its connection, its notifications and its echo untouched.
class Bystander {
 public:
  Bystander() {
    fresh_profile(kOtherCfg, server_.url("/echo"));
    open_ = open_client(kOtherClient, kOtherCfg);
    opens_ = Notes::get().count(kOtherClient, YWS_CB_TYPE_OPEN);
    closes_ = Notes::get().count(kOtherClient, YWS_CB_TYPE_CLOSE);
  }
  ~Bystander() {
    if (yv_ws_get_client_conn_state(kOtherClient) == YWS_CONN_STA_CONNECTED)
      close_client(kOtherClient);
  }
  Bystander(const Bystander &) = delete;
  Bystander &operator=(const Bystander &) = delete;

  int open_result() const { return open_; }

  ::testing::AssertionResult intact() {
    if (yv_ws_get_client_conn_state(kOtherClient) != YWS_CONN_STA_CONNECTED)
      return ::testing::AssertionFailure() << "bystander no longer connected";
    if (Notes::get().count(kOtherClient, YWS_CB_TYPE_OPEN) != opens_ ||
        Notes::get().count(kOtherClient, YWS_CB_TYPE_CLOSE) != closes_)
      return ::testing::AssertionFailure() << "bystander was notified an open or close";
    std::string token = "bystander-" + std::to_string(++round_);
    if (!echoed(kOtherClient, token))
      return ::testing::AssertionFailure() << "bystander echo missing";
    return ::testing::AssertionSuccess();
  }

 private:
  WsServer server_;
  int open_ = -100;
  size_t opens_ = 0, closes_ = 0;
  int round_ = 0;
};

// What every fault must leave: the test client's slot free, only the service
// task and the bystander's library thread alive, no timer, no context.
::testing::AssertionResult left_clean(size_t heap_before, uint32_t tasks = 2) {
  if (!slot_free(kClient)) return ::testing::AssertionFailure() << "slot still taken";
  if (yv_rtos_test_wait_live_tasks(tasks, static_cast<uint32_t>(kWait.count())) != 0)
    return ::testing::AssertionFailure()
           << "library thread left: " << yv_rtos_test_live_tasks() << " tasks";
  if (!queue_drained()) return ::testing::AssertionFailure() << "service task does not answer";
  if (yv_rtos_test_live_timers() != 0)
    return ::testing::AssertionFailure() << yv_rtos_test_live_timers() << " timers left";
  size_t heap = yv_mem_bytes_in_use();
  if (heap > heap_before + kHeapSlack)
    return ::testing::AssertionFailure()
           << "heap grew by " << heap - heap_before << " bytes: a context or record leaked";
  return ::testing::AssertionSuccess();
}

template <class T>
std::string name_of(const ::testing::TestParamInfo<T> &i) {
  return i.param.name;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    yv_dc_ctl_reset();
    yavo_ssl_cfg_clear(kSslCtx);
  }
  void TearDown() override {
    yv_dc_ctl_set_act_mode(YV_DC_ACT_ANSWER_OK);
    yv_dc_ctl_answer_pending(0);
    for (int i = 0; i < YWS_CLIENT_NUM; i++)
      if (yv_ws_get_client_conn_state(static_cast<uint8_t>(i)) == YWS_CONN_STA_CONNECTED)
        close_client(i);
    EXPECT_TRUE(settled());
    other_.reset();
    yavo_ssl_cfg_clear(kSslCtx);
  }
  // Opened before the fault, intact before it too.
  ::testing::AssertionResult bystander() {
    other_ = std::make_unique<Bystander>();
    if (other_->open_result() != 0)
      return ::testing::AssertionFailure() << "bystander open: " << other_->open_result();
    return other_->intact();
  }
  // Taken once the peers exist: they allocate through the same counters.
  void mark() {
    heap_ = yv_mem_bytes_in_use();
    opens_ = Notes::get().count(kClient, YWS_CB_TYPE_OPEN);
    closes_ = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
    from_ = Notes::get().all().size();
  }
  // The client under test was notified exactly this often since mark().
  void expect_notified(size_t opens, size_t closes) {
    EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_OPEN), opens_ + opens);
    EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_CLOSE), closes_ + closes);
  }
  std::unique_ptr<Bystander> other_;
  size_t heap_ = 0, opens_ = 0, closes_ = 0, from_ = 0;
};

// ---- open failures: one OPEN with the error, nothing else ----

struct OpenFault {
  const char *name;
  int error;
  int cause;  // what the close-cause query says afterwards
  // Points profile kCfg at the faulty peer; the result keeps the peer alive.
  std::shared_ptr<void> (*setup)();
  friend void PrintTo(const OpenFault &c, std::ostream *os) { *os << c.name; }
};

std::shared_ptr<void> refused_connection() {
  fresh_profile(kCfg, "ws://127.0.0.1:" + std::to_string(closed_port()) + "/");
  return nullptr;
}

std::shared_ptr<void> refused_upgrade() {
  auto server = std::make_shared<WsServer>();
  fresh_profile(kCfg, server->url("/refuse"));
  return server;
}

std::shared_ptr<void> unanswered_handshake() {
  auto stall = std::make_shared<StallServer>();
  fresh_profile(kCfg, stall->url("/"));
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_TIMEOUT, 1);
  return stall;
}

std::shared_ptr<void> certificate_of_unknown_ca() {
  WsServer::Options o;
  o.tls = WsServer::Tls::kCaSigned;
  auto server = std::make_shared<WsServer>(o);
  yavo_ssl_cfg_set(kSslCtx, server->other_ca_path().c_str(), nullptr, nullptr);
  fresh_profile(kCfg, server->url("/"));
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_SSLCTXID, kSslCtx);
  return server;
}

class OpenFaults : public Faults, public ::testing::WithParamInterface<OpenFault> {};

struct ServerEnd {
  const char *name;
  const char *path;
  int echoed;  // of the three messages
  friend void PrintTo(const ServerEnd &c, std::ostream *os) { *os << c.name; }
};

class ServerEnds : public Faults, public ::testing::WithParamInterface<ServerEnd> {};

enum class Phase { kBearerStep, kHandshake, kConnected, kClosing };

struct BearerLoss {
  const char *name;
  Phase phase;
  friend void PrintTo(const BearerLoss &c, std::ostream *os) { *os << c.name; }
};

class BearerLosses : public Faults, public ::testing::WithParamInterface<BearerLoss> {};

class CloseInBearerStep : public Faults, public ::testing::WithParamInterface<bool> {};

}  // namespace

TEST_P(OpenFaults, NotifyOneOpenFailureAndLeaveNothing) {
  ASSERT_TRUE(bystander());
  std::shared_ptr<void> peer = GetParam().setup();
  mark();
  EXPECT_EQ(open_client(kClient, kCfg), GetParam().error);
  Cause c = cause_of(kClient);
  EXPECT_EQ(c.cause, GetParam().cause);
  EXPECT_EQ(c.code, 0);
  EXPECT_EQ(c.reason, "");
  EXPECT_TRUE(left_clean(heap_));
  expect_notified(1, 0);
  EXPECT_EQ(received_size(kClient, Notes::get().all(), from_), 0u);
  EXPECT_TRUE(other_->intact());
}

INSTANTIATE_TEST_SUITE_P(Matrix, OpenFaults,
                         ::testing::Values(OpenFault{"ConnectionRefused", YWS_ERR_NET_FAIL,
                                                     YWS_CLOSE_CAUSE_NETWORK, refused_connection},
                                           OpenFault{"UpgradeRefused", YWS_ERR_NET_FAIL,
                                                     YWS_CLOSE_CAUSE_NETWORK, refused_upgrade},
                                           OpenFault{"HandshakeNeverAnswered", YWS_ERR_TIMEDOUT,
                                                     YWS_CLOSE_CAUSE_TIMEOUT, unanswered_handshake},
                                           OpenFault{"CertificateOfUnknownCa", YWS_ERR_NET_FAIL,
                                                     YWS_CLOSE_CAUSE_NETWORK,
                                                     certificate_of_unknown_ca}),
                         name_of<OpenFault>);

// ---- the server ends a connection in the middle of an exchange ----

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
    if (i <= GetParam().echoed) {
      ASSERT_TRUE(echoed(kClient, msg)) << i;
      expected += msg;
    } else {
      ASSERT_EQ(write_bytes(kClient, msg), 0) << i;
    }
  }
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes_ + 1));
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_OK);
  // The server shares the heap counters: let it free its side first.
  EXPECT_TRUE(server.wait_closed(1, kWait));
  EXPECT_TRUE(left_clean(heap_));
  EXPECT_EQ(received(kClient, Notes::get().all(), from_), expected);
  expect_notified(1, 1);
  EXPECT_TRUE(other_->intact());
}

INSTANTIATE_TEST_SUITE_P(Matrix, ServerEnds,
                         ::testing::Values(ServerEnd{"CloseFrame", "/close-after/3", 3},
                                           ServerEnd{"TcpReset", "/drop-after/3", 2}),
                         name_of<ServerEnd>);

// ---- the server stops reading ----

TEST_F(Faults, StalledReaderFillsTheTransmitLimitThenDrains) {
  ASSERT_TRUE(bystander());
  const int limit = 6000;
  WsServer server;
  mark();
  fresh_profile(kCfg, server.url("/stall-read"));
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_BUFFERSZ, limit);
  ASSERT_EQ(open_client(kClient, kCfg), 0);

  Stream stream;
  ASSERT_TRUE(stream.fill_until_held(kClient, limit));
  // The loop posts this id each time a choked pipe has drained.
  size_t choke_ends = queue_probe::posted(YWS_MSG_TYPE_LWS_CLIENT_WRITEABLE);
  EXPECT_EQ(write_bytes(kClient, stream.next(1)), YWS_ERR_NO_MEM);
  EXPECT_TRUE(other_->intact());
  EXPECT_EQ(unsent(kClient), limit);
  EXPECT_EQ(queue_probe::posted(YWS_MSG_TYPE_LWS_CLIENT_WRITEABLE), choke_ends);

  server.resume_reading();
  EXPECT_TRUE(queue_probe::wait_posted(YWS_MSG_TYPE_LWS_CLIENT_WRITEABLE, choke_ends + 1,
                                       std::chrono::seconds(20)));
  ASSERT_TRUE(eventually([] { return unsent(kClient) == 0; }, std::chrono::seconds(20)));
  ASSERT_TRUE(stream.write(kClient, 100));
  const std::string &sent = stream.sent;
  ASSERT_TRUE(Notes::get().wait(
      [&](const std::vector<Note> &v) { return received_size(kClient, v, from_) >= sent.size(); },
      std::chrono::seconds(20)));
  EXPECT_TRUE(received(kClient, Notes::get().all(), from_) == sent);
  EXPECT_EQ(close_client(kClient), 0);
  EXPECT_TRUE(server.wait_closed(1, kWait));
  EXPECT_TRUE(left_clean(heap_));
  EXPECT_TRUE(other_->intact());
}

// ---- bearer loss in each phase of a client's life ----

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
  int state = YWS_CONN_STA_CONNECTING;
  size_t opens = 1;  // the failure, after an OPEN 0 once connected
  switch (phase) {
    case Phase::kBearerStep:
      ASSERT_EQ(yv_dc_ctl_wait_idle(5000), 0);
      break;
    case Phase::kHandshake:
      ASSERT_TRUE(stall.wait_accepted(1, kWait));
      break;
    case Phase::kConnected:
    case Phase::kClosing:
      ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_OPEN, opens_ + 1));
      ASSERT_EQ(last(kClient, YWS_CB_TYPE_OPEN), 0);
      ASSERT_TRUE(echoed(kClient, "alive"));
      opens = 2;
      state = YWS_CONN_STA_CONNECTED;
      break;
  }
  ASSERT_EQ(yv_ws_get_client_conn_state(kClient), state);

  if (phase != Phase::kClosing) {
    ASSERT_EQ(yv_dc_ctl_deactivate(kCid), 0);
  } else {
    // The close is handled first and the loss right after it, before the
    // library thread can end the client.
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
  if (phase == Phase::kClosing)
    EXPECT_TRUE(c.code == 0 || c.code == 1000) << c.code;
  else
    EXPECT_EQ(c.code, 0);
  if (phase == Phase::kConnected || phase == Phase::kClosing) {
    EXPECT_TRUE(peer.wait_disconnected(kWait));
  }
  EXPECT_TRUE(left_clean(heap_));
  expect_notified(opens, 0);
  EXPECT_TRUE(other_->intact());
}

INSTANTIATE_TEST_SUITE_P(Matrix, BearerLosses,
                         ::testing::Values(BearerLoss{"WhileInBearerStep", Phase::kBearerStep},
                                           BearerLoss{"WhileConnecting", Phase::kHandshake},
                                           BearerLoss{"WhileConnected", Phase::kConnected},
                                           BearerLoss{"WhileClosing", Phase::kClosing}),
                         name_of<BearerLoss>);

// ---- close requested while the bearer is still coming up ----

TEST_P(CloseInBearerStep, IsRefusedBusyAndTheOpenGoesOn) {
  bool bearer_comes_up = GetParam();
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

  yv_dc_ctl_answer_pending(bearer_comes_up ? 1 : 0);
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_OPEN, opens_ + 1));
  if (bearer_comes_up) {
    EXPECT_EQ(last(kClient, YWS_CB_TYPE_OPEN), 0);
    EXPECT_TRUE(echoed(kClient, "late"));
    EXPECT_EQ(close_client(kClient), 0);
    EXPECT_TRUE(server.wait_closed(1, kWait));  // its side shares the heap counters
  } else {
    EXPECT_EQ(last(kClient, YWS_CB_TYPE_OPEN), YWS_ERR_NET_FAIL);
  }
  EXPECT_TRUE(left_clean(heap_));
  expect_notified(1, bearer_comes_up ? 1 : 0);
  EXPECT_TRUE(other_->intact());
}

INSTANTIATE_TEST_SUITE_P(Matrix, CloseInBearerStep, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &i) {
                           return i.param ? "BearerComesUp" : "BearerFails";
                         });

// ---- three flooding clients saturate the queue while the caller writes
// and closes them ----

TEST_F(Faults, FloodingClientsStillCloseAndKeepTheirBytesInOrder) {
  const uint64_t total = 4u << 20;
  WsServer server;
  mark();
  size_t closes[YWS_CLIENT_NUM];
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    fresh_profile(c, server.url("/burst/" + std::to_string(total) + "/0"));
    yv_ws_cfg_set_opt(static_cast<uint8_t>(c), YWS_CFG_CONN_PDPCID, 1);
    yv_ws_cfg_set_opt(static_cast<uint8_t>(c), YWS_CFG_PING_INTERVAL, 1);
    closes[c] = Notes::get().count(c, YWS_CB_TYPE_CLOSE);
  }
  size_t before[YWS_CLIENT_NUM];
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
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

  auto notes = Notes::get().all();
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    EXPECT_EQ(last(c, YWS_CB_TYPE_CLOSE), 0) << c;
    std::string got = received(c, notes, before[c]);
    size_t k = 0;
    while (k < got.size() && k < total && static_cast<uint8_t>(got[k]) == burst_byte(k)) k++;
    bool rest_echo = true;
    for (size_t j = k; j < got.size() && rest_echo; j++) rest_echo = got[j] == '\xff';
    EXPECT_TRUE(rest_echo && (k == got.size() || k == total))
        << "client " << c << ": byte " << k << " of " << got.size() << " out of order";
  }
}

// ---- TLS: a trusted CA passes where the unknown one failed ----

TEST_F(Faults, TlsWithTheRightCaConnectsAfterTheUnknownCaFailed) {
  ASSERT_TRUE(bystander());
  WsServer::Options o;
  o.tls = WsServer::Tls::kCaSigned;
  WsServer server(o);
  mark();
  fresh_profile(kCfg, server.url("/echo"));
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_SSLCTXID, kSslCtx);
  ASSERT_EQ(yavo_ssl_cfg_set(kSslCtx, server.other_ca_path().c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(open_client(kClient, kCfg), YWS_ERR_NET_FAIL);
  EXPECT_TRUE(slot_free(kClient));
  ASSERT_EQ(yavo_ssl_cfg_set(kSslCtx, server.ca_path().c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  EXPECT_TRUE(echoed(kClient, "sealed"));
  EXPECT_EQ(close_client(kClient), 0);
  EXPECT_TRUE(server.wait_for([&] { return server.open_connections() == 0; }, kWait));
  EXPECT_TRUE(left_clean(heap_));
  EXPECT_TRUE(other_->intact());
}
