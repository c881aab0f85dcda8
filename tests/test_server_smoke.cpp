// Promises of the loopback peers that the service tests rely on but cannot observe.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "bare_client.h"
#include "ws_test_server.h"

using namespace std::chrono_literals;
using namespace ywstest;

// The service sees a reset and a FIN alike; the fault matrix's reset case needs a real one.
TEST(WsServerSmoke, DropAfterResetsWithoutCloseFrame) {
  WsServer server;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{AF_INET, htons(uint16_t(server.port())), {htonl(INADDR_LOOPBACK)}, {}};
  timeval limit{5, 0};
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  std::string buf;
  // Sends s, then reads until done(): 0, or the errno (-1: EOF) that ended it first.
  auto exchange = [&](const std::string &s, auto done) {
    if (::send(fd, s.data(), s.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(s.size())) return -2;
    for (char tmp[4096]; !done();) {
      ssize_t n = recv(fd, tmp, sizeof tmp, 0);
      if (n <= 0) return n < 0 ? errno : -1;
      buf.append(tmp, static_cast<size_t>(n));
    }
    return 0;
  };
  ASSERT_EQ(exchange("GET /drop-after/2 HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                     "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                     "Sec-WebSocket-Version: 13\r\n\r\n",
                     [&] { return buf.find("\r\n\r\n") != std::string::npos; }),
            0);
  EXPECT_EQ(buf.rfind("HTTP/1.1 101", 0), 0u);
  buf.erase(0, buf.find("\r\n\r\n") + 4);
  ASSERT_EQ(exchange(RawPeer::masked_frame(0x1, "m1"), [&] { return buf.size() >= 4; }), 0);
  EXPECT_EQ(exchange(RawPeer::masked_frame(0x1, "m2"), [] { return false; }), ECONNRESET);
  EXPECT_EQ(buf, RawPeer::text_frame("m1")) << "the first echo, then no echo and no close frame";
  close(fd);
}

// The service tests see the bytes and the echo after them, not the messages.
TEST(WsServerSmoke, BurstDeliversPatternInBinaryMessagesOfTheAnnouncedSizes) {
  WsServer server;
  BareClient c;
  auto sizes = burst_message_sizes(100000, 0);
  ASSERT_TRUE(c.connect(server.url("/burst/100000/0")) && c.wait_messages(sizes.size(), 10s));
  ASSERT_EQ(c.messages().size(), sizes.size());
  uint64_t k = 0;
  for (size_t i = 0; i < sizes.size(); ++i) {
    ASSERT_TRUE(c.messages()[i].binary);
    ASSERT_EQ(c.messages()[i].data.size(), sizes[i]) << "message " << i;
    for (char ch : c.messages()[i].data) ASSERT_EQ(static_cast<uint8_t>(ch), burst_byte(k++));
  }
  EXPECT_EQ(k, 100000u);
}

TEST(RawPeerSmoke, RecordsRequestInOrderAndCountsPings) {
  RawPeer peer;
  BareClient c;
  BareClient::Options o;
  o.subprotocol = "yws.test";
  o.headers = {{"X-First", "1"}, {"X-Second", "2"}};
  ASSERT_TRUE(c.connect(peer.url("/raw?q=1"), o) && c.wait_established(5s)) << c.error();
  EXPECT_EQ(c.accepted_protocol(), "yws.test");
  auto req = peer.last_request();
  ASSERT_TRUE(req.has_value());
  EXPECT_EQ(req->request_line, "GET /raw?q=1 HTTP/1.1");
  EXPECT_EQ(req->header("sec-websocket-protocol").value_or(""), "yws.test");
  auto at = [&](const char *name) {
    for (size_t i = 0; i < req->headers.size(); ++i)
      if (strcasecmp(req->headers[i].first.c_str(), name) == 0) return static_cast<int>(i);
    return -1;
  };
  ASSERT_GE(at("X-First"), 0) << req->raw;
  EXPECT_GT(at("X-Second"), at("X-First")) << req->raw;
  EXPECT_NE(req->raw.find("\r\n\r\n"), std::string::npos);
  for (const char *p : {"p1", "p2"}) c.send_ping(p);
  ASSERT_TRUE(c.run_until([&] { return peer.pings() >= 2 && c.pongs() >= 2; }, 5s));
  EXPECT_EQ(peer.ping_payloads(), (std::vector<std::string>{"p1", "p2"}));
  EXPECT_EQ(peer.unmasked_frames(), 0);
}
