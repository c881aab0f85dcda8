// The loopback peers' own promises that the service tests rely on but cannot
// observe, checked with the bare libwebsockets client or raw sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libwebsockets.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "bare_client.h"
#include "ws_test_server.h"

using namespace std::chrono_literals;
using ywstest::BareClient;
using ywstest::RawPeer;
using ywstest::WsServer;

namespace {

struct QuietLws : ::testing::Environment {
  void SetUp() override { lws_set_log_level(LLL_ERR, nullptr); }
};
const auto *const kQuiet = ::testing::AddGlobalTestEnvironment(new QuietLws);

// Blocking TCP client with a poll deadline, for checks below the WebSocket layer.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
  }
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  bool send_all(const std::string &s) {
    return ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
  }
  // Reads until `pred(buffer)` or EOF/error/deadline; returns the recv result that ended it
  // (>0 when pred was met, 0 on EOF, -1 with err() set).
  ssize_t read_until(const std::function<bool(const std::string &)> &pred,
                     std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (pred(buf_)) return 1;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return -2;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char tmp[4096];
      ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
      if (n <= 0) {
        err_ = n < 0 ? errno : 0;
        return n;
      }
      buf_.append(tmp, static_cast<size_t>(n));
    }
  }
  std::string &buffer() { return buf_; }
  int err() const { return err_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
  int err_ = 0;
  std::string buf_;
};

std::string upgrade_request(int port, const std::string &path) {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

}  // namespace

TEST(WsServerSmoke, RefuseAnswers403) {
  WsServer server;
  BareClient c;
  ASSERT_TRUE(c.connect(server.url("/refuse")));
  EXPECT_FALSE(c.wait_established(5s));
  EXPECT_TRUE(c.failed());
  EXPECT_EQ(c.http_status(), 403) << c.error();
  auto hs = server.handshakes();
  ASSERT_EQ(hs.size(), 1u);
  EXPECT_EQ(hs[0].conn_id, -1);
  EXPECT_EQ(server.total_connections(), 0);
}

TEST(WsServerSmoke, DropAfterResetsWithoutCloseFrame) {
  WsServer server;
  RawClient raw(server.port());
  ASSERT_TRUE(raw.ok());
  ASSERT_TRUE(raw.send_all(upgrade_request(server.port(), "/drop-after/2")));
  ASSERT_EQ(raw.read_until([](const std::string &b) { return b.find("\r\n\r\n") != b.npos; }, 5s),
            1);
  EXPECT_EQ(raw.buffer().rfind("HTTP/1.1 101", 0), 0u);
  raw.buffer().erase(0, raw.buffer().find("\r\n\r\n") + 4);
  ASSERT_TRUE(raw.send_all(RawPeer::masked_frame(0x1, "m1")));
  ASSERT_EQ(raw.read_until([](const std::string &b) { return b.size() >= 4; }, 5s), 1);
  EXPECT_EQ(raw.buffer(), RawPeer::text_frame("m1"));
  raw.buffer().clear();
  ASSERT_TRUE(raw.send_all(RawPeer::masked_frame(0x1, "m2")));
  EXPECT_EQ(raw.read_until([](const std::string &) { return false; }, 5s), -1);
  EXPECT_EQ(raw.err(), ECONNRESET);
  EXPECT_TRUE(raw.buffer().empty()) << "no echo and no close frame expected";

  BareClient c;
  ASSERT_TRUE(c.connect(server.url("/drop-after/2")));
  ASSERT_TRUE(c.wait_established(5s));
  c.send_text("a");
  c.send_text("b");
  ASSERT_TRUE(c.wait_finished(5s));
  EXPECT_EQ(c.received_count(), 1u);
  EXPECT_EQ(c.peer_close_code(), -1);
}

TEST(WsServerSmoke, BurstDeliversPatternInOrder) {
  WsServer server;
  BareClient c;
  ASSERT_TRUE(c.connect(server.url("/burst/100000/0")));
  ASSERT_TRUE(c.wait_established(5s));
  auto sizes = ywstest::burst_message_sizes(100000, 0);
  ASSERT_TRUE(c.wait_messages(sizes.size(), 10s));
  ASSERT_EQ(c.messages().size(), sizes.size());
  uint64_t k = 0;
  for (size_t i = 0; i < sizes.size(); ++i) {
    const auto &m = c.messages()[i];
    ASSERT_TRUE(m.binary);
    ASSERT_EQ(m.data.size(), sizes[i]) << "message " << i;
    for (char ch : m.data) ASSERT_EQ(static_cast<uint8_t>(ch), ywstest::burst_byte(k++));
  }
  EXPECT_EQ(k, 100000u);
  // The server counts after its writes: the client may be first.
  EXPECT_TRUE(server.wait_for([&] { return server.bytes_sent(1) == 100000u; }, 5s));
  // Afterwards it echoes.
  c.send_text("after");
  ASSERT_TRUE(c.wait_messages(sizes.size() + 1, 5s));
  EXPECT_EQ(c.messages().back().data, "after");
}

TEST(WsServerSmoke, StallReadHoldsUntilResumed) {
  WsServer server;
  BareClient c;
  ASSERT_TRUE(c.connect(server.url("/stall-read")));
  ASSERT_TRUE(c.wait_established(5s));
  for (int i = 0; i < 5; ++i) c.send_text("s" + std::to_string(i));
  // Let the client flush; the server must not deliver anything while stalled.
  c.run_until([] { return false; }, 200ms);
  EXPECT_EQ(server.message_count(), 0u);
  EXPECT_EQ(server.open_connections(), 1);
  server.resume_reading();
  ASSERT_TRUE(c.wait_messages(5, 5s));
  EXPECT_EQ(c.messages()[4].data, "s4");
  EXPECT_EQ(server.message_count(), 5u);
}

TEST(WsServerSmoke, PipelinedEchoHelper) {
  WsServer server;
  BareClient::Options o;
  o.keep_messages = false;
  BareClient c;
  ASSERT_TRUE(c.connect(server.url("/"), o));
  ASSERT_TRUE(c.wait_established(5s));
  auto seq = c.echo_sequential(50, 2048, 10s);
  EXPECT_TRUE(seq.ok);
  EXPECT_EQ(seq.rtt_us.size(), 50u);
  auto pipe = c.echo_pipelined(500, 2048, 16, 10s);
  EXPECT_TRUE(pipe.ok);
  EXPECT_EQ(pipe.messages, 500u);
  EXPECT_GT(pipe.msgs_per_sec, 0);
}

TEST(RawPeerSmoke, RecordsRequestInOrderAndCountsPings) {
  RawPeer peer;
  BareClient c;
  BareClient::Options o;
  o.subprotocol = "yws.test";
  o.headers = {{"X-First", "1"}, {"X-Second", "2"}};
  ASSERT_TRUE(c.connect(peer.url("/raw?q=1"), o));
  ASSERT_TRUE(c.wait_established(5s)) << c.error();
  EXPECT_EQ(c.accepted_protocol(), "yws.test");
  auto req = peer.last_request();
  ASSERT_TRUE(req.has_value());
  EXPECT_EQ(req->request_line, "GET /raw?q=1 HTTP/1.1");
  EXPECT_EQ(req->header("sec-websocket-protocol").value_or(""), "yws.test");
  int first = -1, second = -1;
  for (size_t i = 0; i < req->headers.size(); ++i) {
    if (req->headers[i].first == "X-First" || req->headers[i].first == "x-first") first = int(i);
    if (req->headers[i].first == "X-Second" || req->headers[i].first == "x-second") second = int(i);
  }
  ASSERT_GE(first, 0) << req->raw;
  ASSERT_GE(second, 0) << req->raw;
  EXPECT_LT(first, second);
  EXPECT_NE(req->raw.find("\r\n\r\n"), std::string::npos);

  c.send_ping("p1");
  c.send_ping("p2");
  ASSERT_TRUE(c.run_until([&] { return peer.pings() >= 2 && c.pongs() >= 2; }, 5s));
  EXPECT_EQ(peer.ping_payloads(), (std::vector<std::string>{"p1", "p2"}));
  EXPECT_EQ(peer.unmasked_frames(), 0);
}
