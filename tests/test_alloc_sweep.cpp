// Allocation-failure sweep: one scenario (configure, open against a real server, write, receive,
// read, close) runs once per allocation it makes, with exactly that allocation failing. Each run
// must end in a documented result within bounded time, leave no client, thread or block behind,
// and the next normal open of the same client id must work.
//
// Only allocations of the service can fail: those made on its threads ("wsclient", "wsservice")
// and on the test thread while it is inside a service call. The test server shares the library
// allocator but runs on threads of its own, which never fail.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "ws_test_server.h"
#include "yws_test_util.h"

using namespace ywst;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using ywstest::WsServer;

namespace {

constexpr int kClient = 0;
constexpr uint8_t kCfg = 0;
constexpr const char *kHeader = "X-Sweep";
// Bounds of the waits: the profile's connect timeout (3 s) and close wait (2 s) plus margin.
constexpr milliseconds kOpenWait{8000};
constexpr milliseconds kCloseWait{8000};
constexpr milliseconds kDataWait{5000};

enum Phase { kIdle, kConfig, kOpen, kWrite, kRead, kClose };
const char *const kPhaseName[] = {"idle", "config", "open", "write", "read", "close"};

/* What this process has done to the service: nothing else in it configures or opens. */
bool g_used = false;      // profile kCfg configured or the service opened
int g_service_mode = -1;  // mode of the first open, which chose it for the service
std::string g_url;        // the URL profile kCfg holds

/* ---- the failure hook ---- */

thread_local bool t_in_api = false;
std::atomic<Phase> g_phase{kIdle};  // of the scenario, for the report of a failed allocation

/* Runs f as a service call of the test thread. */
template <class F>
auto in_api(F f) {
  t_in_api = true;
  auto r = f();
  t_in_api = false;
  return r;
}

/* Names are read once per thread: the hook runs inside allocations. */
const char *thread_kind() {
  thread_local int kind = -1;
  if (kind < 0) {
    char name[16] = {0};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    kind = std::strcmp(name, "wsclient") == 0 ? 1 : std::strcmp(name, "wsservice") == 0 ? 2 : 0;
  }
  if (kind == 1) return "wsclient";
  if (kind == 2) return "wsservice";
  return t_in_api ? "api" : nullptr;
}

/* Library allocations whose failure libwebsockets 4.1.6 itself mishandles, whoever calls it:
 * failing them would test the library, not the service. Matched by the start of the reason. */
bool library_cannot_fail(const char *reason) {
  static const char *const kReasons[] = {
      "same vh list",      // left NULL; the first connection writes through it
      "lws_create_vhost",  // lws_create_context leaks its smd registration
      "vhost-",            // the vhost's plugin table: leaks the vhost and the registration
      "client stash",      // lws_client_connect_via_info leaks the ws role struct
      "ah struct",         // the wsi waits for a header forever, and
      "ah data",           // lws_context_destroy never frees a wsi without socket
  };
  if (!reason) return false;
  for (const char *r : kReasons)
    if (std::strncmp(reason, r, std::strlen(r)) == 0) return true;
  return false;
}

struct Injection {
  bool hit = false;
  size_t size = 0;
  const char *reason = "";
  const char *thread = "";
  Phase phase = kIdle;
};

/* Counts the service's allocations and fails the one numbered fail_at (0: none). */
class Injector {
 public:
  static Injector &get() {
    static Injector *i = new Injector;  // threads of the service outlive static destructors
    return *i;
  }
  void arm(long fail_at, bool api_only) {
    std::lock_guard<std::mutex> lk(m_);
    seen_ = 0;
    fail_at_ = fail_at;
    api_only_ = api_only;
    inj_ = Injection();
    yv_mem_set_fail_hook(&Injector::hook, this);
  }
  void disarm() { yv_mem_set_fail_hook(nullptr, nullptr); }
  long seen() {
    std::lock_guard<std::mutex> lk(m_);
    return seen_;
  }
  Injection injection() {
    std::lock_guard<std::mutex> lk(m_);
    return inj_;
  }

 private:
  static int hook(size_t size, const char *reason, void *user) {
    const char *thread = thread_kind();
    if (!thread || library_cannot_fail(reason)) return 0;
    auto *self = static_cast<Injector *>(user);
    std::lock_guard<std::mutex> lk(self->m_);
    if (self->api_only_ && !t_in_api) return 0;
    if (++self->seen_ != self->fail_at_) return 0;
    self->inj_ = Injection{true, size, reason ? reason : "", thread, g_phase.load()};
    if (self->verbose_) {
      // Written at once, so that a crash still names the allocation that caused it.
      char line[160];
      int n = std::snprintf(line, sizeof(line), "fail #%ld: %s %s %zu bytes (%s)\n", self->seen_,
                            thread, self->inj_.reason, size, kPhaseName[self->inj_.phase]);
      if (n > 0) (void)!::write(2, line, static_cast<size_t>(n));
    }
    return 1;
  }

  std::mutex m_;
  long seen_ = 0;
  long fail_at_ = 0;
  bool api_only_ = false;
  const bool verbose_ = std::getenv("YWS_SWEEP_VERBOSE") != nullptr;
  Injection inj_;
};

/* A failed copy of received bytes drops that piece; so does a failed receive-chain chunk in
 * buffered mode. Both are documented losses, nothing else is. */
bool drops_a_piece(const Injection &i, bool buffered) {
  if (!i.hit) return false;
  if (std::strcmp(i.thread, "wsservice") == 0 && std::strcmp(i.reason, "yv_mem_alloc") == 0)
    return true;
  return buffered && std::strcmp(i.thread, "wsclient") == 0 &&
         std::strcmp(i.reason, "yv_mem_chunk") == 0;
}

/* ---- the scenario ---- */

struct Run {
  std::vector<std::string> violations;
  std::string seen;  // what the caller saw
  Injection inj;
};

std::string message(int run, int k) {
  // Distinct lengths (37, 61) keep the two echoes apart.
  std::string m = "run " + std::to_string(run) + " message " + std::to_string(k) + " ";
  m.resize(k == 1 ? 37 : 61, k == 1 ? 'a' : 'b');
  return m;
}

/* Is got what was sent, less at most one whole message (allow_drop) and cut short when the
 * connection ended on its own (allow_cut)? */
bool stream_ok(const std::string &got, const std::vector<std::string> &sent, bool allow_drop,
               bool allow_cut) {
  for (int skip = -1; skip < static_cast<int>(sent.size()); skip++) {
    if (skip >= 0 && !allow_drop) break;
    std::string want;
    for (int i = 0; i < static_cast<int>(sent.size()); i++)
      if (i != skip) want += sent[static_cast<size_t>(i)];
    if (got == want || (allow_cut && want.compare(0, got.size(), got) == 0)) return true;
  }
  return false;
}

std::vector<Note> notes_since(size_t first) {
  std::vector<Note> all = Notes::get().all();
  if (first >= all.size()) return {};
  return std::vector<Note>(all.begin() + static_cast<long>(first), all.end());
}

size_t count(const std::vector<Note> &v, int type) {
  size_t n = 0;
  for (const Note &x : v) n += (x.client == kClient && x.type == type) ? 1 : 0;
  return n;
}

int first_virt(const std::vector<Note> &v, int type) {
  for (const Note &x : v)
    if (x.client == kClient && x.type == type) return x.virt;
  return -100;
}

/* The header value the profile would send, "" when none is stored. */
std::string stored_header() {
  char buf[512] = {0};
  if (yws_cfg_get_http_head(buf, sizeof(buf), kCfg, "h", kHeader) <= 0) return "";
  std::string line(buf), key = std::string("\"") + kHeader + "\":\"";
  size_t at = line.find(key);
  if (at == std::string::npos) return "";
  size_t from = at + key.size();
  return line.substr(from, line.find('"', from) - from);
}

class Scenario {
 public:
  Scenario(WsServer &server, bool buffered)
      : server_(server), buffered_(buffered), url_(server.url("/echo")) {}

  int mode() const { return buffered_ ? YWS_SYS_MODE_BUFFERED : 0; }

  Run run(int run_no) {
    Run r;
    run_no_ = run_no;
    first_note_ = Notes::get().all().size();
    got_.clear();
    sent_.clear();
    configure(&r);
    open_and_talk(&r);
    g_phase = kIdle;
    if (!settled(kCloseWait)) r.violations.push_back("client or thread left behind");
    r.inj = Injector::get().injection();
    if (r.seen.empty()) r.seen = "nothing visible";
    return r;
  }

  /* The whole run again with nothing failing: the profile set up anew, a normal open of the same
   * id, the echoes and the close all as without any failure. */
  void recover(int run_no, std::vector<std::string> *violations) {
    Injector::get().arm(0, false);  // also forgets the failure, which excused a lost piece
    Run r = run(run_no);
    Injector::get().disarm();
    for (const std::string &v : r.violations) violations->push_back("recovery: " + v);
    if (r.seen != "nothing visible") violations->push_back("recovery: " + r.seen);
  }

 private:
  void configure(Run *r) {
    g_phase = kConfig;
    g_used = true;
    // Not read back first: the set, not a read, must be the one that creates the profile.
    std::string prev_url = g_url;
    yws_err_e url_rc =
        in_api([&] { return yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_URL, url_.c_str()); });
    // INVAL_PARM: the profile itself could not be created.
    if (url_rc != YWS_OK && url_rc != YWS_ERR_NO_MEM && url_rc != YWS_ERR_INVAL_PARM)
      r->violations.push_back("set url: " + std::to_string(url_rc));
    if (url_rc != YWS_OK) r->seen = "set_opt url " + std::to_string(url_rc);
    // Settings that bound every wait of a run.
    if (!in_api([] {
          return yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECV_CB, &notes_cb) == YWS_OK &&
                 yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_TIMEOUT, 3) == YWS_OK &&
                 yv_ws_cfg_set_opt(kCfg, YWS_CFG_CLOSE_WAITTIME, 2) == YWS_OK &&
                 yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, 0) == YWS_OK;
        }))
      r->violations.push_back("profile settings refused");
    char *now_url = nullptr;
    yv_ws_cfg_get_opt(kCfg, YWS_CFG_CONN_URL, &now_url);
    // A refused set keeps the previous value.
    std::string want = url_rc == YWS_OK ? url_ : prev_url;
    g_url = want;
    if ((now_url ? now_url : "") != want) r->violations.push_back("profile url is not " + want);
    url_set_ = now_url != nullptr;

    std::string before = stored_header();
    // Fixed width: every run's profile holds blocks of the same sizes.
    char tag_buf[16];
    std::snprintf(tag_buf, sizeof(tag_buf), "run-%06d", run_no_);
    std::string tag = tag_buf;
    yws_err_e head_rc =
        in_api([&] { return yv_ws_cfg_set_opt(kCfg, YWS_CFG_REQHEAD_ADD, kHeader, tag.c_str()); });
    header_ = stored_header();
    // A header that could not be stored is reported as such, never as success.
    if (head_rc != (header_ == tag ? YWS_OK : YWS_ERR_NO_MEM))
      r->violations.push_back("header add: " + std::to_string(head_rc));
    // A refused header leaves the previous one in place.
    if (header_ != tag && header_ != before)
      r->violations.push_back("header is '" + header_ + "', neither new nor previous");
    if (header_ != tag && r->seen.empty()) r->seen = "header not stored";
  }

  int write(const std::string &m) {
    yws_parm_t p{YWS_WRITE_PROT_TEXT, reinterpret_cast<uint8_t *>(const_cast<char *>(m.data())),
                 static_cast<int32_t>(m.size()), 0};
    return in_api([&] { return yv_ws_write_proc(kClient, &p); });
  }

  /* Buffered mode: everything the client holds now. */
  void read_all() {
    char buf[256];
    for (;;) {
      int32_t n = sizeof(buf);
      if (in_api([&] { return yv_ws_read_proc(kClient, buf, &n, false); }) != YWS_OK || n <= 0)
        return;
      got_.append(buf, static_cast<size_t>(n));
    }
  }

  /* The connection ended without our close: its CLOSE, or a second OPEN (never valid). */
  bool closed_early() {
    auto v = notes_since(first_note_);
    return count(v, YWS_CB_TYPE_CLOSE) > 0 || count(v, YWS_CB_TYPE_OPEN) > 1;
  }

  std::string note_list() {
    static const char *const kType[] = {"RECV", "OPEN", "CLOSE"};
    std::string s;
    for (const Note &n : notes_since(first_note_)) {
      if (n.client != kClient || n.type < 0 || n.type > 2) continue;
      s += std::string(s.empty() ? "" : ", ") + kType[n.type] + " " +
           std::to_string(n.type == YWS_CB_TYPE_RECV ? n.size : n.virt);
    }
    return "[" + s + "]";
  }

  /* Waits until the echoes of `sent` are in, less what an injected failure explains. */
  bool receive(const std::vector<std::string> &sent, bool tolerate) {
    return eventually(
        [&] {
          if (buffered_) {
            read_all();
          } else {
            got_.clear();
            for (const Note &n : notes_since(first_note_))
              if (n.client == kClient && n.type == YWS_CB_TYPE_RECV) got_ += n.data;
          }
          bool drop = tolerate && drops_a_piece(Injector::get().injection(), buffered_);
          return stream_ok(got_, sent, drop, false) || closed_early();
        },
        kDataWait);
  }

  void open_and_talk(Run *r) {
    g_phase = kOpen;
    size_t handshakes = server_.handshakes().size();
    size_t opens = count_all(YWS_CB_TYPE_OPEN);
    if (g_service_mode < 0) g_service_mode = mode();
    yws_open_t o{kClient, kCfg, nullptr, mode()};
    int rc = in_api([&] { return yv_ws_open_proc(&o); });
    if (rc != 0) {
      if (rc != YWS_ERR_NO_MEM && !(rc == YWS_ERR_INVAL_URL && !url_set_))
        r->violations.push_back("open_proc: " + std::to_string(rc));
      if (r->seen.empty()) r->seen = "open_proc=" + std::to_string(rc);
      return;
    }
    if (!Notes::get().wait_count(kClient, YWS_CB_TYPE_OPEN, opens + 1, kOpenWait)) {
      r->violations.push_back("no OPEN notification");
      return;
    }
    int open_err = first_virt(notes_since(first_note_), YWS_CB_TYPE_OPEN);
    if (open_err != YWS_OK) {
      if (open_err != YWS_ERR_NO_MEM && open_err != YWS_ERR_PROT_FAIL &&
          open_err != YWS_ERR_NET_FAIL && open_err != YWS_ERR_TIMEDOUT)
        r->violations.push_back("OPEN error " + std::to_string(open_err));
      if (r->seen.empty()) r->seen = "OPEN err=" + std::to_string(open_err);
      settled(kCloseWait);
      if (count(notes_since(first_note_), YWS_CB_TYPE_CLOSE) != 0)
        r->violations.push_back("CLOSE after a failed open");
      return;
    }
    check_handshake(r, handshakes);
    talk(r);
    close(r);
  }

  size_t count_all(int type) { return Notes::get().count(kClient, type); }

  void check_handshake(Run *r, size_t before) {
    if (!server_.wait_handshakes(before + 1, kDataWait)) {
      r->violations.push_back("server saw no handshake");
      return;
    }
    auto value = server_.handshakes().back().header(kHeader);
    std::string on_wire = value ? *value : "";
    if (on_wire != header_)
      r->violations.push_back("header on the wire '" + on_wire + "', stored '" + header_ + "'");
  }

  void talk(Run *r) {
    g_phase = kWrite;
    bool refused = false;
    for (int k = 1; k <= 2 && !closed_early(); k++) {
      std::string m = message(run_no_, k);
      int rc = write(m);
      if (rc == YWS_OK) {
        sent_.push_back(m);
      } else if (rc == YWS_ERR_NO_MEM) {
        refused = true;
      } else {
        r->violations.push_back("write: " + std::to_string(rc));
      }
      receive(sent_, true);
    }
    g_phase = kRead;
    if (buffered_) {
      read_all();
    } else if (!closed_early()) {
      char buf[16];
      int32_t n = sizeof(buf);
      int rc = in_api([&] { return yv_ws_read_proc(kClient, buf, &n, false); });
      // Direct mode buffers nothing.
      if (n != 0) r->violations.push_back("direct mode read returned data");
      if (rc != YWS_OK && !closed_early()) r->violations.push_back("read: " + std::to_string(rc));
    }
    Injection inj = Injector::get().injection();
    bool cut = closed_early();
    if (!stream_ok(got_, sent_, drops_a_piece(inj, buffered_), cut)) {
      std::string want;
      for (const std::string &s : sent_) want += s;
      r->violations.push_back("received '" + got_ + "' for '" + want + "'");
    }
    if (r->seen.empty()) {
      if (refused) {
        r->seen = "write NO_MEM";
      } else if (!stream_ok(got_, sent_, false, false)) {
        r->seen = cut                             ? "received cut short"
                  : drops_a_piece(inj, buffered_) ? "received piece dropped"
                                                  : "echo missing";
      }
    }
  }

  void close(Run *r) {
    g_phase = kClose;
    bool ours = !closed_early();
    if (ours) {
      int rc = in_api([] { return yv_ws_close_proc(kClient); });
      // Busy: the connection is ending on its own and its CLOSE follows.
      if (rc != YWS_OK && rc != YWS_ERR_BUSY)
        r->violations.push_back("close_proc: " + std::to_string(rc));
    }
    if (!eventually([&] { return closed_early(); }, kCloseWait)) {
      r->violations.push_back("no CLOSE notification " + note_list());
      return;
    }
    if (!settled(kCloseWait)) return;
    auto v = notes_since(first_note_);
    // An open that succeeded ends with exactly one CLOSE.
    if (count(v, YWS_CB_TYPE_OPEN) != 1 || count(v, YWS_CB_TYPE_CLOSE) != 1) {
      r->violations.push_back("notifications " + note_list());
      if (r->seen.empty()) r->seen = "notifications " + note_list();
      return;
    }
    int err = first_virt(v, YWS_CB_TYPE_CLOSE);
    if (r->seen.empty() && !ours) r->seen = "CLOSE err=" + std::to_string(err) + " before close";
    if (r->seen.empty() && err != 0) r->seen = "CLOSE err=" + std::to_string(err);
  }

  WsServer &server_;
  bool buffered_;
  std::string url_;
  bool url_set_ = false;
  int run_no_ = 0;
  size_t first_note_ = 0;
  std::string header_;
  std::string got_;
  std::vector<std::string> sent_;
};

WsServer::Options server_options() {
  WsServer::Options opts;
  opts.capture_headers = {kHeader};
  return opts;
}

std::string site(const Injection &i) {
  return std::string(i.thread) + " " + i.reason + " (" + kPhaseName[i.phase] + ")";
}

/* Sweeps every allocation of the scenario in one process. */
void sweep(bool buffered) {
  // The reception mode is chosen by the open that creates the service.
  if (g_service_mode >= 0 && g_service_mode != (buffered ? YWS_SYS_MODE_BUFFERED : 0))
    GTEST_SKIP() << "needs a process in which the service is unused or in this mode";
  WsServer server(server_options());
  Scenario sc(server, buffered);

  // First use creates the service and lets the library settle its lazily grown tables.
  Run warm = sc.run(0);
  ASSERT_TRUE(warm.violations.empty()) << warm.violations[0];

  Injector::get().arm(0, false);
  Run counted = sc.run(1);
  Injector::get().disarm();
  const long total = Injector::get().seen();
  ASSERT_TRUE(counted.violations.empty()) << counted.violations[0];
  ASSERT_GT(total, 0);
  // The profile now holds its header too: every later run must come back to this level. The
  // server frees a connection a moment after it reports it closed, so a level may only fall.
  ASSERT_TRUE(eventually([&] { return server.open_connections() == 0; }));
  const size_t heap = yv_mem_bytes_in_use();
  size_t level = heap;

  int failures = 0;
  long points = 0, last_hit = 0;
  auto t0 = steady_clock::now();
  for (long n = 1;; n++) {
    Injector::get().arm(n, false);
    Run r = sc.run(static_cast<int>(n) + 1);
    Injector::get().disarm();
    if (!r.inj.hit) break;
    points++;
    last_hit = n;
    sc.recover(static_cast<int>(n) + 1, &r.violations);
    eventually([&] { return yv_mem_bytes_in_use() <= level; }, milliseconds(2000));
    size_t now = yv_mem_bytes_in_use();
    if (now > level)
      r.violations.push_back("heap grew by " + std::to_string(now - level) + " bytes");
    level = now;
    for (const std::string &why : r.violations)
      if (++failures <= 20 || std::getenv("YWS_SWEEP_VERBOSE"))
        ADD_FAILURE() << "allocation " << n << " of " << total << " (" << site(r.inj) << ", "
                      << r.inj.size << " bytes) -> " << r.seen << ": " << why;
  }
  auto secs = std::chrono::duration<double>(steady_clock::now() - t0).count();

  EXPECT_TRUE(eventually([&] { return yv_mem_bytes_in_use() <= heap; }, milliseconds(2000)))
      << yv_mem_bytes_in_use() << " bytes held, " << heap << " before the sweep";
  EXPECT_GE(last_hit, total) << "the sweep stopped early";
  EXPECT_EQ(failures, 0);

  std::printf("alloc sweep (%s): %ld allocations per run, %ld points failed, %.1f s\n",
              buffered ? "buffered" : "direct", total, points, secs);
}

/* ---- first use: the service, its queue and the profile exist only once per process ---- */

struct ChildReport {
  bool exited = false;  // within the bound
  int status = 0;
  bool hit = false;
  long seen = 0;
  long heap = -1;
  std::string outcome;
  std::vector<std::string> violations;
};

/* Runs the scenario in this fresh process with the k-th allocation of a service call failing
 * (k = 0: none), recovers, and writes one line "hit seen heap outcome" and a "! why" line per
 * violation to fd. */
void first_use_child(long k, int fd) {
  // Counted from the start, the server's blocks make the heap figure comparable between runs.
  yv_mem_install_lws_allocator();
  Run r;
  long seen = 0;
  {
    WsServer server(server_options());
    Scenario sc(server, false);
    Injector::get().arm(k, true);
    r = sc.run(1);
    Injector::get().disarm();
    seen = Injector::get().seen();
    sc.recover(2, &r.violations);
  }
  // The server is gone with all its blocks: what is left belongs to the service.
  dprintf(fd, "%d %ld %zu %s -> %s\n", r.inj.hit ? 1 : 0, seen, yv_mem_bytes_in_use(),
          site(r.inj).c_str(), r.seen.c_str());
  for (const std::string &v : r.violations) dprintf(fd, "! %s\n", v.c_str());
}

/* Runs the child for point k and reads its report; a child that outlives the bound is killed. */
ChildReport run_child(long k) {
  ChildRun c = run_forked([k](int fd) { first_use_child(k, fd); }, std::chrono::seconds(60));
  ChildReport rep;
  rep.exited = c.exited;
  rep.status = c.status;
  std::istringstream in(c.out);
  std::string line;
  int hit = 0;
  if (std::getline(in, line)) {
    std::istringstream head(line);
    head >> hit >> rep.seen >> rep.heap >> std::ws;
    std::getline(head, rep.outcome);
    rep.hit = hit != 0;
  }
  while (std::getline(in, line))
    if (line.rfind("! ", 0) == 0) rep.violations.push_back(line.substr(2));
  return rep;
}

}  // namespace

// Each allocation a service call makes, failed in a process where nothing exists yet: the first
// configuration creates the profile, the first open the service. A child process per point.
TEST(AllocSweep, FirstUseOfProfileAndService) {
  if (g_used) GTEST_SKIP() << "needs a process in which the service is unused";
  ChildReport base = run_child(0);
  ASSERT_TRUE(base.exited) << "scenario without failures hung";
  ASSERT_EQ(base.status, 0) << "scenario without failures";
  ASSERT_TRUE(base.violations.empty()) << base.violations[0];
  ASSERT_GT(base.seen, 0);
  long points = 0;
  for (long k = 1; k <= 4 * base.seen; k++) {
    ChildReport c = run_child(k);
    ASSERT_TRUE(c.exited) << "allocation " << k << ": no end within 60 s";
    if (WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0 && !c.hit) break;
    points++;
    EXPECT_TRUE(WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0)
        << "allocation " << k << " (" << c.outcome << "): child ended with status " << c.status
        << " (a sanitizer report above?)";
    for (const std::string &v : c.violations)
      ADD_FAILURE() << "allocation " << k << " (" << c.outcome << "): " << v;
    // The same state as after a run without failures: nothing leaked.
    EXPECT_EQ(c.heap, base.heap) << "allocation " << k << " (" << c.outcome << ")";
    std::printf("first use: allocation %ld: %s\n", k, c.outcome.c_str());
  }
  EXPECT_GE(points, base.seen);
}

TEST(AllocSweep, DirectModeEveryAllocationOfAScenario) {
  sweep(false);
}

TEST(AllocSweep, BufferedModeEveryAllocationOfAScenario) {
  sweep(true);
}
