// yws-bench: the service beside a bare single-thread libwebsockets client, against one loopback
// echo server running in a child process, so that heap and CPU figures are the client's alone.
// Prints a table, then one machine-readable summary line last. Progress goes to stderr.
#include <libwebsockets.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bare_side.h"
#include "bench_report.h"
#include "bench_util.h"
#include "deflate_side.h"
#include "service_side.h"
#include "ws_test_server.h"
#include "yv_mem_test.h"
#include "yv_rtos.h"
#include "yv_rtos_test.h"
#include "yv_ssl_store_ctl.h"

using namespace bench;

namespace {

struct Options {
  bool quick = false;
  double idle_seconds = 10;
  double echo_seconds = 2;
  double warm_seconds = 0.2;
  size_t rtt_samples = 2000;
  uint64_t push_bytes = 64u << 20;
  size_t bare_window = 64 * 1024;
  std::string child;
  int port = 0;
  std::string push = "binary";  // binary, ascii or utf8: what the receive runs push
  int slow_us = 0;              // children: each notification busy-waits this long
  bool tls = false;             // --child=stacks: over wss
  bool deflate = false;         // the per-message deflate run instead of the main one
  int bits = 0;                 // --child=deflate-server: its window
};

constexpr size_t kPushMessage = 2048;
// Service and bare take turns, so a change in machine load hits both alike.
constexpr int kRounds = 2;
constexpr size_t kRttBlocks = 10;
constexpr int kSlowCallbackUs = 50;

void usage() {
  std::fprintf(stderr,
               "usage: yws-bench [--quick] [--idle-seconds N] [--echo-seconds S] [--samples N]\n"
               "                 [--bare-window BYTES] [--deflate]\n"
               "  --quick          short run for a smoke test (about 5 s, noisy figures)\n"
               "  --idle-seconds   idle CPU window (default 10)\n"
               "  --echo-seconds   per echo case (default 2)\n"
               "  --samples        round trips per size and client (default 2000)\n"
               "  --bare-window    bytes the bare client keeps in flight (default 65536)\n"
               "  --push           binary (default), ascii or utf8: messages of the receive\n"
               "                   runs; text is checked for UTF-8 on the way in\n"
               "  --deflate        instead: heap and echo figures of per-message deflate\n");
}

bool parse(int argc, char **argv, Options &o) {
  bool idle_given = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](const char *name) -> const char * {
      size_t n = std::strlen(name);
      if (a.compare(0, n, name) == 0 && a.size() > n && a[n] == '=') return argv[i] + n + 1;
      if (a == name && i + 1 < argc) return argv[++i];
      return nullptr;
    };
    const char *v;
    if (a == "--deflate") {
      o.deflate = true;
    } else if ((v = value("--bits"))) {
      o.bits = std::atoi(v);
    } else if (a == "--quick") {
      o.quick = true;
    } else if ((v = value("--idle-seconds"))) {
      o.idle_seconds = std::atof(v);
      idle_given = true;
    } else if ((v = value("--echo-seconds"))) {
      o.echo_seconds = std::atof(v);
    } else if ((v = value("--samples"))) {
      o.rtt_samples = static_cast<size_t>(std::atol(v));
    } else if ((v = value("--push"))) {
      o.push = v;
    } else if ((v = value("--bare-window"))) {
      o.bare_window = static_cast<size_t>(std::atol(v));
    } else if ((v = value("--child"))) {
      o.child = v;
    } else if ((v = value("--port"))) {
      o.port = std::atoi(v);
    } else if ((v = value("--bytes"))) {
      o.push_bytes = std::strtoull(v, nullptr, 10);
    } else if ((v = value("--slow-us"))) {
      o.slow_us = std::atoi(v);
    } else if ((v = value("--tls"))) {
      o.tls = std::atoi(v) != 0;
    } else {
      return false;
    }
  }
  if (o.quick) {
    o.echo_seconds = std::min(o.echo_seconds, 0.3);
    o.warm_seconds = 0.05;
    o.rtt_samples = std::min<size_t>(o.rtt_samples, 200);
    o.push_bytes = 4u << 20;
    if (!idle_given) o.idle_seconds = 1;
  }
  return o.idle_seconds > 0 && o.echo_seconds > 0 && o.rtt_samples >= kRttBlocks &&
         o.bare_window > 0 && o.push_bytes > 0;
}

void progress(const char *what) {
  static const Clock::time_point start = Clock::now();
  std::fprintf(stderr, "# %5.1f s %s\n", seconds_between(start, Clock::now()), what);
}

void settle(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string push_path(uint64_t total, const std::string &kind) {
  std::string p = "/burst/" + std::to_string(total) + "/" + std::to_string(kPushMessage);
  return kind == "binary" ? p : p + "/" + kind;
}

std::string load_average() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

struct Failure {
  std::string what;
};

void must(bool ok, const std::string &what) {
  if (!ok) throw Failure{what};
}

// --child=server: the echo server, until our stdin closes.
int child_server() {
  ywstest::WsServer server;
  std::printf("port=%d\n", server.port());
  std::fflush(stdout);
  char buf[64];
  while (read(0, buf, sizeof(buf)) > 0) {
  }
  return 0;
}

// --child=recv-buffered: the first open fixes the service's system mode for the process, so
// buffered reception gets a process of its own. --child=recv-direct is the same push in direct
// mode, alone in its process: something to profile (perf record) without the other figures.
int child_recv(const Options &o, bool buffered) {
  Service &svc = Service::get();
  svc.profile(0, "ws://127.0.0.1:" + std::to_string(o.port) + push_path(o.push_bytes, o.push));
  svc.slow_callback(o.slow_us);
  ThreadSwitches s0 = thread_switches();
  long w0 = service_task_wakeups();
  ReceiveRate r =
      buffered ? svc.receive_buffered(0, 0, o.push_bytes) : svc.receive_direct(0, 0, o.push_bytes);
  long task_wakeups = service_task_wakeups() - w0;
  Switches sw = switches_between(s0, thread_switches());
  std::printf(
      "bytes=%llu seconds=%.6f notifications=%llu reads=%llu cpu=%.6f wakeups=%ld "
      "complete=%d sw_vol=%ld sw_invol=%ld task_wakeups=%ld\n",
      static_cast<unsigned long long>(r.bytes), r.seconds,
      static_cast<unsigned long long>(r.notifications), static_cast<unsigned long long>(r.reads),
      r.cpu_s, r.wakeups, r.complete ? 1 : 0, sw.voluntary, sw.involuntary, task_wakeups);
  return r.complete ? 0 : 1;
}

// The same work for each stack figure: round trips, a burst of echoes, a pushed stream.
constexpr uint64_t kStackPushBytes = 2u << 20;
constexpr const char *kBareTask = "benchbare";

struct BareStackRun {
  std::string echo, push, ca;
  bool ok = false;
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
};

bool bare_workload(BareStackRun &run) {
  ywstest::BareClient::Options bo;
  bo.keep_messages = false;
  bo.ca_path = run.ca;
  ywstest::BareClient bc;
  if (!bc.connect(run.echo, bo) || !bc.wait_established(std::chrono::seconds(10))) return false;
  bool ok = bare_rtt(bc, 16, 50, 5).size() == 50 && bare_rtt(bc, 2048, 50, 5).size() == 50;
  ok = ok && bare_echo(bc, 2048, 0.02, 0.2, 64 * 1024).complete;
  bc.close();
  bc.wait_finished(std::chrono::seconds(10));
  ywstest::BareClient rx;
  if (!rx.connect(run.push, bo) || !rx.wait_established(std::chrono::seconds(10))) return false;
  ok = ok && rx.run_until([&] { return rx.received_bytes() >= kStackPushBytes; },
                          std::chrono::seconds(20));
  rx.close();
  rx.wait_finished(std::chrono::seconds(10));
  return ok;
}

void bare_task(void *arg) {
  auto *run = static_cast<BareStackRun *>(arg);
  bool ok = bare_workload(*run);
  {
    std::lock_guard<std::mutex> lk(run->m);
    run->ok = ok;
    run->done = true;
  }
  run->cv.notify_all();
}

void floor_task(void *arg) {
  auto *run = static_cast<BareStackRun *>(arg);
  {
    std::lock_guard<std::mutex> lk(run->m);
    run->done = true;
  }
  run->cv.notify_all();
}

// What a task that does nothing shows: the host's share of every mark (glibc's thread block,
// static TLS, the platform's trampoline), which a port's task does not carry.
uint32_t stack_floor() {
  BareStackRun run;
  yv_task_t task = 0;
  must(yv_rtos_task_create(&task, 4096, APP_PRIORITY_NORMAL, "benchfloor", floor_task, &run, 0) ==
           YV_OSI_SUCCESS,
       "floor task");
  std::unique_lock<std::mutex> lk(run.m);
  must(run.cv.wait_for(lk, std::chrono::seconds(10), [&] { return run.done; }), "floor task ran");
  return yv_rtos_test_stack_high_water("benchfloor");
}

// The library's and TLS's share of the service task: a task that only makes and destroys a
// client context as the service's open does (over wss with the context's CA, the machine's
// trust store off).
struct ContextRun {
  std::string ca;
  bool ok = false;
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
};

int ctx_callback(struct lws *, enum lws_callback_reasons, void *, void *, size_t) {
  return 0;
}

void context_task(void *arg) {
  auto *run = static_cast<ContextRun *>(arg);
  static const struct lws_protocols protocols[] = {
      {"yws-bench", ctx_callback, 0, 2048, 0, nullptr, 0}, {nullptr, nullptr, 0, 0, 0, nullptr, 0}};
  lws_context_creation_info info;
  std::memset(&info, 0, sizeof info);
  info.port = CONTEXT_PORT_NO_LISTEN;
  info.protocols = protocols;
  info.gid = -1;
  info.uid = -1;
  info.fd_limit_per_thread = 4;
  if (!run->ca.empty()) {
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | LWS_SERVER_OPTION_DISABLE_OS_CA_CERTS;
    info.client_ssl_ca_filepath = run->ca.c_str();
  }
  struct lws_context *context = lws_create_context(&info);
  bool ok = context != nullptr;
  if (context) lws_context_destroy(context);
  {
    std::lock_guard<std::mutex> lk(run->m);
    run->ok = ok;
    run->done = true;
  }
  run->cv.notify_all();
}

uint32_t stack_context(const std::string &ca) {
  ContextRun run;
  run.ca = ca;
  yv_task_t task = 0;
  must(yv_rtos_task_create(&task, 64 * 1024, APP_PRIORITY_NORMAL, "benchctx", context_task, &run,
                           0) == YV_OSI_SUCCESS,
       "context task");
  std::unique_lock<std::mutex> lk(run.m);
  must(run.cv.wait_for(lk, std::chrono::seconds(10), [&] { return run.done; }) && run.ok,
       "context task made its context");
  return yv_rtos_test_stack_high_water("benchctx");
}

// --child=stacks [--tls=1]: stack high-water of the service task, a loop thread and the bare
// client's thread (a platform task, so its stack is painted too), in a process of its own so
// that each protocol starts from fresh stacks.
int child_stacks(const Options &o) {
  ywstest::WsServer::Options so;
  so.tls = o.tls ? ywstest::WsServer::Tls::kCaSigned : ywstest::WsServer::Tls::kNone;
  ywstest::WsServer server(so);
  constexpr int kCtx = 1;
  const std::string push = push_path(kStackPushBytes, "binary");
  Service &svc = Service::get();
  auto profile = [&](int cfg, const std::string &path) {
    svc.profile(cfg, server.url(path));
    if (o.tls) yv_ws_cfg_set_opt(static_cast<uint8_t>(cfg), YWS_CFG_CONN_SSLCTXID, kCtx);
  };
  if (o.tls) must(yavo_ssl_cfg_set(kCtx, server.ca_path().c_str(), nullptr, nullptr) == 0, "ctx");
  profile(0, "/echo");
  profile(1, push);
  must(svc.open(0, 0) == 0, "open the echo client");
  bool ok = svc.rtt(0, 16, 50, 5).size() == 50 && svc.rtt(0, 2048, 50, 5).size() == 50;
  ok = ok && svc.rtt_from_callback(0, 16, 50, 5).size() == 50;
  ok = ok && svc.echo({0}, 2048, 0.02, 0.2).complete && svc.echo({0}, 64, 0.02, 0.1).complete;
  ok = ok && svc.close(0) == 0;
  ok = ok && svc.receive_direct(1, 1, kStackPushBytes).complete;
  must(ok, "the service's stack workload failed");

  BareStackRun run;
  run.echo = server.url("/echo");
  run.push = server.url(push);
  run.ca = o.tls ? server.ca_path() : "";
  yv_task_t task = 0;
  must(yv_rtos_task_create(&task, 64 * 1024, APP_PRIORITY_NORMAL, kBareTask, bare_task, &run, 0) ==
           YV_OSI_SUCCESS,
       "bare task");
  {
    std::unique_lock<std::mutex> lk(run.m);
    must(run.cv.wait_for(lk, std::chrono::seconds(60), [&] { return run.done; }) && run.ok,
         "the bare client's stack workload failed");
  }
  uint32_t context = stack_context(run.ca);
  std::printf("service=%u loop=%u bare=%u floor=%u context=%u\n",
              yv_rtos_test_stack_high_water("wsclient"), yv_rtos_test_stack_high_water("wsservice"),
              yv_rtos_test_stack_high_water(kBareTask), stack_floor(), context);
  return 0;
}

// Runs first: until now only the service and the library have used the allocator hook.
void measure_memory(const std::string &echo, std::unique_ptr<ywstest::BareClient> &bare,
                    Figures &f) {
  Service &svc = Service::get();
  int threads0 = thread_count();
  size_t heap0 = process_heap_bytes();
  svc.profile(0, echo);
  must(svc.open(0, 0) == 0, "open client 0");
  settle(200);
  f.hook_first = static_cast<double>(yv_mem_bytes_in_use());
  f.heap_first = static_cast<double>(process_heap_bytes() - heap0);
  f.threads_one = thread_count() - threads0;

  svc.profile(1, echo);
  svc.profile(2, echo);
  size_t hook1 = yv_mem_bytes_in_use(), heap1 = process_heap_bytes();
  must(svc.open(1, 1) == 0, "open client 1");
  settle(200);
  f.hook_next = static_cast<double>(yv_mem_bytes_in_use() - hook1);
  f.heap_next = static_cast<double>(process_heap_bytes() - heap1);
  must(svc.open(2, 2) == 0, "open client 2");
  settle(100);
  f.threads_three = thread_count() - threads0;

  int threads_b = thread_count();
  size_t hook_b = yv_mem_bytes_in_use(), heap_b = process_heap_bytes();
  bare = std::make_unique<ywstest::BareClient>();
  ywstest::BareClient::Options bo;
  bo.keep_messages = false;
  must(bare->connect(echo, bo) && bare->wait_established(std::chrono::seconds(10)),
       "bare client connect");
  bare->run_until([] { return false; }, std::chrono::milliseconds(200));
  f.hook_bare = static_cast<double>(yv_mem_bytes_in_use() - hook_b);
  f.heap_bare = static_cast<double>(process_heap_bytes() - heap_b);
  f.threads_bare = thread_count() - threads_b;
}

void add(Switches &into, const Switches &s) {
  into.voluntary += s.voluntary;
  into.involuntary += s.involuntary;
}

void measure_rtt(const Options &o, ywstest::BareClient &bare, Figures &f) {
  Service &svc = Service::get();
  const size_t block = o.rtt_samples / kRttBlocks, warmup = block / 10;
  std::vector<double> wake;
  for (size_t size : {16u, 512u, 2048u}) {
    std::vector<double> s, b;
    long ws = 0, wb = 0, tw = 0;
    Switches ss, sb;
    for (size_t k = 0; k < kRttBlocks; k++) {
      ThreadSwitches t0 = thread_switches();
      long tw0 = service_task_wakeups();
      long w0 = cpu_now().voluntary_switches;
      auto sv = svc.rtt(0, size, block, warmup);
      long w1 = cpu_now().voluntary_switches;
      tw += service_task_wakeups() - tw0;
      ThreadSwitches t1 = thread_switches();
      auto bv = bare_rtt(bare, size, block, warmup);
      long w2 = cpu_now().voluntary_switches;
      ThreadSwitches t2 = thread_switches();
      must(sv.size() == block && bv.size() == block, "round trips timed out");
      s.insert(s.end(), sv.begin(), sv.end());
      b.insert(b.end(), bv.begin(), bv.end());
      ws += w1 - w0;
      wb += w2 - w1;
      add(ss, switches_between(t0, t1));
      add(sb, own_switches_between(t1, t2));
      // Beside each block, so that the machine's state is the round trips' own.
      auto wv = wakeup_one_way_samples(o.quick ? 50 : 100);
      wake.insert(wake.end(), wv.begin(), wv.end());
    }
    double trips = static_cast<double>(kRttBlocks * (block + warmup));
    f.rtt.push_back({size, percentiles(s), percentiles(b), static_cast<double>(ws) / trips,
                     static_cast<double>(wb) / trips});
    Figures::Rtt &r = f.rtt.back();
    r.service_vol = static_cast<double>(ss.voluntary) / trips;
    r.service_invol = static_cast<double>(ss.involuntary) / trips;
    r.bare_vol = static_cast<double>(sb.voluntary) / trips;
    r.bare_invol = static_cast<double>(sb.involuntary) / trips;
    r.task_wakeups = static_cast<double>(tw) / trips;
  }
  f.wakeup_us = percentiles(wake).median;
  auto cb = svc.rtt_from_callback(0, 16, o.rtt_samples, o.rtt_samples / 10);
  must(cb.size() == o.rtt_samples, "callback-driven round trips timed out");
  f.rtt_callback = percentiles(cb);
}

// The service's side is every thread of the process (the caller's included); the bare
// client runs on the calling thread alone.
template <typename Run>
EchoRate with_cpu(Run run, bool bare = false) {
  ThreadSwitches s0 = thread_switches();
  long tw0 = service_task_wakeups();
  CpuSample a = cpu_now();
  EchoRate r = run();
  CpuSample b = cpu_now();
  r.task_wakeups = service_task_wakeups() - tw0;
  ThreadSwitches s1 = thread_switches();
  r.cpu_s = b.cpu_s - a.cpu_s;
  r.wakeups = b.voluntary_switches - a.voluntary_switches;
  r.switches = bare ? own_switches_between(s0, s1) : switches_between(s0, s1);
  return r;
}

void merge(EchoRate &into, const EchoRate &r) {
  into.seconds += r.seconds;
  into.total_bytes += r.total_bytes;
  into.cpu_s += r.cpu_s;
  into.wakeups += r.wakeups;
  add(into.switches, r.switches);
  into.task_wakeups += r.task_wakeups;
  into.bytes += r.bytes;
  into.pieces += r.pieces;
  into.heap_peak_extra = std::max(into.heap_peak_extra, r.heap_peak_extra);
  into.complete = into.complete && r.complete;
}

// --child=echo: the 2048-byte echo of one client alone in its process, to profile.
int child_echo(const Options &o) {
  Service &svc = Service::get();
  svc.profile(0, "ws://127.0.0.1:" + std::to_string(o.port) + "/echo");
  if (svc.open(0, 0) != 0) return 1;
  EchoRate r = with_cpu([&] { return svc.echo({0}, 2048, o.warm_seconds, o.echo_seconds); });
  std::printf("msg_per_s=%.0f cpu_us_per_msg=%.1f wakeups_per_msg=%.2f task_wakeups_per_msg=%.3f\n",
              static_cast<double>(r.bytes) / 2048 / r.seconds,
              r.cpu_s * 1e6 * 2048 / static_cast<double>(r.total_bytes),
              static_cast<double>(r.wakeups) * 2048 / static_cast<double>(r.total_bytes),
              static_cast<double>(r.task_wakeups) * 2048 / static_cast<double>(r.total_bytes));
  svc.close(0);
  return r.complete ? 0 : 1;
}

void measure_echo(const Options &o, const std::string &url, ywstest::BareClient &bare, Figures &f) {
  Service &svc = Service::get();
  double part = o.echo_seconds / kRounds;
  f.bare_window = o.bare_window;
  for (size_t size : {2048u, 64u}) {
    Figures::Echo e{size, {}, {}, {}};
    e.one.complete = e.three.complete = e.bare.complete = true;
    for (int round = 0; round < kRounds; round++) {
      merge(e.one, with_cpu([&] { return svc.echo({0}, size, o.warm_seconds, part); }));
      merge(e.bare,
            with_cpu([&] { return bare_echo(bare, size, o.warm_seconds, part, o.bare_window); },
                     true));
      merge(e.three, with_cpu([&] { return svc.echo({0, 1, 2}, size, o.warm_seconds, part); }));
    }
    must(e.one.complete && e.three.complete && e.bare.complete, "an echo run lost bytes");
    f.echo.push_back(e);
  }
  // Message mode on client 0 beside stream mode on client 1, taking turns.
  must(svc.close(0) == 0 && svc.close(1) == 0, "close clients 0 and 1");
  svc.profile(0, url, true);
  must(svc.open(0, 0) == 0 && svc.open(1, 1) == 0, "open message and stream clients");
  f.echo_msg.complete = f.echo_stream.complete = true;
  for (int round = 0; round < kRounds; round++) {
    merge(f.echo_msg, with_cpu([&] { return svc.echo({0}, 2048, o.warm_seconds, part); }));
    merge(f.echo_stream, with_cpu([&] { return svc.echo({1}, 2048, o.warm_seconds, part); }));
  }
  must(f.echo_msg.complete && f.echo_stream.complete, "a message-mode echo run lost bytes");
  must(svc.close(0) == 0, "close the message client");
  svc.profile(0, url);
  must(svc.open(0, 0) == 0, "reopen client 0");
}

void read_child_costs(const std::string &out, ReceiveRate &r) {
  r.switches.voluntary = std::atol(field(out, "sw_vol").c_str());
  r.switches.involuntary = std::atol(field(out, "sw_invol").c_str());
  r.task_wakeups = std::atol(field(out, "task_wakeups").c_str());
}

void measure_receive(const Options &o, const ServerProcess &server, Figures &f) {
  Service &svc = Service::get();
  const std::string push = server.url(push_path(o.push_bytes, o.push));
  f.push_bytes = o.push_bytes;
  f.push_message = kPushMessage;
  must(svc.close(2) == 0, "close client 2");
  svc.profile(2, push);
  ThreadSwitches s0 = thread_switches();
  long tw0 = service_task_wakeups();
  f.direct = svc.receive_direct(2, 2, o.push_bytes);
  f.direct.task_wakeups = service_task_wakeups() - tw0;
  f.direct.switches = switches_between(s0, thread_switches());
  must(f.direct.complete, "direct-mode push lost bytes");

  progress("receive, buffered mode in a child process");
  std::string out;
  bool ok = run_self({"--child=recv-buffered", "--port=" + std::to_string(server.port()),
                      "--bytes=" + std::to_string(o.push_bytes), "--push=" + o.push},
                     &out);
  must(ok && field(out, "complete") == "1", "buffered child failed: " + out);
  f.buffered.bytes = std::strtoull(field(out, "bytes").c_str(), nullptr, 10);
  f.buffered.seconds = std::atof(field(out, "seconds").c_str());
  f.buffered.reads = std::strtoull(field(out, "reads").c_str(), nullptr, 10);
  f.buffered.notifications = std::strtoull(field(out, "notifications").c_str(), nullptr, 10);
  f.buffered.cpu_s = std::atof(field(out, "cpu").c_str());
  f.buffered.wakeups = std::atol(field(out, "wakeups").c_str());
  f.buffered.complete = true;
  read_child_costs(out, f.buffered);

  progress("receive, bare client");
  s0 = thread_switches();
  f.bare_rx = bare_receive(push, o.push_bytes);
  f.bare_rx.switches = own_switches_between(s0, thread_switches());
  must(f.bare_rx.complete, "bare push lost bytes");

  svc.profile(2, server.url("/echo"));
  must(svc.open(2, 2) == 0, "reopen client 2");
}

// A stream to a callback that is slower than the network: the service task should find more
// than one message waiting each time it wakes.
void measure_slow_receive(const Options &o, const ServerProcess &server, Figures &f) {
  Service &svc = Service::get();
  f.slow.slow_us = kSlowCallbackUs;
  f.slow.bytes = o.quick ? (1u << 20) : (8u << 20);
  const std::string push = server.url(push_path(f.slow.bytes, "binary"));
  must(svc.close(2) == 0, "close client 2");
  svc.profile(2, push);
  svc.slow_callback(kSlowCallbackUs);
  long tw0 = service_task_wakeups();
  f.slow.direct = svc.receive_direct(2, 2, f.slow.bytes);
  f.slow.direct.task_wakeups = service_task_wakeups() - tw0;
  svc.slow_callback(0);
  must(f.slow.direct.complete, "slow direct-mode push lost bytes");

  progress("receive, slow callback, buffered mode in a child process");
  std::string out;
  bool ok = run_self({"--child=recv-buffered", "--port=" + std::to_string(server.port()),
                      "--bytes=" + std::to_string(f.slow.bytes), "--push=binary",
                      "--slow-us=" + std::to_string(kSlowCallbackUs)},
                     &out);
  must(ok && field(out, "complete") == "1", "slow buffered child failed: " + out);
  f.slow.buffered.bytes = std::strtoull(field(out, "bytes").c_str(), nullptr, 10);
  f.slow.buffered.seconds = std::atof(field(out, "seconds").c_str());
  f.slow.buffered.notifications = std::strtoull(field(out, "notifications").c_str(), nullptr, 10);
  f.slow.buffered.complete = true;
  read_child_costs(out, f.slow.buffered);

  svc.profile(2, server.url("/echo"));
  must(svc.open(2, 2) == 0, "reopen client 2");
}

void measure_stacks(Figures &f) {
  f.stack_given_service = yv_rtos_test_stack_given(8192);
  f.stack_given_loop = yv_rtos_test_stack_given(6144);
  for (bool tls : {false, true}) {
    std::string out;
    bool ok = run_self({"--child=stacks", std::string("--tls=") + (tls ? "1" : "0")}, &out);
    must(ok, std::string("stack child failed over ") + (tls ? "wss: " : "ws: ") + out);
    Figures::Stacks &s = tls ? f.stacks_wss : f.stacks_ws;
    s.service = static_cast<uint32_t>(std::atol(field(out, "service").c_str()));
    s.loop = static_cast<uint32_t>(std::atol(field(out, "loop").c_str()));
    s.bare = static_cast<uint32_t>(std::atol(field(out, "bare").c_str()));
    s.floor = static_cast<uint32_t>(std::atol(field(out, "floor").c_str()));
    s.context = static_cast<uint32_t>(std::atol(field(out, "context").c_str()));
    s.measured = true;
  }
}

void measure_idle(const Options &o, Figures &f) {
  settle(300);
  auto w0 = wakeups_by_thread();
  CpuSample c0 = cpu_now();
  std::this_thread::sleep_for(std::chrono::duration<double>(o.idle_seconds));
  CpuSample c1 = cpu_now();
  auto w1 = wakeups_by_thread();
  f.idle_seconds = seconds_between(c0.at, c1.at);
  f.idle_cpu_pct = 100.0 * (c1.cpu_s - c0.cpu_s) / f.idle_seconds;
  f.idle_wakeups =
      static_cast<double>(c1.voluntary_switches - c0.voluntary_switches) / f.idle_seconds;
  for (const auto &kv : w1)
    f.idle_by_thread += " " + kv.first + " " +
                        fmt(static_cast<double>(kv.second - w0[kv.first]) / f.idle_seconds, 1) +
                        "/s;";
  // The platform names the service's threads "ws..." and "yv_..."; ours keep the program's.
  for (const auto &kv : w1)
    if (kv.first.rfind("ws", 0) == 0 || kv.first.rfind("yv_", 0) == 0)
      f.idle_service_wakeups += static_cast<double>(kv.second - w0[kv.first]) / f.idle_seconds;
}

int run(const Options &o) {
  Figures f;
  f.quick = o.quick;
  f.load_before = load_average();
  ServerProcess server;
  must(server.start(), "echo server did not start");
  const std::string echo = server.url("/echo");
  std::unique_ptr<ywstest::BareClient> bare;

  progress("memory");
  measure_memory(echo, bare, f);
  progress("round-trip latency");
  f.handoff_us = handoff_us(o.quick ? 500 : 5000);
  measure_rtt(o, *bare, f);
  progress("echo throughput");
  measure_echo(o, echo, *bare, f);
  progress("receive throughput, direct mode");
  measure_receive(o, server, f);
  progress("receive, slow callback, direct mode");
  measure_slow_receive(o, server, f);
  bare.reset();
  progress("stacks over ws and wss, in child processes");
  measure_stacks(f);
  progress("idle cost");
  measure_idle(o, f);
  f.server_peak_rss_kib = server.peak_rss_kib();
  progress("closing");
  for (int c = 0; c < YWS_CLIENT_NUM; c++) Service::get().close(c);
  report(f);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  // The heap figures include the library's blocks, counted from its first one.
  yv_mem_install_lws_allocator();
  lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
  Options o;
  if (!parse(argc, argv, o)) {
    usage();
    return 2;
  }
  int rc = 2;
  try {
    if (o.child == "server")
      rc = child_server();
    else if (o.child == "recv-buffered" || o.child == "recv-direct")
      rc = child_recv(o, o.child == "recv-buffered");
    else if (o.child == "echo")
      rc = child_echo(o);
    else if (o.child == "stacks")
      rc = child_stacks(o);
    else if (o.child == "deflate-server")
      rc = deflate_child_server(o.bits);
    else if (o.child.empty() && o.deflate)
      rc = deflate_run(o.quick);
    else if (o.child.empty())
      rc = run(o);
  } catch (const Failure &e) {
    std::fprintf(stderr, "yws-bench: %s\n", e.what.c_str());
    rc = 1;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  // The service's tasks are detached by design: leave without running static destructors
  // underneath them.
  _exit(rc);
}
