// Message mode both ways ("write/message", "read/message") against the raw peer, which writes
// and parses frames itself: kinds and boundaries survive fragmentation, control frames between
// fragments and TCP cut into single bytes, in both receive modes and with three clients at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ws_test_server.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::RawPeer;

namespace {

const size_t kSizes[] = {0, 1, 125, 126, 2047, 2048, 2049, 10000, 16384};

struct Msg {
  bool binary;
  std::string data;
  bool operator==(const Msg &o) const { return binary == o.binary && data == o.data; }
};

/* Text is ASCII (valid UTF-8 in any cut); binary runs through every byte value. */
Msg make(size_t size, bool binary, int seed) {
  Msg m{binary, std::string(size, '\0')};
  for (size_t i = 0; i < size; i++)
    m.data[i] = binary ? static_cast<char>((i * 7 + static_cast<size_t>(seed)) & 0xFF)
                       : static_cast<char>('a' + (i + static_cast<size_t>(seed)) % 26);
  return m;
}

std::vector<Msg> sample(int seed) {
  std::vector<Msg> v;
  int k = 0;
  for (size_t n : kSizes) v.push_back(make(n, (k++ + seed) % 2 == 1, seed));
  return v;
}

/* The server sends m one way or another: whole, in fragments of `part` bytes with a ping between
 * the first two, or (part 0) one byte per TCP segment. */
void server_sends(RawPeer &peer, const Msg &m, size_t part) {
  int op = m.binary ? 0x2 : 0x1;
  if (part == SIZE_MAX) return peer.send_raw(RawPeer::frame(op, m.data));
  if (part == 0) return peer.send_bytewise(RawPeer::frame(op, m.data));
  std::string wire;
  size_t off = 0;
  do {
    size_t n = std::min(part, m.data.size() - off);
    bool fin = off + n == m.data.size();
    wire += RawPeer::frame(off == 0 ? op : 0x0, m.data.substr(off, n), fin);
    if (off == 0 && !fin) wire += RawPeer::ping_frame("between");
    off += n;
  } while (off < m.data.size());
  peer.send_raw(wire);
}

void message_profile(int cfg, const std::string &url, int piece, bool write_message) {
  profile(cfg, url);
  yv_ws_cfg_set_opt(static_cast<uint8_t>(cfg), YWS_CFG_PING_INTERVAL, 0);
  yv_ws_cfg_set_opt(static_cast<uint8_t>(cfg), YWS_CFG_WRITE_BUFFERSZ, 16384);
  yv_ws_cfg_set_opt(static_cast<uint8_t>(cfg), YWS_CFG_READ_MESSAGE, piece);
  yv_ws_cfg_set_opt(static_cast<uint8_t>(cfg), YWS_CFG_WRITE_MESSAGE, write_message ? 1 : 0);
}

/* Writes m as one yv_ws_write_proc, waiting out a full transmit buffer. */
bool write_msg(int client, const Msg &m) {
  yws_parm_t p{m.binary ? YWS_WRITE_PROT_BIN : YWS_WRITE_PROT_TEXT,
               reinterpret_cast<uint8_t *>(const_cast<char *>(m.data.data())),
               static_cast<int32_t>(m.data.size()), 0};
  int r = YWS_ERR_NO_MEM;
  eventually([&] { return (r = yv_ws_write_proc(client, &p)) != YWS_ERR_NO_MEM; });
  return r == YWS_OK;
}

/* Direct mode: the MESSAGE notifications of a client, put back together, each checked to be
 * whole when it fits the piece size and cut only at piece boundaries otherwise. */
std::vector<Msg> assembled(int client, size_t piece, std::string *fault) {
  std::vector<Msg> out;
  bool open = false;
  for (const Note &n : Notes::get().all()) {
    if (n.client != client || n.type != YWS_CB_TYPE_MESSAGE) continue;
    bool first = n.virt & YWS_MSG_FLAG_FIRST, final = n.virt & YWS_MSG_FLAG_FINAL;
    bool binary = n.virt & YWS_MSG_FLAG_BINARY;
    if (first == open) *fault = "FIRST out of place";
    if (first) out.push_back(Msg{binary, ""});
    if (out.empty()) continue;
    if (out.back().binary != binary) *fault = "kind changed inside a message";
    if (!final && static_cast<size_t>(n.size) != piece) *fault = "a piece shorter than N";
    if (static_cast<size_t>(n.size) > piece) *fault = "a piece longer than N";
    out.back().data += n.data;
    open = !final;
  }
  if (open) *fault = "a message without FINAL";
  return out;
}

size_t direct_messages(int client) {
  size_t n = 0;
  for (const Note &x : Notes::get().all())
    n += x.client == client && x.type == YWS_CB_TYPE_MESSAGE && (x.virt & YWS_MSG_FLAG_FINAL);
  return n;
}

}  // namespace

// Each write one message, up to the transmit limit, text and binary interleaved; three clients
// at once, each echoed back and read in direct mode as whole messages.
TEST(Messages, WritesAreMessagesAndEchoesArriveWhole) {
  RawPeer::Options o;
  o.echo = true;
  std::vector<std::unique_ptr<RawPeer>> peers;
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    peers.push_back(std::make_unique<RawPeer>(o));
    message_profile(c, peers.back()->url("/"), 65536, true);
    ASSERT_EQ(open_client(c, c), 0) << c;
  }
  for (int c = 0; c < YWS_CLIENT_NUM; c++)
    for (const Msg &m : sample(c)) ASSERT_TRUE(write_msg(c, m)) << c << " " << m.data.size();
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    std::vector<Msg> want = sample(c);
    RawPeer &peer = *peers[static_cast<size_t>(c)];
    ASSERT_TRUE(peer.wait_messages(want.size(), kWait)) << c;
    std::vector<RawPeer::Message> got = peer.messages();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
      EXPECT_EQ(got[i].binary, want[i].binary) << c << " " << i;
      EXPECT_TRUE(got[i].data == want[i].data) << c << " message " << i;
    }
    ASSERT_TRUE(eventually([&] { return direct_messages(c) == want.size(); })) << c;
    std::string fault;
    std::vector<Msg> back = assembled(c, 65536, &fault);
    EXPECT_EQ(fault, "") << c;
    EXPECT_TRUE(back == want) << c;
  }
  for (int c = 0; c < YWS_CLIENT_NUM; c++) EXPECT_EQ(close_client(c), 0);
}

// Every way the server may cut a message, against both piece sizes; the kinds alternate.
class DirectPieces : public ::testing::TestWithParam<int> {};

TEST_P(DirectPieces, WholeUpToNAndPiecesOfNBeyond) {
  const size_t piece = static_cast<size_t>(GetParam());
  RawPeer peer;
  message_profile(0, peer.url("/"), GetParam(), false);
  ASSERT_EQ(open_client(0, 0), 0);
  std::vector<Msg> sent;
  int seed = 0;
  for (size_t part : {SIZE_MAX, size_t(1), size_t(100), size_t(3000), size_t(0)}) {
    for (size_t n : {size_t(0), size_t(5), size_t(128), size_t(129), size_t(3001), size_t(20000)}) {
      if (part == 0 && n > 3001) continue;  // one segment per byte: kept short
      if (part == 1 && n > 3001) continue;
      Msg m = make(n, seed % 2 == 1, seed);
      seed++;
      server_sends(peer, m, part);
      sent.push_back(m);
    }
  }
  ASSERT_TRUE(eventually([&] { return direct_messages(0) == sent.size(); }, kWait * 2));
  std::string fault;
  std::vector<Msg> got = assembled(0, piece, &fault);
  EXPECT_EQ(fault, "");
  ASSERT_EQ(got.size(), sent.size());
  for (size_t i = 0; i < sent.size(); i++) EXPECT_TRUE(got[i] == sent[i]) << "message " << i;
  size_t whole = 0;
  for (const Note &n : Notes::get().all())
    whole += n.type == YWS_CB_TYPE_MESSAGE && (n.virt & YWS_MSG_FLAG_FIRST) &&
             (n.virt & YWS_MSG_FLAG_FINAL);
  size_t fitting = 0;
  for (const Msg &m : sent) fitting += m.data.size() <= piece;
  EXPECT_EQ(whole, fitting);  // and only those: the larger ones came in pieces
  EXPECT_EQ(Notes::get().count(0, YWS_CB_TYPE_RECV), 0u);
  EXPECT_EQ(close_client(0), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DirectPieces, ::testing::Values(128, 65536));

// Buffered mode: yv_ws_read_msg stops at a message's end with buffers smaller and larger than
// the message, and yv_ws_read_proc reading in between as a stream keeps the boundaries right.
TEST(Messages, BufferedReadsStopAtMessageEnds) {
  RawPeer peer;
  message_profile(0, peer.url("/"), 128, false);
  ASSERT_EQ(open_client(0, 0, YWS_SYS_MODE_BUFFERED), 0);
  std::vector<Msg> sent;
  int seed = 0;
  for (size_t n : {size_t(0), size_t(300), size_t(1), size_t(0), size_t(2049), size_t(5000)}) {
    sent.push_back(make(n, seed % 2 == 0, seed));
    server_sends(peer, sent.back(), seed % 3 == 0 ? SIZE_MAX : 700);
    seed++;
  }
  std::vector<Msg> got;
  std::string buf(4096, '\0');
  bool open = false;
  int round = 0;
  ASSERT_TRUE(eventually(
      [&] {
        int32_t size = round % 2 ? 100 : 4096, flags = 0;
        // Every fifth read takes 7 bytes as a stream: they count for the message they came from.
        if (++round % 5 == 0 && open) {
          int32_t n = 7;
          EXPECT_EQ(yv_ws_read_proc(0, &buf[0], &n, false), YWS_OK);
          got.back().data.append(buf.data(), static_cast<size_t>(n));
          return false;
        }
        EXPECT_EQ(yv_ws_read_msg(0, &buf[0], &size, &flags), YWS_OK);
        if (flags == 0 && size == 0) return got.size() == sent.size() && !open;  // none waiting
        if (flags & YWS_MSG_FLAG_FIRST) {
          EXPECT_FALSE(open) << "FIRST inside a message";
          got.push_back(Msg{(flags & YWS_MSG_FLAG_BINARY) != 0, ""});
        }
        EXPECT_TRUE(!got.empty());
        if (got.empty()) return true;
        EXPECT_EQ(got.back().binary, (flags & YWS_MSG_FLAG_BINARY) != 0);
        got.back().data.append(buf.data(), static_cast<size_t>(size));
        open = !(flags & YWS_MSG_FLAG_FINAL);
        return false;
      },
      kWait * 2));
  ASSERT_EQ(got.size(), sent.size());
  for (size_t i = 0; i < sent.size(); i++) EXPECT_TRUE(got[i] == sent[i]) << "message " << i;
  EXPECT_EQ(close_client(0), 0);
}

// 100 000 empty messages while nobody reads: flow control holds the server back, so memory stays
// bounded, and once reading starts every message arrives once.
TEST(Messages, FloodOfEmptyMessagesIsBoundedAndAllArrive) {
  const size_t count = 100000;
  RawPeer peer;
  message_profile(0, peer.url("/"), 128, false);
  ASSERT_EQ(open_client(0, 0, YWS_SYS_MODE_BUFFERED), 0);
  size_t heap = yv_mem_bytes_in_use();
  std::string chunk;
  for (size_t i = 0; i < 1000; i++) chunk += RawPeer::frame(0x2, "");
  for (size_t i = 0; i < count / 1000; i++) peer.send_raw(chunk);
  EXPECT_FALSE(
      eventually([&] { return yv_mem_bytes_in_use() > heap + 64 * 1024; }, milliseconds(700)))
      << "heap grew by " << yv_mem_bytes_in_use() - heap;
  size_t read = 0;
  char buf[16];
  ASSERT_TRUE(eventually(
      [&] {
        for (;;) {
          int32_t size = sizeof(buf), flags = 0;
          yv_ws_read_msg(0, buf, &size, &flags);
          if (flags == 0 && size == 0) return read == count;
          EXPECT_EQ(size, 0);
          EXPECT_EQ(flags, YWS_MSG_FLAG_BINARY | YWS_MSG_FLAG_FIRST | YWS_MSG_FLAG_FINAL);
          read++;
        }
      },
      kWait * 4));
  EXPECT_EQ(read, count);
  EXPECT_LE(yv_mem_bytes_in_use(), heap + 64 * 1024);
  EXPECT_EQ(close_client(0), 0);
}

// The options: the gap below 128 is refused, report lines take the numeric form, and the busy
// rule holds them while a client of the profile exists.
TEST(Messages, OptionsRangesReportsAndBusyRule) {
  for (int bad : {1, 127, 65537, -1})
    EXPECT_EQ(yv_ws_cfg_set_opt(1, YWS_CFG_READ_MESSAGE, bad), YWS_ERR_INVAL_PARM) << bad;
  EXPECT_EQ(yv_ws_cfg_set_opt(1, YWS_CFG_READ_MESSAGE, 128), YWS_OK);
  EXPECT_EQ(yv_ws_cfg_set_opt(1, YWS_CFG_WRITE_MESSAGE, 2), YWS_ERR_INVAL_PARM);
  int type = -1;
  EXPECT_EQ(yws_cfg_type_parse("READ/Message", &type), YWS_OK);
  EXPECT_EQ(type, YWS_CFG_READ_MESSAGE);
  char *line = nullptr;
  ASSERT_EQ(yws_cfg_get_opt_with_fmt(&line, YWS_CFG_READ_MESSAGE, 1, "read/message", nullptr),
            YWS_OK);
  EXPECT_STREQ(line, "+YWSCFG: \"read/message\",1,128");
  yv_ws_mem_free(line);
  RawPeer peer;
  message_profile(1, peer.url("/"), 128, true);
  ASSERT_EQ(open_client(0, 1), 0);
  EXPECT_EQ(yv_ws_cfg_set_opt(1, YWS_CFG_WRITE_MESSAGE, 0), YWS_ERR_BUSY);
  EXPECT_EQ(yv_ws_cfg_set_opt(1, YWS_CFG_READ_MESSAGE, 0), YWS_ERR_BUSY);
  EXPECT_EQ(close_client(0), 0);
  EXPECT_EQ(yv_ws_cfg_set_opt(1, YWS_CFG_READ_MESSAGE, 0), YWS_OK);
}
