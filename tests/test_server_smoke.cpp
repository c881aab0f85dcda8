// The loopback peers' own promises that the service tests rely on but cannot
// observe, checked with the bare libwebsockets client or raw sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libwebsockets.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
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

// A loopback TCP connection whose reads give up after 5 s, for checks below
// the WebSocket layer; -1 on failure.
int connect_raw(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval limit{5, 0};
  if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
      ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0)
    return fd;
  if (fd >= 0) close(fd);
  return -1;
}

bool send_all(int fd, const std::string &s) {
  return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
}

// Reads into buf until done(buf): 0, or what ended it first (errno, -1 on EOF).
int read_until(int fd, std::string &buf, const std::function<bool(const std::string &)> &done) {
  char tmp[4096];
  while (!done(buf)) {
    ssize_t n = recv(fd, tmp, sizeof tmp, 0);
    if (n <= 0) return n < 0 ? errno : -1;
    buf.append(tmp, static_cast<size_t>(n));
  }
  return 0;
}

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
  int fd = connect_raw(server.port());
  ASSERT_GE(fd, 0);
  std::string buf;
  ASSERT_TRUE(send_all(fd, upgrade_request(server.port(), "/drop-after/2")));
  ASSERT_EQ(read_until(fd, buf, [](const std::string &b) { return b.find("\r\n\r\n") != b.npos; }),
            0);
  EXPECT_EQ(buf.rfind("HTTP/1.1 101", 0), 0u);
  buf.erase(0, buf.find("\r\n\r\n") + 4);
  ASSERT_TRUE(send_all(fd, RawPeer::masked_frame(0x1, "m1")));
  ASSERT_EQ(read_until(fd, buf, [](const std::string &b) { return b.size() >= 4; }), 0);
  EXPECT_EQ(buf, RawPeer::text_frame("m1"));
  buf.clear();
  ASSERT_TRUE(send_all(fd, RawPeer::masked_frame(0x1, "m2")));
  EXPECT_EQ(read_until(fd, buf, [](const std::string &) { return false; }), ECONNRESET);
  EXPECT_TRUE(buf.empty()) << "no echo and no close frame expected";
  close(fd);
}

// The service tests see the bytes and the echo after them, not the messages.
TEST(WsServerSmoke, BurstDeliversPatternInBinaryMessagesOfTheAnnouncedSizes) {
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
