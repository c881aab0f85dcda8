// Per-message deflate ("conn/deflate"): JSON-like traffic echoed byte-exact through a counting
// proxy at several windows and in every receive mode, the offer absent when off, and a raw peer
// whose answers and frames are wrong in each way the option must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
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

enum Mode { kDirect, kBuffered, kMessage };

void deflate_profile(const std::string &url, int bits, Mode mode) {
  profile(kCfg, url);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, 0);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_BUFFERSZ, 16384);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_DEFLATE, bits);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_MESSAGE, mode == kMessage ? 1 : 0);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_READ_MESSAGE, mode == kMessage ? 65536 : 0);
}

/* Writes one message, waiting (bounded) while the transmit queue is full. */
bool write_msg(const std::string &s, int type = YWS_WRITE_PROT_TEXT) {
  int r = YWS_ERR_NO_MEM;
  eventually([&] { return (r = write_bytes(kClient, s, type)) != YWS_ERR_NO_MEM; });
  return r == YWS_OK;
}

std::string joined(const std::vector<std::string> &v) {
  std::string s;
  for (const auto &m : v) s += m;
  return s;
}

/* The data messages a raw peer received, end to end. */
std::string received_by(const RawPeer &peer) {
  std::string s;
  for (const auto &m : peer.messages()) s += m.data;
  return s;
}

/* The MESSAGE notifications of the client from note `from` on. */
std::vector<std::string> messages_since(size_t from) {
  std::vector<std::string> out;
  auto notes = Notes::get().all();
  for (size_t i = from; i < notes.size(); i++)
    if (notes[i].client == kClient && notes[i].type == YWS_CB_TYPE_MESSAGE)
      out.push_back(notes[i].data);
  return out;
}

/* What came back from note `from` on, once `want` bytes have (bounded wait): one stream in
 * direct and buffered mode (`got`: what was read before), the messages in message mode. */
std::vector<std::string> collect(Mode mode, size_t from, size_t want, std::string got = "") {
  eventually(
      [&] {
        if (mode == kBuffered) got += read_all(kClient);
        if (mode == kDirect) got = received(kClient, Notes::get().all(), from);
        if (mode == kMessage) got = joined(messages_since(from));
        return got.size() >= want;
      },
      kWait * 4);
  return mode == kMessage ? messages_since(from) : std::vector<std::string>{got};
}

std::string answer_for(int bits) {
  std::string n = std::to_string(bits);
  return "permessage-deflate; server_max_window_bits=" + n + "; client_max_window_bits=" + n;
}

/* A raw peer answering `answer` ("": no extension header), echoing with a window of `bits`. */
RawPeer::Options answering(const std::string &answer, int bits = 10) {
  RawPeer::Options o;
  o.echo = true;
  if (!answer.empty()) {
    o.extra_response_headers = {{"Sec-WebSocket-Extensions", answer}};
    o.deflate_bits = bits;
  }
  return o;
}

/* A compressed data frame as a peer with a window of 10 sends it. */
std::string compressed(const std::string &s, int opcode = 0x1) {
  return RawPeer::frame(opcode, RawPeer::deflate_message(s, 10), true, false, 4);
}

struct EchoCase {
  int bits;  // 0: off
  Mode mode;
  bool python = false; /* python3-websockets' server instead of ours or the zlib peer */
};

void PrintTo(const EchoCase &c, std::ostream *os) {
  const char *peers[] = {"Ours", "Zlib", "Python"}, *modes[] = {"Direct", "Buffered", "Message"};
  *os << peers[c.python ? 2 : c.bits % 15 != 0]
      << (c.bits ? "N" + std::to_string(c.bits) : std::string("Off")) << modes[c.mode];
}

class DeflateEcho : public OneClientTest<kClient>,
                    public ::testing::WithParamInterface<EchoCase> {};

}  // namespace

// Offered, answered and used at each window: every byte comes back, and the proxy carries well
// under half of the payload both ways. Our server answers a bare "permessage-deflate" (a 15-bit
// window); smaller windows are answered by the zlib peer. Off (the default): no offer, and the
// wire carries at least the payload even against servers that would compress. Open, the option
// is busy.
TEST_P(DeflateEcho, JsonComesBackWholeCompressedOnlyWhenOffered) {
  const EchoCase c = GetParam();
  std::unique_ptr<WsServer> server;
  std::unique_ptr<RawPeer> peer;
  std::unique_ptr<ywstest::PyPeer> py;
  if (c.python) {
    py = std::make_unique<ywstest::PyPeer>();
    ASSERT_GT(py->port(), 0) << "python3-websockets did not start (scripts/deps.sh installs it)";
  } else if (c.bits % 15 == 0) {
    WsServer::Options so;
    so.deflate = true;
    server = std::make_unique<WsServer>(so);
  } else {
    peer = std::make_unique<RawPeer>(answering(answer_for(c.bits), c.bits));
  }
  LinkEmu link(py ? py->port() : server ? server->port() : peer->port());
  deflate_profile("ws://127.0.0.1:" + std::to_string(link.port()) + "/", c.bits, c.mode);
  // The old extension switch, on beside it (python cases), offers nothing and changes no offer.
  ASSERT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_EXTENSION_EN, c.python), YWS_OK);
  ASSERT_EQ(open_client(kClient, kCfg, c.mode == kBuffered ? YWS_SYS_MODE_BUFFERED : 0), 0);
  EXPECT_EQ(yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_DEFLATE, 9), YWS_ERR_BUSY);
  std::string offer, n = std::to_string(c.bits);
  if (py) {
    // "<offer>|<answer>" ("-": none); its answer, which the service took, is a window no larger
    // than offered.
    auto ext = py->extensions();
    ASSERT_EQ(ext.size(), 1u);
    offer = ext[0].substr(0, ext[0].find('|'));
    EXPECT_EQ(ext[0].find("|permessage-deflate"), c.bits ? offer.size() : std::string::npos);
  } else if (server) {
    ASSERT_EQ(server->handshakes().size(), 1u);
    offer = server->handshakes()[0].header("sec-websocket-extensions").value_or("-");
  } else {
    ASSERT_EQ(peer->requests().size(), 1u);
    offer = peer->requests()[0].header("sec-websocket-extensions").value_or("-");
  }
  EXPECT_EQ(offer, c.bits ? "permessage-deflate; client_max_window_bits=" + n +
                                "; server_max_window_bits=" + n
                          : "-");

  auto msgs = ywstest::telemetry(1000, static_cast<unsigned>(c.bits));
  const std::string all = joined(msgs);
  size_t from = Notes::get().all().size();
  std::string read;
  for (const auto &m : msgs) {
    EXPECT_TRUE(write_msg(m));
    if (c.mode == kBuffered) read += read_all(kClient);
  }
  auto back = collect(c.mode, from, all.size(), read);
  EXPECT_TRUE(back == (c.mode == kMessage ? msgs : std::vector<std::string>{all}))
      << back.size() << " messages, " << joined(back).size() << " bytes";
  if (peer) {
    // Every compressed message the client sent inflated to what was written.
    EXPECT_TRUE(received_by(*peer) == all);
    for (const auto &f : peer->frames()) EXPECT_TRUE(f.opcode != 0x1 || f.rsv == 4) << f.rsv;
  }
  EXPECT_EQ(unsent(kClient), 0);
  for (uint64_t wire : {link.bytes_up(), link.bytes_down()})
    EXPECT_TRUE(c.bits ? 10 * wire <= 4 * all.size() : wire >= all.size()) << wire;
  // The caller sees the same where the IP stack counts: its socket's counts are what the proxy
  // carried, retransmissions (a loaded loopback sends tail-loss probes) on top of what was sent.
  yws_wire_stats_t w{};
  ASSERT_EQ(yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_WIRE_STATS, &w), YWS_OK);
  EXPECT_EQ(w.tx_bytes, all.size());
  EXPECT_EQ(w.rx_bytes, all.size());
  if (ywst::wire_counted(w)) {
    EXPECT_GE(w.tx_wire, link.bytes_up());
    EXPECT_LE(w.tx_wire, link.bytes_up() + link.bytes_up() / 10);
    EXPECT_EQ(w.rx_wire, link.bytes_down());
  }
  EXPECT_EQ(close_client(kClient), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, DeflateEcho,
    ::testing::Values(EchoCase{0, kDirect}, EchoCase{9, kDirect}, EchoCase{12, kBuffered},
                      EchoCase{15, kMessage}, EchoCase{10, kMessage}, EchoCase{0, kDirect, true},
                      EchoCase{9, kDirect, true}, EchoCase{12, kBuffered, true},
                      EchoCase{15, kMessage, true}, EchoCase{15, kBuffered, true}));

namespace {

using Hostile = OneClientTest<kClient>;

/* Opens against a raw peer with N = `bits`. */
int open_against(RawPeer &peer, int bits = 10) {
  deflate_profile(peer.url("/"), bits, kDirect);
  return open_client(kClient, kCfg);
}

/* The client's CLOSE after note `from` (bounded wait). */
bool closed_since(size_t from) {
  return Notes::get().wait([&](const std::vector<Note> &n) {
    for (size_t i = from; i < n.size(); i++)
      if (n[i].client == kClient && n[i].type == YWS_CB_TYPE_CLOSE) return true;
    return false;
  });
}

}  // namespace

// Answers the option takes, and what arrives on them, each message once and in order: declined
// (plain frames both ways), smaller windows, either no-context-takeover, no spaces; a compressed
// message cut into frames with a ping between them; uncompressed messages and pongs beside
// compressed ones, which RFC 7692 allows and this library build would hand over without end.
TEST_F(Hostile, AnswersTakenDeliverEachMessageOnceInOrder) {
  const std::string z = RawPeer::deflate_message("{\"fragmented\":\"compressed message\"}", 10);
  const std::string fragmented = RawPeer::frame(0x1, z.substr(0, 5), false, false, 4) +
                                 RawPeer::ping_frame("mid") +
                                 RawPeer::frame(0x0, z.substr(5), true) + compressed("tail");
  const std::string cut = "{\"fragmented\":\"compressed message\"}tail";
  const struct {
    std::string answer, script, want;
  } cases[] = {
      {"", RawPeer::text_frame("{\"plain\":true}"), "{\"plain\":true}"},
      {"permessage-deflate; server_max_window_bits=10; client_max_window_bits=9", fragmented, cut},
      {"permessage-deflate;server_max_window_bits=10;client_no_context_takeover;"
       "server_no_context_takeover",
       fragmented, cut},
      {answer_for(10),
       RawPeer::text_frame("plain ") + compressed("packed ") + RawPeer::frame(0xA, "unasked pong") +
           RawPeer::binary_frame("raw"),
       "plain packed raw"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.answer);
    RawPeer::Options o = answering(c.answer);
    o.script.push_back(RawPeer::Step{RawPeer::Step::kSend, c.script});
    RawPeer peer(o);
    size_t from = Notes::get().all().size();
    ASSERT_EQ(open_against(peer), 0);
    EXPECT_TRUE(peer.requests()[0].header("sec-websocket-extensions").has_value());
    EXPECT_TRUE(eventually(
        [&] { return received(kClient, Notes::get().all(), from).size() >= c.want.size(); }));
    EXPECT_EQ(received(kClient, Notes::get().all(), from), c.want);
    EXPECT_TRUE(echoed(kClient, "{\"after\":1}"));
    // Compressed from the client exactly when answered.
    for (const auto &f : peer.frames())
      EXPECT_EQ(f.rsv, f.opcode == 0x1 && !c.answer.empty() ? 4 : 0) << f.opcode;
    EXPECT_EQ(close_client(kClient), 0);
  }
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

// Frames that fail the connection as a protocol failure after a good compressed message, with
// nothing of theirs delivered: a compressed frame when nothing was negotiated (the library
// refuses RSV1), a corrupt deflate stream, invalid UTF-8 inside compressed text (1007), and a
// few KiB (deflate reaches about 1000:1) that inflate to four times the bound: cut at it with
// 1009. The heap never holds more than the usual receive memory.
TEST_F(Hostile, BadCompressedFramesFailAsProtocolFailures) {
  const struct {
    bool negotiated;
    std::string frame;
    int code;  // our close code, 0: not checked
  } cases[] = {{false, compressed("{\"a\":1}"), 0},
               {true, RawPeer::frame(0x1, "\xff\xff\xff\xff\x01\x02\x03", true, false, 4), 0},
               {true, compressed("bad \xc3\x28 text"), 1007},
               {true, compressed(std::string(4 << 20, 0), 2), 1009}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.code + (c.negotiated ? 1 : 0));
    RawPeer::Options o = answering(c.negotiated ? answer_for(10) : "");
    std::string before = c.negotiated ? compressed("before") : RawPeer::text_frame("before");
    o.script.push_back(
        RawPeer::Step{RawPeer::Step::kSend, before + c.frame + RawPeer::text_frame("after")});
    RawPeer peer(o);
    size_t from = Notes::get().all().size(), heap = yv_mem_bytes_in_use();
    yv_mem_reset_peak();
    ASSERT_EQ(open_against(peer), 0);
    ASSERT_TRUE(closed_since(from));
    EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_ERR_PROT_FAIL);
    EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_PROTOCOL);
    std::string got = received(kClient, Notes::get().all(), from);
    EXPECT_EQ(got.substr(0, 6), "before");
    EXPECT_LE(got.size(), c.code == 1009 ? 6 + (size_t{1} << 20) : 6);  // the bomb up to the bound
    // Our close frame with the RFC's code, or, on a loaded machine, a dropped connection.
    if (c.code) {
      EXPECT_TRUE(peer.wait_disconnected(kWait));
      EXPECT_EQ(peer.closes().empty() ? c.code : peer.closes()[0].code, c.code);
    }
    EXPECT_TRUE(settled());
    EXPECT_LT(yv_mem_peak_bytes() - heap, size_t{256} << 10);
  }
}

// One dense message (about 1000:1) inflates in a single library pass: delivery still pauses at
// the usual marks, so the heap holds a batch, not the message, and every byte arrives in order.
// Each receive mode in a process of its own: the mode is the service's, set when it starts.
class DenseMessage : public Hostile, public ::testing::WithParamInterface<bool> {};

TEST_P(DenseMessage, IsHeldBackLikePlainBytes) {
  const Mode mode = GetParam() ? kBuffered : kDirect;
  std::string dense(768 << 10, '\0');
  for (size_t i = 0; i < dense.size(); i++) dense[i] = static_cast<char>(i % 251);
  RawPeer::Options o = answering(answer_for(10));
  o.script.push_back(RawPeer::Step{RawPeer::Step::kSend, compressed(dense, 0x2)});
  RawPeer peer(o);
  deflate_profile(peer.url("/"), 10, kDirect);
  size_t from = Notes::get().all().size();
  size_t before = yv_mem_bytes_in_use();
  yv_mem_reset_peak();
  ASSERT_EQ(open_client(kClient, kCfg, mode == kBuffered ? YWS_SYS_MODE_BUFFERED : 0), 0);
  EXPECT_TRUE(collect(mode, from, dense.size())[0] == dense);
  EXPECT_LT(yv_mem_peak_bytes() - before, size_t{160} << 10);
  EXPECT_EQ(close_client(kClient), 0);
}

INSTANTIATE_TEST_SUITE_P(ReceiveModes, DenseMessage, ::testing::Values(false, true));

// The option: windows below 9 refused, the name parsed in any case, the report line.
TEST(DeflateOption, RangeAndReport) {
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
}

// Buffered mode against a server that compresses a 4 MiB burst about 100:1, in small messages
// and in 64 KiB ones, over ws and wss: inflated bytes pass flow control like plain ones, the
// receive buffer never holds more than its size and every byte arrives in order.
struct FloodCase {
  bool tls;
  int size;
};

class DeflateFlow : public ::testing::TestWithParam<FloodCase> {};

INSTANTIATE_TEST_SUITE_P(Over, DeflateFlow,
                         ::testing::Values(FloodCase{false, 0}, FloodCase{true, 0},
                                           FloodCase{false, 65536}, FloodCase{true, 65536}),
                         [](const ::testing::TestParamInfo<FloodCase> &i) {
                           return std::string(i.param.tls ? "wss" : "ws") +
                                  (i.param.size ? "_large" : "_small");
                         });

TEST_P(DeflateFlow, CompressedFloodStaysWithinTheReceiveBuffer) {
  const uint64_t total = 4u << 20;
  WsServer::Options so;
  so.deflate = true;
  if (GetParam().tls) so.tls = WsServer::Tls::kSelfSigned;
  WsServer server(so);
  LinkEmu link(server.port());
  deflate_profile(std::string(GetParam().tls ? "wss" : "ws") +
                      "://127.0.0.1:" + std::to_string(link.port()) + "/burst/" +
                      std::to_string(total) + "/" + std::to_string(GetParam().size),
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
      sent.emplace_back(n, '\0');
      for (auto &ch : sent.back()) ch = static_cast<char>(gen());
      ASSERT_TRUE(write_msg(sent.back(), YWS_WRITE_PROT_BIN));
    }
    int accepted = 0, left = -1;
    yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_UNSENT_SIZE, &accepted, &left);
    EXPECT_EQ(static_cast<size_t>(accepted), joined(sent).size());
    EXPECT_EQ(close_client(kClient), 0);
    EXPECT_FALSE(peer.closes().empty());
    EXPECT_TRUE(received_by(peer) == joined(sent));
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
