// The service over an emulated cellular link (loopback/link_emu.h) against the loopback
// servers: data integrity in both receive modes, back-pressure, and keepalive through
// blackouts.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>
#include <thread>

#include "link_emu.h"
#include "ws_test_server.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::LinkEmu;
using ywstest::LinkProfile;
using ywstest::WsServer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kClient = 1;
constexpr int kCfg = 1;

double secs(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::string url_via(const LinkEmu &emu, const std::string &path) {
  return "ws://127.0.0.1:" + std::to_string(emu.port()) + path;
}

// Printable bytes whose position can be checked: every byte once, in order.
std::string pattern(size_t n, size_t salt) {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('!' + (i * 7 + salt) % 90);
  return s;
}

struct Written {
  int refused = 0, max_unsent = 0;
};

// Writes `data` in pieces of `piece`, waiting while the transmit queue is full; a refused write
// must queue nothing. `on_refused` runs after each refusal.
bool write_all(const std::string &data, size_t piece, Written *w,
               const std::function<void()> &on_refused = nullptr) {
  size_t off = 0;
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (off < data.size() && Clock::now() < deadline) {
    size_t n = std::min(piece, data.size() - off);
    int before = unsent(kClient);
    int rc = write_bytes(kClient, data.substr(off, n));
    int after = unsent(kClient);
    w->max_unsent = std::max(w->max_unsent, after);
    if (rc == YWS_OK) {
      off += n;
      continue;
    }
    if (rc != YWS_ERR_NO_MEM) return false;
    EXPECT_LE(after, before) << "a refused write queues nothing";
    ++w->refused;
    if (on_refused) on_refused();
    std::this_thread::sleep_for(milliseconds(5));  // the writer's pace, not a synchronisation
  }
  return off == data.size();
}

// Whether `data`, and nothing else, came back in RECV notifications from note `from` on.
bool came_back(size_t from, const std::string &data, milliseconds t) {
  Notes::get().wait(
      [&](const std::vector<Note> &n) { return received_size(kClient, n, from) >= data.size(); },
      t);
  return received(kClient, Notes::get().all(), from) == data;
}

struct LinkCase {
  const char *name;
  LinkProfile link;
  size_t bytes;  // echoed in each receive mode, sized for a few seconds on the link
};

void PrintTo(const LinkCase &c, std::ostream *os) {
  *os << c.name;
}

class OverLink : public OneClientTest<kClient>, public ::testing::WithParamInterface<LinkCase> {};

}  // namespace

TEST_P(OverLink, EveryByteOnceInOrderInBothReceiveModes) {
  const LinkCase &lc = GetParam();
  WsServer server;
  LinkEmu emu(server.port(), lc.link);
  profile(kCfg, url_via(emu, "/echo"));
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_TIMEOUT, 10);
  Written w;

  // Direct: the echo arrives in RECV notifications.
  size_t from = Notes::get().all().size();
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  const std::string a = pattern(lc.bytes, 1);
  ASSERT_TRUE(write_all(a, 1000, &w));
  EXPECT_TRUE(came_back(from, a, milliseconds(30000))) << "direct mode";
  ASSERT_EQ(close_client(kClient), YWS_OK);
  ASSERT_TRUE(settled());

  // Buffered: the first piece comes with its notification, the rest through the read call.
  from = Notes::get().all().size();
  ASSERT_EQ(open_client(kClient, kCfg, YWS_SYS_MODE_BUFFERED), 0);
  const std::string b = pattern(lc.bytes, 2);
  ASSERT_TRUE(write_all(b, 1000, &w));
  std::string read, buf(4096, '\0');
  auto whole = [&] { return received(kClient, Notes::get().all(), from) + read; };
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (whole().size() < b.size() && Clock::now() < deadline) {
    int32_t n = static_cast<int32_t>(buf.size());
    ASSERT_EQ(yv_ws_read_proc(kClient, &buf[0], &n, true), YWS_OK);
    read.append(buf, 0, static_cast<size_t>(n));
    if (n == 0) std::this_thread::sleep_for(milliseconds(5));  // nothing held yet
  }
  std::string got = whole();
  EXPECT_EQ(got.size(), b.size());
  EXPECT_TRUE(got == b) << "bytes lost, doubled or out of order";
  EXPECT_EQ(emu.accepted(), 2);
  ASSERT_EQ(close_client(kClient), YWS_OK);
}

INSTANTIATE_TEST_SUITE_P(Profiles, OverLink,
                         ::testing::Values(LinkCase{"Like2G", ywstest::kLink2G, 3000},
                                           LinkCase{"Like3G", ywstest::kLink3G, 96000},
                                           LinkCase{"LikeLTE", ywstest::kLinkLTE, 1000000}),
                         [](const ::testing::TestParamInfo<LinkCase> &i) { return i.param.name; });

namespace {

using LinkService = OneClientTest<kClient>;

// Notifications of a client from `from` on, RECV left out.
std::vector<Note> outcomes_of(int client, const std::vector<Note> &all, size_t from) {
  std::vector<Note> out;
  for (size_t i = from; i < all.size(); i++)
    if (all[i].client == client && all[i].type != YWS_CB_TYPE_RECV) out.push_back(all[i]);
  return out;
}

bool reopened(int client, size_t from, milliseconds t) {
  return Notes::get().wait(
      [&](const std::vector<Note> &v) {
        auto o = outcomes_of(client, v, from);
        return o.size() >= 3 && o.back().type == YWS_CB_TYPE_OPEN && o.back().virt == YWS_OK;
      },
      t);
}

void reconnecting_profile(int cfg, const std::string &url, int min_ms, int max_ms) {
  profile(cfg, url);
  auto id = static_cast<uint8_t>(cfg);
  yv_ws_cfg_set_opt(id, YWS_CFG_CONN_TIMEOUT, 5);
  yv_ws_cfg_set_opt(id, YWS_CFG_CLOSE_WAITTIME, 2);
  yv_ws_cfg_set_opt(id, YWS_CFG_RECONN_ATTEMPTS, 255);
  yv_ws_cfg_set_opt(id, YWS_CFG_RECONN_MINDELAY, min_ms);
  yv_ws_cfg_set_opt(id, YWS_CFG_RECONN_MAXDELAY, max_ms);
}

}  // namespace

// A slow link fills the transmit queue: unsent never exceeds the limit, a refused write queues
// nothing, and what was accepted is what the server gets.
TEST_F(LinkService, TransmitLimitAndUnsentUnderBackPressure) {
  WsServer server;
  LinkEmu emu(server.port(), ywstest::kLink3G);
  profile(kCfg, url_via(emu, "/echo"));
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_BUFFERSZ, 4096);
  size_t from = Notes::get().all().size();
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  emu.stall_server_reads(true);
  // Writes go on until back pressure stands: the queue refuses and nothing of it drains
  // between refusals, five times in a row (the socket's buffers are full). However many
  // writes that takes on a loaded machine, the state is what the test waits for.
  const std::string all = pattern(2000000, 3);
  size_t off = 0;
  Written w;
  int stuck = 0, last_refused_unsent = -1;
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (stuck < 5 && off + 1500 <= all.size() && Clock::now() < deadline) {
    int before = unsent(kClient);
    int rc = write_bytes(kClient, all.substr(off, 1500));
    int after = unsent(kClient);
    w.max_unsent = std::max(w.max_unsent, after);
    if (rc == YWS_OK) {
      off += 1500;
      continue;
    }
    ASSERT_EQ(rc, YWS_ERR_NO_MEM);
    EXPECT_LE(after, before) << "a refused write queues nothing";
    ++w.refused;
    stuck = after == last_refused_unsent ? stuck + 1 : 0;
    last_refused_unsent = after;
    std::this_thread::sleep_for(milliseconds(5));  // the writer's pace, not a synchronisation
  }
  ASSERT_EQ(stuck, 5) << "no back pressure after " << off << " bytes";
  EXPECT_LE(w.max_unsent, 4096);
  EXPECT_GT(w.max_unsent, 4096 - 1500);
  // The server reads again: the rest of a last stretch of writes goes through too.
  emu.stall_server_reads(false);
  const std::string data = all.substr(0, off + 30000);
  ASSERT_TRUE(write_all(data.substr(off), 1500, &w));
  ASSERT_TRUE(eventually([] { return unsent(kClient) == 0; }, milliseconds(30000)));
  int total = 0, left = -1;
  yv_ws_client_get_opt(kClient, YWS_CLIENT_GET_UNSENT_SIZE, &total, &left);
  EXPECT_EQ(total, static_cast<int>(data.size()));
  EXPECT_TRUE(came_back(from, data, milliseconds(40000)));
  ASSERT_EQ(close_client(kClient), YWS_OK);
}

// On the 2G-like link, pings of 1 s with a 3 s deadline: no false timeout over 10 s, then a
// blackout ends the client by its ping timeout in time. Reconnecting, attempts fail while the
// link is dark and the first one after it connects. A close that gets no answer ends within
// close/waittime.
TEST_F(LinkService, KeepaliveBlackoutsAndReconnectingOn2G) {
  WsServer server;
  LinkEmu emu(server.port(), ywstest::kLink2G);
  reconnecting_profile(kCfg, url_via(emu, "/echo"), 500, 2000);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECONN_ATTEMPTS, 0);  // until the second part
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, 1);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_TIMEOUT, 3);
  size_t closes = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  EXPECT_FALSE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes + 1, milliseconds(10000)))
      << "false ping timeout";
  EXPECT_EQ(yv_ws_get_client_conn_state(kClient), YWS_CONN_STA_CONNECTED);
  EXPECT_TRUE(echoed(kClient, "still here"));

  // The last answer may already be in flight when the blackout starts, so the deadline is
  // counted from the first ping that gets none: at most one interval later.
  Clock::time_point dark = Clock::now();
  emu.blackout(10000);
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes + 1, milliseconds(8000)));
  double took = secs(Clock::now() - dark);
  EXPECT_EQ(last(kClient, YWS_CB_TYPE_CLOSE), YWS_ERR_TIMEDOUT);
  EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_PING_TIMEOUT);
  EXPECT_GE(took, 3.0 - 0.7);  // the newest answer left before the blackout, 2 delays back
  EXPECT_LE(took, 1 + 3 + 1.0);
  emu.end_blackout();
  ASSERT_TRUE(settled());

  yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECONN_ATTEMPTS, 255);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  size_t from = Notes::get().all().size();
  emu.blackout(6000);
  dark = Clock::now();
  ASSERT_TRUE(reopened(kClient, from, milliseconds(30000)));
  EXPECT_GE(secs(Clock::now() - dark), 5.0) << "no connection through a dark link";
  auto o = outcomes_of(kClient, Notes::get().all(), from);
  EXPECT_EQ(o[0].type, YWS_CB_TYPE_CLOSE);
  EXPECT_EQ(o[0].virt, YWS_ERR_TIMEDOUT);
  for (size_t i = 1; i + 1 < o.size(); i += 2) {
    EXPECT_EQ(o[i].type, YWS_CB_TYPE_RECONNECT) << i;
    EXPECT_LE(o[i].virt, 2000) << i;
    EXPECT_EQ(o[i + 1].type, YWS_CB_TYPE_OPEN) << i;
  }
  EXPECT_TRUE(echoed(kClient, "after the dark"));
  ASSERT_EQ(close_client(kClient), YWS_OK);

  // No pings, which would end it first.
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, 0);
  ASSERT_EQ(open_client(kClient, kCfg), 0);
  closes = Notes::get().count(kClient, YWS_CB_TYPE_CLOSE);
  emu.blackout(10000);
  Clock::time_point asked = Clock::now();
  ASSERT_EQ(yv_ws_close_proc(kClient), YWS_OK);
  ASSERT_TRUE(Notes::get().wait_count(kClient, YWS_CB_TYPE_CLOSE, closes + 1, milliseconds(6000)));
  EXPECT_LE(secs(Clock::now() - asked), 2 + 0.5);
  EXPECT_EQ(cause_of(kClient).cause, YWS_CLOSE_CAUSE_USER);
  emu.end_blackout();
}

// Three clients that lose one 3G-like link together come back by themselves, each after a delay
// of its own drawn inside its bounds, not in step.
TEST_F(LinkService, ThreeClientsResetTogetherReconnectApart) {
  WsServer server;
  LinkEmu emu(server.port(), ywstest::kLink3G);
  for (int c = 0; c < YWS_CLIENT_NUM; c++)
    reconnecting_profile(c, url_via(emu, "/echo"), 1000, 8000);
  for (int c = 0; c < YWS_CLIENT_NUM; c++) ASSERT_EQ(open_client(c, c), 0) << c;
  size_t from = Notes::get().all().size();
  Clock::time_point cut = Clock::now();
  emu.reset();
  std::set<int> delays;
  for (int c = 0; c < YWS_CLIENT_NUM; c++) {
    ASSERT_TRUE(reopened(c, from, milliseconds(15000))) << c;
    auto o = outcomes_of(c, Notes::get().all(), from);
    EXPECT_EQ(o[0].type, YWS_CB_TYPE_CLOSE) << c;
    ASSERT_EQ(o[1].type, YWS_CB_TYPE_RECONNECT) << c;
    EXPECT_EQ(o[1].size, 1) << c;
    EXPECT_GE(o[1].virt, 500) << c;
    EXPECT_LE(o[1].virt, 1000) << c;
    delays.insert(o[1].virt);
    EXPECT_TRUE(echoed(c, "back " + std::to_string(c))) << c;
    yws_link_stats_t s{};
    ASSERT_EQ(yv_ws_client_get_opt(static_cast<uint8_t>(c), YWS_CLIENT_GET_LINK_STATS, &s), YWS_OK);
    EXPECT_EQ(s.reconnects, 1u);
    EXPECT_EQ(s.drops, 1u);
  }
  EXPECT_GE(secs(Clock::now() - cut), 0.5);
  EXPECT_GE(delays.size(), 2u) << "all three retried in step";
  for (int c = 0; c < YWS_CLIENT_NUM; c++) EXPECT_EQ(close_client(c), YWS_OK) << c;
}
