// Soak: three clients go at random through open, write, read, user close, server close
// (/close-after/N) and bearer loss against a loopback server. Every notification must fit the
// client's state, every byte read must be a byte written, and at the end threads, descriptors,
// timers and heap must be back at their baseline.
// Usage: yws_soak [seconds=120] [seed] [--direct]; exit status 0 when everything held.
#include <dirent.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>

#include "ws_test_server.h"
#include "yws_test_util.h"

using namespace ywst;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using ywstest::WsServer;

namespace {

constexpr int kClients = 3;
constexpr int kBearerCid = 1;  // the profiles' default context
constexpr milliseconds kStateBound{10000};
// Lazily grown library tables, not growth per cycle.
constexpr size_t kHeapSlack = 16 * 1024;

enum class St { kIdle, kOpening, kConnected, kClosing };

struct Client {
  int id = 0;
  St st = St::kIdle;
  steady_clock::time_point since;
  bool server_closes = false;
  std::string sent, got;
};

struct Stats {
  long cycles = 0, opens = 0, writes = 0, refused = 0, bytes = 0, reads = 0, read_bytes = 0;
  long user_closes = 0, server_closes = 0, bearer_losses = 0, bearer_releases = 0;
};

int count_dir(const char *path) {
  DIR *d = opendir(path);
  if (!d) return -1;
  int n = 0;
  while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

/* Notifications as they arrive, each taken once: a long run must not accumulate them. Never
 * destroyed: the service task may still call in during exit. */
struct Mailbox {
  std::mutex m;
  std::condition_variable cv;
  std::deque<Note> q;
} &mailbox = *new Mailbox;

extern "C" int soak_cb(int client_id, yws_parm_t *parm) {
  Note n{client_id, parm->type, parm->size, parm->virtual_, std::string(), parm->data != nullptr};
  if (parm->data && parm->size > 0)
    n.data.assign(reinterpret_cast<const char *>(parm->data), static_cast<size_t>(parm->size));
  {
    std::lock_guard<std::mutex> lk(mailbox.m);
    mailbox.q.push_back(std::move(n));
  }
  mailbox.cv.notify_all();
  return 0;
}

/* Until a notification is waiting to be taken, at most 2 ms. */
void wait_mail() {
  std::unique_lock<std::mutex> lk(mailbox.m);
  mailbox.cv.wait_for(lk, milliseconds(2), [] { return !mailbox.q.empty(); });
}

struct Resources {
  uint32_t tasks;
  int threads, fds;
  uint32_t timers;
  size_t heap;
};

Resources resources() {
  return {yv_rtos_test_live_tasks(), count_dir("/proc/self/task"), count_dir("/proc/self/fd"),
          yv_rtos_test_live_timers(), yv_mem_bytes_in_use()};
}

class Soak {
 public:
  Soak(WsServer &server, uint32_t seed, bool buffered)
      : server_(server), rng_(seed), buffered_(buffered) {
    for (int i = 0; i < kClients; i++) clients_[i].id = i;
  }

  const Stats &stats() const { return stats_; }
  int failures() const { return failures_; }

  /* One connection per client with data both ways: creates the service, its threads and the
   * library's lazily grown tables before the baseline is taken. */
  void warm_up() {
    for (Client &c : clients_) open(c, false);
    settle_all(false);
    for (Client &c : clients_) {
      if (c.st != St::kConnected) continue;
      write(c);
      wait_echo(c);
      user_close(c);
    }
    settle_all(false);
  }

  void run(std::chrono::seconds duration) {
    auto end = steady_clock::now() + duration;
    while (steady_clock::now() < end) {
      step();
      wait_mail();  // nothing to act on: wait rather than spin
    }
  }

  /* Ends every connection and waits until every client is idle. */
  void finish() {
    settle_all(false);
    for (Client &c : clients_)
      if (c.st == St::kConnected) user_close(c);
    settle_all(true);
  }

  void fail(const std::string &why) {
    if (++failures_ <= 20) std::fprintf(stderr, "soak: FAIL %s\n", why.c_str());
  }

 private:
  std::string who(const Client &c) {
    static const char *const kNames[] = {"idle", "opening", "connected", "closing"};
    return "client " + std::to_string(c.id) + " (" + kNames[static_cast<int>(c.st)] + ")";
  }

  void step() {
    poll_notes();
    if (buffered_)
      for (Client &c : clients_) read(c);
    check_bounds();
    Client &c = clients_[rng_() % kClients];
    auto r = static_cast<unsigned>(rng_() % 100);
    if (c.st == St::kIdle && r < 30) open(c, rng_() % 3 == 0);
    if (c.st != St::kConnected) return;
    if (r < 40) {
      write(c);
    } else if (r < 45) {
      for (int i = 0; i < 8; i++) write(c);  // reaches the transmit limit now and then
    } else if (r < 60) {
      read(c);
    } else if (r < 66) {
      wait_echo(c);
      if (c.st == St::kConnected) user_close(c);
    } else if (r < 67) {
      bearer_loss();
    }
  }

  void set_state(Client &c, St s) {
    c.st = s;
    c.since = steady_clock::now();
  }

  void open(Client &c, bool server_closes) {
    std::string path = "/echo";
    if (server_closes) path = "/close-after/" + std::to_string(1 + rng_() % 8);
    auto cfg = static_cast<uint8_t>(c.id);
    yv_ws_cfg_set_opt(cfg, YWS_CFG_CONN_URL, server_.url(path).c_str());
    yv_ws_cfg_set_opt(cfg, YWS_CFG_RECV_CB, &soak_cb);
    yv_ws_cfg_set_opt(cfg, YWS_CFG_PING_INTERVAL, 1 + rng_() % 3);
    // The service's own bounds, well inside the soak's.
    yv_ws_cfg_set_opt(cfg, YWS_CFG_CONN_TIMEOUT, 5);
    yv_ws_cfg_set_opt(cfg, YWS_CFG_CLOSE_WAITTIME, 2);
    yws_open_t o{c.id, c.id, nullptr, buffered_ ? YWS_SYS_MODE_BUFFERED : 0};
    int rc = yv_ws_open_proc(&o);
    if (rc != 0) return fail(who(c) + ": open_proc " + std::to_string(rc));
    c.server_closes = server_closes;
    c.sent.clear();
    c.got.clear();
    stats_.opens++;
    set_state(c, St::kOpening);
  }

  void write(Client &c) {
    size_t len = 1 + rng_() % 3000;
    std::string m(len, '\0');
    for (char &ch : m) ch = static_cast<char>(' ' + rng_() % 95);
    int rc = write_bytes(c.id, m, rng_() % 2 ? YWS_WRITE_PROT_BIN : YWS_WRITE_PROT_TEXT);
    if (rc == YWS_OK) {
      c.sent += m;
      stats_.writes++;
      stats_.bytes += static_cast<long>(len);
    } else if (rc == YWS_ERR_NO_MEM) {
      stats_.refused++;  // transmit limit reached
    } else if (rc == YWS_ERR_GENERIC) {
      // Released already; its notification is on the way.
      if (!until([&] { return c.st != St::kConnected; }))
        fail(who(c) + ": released without a notification");
    } else {
      fail(who(c) + ": write " + std::to_string(rc));
    }
  }

  /* Buffered mode: everything the client holds now. */
  void read(Client &c) {
    if (!buffered_ || (c.st != St::kConnected && c.st != St::kClosing)) return;
    char buf[4096];
    for (;;) {
      int32_t n = sizeof(buf);
      int rc = yv_ws_read_proc(c.id, buf, &n, false);
      stats_.reads++;
      if (rc != YWS_OK || n <= 0) return;
      c.got.append(buf, static_cast<size_t>(n));
      stats_.read_bytes += n;
    }
  }

  /* Takes notifications and reads until done() holds; false when the soak's bound ran out. */
  bool until(const std::function<bool()> &done) {
    auto deadline = steady_clock::now() + kStateBound;
    while (!done()) {
      if (steady_clock::now() >= deadline) return false;
      poll_notes();
      for (Client &c : clients_) read(c);
      wait_mail();
    }
    return true;
  }

  /* Until everything written came back or the connection ended. */
  void wait_echo(Client &c) {
    if (!until([&] { return c.st != St::kConnected || c.got.size() >= c.sent.size(); }))
      fail(who(c) + ": echo incomplete, " + std::to_string(c.got.size()) + " of " +
           std::to_string(c.sent.size()) + " bytes");
  }

  void user_close(Client &c) {
    int rc = yv_ws_close_proc(c.id);
    // Busy: the server is closing it already; its CLOSE ends the connection.
    if (rc != YWS_OK && rc != YWS_ERR_BUSY) fail(who(c) + ": close_proc " + std::to_string(rc));
    if (rc == YWS_OK) stats_.user_closes++;
    set_state(c, St::kClosing);
  }

  /* The service releases every client on the lost context, whatever its state, with OPEN/8;
   * one that ends by its CLOSE first is not told again. No open may be under way, or whether
   * it reached its bearer step before the loss would be a race. */
  void bearer_loss() {
    unsigned targets = 0;
    for (const Client &c : clients_) {
      if (c.st == St::kOpening) return;
      if (c.st == St::kConnected || c.st == St::kClosing) targets |= 1u << c.id;
    }
    if (!targets || yv_dc_ctl_deactivate(kBearerCid) != 0) return;
    stats_.bearer_losses++;
    bearer_targets_ = targets;
    if (!until([this] {
          for (const Client &c : clients_)
            if ((bearer_targets_ & (1u << c.id)) && c.st != St::kIdle) return false;
          return true;
        }))
      fail("no OPEN notification after bearer loss");
    bearer_targets_ = 0;
  }

  /* A connection ended: what was read must be what was written, up to where it stopped. */
  void ended(Client &c) {
    if (c.sent.compare(0, c.got.size(), c.got) != 0 || c.got.size() > c.sent.size())
      fail(who(c) + ": read bytes differ from written ones");
    stats_.cycles++;
    set_state(c, St::kIdle);
  }

  void poll_notes() {
    std::deque<Note> notes;
    {
      std::lock_guard<std::mutex> lk(mailbox.m);
      notes.swap(mailbox.q);
    }
    for (const Note &n : notes) on_note(n);
  }

  void on_note(const Note &n) {
    if (n.client < 0 || n.client >= kClients)
      return fail("note for client " + std::to_string(n.client));
    Client &c = clients_[n.client];
    if (n.type == YWS_CB_TYPE_OPEN && n.virt == YWS_ERR_NET_FAIL &&
        (bearer_targets_ & (1u << c.id))) {
      bearer_targets_ &= ~(1u << c.id);
      stats_.bearer_releases++;
      if (c.st != St::kIdle) ended(c);
      return;
    }
    switch (n.type) {
      case YWS_CB_TYPE_OPEN:
        if (c.st != St::kOpening || n.virt != YWS_OK)
          return fail(who(c) + ": OPEN " + std::to_string(n.virt));
        return set_state(c, St::kConnected);
      case YWS_CB_TYPE_CLOSE:
        if (c.st == St::kConnected && c.server_closes) {
          stats_.server_closes++;
        } else if (c.st != St::kClosing) {
          return fail(who(c) + ": CLOSE " + std::to_string(n.virt));
        }
        if (n.virt != YWS_OK) fail(who(c) + ": CLOSE error " + std::to_string(n.virt));
        return ended(c);
      case YWS_CB_TYPE_RECV:
        if (c.st != St::kConnected && c.st != St::kClosing)
          return fail(who(c) + ": RECV of " + std::to_string(n.size) + " bytes");
        // Buffered mode hands the first piece over and keeps it for the read as well.
        if (!buffered_) c.got += n.data;
        return;
      default:
        fail(who(c) + ": notification type " + std::to_string(n.type));
    }
  }

  /* Opening and closing are bounded by the profile's timeouts (5 s, 2 s). */
  void check_bounds() {
    for (Client &c : clients_) {
      if ((c.st == St::kOpening || c.st == St::kClosing) &&
          steady_clock::now() - c.since > kStateBound) {
        fail(who(c) + ": no end after " + std::to_string(kStateBound.count()) + " ms");
        set_state(c, St::kIdle);
      }
    }
  }

  /* Waits until no client is opening or closing (all idle when `idle`). */
  void settle_all(bool idle) {
    auto busy = [&](const Client &c) {
      return c.st == St::kOpening || c.st == St::kClosing || (idle && c.st != St::kIdle);
    };
    until([&] {
      for (Client &c : clients_)
        if (busy(c)) return false;
      return true;
    });
    for (Client &c : clients_) {
      if (!busy(c)) continue;
      fail(who(c) + ": did not settle within " + std::to_string(kStateBound.count()) + " ms");
      set_state(c, St::kIdle);
    }
  }

  WsServer &server_;
  std::mt19937 rng_;
  bool buffered_;
  Client clients_[kClients];
  Stats stats_;
  unsigned bearer_targets_ = 0;
  int failures_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
  // The leak check compares heap figures that include the library's blocks.
  yv_mem_install_lws_allocator();
  long seconds = 120;
  uint32_t seed = static_cast<uint32_t>(steady_clock::now().time_since_epoch().count());
  bool buffered = true;
  for (int i = 1, positional = 0; i < argc; i++) {
    if (std::strcmp(argv[i], "--direct") == 0)
      buffered = false;
    else if (positional++ == 0)
      seconds = std::strtol(argv[i], nullptr, 10);
    else
      seed = static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10));
  }
  std::printf("soak: %ld s, seed %u, %s mode\n", seconds, seed, buffered ? "buffered" : "direct");
  std::fflush(stdout);

  Resources base{}, now{};
  Stats st;
  int failures = 0;
  auto t0 = steady_clock::now();
  {
    WsServer server;
    Soak soak(server, seed, buffered);
    soak.warm_up();
    if (!settled(kStateBound) || !eventually([&] { return server.open_connections() == 0; }))
      soak.fail("warm-up left a client, thread or connection behind");
    base = resources();

    soak.run(std::chrono::seconds(seconds));
    soak.finish();
    if (!settled(kStateBound)) soak.fail("a client slot or thread is left");
    if (!eventually([&] { return server.open_connections() == 0; }))
      soak.fail("the server still has connections");
    // Descriptors and threads go a moment after the slot: wait for them, within a bound.
    eventually(
        [&] {
          now = resources();
          return now.threads == base.threads && now.fds == base.fds && now.heap <= base.heap;
        },
        milliseconds(3000));
    now = resources();
    if (now.tasks != base.tasks) soak.fail("tasks " + std::to_string(now.tasks));
    if (now.threads != base.threads) soak.fail("threads " + std::to_string(now.threads));
    if (now.fds != base.fds) soak.fail("descriptors " + std::to_string(now.fds));
    if (now.timers != base.timers) soak.fail("timers " + std::to_string(now.timers));
    if (now.heap > base.heap + kHeapSlack) soak.fail("heap " + std::to_string(now.heap));
    st = soak.stats();
    failures = soak.failures();
  }
  double secs = std::chrono::duration<double>(steady_clock::now() - t0).count();
  std::printf(
      "soak: cycles=%ld opens=%ld writes=%ld refused=%ld bytes=%ld reads=%ld read_bytes=%ld "
      "user_closes=%ld server_closes=%ld bearer_losses=%ld bearer_releases=%ld "
      "tasks=%u/%u threads=%d/%d fds=%d/%d timers=%u/%u heap=%zu/%zu time=%.0fs failures=%d "
      "%s\n",
      st.cycles, st.opens, st.writes, st.refused, st.bytes, st.reads, st.read_bytes, st.user_closes,
      st.server_closes, st.bearer_losses, st.bearer_releases, now.tasks, base.tasks, now.threads,
      base.threads, now.fds, base.fds, now.timers, base.timers, now.heap, base.heap, secs, failures,
      failures == 0 ? "ok" : "FAILED");
  return failures == 0 ? 0 : 1;
}
