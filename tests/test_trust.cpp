// Trust and handshake input: TLS security levels against real TLS servers with a generated
// PKI, refused handshake input that never reaches the wire, and configuration racing opens.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "certs.h"
#include "ws_test_server.h"
#include "yv_net_ctl.h"
#include "yv_ssl_store_ctl.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::RawPeer;
using ywstest::TempDir;
using ywstest::TestPki;
using ywstest::WsServer;

namespace {

constexpr int kCtx = 3;

const TestPki &pki() {
  static TempDir *dir = new TempDir;
  static TestPki *p = new TestPki(ywstest::make_test_pki(dir->path()));
  return *p;
}

std::unique_ptr<WsServer> tls_server(const TestPki::Pair &served, const std::string &ca = "") {
  WsServer::Options o;
  o.tls = WsServer::Tls::kFiles;
  o.cert_file = served.cert;
  o.key_file = served.key;
  o.client_ca = ca;
  return std::make_unique<WsServer>(o);
}

/* Stores the context's files and, unless -1, its level. */
void ctx(const char *ca, const TestPki::Pair *client = nullptr, int level = -1) {
  ASSERT_EQ(yavo_ssl_cfg_set(kCtx, ca, client ? client->cert.c_str() : nullptr,
                             client ? client->key.c_str() : nullptr),
            0);
  ASSERT_EQ(level < 0 ? 0 : yavo_ssl_cfg_set_level(kCtx, level), 0);
}

/* The open's outcome, checking that it was exactly one OPEN and no CLOSE. */
int one_outcome(int client, int cfg) {
  size_t opens = Notes::get().count(client, YWS_CB_TYPE_OPEN);
  size_t closes = Notes::get().count(client, YWS_CB_TYPE_CLOSE);
  int r = open_client(client, cfg);
  EXPECT_EQ(r == 0 ? close_client(client) : 0, 0);
  EXPECT_TRUE(queue_drained());
  EXPECT_EQ(Notes::get().count(client, YWS_CB_TYPE_OPEN), opens + 1);
  EXPECT_EQ(Notes::get().count(client, YWS_CB_TYPE_CLOSE), closes + (r == 0 ? 1 : 0));
  return r;
}

void tls_profile(const std::string &url) {
  profile(0, url);
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SSLCTXID, kCtx), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_TIMEOUT, 10), YWS_OK);
}

class Trust : public ::testing::Test {
 protected:
  void SetUp() override { yavo_ssl_cfg_clear(kCtx); }
  void TearDown() override {
    yavo_ssl_cfg_clear(kCtx);
    EXPECT_TRUE(settled());
  }
};

struct ServerCase {
  const char *name;
  TestPki::Pair TestPki::*served;
  int level0_ca;    // level 0 set by hand on a context with the CA: as before levels existed
  int level0_none;  // nothing configured
  friend void PrintTo(const ServerCase &c, std::ostream *os) { *os << c.name; }
};

class TrustServers : public Trust, public ::testing::WithParamInterface<ServerCase> {};

}  // namespace

TEST_P(TrustServers, OnlyTheGoodCertificateIsAcceptedAtLevelsOneAndTwo) {
  const ServerCase &c = GetParam();
  auto server = tls_server(pki().*c.served);
  tls_profile("WSS" + server->url("/").substr(3));  // the scheme in any letter case
  bool good = c.served == &TestPki::good;

  ctx(pki().ca.c_str());
  EXPECT_EQ(one_outcome(0, 0), good ? 0 : YWS_ERR_NET_FAIL) << "level 1";
  if (!good) {
    Cause why = cause_of(0);
    EXPECT_EQ(why.cause, YWS_CLOSE_CAUSE_NETWORK);
    EXPECT_EQ(why.reason.rfind("certificate: ", 0), 0u) << why.reason;
  }
  // No upgrade request crosses a channel the client does not trust.
  EXPECT_TRUE(good || server->handshakes().empty()) << "level 1";
  ctx(pki().ca.c_str(), &pki().client, 2);
  EXPECT_EQ(one_outcome(0, 0), good ? 0 : YWS_ERR_NET_FAIL) << "level 2";

  ASSERT_EQ(yavo_ssl_cfg_set_level(kCtx, 0), 0);
  EXPECT_EQ(one_outcome(0, 0), c.level0_ca) << "level 0 with a CA";
  yavo_ssl_cfg_clear(kCtx);
  EXPECT_EQ(one_outcome(0, 0), c.level0_none) << "nothing configured";
}

INSTANTIATE_TEST_SUITE_P(
    Pki, TrustServers,
    ::testing::Values(ServerCase{"Good", &TestPki::good, 0, YWS_ERR_NET_FAIL},
                      ServerCase{"SelfSigned", &TestPki::self_signed, 0, 0},
                      ServerCase{"RogueRootInChain", &TestPki::rogue_chain, 0, 0},
                      ServerCase{"OtherHostName", &TestPki::other_host, 0, YWS_ERR_NET_FAIL},
                      ServerCase{"RogueLeafAlone", &TestPki::rogue_leaf, YWS_ERR_NET_FAIL,
                                 YWS_ERR_NET_FAIL},
                      ServerCase{"Expired", &TestPki::expired, YWS_ERR_NET_FAIL, YWS_ERR_NET_FAIL}),
    [](const ::testing::TestParamInfo<ServerCase> &i) { return std::string(i.param.name); });

TEST_F(Trust, TheMachinesTrustStoreIsNotConsultedAboveLevelZero) {
  // OpenSSL's default store is read from SSL_CERT_FILE: make the rogue root "system trusted".
  ASSERT_EQ(setenv("SSL_CERT_FILE", pki().rogue_ca.c_str(), 1), 0);
  auto server = tls_server(pki().rogue_leaf);
  tls_profile(server->url("/"));
  EXPECT_EQ(one_outcome(0, 0), 0) << "level 0 trusts the machine's store, as before";
  ctx(pki().ca.c_str());
  EXPECT_EQ(one_outcome(0, 0), YWS_ERR_NET_FAIL);
  unsetenv("SSL_CERT_FILE");
}

TEST_F(Trust, MutualTlsOnlyWithTheClientCertificateOfTheTrustedCa) {
  auto server = tls_server(pki().good, pki().ca);
  tls_profile(server->url("/"));
  ctx(pki().ca.c_str(), &pki().client);
  // TLS 1.3: the server refuses the missing certificate after our handshake ended.
  EXPECT_EQ(one_outcome(0, 0), YWS_ERR_NET_FAIL) << "level 1 presents no certificate";
  ASSERT_EQ(yavo_ssl_cfg_set_level(kCtx, 2), 0);
  EXPECT_EQ(one_outcome(0, 0), 0);
  ctx(pki().ca.c_str(), &pki().rogue_client, 2);
  EXPECT_EQ(one_outcome(0, 0), YWS_ERR_NET_FAIL);
  EXPECT_EQ(server->handshakes().size(), 1u);
}

TEST_F(Trust, TheNameCheckedIsTheUrlsNotTheAddressItResolvedTo) {
  ASSERT_EQ(yv_net_ctl_set_host("other.example", 0, "127.0.0.1"), 0);
  ASSERT_EQ(yv_net_ctl_set_host("named.test", 0, "127.0.0.1"), 0);
  auto other = tls_server(pki().other_host);
  auto good = tls_server(pki().good);
  auto open_at = [](const std::string &name, const WsServer &s) {
    tls_profile("wss://" + name + s.url("/").substr(s.url("/").rfind(':')));
    return one_outcome(0, 0);
  };
  ctx(pki().ca.c_str());
  EXPECT_EQ(open_at("other.example", *other), 0);
  EXPECT_EQ(open_at("named.test", *good), YWS_ERR_NET_FAIL);
  EXPECT_EQ(open_at("localhost", *good), 0);  // the system's resolver
  yv_net_ctl_reset();
}

TEST_F(Trust, FilesThatDoNotLoadFailTheOpenBeforeAnyConnection) {
  auto server = tls_server(pki().good);
  tls_profile(server->url("/"));
  TempDir dir;
  std::string garbage = dir.file("garbage.pem");
  std::ofstream(garbage) << "not a certificate\n";
  const TestPki &p = pki();
  const struct {
    const char *name;
    const char *ca, *cert, *key;
    int level;
  } cases[] = {
      {"missing CA", "/nonexistent/ca.pem", nullptr, nullptr, 1},
      {"CA not PEM", garbage.c_str(), nullptr, nullptr, 1},
      {"level 1 without CA", nullptr, nullptr, nullptr, 1},
      {"level 2 without key", p.ca.c_str(), p.client.cert.c_str(), nullptr, 2},
      {"level 2 key of another", p.ca.c_str(), p.client.cert.c_str(), p.good.key.c_str(), 2},
      {"level 2 unreadable cert", p.ca.c_str(), "/nonexistent/c.pem", p.client.key.c_str(), 2},
      {"level 0 with an unreadable CA", "/nonexistent/ca.pem", nullptr, nullptr, 0},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(yavo_ssl_cfg_set(kCtx, c.ca, c.cert, c.key), 0);
    ASSERT_EQ(yavo_ssl_cfg_set_level(kCtx, c.level), 0);
    EXPECT_EQ(one_outcome(0, 0), YWS_ERR_INVAL_PARM) << c.name;
  }
  EXPECT_EQ(server->total_connections(), 0);
  EXPECT_EQ(yavo_ssl_cfg_set_level(kCtx, 3), -1);
  EXPECT_EQ(yavo_ssl_cfg_get_level(kCtx), 0);
}

// ---- handshake input on the wire ----

namespace {

class Wire : public ::testing::Test {
 protected:
  void SetUp() override {
    yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_REMOVE, nullptr);
    yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT_EN, 0);
  }
  void TearDown() override {
    yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_REMOVE, nullptr);
    EXPECT_TRUE(settled());
  }
  /* Opens against the peer, returns the raw request ("" when none arrived). */
  std::string request_of_open(RawPeer &peer, int expect) {
    int before = peer.connections();
    EXPECT_EQ(one_outcome(0, 0), expect);
    if (expect != 0) return peer.connections() == before ? "" : "connected anyway";
    auto r = peer.last_request();
    return r ? r->raw : "";
  }
};

bool has_line_starting(const std::string &raw, const std::string &prefix) {
  return raw.find("\r\n" + prefix) != std::string::npos;
}

// The handshake input limits documented in yv_api_websocket.h: URL host, URL path with query
// ('/' included), sub-protocol, the request estimate's fixed part and its bound.
constexpr size_t kUrlHostMax = 96, kUrlPathMax = 1024, kSubprotMax = 256, kRequestFixed = 320,
                 kRequestMax = 3584;

}  // namespace

TEST_F(Wire, RefusedUrlsNeverReachTheWire) {
  RawPeer peer;
  std::string base = "ws://127.0.0.1:" + std::to_string(peer.port());
  // Labels of 9 letters: refused for its length alone.
  std::string host97;
  while (host97.size() < kUrlHostMax + 1) host97 += host97.size() % 10 == 9 ? '.' : 'h';
  // clang-format off
  const std::string bad[] = {
      base + "/a\r\nX-Evil: 1", base + "/a b", base + "/a\"b", base + "/\x80", base + "/%zz",
      base + "/" + std::string(kUrlPathMax, 'p'), base + "/#frag",
      "ws://127.0.0.1:" + std::to_string(4294967296LL + peer.port()) + "/",
      "ws://127.0.0.1:0/", "ws://127.0.0.1:/", "ws://127.0.0.1:+80/", "ws://127.0.0.1:65536/x",
      "ws://u:p@127.0.0.1:" + std::to_string(peer.port()) + "/", "ws://" + host97 + ":80/",
      "ws://host\r\nX: 1:80/", "ws://999.1.1.1:80/", "ws://-a.example:80/", "ws://:80/x",
      "ws:///", "ws://[::1:80/", "ws://[zz::1]:80/", "ws://[::1]x:80/",
      "http://127.0.0.1:" + std::to_string(peer.port()) + "/", "ftp://127.0.0.1:80/x",
      "127.0.0.1:80/x"};
  // clang-format on
  profile(0, base + "/");
  for (const std::string &url : bad) {
    ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_URL, url.c_str()), YWS_OK) << "checked at open";
    EXPECT_EQ(request_of_open(peer, YWS_ERR_INVAL_URL), "") << url;
  }
  EXPECT_EQ(peer.connections(), 0);
  // The longest path and every allowed character go out unchanged.
  const std::string query = "?q=a-b._~!$&'()*+,;=:@/?%2F";
  std::string path = "/" + std::string(kUrlPathMax - 1 - query.size(), 'p') + query;
  profile(0, base + path);
  std::string raw = request_of_open(peer, 0);
  EXPECT_EQ(raw.rfind("GET " + path + " HTTP/1.1\r\n", 0), 0u) << raw.substr(0, 80);
}

TEST_F(Wire, SubprotocolAndHeadersAreRefusedWhenSetAndSentOnlyWhenEnabled) {
  RawPeer peer;
  profile(0, peer.url("/"));
  const std::string too_long = std::string(kSubprotMax + 1, 's');
  for (const char *bad : {"chat\r\nX-Evil: 1", "a b", "a,", ",a", "a,,b", "a;b", "\"a\"",
                          "ws://a/1", too_long.c_str()})
    EXPECT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT, bad), YWS_ERR_INVAL_PARM) << bad;
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT, "chat, yws.test"), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, "X-Token", "old"), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, "x-token-extra", "e"), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, "X-Token", "t"), YWS_OK);  // to the end
  std::string raw = request_of_open(peer, 0);
  EXPECT_FALSE(has_line_starting(raw, "Sec-WebSocket-Protocol:")) << "subprot_en is 0";
  EXPECT_TRUE(has_line_starting(raw, "x-token-extra: e\r\nX-Token: t\r\n")) << raw;
  EXPECT_EQ(raw.find("old"), std::string::npos);
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT_EN, 1), YWS_OK);
  raw = request_of_open(peer, 0);
  EXPECT_TRUE(has_line_starting(raw, "Sec-WebSocket-Protocol: chat, yws.test\r\n")) << raw;
  EXPECT_EQ(raw.find("X-Evil"), std::string::npos);
}

TEST_F(Wire, TheWholeRequestIsBoundedWithoutTruncation) {
  RawPeer peer;
  const std::string path = "/" + std::string(300, 'p'), subprot = "chat",
                    host_port = "127.0.0.1:" + std::to_string(peer.port());
  profile(0, "ws://" + host_port + path);
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT, subprot.c_str()), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT_EN, 1), YWS_OK);
  // Fill the estimate up to its bound exactly with headers "X-Fn: v...\r\n" (8 bytes and v),
  // values of at most 1000 characters.
  size_t room = kRequestMax - (kRequestFixed + path.size() + 2 * host_port.size() + subprot.size());
  size_t n = (room + 1007) / 1008, each = room / n - 8;
  std::vector<std::string> values;
  for (size_t i = 0; i < n; i++) {
    values.emplace_back(each + (i < room % n ? 1 : 0), static_cast<char>('a' + i));
    std::string name = "X-F" + std::to_string(i);
    ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, name.c_str(), values[i].c_str()), YWS_OK);
  }
  std::string raw = request_of_open(peer, 0);
  EXPECT_EQ(raw.rfind("GET " + path + " HTTP/1.1\r\n", 0), 0u) << raw.substr(0, 80);
  EXPECT_TRUE(has_line_starting(raw, "Sec-WebSocket-Protocol: " + subprot + "\r\n")) << raw;
  for (size_t i = 0; i < values.size(); i++)
    EXPECT_TRUE(has_line_starting(raw, "X-F" + std::to_string(i) + ": " + values[i] + "\r\n"));
  EXPECT_EQ(raw.find('\0'), std::string::npos);
  EXPECT_EQ(raw.substr(raw.size() - 4), "\r\n\r\n");
  // One byte more: the open fails before anything is sent.
  std::string last = "X-F" + std::to_string(values.size() - 1);
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, last.c_str(), (values.back() + "v").c_str()),
            YWS_OK);
  EXPECT_EQ(request_of_open(peer, YWS_ERR_INVAL_PARM), "");
}

TEST_F(Wire, Ipv6LiteralIsSentWithBrackets) {
  int fd = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  socklen_t n = sizeof a;
  auto *sa = reinterpret_cast<sockaddr *>(&a);
  timeval tv{5, 0};  // bounds the accept and every read
  if (fd < 0 || bind(fd, sa, n) != 0 || listen(fd, 1) != 0 || getsockname(fd, sa, &n) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    if (fd >= 0) close(fd);
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  std::string hp = "[::1]:" + std::to_string(ntohs(a.sin6_port)), request;
  std::thread capture([&] {  // keeps the request and hangs up without answering
    int c = accept(fd, nullptr, nullptr);
    char buf[4096];
    for (ssize_t k = 1; c >= 0 && k > 0 && request.find("\r\n\r\n") == std::string::npos;)
      if ((k = recv(c, buf, sizeof buf, 0)) > 0) request.append(buf, static_cast<size_t>(k));
    if (c >= 0) close(c);
  });
  profile(0, "ws://" + hp + "/v6");
  EXPECT_NE(one_outcome(0, 0), 0);
  capture.join();
  close(fd);
  EXPECT_EQ(request.rfind("GET /v6 HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_TRUE(has_line_starting(request, "Host: " + hp + "\r\n")) << request;
  EXPECT_NE(request.find("Origin: http://" + hp + "\r\n"), std::string::npos) << request;
}

// ---- configuration against opens ----

TEST(ConfigRace, SetsAndReportsFromAnotherTaskNeverDisturbAnOpen) {
  WsServer server;
  profile(0, server.url("/r"));
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT, "chat"), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT_EN, 1), YWS_OK);
  // The service's first start is not raced here: it publishes the service context without
  // ordering against other tasks' option calls (the service core's concern).
  ASSERT_EQ(open_client(0, 0), 0);
  ASSERT_EQ(close_client(0), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> applied{0};
  std::thread setter([&] {
    for (int i = 0; !stop.load(); i++) {
      int rc = yv_ws_cfg_set_opt(0, YWS_CFG_CONN_SUBPROT, i % 2 ? "yws.test" : "chat");
      applied += rc == YWS_OK;
      EXPECT_TRUE(rc == YWS_OK || rc == YWS_ERR_BUSY) << rc;
      rc = yv_ws_cfg_set_opt(0, YWS_CFG_CONN_URL, server.url("/r" + std::to_string(i % 7)).c_str());
      EXPECT_TRUE(rc == YWS_OK || rc == YWS_ERR_BUSY) << rc;
      // The direct header calls apply no busy rule; the handshake must still see whole headers.
      EXPECT_EQ(yws_cfg_add_http_head(0, "X-Race", std::string(size_t(i % 50), 'v').c_str()),
                YWS_OK);
      for (int type : {YWS_CFG_CONN_SUBPROT, YWS_CFG_CONN_URL, YWS_CFG_REQHEAD_ADD}) {
        char *line = nullptr;
        EXPECT_EQ(yws_cfg_get_opt_with_fmt(&line, type, 0, "k", nullptr), YWS_OK);
        yv_ws_mem_free(line);
      }
      EXPECT_EQ(i % 5 == 0 ? yws_cfg_remove_http_head(0, "X-Race") : 0, 0);
    }
  });
  const int rounds = 40;
  int opened = 0;
  for (; opened < rounds; opened++) {
    // Each open starts while a set may be in flight: wait for the setter to get one through.
    int seen = applied.load();
    EXPECT_TRUE(eventually([&] { return applied.load() > seen; }));
    int rc = open_client(0, 0);
    EXPECT_EQ(rc, 0) << "round " << opened;
    if (rc != 0 || close_client(0) != 0) break;  // a failed close also falls short of `rounds`
  }
  stop = true;
  setter.join();
  EXPECT_EQ(opened, rounds);
  ASSERT_TRUE(server.wait_handshakes(static_cast<size_t>(rounds) + 1, kWait));
  for (const auto &h : server.handshakes()) {
    EXPECT_TRUE(h.protocol == "chat" || h.protocol == "yws.test") << h.protocol;
    EXPECT_EQ(h.path.rfind("/r", 0), 0u) << h.path;
  }
  EXPECT_TRUE(settled());
}

// Three clients verifying the same server at once: each context creation must leave the
// others' handshakes able to find their connection.
TEST_F(Trust, ThreeClientsVerifyTheServerAtOnce) {
  auto server = tls_server(pki().good);
  ctx(pki().ca.c_str());
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    profile(c, server->url("/"));
    ASSERT_EQ(yv_ws_cfg_set_opt(static_cast<uint8_t>(c), YWS_CFG_CONN_SSLCTXID, kCtx), YWS_OK);
  }
  for (int round = 0; round < 8; round++) {
    size_t opens[YWS_CLIENT_NUM];
    for (int c = 0; c < YWS_CLIENT_NUM; c++) {
      opens[c] = Notes::get().count(c, YWS_CB_TYPE_OPEN);
      yws_open_t o{c, c, nullptr, 0};
      ASSERT_EQ(yv_ws_open_proc(&o), 0);
    }
    for (int c = 0; c < YWS_CLIENT_NUM; c++) {
      ASSERT_TRUE(Notes::get().wait_count(c, YWS_CB_TYPE_OPEN, opens[c] + 1)) << c;
      EXPECT_EQ(last(c, YWS_CB_TYPE_OPEN), 0) << "round " << round << " client " << c;
    }
    for (int c = 0; c < YWS_CLIENT_NUM; c++)
      EXPECT_EQ(last(c, YWS_CB_TYPE_OPEN) == 0 ? close_client(c) : 0, 0) << c;
    ASSERT_TRUE(settled());
  }
}
