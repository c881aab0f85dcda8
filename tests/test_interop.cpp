// Real servers: MQTT 3.1.1 over WebSocket to Debian's mosquitto (its own ws and TLS listeners,
// and behind nginx as a TLS-terminating reverse proxy), and wss through nginx to our loopback
// servers. The service stays a WebSocket client: the MQTT bytes are the test's own, carried as
// binary messages in each receive mode. Every server runs as a child of the test on free
// loopback ports and ends with it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "certs.h"
#include "child_proc.h"
#include "mqtt_broker.h"
#include "mqtt_codec.h"
#include "tls_proxy.h"
#include "ws_test_server.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::ChainPki;
using ywstest::MqttBroker;
using ywstest::MqttSubscriber;
using ywstest::TempDir;
using ywstest::TlsProxy;
using ywstest::WsServer;
namespace mqtt = ywstest::mqtt;

namespace {

constexpr int kClient = 1;
constexpr int kCfg = 1;
constexpr int kCtx = 2;
constexpr size_t kWriteLimit = 16384;

enum Mode { kDirect, kBuffered, kMessage };
enum Via { kWs, kWss, kProxy };  // mosquitto's ws, mosquitto's own TLS, nginx's TLS to its ws

#define SKIP_WITHOUT(cond, what) \
  if (!(cond)) GTEST_SKIP() << what << " is not installed (scripts/deps.sh installs it)"

/* The servers of one test: certificates, a broker (with its TLS listener for kWss), and for
 * kProxy nginx in front of the broker's ws listener on /mqtt. */
struct Servers {
  explicit Servers(Via via)
      : pki(ywstest::make_chain_pki(dir.path())),
        broker(via == kWss ? pki.leaf.cert : "", via == kWss ? pki.leaf.key : "") {
    if (via == kProxy && broker.ok()) {
      TlsProxy::Options o;
      o.cert = pki.leaf.cert;
      o.key = pki.leaf.key;
      o.routes = {{"/mqtt", broker.ws_port()}};
      proxy = std::make_unique<TlsProxy>(o);
    }
    switch (via) {
      case kWs:
        url = "ws://127.0.0.1:" + std::to_string(broker.ws_port()) + "/mqtt";
        break;
      case kWss:
        url = "wss://127.0.0.1:" + std::to_string(broker.wss_port()) + "/mqtt";
        break;
      case kProxy:
        url = "wss://127.0.0.1:" + std::to_string(proxy ? proxy->port() : 0) + "/mqtt";
        break;
    }
  }
  bool ok() const { return broker.ok() && (!proxy || proxy->ok()); }
  TempDir dir;
  ChainPki pki;
  MqttBroker broker;
  std::unique_ptr<TlsProxy> proxy;
  std::string url;
};

/* A profile for a broker: sub-protocol "mqtt", trust in the chain's root, the largest buffers,
 * no pings unless asked, and in message mode whole messages both ways. */
void mqtt_profile(const std::string &url, const std::string &root, Mode mode) {
  profile(kCfg, url);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_SUBPROT, "mqtt"), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_SUBPROT_EN, 1), YWS_OK);
  ASSERT_EQ(yavo_ssl_cfg_set(kCtx, root.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_SSLCTXID, kCtx), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_TIMEOUT, 10), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, 0), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_BUFFERSZ, 16384), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_READ_BUFFERSZ, 16384), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_MESSAGE, mode == kMessage ? 1 : 0), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_READ_MESSAGE, mode == kMessage ? 65536 : 0), YWS_OK);
}

int sys_mode(Mode mode) {
  return mode == kBuffered ? YWS_SYS_MODE_BUFFERED : 0;
}

/* The service client as an MQTT client: writes packets as binary data (above the transmit limit
 * in parts, which in message mode are several messages, as MQTT over WebSocket allows), and
 * decodes what arrives as one byte stream whatever the receive mode. Each successful OPEN starts
 * the stream over and runs `on_open` on the service task. */
class MqttOverService {
 public:
  explicit MqttOverService(Mode mode) : rx_(std::make_shared<Rx>()) {
    rx_->mode = mode;
    // The hook owns what it touches: a notification racing our end finds it still there.
    std::shared_ptr<Rx> rx = rx_;
    Notes::get().set_hook([rx](int client, const yws_parm_t *p) { rx->on_note(client, p); });
  }
  ~MqttOverService() {
    Notes::get().set_hook(nullptr);
    on_open(nullptr);
  }

  void on_open(std::function<void()> f) {
    std::lock_guard<std::mutex> lk(rx_->m);
    rx_->on_open = std::move(f);
  }

  bool send(const std::string &bytes) {
    for (size_t at = 0; at < bytes.size(); at += kWriteLimit) {
      std::string part = bytes.substr(at, kWriteLimit);
      int r = YWS_ERR_NO_MEM;
      eventually(
          [&] { return (r = write_bytes(kClient, part, YWS_WRITE_PROT_BIN)) != YWS_ERR_NO_MEM; });
      if (r != YWS_OK) return false;
    }
    return true;
  }

  /* The next packet from the broker within `t`; false on time-out or a malformed stream. */
  bool next(mqtt::Packet *p, milliseconds t = kWait) {
    auto end = std::chrono::steady_clock::now() + t;
    Rx &rx = *rx_;
    std::unique_lock<std::mutex> lk(rx.m);
    for (;;) {
      uint64_t seen = rx.events;
      if (rx.mode == kBuffered) {
        lk.unlock();
        std::string got = read_all(kClient, 8192);
        lk.lock();
        rx.stream.feed(got);
      }
      mqtt::Stream::Result r = rx.stream.next(p);
      if (r != mqtt::Stream::kNeedMore) return r == mqtt::Stream::kPacket;
      if (!rx.cv.wait_until(lk, end, [&] { return rx.events != seen; })) return false;
    }
  }

  /* The next packet, which must be of `type`. */
  bool expect(int type, mqtt::Packet *p, milliseconds t = kWait) {
    return next(p, t) && p->type == type;
  }

  /* A QoS 1 publication on `topic`, acknowledged, and its copy from our own subscription
   * (acknowledged in turn), in whichever order the broker sends them. */
  ::testing::AssertionResult round_trip(const std::string &topic, const std::string &payload,
                                        int qos, uint16_t id) {
    if (!send(mqtt::publish(topic, payload, qos, id)))
      return ::testing::AssertionFailure() << "write refused";
    bool acked = qos == 0, back = false;
    mqtt::Packet p;
    while (!acked || !back) {
      if (!next(&p, kWait * 2))
        return ::testing::AssertionFailure() << "acked " << acked << " back " << back;
      mqtt::Publish pub;
      if (p.type == mqtt::kPuback && !acked) {
        if (mqtt::packet_id(p) != id) return ::testing::AssertionFailure() << "PUBACK id";
        acked = true;
      } else if (mqtt::parse_publish(p, &pub) && !back) {
        if (pub.topic != topic || pub.qos != qos || pub.payload != payload)
          return ::testing::AssertionFailure() << "copy: " << pub.topic << " qos " << pub.qos << " "
                                               << pub.payload.size() << " bytes";
        if (qos == 1 && !send(mqtt::puback(static_cast<uint16_t>(pub.id))))
          return ::testing::AssertionFailure() << "PUBACK refused";
        back = true;
      } else {
        return ::testing::AssertionFailure() << "unexpected packet type " << p.type;
      }
    }
    return ::testing::AssertionSuccess();
  }

 private:
  /* What arrived, shared with the notification hook (service task). */
  struct Rx {
    Mode mode = kDirect;
    std::mutex m;
    std::condition_variable cv;
    uint64_t events = 0;
    mqtt::Stream stream;
    std::function<void()> on_open;

    void on_note(int client, const yws_parm_t *p) {
      if (client != kClient) return;
      std::function<void()> f;
      {
        std::lock_guard<std::mutex> lk(m);
        if (p->type == YWS_CB_TYPE_OPEN && p->virtual_ == 0) {
          stream = mqtt::Stream();
          f = on_open;
        }
        // Buffered mode's RECV carries a copy of the first piece, which is read again.
        if ((p->type == YWS_CB_TYPE_RECV || p->type == YWS_CB_TYPE_MESSAGE) && p->data &&
            p->size > 0 && mode != kBuffered)
          stream.feed(
              std::string(reinterpret_cast<const char *>(p->data), static_cast<size_t>(p->size)));
        events++;
      }
      cv.notify_all();
      if (f) f();
    }
  };

  std::shared_ptr<Rx> rx_;
};

/* Bytes of every value, varied by `seed`. */
std::string payload(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return s;
}

/* CONNECT answered by CONNACK "accepted", SUBSCRIBE by SUBACK granting QoS 1. */
::testing::AssertionResult connect_and_subscribe(MqttOverService &mq, const std::string &id,
                                                 const std::string &topic) {
  mqtt::Packet p;
  if (!mq.send(mqtt::connect(id, 30))) return ::testing::AssertionFailure() << "CONNECT refused";
  if (!mq.expect(mqtt::kConnack, &p) || p.body != std::string("\0\0", 2))
    return ::testing::AssertionFailure() << "no CONNACK accepted";
  if (!mq.send(mqtt::subscribe(1, topic, 1)))
    return ::testing::AssertionFailure() << "SUBSCRIBE refused";
  if (!mq.expect(mqtt::kSuback, &p) || p.body != std::string("\0\1\1", 3))
    return ::testing::AssertionFailure() << "no SUBACK granting QoS 1";
  return ::testing::AssertionSuccess();
}

struct SessionCase {
  Via via;
  Mode mode;
};

void PrintTo(const SessionCase &c, std::ostream *os) {
  const char *vias[] = {"Ws", "Wss", "Proxy"}, *modes[] = {"Direct", "Buffered", "Message"};
  *os << vias[c.via] << modes[c.mode];
}

class InteropMqtt : public OneClientTest<kClient>,
                    public ::testing::WithParamInterface<SessionCase> {
 protected:
  void SetUp() override {
    OneClientTest<kClient>::SetUp();
    yavo_ssl_cfg_clear(kCtx);
  }
};

}  // namespace

// A whole MQTT session: CONNECT, SUBSCRIBE, PUBLISH at QoS 0 and 1 from 0 B to 64 KiB, each
// acknowledged and its copy back byte-exact through our subscription; PINGREQ; delivery across
// transports (mosquitto_sub and mosquitto_pub over TCP); DISCONNECT, after which the broker ends
// the connection and the client is told once.
TEST_P(InteropMqtt, SessionCarriesEverySizeBothQosAcrossTransports) {
  SKIP_WITHOUT(MqttBroker::available(), "mosquitto");
  const SessionCase c = GetParam();
  SKIP_WITHOUT(c.via != kProxy || TlsProxy::available(), "nginx");
  Servers s(c.via);
  ASSERT_TRUE(s.ok()) << s.broker.log() << (s.proxy ? s.proxy->log() : "");
  mqtt_profile(s.url, s.pki.root, c.mode);
  MqttOverService mq(c.mode);
  ASSERT_EQ(open_client(kClient, kCfg, sys_mode(c.mode)), 0);
  const std::string topic = "yws/interop/session";
  ASSERT_TRUE(connect_and_subscribe(mq, "yws-session", topic));

  // mosquitto 2.0.11 sends a large packet over WebSocket at about 45 KB/s (an independent
  // client sees the same): the 64 KiB copies take most of this test's time.
  uint16_t id = 10;
  for (size_t size : {0u, 1u, 126u, 2048u, 16384u, 16385u, 65536u})
    for (int qos : {0, 1}) {
      EXPECT_TRUE(mq.round_trip(topic, payload(size, id), qos, id)) << size << " B, QoS " << qos;
      id++;
    }

  mqtt::Packet p;

  ASSERT_TRUE(mq.send(mqtt::pingreq()));
  EXPECT_TRUE(mq.expect(mqtt::kPingresp, &p));

  MqttSubscriber sub(s.broker, topic, 1);
  ASSERT_TRUE(sub.subscribed());
  EXPECT_TRUE(mq.round_trip(topic, "from the module", 1, id++));
  EXPECT_EQ(sub.lines(), std::vector<std::string>{topic + " from the module"});
  ASSERT_TRUE(s.broker.publish(topic, "from tcp"));
  mqtt::Publish pub;
  ASSERT_TRUE(mq.next(&p) && mqtt::parse_publish(p, &pub));
  EXPECT_EQ(pub.payload, "from tcp");
  ASSERT_TRUE(mq.send(mqtt::puback(static_cast<uint16_t>(pub.id))));

  size_t closes = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
  ASSERT_TRUE(mq.send(mqtt::disconnect()));
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes + 1));
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), 0);
  EXPECT_TRUE(settled());
  EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_CLOSE), closes + 1);
  Cause cause = cause_of(kClient);
  EXPECT_EQ(cause.cause, YWS_CLOSE_CAUSE_NETWORK);
}

INSTANTIATE_TEST_SUITE_P(Transports, InteropMqtt,
                         ::testing::Values(SessionCase{kWs, kDirect}, SessionCase{kWs, kBuffered},
                                           SessionCase{kWs, kMessage}, SessionCase{kWss, kDirect},
                                           SessionCase{kWss, kBuffered},
                                           SessionCase{kWss, kMessage},
                                           SessionCase{kProxy, kDirect},
                                           SessionCase{kProxy, kBuffered},
                                           SessionCase{kProxy, kMessage}));

namespace {

class InteropBroker : public OneClientTest<kClient>, public ::testing::WithParamInterface<Via> {
 protected:
  void SetUp() override {
    OneClientTest<kClient>::SetUp();
    yavo_ssl_cfg_clear(kCtx);
  }
};

}  // namespace

// A PUBLISH with QoS 3 breaks MQTT, not WebSocket: the broker drops the connection, and the
// client is told once, as a network end.
TEST_P(InteropBroker, MalformedPacketEndsTheConnectionOnce) {
  SKIP_WITHOUT(MqttBroker::available(), "mosquitto");
  Servers s(GetParam());
  ASSERT_TRUE(s.ok()) << s.broker.log();
  mqtt_profile(s.url, s.pki.root, kDirect);
  MqttOverService mq(kDirect);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  ASSERT_TRUE(connect_and_subscribe(mq, "yws-malformed", "yws/interop/malformed"));
  size_t closes = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
  std::string body("\0\1t", 3);
  ASSERT_TRUE(mq.send(mqtt::packet(0x36, body + "payload")));
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes + 1));
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), 0);
  Cause cause = cause_of(kClient);
  EXPECT_EQ(cause.cause, YWS_CLOSE_CAUSE_NETWORK) << cause.code << " " << cause.reason;
  EXPECT_TRUE(settled());
  EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_CLOSE), closes + 1);
  // The broker's own reason, so that nothing else ended it.
  EXPECT_NE(s.broker.log().find("Invalid QoS in PUBLISH from yws-malformed"), std::string::npos)
      << s.broker.log();
}

// Reconnect on: the broker goes away and comes back on the same ports; the client reconnects by
// itself and, from its OPEN notification, connects and subscribes again, so a publication made
// after the restart reaches it. Message mode, as an application would use it.
TEST_P(InteropBroker, ReconnectsAfterARestartAndSubscribesAgain) {
  SKIP_WITHOUT(MqttBroker::available(), "mosquitto");
  Servers s(GetParam());
  ASSERT_TRUE(s.ok()) << s.broker.log();
  mqtt_profile(s.url, s.pki.root, kMessage);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECONN_ATTEMPTS, 255), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECONN_MINDELAY, 100), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECONN_MAXDELAY, 1000), YWS_OK);
  const std::string topic = "yws/interop/reconnect";
  std::atomic<int> session_writes{0};  // outlives mq, whose OPEN hook counts here
  MqttOverService mq(kMessage);
  mq.on_open([&] {
    // On the service task: queue CONNECT and SUBSCRIBE for the new connection.
    if (write_bytes(kClient, mqtt::connect("yws-reconnect", 30), YWS_WRITE_PROT_BIN) == YWS_OK &&
        write_bytes(kClient, mqtt::subscribe(1, topic, 1), YWS_WRITE_PROT_BIN) == YWS_OK)
      session_writes++;
  });
  auto connected = [](const std::vector<Note> &v) {
    size_t n = 0;
    for (const Note &x : v) n += x.client == kClient && x.type == YWS_CB_TYPE_OPEN && x.virt == 0;
    return n;
  };
  const size_t closes = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
  const size_t reconnects = Notes::get().count(kClient, YWS_CB_TYPE_RECONNECT);
  mqtt::Packet p;
  mqtt::Publish pub;
  for (int round = 0; round < 2; round++) {
    if (round == 0) {
      ASSERT_EQ(open_client(kClient, kCfg), 0);
    } else {
      // Each failed attempt while it is down is an OPEN with an error; then one connects.
      const size_t before = connected(Notes::get().all());
      ASSERT_TRUE(s.broker.restart()) << s.broker.log();
      ASSERT_TRUE(Notes::get().wait(
          [&](const std::vector<Note> &v) { return connected(v) > before; }, kWait * 2));
      EXPECT_GE(Notes::get().count(kClient, YWS_CB_TYPE_RECONNECT), reconnects + 1);
      EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_CLOSE), closes + 1);
    }
    ASSERT_TRUE(mq.expect(mqtt::kConnack, &p)) << round;
    ASSERT_TRUE(mq.expect(mqtt::kSuback, &p)) << round;
    std::string msg = "round " + std::to_string(round);
    ASSERT_TRUE(s.broker.publish(topic, msg));
    ASSERT_TRUE(mq.next(&p) && mqtt::parse_publish(p, &pub)) << round;
    EXPECT_EQ(pub.payload, msg);
    ASSERT_TRUE(mq.send(mqtt::puback(static_cast<uint16_t>(pub.id))));
  }
  EXPECT_EQ(session_writes.load(), 2);
  yws_link_stats_t st{};
  ASSERT_EQ(yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_LINK_STATS, &st), YWS_OK);
  EXPECT_EQ(st.reconnects, 1u);
  EXPECT_EQ(st.drops, 1u);
  EXPECT_EQ(close_client(kClient), 0);
}

INSTANTIATE_TEST_SUITE_P(Transports, InteropBroker, ::testing::Values(kWs, kWss),
                         [](const ::testing::TestParamInfo<Via> &i) {
                           return std::string(i.param == kWs ? "Ws" : "Wss");
                         });

namespace {

/* nginx in front of one of our loopback servers: /echo passes the upgrade on, /quiet the same
 * with a read timeout of 3 s, /down leads to a port nothing listens on. A second server block
 * serves a certificate for another name. */
struct ProxyServers {
  ProxyServers() : pki(ywstest::make_chain_pki(dir.path())) {
    TlsProxy::Options o;
    o.cert = pki.leaf.cert;
    o.key = pki.leaf.key;
    o.other_cert = pki.other.cert;
    o.other_key = pki.other.key;
    o.routes = {{"/echo", backend.port()},
                {"/burst", backend.port()},
                {"/quiet", backend.port(), 3},
                {"/down", 0}};
    proxy = std::make_unique<TlsProxy>(o);
  }
  std::string url(const std::string &path, bool other_name = false) const {
    return "wss://127.0.0.1:" + std::to_string(other_name ? proxy->other_port() : proxy->port()) +
           path;
  }
  TempDir dir;
  ChainPki pki;
  WsServer backend;
  std::unique_ptr<TlsProxy> proxy;
};

void proxy_profile(const std::string &url, const std::string &ca, int ping_s = 0) {
  profile(kCfg, url);
  ASSERT_EQ(yavo_ssl_cfg_set(kCtx, ca.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_SSLCTXID, kCtx), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_TIMEOUT, 10), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, ping_s), YWS_OK);
}

class InteropProxy : public OneClientTest<kClient> {
 protected:
  void SetUp() override {
    OneClientTest<kClient>::SetUp();
    yavo_ssl_cfg_clear(kCtx);
    if (!TlsProxy::available())
      GTEST_SKIP() << "nginx is not installed (scripts/deps.sh installs it)";
    s_ = std::make_unique<ProxyServers>();
    ASSERT_TRUE(s_->proxy->ok()) << s_->proxy->log();
  }
  void TearDown() override {
    OneClientTest<kClient>::TearDown();
    yavo_ssl_cfg_clear(kCtx);
  }
  /* An open that must fail: NET_FAIL, a network end, and no upgrade reached the backend. */
  void expect_refused(const std::string &url, const std::string &ca) {
    proxy_profile(url, ca);
    EXPECT_EQ(open_client(kClient, kCfg), YWS_ERR_NET_FAIL);
    Cause cause = cause_of(kClient);
    EXPECT_EQ(cause.cause, YWS_CLOSE_CAUSE_NETWORK);
    EXPECT_EQ(cause.reason.rfind("certificate: ", 0), 0u) << cause.reason;
    EXPECT_TRUE(s_->backend.handshakes().empty());
  }
  std::unique_ptr<ProxyServers> s_;
};

}  // namespace

// The client holds the root only; the proxy serves leaf and intermediate. The chain is
// accepted, and four 64 KiB messages the backend sends come through whole (message mode).
TEST_F(InteropProxy, ChainOfThreeIsTrustedAndCarriesLargeMessages) {
  proxy_profile(s_->url("/burst/262144/65536"), s_->pki.root);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_READ_MESSAGE, 65536), YWS_OK);
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_READ_BUFFERSZ, 16384), YWS_OK);
  size_t from = Notes::get().all().size();
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  auto messages = [&] {
    std::vector<Note> out;
    auto all = Notes::get().all();
    for (size_t i = from; i < all.size(); i++)
      if (all[i].client == kClient && all[i].type == YWS_CB_TYPE_MESSAGE) out.push_back(all[i]);
    return out;
  };
  EXPECT_TRUE(eventually([&] { return messages().size() >= 4; }, kWait * 2));
  auto got = messages();
  ASSERT_EQ(got.size(), 4u);
  uint64_t k = 0;
  bool exact = true;
  for (const Note &m : got) {
    EXPECT_EQ(m.virt, YWS_MSG_FLAG_BINARY | YWS_MSG_FLAG_FIRST | YWS_MSG_FLAG_FINAL);
    EXPECT_EQ(m.data.size(), 65536u);
    for (char ch : m.data) exact = exact && static_cast<uint8_t>(ch) == ywstest::burst_byte(k++);
  }
  EXPECT_TRUE(exact);
  from = Notes::get().all().size();
  ASSERT_EQ(write_bytes(kClient, "and an echo after them"), YWS_OK);
  EXPECT_TRUE(eventually([&] { return messages().size() == 1; }));
  EXPECT_EQ(messages().at(0).data, "and an echo after them");
  EXPECT_EQ(close_client(kClient), 0);
}

// TLS fails closed: a root that did not issue the chain, and a certificate for another name,
// each end the open before any upgrade request leaves.
TEST_F(InteropProxy, WrongRootFailsClosed) {
  expect_refused(s_->url("/echo"), s_->pki.wrong_root);
}

TEST_F(InteropProxy, NameTheCertificateDoesNotHoldFails) {
  expect_refused(s_->url("/echo", true), s_->pki.root);
}

// The proxy answers the upgrade with 502 when its backend is down: the open fails.
TEST_F(InteropProxy, BadGatewayFailsTheOpen) {
  proxy_profile(s_->url("/down"), s_->pki.root);
  EXPECT_EQ(open_client(kClient, kCfg), YWS_ERR_NET_FAIL);
  Cause cause = cause_of(kClient);
  EXPECT_EQ(cause.cause, YWS_CLOSE_CAUSE_NETWORK);
  EXPECT_EQ(cause.code, 502);
  EXPECT_EQ(cause.reason, "HTTP 502");
  // nginx logs the request once it has answered: the line may follow the answer.
  EXPECT_TRUE(eventually([&] {
    return s_->proxy->access_log().find("\"GET /down HTTP/1.1\" 502") != std::string::npos;
  })) << s_->proxy->access_log();
}

// proxy_read_timeout 3 s: a quiet connection is ended by the proxy (TLS close, no close frame),
// which is a network end told once; pings every second keep it open past the timeout.
TEST_F(InteropProxy, ReadTimeoutEndsAQuietClientAsANetworkEnd) {
  proxy_profile(s_->url("/quiet"), s_->pki.root);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  auto opened = std::chrono::steady_clock::now();
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, 1, milliseconds(8000)));
  EXPECT_GE(std::chrono::steady_clock::now() - opened, milliseconds(2500));
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), 0);
  Cause cause = cause_of(kClient);
  EXPECT_EQ(cause.cause, YWS_CLOSE_CAUSE_NETWORK) << cause.code << " " << cause.reason;
  EXPECT_EQ(cause.reason, "TLS closed");
  EXPECT_TRUE(settled());
  EXPECT_EQ(Notes::get().count(kClient, YWS_CB_TYPE_CLOSE), 1u);
}

TEST_F(InteropProxy, PingsShorterThanTheReadTimeoutKeepItOpen) {
  proxy_profile(s_->url("/quiet"), s_->pki.root, 1);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  EXPECT_FALSE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, 1, milliseconds(5000)));
  yws_link_stats_t st{};
  ASSERT_EQ(yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_LINK_STATS, &st), YWS_OK);
  EXPECT_GE(st.ping_rtt_ms, 0);  // the backend's pongs came back through the proxy
  EXPECT_TRUE(echoed(kClient, "still here"));
  EXPECT_EQ(close_client(kClient), 0);
}

// A close frame from the backend crosses the proxy with its code and reason.
TEST_F(InteropProxy, CloseCodeFromTheBackendPassesThrough) {
  proxy_profile(s_->url("/echo"), s_->pki.root);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  ASSERT_TRUE(echoed(kClient, "hello"));
  s_->backend.close_all(4001, "maintenance");
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, 1));
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), 0);
  Cause cause = cause_of(kClient);
  EXPECT_EQ(cause.cause, YWS_CLOSE_CAUSE_PEER);
  EXPECT_EQ(cause.code, 4001);
  EXPECT_EQ(cause.reason, "maintenance");
  EXPECT_TRUE(settled());
}

#ifdef YWS_MQTT_TELEMETRY
namespace {

size_t occurrences(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
  return n;
}

}  // namespace

// The example, run as a user would: it connects, subscribes to its command topic and prints a
// command published over TCP; after a broker restart it reconnects and subscribes again, and
// what reaches a TCP subscriber is its JSON telemetry, one message a second, in order.
TEST(InteropExample, TelemetryReachesTheBrokerAcrossARestartAndCommandsArrive) {
  SKIP_WITHOUT(MqttBroker::available(), "mosquitto");
  MqttBroker broker;
  ASSERT_TRUE(broker.ok()) << broker.log();
  ywstest::ChildProc example;
  ASSERT_TRUE(example.start({YWS_MQTT_TELEMETRY,
                             "ws://127.0.0.1:" + std::to_string(broker.ws_port()) + "/mqtt", "6",
                             "itest"}));
  const std::string subscribed = "mqtt: subscribed yws/itest/command (granted)";
  ASSERT_TRUE(example.wait_output(subscribed, kWait)) << example.output();
  ASSERT_TRUE(broker.publish("yws/itest/command", "reboot"));
  EXPECT_TRUE(example.wait_output("command yws/itest/command: reboot\n", kWait))
      << example.output();

  ASSERT_TRUE(broker.restart()) << broker.log();
  EXPECT_TRUE(eventually([&] { return occurrences(example.output(), subscribed) == 2; }, kWait * 2))
      << example.output();
  MqttSubscriber sub(broker, "yws/itest/telemetry", 2);
  ASSERT_TRUE(sub.subscribed());
  auto lines = sub.lines();
  ASSERT_EQ(lines.size(), 2u) << example.output();
  const std::string head = "yws/itest/telemetry {\"device\":\"itest\",\"seq\":";
  int seq = 0;
  for (const auto &l : lines) {
    ASSERT_EQ(l.rfind(head, 0), 0u) << l;
    int n = std::atoi(l.c_str() + head.size());
    EXPECT_GT(n, seq) << l;
    seq = n;
    EXPECT_NE(l.find("\"reconnects\":1,"), std::string::npos) << l;
  }
  int status = -1;
  ASSERT_TRUE(example.wait_exit(milliseconds(15000), &status)) << example.output();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << example.output();
  EXPECT_NE(example.output().find("published "), std::string::npos) << example.output();
}

// The same by hand, as the README shows it: the console opens the broker with sub-protocol
// "mqtt" and sends each packet in hex; each answer is the broker's packet (CONNACK, SUBACK, our
// publication's copy and its PUBACK, PINGRESP), and DISCONNECT ends the connection.
TEST(InteropConsole, MqttSessionInHex) {
  SKIP_WITHOUT(MqttBroker::available(), "mosquitto");
  MqttBroker broker;
  ASSERT_TRUE(broker.ok()) << broker.log();
  TempDir dir;
  const std::string script = dir.file("mqtt.at");
  std::ofstream(script) << "AT+YWSCFG=\"conn/url\",0,\"$URL\"\n"
                           "AT+YWSCFG=\"conn/subprot\",0,\"mqtt\"\n"
                           "AT+YWSCFG=\"conn/subprot_en\",0,1\n"
                           "AT+YWSCFG=\"write/message\",0,1\n"
                           "AT+YWSCFG=\"read/message\",0,1024\n"
                           "AT+YWSOPEN=0,0\n"
                           "AT+YWSSEND=0,1,\"101200044d5154540402003c00067977732d6174\"\n"
                           "AT+YWSSEND=0,1,\"820c000100077977732f636d6401\"\n"
                           "AT+YWSSEND=0,1,\"320d00077977732f636d6400026869\"\n"
                           "AT+YWSSEND=0,1,\"40020001\"\n"
                           "AT+YWSSEND=0,1,\"c000\"\n"
                           "AT+YWSSEND=0,1,\"e000\"\n";
  auto r = ywstest::run_program(
      {YWS_AT_PATH, "--url", "ws://127.0.0.1:" + std::to_string(broker.ws_port()) + "/mqtt",
       "--script", script, "--timeout", "3"},
      milliseconds(30000));
  EXPECT_EQ(r.exit_code, 0) << r.out;
  for (const char *line :
       {"+YWSOPEN: 0,0", "+YWSMSG: 0,4,7,\"20020000\"", "+YWSMSG: 0,5,7,\"9003000101\"",
        "+YWSMSG: 0,15,7,\"320D00077977732F636D6400016869\"", "+YWSMSG: 0,4,7,\"40020002\"",
        "+YWSMSG: 0,2,7,\"D000\"", "+YWSCLOSE: 0,0"})
    EXPECT_NE(r.out.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << r.out;
  EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
}
#endif
