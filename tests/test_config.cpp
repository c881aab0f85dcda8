/* Configuration profiles, request headers and report lines through the public calls. Profile 2
 * belongs to the first case alone, so it is missing whenever that case starts a process. */
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ws_test_server.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::RawPeer;
using ywstest::WsServer;

namespace {

int get_int(uint8_t cfg, int id) {
  int v = INT_MIN;
  EXPECT_EQ(YWS_OK, yv_ws_cfg_get_opt(cfg, id, &v)) << id;
  return v;
}

std::string get_str(uint8_t cfg, int id) {
  char *s = nullptr;
  EXPECT_EQ(YWS_OK, yv_ws_cfg_get_opt(cfg, id, &s)) << id;
  return s ? s : "<null>";
}

std::string report(int type, uint8_t cfg, const char *key, const char *name = nullptr) {
  char *line = nullptr;
  EXPECT_EQ(YWS_OK, yws_cfg_get_opt_with_fmt(&line, type, cfg, key, name)) << key;
  std::string s = line ? line : "<null>";
  yv_ws_mem_free(line);
  return s;
}

/* The header list's report line after its fixed head `+YWSCFG: "h",cfg,`. */
std::string heads(uint8_t cfg) {
  std::string s = report(YWS_CFG_REQHEAD_ADD, cfg, "h");
  std::string head = "+YWSCFG: \"h\"," + std::to_string(cfg) + ",";
  return s.rfind(head, 0) == 0 ? s.substr(head.size()) : "wrong head: " + s;
}

/* A refused report call must hand back a null line. */
int report_refused(int type, uint8_t cfg, const char *key, const char *name = nullptr) {
  char *line = reinterpret_cast<char *>(&line);
  int rc = yws_cfg_get_opt_with_fmt(&line, type, cfg, key, name);
  EXPECT_EQ(nullptr, line) << key;
  return rc;
}

/* Every option with a key; lo > hi marks one without an integer range. */
const struct {
  const char *key;
  int id, def, lo, hi;
} k_opts[] = {
    // clang-format off
    {"conn/pdpcid", 5, 1, 1, 16}, {"conn/sslctxid", 6, 0, 0, 4}, {"conn/url", 7, 0, 1, 0},
    {"conn/subprot_en", 8, 0, 0, 1}, {"conn/subprot", 9, 0, 1, 0},
    {"conn/extension_en", 10, 0, 0, 1}, {"conn/extension", 11, 0, 1, 0},
    {"conn/method", 12, 0, 1, 0}, {"conn/timeout", 13, 60, 0, 255},
    {"ping/interval", 14, 60, 0, 255}, {"write/buffersize", 15, 10240, 4096, 16384},
    {"write/timeout", 16, 60, 0, 255}, {"write/echo", 17, 0, 0, 1},
    {"read/buffersize", 18, 10240, 4096, 16384}, {"read/timeout", 19, 60, 0, 255},
    {"read/mode", 20, 0, 0, 1}, {"close/waittime", 21, 10, 0, 255}, {"reqheader/add", 23, 0, 1, 0},
    {"reqheader/remove", 24, 0, 1, 0}, {"ping/timeout", 25, 0, 0, 255},
    {"write/message", 26, 0, 0, 1}, {"read/message", 27, 0, 0, 65536},
    {"reconn/attempts", 28, 0, 0, 255}, {"reconn/mindelay", 29, 1000, 100, 60000},
    {"reconn/maxdelay", 30, 60000, 1000, 3600000}, {"conn/deflate", 31, 0, 0, 15},
    // clang-format on
};

const int k_string_opts[] = {YWS_CFG_CONN_URL, YWS_CFG_CONN_SUBPROT, YWS_CFG_CONN_EXTENSION,
                             YWS_CFG_CONN_METHOD};

class Config : public ::testing::Test {
 protected:
  void SetUp() override {
    for (uint8_t cfg = 0; cfg < 2; cfg++) {
      ASSERT_EQ(0, yws_cfg_remove_http_head(cfg, nullptr));
      for (const auto &o : k_opts)
        ASSERT_EQ(YWS_OK, o.lo > o.hi ? YWS_OK : yv_ws_cfg_set_opt(cfg, o.id, o.def)) << o.key;
    }
  }
  void TearDown() override { disarm(); }
  // Fails the arming thread's allocations from the fail_from-th on (0: none); atomics: see hook.
  void arm(int fail_from) {
    thread_ = std::this_thread::get_id();
    seen_ = 0;
    fail_from_ = fail_from;
    yv_mem_set_fail_hook(&hook, this);
  }
  static int hook(size_t, const char *, void *user) {
    auto *t = static_cast<Config *>(user);
    if (std::this_thread::get_id() != t->thread_.load()) return 0;
    int n = ++t->seen_, from = t->fail_from_.load();
    return from > 0 && n >= from ? 1 : 0;
  }
  void disarm() { yv_mem_set_fail_hook(nullptr, nullptr); }
  /* Only an existing profile answers a read while every allocation fails. */
  bool exists(uint8_t cfg) {
    arm(1);
    int v = -1;
    bool yes = yv_ws_cfg_get_opt(cfg, YWS_CFG_PING_INTERVAL, &v) == YWS_OK;
    disarm();
    return yes;
  }
  std::atomic<std::thread::id> thread_;
  std::atomic<int> seen_{0}, fail_from_{0};
};

}  // namespace

TEST_F(Config, AProfileIsMadeAtFirstUseWithItsDefaults) {
  if (exists(2)) GTEST_SKIP() << "profile 2 was made earlier in this process";
  // The profile is made before its header list: a list that could not be made reads as empty,
  // and the first header added makes it. (A profile that could not be made: test_alloc_sweep.)
  arm(2);
  EXPECT_EQ(YWS_ERR_NO_MEM, yws_cfg_init(2));
  EXPECT_TRUE(exists(2));
  EXPECT_EQ(YWS_OK, yws_cfg_init(2));
  EXPECT_EQ(0, yws_cfg_remove_http_head(2, "A"));
  EXPECT_EQ("0", heads(2));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, report_refused(23, 2, "h", "A"));
  for (const auto &o : k_opts) EXPECT_EQ(o.def, o.lo > o.hi ? o.def : get_int(2, o.id)) << o.key;
  for (int id : k_string_opts) EXPECT_EQ("<null>", get_str(2, id)) << id;
  EXPECT_EQ(R"(+YWSCFG: "conn/url",2,"")", report(7, 2, "conn/url"));
  EXPECT_EQ(YWS_OK, yws_cfg_add_http_head(2, "A", "1"));
  EXPECT_EQ(R"(1,"A":"1")", heads(2));
  arm(1);
  EXPECT_EQ(YWS_ERR_NO_MEM, report_refused(14, 2, "ping/interval"));
}

TEST_F(Config, IntegerOptionsKeepTheirRangesTheirOwnFieldsAndReportLines) {
  WsServer server;
  profile(1, server.url("/"));
  for (const auto &o : k_opts) {
    if (o.lo > o.hi) continue;
    SCOPED_TRACE(o.key);
    for (int v : {o.lo, o.hi}) {
      EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(1, o.id, v));
      EXPECT_EQ(v, get_int(1, o.id));
    }
    // A byte field would keep the low bits of -256 or INT_MIN as 0.
    for (int v : {o.lo - 1, o.hi + 1, -256, INT_MIN}) {
      EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(1, o.id, v)) << v;
      EXPECT_EQ(o.hi, get_int(1, o.id));
    }
    EXPECT_EQ("+YWSCFG: \"" + std::string(o.key) + "\",1," + std::to_string(o.hi),
              report(o.id, 1, o.key));
  }
  // No integer set reached the callback: a profile at every upper bound still notifies.
  EXPECT_EQ(0, open_client(0, 1));
  EXPECT_EQ(0, close_client(0));
  EXPECT_TRUE(settled());
}

TEST_F(Config, IdsKeysAndProfilesOutsideTheTablesAreRefused) {
  for (int id : {0, 1, 2, 3, 4, 22, static_cast<int>(YWS_CFG_WRITE_MAX), -1, 255}) {
    EXPECT_EQ(YWS_ERR_INVAL_PARM,
              id == YWS_CFG_RECV_CB ? YWS_ERR_INVAL_PARM : yv_ws_cfg_set_opt(0, id, 1))
        << id;
    int v = 7;
    EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_get_opt(0, id, &v)) << id;
    EXPECT_EQ(7, v);
    EXPECT_EQ(YWS_ERR_INVAL_PARM, report_refused(id, 0, "k")) << id;
  }
  // Profile 3: set, get and report all refuse it, and a refused report leaves *fmt alone.
  int v = 7;
  char *line = reinterpret_cast<char *>(&v);
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(3, YWS_CFG_PING_INTERVAL, 1));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_get_opt(3, YWS_CFG_PING_INTERVAL, &v));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_get_opt_with_fmt(&line, 14, 3, "ping/interval", nullptr));
  EXPECT_EQ(reinterpret_cast<char *>(&v), line);
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_init(3));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_init(-1));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_add_http_head(3, "A", "1"));
  EXPECT_EQ(-1, yws_cfg_remove_http_head(3, nullptr));
  // Keys match whole, in any letter case.
  for (const auto &o : k_opts) {
    std::string key = o.key, mixed = key;
    for (size_t i = 0; i < key.size(); i += 2) mixed[i] = static_cast<char>(toupper(key[i]));
    for (const std::string &k : {key, mixed, key.substr(0, key.size() - 1), key + "x", key + " "}) {
      bool good = k == key || k == mixed;
      int out = -1;
      EXPECT_EQ(good ? YWS_OK : YWS_ERR_GENERIC, yws_cfg_type_parse(k.c_str(), &out)) << k;
      EXPECT_EQ(good ? o.id : -1, out) << k;
    }
  }
  int out = -1;
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_type_parse(nullptr, &out));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_type_parse("conn/url", nullptr));
}

TEST_F(Config, PointerOptionsAreCopiedOrRefusedWithoutLosingTheOldValue) {
  for (int id : k_string_opts) {
    SCOPED_TRACE(id);
    char first[] = "ws://a/1";
    if (id == YWS_CFG_CONN_SUBPROT) std::strcpy(first, "ws.a.1");  // a token list only: test_trust
    std::string want = first;
    EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, id, first));
    first[0] = 'X';
    EXPECT_EQ(want, get_str(0, id));
    EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, id, "second"));
    EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(0, id, static_cast<const char *>(nullptr)));
    arm(1);
    EXPECT_EQ(YWS_ERR_NO_MEM, yv_ws_cfg_set_opt(0, id, "third"));
    disarm();
    EXPECT_EQ("second", get_str(0, id));
  }
  // A null callback is refused and clears the one set before: open and close notify nothing.
  WsServer server;
  ASSERT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_CONN_URL, server.url("/").c_str()));
  EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_RECV_CB, &notes_cb));
  EXPECT_EQ(YWS_ERR_INVAL_PARM,
            yv_ws_cfg_set_opt(0, YWS_CFG_RECV_CB, static_cast<ws_client_recv_cb_t>(nullptr)));
  size_t notes = Notes::get().all().size();
  yws_open_t o{2, 0, nullptr, 0};
  ASSERT_EQ(0, yv_ws_open_proc(&o));
  EXPECT_TRUE(eventually([] { return yv_ws_get_client_conn_state(2) == YWS_CONN_STA_CONNECTED; }));
  EXPECT_TRUE(server.wait_handshakes(1, kWait));
  EXPECT_EQ(YWS_OK, yv_ws_close_proc(2));
  EXPECT_TRUE(settled());
  EXPECT_EQ(notes, Notes::get().all().size());
}

TEST_F(Config, ProfileOfAClientInUseRefusesEverySet) {
  RawPeer::Options po;
  po.reply_close = false;  // the client stays closing until the peer answers
  RawPeer peer(po);
  profile(1, peer.url("/"));
  ASSERT_EQ(YWS_OK, yv_ws_cfg_set_opt(1, YWS_CFG_CLOSE_WAITTIME, 60));
  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(1, "Keep", "1"));
  auto expect_busy = [&](int sta) {
    SCOPED_TRACE(sta);
    ASSERT_TRUE(eventually([&] { return yv_ws_get_client_conn_state(0) == sta; }));
    arm(0);
    EXPECT_EQ(YWS_ERR_BUSY, yv_ws_cfg_set_opt(1, YWS_CFG_PING_INTERVAL, 5));
    EXPECT_EQ(YWS_ERR_BUSY, yv_ws_cfg_set_opt(1, YWS_CFG_PING_TIMEOUT, 5));
    EXPECT_EQ(YWS_ERR_BUSY, yv_ws_cfg_set_opt(1, YWS_CFG_CONN_URL, "ws://x"));
    EXPECT_EQ(YWS_ERR_BUSY, yv_ws_cfg_set_opt(1, YWS_CFG_REQHEAD_ADD, "A", "1"));
    EXPECT_EQ(YWS_ERR_BUSY, yv_ws_cfg_set_opt(1, YWS_CFG_REQHEAD_REMOVE, nullptr));
    disarm();
    EXPECT_EQ(0, seen_.load());  // no copy was made
    EXPECT_EQ(60, get_int(1, YWS_CFG_PING_INTERVAL));
    EXPECT_EQ(0, get_int(1, YWS_CFG_PING_TIMEOUT));
    EXPECT_EQ(peer.url("/"), get_str(1, YWS_CFG_CONN_URL));
    EXPECT_EQ(R"(1,"Keep":"1")", heads(1));
    EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_PING_INTERVAL, 5));  // other profiles are free
  };
  // An activation that is never answered holds the open in its bearer step.
  yv_dc_ctl_reset();
  yv_dc_ctl_set_act_mode(YV_DC_ACT_NEVER_ANSWER);
  size_t opens = Notes::get().count(0, YWS_CB_TYPE_OPEN);
  size_t closes = Notes::get().count(0, YWS_CB_TYPE_CLOSE);
  yws_open_t o{0, 1, nullptr, 0};
  ASSERT_EQ(0, yv_ws_open_proc(&o));
  expect_busy(YWS_CONN_STA_CONNECTING);
  yv_dc_ctl_answer_pending(1);
  ASSERT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_OPEN, opens + 1));
  ASSERT_EQ(0, last(0, YWS_CB_TYPE_OPEN));
  expect_busy(YWS_CONN_STA_CONNECTED);
  ASSERT_EQ(YWS_OK, yv_ws_close_proc(0));
  expect_busy(YWS_CONN_STA_CLOSING);
  ASSERT_TRUE(peer.wait_close(kWait));
  peer.send_raw(RawPeer::close_frame(1000));
  EXPECT_TRUE(Notes::get().wait_count(0, YWS_CB_TYPE_CLOSE, closes + 1));
  EXPECT_TRUE(settled());
  EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(1, YWS_CFG_PING_INTERVAL, 5));
  yv_dc_ctl_reset();
}

TEST_F(Config, HeaderListKeepsOrderReplacesRemovesByExactNameAndRefusesUnsafeInput) {
  // value null: remove that name; both null: remove all
  const struct {
    std::vector<std::pair<const char *, const char *>> steps;
    const char *line;
  } cases[] = {
      {{{"Host", "a"}, {"Accept", "b"}, {"HOST", "c"}}, R"(2,"Accept":"b","HOST":"c")"},
      {{{"\"X-Q\"", "\"v1\""}, {"X-Q", "v2"}}, R"(1,"X-Q":"v2")"},
      {{{"X-Q", "v1"}, {"\"x-q\"", "[v2]"}}, R"(1,"x-q":"v2")"},
      {{{"X-Id", "1"}, {"X-Identity", "2"}}, R"(2,"X-Id":"1","X-Identity":"2")"},
      {{{"X-Identity", "2"}, {"X-Id", "1"}}, R"(2,"X-Identity":"2","X-Id":"1")"},
      {{{"Host", "a"}, {"HOST", nullptr}}, "0"},
      {{{"X-Id", "1"}, {"x-identity", nullptr}}, R"(1,"X-Id":"1")"},
      {{{"X-Identity", "1"}, {"X-Id", nullptr}}, R"(1,"X-Identity":"1")"},
      {{{"A", "1"}, {"B", "2"}, {"Zed", nullptr}}, R"(2,"A":"1","B":"2")"},
      {{{"A", "1"}, {"B", "2"}, {nullptr, nullptr}}, "0"},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(0, yws_cfg_remove_http_head(0, nullptr));
    for (const auto &s : c.steps)  // add, or remove with a null value
      EXPECT_EQ(0, s.second ? yws_cfg_add_http_head(0, s.first, s.second)
                            : yws_cfg_remove_http_head(0, s.first))
          << (s.first ? s.first : "null");
    EXPECT_EQ(c.line, heads(0));
  }
  // Unsafe or oversized input is refused.
  ASSERT_EQ(0, yws_cfg_remove_http_head(0, nullptr));
  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(0, "Keep", "1"));
  const std::string n256(256, 'n'), n257(257, 'n'), v1024(1024, 'v'), v1025(1025, 'v');
  const std::pair<const char *, const char *> bad[] = {
      // clang-format off
      {nullptr, "v"}, {"N", nullptr}, {n257.c_str(), "v"}, {"N", v1025.c_str()},
      {"\"", "\"v\""}, {"\"N\"", "v"}, {"\"\"", "\"v\""}, {"", "v"},
      {"A\rB", "v"}, {"A\nB", "v"}, {"A:B", "v"}, {"A B", "v"}, {"A\tB", "v"},
      {"\"A B\"", "\"v\""}, {"N", "a\r\nX-Evil: 1"}, {"Keep", "x\n"},
      {"N", "a\tb"}, {"N", "a\x01"}, {"N", "\x7f"}, {"A\"B", "v"}, {"A(B)", "v"},
      {"A\x80", "v"}, {"\"N\"", "\"a\rb\""},
      // clang-format on
  };
  for (const auto &b : bad)
    EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_add_http_head(0, b.first, b.second))
        << (b.first ? b.first : "null");
  EXPECT_EQ(R"(1,"Keep":"1")", heads(0));
  EXPECT_EQ(YWS_OK, yws_cfg_add_http_head(0, n256.c_str(), "v"));
  EXPECT_EQ(YWS_OK, yws_cfg_add_http_head(0, "N", v1024.c_str()));
  char buf[8];
  EXPECT_EQ(3, yws_cfg_get_http_head(buf, sizeof(buf), 0, "h", nullptr));
  // Refused through the option call too, never reported as success.
  for (const auto &b : {bad[0], bad[1], bad[2], bad[14]})
    EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, b.first, b.second));
  EXPECT_EQ(3, yws_cfg_get_http_head(buf, sizeof(buf), 0, "h", nullptr));
  EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_REMOVE, nullptr));
  EXPECT_EQ(0, yws_cfg_get_http_head(buf, sizeof(buf), 0, "h", nullptr));
}

TEST_F(Config, ReportLinesAreExactAndCut) {
  // Quotes and backslashes inside values are escaped: no forged fields.
  ASSERT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_CONN_METHOD, "a\",9,\"b\\"));
  for (const char *n : {"Alpha", "Beta", "Q"})
    ASSERT_EQ(YWS_OK,
              yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, n, n[0] == 'Q' ? "\"x\":\"y\\" : n));
  const struct {
    int type;
    const char *key, *name, *line;
  } cases[] = {
      {23, "reqheader/add", nullptr,
       R"(+YWSCFG: "reqheader/add",0,3,"Alpha":"Alpha","Beta":"Beta","Q":"\"x\":\"y\\")"},
      {23, "reqheader/add", "beta", R"(+YWSCFG: "reqheader/add",0,"Beta":"Beta")"},
      {23, "reqheader/add", "Gamma", R"(+YWSCFG: "reqheader/add",0)"},
      {12, "conn/method", nullptr, R"(+YWSCFG: "conn/method",0,"a\",9,\"b\\")"},
      {23, "reqheader/add", "q", R"(+YWSCFG: "reqheader/add",0,"Q":"\"x\":\"y\\")"},
  };
  for (const auto &c : cases) EXPECT_EQ(c.line, report(c.type, 0, c.key, c.name));
  EXPECT_EQ(R"(+YWSCFG: "reqheader/add",1,0)", report(23, 1, "reqheader/add"));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, report_refused(23, 1, "reqheader/add", "Alpha"));
  EXPECT_EQ(YWS_OK, report_refused(24, 0, "reqheader/remove"));
  EXPECT_EQ("0", heads(0));
  // Cut at 2047 characters, and within the caller's buffer.
  std::string full = R"(+YWSCFG: "reqheader/add",0,3)";
  for (char c : {'a', 'b', 'c'}) {
    std::string name(1, c), value(1000, c);
    ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(0, name.c_str(), value.c_str()));
    full += ",\"" + name + "\":\"" + value + "\"";
  }
  char *line = nullptr;
  ASSERT_EQ(YWS_OK, yws_cfg_get_opt_with_fmt(&line, 23, 0, "reqheader/add", nullptr));
  EXPECT_EQ(full.substr(0, 2047), std::string(line));
  EXPECT_EQ('\0', line[2048]);
  yv_ws_mem_free(line);
  EXPECT_EQ(2047u, report(YWS_CFG_PING_INTERVAL, 0, std::string(3000, 'k').c_str()).size());
  char buf[64];
  memset(buf, '#', sizeof(buf));
  EXPECT_EQ(3, yws_cfg_get_http_head(buf, 20, 0, "reqheader/add", nullptr));
  EXPECT_EQ(full.substr(0, 19), std::string(buf));
  EXPECT_EQ(std::string(44, '#'), std::string(buf + 20, 44));
}
