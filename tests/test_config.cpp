/* Configuration profiles, handshake request headers and report lines. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "yv_websocket_inc.h"
#include "yv_mem_test.h"
#include "yv_rtos_test.h"

namespace {

int fail_all(size_t, const char *, void *) {
  return 1;
}

/* Profiles live for the whole process; each test starts without any. */
void drop_profiles() {
  for (int i = 0; i < YWS_CFG_NUM; i++) {
    yws_cfg_t *c = yws_cfg[i];
    if (!c) continue;
    yws_cfg_remove_http_head(i, nullptr);
    if (c->conn.head_linklist_hd) linklist_deinit(&c->conn.head_linklist_hd);
    for (char *s : {c->conn.url, c->conn.subprot, c->conn.extension, c->conn.method})
      yv_mem_free(s);
    yv_mem_free(c);
    yws_cfg[i] = nullptr;
  }
}

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

std::string heads(uint8_t cfg) {
  return report(YWS_CFG_REQHEAD_ADD, cfg, "h");
}

int recv_cb(int, yws_parm_t *) {
  return 0;
}

class Config : public ::testing::Test {
 protected:
  void SetUp() override { drop_profiles(); }
  void TearDown() override {
    yv_mem_set_fail_hook(nullptr, nullptr);
    drop_profiles();
  }
};

/* Every option with a key; lo > hi marks one without an integer range. */
const struct {
  const char *key;
  int id, def, lo, hi;
} k_opts[] = {
    // clang-format off
    {"conn/pdpcid", 5, 1, 1, 16},        {"conn/sslctxid", 6, 0, 0, 4},
    {"conn/url", 7, 0, 1, 0},            {"conn/subprot_en", 8, 0, 0, 1},
    {"conn/subprot", 9, 0, 1, 0},        {"conn/extension_en", 10, 0, 0, 1},
    {"conn/extension", 11, 0, 1, 0},     {"conn/method", 12, 0, 1, 0},
    {"conn/timeout", 13, 60, 0, 255},    {"ping/interval", 14, 60, 0, 255},
    {"write/buffersize", 15, 10240, 4096, 16384}, {"write/timeout", 16, 60, 0, 255},
    {"write/echo", 17, 0, 0, 1},         {"read/buffersize", 18, 10240, 4096, 16384},
    {"read/timeout", 19, 60, 0, 255},    {"read/mode", 20, 0, 0, 1},
    {"close/waittime", 21, 10, 0, 255},  {"reqheader/add", 23, 0, 1, 0},
    {"reqheader/remove", 24, 0, 1, 0},   {"ping/timeout", 25, 0, 0, 255},
    // clang-format on
};

TEST_F(Config, IntegerOptionsStartAtTheirDefaultsAndKeepTheirRanges) {
  for (const auto &o : k_opts) {
    if (o.lo > o.hi) continue;
    SCOPED_TRACE(o.key);
    EXPECT_EQ(o.def, get_int(1, o.id));
    for (int v : {o.lo, o.hi}) {
      EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(1, o.id, v));
      EXPECT_EQ(v, get_int(1, o.id));
    }
    /* A byte field would keep the low bits of -256 or INT_MIN as 0. */
    for (int v : {o.lo - 1, o.hi + 1, -256, INT_MIN}) {
      EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(1, o.id, v)) << v;
      EXPECT_EQ(o.hi, get_int(1, o.id));
    }
  }
  EXPECT_EQ(nullptr, yws_cfg[1]->read.recv_cb);
}

/* set, get and report all refuse the profile and leave *fmt alone. */
void expect_profile_refused(uint8_t cfg) {
  int v = 7;
  char *line = reinterpret_cast<char *>(&v);
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(cfg, YWS_CFG_PING_INTERVAL, 1));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_get_opt(cfg, YWS_CFG_PING_INTERVAL, &v));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_get_opt_with_fmt(&line, 14, cfg, "ping/interval", nullptr));
  EXPECT_EQ(reinterpret_cast<char *>(&v), line);
}

TEST_F(Config, IdsOutsideTheTableAndMissingProfilesAreRefused) {
  for (int id : {0, 1, 2, 3, 4, 22, 26, -1, 255}) {
    SCOPED_TRACE(id);
    if (id != YWS_CFG_RECV_CB) {
      EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(0, id, 1));
    }
    int v = 7;
    EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_get_opt(0, id, &v));
    EXPECT_EQ(7, v);
    char *line = reinterpret_cast<char *>(&v);
    EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_get_opt_with_fmt(&line, id, 0, "k", nullptr));
    EXPECT_EQ(nullptr, line);
  }
  expect_profile_refused(3);
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_init(3));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_init(-1));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_add_http_head(3, "A", "1"));
  EXPECT_EQ(-1, yws_cfg_remove_http_head(3, nullptr));

  size_t heap = yv_mem_bytes_in_use();
  yv_mem_set_fail_hook(fail_all, nullptr);
  EXPECT_EQ(YWS_ERR_NO_MEM, yws_cfg_init(2));
  EXPECT_EQ(nullptr, yws_cfg[2]);
  expect_profile_refused(2);
  EXPECT_EQ(heap, yv_mem_bytes_in_use());  // nothing half-made is kept

  yv_mem_set_fail_hook(nullptr, nullptr);
  ASSERT_EQ(YWS_OK, yws_cfg_init(2));
  yv_mem_set_fail_hook(fail_all, nullptr);
  char *line = reinterpret_cast<char *>(&line);
  EXPECT_EQ(YWS_ERR_NO_MEM, yws_cfg_get_opt_with_fmt(&line, 14, 2, "ping/interval", nullptr));
  EXPECT_EQ(nullptr, line);
}

TEST_F(Config, KeysMatchWholeIgnoringCase) {
  for (const auto &o : k_opts) {
    std::string key = o.key, mixed = key;
    for (size_t i = 0; i < key.size(); i += 2) mixed[i] = static_cast<char>(toupper(key[i]));
    for (const std::string &good : {key, mixed}) {
      int out = -1;
      EXPECT_EQ(YWS_OK, yws_cfg_type_parse(good.c_str(), &out)) << good;
      EXPECT_EQ(o.id, out) << good;
    }
    for (const std::string &bad : {key.substr(0, key.size() - 1), key + "x", key + " "}) {
      int out = -1;
      EXPECT_EQ(YWS_ERR_GENERIC, yws_cfg_type_parse(bad.c_str(), &out)) << bad;
      EXPECT_EQ(-1, out) << bad;
    }
  }
  int out = -1;
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_type_parse(nullptr, &out));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_type_parse("conn/url", nullptr));
}

TEST_F(Config, PointerOptionsAreCopiedOrRefusedWithoutLosingTheOldValue) {
  for (int id :
       {YWS_CFG_CONN_URL, YWS_CFG_CONN_SUBPROT, YWS_CFG_CONN_EXTENSION, YWS_CFG_CONN_METHOD}) {
    SCOPED_TRACE(id);
    EXPECT_EQ("<null>", get_str(0, id));
    /* A sub-protocol must be a token list. */
    char first[] = "ws://a/1";
    if (id == YWS_CFG_CONN_SUBPROT) {
      EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(0, id, first));
      std::strcpy(first, "ws.a.1");
    }
    std::string want = first;
    EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, id, first));
    first[0] = 'X';
    EXPECT_EQ(want, get_str(0, id));
    EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, id, "second"));
    EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(0, id, static_cast<const char *>(nullptr)));
    yv_mem_set_fail_hook(fail_all, nullptr);
    EXPECT_EQ(YWS_ERR_NO_MEM, yv_ws_cfg_set_opt(0, id, "third"));
    yv_mem_set_fail_hook(nullptr, nullptr);
    EXPECT_EQ("second", get_str(0, id));
  }

  /* A null callback is stored before it is refused. */
  EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_RECV_CB, recv_cb));
  EXPECT_EQ(&recv_cb, yws_cfg[0]->read.recv_cb);
  EXPECT_EQ(YWS_ERR_INVAL_PARM,
            yv_ws_cfg_set_opt(0, YWS_CFG_RECV_CB, static_cast<ws_client_recv_cb_t>(nullptr)));
  EXPECT_EQ(nullptr, yws_cfg[0]->read.recv_cb);
}

TEST_F(Config, ProfileOfAnActiveClientRefusesEverySet) {
  ASSERT_EQ(0, yws_cfg_add_http_head(0, "Keep", "1"));
  auto *rec = static_cast<yws_client_t *>(yv_mem_alloc(sizeof(yws_client_t)));
  ASSERT_EQ(YV_OSI_SUCCESS, yv_rtos_mutex_create(&rec->status.conn.mutex));
  rec->cfg_id = 0;
  yws_client[0] = rec;
  for (uint8_t sta : {YWS_CONN_STA_CONNECTING, YWS_CONN_STA_CONNECTED, YWS_CONN_STA_CLOSING}) {
    SCOPED_TRACE(sta);
    rec->status.conn.cur_sta = sta;
    size_t heap = yv_mem_bytes_in_use();
    EXPECT_EQ(YWS_ERR_BUSY, yv_ws_cfg_set_opt(0, YWS_CFG_PING_INTERVAL, 5));
    EXPECT_EQ(YWS_ERR_BUSY, yv_ws_cfg_set_opt(0, YWS_CFG_PING_TIMEOUT, 5));
    EXPECT_EQ(0, get_int(0, YWS_CFG_PING_TIMEOUT));
    EXPECT_EQ(YWS_ERR_BUSY, yv_ws_cfg_set_opt(0, YWS_CFG_CONN_URL, "ws://x"));
    EXPECT_EQ(YWS_ERR_BUSY, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, "A", "1"));
    EXPECT_EQ(YWS_ERR_BUSY, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_REMOVE, nullptr));
    EXPECT_EQ(heap, yv_mem_bytes_in_use());  // no copy was made or kept
    EXPECT_EQ(60, get_int(0, YWS_CFG_PING_INTERVAL));
    EXPECT_EQ(R"(+YWSCFG: "h",0,1,"Keep":"1")", heads(0));
    EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(1, YWS_CFG_PING_INTERVAL, 5));
  }
  rec->status.conn.cur_sta = YWS_CONN_STA_IDLE;
  EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_PING_INTERVAL, 5));
  yws_client[0] = nullptr;
  yv_rtos_mutex_delete(rec->status.conn.mutex);
  yv_mem_free(rec);
}

TEST_F(Config, HeaderListKeepsOrderReplacesAndRemovesByExactName) {
  /* value null: remove that name; both null: remove all */
  const struct {
    std::vector<std::pair<const char *, const char *>> steps;
    const char *line;
  } cases[] = {
      {{{"Host", "a"}, {"Accept", "b"}, {"HOST", "c"}},
       R"(+YWSCFG: "h",0,2,"Accept":"b","HOST":"c")"},
      {{{"\"X-Q\"", "\"v1\""}, {"X-Q", "v2"}}, R"(+YWSCFG: "h",0,1,"X-Q":"v2")"},
      {{{"X-Q", "v1"}, {"\"x-q\"", "[v2]"}}, R"(+YWSCFG: "h",0,1,"x-q":"v2")"},
      {{{"X-Id", "1"}, {"X-Identity", "2"}}, R"(+YWSCFG: "h",0,2,"X-Id":"1","X-Identity":"2")"},
      {{{"X-Identity", "2"}, {"X-Id", "1"}}, R"(+YWSCFG: "h",0,2,"X-Identity":"2","X-Id":"1")"},
      {{{"X-Token", "t"}, {"X-Token-Extra", "e"}},
       R"(+YWSCFG: "h",0,2,"X-Token":"t","X-Token-Extra":"e")"},
      {{{"Accept", "a"}, {"accept-language", "l"}, {"ACCEPT", "b"}},
       R"(+YWSCFG: "h",0,2,"accept-language":"l","ACCEPT":"b")"},
      {{{"Host", "a"}, {"HOST", nullptr}}, R"(+YWSCFG: "h",0,0)"},
      {{{"X-Id", "1"}, {"x-identity", nullptr}}, R"(+YWSCFG: "h",0,1,"X-Id":"1")"},
      {{{"X-Identity", "1"}, {"X-Id", nullptr}}, R"(+YWSCFG: "h",0,1,"X-Identity":"1")"},
      {{{"A", "1"}, {"B", "2"}, {"Zed", nullptr}}, R"(+YWSCFG: "h",0,2,"A":"1","B":"2")"},
      {{{"A", "1"}, {"B", "2"}, {nullptr, nullptr}}, R"(+YWSCFG: "h",0,0)"},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(0, yws_cfg_remove_http_head(0, nullptr));
    for (const auto &s : c.steps) {
      if (s.second)
        EXPECT_EQ(YWS_OK, yws_cfg_add_http_head(0, s.first, s.second)) << s.first;
      else
        EXPECT_EQ(0, yws_cfg_remove_http_head(0, s.first));
    }
    EXPECT_EQ(c.line, heads(0));
  }
}

TEST_F(Config, HeaderAddRefusesUnsafeOrOversizedInput) {
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
  EXPECT_EQ(R"(+YWSCFG: "h",0,1,"Keep":"1")", heads(0));

  EXPECT_EQ(YWS_OK, yws_cfg_add_http_head(0, n256.c_str(), "v"));
  EXPECT_EQ(YWS_OK, yws_cfg_add_http_head(0, "N", v1024.c_str()));
  char buf[8];
  EXPECT_EQ(3, yws_cfg_get_http_head(buf, sizeof(buf), 0, "h", nullptr));

  EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, nullptr, "v"));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, "N", nullptr));
  /* Refused through the option call too, never reported as success. */
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, n257.c_str(), "v"));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, "N", "a\r\nX: 1"));
  EXPECT_EQ(3, yws_cfg_get_http_head(buf, sizeof(buf), 0, "h", nullptr));
  EXPECT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_REMOVE, nullptr));
  EXPECT_EQ(0, yws_cfg_get_http_head(buf, sizeof(buf), 0, "h", nullptr));
}

TEST_F(Config, ReportLinesAreExact) {
  ASSERT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_WRITE_ECHO, 1));
  ASSERT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_CONN_URL, "ws://h:80/p"));
  ASSERT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, "Alpha", "one"));
  ASSERT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, "Beta", "two"));
  /* Quotes and backslashes inside values are escaped: no forged fields. */
  ASSERT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_CONN_METHOD, "a\",9,\"b\\"));
  ASSERT_EQ(YWS_OK, yv_ws_cfg_set_opt(0, YWS_CFG_REQHEAD_ADD, "Q", "\"x\":\"y\\"));
  const struct {
    int type;
    uint8_t cfg;
    const char *key, *name, *line;
  } cases[] = {
      {14, 1, "ping/interval", nullptr, R"(+YWSCFG: "ping/interval",1,60)"},
      {14, 1, "PING/Interval", nullptr, R"(+YWSCFG: "PING/Interval",1,60)"},
      {25, 1, "ping/timeout", nullptr, R"(+YWSCFG: "ping/timeout",1,0)"},
      {17, 0, "write/echo", nullptr, R"(+YWSCFG: "write/echo",0,1)"},
      {18, 2, "read/buffersize", nullptr, R"(+YWSCFG: "read/buffersize",2,10240)"},
      {7, 0, "conn/url", nullptr, R"(+YWSCFG: "conn/url",0,"ws://h:80/p")"},
      {7, 2, "conn/url", nullptr, R"(+YWSCFG: "conn/url",2,"")"},
      {23, 2, "reqheader/add", nullptr, R"(+YWSCFG: "reqheader/add",2,0)"},
      {23, 0, "reqheader/add", nullptr,
       R"(+YWSCFG: "reqheader/add",0,3,"Alpha":"one","Beta":"two","Q":"\"x\":\"y\\")"},
      {23, 0, "reqheader/add", "beta", R"(+YWSCFG: "reqheader/add",0,"Beta":"two")"},
      {23, 0, "reqheader/add", "Gamma", R"(+YWSCFG: "reqheader/add",0)"},
      {12, 0, "conn/method", nullptr, R"(+YWSCFG: "conn/method",0,"a\",9,\"b\\")"},
      {23, 0, "reqheader/add", "q", R"(+YWSCFG: "reqheader/add",0,"Q":"\"x\":\"y\\")"},
  };
  for (const auto &c : cases) EXPECT_EQ(c.line, report(c.type, c.cfg, c.key, c.name));

  char *line = reinterpret_cast<char *>(&line);
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_get_opt_with_fmt(&line, 23, 2, "reqheader/add", "Alpha"));
  EXPECT_EQ(nullptr, line);
  line = reinterpret_cast<char *>(&line);
  EXPECT_EQ(YWS_OK, yws_cfg_get_opt_with_fmt(&line, 24, 0, "reqheader/remove", nullptr));
  EXPECT_EQ(nullptr, line);
  EXPECT_EQ(R"(+YWSCFG: "h",0,0)", heads(0));
}

TEST_F(Config, ReportIsCutAt2047CharactersWithinTheBuffer) {
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

  const std::string key(3000, 'k');
  EXPECT_EQ(2047u, report(YWS_CFG_PING_INTERVAL, 0, key.c_str()).size());

  char buf[64];
  memset(buf, '#', sizeof(buf));
  EXPECT_EQ(3, yws_cfg_get_http_head(buf, 20, 0, "reqheader/add", nullptr));
  EXPECT_EQ(full.substr(0, 19), std::string(buf));
  EXPECT_EQ(std::string(44, '#'), std::string(buf + 20, 44));
}

/* The writer needs a real connection object: a client connection to a port
 * that is bound but never listens exists until the event loop runs, which
 * never happens here. */
class Handshake : public Config {
 protected:
  static int proto_cb(struct lws *, enum lws_callback_reasons, void *, void *, size_t) { return 0; }

  void SetUp() override {
    Config::SetUp();
    lws_set_log_level(0, nullptr);
    protos_[0].name = "yws-test";
    protos_[0].callback = proto_cb;
    lws_context_creation_info info;
    memset(&info, 0, sizeof(info));
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protos_;
    ctx_ = lws_create_context(&info);
    ASSERT_NE(nullptr, ctx_);

    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof(a);
    ASSERT_EQ(0, bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a)));
    ASSERT_EQ(0, getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &alen));

    lws_client_connect_info ci;
    memset(&ci, 0, sizeof(ci));
    ci.context = ctx_;
    ci.address = ci.host = ci.origin = "127.0.0.1";
    ci.port = ntohs(a.sin_port);
    ci.path = "/";
    ci.protocol = protos_[0].name;
    wsi_ = lws_client_connect_via_info(&ci);
    ASSERT_NE(nullptr, wsi_);
  }

  void TearDown() override {
    if (ctx_) lws_context_destroy(ctx_);
    if (fd_ >= 0) close(fd_);
    Config::TearDown();
  }

  /* What the writer put into a request with `room` bytes left. */
  std::string write(int cfg, size_t room, int *rc) {
    std::vector<unsigned char> buf(room + 16, 0xEE);
    unsigned char *p = buf.data();
    *rc = yws_add_http_header_by_name(wsi_, &p, room, cfg);
    for (size_t i = room; i < buf.size(); i++) EXPECT_EQ(0xEE, buf[i]) << "past the end at " << i;
    return std::string(buf.data(), p);
  }

  lws_protocols protos_[2] = {};
  lws_context *ctx_ = nullptr;
  lws *wsi_ = nullptr;
  int fd_ = -1;
};

TEST_F(Handshake, WritesEveryHeaderThatFitsInOrder) {
  const std::string long_value(40, 'x');
  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(0, "Long", long_value.c_str()));
  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(0, "A", "1"));
  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(0, "C", "3"));
  const struct {
    size_t room;
    std::string text;
    bool complete;
  } cases[] = {{256, "Long: " + long_value + "\r\nA: 1\r\nC: 3\r\n", true},
               {24, "A: 1\r\nC: 3\r\n", false},
               {4, "", false}};
  for (const auto &c : cases) {
    int rc = -1;
    EXPECT_EQ(c.text, write(0, c.room, &rc)) << c.room;
    EXPECT_EQ(c.complete, rc == 0) << c.room;
  }

  const std::string n256(256, 'n');
  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(1, n256.c_str(), "v"));
  int rc = -1;
  EXPECT_EQ(n256 + ": v\r\n", write(1, 512, &rc));
  EXPECT_EQ(0, rc);
}

TEST_F(Handshake, ProfileWithoutHeadersOrListWritesNothing) {
  int rc = 0;
  EXPECT_EQ("", write(1, 64, &rc));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, rc);

  /* A list that could not be created reads as empty; an addition makes it. */
  ASSERT_EQ(YWS_OK, yws_cfg_init(2));
  linklist_handler_t saved = yws_cfg[2]->conn.head_linklist_hd;
  yws_cfg[2]->conn.head_linklist_hd = nullptr;
  EXPECT_EQ(0, yws_cfg_remove_http_head(2, "A"));
  EXPECT_EQ(R"(+YWSCFG: "h",2,0)", heads(2));
  char *line = reinterpret_cast<char *>(&line);
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_cfg_get_opt_with_fmt(&line, 23, 2, "h", "A"));
  EXPECT_EQ(nullptr, line);
  EXPECT_EQ("", write(2, 64, &rc));
  EXPECT_EQ(YWS_ERR_INVAL_PARM, rc);
  EXPECT_EQ(YWS_OK, yws_cfg_add_http_head(2, "A", "1"));
  EXPECT_EQ(R"(+YWSCFG: "h",2,1,"A":"1")", heads(2));
  EXPECT_EQ(0, yws_cfg_remove_http_head(2, nullptr));
  linklist_deinit(&yws_cfg[2]->conn.head_linklist_hd);
  yws_cfg[2]->conn.head_linklist_hd = saved;

  ASSERT_EQ(YWS_OK, yws_cfg_add_http_head(0, "A", "1"));
  unsigned char buf[64], *p = buf;
  EXPECT_EQ(YWS_ERR_INVAL_PARM, yws_add_http_header_by_name(nullptr, &p, sizeof(buf), 0));
  EXPECT_EQ(buf, p);
}

}  // namespace
