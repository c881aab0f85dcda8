// Sending: a user close delivers every accepted byte before its close frame within
// "close/waittime"; text keeps UTF-8 whole; calls from inside the callback neither lose data
// nor deadlock. (Limits of the transmit buffer: test_datapath.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ws_test_server.h"
#include "yv_datacall_ctl.h"
#include "yv_mem.h"
#include "yws_test_util.h"

using namespace ywst;
using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using ywstest::RawPeer;
using ywstest::WsServer;

namespace {

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('A' + (i * 7) % 53);
  return s;
}

bool valid_utf8(const std::string &s) {
  for (size_t i = 0, n = 0; i < s.size(); i += n) {
    auto c = static_cast<unsigned char>(s[i]);
    n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; k++) n = (s[i + k] & 0xC0) == 0x80 ? n : 0;
    if (n == 0) return false;
  }
  return true;
}

}  // namespace

// Every accepted byte arrives in order, then the close frame 1000, and CLOSE carries 0: closes
// from inside the OPEN callback (client 0), from inside a RECV callback right after another
// write at the end of 500 round trips driven from there (client 1), and from the caller's task
// at once after a write (client 2).
TEST(UserClose, SendsEverythingAcceptedThenCloses) {
  WsServer server;
  const std::string data = pattern(10000), tail = pattern(3000), ping(16, 'p');
  std::atomic<int> left{500};
  Notes::get().set_hook([&](int client, const yws_parm_t *p) {
    if (client == 0 && p->type == YWS_CB_TYPE_OPEN && p->virtual_ == 0) {
      EXPECT_EQ(write_bytes(0, data), 0);
      EXPECT_EQ(yv_ws_close_proc(0), YWS_OK);
    }
    if (client != 1 || p->type != YWS_CB_TYPE_RECV || !p->data) return;
    int l = --left;
    EXPECT_EQ(l > 0 ? write_bytes(1, ping) : 0, 0);
    EXPECT_EQ(l == 0 ? write_bytes(1, tail) : 0, 0);
    EXPECT_EQ(l == 0 ? yv_ws_close_proc(1) : YWS_OK, YWS_OK);
  });
  for (int c = 0; c < 3; c++) profile(c, server.url(std::string("/") + static_cast<char>('a' + c)));
  yws_open_t o{0, 0, nullptr, 0};
  ASSERT_EQ(yv_ws_open_proc(&o), 0);
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_CLOSE, 1));
  EXPECT_EQ(last(0, YWS_CB_TYPE_CLOSE), YWS_OK);
  ASSERT_EQ(open_client(1, 1), 0);
  ASSERT_EQ(write_bytes(1, "x"), 0);
  ASSERT_TRUE(Notes::get().wait_count(1, YWS_CB_TYPE_CLOSE, 1, milliseconds(20000)));
  EXPECT_EQ(last(1, YWS_CB_TYPE_CLOSE), YWS_OK);
  Notes::get().set_hook(nullptr);
  EXPECT_LE(left.load(), 0);
  ASSERT_EQ(open_client(2, 2), 0);
  ASSERT_EQ(write_bytes(2, data), 0);
  EXPECT_EQ(close_client(2), YWS_OK);
  ASSERT_TRUE(server.wait_peer_closes(3, kWait));
  std::map<int, std::string> path;
  for (const auto &h : server.handshakes()) path[h.conn_id] = h.path;
  std::map<std::string, std::string> got;
  for (const auto &m : server.messages()) got[path[m.conn_id]] += m.data;
  EXPECT_TRUE(got["/a"] == data);
  EXPECT_TRUE(got["/b"] == "x" + std::string(499 * ping.size(), 'p') + tail);
  EXPECT_TRUE(got["/c"] == data);
  EXPECT_EQ(server.close_codes(), (std::vector<int>{1000, 1000, 1000}));
  EXPECT_TRUE(settled());
}

// A server that stops reading, and one that never answers the close frame: CLOSE comes when the
// wait time runs out, with YWS_ERR_TIMEDOUT. Wait time 0: no closing handshake; with nothing left
// unsent CLOSE carries 0.
TEST(UserClose, BoundedByTheWaitTime) {
  WsServer server, echo;
  RawPeer::Options ro;
  ro.reply_close = false;
  RawPeer mute(ro);
  profile(0, server.url("/stall-read"));
  profile(1, mute.url("/"));
  for (uint8_t cfg : {uint8_t{0}, uint8_t{1}}) yv_ws_cfg_set_opt(cfg, YWS_CFG_CLOSE_WAITTIME, 2);
  for (int c : {0, 1}) {
    ASSERT_EQ(open_client(c, c), 0);
    ASSERT_EQ(write_bytes(c, pattern(10000)), 0);
  }
  ASSERT_TRUE(mute.wait_messages(5, kWait));
  auto start = steady_clock::now();
  for (int c : {0, 1}) ASSERT_EQ(yv_ws_close_proc(c), YWS_OK);
  for (int c : {0, 1}) ASSERT_TRUE(Notes::get().wait_count(c, YWS_CB_TYPE_CLOSE, 1, 6000ms));
  auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
  EXPECT_GE(took, 1500);
  EXPECT_LE(took, 4500);  // 2 s plus the library's one-second timer grain and load
  for (int c : {0, 1}) EXPECT_EQ(last(c, YWS_CB_TYPE_CLOSE), YWS_ERR_TIMEDOUT);
  EXPECT_TRUE(mute.wait_close(kWait));
  EXPECT_EQ(mute.closes().at(0).code, 1000);
  profile(2, echo.url("/echo"));
  yv_ws_cfg_set_opt(2, YWS_CFG_CLOSE_WAITTIME, 0);
  ASSERT_EQ(open_client(2, 2), 0);
  ASSERT_EQ(write_bytes(2, "abc"), 0);
  ASSERT_TRUE(echo.wait_messages(1, kWait));
  ASSERT_TRUE(eventually([] { return unsent(2) == 0; }));
  EXPECT_EQ(close_client(2), YWS_OK);
  EXPECT_TRUE(echo.wait_closed(1, kWait));
  EXPECT_TRUE(echo.peer_closes().empty());
  EXPECT_TRUE(settled());
}

// 2-, 3- and 4-byte characters straddling byte 2048 at every offset: each message is valid
// UTF-8 for a server that checks, and the bytes match.
TEST(TextCut, CharactersAcrossTheMessageLimitStayWhole) {
  WsServer::Options so;
  so.validate_utf8 = true;
  WsServer server(so);
  profile(0, server.url("/echo"));
  ASSERT_EQ(open_client(0, 0), 0);
  const std::string chars[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  std::string sent;
  size_t writes = 0;
  for (const std::string &ch : chars) {
    for (size_t shift = 1; shift < ch.size(); shift++) {
      std::string text(2048 - shift, 'a');
      while (text.size() < 4047) text += ch;
      ASSERT_TRUE(valid_utf8(text));
      ASSERT_EQ(write_bytes(0, text), 0);
      sent += text;
      writes++;
      ASSERT_TRUE(eventually([] { return unsent(0) == 0; }));
    }
  }
  ASSERT_TRUE(Notes::get().wait(
      [&](const std::vector<Note> &v) { return received_size(0, v) >= sent.size(); }));
  EXPECT_EQ(received(0), sent);
  auto msgs = server.messages();
  EXPECT_GT(msgs.size(), writes);
  std::string all;
  for (const auto &m : msgs) {
    EXPECT_FALSE(m.binary);
    EXPECT_LE(m.data.size(), 2048u);
    EXPECT_TRUE(valid_utf8(m.data));
    all += m.data;
  }
  EXPECT_EQ(all, sent);
  EXPECT_TRUE(server.peer_closes().empty());
  EXPECT_EQ(close_client(0), YWS_OK);
}

// A slow callback keeps the queue full while the server pushes, the test writes and the
// keepalive pings through the gate: nothing wedges, every byte arrives in order, the close ends.
TEST(CallbackDriven, SlowCallbackWithAFullQueue) {
  WsServer server;
  const uint64_t total = 256u << 10;
  profile(0, server.url("/burst/" + std::to_string(total) + "/0"));
  yv_ws_cfg_set_opt(0, YWS_CFG_PING_INTERVAL, 1);
  Notes::get().set_hook([](int, const yws_parm_t *p) {
    if (p->type == YWS_CB_TYPE_RECV) std::this_thread::sleep_for(milliseconds(1));
  });
  ASSERT_EQ(open_client(0, 0), 0);
  yv_mem_reset_peak();
  size_t heap = yv_mem_bytes_in_use();
  const std::string chunk(700, '\xff');  // never part of the burst pattern
  size_t written = 0;
  auto end = steady_clock::now() + milliseconds(1500);
  while (steady_clock::now() < end) {
    if (write_bytes(0, chunk, YWS_WRITE_PROT_BIN) == 0) written += chunk.size();
    std::this_thread::sleep_for(milliseconds(2));
  }
  ASSERT_TRUE(Notes::get().wait(
      [&](const std::vector<Note> &v) { return received_size(0, v) >= total + written; },
      std::chrono::seconds(60)));
  Notes::get().set_hook(nullptr);
  // The library is held back while the callback lags: the heap stays bounded.
  EXPECT_LT(yv_mem_peak_bytes() - heap, 96u * 1024);
  std::string got = received(0);
  ASSERT_EQ(got.size(), total + written);
  bool ok = true;
  for (size_t k = 0; ok && k < total; k++)
    ok = static_cast<uint8_t>(got[k]) == ywstest::burst_byte(k);
  for (size_t k = total; ok && k < got.size(); k++) ok = got[k] == '\xff';
  EXPECT_TRUE(ok);
  EXPECT_EQ(close_client(0), YWS_OK);
  EXPECT_TRUE(settled());
}

// Bytes keep the kind of their write: writes queued together while the bearer comes up leave in
// messages of one kind each (same-kind writes may share a message, kinds never), and 32 changes
// of kind waiting is the most that is taken.
TEST(Sending, QueuedBytesKeepTheKindOfTheirWrite) {
  RawPeer peer;
  profile_on(0, peer.url("/"), 5, 10);
  yv_dc_ctl_set_cid_act_mode(5, YV_DC_ACT_NEVER_ANSWER);
  yws_open_t o{0, 0, nullptr, 0};
  ASSERT_EQ(yv_ws_open_proc(&o), 0);
  const std::string bin(3000, '\x81'), text = pattern(2100);
  ASSERT_EQ(write_bytes(0, bin, YWS_WRITE_PROT_BIN), 0);
  ASSERT_EQ(write_bytes(0, "abc"), 0);
  ASSERT_EQ(write_bytes(0, "def"), 0);  // joins the text before it
  ASSERT_EQ(write_bytes(0, bin.substr(0, 10), YWS_WRITE_PROT_BIN), 0);
  ASSERT_EQ(write_bytes(0, text), 0);
  // Four runs so far; 28 more changes of kind fill the table.
  for (int i = 0; i < 28; i++)
    ASSERT_EQ(write_bytes(0, "x", i % 2 ? YWS_WRITE_PROT_TEXT : YWS_WRITE_PROT_BIN), 0) << i;
  EXPECT_EQ(write_bytes(0, "x", YWS_WRITE_PROT_BIN), YWS_ERR_NO_MEM);
  EXPECT_EQ(write_bytes(0, "y"), 0);  // the newest run is text: no change of kind
  yv_dc_ctl_answer_pending(1);
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_OPEN, 1));
  ASSERT_EQ(last(0, YWS_CB_TYPE_OPEN), 0);

  std::vector<std::pair<bool, std::string>> want = {
      {true, bin.substr(0, 2048)}, {true, bin.substr(2048)},      {false, "abcdef"},
      {true, bin.substr(0, 10)},   {false, text.substr(0, 2048)}, {false, text.substr(2048)}};
  for (int i = 0; i < 28; i++) want.push_back({i % 2 == 0, "x"});
  want.back().second += "y";
  ASSERT_TRUE(peer.wait_messages(want.size(), milliseconds(5000)));
  auto got = peer.messages();
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(got[i].binary, want[i].first) << i;
    EXPECT_EQ(got[i].data, want[i].second) << i;
  }
  EXPECT_EQ(close_client(0), 0);
}
