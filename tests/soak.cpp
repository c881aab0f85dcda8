// Soak: three clients go at random through open, write, read, user close, server close
// (/close-after/N) and bearer loss against a loopback server; every notification must fit the
// client's state, every byte read be a byte written, and threads, descriptors, timers and heap
// end at their baseline. Usage: yws_soak [seconds=120] [seed] [--direct]; 0 when all held.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <random>

#include "ws_test_server.h"
#include "yv_ssl_store_ctl.h"
#include "yws_test_util.h"

using namespace ywst;
using std::chrono::steady_clock;
using ywstest::WsServer;

namespace {

constexpr int kClients = 3, kBearerCid = 1;  // the profiles' default context is lost
constexpr milliseconds kStateBound{10000};
constexpr long kHeapSlack = 16 * 1024;  // lazily grown library tables, not growth per cycle

enum class St { kIdle, kOpening, kConnected, kClosing };

struct Client {
  int id = 0;
  St st = St::kIdle;
  steady_clock::time_point since;
  bool server_closes = false;
  std::string sent, got;
};

struct Stats {
  long cycles = 0, writes = 0, refused = 0, bytes = 0, read_bytes = 0, server_closes = 0;
  long bearer_losses = 0, bearer_releases = 0;
};

long count_dir(const char *path) {
  namespace fs = std::filesystem;
  return long(std::distance(fs::directory_iterator(path), fs::directory_iterator()));
}

// Each note taken once: a long run must not pile them up. Never destroyed: the service task
// may still call in during exit.
struct Mailbox {
  std::mutex m;
  std::condition_variable cv;
  std::deque<Note> q;
} &mailbox = *new Mailbox;

extern "C" int soak_cb(int client_id, yws_parm_t *parm) {
  Note n{client_id, parm->type, parm->size, parm->virtual_, std::string(), parm->data != nullptr};
  if (parm->data && parm->size > 0)
    n.data.assign(reinterpret_cast<const char *>(parm->data), static_cast<size_t>(parm->size));
  std::lock_guard<std::mutex> lk(mailbox.m);
  mailbox.q.push_back(std::move(n));
  mailbox.cv.notify_all();
  return 0;
}

constexpr uint32_t kLoopStackGuard = 16 * 1024;
const char *const kResources[] = {"tasks", "threads", "fds", "timers", "heap"};
using Resources = std::array<long, 5>;

Resources resources() {
  return {long(yv_rtos_test_live_tasks()), count_dir("/proc/self/task"), count_dir("/proc/self/fd"),
          long(yv_rtos_test_live_timers()), long(yv_mem_bytes_in_use())};
}

class Soak {
 public:
  // A non-negative `ssl_ctx` is the TLS context of a wss server's profiles; `active` clients of
  // the three take part.
  Soak(WsServer &server, uint32_t seed, bool buffered, int ssl_ctx = -1, int active = kClients)
      : server_(server), rng_(seed), buffered_(buffered), ssl_ctx_(ssl_ctx), active_(active) {
    for (int i = 0; i < kClients; i++) clients_[i].id = i;
  }
  Stats stats;
  int failures = 0;

  void fail(const std::string &why) {
    if (++failures <= 20) std::fprintf(stderr, "soak: FAIL %s\n", why.c_str());
  }

  void run(std::chrono::seconds duration) {
    for (auto end = steady_clock::now() + duration; steady_clock::now() < end;) {
      pump();
      for (Client &c : clients_)  // opening and closing end within the profile's 5 s and 2 s
        if (c.st != St::kIdle && c.st != St::kConnected &&
            steady_clock::now() - c.since > kStateBound)
          give_up(c, "no end");
      Client &c = clients_[rng_() % static_cast<unsigned>(active_)];
      auto r = static_cast<unsigned>(rng_() % 100);
      if (c.st == St::kIdle && r < 30) open(c, rng_() % 3 == 0);
      if (c.st != St::kConnected) continue;
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
  }

  void finish() {
    settle_all(false);
    for (Client &c : clients_)
      if (c.st == St::kConnected) user_close(c);
    settle_all(true);
  }

 private:
  std::string who(const Client &c) {
    return "client " + std::to_string(c.id) + " (state " + std::to_string(int(c.st)) + ")";
  }

  void open(Client &c, bool server_closes) {
    std::string path = server_closes ? "/close-after/" + std::to_string(1 + rng_() % 8) : "/echo";
    auto cfg = static_cast<uint8_t>(c.id);
    yv_ws_cfg_set_opt(cfg, YWS_CFG_CONN_URL, server_.url(path).c_str());
    yv_ws_cfg_set_opt(cfg, YWS_CFG_RECV_CB, &soak_cb);
    yv_ws_cfg_set_opt(cfg, YWS_CFG_PING_INTERVAL, 1 + rng_() % 3);
    // The service's own bounds, well inside the soak's.
    yv_ws_cfg_set_opt(cfg, YWS_CFG_CONN_TIMEOUT, 5);
    yv_ws_cfg_set_opt(cfg, YWS_CFG_CLOSE_WAITTIME, 2);
    if (ssl_ctx_ >= 0) yv_ws_cfg_set_opt(cfg, YWS_CFG_CONN_SSLCTXID, ssl_ctx_);
    // Over wss each write is a message of up to 16 KiB: the echo comes back in TLS records
    // larger than a receive pause.
    yv_ws_cfg_set_opt(cfg, YWS_CFG_WRITE_MESSAGE, ssl_ctx_ >= 0 ? 1 : 0);
    yv_ws_cfg_set_opt(cfg, YWS_CFG_WRITE_BUFFERSZ, ssl_ctx_ >= 0 ? 16384 : 10240);
    yws_open_t o{c.id, c.id, nullptr, buffered_ ? YWS_SYS_MODE_BUFFERED : 0};
    int rc = yv_ws_open_proc(&o);
    if (rc != 0) return fail(who(c) + ": open_proc " + std::to_string(rc));
    c = Client{c.id, St::kOpening, steady_clock::now(), server_closes, "", ""};
  }

  void write(Client &c) {
    std::string m(1 + rng_() % (ssl_ctx_ >= 0 ? 16000 : 3000), '\0');
    for (char &ch : m) ch = static_cast<char>(' ' + rng_() % 95);
    int rc = write_bytes(c.id, m, rng_() % 2 ? YWS_WRITE_PROT_BIN : YWS_WRITE_PROT_TEXT);
    if (rc == YWS_OK) {
      c.sent += m;
      stats.writes++;
      stats.bytes += long(m.size());
    } else if (rc == YWS_ERR_NO_MEM) {
      stats.refused++;  // transmit limit reached
    } else if (rc != YWS_ERR_GENERIC) {
      fail(who(c) + ": write " + std::to_string(rc));
    } else if (!until([&] { return c.st != St::kConnected; })) {  // released: notice on its way
      fail(who(c) + ": released without a notification");
    }
  }

  void read(Client &c) {
    if (!buffered_ || (c.st != St::kConnected && c.st != St::kClosing)) return;
    char buf[4096];
    for (int32_t n = sizeof(buf); yv_ws_read_proc(c.id, buf, &n, false) == YWS_OK && n > 0;
         n = sizeof(buf)) {
      c.got.append(buf, static_cast<size_t>(n));
      stats.read_bytes += n;
    }
  }

  bool until(const std::function<bool()> &done) {
    auto deadline = steady_clock::now() + kStateBound;
    for (; !done(); pump())
      if (steady_clock::now() >= deadline) return false;
    return true;
  }

  void wait_echo(Client &c) {
    if (!until([&] { return c.st != St::kConnected || c.got.size() >= c.sent.size(); }))
      fail(who(c) + ": echo incomplete, " + std::to_string(c.got.size()) + " of " +
           std::to_string(c.sent.size()) + " bytes");
  }

  void user_close(Client &c) {
    int rc = yv_ws_close_proc(c.id);
    // Busy: the server is closing it already; its CLOSE ends the connection.
    if (rc != YWS_OK && rc != YWS_ERR_BUSY) fail(who(c) + ": close_proc " + std::to_string(rc));
    c.st = St::kClosing;
    c.since = steady_clock::now();
  }

  /* Every client on the lost context is released, whatever its state, with OPEN/8; one that
   * ends by its CLOSE first is not told again. No open may be under way, or whether it reached
   * its bearer step before the loss would be a race. */
  void bearer_loss() {
    unsigned targets = 0;
    for (const Client &c : clients_) {
      if (c.st == St::kOpening) return;
      if (c.st == St::kConnected || c.st == St::kClosing) targets |= 1u << c.id;
    }
    if (!targets || yv_dc_ctl_deactivate(kBearerCid) != 0) return;
    stats.bearer_losses++;
    bearer_targets_ = targets;
    if (!until([this] { return bearer_targets_ == 0; }))
      fail("no OPEN notification after bearer loss");
    bearer_targets_ = 0;
  }

  /* A connection ended: what was read must be what was written, up to where it stopped. */
  void ended(Client &c) {
    if (c.sent.compare(0, c.got.size(), c.got) != 0 || c.got.size() > c.sent.size())
      fail(who(c) + ": read bytes differ from written ones");
    stats.cycles++;
    c.st = St::kIdle;
    bearer_targets_ &= ~(1u << c.id);  // told once: by its CLOSE or by the loss
  }

  /* Waits up to 2 ms for notifications, handles them and reads what buffered clients hold. */
  void pump() {
    std::unique_lock<std::mutex> lk(mailbox.m);
    mailbox.cv.wait_for(lk, milliseconds(2), [] { return !mailbox.q.empty(); });
    std::deque<Note> notes = std::exchange(mailbox.q, {});
    lk.unlock();
    for (const Note &n : notes) on_note(n);
    for (Client &c : clients_) read(c);
  }

  void on_note(const Note &n) {
    if (n.client < 0 || n.client >= kClients)
      return fail("note for client " + std::to_string(n.client));
    Client &c = clients_[n.client];
    const unsigned bit = 1u << c.id;
    if (n.type == YWS_CB_TYPE_OPEN && n.virt == YWS_ERR_NET_FAIL && (bearer_targets_ & bit)) {
      bearer_targets_ &= ~bit;
      stats.bearer_releases++;
      if (c.st != St::kIdle) ended(c);
    } else if (n.type == YWS_CB_TYPE_OPEN && c.st == St::kOpening && n.virt == YWS_OK) {
      c.st = St::kConnected;
    } else if (n.type == YWS_CB_TYPE_CLOSE &&
               (c.st == St::kClosing || (c.st == St::kConnected && c.server_closes))) {
      if (n.virt != YWS_OK) fail(who(c) + ": CLOSE error " + std::to_string(n.virt));
      if (c.st == St::kConnected) stats.server_closes++;
      ended(c);
    } else if (n.type == YWS_CB_TYPE_RECV && (c.st == St::kConnected || c.st == St::kClosing)) {
      // Buffered mode hands the first piece over and keeps it for the read as well.
      if (!buffered_) c.got += n.data;
    } else {
      fail(who(c) + ": notification type " + std::to_string(n.type) + ", error " +
           std::to_string(n.virt) + ", " + std::to_string(n.size) + " bytes");
    }
  }

  /* Waits until no client is opening or closing (all idle when `idle`). */
  void settle_all(bool idle) {
    auto busy = [&](const Client &c) {
      return c.st == St::kOpening || c.st == St::kClosing || (idle && c.st != St::kIdle);
    };
    until([&] { return std::none_of(clients_, clients_ + kClients, busy); });
    for (Client &c : clients_)
      if (busy(c)) give_up(c, "did not settle");
  }

  void give_up(Client &c, const char *what) {
    fail(who(c) + ": " + what + " within " + std::to_string(kStateBound.count()) + " ms");
    c.st = St::kIdle;
  }

  WsServer &server_;
  std::mt19937 rng_;
  bool buffered_;
  int ssl_ctx_;
  int active_;
  Client clients_[kClients];
  unsigned bearer_targets_ = 0;
};

// A tenth of the run over wss, for the stack marks: loop threads start afresh (the ws ones
// have ended), the service task's mark keeps its ws part.
void wss_phase(long seconds, uint32_t seed, bool buffered, Soak &ws) {
  constexpr int kCtx = 2;
  WsServer::Options so;
  so.tls = WsServer::Tls::kCaSigned;
  WsServer server(so);
  if (yavo_ssl_cfg_set(kCtx, server.ca_path().c_str(), nullptr, nullptr) != 0)
    return ws.fail("TLS context");
  yv_rtos_test_stack_reset();
  // Every client: their TLS opens overlap, each verifying the server.
  Soak soak(server, seed + 1, buffered, kCtx);
  soak.run(std::chrono::seconds(seconds));
  soak.finish();
  if (!settled(kStateBound)) soak.fail("wss: a client slot or thread is left");
  std::printf(
      "soak: stack high-water over wss wsclient=%u (ws and wss) wsservice=%u bytes, %ld s, "
      "%ld cycles\n",
      yv_rtos_test_stack_high_water("wsclient"), yv_rtos_test_stack_high_water("wsservice"),
      seconds, soak.stats.cycles);
  ws.failures += soak.failures;
  yavo_ssl_cfg_clear(kCtx);
}

}  // namespace

int main(int argc, char **argv) {
  // The leak check compares heap figures that include the library's blocks.
  yv_mem_install_lws_allocator();
  std::vector<std::string> args(argv + 1, argv + argc);
  auto direct = std::find(args.begin(), args.end(), "--direct");
  bool buffered = direct == args.end();
  if (!buffered) args.erase(direct);
  long seconds = args.size() > 0 ? std::stol(args[0]) : 120;
  auto t = steady_clock::now().time_since_epoch().count();
  auto seed = static_cast<uint32_t>(args.size() > 1 ? std::stoul(args[1]) : size_t(t));
  std::printf("soak: %ld s, seed %u, %s mode\n", seconds, seed, buffered ? "buffered" : "direct");
  std::fflush(stdout);
  auto t0 = steady_clock::now();
  WsServer server;
  Soak soak(server, seed, buffered);
  auto server_idle = [&] { return eventually([&] { return server.open_connections() == 0; }); };
  // A first second creates the service, its threads and the library's lazily grown tables.
  soak.run(std::chrono::seconds(1));
  soak.finish();
  if (!settled(kStateBound) || !server_idle())
    soak.fail("warm-up left a client, thread or connection behind");
  Resources base = resources(), now{};

  soak.run(std::chrono::seconds(seconds));
  soak.finish();
  if (!settled(kStateBound)) soak.fail("a client slot or thread is left");
  if (!server_idle()) soak.fail("the server still has connections");
  // Descriptors and threads go a moment after the slot: wait for them, within a bound.
  eventually([&] {
    now = resources();
    return now[1] == base[1] && now[2] == base[2] && now[4] <= base[4];
  });
  std::string res;
  for (size_t i = 0; i < now.size(); i++) {
    if (i == 4 ? now[i] > base[i] + kHeapSlack : now[i] != base[i])
      soak.fail(std::string(kResources[i]) + " " + std::to_string(now[i]));
    res += std::string(kResources[i]) + "=" + std::to_string(now[i]) + "/" +
           std::to_string(base[i]) + " ";
  }
  // A regression guard for the library thread's stack over ws, not the target.
  uint32_t loop_stack = yv_rtos_test_stack_high_water("wsservice");
  if (loop_stack > kLoopStackGuard)
    soak.fail("a loop thread used " + std::to_string(loop_stack) + " bytes of stack");
  std::printf("soak: stack high-water wsclient=%u wsservice=%u bytes (given %u)\n",
              yv_rtos_test_stack_high_water("wsclient"), loop_stack,
              yv_rtos_test_stack_given(6144));
  wss_phase(std::max(2L, seconds / 10), seed, buffered, soak);
  const Stats &st = soak.stats;
  std::printf(
      "soak: cycles=%ld writes=%ld refused=%ld bytes=%ld read_bytes=%ld server_closes=%ld "
      "bearer_losses=%ld bearer_releases=%ld %stime=%.0fs failures=%d %s\n",
      st.cycles, st.writes, st.refused, st.bytes, st.read_bytes, st.server_closes, st.bearer_losses,
      st.bearer_releases, res.c_str(),
      std::chrono::duration<double>(steady_clock::now() - t0).count(), soak.failures,
      soak.failures == 0 ? "ok" : "FAILED");
  return soak.failures == 0 ? 0 : 1;
}
