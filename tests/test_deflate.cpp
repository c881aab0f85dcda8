// Per-message deflate ("conn/deflate"): JSON-like traffic echoed byte-exact through a counting
// proxy at several windows and in every receive mode, the offer absent when off, and a raw peer
// whose answers and frames are wrong in each way the option must refuse.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "link_emu.h"
#include "py_peer.h"
#include "telemetry.h"
#include "ws_test_server.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::LinkEmu;
using ywstest::RawPeer;
using ywstest::WsServer;

namespace {

constexpr int kClient = 2;
constexpr int kCfg = 2;
constexpr size_t kMessages = 1000;

size_t total(const std::vector<std::string> &v) {
  size_t n = 0;
  for (const auto &s : v) n += s.size();
  return n;
}

enum Mode { kDirect, kBuffered, kMessage };

void deflate_profile(const std::string &url, int bits, Mode mode) {
  profile(kCfg, url);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, 0);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_BUFFERSZ, 16384);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_DEFLATE, bits);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_MESSAGE, mode == kMessage ? 1 : 0);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_READ_MESSAGE, mode == kMessage ? 65536 : 0);
}

bool write_text(const std::string &s) {
  yws_parm_t p{YWS_WRITE_PROT_TEXT, reinterpret_cast<uint8_t *>(const_cast<char *>(s.data())),
               static_cast<int32_t>(s.size()), 0};
  int r = YWS_ERR_NO_MEM;
  eventually([&] { return (r = yv_ws_write_proc(kClient, &p)) != YWS_ERR_NO_MEM; });
  return r == YWS_OK;
}

/* What came back, as a stream (direct and buffered) or as messages (message mode). */
struct Echo {
  std::string stream;
  std::vector<std::string> messages;
};

std::string drain_buffered() {
  std::string out, buf(4096, '\0');
  int32_t n;
  do {
    n = static_cast<int32_t>(buf.size());
    if (yv_ws_read_proc(kClient, &buf[0], &n, true) != YWS_OK) break;
    out.append(buf, 0, static_cast<size_t>(n));
  } while (n > 0);
  return out;
}

/* Bytes of the MESSAGE notifications of the client from note `from` on. */
size_t message_bytes(const std::vector<Note> &notes, size_t from) {
  size_t n = 0;
  for (size_t i = from; i < notes.size(); i++)
    if (notes[i].client == kClient && notes[i].type == YWS_CB_TYPE_MESSAGE)
      n += notes[i].data.size();
  return n;
}

/* Sends every message while collecting the echo, up to `want` bytes back. */
Echo run_echo(const std::vector<std::string> &msgs, Mode mode) {
  Echo e;
  size_t want = total(msgs);
  size_t from = Notes::get().all().size();
  for (const auto &m : msgs) {
    EXPECT_TRUE(write_text(m));
    if (mode == kBuffered) e.stream += drain_buffered();
  }
  eventually(
      [&] {
        if (mode == kBuffered) e.stream += drain_buffered();
        if (mode == kMessage) return message_bytes(Notes::get().all(), from) >= want;
        if (mode == kDirect) return received_size(kClient, Notes::get().all(), from) >= want;
        return e.stream.size() >= want;
      },
      kWait * 4);
  auto notes = Notes::get().all();
  if (mode == kDirect) e.stream = received(kClient, notes, from);
  for (size_t i = from; mode == kMessage && i < notes.size(); i++)
    if (notes[i].client == kClient && notes[i].type == YWS_CB_TYPE_MESSAGE)
      e.messages.push_back(notes[i].data);
  return e;
}

struct EchoCase {
  int bits;
  Mode mode;
  bool python = false; /* python3-websockets' server instead of ours */
};

/* "<offer>|<answer>" as the python server logged it: the offer. */
std::string offer_of(const std::string &logged) {
  return logged.substr(0, logged.find('|'));
}

class DeflateEcho : public OneClientTest<kClient>,
                    public ::testing::WithParamInterface<EchoCase> {};

}  // namespace

std::string answer_for(int bits) {
  std::string n = std::to_string(bits);
  return "permessage-deflate; server_max_window_bits=" + n + "; client_max_window_bits=" + n;
}

// Offered, answered and used at each window: every byte comes back, and the proxy carries well
// under half of the payload both ways. The library's own server answers a bare
// "permessage-deflate" (a 15-bit window); smaller windows are answered by the zlib peer.
TEST_P(DeflateEcho, JsonComesBackWholeAndTheWireCarriesLess) {
  const EchoCase c = GetParam();
  std::unique_ptr<WsServer> server;
  std::unique_ptr<RawPeer> peer;
  std::unique_ptr<ywstest::PyPeer> py;
  if (c.python) {
    py = std::make_unique<ywstest::PyPeer>();
    ASSERT_GT(py->port(), 0) << "python3-websockets did not start (scripts/deps.sh installs it)";
  } else if (c.bits == 15) {
    WsServer::Options so;
    so.deflate = true;
    server = std::make_unique<WsServer>(so);
  } else {
    RawPeer::Options po;
    po.echo = true;
    po.deflate_bits = c.bits;
    po.extra_response_headers = {{"Sec-WebSocket-Extensions", answer_for(c.bits)}};
    peer = std::make_unique<RawPeer>(po);
  }
  LinkEmu link(py ? py->port() : server ? server->port() : peer->port());
  deflate_profile("ws://127.0.0.1:" + std::to_string(link.port()) + "/", c.bits, c.mode);
  ASSERT_EQ(open_client(kClient, kCfg, c.mode == kBuffered ? YWS_SYS_MODE_BUFFERED : 0), 0);
  std::optional<std::string> offer;
  if (py) {
    auto ext = py->extensions();
    ASSERT_EQ(ext.size(), 1u);
    offer = offer_of(ext[0]);
    // Its own answer, which the service took: a window no larger than offered.
    EXPECT_EQ(ext[0].find("|permessage-deflate"), offer->size()) << ext[0];
  } else if (server) {
    ASSERT_EQ(server->handshakes().size(), 1u);
    offer = server->handshakes()[0].header("sec-websocket-extensions");
  } else {
    ASSERT_EQ(peer->requests().size(), 1u);
    offer = peer->requests()[0].header("sec-websocket-extensions");
  }
  ASSERT_TRUE(offer.has_value());
  EXPECT_NE(offer->find("client_max_window_bits=" + std::to_string(c.bits)), std::string::npos);
  EXPECT_NE(offer->find("server_max_window_bits=" + std::to_string(c.bits)), std::string::npos);

  auto msgs = ywstest::telemetry(kMessages, static_cast<unsigned>(c.bits));
  Echo e = run_echo(msgs, c.mode);
  if (c.mode == kMessage) {
    ASSERT_EQ(e.messages.size(), msgs.size());
    for (size_t i = 0; i < msgs.size(); i++) ASSERT_EQ(e.messages[i], msgs[i]) << i;
  } else {
    std::string all;
    for (const auto &m : msgs) all += m;
    ASSERT_EQ(e.stream.size(), all.size());
    EXPECT_TRUE(e.stream == all);
  }
  if (peer) {
    // Every compressed message the client sent inflated to what was written.
    std::string got;
    for (const auto &m : peer->messages()) got += m.data;
    std::string all;
    for (const auto &m : msgs) all += m;
    EXPECT_TRUE(got == all);
    for (const auto &f : peer->frames()) {
      if (f.opcode == 0x1) {
        EXPECT_EQ(f.rsv, 4);
      }
    }
  }
  EXPECT_EQ(unsent(kClient), 0);
  double payload = static_cast<double>(total(msgs));
  EXPECT_LE(static_cast<double>(link.bytes_up()), 0.4 * payload) << link.bytes_up();
  EXPECT_LE(static_cast<double>(link.bytes_down()), 0.4 * payload) << link.bytes_down();
  // The caller sees the same saving: its socket's counts are what the proxy carried.
  yws_wire_stats_t w{};
  ASSERT_EQ(yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_WIRE_STATS, &w), YWS_OK);
  ASSERT_EQ(w.wire_counted, 1);
  EXPECT_EQ(w.tx_bytes, total(msgs));
  EXPECT_EQ(w.rx_bytes, total(msgs));
  EXPECT_EQ(w.tx_wire, link.bytes_up());
  EXPECT_EQ(w.rx_wire, link.bytes_down());
  std::printf("deflate N=%d mode %d: payload %zu, wire up %llu down %llu\n", c.bits, (int)c.mode,
              total(msgs), (unsigned long long)link.bytes_up(),
              (unsigned long long)link.bytes_down());
  EXPECT_EQ(close_client(kClient), 0);
}

INSTANTIATE_TEST_SUITE_P(Windows, DeflateEcho,
                         ::testing::Values(EchoCase{9, kDirect}, EchoCase{12, kBuffered},
                                           EchoCase{15, kMessage}, EchoCase{10, kMessage},
                                           EchoCase{9, kDirect, true},
                                           EchoCase{12, kBuffered, true},
                                           EchoCase{15, kMessage, true},
                                           EchoCase{15, kBuffered, true}));

// Off (the default): no offer in the request, and the wire carries at least the payload even
// against a server that would compress (ours, and python3-websockets').
TEST(DeflateOff, NothingOfferedAndNothingCompressed) {
  for (bool python : {false, true}) {
    SCOPED_TRACE(python);
    WsServer::Options so;
    so.deflate = true;
    std::unique_ptr<WsServer> server;
    std::unique_ptr<ywstest::PyPeer> py;
    if (python) {
      py = std::make_unique<ywstest::PyPeer>();
      ASSERT_GT(py->port(), 0);
    } else {
      server = std::make_unique<WsServer>(so);
    }
    LinkEmu link(py ? py->port() : server->port());
    deflate_profile("ws://127.0.0.1:" + std::to_string(link.port()) + "/", 0, kDirect);
    ASSERT_EQ(open_client(kClient, kCfg), 0);
    if (py) {
      EXPECT_EQ(py->extensions(), std::vector<std::string>{"-|-"});
    } else {
      auto hs = server->handshakes();
      ASSERT_EQ(hs.size(), 1u);
      EXPECT_FALSE(hs[0].header("sec-websocket-extensions").has_value());
    }
    auto msgs = ywstest::telemetry(100, 1);
    Echo e = run_echo(msgs, kDirect);
    EXPECT_EQ(e.stream.size(), total(msgs));
    EXPECT_GE(link.bytes_up(), total(msgs));
    EXPECT_GE(link.bytes_down(), total(msgs));
    yws_wire_stats_t w{};
    ASSERT_EQ(yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_WIRE_STATS, &w), YWS_OK);
    EXPECT_EQ(w.tx_wire, link.bytes_up());
    EXPECT_GE(w.rx_wire, w.rx_bytes);
    EXPECT_EQ(close_client(kClient), 0);
    EXPECT_TRUE(settled());
  }
}

namespace {

using Hostile = OneClientTest<kClient>;

/* Opens against a raw peer with N = `bits`. */
int open_against(RawPeer &peer, int bits = 10) {
  deflate_profile(peer.url("/"), bits, kDirect);
  return open_client(kClient, kCfg);
}

/* A peer answering `answer` ("": no extension header), echoing with a window of `bits`. */
RawPeer::Options answering(const std::string &answer, int bits = 10) {
  RawPeer::Options o;
  o.echo = true;
  if (!answer.empty()) {
    o.extra_response_headers = {{"Sec-WebSocket-Extensions", answer}};
    o.deflate_bits = bits;
  }
  return o;
}

}  // namespace

// A server that declines gives a plain connection that works as without the option.
TEST_F(Hostile, DeclinedMeansUncompressed) {
  RawPeer peer(answering(""));
  ASSERT_EQ(open_against(peer), 0);
  EXPECT_TRUE(peer.requests()[0].header("sec-websocket-extensions").has_value());
  EXPECT_TRUE(echoed(kClient, "{\"plain\":true}"));
  for (const auto &f : peer.frames()) EXPECT_EQ(f.rsv, 0);
  EXPECT_EQ(close_client(kClient), 0);
}

// Answers the option must refuse: the open fails, the slot is free, nothing was delivered.
TEST_F(Hostile, AnswersNotOfferedFailTheOpen) {
  for (const std::string &answer : std::vector<std::string>{
           "permessage-deflate; server_max_window_bits=10; client_max_window_bits=10; x_mode=1",
           "permessage-deflate; server_max_window_bits=12; client_max_window_bits=10",
           "permessage-deflate; server_max_window_bits=10; client_max_window_bits=15",
           "permessage-deflate; client_max_window_bits=10", "x-webkit-deflate-frame",
           "permessage-deflate; server_max_window_bits=\"10\"", "Permessage-Deflate",
           "permessage-deflate; server_max_window_bits=8",
           "permessage-deflate; server_max_window_bits=10" + std::string(300, ' ')}) {
    SCOPED_TRACE(answer);
    RawPeer::Options o = answering(answer);
    o.script.push_back(RawPeer::Step{RawPeer::Step::kSend, RawPeer::text_frame("early")});
    RawPeer peer(o);
    size_t from = Notes::get().all().size();
    EXPECT_EQ(open_against(peer), YWS_ERR_NET_FAIL);
    EXPECT_TRUE(settled());
    EXPECT_EQ(received(kClient, Notes::get().all(), from), "");
  }
}

/* The client's CLOSE after note `from` (bounded wait). */
bool closed_since(size_t from) {
  return Notes::get().wait([&](const std::vector<Note> &n) {
    for (size_t i = from; i < n.size(); i++)
      if (n[i].client == kClient && n[i].type == YWS_CB_TYPE_CLOSE) return true;
    return false;
  });
}

// Frames that fail the connection as a protocol failure after a good compressed message, with
// nothing of theirs delivered: a compressed frame when nothing was negotiated (the library
// refuses RSV1), a corrupt deflate stream, and invalid UTF-8 inside compressed text (1007).
TEST_F(Hostile, BadCompressedFramesFailAsProtocolFailures) {
  const struct {
    bool negotiated;
    std::string payload;
    int code;  // our close code, 0: not checked
  } cases[] = {{false, RawPeer::deflate_message("{\"a\":1}", 10), 0},
               {true, "\xff\xff\xff\xff\x01\x02\x03", 0},
               {true, RawPeer::deflate_message("bad \xc3\x28 text", 10), 1007}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.code + (c.negotiated ? 1 : 0));
    RawPeer::Options o = answering(c.negotiated ? answer_for(10) : "");
    std::string before =
        c.negotiated ? RawPeer::frame(0x1, RawPeer::deflate_message("before", 10), true, false, 4)
                     : RawPeer::text_frame("before");
    o.script.push_back(RawPeer::Step{
        RawPeer::Step::kSend,
        before + RawPeer::frame(0x1, c.payload, true, false, 4) + RawPeer::text_frame("after")});
    RawPeer peer(o);
    size_t from = Notes::get().all().size();
    ASSERT_EQ(open_against(peer), 0);
    ASSERT_TRUE(closed_since(from));
    EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_ERR_PROT_FAIL);
    EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_PROTOCOL);
    EXPECT_EQ(received(kClient, Notes::get().all(), from), "before");
    // Our close frame with the RFC's code, or a dropped connection.
    if (c.code) {
      EXPECT_TRUE(peer.wait_disconnected(kWait));
      if (!peer.closes().empty()) {
        EXPECT_EQ(peer.closes()[0].code, c.code);
      }
    }
    EXPECT_TRUE(settled());
  }
}

// Uncompressed messages and pongs on a deflate connection, which RFC 7692 allows: this library
// build would hand each over without end; each arrives once, in order with compressed ones.
TEST_F(Hostile, UncompressedMessagesArriveOnceBesideCompressedOnes) {
  RawPeer::Options o = answering(answer_for(10));
  o.script.push_back(RawPeer::Step{
      RawPeer::Step::kSend,
      RawPeer::text_frame("plain ") +
          RawPeer::frame(0x1, RawPeer::deflate_message("packed ", 10), true, false, 4) +
          RawPeer::frame(0xA, "unasked pong") + RawPeer::binary_frame("raw")});
  RawPeer peer(o);
  size_t from = Notes::get().all().size();
  ASSERT_EQ(open_against(peer), 0);
  EXPECT_TRUE(eventually([&] { return received(kClient, Notes::get().all(), from).size() >= 16; }));
  EXPECT_EQ(received(kClient, Notes::get().all(), from), "plain packed raw");
  EXPECT_TRUE(echoed(kClient, "{\"still\":\"open\"}"));
  EXPECT_EQ(close_client(kClient), 0);
}

// A few KiB that would inflate to gigabytes: cut at the bound with 1009, cause PROTOCOL, and the
// heap never holds more than the usual receive memory.
TEST_F(Hostile, BombEndsWith1009) {
  // 1 MiB of zeros after a full flush compresses to the same bytes every time (deflate's
  // limit is about 1000:1): 2048 copies make 2 GiB from about 2 MiB.
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -10, 9, Z_DEFAULT_STRATEGY), Z_OK);
  std::string zeros(1 << 20, '\0'), chunk(1 << 16, '\0');
  z.next_in = reinterpret_cast<Bytef *>(&zeros[0]);
  z.avail_in = static_cast<uInt>(zeros.size());
  z.next_out = reinterpret_cast<Bytef *>(&chunk[0]);
  z.avail_out = static_cast<uInt>(chunk.size());
  ASSERT_EQ(deflate(&z, Z_FULL_FLUSH), Z_OK);
  chunk.resize(chunk.size() - z.avail_out);
  deflateEnd(&z);
  std::string bomb;
  for (int i = 0; i < 2048; i++) bomb += chunk;
  ASSERT_LT(bomb.size(), 4u << 20);
  RawPeer::Options o = answering(answer_for(10));
  // Only its first 64 KiB (64 MiB inflated) leave: a peer still busy sending 2 MiB might miss
  // the close frame, and the bound is far behind.
  o.script.push_back(RawPeer::Step{
      RawPeer::Step::kSend, RawPeer::frame(0x2, bomb, true, false, 4).substr(0, 10 + 65536)});
  RawPeer peer(o);
  size_t before = yv_mem_bytes_in_use();
  yv_mem_reset_peak();
  ASSERT_EQ(open_against(peer), 0);
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, 1, kWait * 2));
  // Our close frame with 1009, or, on a loaded machine, a connection the peer saw dropped.
  EXPECT_TRUE(peer.wait_disconnected(kWait));
  if (!peer.closes().empty()) {
    EXPECT_EQ(peer.closes()[0].code, 1009);
  }
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_ERR_PROT_FAIL);
  EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_PROTOCOL);
  EXPECT_LE(received_size(kClient, Notes::get().all()), size_t{1} << 20);
  EXPECT_LT(yv_mem_peak_bytes() - before, size_t{256} << 10);
  EXPECT_TRUE(settled());
}

// One dense message (about 1000:1) inflates in a single library pass: delivery still pauses at
// the usual marks, so the heap holds a batch, not the message, and every byte arrives in order.
// Each receive mode in a process of its own: the mode is the service's, set when it starts.
class DenseMessage : public Hostile, public ::testing::WithParamInterface<bool> {};

TEST_P(DenseMessage, IsHeldBackLikePlainBytes) {
  const bool buffered = GetParam();
  std::string dense(768 << 10, '\0');
  for (size_t i = 0; i < dense.size(); i++) dense[i] = static_cast<char>(i % 251);
  RawPeer::Options o = answering(answer_for(10));
  o.script.push_back(
      RawPeer::Step{RawPeer::Step::kSend,
                    RawPeer::frame(0x2, RawPeer::deflate_message(dense, 10), true, false, 4)});
  RawPeer peer(o);
  deflate_profile(peer.url("/"), 10, kDirect);
  size_t from = Notes::get().all().size();
  size_t before = yv_mem_bytes_in_use();
  yv_mem_reset_peak();
  ASSERT_EQ(open_client(kClient, kCfg, buffered ? YWS_SYS_MODE_BUFFERED : 0), 0);
  std::string got;
  ASSERT_TRUE(eventually(
      [&] {
        if (buffered) got += drain_buffered();
        return (buffered ? got.size() : received_size(kClient, Notes::get().all(), from)) >=
               dense.size();
      },
      kWait * 4));
  if (!buffered) got = received(kClient, Notes::get().all(), from);
  EXPECT_TRUE(got == dense);
  EXPECT_LT(yv_mem_peak_bytes() - before, size_t{160} << 10);
  EXPECT_EQ(close_client(kClient), 0);
}

INSTANTIATE_TEST_SUITE_P(ReceiveModes, DenseMessage, ::testing::Values(false, true));

// The option: windows below 9 refused, the report line, the busy rule; "conn/extension_en"
// alone still offers nothing, and beside "conn/deflate" leaves the offer as it is.
TEST(DeflateOption, RangeReportBusyAndTheOldExtensionSwitch) {
  for (int bad : {1, 8, 16, -1})
    EXPECT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_DEFLATE, bad), YWS_ERR_INVAL_PARM) << bad;
  EXPECT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_DEFLATE, 9), YWS_OK);
  int type = -1;
  EXPECT_EQ(yws_cfg_type_parse("conn/DEFLATE", &type), YWS_OK);
  EXPECT_EQ(type, YWS_CFG_CONN_DEFLATE);
  char *line = nullptr;
  ASSERT_EQ(yws_cfg_get_opt_with_fmt(&line, YWS_CFG_CONN_DEFLATE, kCfg, "conn/deflate", nullptr),
            YWS_OK);
  EXPECT_STREQ(line, "+YWSCFG: \"conn/deflate\",2,9");
  yv_ws_mem_free(line);

  for (int deflate : {0, 11}) {
    SCOPED_TRACE(deflate);
    RawPeer peer(answering(deflate ? answer_for(deflate) : "", deflate));
    deflate_profile(peer.url("/"), deflate, kDirect);
    ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_EXTENSION_EN, 1), YWS_OK);
    ASSERT_EQ(open_client(kClient, kCfg), 0);
    EXPECT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_DEFLATE, 0), YWS_ERR_BUSY);
    auto offer = peer.requests()[0].header("sec-websocket-extensions");
    EXPECT_EQ(offer.has_value(), deflate != 0);
    if (deflate) {
      EXPECT_EQ(*offer, "permessage-deflate; client_max_window_bits=11; server_max_window_bits=11");
    }
    EXPECT_TRUE(echoed(kClient, "{\"k\":\"v\"}"));
    EXPECT_EQ(close_client(kClient), 0);
    EXPECT_TRUE(settled());
  }
  EXPECT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_EXTENSION_EN, 0), YWS_OK);
}

// Buffered mode against a server that compresses a 4 MiB burst about 100:1: inflated bytes pass
// flow control like plain ones, the receive buffer never holds more than its size and every
// byte arrives in order.
TEST(DeflateFlow, CompressedFloodStaysWithinTheReceiveBuffer) {
  const uint64_t total = 4u << 20;
  WsServer::Options so;
  so.deflate = true;
  WsServer server(so);
  LinkEmu link(server.port());
  deflate_profile(
      "ws://127.0.0.1:" + std::to_string(link.port()) + "/burst/" + std::to_string(total) + "/0",
      15, kDirect);
  ASSERT_EQ(open_client(kClient, kCfg, YWS_SYS_MODE_BUFFERED), 0);
  uint64_t got = 0;
  int32_t max_held = 0;
  bool in_order = true;
  std::string buf(65536, '\0');
  size_t heap = yv_mem_bytes_in_use();
  size_t heap_max = heap;
  ASSERT_TRUE(eventually(
      [&] {
        int32_t n = static_cast<int32_t>(buf.size());
        yv_ws_read_proc(kClient, &buf[0], &n, false);
        max_held = std::max(max_held, n);
        for (int32_t i = 0; i < n && in_order; i++)
          in_order = static_cast<uint8_t>(buf[static_cast<size_t>(i)]) ==
                     ywstest::burst_byte(got + static_cast<uint64_t>(i));
        got += static_cast<uint64_t>(n);
        heap_max = std::max(heap_max, yv_mem_bytes_in_use());
        return got >= total;
      },
      std::chrono::seconds(30)));
  EXPECT_EQ(got, total);
  EXPECT_TRUE(in_order);
  EXPECT_LE(max_held, 10240);
  EXPECT_LT(heap_max - heap, size_t{64} << 10);
  EXPECT_LT(link.bytes_down(), total / 20);  // it did come compressed
  EXPECT_EQ(close_client(kClient), 0);
}

// Answers the option takes: smaller windows, either no-context-takeover, no spaces; a
// compressed message cut into frames with a ping between them arrives whole.
TEST_F(Hostile, AcceptedAnswersAndFragmentedMessages) {
  for (const char *answer :
       {"permessage-deflate; server_max_window_bits=10; client_max_window_bits=9",
        "permessage-deflate;server_max_window_bits=10;client_no_context_takeover;"
        "server_no_context_takeover"}) {
    SCOPED_TRACE(answer);
    std::string z = RawPeer::deflate_message("{\"fragmented\":\"compressed message\"}", 10);
    RawPeer::Options o = answering(answer);
    o.script.push_back(RawPeer::Step{
        RawPeer::Step::kSend,
        RawPeer::frame(0x1, z.substr(0, 5), false, false, 4) + RawPeer::ping_frame("mid") +
            RawPeer::frame(0x0, z.substr(5), true) +
            RawPeer::frame(0x1, RawPeer::deflate_message("tail", 10), true, false, 4)});
    RawPeer peer(o);
    size_t from = Notes::get().all().size();
    ASSERT_EQ(open_against(peer), 0);
    std::string want = "{\"fragmented\":\"compressed message\"}tail";
    EXPECT_TRUE(eventually([&] { return received(kClient, Notes::get().all(), from) == want; }))
        << received(kClient, Notes::get().all(), from);
    EXPECT_TRUE(echoed(kClient, "{\"after\":1}"));
    EXPECT_EQ(close_client(kClient), 0);
  }
}

// Keepalive on a compressed connection: answered pings keep it open past several ping
// timeouts (pongs count as signs of life); swallowed ones end it with the ping timeout.
TEST_F(Hostile, PingsAndTheirTimeoutOnACompressedConnection) {
  for (bool pongs : {true, false}) {
    SCOPED_TRACE(pongs);
    RawPeer::Options o = answering(answer_for(10));
    o.auto_pong = pongs;
    RawPeer peer(o);
    deflate_profile(peer.url("/"), 10, kDirect);
    yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, 1);
    yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_TIMEOUT, 1);
    size_t from = Notes::get().all().size();
    ASSERT_EQ(open_client(kClient, kCfg), 0);
    EXPECT_TRUE(echoed(kClient, "{\"before\":\"the pings\"}"));
    if (pongs) {
      ASSERT_TRUE(peer.wait_pings(3, milliseconds(6000)));
      EXPECT_EQ(yv_ws_get_client_conn_state(kClient), YWS_CONN_STA_CONNECTED);
      EXPECT_EQ(close_client(kClient), 0);
    } else {
      ASSERT_TRUE(closed_since(from));
      EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_ERR_TIMEDOUT);
      EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_PING_TIMEOUT);
    }
    EXPECT_TRUE(settled());
  }
}

// Incompressible binary makes the library's compressed output outgrow its 1 KiB buffer, so it
// sends a message in more frames than we wrote. Closed right after the writes, both write modes
// still deliver every byte before the close frame; the counts are the caller's bytes.
TEST_F(Hostile, IncompressibleWritesLeaveWholeBeforeTheClose) {
  std::mt19937 gen(7);
  for (Mode mode : {kDirect, kMessage}) {
    SCOPED_TRACE(mode);
    RawPeer peer(answering(answer_for(10)));
    deflate_profile(peer.url("/"), 10, mode);
    ASSERT_EQ(open_client(kClient, kCfg), 0);
    std::vector<std::string> sent;
    for (size_t n : {size_t(1500), size_t(2048), size_t(5000), size_t(16384)}) {
      std::string b(n, '\0');
      for (auto &ch : b) ch = static_cast<char>(gen());
      yws_parm_t p{YWS_WRITE_PROT_BIN, reinterpret_cast<uint8_t *>(&b[0]),
                   static_cast<int32_t>(b.size()), 0};
      int r = YWS_ERR_NO_MEM;
      eventually([&] { return (r = yv_ws_write_proc(kClient, &p)) != YWS_ERR_NO_MEM; });
      ASSERT_EQ(r, YWS_OK);
      sent.push_back(b);
    }
    std::string all;
    for (const auto &b : sent) all += b;
    int accepted = 0, left = -1;
    yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_UNSENT_SIZE, &accepted, &left);
    EXPECT_EQ(static_cast<size_t>(accepted), all.size());
    EXPECT_EQ(close_client(kClient), 0);
    EXPECT_FALSE(peer.closes().empty());
    std::string got;
    for (const auto &m : peer.messages()) got += m.data;
    EXPECT_TRUE(got == all);
    size_t data_frames = 0;
    for (const auto &f : peer.frames()) data_frames += f.opcode <= 0x2;
    EXPECT_GT(data_frames, peer.messages().size());  // the library split some messages
    if (mode == kMessage) {
      ASSERT_EQ(peer.messages().size(), sent.size());
      for (size_t i = 0; i < sent.size(); i++) EXPECT_TRUE(peer.messages()[i].data == sent[i]);
    }
    EXPECT_TRUE(settled());
  }
}
