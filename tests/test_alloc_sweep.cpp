// Allocation-failure sweep: a scenario (configure, open against a real server, write, receive,
// read, close) runs once per allocation it makes, that one failing. Each run must end in a
// documented result in bounded time, leave no client, thread or block behind, and the next normal
// run must work. Only the service's allocations fail: on its threads and in its calls.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "ws_test_server.h"
#include "yws_test_util.h"

using namespace ywst;
using ywstest::WsServer;

namespace {

constexpr int kClient = 0;
constexpr uint8_t kCfg = 0;
constexpr const char *kHeader = "X-Sweep";
// The profile's connect timeout (3 s) and close wait (2 s) plus margin.
constexpr milliseconds kLongWait{8000};

bool g_used = false;      // profile kCfg configured or the service opened in this process
int g_service_mode = -1;  // mode of the first open, which chose it for the service
std::string g_url;        // the URL profile kCfg holds

thread_local bool t_in_api = false;

/* Runs f as a service call of the test thread. */
template <class F>
auto in_api(F f) {
  t_in_api = true;
  auto r = f();
  t_in_api = false;
  return r;
}

enum Kind { kOther, kClientThread, kServiceThread, kApi };

/* Names are read once per thread: the hook runs inside allocations. */
Kind thread_kind() {
  thread_local Kind kind = [] {
    char name[16] = {0};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return !std::strcmp(name, "wsclient")    ? kClientThread
           : !std::strcmp(name, "wsservice") ? kServiceThread
                                             : kOther;
  }();
  return kind == kOther && t_in_api ? kApi : kind;
}

// Allocations (by the start of their reason) whose failure libwebsockets 4.1.6 mishandles.
bool library_cannot_fail(const char *reason) {
  static const char *const kReasons[] = {
      "same vh list",      // left NULL; the first connection writes through it
      "lws_create_vhost",  // lws_create_context leaks its smd registration
      "vhost-",            // the vhost's plugin table: leaks the vhost and the registration
      "client stash",      // lws_client_connect_via_info leaks the ws role struct
      "ah struct",         // the wsi waits for a header forever, and
      "ah data",           // lws_context_destroy never frees a wsi without socket
      "pmd priv",          // the deflate extension writes through the NULL it got
  };
  for (const char *r : kReasons)
    if (reason && std::strncmp(reason, r, std::strlen(r)) == 0) return true;
  return false;
}

struct Injection {
  bool hit = false;
  Kind thread = kOther;
  const char *reason = "";  // no copy: the hook runs inside an allocation
  long seen = 0;            // allocations of the service since arm()
};

// Counts the service's allocations and fails the g_fail_at-th (0: none). Trivially destructible:
// the service's threads outlive static destructors.
std::mutex g_m;
long g_fail_at = 0;
bool g_api_only = false;
Injection g_inj;

int fail_hook(size_t, const char *reason, void *) {
  Kind thread = thread_kind();
  if (thread == kOther || library_cannot_fail(reason)) return 0;
  std::lock_guard<std::mutex> lk(g_m);
  if ((g_api_only && thread != kApi) || ++g_inj.seen != g_fail_at) return 0;
  g_inj = Injection{true, thread, reason ? reason : "", g_inj.seen};
  return 1;
}

void arm(long fail_at, bool api_only) {
  std::lock_guard<std::mutex> lk(g_m);
  g_fail_at = fail_at;
  g_api_only = api_only;
  g_inj = Injection();
  yv_mem_set_fail_hook(&fail_hook, nullptr);
}
Injection injection() {
  std::lock_guard<std::mutex> lk(g_m);
  return g_inj;
}

// The documented losses: a failed copy of received bytes, a failed chunk in buffered mode.
bool drops_a_piece(const Injection &i, bool buffered) {
  return i.hit &&
         ((i.thread == kServiceThread && !std::strcmp(i.reason, "yv_mem_alloc")) ||
          (buffered && i.thread == kClientThread && !std::strcmp(i.reason, "yv_mem_chunk")));
}

struct Result {
  int no = 0;
  size_t first_note = 0;  // of this run in Notes
  std::string bad;        // every violation, "; " apart
  std::string seen;       // the first failure the caller saw, "" for none
  Injection inj;          // inj.seen: the service's allocations during the run
  std::string header, got;
  std::vector<std::string> sent;
  bool url_set = false;
};

// got is what was sent, less at most one message (allow_drop), cut short by an end (allow_cut).
bool stream_ok(const std::string &got, const std::vector<std::string> &sent, bool allow_drop,
               bool allow_cut) {
  for (int skip = -1; skip < (allow_drop ? static_cast<int>(sent.size()) : 0); skip++) {
    std::string want;
    for (size_t i = 0; i < sent.size(); i++)
      if (static_cast<int>(i) != skip) want += sent[i];
    if (got == want || (allow_cut && want.compare(0, got.size(), got) == 0)) return true;
  }
  return false;
}

/* The header value the profile would send, "" when none is stored. */
std::string stored_header() {
  char buf[512] = {0};
  std::string key = std::string("\"") + kHeader + "\":\"", line;
  if (yws_cfg_get_http_head(buf, sizeof(buf), kCfg, "h", kHeader) > 0) line = buf;
  size_t at = line.find(key), from = at + key.size();
  return at == std::string::npos ? "" : line.substr(from, line.find('"', from) - from);
}

struct Scenario {
  explicit Scenario(bool buffered, bool deflate = false) : buffered_(buffered), deflate_(deflate) {}

  Result run(int run_no) {
    r_ = Result();
    r_.no = run_no;
    r_.first_note = Notes::get().all().size();
    configure();
    open_and_talk();
    if (!settled(kLongWait)) fail("client or thread left behind");
    r_.inj = injection();
    return r_;
  }

  // Allocation k failing (0: none), then a run without failures that must go as if none had.
  Result run_failing(long k, bool api_only, int run_no) {
    arm(k, api_only);
    Result r = run(run_no);
    arm(0, false);  // also forgets the failure, which excused a lost piece
    Result again = run(run_no);
    if (again.bad + again.seen != "") r.bad += "; recovery: " + again.bad + " " + again.seen;
    return r;
  }

  void fail(const std::string &why) { r_.bad += (r_.bad.empty() ? "" : "; ") + why; }
  void see(const std::string &what) { r_.seen = r_.seen.empty() ? what : r_.seen; }
  /* The error codes of this run's notifications of that type for the client. */
  std::vector<int> virts(int type) {
    std::vector<int> v;
    std::vector<Note> all = Notes::get().all();
    for (size_t i = r_.first_note; i < all.size(); i++)
      if (all[i].client == kClient && all[i].type == type) v.push_back(all[i].virt);
    return v;
  }
  size_t count(int type) { return virts(type).size(); }
  /* The connection ended without our close: its CLOSE, or a second OPEN (never valid). */
  bool closed_early() { return count(YWS_CB_TYPE_CLOSE) > 0 || count(YWS_CB_TYPE_OPEN) > 1; }

  void configure() {
    g_used = true;
    // Not read back first: the set, not a read, must be the one that creates the profile.
    int url_rc = in_api([&] { return yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_URL, url_.c_str()); });
    // INVAL_PARM: the profile itself could not be created.
    if (url_rc != YWS_OK && url_rc != YWS_ERR_NO_MEM && url_rc != YWS_ERR_INVAL_PARM)
      fail("set url: " + std::to_string(url_rc));
    if (url_rc != YWS_OK) see("set_opt url " + std::to_string(url_rc));
    // Settings that bound every wait of a run.
    if (in_api([this] {
          return yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECV_CB, &notes_cb) |
                 yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_TIMEOUT, 3) |
                 yv_ws_cfg_set_opt(kCfg, YWS_CFG_CLOSE_WAITTIME, 2) |
                 yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, 0) |
                 // The library's server answers a 15-bit window only.
                 yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_DEFLATE, deflate_ ? 15 : 0);
        }) != YWS_OK)
      fail("profile settings refused");
    char *now_url = nullptr;
    yv_ws_cfg_get_opt(kCfg, YWS_CFG_CONN_URL, &now_url);
    // A refused set keeps the previous value.
    if (url_rc == YWS_OK) g_url = url_;
    if ((now_url ? now_url : "") != g_url) fail("profile url is not " + g_url);
    r_.url_set = now_url != nullptr;

    std::string before = stored_header();
    // Fixed width: every run's profile holds blocks of the same sizes.
    std::string tag = "run-" + std::to_string(1000000 + r_.no).substr(1);
    int head_rc =
        in_api([&] { return yv_ws_cfg_set_opt(kCfg, YWS_CFG_REQHEAD_ADD, kHeader, tag.c_str()); });
    r_.header = stored_header();
    // A header that could not be stored is reported as such, never as success; a refused one
    // leaves the previous one in place.
    if (head_rc != (r_.header == tag ? YWS_OK : YWS_ERR_NO_MEM))
      fail("header add: " + std::to_string(head_rc));
    if (r_.header != tag && r_.header != before)
      fail("header '" + r_.header + "' neither new nor old");
    if (r_.header != tag) see("header not stored");
  }

  /* Buffered mode: everything the client holds now. */
  void read_all() {
    char buf[256];
    for (int32_t n = sizeof(buf);
         in_api([&] { return yv_ws_read_proc(kClient, buf, &n, false); }) == YWS_OK && n > 0;
         n = sizeof(buf))
      r_.got.append(buf, static_cast<size_t>(n));
  }

  /* The echoes are in, less what an injected failure explains. */
  bool echoes_in() {
    if (buffered_)
      read_all();
    else
      r_.got = received(kClient, Notes::get().all(), r_.first_note);
    return stream_ok(r_.got, r_.sent, drops_a_piece(injection(), buffered_), false) ||
           closed_early();
  }

  void open_and_talk() {
    size_t handshakes = server_.handshakes().size();
    size_t opens = Notes::get().count(kClient, YWS_CB_TYPE_OPEN);
    int mode = buffered_ ? YWS_SYS_MODE_BUFFERED : 0;
    if (g_service_mode < 0) g_service_mode = mode;
    yws_open_t o{kClient, kCfg, nullptr, mode};
    int rc = in_api([&] { return yv_ws_open_proc(&o); });
    if (rc != 0) {
      if (rc != YWS_ERR_NO_MEM && !(rc == YWS_ERR_INVAL_URL && !r_.url_set))
        fail("open_proc: " + std::to_string(rc));
      return see("open_proc=" + std::to_string(rc));
    }
    if (!Notes::get().wait_count(kClient, YWS_CB_TYPE_OPEN, opens + 1, kLongWait))
      return fail("no OPEN notification");
    int open_err = virts(YWS_CB_TYPE_OPEN)[0];
    if (open_err != YWS_OK) {
      if (open_err != YWS_ERR_NO_MEM && open_err != YWS_ERR_PROT_FAIL &&
          open_err != YWS_ERR_NET_FAIL && open_err != YWS_ERR_TIMEDOUT)
        fail("OPEN error " + std::to_string(open_err));
      see("OPEN err=" + std::to_string(open_err));
      settled(kLongWait);
      if (count(YWS_CB_TYPE_CLOSE) != 0) fail("CLOSE after a failed open");
      return;
    }
    if (!server_.wait_handshakes(handshakes + 1, kWait)) return fail("server saw no handshake");
    std::string on_wire = server_.handshakes().back().header(kHeader).value_or("");
    if (on_wire != r_.header)
      fail("header on the wire '" + on_wire + "', stored '" + r_.header + "'");
    talk();
    close();
  }

  void talk() {
    for (int k = 1; k <= 2 && !closed_early(); k++) {
      // Distinct lengths (37, 61) keep the two echoes apart.
      std::string m = "run " + std::to_string(r_.no) + " message " + std::to_string(k) + " ";
      m.resize(k == 1 ? 37 : 61, k == 1 ? 'a' : 'b');
      yws_parm_t p{YWS_WRITE_PROT_TEXT, reinterpret_cast<uint8_t *>(m.data()),
                   static_cast<int32_t>(m.size()), 0};
      int rc = in_api([&] { return yv_ws_write_proc(kClient, &p); });
      if (rc == YWS_OK) r_.sent.push_back(m);
      if (rc == YWS_ERR_NO_MEM) see("write NO_MEM");
      if (rc != YWS_OK && rc != YWS_ERR_NO_MEM) fail("write: " + std::to_string(rc));
      eventually([&] { return echoes_in(); }, kWait);
    }
    if (buffered_) {
      read_all();
    } else if (!closed_early()) {
      char buf[16];
      int32_t n = sizeof(buf);
      int rc = in_api([&] { return yv_ws_read_proc(kClient, buf, &n, false); });
      // Direct mode buffers nothing.
      if (n != 0) fail("direct mode read returned data");
      if (rc != YWS_OK && !closed_early()) fail("read: " + std::to_string(rc));
    }
    if (!stream_ok(r_.got, r_.sent, drops_a_piece(injection(), buffered_), closed_early()))
      fail("received '" + r_.got + "' for " + std::to_string(r_.sent.size()) + " messages");
    if (!stream_ok(r_.got, r_.sent, false, false)) see("echo incomplete");
  }

  void close() {
    bool ours = !closed_early();
    int rc = ours ? in_api([] { return yv_ws_close_proc(kClient); }) : YWS_OK;
    // Busy: the connection is ending on its own and its CLOSE follows.
    if (rc != YWS_OK && rc != YWS_ERR_BUSY) fail("close_proc: " + std::to_string(rc));
    if (!eventually([&] { return closed_early(); }, kLongWait)) return fail("no CLOSE");
    if (!settled(kLongWait)) return;
    // An open that succeeded ends with exactly one CLOSE.
    if (count(YWS_CB_TYPE_OPEN) != 1 || count(YWS_CB_TYPE_CLOSE) != 1)
      return fail("not one OPEN and one CLOSE");
    int err = virts(YWS_CB_TYPE_CLOSE)[0];
    if (!ours || err != 0) see("CLOSE err=" + std::to_string(err) + (ours ? "" : " early"));
  }

  bool buffered_;
  bool deflate_;
  WsServer server_{[this] {
    WsServer::Options o;
    o.capture_headers = {kHeader};
    o.deflate = deflate_;
    return o;
  }()};
  std::string url_ = server_.url("/echo");
  Result r_;
};

/* Sweeps every allocation of the scenario in one process. */
void sweep(bool buffered, bool deflate = false) {
  // The reception mode is chosen by the open that creates the service.
  if (g_service_mode >= 0 && g_service_mode != (buffered ? YWS_SYS_MODE_BUFFERED : 0))
    GTEST_SKIP() << "needs a process in which the service is unused or in this mode";
  Scenario sc(buffered, deflate);
  // First use creates the service and lets the library settle its lazily grown tables.
  ASSERT_EQ(sc.run(0).bad, "");
  Result counted = sc.run_failing(0, false, 1);
  const long total = counted.inj.seen;
  ASSERT_EQ(counted.bad, "");
  ASSERT_GT(total, 0);
  // The profile now holds its header too: every later run must come back to this level. The
  // server frees a connection a moment after it reports it closed, so a level may only fall.
  ASSERT_TRUE(eventually([&] { return sc.server_.open_connections() == 0; }));
  const size_t heap = yv_mem_bytes_in_use();
  size_t level = heap;
  long points = 0;
  for (long n = 1;; n++) {
    Result r = sc.run_failing(n, false, static_cast<int>(n) + 1);
    if (!r.inj.hit) break;
    points = n;
    eventually([&] { return yv_mem_bytes_in_use() <= level; }, milliseconds(2000));
    size_t now = yv_mem_bytes_in_use();
    if (now > level) r.bad += "; heap grew by " + std::to_string(now - level) + " bytes";
    level = now;
    EXPECT_EQ(r.bad, "") << "allocation " << n << " of " << total << " (" << r.inj.reason << ") -> "
                         << r.seen;
  }
  EXPECT_TRUE(eventually([&] { return yv_mem_bytes_in_use() <= heap; }, milliseconds(2000)))
      << yv_mem_bytes_in_use() << " bytes held, " << heap << " before the sweep";
  EXPECT_GE(points, total) << "the sweep stopped early";
  ::testing::Test::RecordProperty("points", static_cast<int>(points));
}

/* run_failing in a fresh child, failing only in service calls; a crash, a sanitizer report or a
 * hang past 60 s leaves ok false. */
Result run_child(long k, bool *ok, size_t *heap) {
  ChildRun c = run_forked(
      [k](int fd) {
        // Counted from the start, the server's blocks make the heap figure comparable.
        yv_mem_install_lws_allocator();
        Result r = std::make_unique<Scenario>(false)->run_failing(k, true, 1);
        // The server is gone with all its blocks: what is left belongs to the service.
        dprintf(fd, "%d %ld %zu %s|%s -> %s", r.inj.hit, r.inj.seen, yv_mem_bytes_in_use(),
                r.bad.c_str(), r.inj.reason, r.seen.c_str());
      },
      std::chrono::seconds(60));
  *ok = c.exited && WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0;
  Result r;
  std::istringstream in(c.out);
  in >> r.inj.hit >> r.inj.seen >> *heap >> std::ws;
  std::getline(in, r.bad, '|');
  std::getline(in, r.seen);
  return r;
}

}  // namespace

// Each allocation a service call makes, failed in a process where nothing exists yet: the first
// configuration creates the profile, the first open the service. A child process per point.
TEST(AllocSweep, FirstUseOfProfileAndService) {
  if (g_used) GTEST_SKIP() << "needs a process in which the service is unused";
  bool ok = false;
  size_t heap = 0, base_heap = 0;
  Result base = run_child(0, &ok, &base_heap);
  ASSERT_TRUE(ok) << "scenario without failures";
  ASSERT_EQ(base.bad, "");
  ASSERT_GT(base.inj.seen, 0);
  long points = 0;
  for (long k = 1; k <= 4 * base.inj.seen; k++) {
    Result c = run_child(k, &ok, &heap);
    if (ok && !c.inj.hit) break;
    points++;
    SCOPED_TRACE("allocation " + std::to_string(k) + " (" + c.seen + ")");
    EXPECT_TRUE(ok) << "a crash, a sanitizer report or a hang past 60 s";
    EXPECT_EQ(c.bad, "");
    EXPECT_EQ(heap, base_heap) << "held more than after a run without failures";
  }
  EXPECT_GE(points, base.inj.seen);
  ::testing::Test::RecordProperty("points", static_cast<int>(points));
}

TEST(AllocSweep, DirectModeEveryAllocationOfAScenario) {
  sweep(false);
}

TEST(AllocSweep, BufferedModeEveryAllocationOfAScenario) {
  sweep(true);
}

// The same with per-message deflate negotiated: the library's compression state and buffers.
TEST(AllocSweep, DeflateEveryAllocationOfAScenario) {
  sweep(false, true);
}
