// yws-bench: the service beside a bare single-thread libwebsockets client, against one loopback
// echo server running in a child process, so that heap and CPU figures are the client's alone.
// Prints a table, then one machine-readable summary line last. Progress goes to stderr.
#include <libwebsockets.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "bare_side.h"
#include "bench_report.h"
#include "bench_util.h"
#include "deflate_side.h"
#include "service_side.h"
#include "ws_test_server.h"
#include "yv_mem_test.h"

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
  bool deflate = false;         // the per-message deflate run instead of the main one
  int bits = 0;                 // --child=deflate-server: its window
};

constexpr size_t kPushMessage = 2048;
// Service and bare take turns, so a change in machine load hits both alike.
constexpr int kRounds = 2;
constexpr size_t kRttBlocks = 10;

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
// buffered reception gets a process of its own.
int child_recv_buffered(const Options &o) {
  Service &svc = Service::get();
  svc.profile(0, "ws://127.0.0.1:" + std::to_string(o.port) + push_path(o.push_bytes, o.push));
  ReceiveRate r = svc.receive_buffered(0, 0, o.push_bytes);
  std::printf(
      "bytes=%llu seconds=%.6f notifications=%llu reads=%llu cpu=%.6f wakeups=%ld "
      "complete=%d\n",
      static_cast<unsigned long long>(r.bytes), r.seconds,
      static_cast<unsigned long long>(r.notifications), static_cast<unsigned long long>(r.reads),
      r.cpu_s, r.wakeups, r.complete ? 1 : 0);
  return r.complete ? 0 : 1;
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

void measure_rtt(const Options &o, ywstest::BareClient &bare, Figures &f) {
  Service &svc = Service::get();
  const size_t block = o.rtt_samples / kRttBlocks, warmup = block / 10;
  for (size_t size : {16u, 512u, 2048u}) {
    std::vector<double> s, b;
    long ws = 0, wb = 0;
    for (size_t k = 0; k < kRttBlocks; k++) {
      long w0 = cpu_now().voluntary_switches;
      auto sv = svc.rtt(0, size, block, warmup);
      long w1 = cpu_now().voluntary_switches;
      auto bv = bare_rtt(bare, size, block, warmup);
      long w2 = cpu_now().voluntary_switches;
      must(sv.size() == block && bv.size() == block, "round trips timed out");
      s.insert(s.end(), sv.begin(), sv.end());
      b.insert(b.end(), bv.begin(), bv.end());
      ws += w1 - w0;
      wb += w2 - w1;
    }
    double trips = static_cast<double>(kRttBlocks * (block + warmup));
    f.rtt.push_back({size, percentiles(s), percentiles(b), static_cast<double>(ws) / trips,
                     static_cast<double>(wb) / trips});
  }
  auto cb = svc.rtt_from_callback(0, 16, o.rtt_samples, o.rtt_samples / 10);
  must(cb.size() == o.rtt_samples, "callback-driven round trips timed out");
  f.rtt_callback = percentiles(cb);
}

template <typename Run>
EchoRate with_cpu(Run run) {
  CpuSample a = cpu_now();
  EchoRate r = run();
  CpuSample b = cpu_now();
  r.cpu_s = b.cpu_s - a.cpu_s;
  r.wakeups = b.voluntary_switches - a.voluntary_switches;
  return r;
}

void merge(EchoRate &into, const EchoRate &r) {
  into.seconds += r.seconds;
  into.total_bytes += r.total_bytes;
  into.cpu_s += r.cpu_s;
  into.wakeups += r.wakeups;
  into.bytes += r.bytes;
  into.pieces += r.pieces;
  into.heap_peak_extra = std::max(into.heap_peak_extra, r.heap_peak_extra);
  into.complete = into.complete && r.complete;
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
            with_cpu([&] { return bare_echo(bare, size, o.warm_seconds, part, o.bare_window); }));
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

void measure_receive(const Options &o, const ServerProcess &server, Figures &f) {
  Service &svc = Service::get();
  const std::string push = server.url(push_path(o.push_bytes, o.push));
  f.push_bytes = o.push_bytes;
  f.push_message = kPushMessage;
  must(svc.close(2) == 0, "close client 2");
  svc.profile(2, push);
  f.direct = svc.receive_direct(2, 2, o.push_bytes);
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

  progress("receive, bare client");
  f.bare_rx = bare_receive(push, o.push_bytes);
  must(f.bare_rx.complete, "bare push lost bytes");

  svc.profile(2, server.url("/echo"));
  must(svc.open(2, 2) == 0, "reopen client 2");
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
  bare.reset();
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
    else if (o.child == "recv-buffered")
      rc = child_recv_buffered(o);
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
