#include "bench_report.h"

#include <cmath>
#include <cstdio>

namespace bench {

namespace {

double mb(double bytes) {
  return bytes / 1e6;
}

double in_kib(size_t bytes) {
  return static_cast<double>(bytes) / 1024.0;
}

double msgs(const EchoRate &r, size_t size) {
  return r.bytes_per_s() / static_cast<double>(size);
}

// Counts near zero on the bare side make a ratio meaningless.
void count_row(Table &t, const std::string &name, double service, double bare) {
  t.row(name, fmt(service, 2), fmt(bare, 2), "-");
}

const char *verdict(bool ok) {
  return ok ? "met" : "NOT met";
}

// The size whose median is furthest above the bare client's: the one the RTT target is about.
const Figures::Rtt *worst_rtt(const Figures &f) {
  const Figures::Rtt *w = nullptr;
  for (const auto &r : f.rtt)
    if (!w || r.service.median - r.bare.median > w->service.median - w->bare.median) w = &r;
  return w;
}

const Figures::Rtt *rtt_of(const Figures &f, size_t size) {
  for (const auto &r : f.rtt)
    if (r.size == size) return &r;
  return nullptr;
}

double echo_ratio(const Figures &f, size_t size) {
  for (const auto &e : f.echo)
    if (e.size == size) return e.one.bytes_per_s() / e.bare.bytes_per_s();
  return NAN;
}

void add_rtt(const Figures &f, Table &t) {
  t.heading("round trip, one message at a time (µs)");
  for (const auto &r : f.rtt) {
    std::string sz = std::to_string(r.size) + " B";
    t.row("RTT " + sz + " median", r.service.median, r.bare.median, 1);
    t.row("RTT " + sz + " p99", r.service.p99, r.bare.p99, 1);
    count_row(t, "RTT " + sz + " thread wake-ups per round trip", r.service_wakeups,
              r.bare_wakeups);
  }
  // The bare client always writes from its own callback: its 16 B figure is the reference.
  if (const Figures::Rtt *r16 = rtt_of(f, 16)) {
    t.row("RTT 16 B median, next write from the RECV callback", f.rtt_callback.median,
          r16->bare.median, 1);
    t.row("RTT 16 B p99, next write from the RECV callback", f.rtt_callback.p99, r16->bare.p99, 1);
  }
}

void add_echo(const Figures &f, Table &t) {
  t.heading("echo throughput, transmit buffer kept full");
  for (const auto &e : f.echo) {
    std::string sz = std::to_string(e.size) + " B";
    t.row(sz + " writes, 1 client: msg/s", msgs(e.one, e.size), msgs(e.bare, e.size), 0);
    t.row(sz + " writes, 1 client: MB/s", mb(e.one.bytes_per_s()), mb(e.bare.bytes_per_s()), 2);
    t.row(sz + " writes, 3 clients (sum): msg/s", msgs(e.three, e.size), msgs(e.bare, e.size), 0);
    t.row(sz + " writes, 3 clients (sum): MB/s", mb(e.three.bytes_per_s()),
          mb(e.bare.bytes_per_s()), 2);
    auto per_msg = [&](const EchoRate &r, auto v) {
      return static_cast<double>(v) * static_cast<double>(e.size) /
             static_cast<double>(r.total_bytes);
    };
    t.row(sz + ", process CPU per message, 1 client (µs)", per_msg(e.one, e.one.cpu_s * 1e6),
          per_msg(e.bare, e.bare.cpu_s * 1e6), 1);
    count_row(t, sz + ", thread wake-ups per message, 1 client", per_msg(e.one, e.one.wakeups),
              per_msg(e.bare, e.bare.wakeups));
    t.row(sz + ", peak heap above idle, 1 client (KiB)", in_kib(e.one.heap_peak_extra),
          in_kib(e.bare.heap_peak_extra), 1);
    t.row(sz + ", peak heap above idle, 3 clients (KiB)", in_kib(e.three.heap_peak_extra),
          in_kib(e.bare.heap_peak_extra), 1);
  }
  if (f.echo_msg.total_bytes && f.echo_stream.total_bytes) {
    auto per_msg = [](const EchoRate &r) {
      return r.cpu_s * 1e6 * 2048.0 / static_cast<double>(r.total_bytes);
    };
    t.heading("echo 2048 B, 1 client: message mode (service) / stream mode (bare column)");
    t.row("message mode vs stream mode: msg/s", msgs(f.echo_msg, 2048), msgs(f.echo_stream, 2048),
          0);
    t.row("message mode vs stream mode: CPU per message (µs)", per_msg(f.echo_msg),
          per_msg(f.echo_stream), 1);
  }
}

void add_receive(const Figures &f, Table &t) {
  t.heading("receive throughput, server pushes " + std::to_string(f.push_bytes >> 20) + " MiB in " +
            std::to_string(f.push_message) + "-byte messages");
  double bare = mb(f.bare_rx.bytes_per_s());
  t.row("buffered mode, caller reads: MB/s", mb(f.buffered.bytes_per_s()), bare, 1);
  t.row("direct mode, notifications: MB/s", mb(f.direct.bytes_per_s()), bare, 1);
  auto per_msg = [&](const ReceiveRate &r, auto v) {
    return static_cast<double>(v) * static_cast<double>(f.push_message) /
           static_cast<double>(r.bytes);
  };
  t.row("buffered: process CPU per message (µs)", per_msg(f.buffered, f.buffered.cpu_s * 1e6),
        per_msg(f.bare_rx, f.bare_rx.cpu_s * 1e6), 1);
  count_row(t, "buffered: thread wake-ups per message", per_msg(f.buffered, f.buffered.wakeups),
            per_msg(f.bare_rx, f.bare_rx.wakeups));
  t.row("direct: process CPU per message (µs)", per_msg(f.direct, f.direct.cpu_s * 1e6),
        per_msg(f.bare_rx, f.bare_rx.cpu_s * 1e6), 1);
  count_row(t, "direct: thread wake-ups per message", per_msg(f.direct, f.direct.wakeups),
            per_msg(f.bare_rx, f.bare_rx.wakeups));
}

const Figures::Echo *echo_of(const Figures &f, size_t size) {
  for (const auto &e : f.echo)
    if (e.size == size) return &e;
  return nullptr;
}

// Per message of an echo run: counts over the whole run, warm-up and drain included.
double per_echo(const EchoRate &r, size_t size, double count) {
  return r.total_bytes ? count * static_cast<double>(size) / static_cast<double>(r.total_bytes)
                       : NAN;
}

double per_rx(const ReceiveRate &r, size_t message, double count) {
  return r.bytes ? count * static_cast<double>(message) / static_cast<double>(r.bytes) : NAN;
}

void add_costs(const Figures &f, Table &t) {
  t.heading("context switches of each side's threads (voluntary / involuntary)");
  auto both = [](double v, double i) { return fmt(v, 2) + " / " + fmt(i, 2); };
  for (const auto &r : f.rtt)
    t.row("RTT " + std::to_string(r.size) + " B, per round trip",
          both(r.service_vol, r.service_invol), both(r.bare_vol, r.bare_invol),
          fmt((r.service_vol + r.service_invol) / (r.bare_vol + r.bare_invol), 2));
  for (const auto &e : f.echo) {
    auto v = [&](const EchoRate &r, long n) { return per_echo(r, e.size, static_cast<double>(n)); };
    double s = v(e.one, e.one.switches.total()), b = v(e.bare, e.bare.switches.total());
    t.row("echo " + std::to_string(e.size) + " B, 1 client, per message",
          both(v(e.one, e.one.switches.voluntary), v(e.one, e.one.switches.involuntary)),
          both(v(e.bare, e.bare.switches.voluntary), v(e.bare, e.bare.switches.involuntary)),
          fmt(s / b, 2));
  }
  auto rx = [&](const ReceiveRate &r) {
    return both(per_rx(r, f.push_message, static_cast<double>(r.switches.voluntary)),
                per_rx(r, f.push_message, static_cast<double>(r.switches.involuntary)));
  };
  t.row("receive direct, per message", rx(f.direct), rx(f.bare_rx), "-");
  t.row("receive buffered, per message", rx(f.buffered), rx(f.bare_rx), "-");
  t.heading("service-task wake-ups (its waits that found the queue empty)");
  for (const auto &r : f.rtt)
    t.row("RTT " + std::to_string(r.size) + " B, per round trip", fmt(r.task_wakeups, 2), "-", "-");
  for (const auto &e : f.echo)
    t.row("echo " + std::to_string(e.size) + " B, 1 client, per message",
          fmt(per_echo(e.one, e.size, static_cast<double>(e.one.task_wakeups)), 2), "-", "-");
  t.row("receive direct, per message",
        fmt(per_rx(f.direct, f.push_message, static_cast<double>(f.direct.task_wakeups)), 3), "-",
        "-");
  t.row("receive buffered, per message",
        fmt(per_rx(f.buffered, f.push_message, static_cast<double>(f.buffered.task_wakeups)), 3),
        "-", "-");
}

void add_slow(const Figures &f, Table &t) {
  if (!f.slow.bytes) return;
  t.heading("receive, " + std::to_string(f.slow.bytes >> 20) + " MiB in " +
            std::to_string(f.push_message) + "-byte messages, each notification takes " +
            std::to_string(f.slow.slow_us) + " µs");
  for (const ReceiveRate *r : {&f.slow.direct, &f.slow.buffered}) {
    std::string mode = r == &f.slow.direct ? "direct" : "buffered";
    t.row(mode + ": MB/s", fmt(mb(r->bytes_per_s()), 1), "-", "-");
    t.row(mode + ": service-task wake-ups per message",
          fmt(per_rx(*r, f.push_message, static_cast<double>(r->task_wakeups)), 3), "-", "-");
    t.row(mode + ": notifications per message",
          fmt(per_rx(*r, f.push_message, static_cast<double>(r->notifications)), 3), "-", "-");
  }
}

void add_stacks(const Figures &f, Table &t) {
  t.heading("stack high-water, painted task stacks (KiB; bare = its client's thread)");
  for (const Figures::Stacks *s : {&f.stacks_ws, &f.stacks_wss}) {
    if (!s->measured) continue;
    std::string proto = s == &f.stacks_ws ? "ws" : "wss";
    auto net = [&](uint32_t v) { return static_cast<double>(v > s->floor ? v - s->floor : 0); };
    t.row("loop thread over " + proto, kib(s->loop), kib(s->bare),
          fmt(static_cast<double>(s->loop) / s->bare, 2));
    t.row("loop thread over " + proto + ", above the host floor", kib(net(s->loop)),
          kib(net(s->bare)), fmt(net(s->loop) / net(s->bare), 2));
    t.row("service task over " + proto, kib(s->service), "-", "-");
    t.row("service task over " + proto + ", above the host floor", kib(net(s->service)), "-", "-");
    t.row("  of it, making the library's context alone (" + proto + "), above the floor",
          kib(net(s->context)), "-", "-");
    t.row("host floor: a task that does nothing", kib(s->floor), "-", "-");
  }
  t.row("memory per client, all in: heap of a further idle client + loop stack, ws",
        kib(f.hook_next + f.stacks_ws.loop), "-", "-");
}

void add_memory(const Figures &f, Table &t) {
  t.heading("memory and threads");
  auto heap = [&](const std::string &name, double service, double bare) {
    t.row(name, kib(service), kib(bare), fmt(service / bare, 2));
  };
  heap("heap, first idle client incl. service start (KiB)", f.hook_first, f.hook_bare);
  heap("heap, each further idle client (KiB)", f.hook_next, f.hook_bare);
  heap("process heap (mallinfo2), first client (KiB)", f.heap_first, f.heap_bare);
  heap("process heap (mallinfo2), further client (KiB)", f.heap_next, f.heap_bare);
  t.row("threads added, 1 client", std::to_string(f.threads_one), std::to_string(f.threads_bare),
        "-");
  t.row("threads added, 3 clients", std::to_string(f.threads_three), std::to_string(f.threads_bare),
        "-");
}

void add_idle(const Figures &f, Table &t) {
  t.heading("idle, 3 connected clients, no pings, " + fmt(f.idle_seconds, 1) + " s");
  t.row("CPU (% of one core)", fmt(f.idle_cpu_pct, 3), "-", "-");
  t.row("wake-ups per second, whole process", fmt(f.idle_wakeups, 1), "-", "-");
}

void print_notes(const Figures &f) {
  std::printf("\nnotes:\n");
  std::printf("- load average before the run: %s%s\n", f.load_before.c_str(),
              f.quick ? " (--quick: short samples, noisy)" : "");
  std::printf(
      "- one thread hand-off (mutex + condition variable) on this machine before the "
      "round trips: %.1f µs\n",
      f.handoff_us);
  std::printf(
      "- ratio = service / bare; bare = one single-thread lws client, also in the 3-client "
      "rows\n");
  std::printf("- RTT median, service minus bare:");
  for (const auto &r : f.rtt)
    std::printf(" %zu B %+.1f µs;", r.size, r.service.median - r.bare.median);
  std::printf(" the summary quotes the worst size\n");
  std::printf("- echo bytes per delivery:");
  for (const auto &e : f.echo)
    std::printf(" %zu B writes: service %.0f per notification, bare %.0f per message;", e.size,
                static_cast<double>(e.one.bytes) / static_cast<double>(e.one.pieces),
                static_cast<double>(e.bare.bytes) / static_cast<double>(e.bare.pieces));
  std::printf(
      " the service sends queued writes as messages of up to 2048 bytes, so its 64 B "
      "msg/s counts writes, not frames\n");
  std::printf(
      "- bare echo keeps %zu bytes in flight; the service uses the profile's default "
      "transmit limit\n",
      f.bare_window);
  std::printf(
      "- receive deliveries: direct %llu notifications; buffered %llu reads, %llu "
      "notifications; bare %llu messages\n",
      static_cast<unsigned long long>(f.direct.notifications),
      static_cast<unsigned long long>(f.buffered.reads),
      static_cast<unsigned long long>(f.buffered.notifications),
      static_cast<unsigned long long>(f.bare_rx.notifications));
  std::printf(
      "- heap: allocator hook = blocks of the service and libwebsockets; mallinfo2 = the "
      "whole C heap of this process (the echo server is another process)\n");
  std::printf("- idle wake-ups per thread:%s\n", f.idle_by_thread.c_str());
  std::printf("- echo server peak RSS %ld KiB\n", f.server_peak_rss_kib);
  std::printf(
      "- one-way wake-up of a sleeping thread (condition-variable ping-pong between the "
      "round-trip blocks, median): %.1f µs\n",
      f.wakeup_us);
  std::printf(
      "- context switches: service = every thread of this process while the service runs (the "
      "caller's included), bare = the calling thread it runs on; per message over the whole "
      "run\n");
  std::printf(
      "- stacks: each protocol in a child process of its own, the same work on each side "
      "(round trips, echo bursts, a %s stream); the marks include glibc's thread block and "
      "static TLS at the top of the stack; the host gives %u bytes where the service asks "
      "6144 (loop) and 8192 (service task)\n",
      "2 MiB", f.stack_given_loop);
}

struct CostFigures {
  double rtt16_extra = NAN, cb_extra = NAN;  // median above bare, µs
  double stream_wakeups = NAN, slow_direct = NAN, slow_buffered = NAN;
  double cs_service = NAN, cs_bare = NAN, cs_ratio = NAN;  // per 2048 B echo message
  double cs_rtt_service = NAN, cs_rtt_bare = NAN;          // per 16 B round trip
  double task_wakeups_echo = NAN, task_wakeups_rtt = NAN;
  double slow_mbps_direct = NAN, slow_mbps_buffered = NAN;
};

CostFigures cost_figures(const Figures &f) {
  CostFigures c;
  if (const Figures::Rtt *r16 = rtt_of(f, 16)) {
    c.rtt16_extra = r16->service.median - r16->bare.median;
    c.cb_extra = f.rtt_callback.median - r16->bare.median;
    c.cs_rtt_service = r16->service_vol + r16->service_invol;
    c.cs_rtt_bare = r16->bare_vol + r16->bare_invol;
    c.task_wakeups_rtt = r16->task_wakeups;
  }
  if (const Figures::Echo *e = echo_of(f, 2048)) {
    c.cs_service = per_echo(e->one, 2048, static_cast<double>(e->one.switches.total()));
    c.cs_bare = per_echo(e->bare, 2048, static_cast<double>(e->bare.switches.total()));
    c.cs_ratio = c.cs_service / c.cs_bare;
    c.task_wakeups_echo = per_echo(e->one, 2048, static_cast<double>(e->one.task_wakeups));
  }
  c.stream_wakeups = per_rx(f.direct, f.push_message, static_cast<double>(f.direct.task_wakeups));
  c.slow_direct =
      per_rx(f.slow.direct, f.push_message, static_cast<double>(f.slow.direct.task_wakeups));
  c.slow_buffered =
      per_rx(f.slow.buffered, f.push_message, static_cast<double>(f.slow.buffered.task_wakeups));
  c.slow_mbps_direct = mb(f.slow.direct.bytes_per_s());
  c.slow_mbps_buffered = mb(f.slow.buffered.bytes_per_s());
  return c;
}

void print_cost_targets(const Figures &f) {
  CostFigures c = cost_figures(f);
  std::printf("- RTT 16 B <= bare + 3 one-way wake-ups (3 x %.1f µs): %+.1f µs %s\n", f.wakeup_us,
              c.rtt16_extra, verdict(c.rtt16_extra <= 3 * f.wakeup_us));
  std::printf(
      "- RTT 16 B, next write from the RECV callback, <= bare + 2 wake-ups (%.1f µs): %+.1f µs "
      "%s\n",
      2 * f.wakeup_us, c.cb_extra, verdict(c.cb_extra <= 2 * f.wakeup_us));
  std::printf("- service-task wake-ups per received message in a stream <= 0.25: %.3f %s\n",
              c.stream_wakeups, verdict(c.stream_wakeups <= 0.25));
  std::printf("- the same with a %d µs callback, direct and buffered, < 0.25: %.3f, %.3f %s\n",
              f.slow.slow_us, c.slow_direct, c.slow_buffered,
              verdict(c.slow_direct < 0.25 && c.slow_buffered < 0.25));
  std::printf("- context switches per 2048 B echo message <= 1.5 x bare: %.2f / %.2f = %.2f %s\n",
              c.cs_service, c.cs_bare, c.cs_ratio, verdict(c.cs_ratio <= 1.5));
}

void print_stack_targets(const Figures &f) {
  const Figures::Stacks &ws = f.stacks_ws, &wss = f.stacks_wss;
  double loop_ratio = static_cast<double>(ws.loop) / ws.bare;
  std::printf(
      "- loop thread stack high-water over ws <= 1.25 x bare thread's: %.1f / %.1f KiB = "
      "%.2f %s\n",
      ws.loop / 1024.0, ws.bare / 1024.0, loop_ratio, verdict(loop_ratio <= 1.25));
  std::printf("- service task stack high-water over ws <= 8 KiB: %.1f KiB %s\n",
              ws.service / 1024.0, verdict(ws.service <= 8 * 1024));
  std::printf(
      "- over wss (stated, no target): loop thread %.1f KiB, bare thread %.1f KiB, service "
      "task %.1f KiB\n",
      wss.loop / 1024.0, wss.bare / 1024.0, wss.service / 1024.0);
}

// Fields appended to the summary line, after the older ones.
void print_cost_summary(const Figures &f) {
  CostFigures c = cost_figures(f);
  const Figures::Rtt *r16 = rtt_of(f, 16);
  std::printf(
      " wakeup_one_way_us=%.1f rtt16_median_us_service=%.1f rtt16_median_us_bare=%.1f "
      "cs_per_echo_service=%.2f cs_per_echo_bare=%.2f cs_per_echo_ratio=%.3f "
      "cs_per_rtt_service=%.2f cs_per_rtt_bare=%.2f task_wakeups_per_echo=%.3f "
      "task_wakeups_per_rtt=%.2f task_wakeups_per_rx_msg=%.3f slow_rx_wakeups_direct=%.3f "
      "slow_rx_wakeups_buffered=%.3f slow_rx_mbps_direct=%.1f slow_rx_mbps_buffered=%.1f "
      "stack_service_ws=%u stack_loop_ws=%u stack_bare_ws=%u stack_service_wss=%u "
      "stack_loop_wss=%u stack_bare_wss=%u client_all_in_kib=%.1f idle_service_wakeups_per_s=%.2f "
      "stack_floor=%u stack_context_ws=%u stack_context_wss=%u",
      f.wakeup_us, r16 ? r16->service.median : NAN, r16 ? r16->bare.median : NAN, c.cs_service,
      c.cs_bare, c.cs_ratio, c.cs_rtt_service, c.cs_rtt_bare, c.task_wakeups_echo,
      c.task_wakeups_rtt, c.stream_wakeups, c.slow_direct, c.slow_buffered, c.slow_mbps_direct,
      c.slow_mbps_buffered, f.stacks_ws.service, f.stacks_ws.loop, f.stacks_ws.bare,
      f.stacks_wss.service, f.stacks_wss.loop, f.stacks_wss.bare,
      (f.hook_next + f.stacks_ws.loop) / 1024.0, f.idle_service_wakeups, f.stacks_ws.floor,
      f.stacks_ws.context, f.stacks_wss.context);
}

void print_targets(const Figures &f) {
  const Figures::Rtt *w = worst_rtt(f);
  double ratio = echo_ratio(f, 2048);
  double tx3 = NAN, cpu = NAN;
  for (const auto &e : f.echo) {
    if (e.size != 2048) continue;
    tx3 = e.three.bytes_per_s() / e.bare.bytes_per_s();
    double per_one = e.one.cpu_s / static_cast<double>(e.one.total_bytes);
    double per_bare = e.bare.cpu_s / static_cast<double>(e.bare.total_bytes);
    cpu = per_one / per_bare;
  }
  /* Message mode against stream mode, both the service's, in the same rounds. */
  double msg_tput = f.echo_msg.bytes_per_s() / f.echo_stream.bytes_per_s();
  double msg_cpu = (f.echo_msg.cpu_s / static_cast<double>(f.echo_msg.total_bytes)) /
                   (f.echo_stream.cpu_s / static_cast<double>(f.echo_stream.total_bytes));
  double rx_bare = f.bare_rx.bytes_per_s();
  double rx_direct = f.direct.bytes_per_s() / rx_bare;
  double rx_buffered = f.buffered.bytes_per_s() / rx_bare;
  std::printf("\ntargets (measured, not asserted):\n");
  std::printf("- CPU per 2048 B echo message <= 1.3 x bare: %.2f %s\n", cpu, verdict(cpu <= 1.3));
  std::printf("- echo 2048 B, service/bare >= 0.85: %.2f %s\n", ratio, verdict(ratio >= 0.85));
  std::printf("- echo 2048 B, 3 clients together/one bare >= 1.3: %.2f %s\n", tx3,
              verdict(tx3 >= 1.3));
  std::printf("- receive, direct and buffered/bare >= 0.9: %.2f, %.2f %s\n", rx_direct, rx_buffered,
              verdict(rx_direct >= 0.9 && rx_buffered >= 0.9));
  print_cost_targets(f);
  std::printf("- one idle client < 32 KiB of heap: %.1f KiB %s\n", f.hook_first / 1024.0,
              verdict(f.hook_first < 32 * 1024));
  std::printf("- 3 idle clients < 1%% of one core: %.3f%% %s\n", f.idle_cpu_pct,
              verdict(f.idle_cpu_pct < 1));
  std::printf("- 3 idle clients wake none of the service's threads: %.1f per second %s\n",
              f.idle_service_wakeups, verdict(f.idle_service_wakeups < 0.05));
  print_stack_targets(f);
  std::printf(
      "summary: throughput_ratio_2048=%.3f rtt_median_us_service=%.1f "
      "rtt_median_us_bare=%.1f idle_client_heap_kib=%.1f idle_cpu_pct=%.3f "
      "tx_ratio_3clients=%.3f rx_ratio_direct=%.3f rx_ratio_buffered=%.3f "
      "cpu_per_msg_ratio=%.3f rtt_median_us_callback=%.1f msg_mode_throughput_ratio=%.3f "
      "msg_mode_cpu_ratio=%.3f",
      ratio, w ? w->service.median : NAN, w ? w->bare.median : NAN, f.hook_first / 1024.0,
      f.idle_cpu_pct, tx3, rx_direct, rx_buffered, cpu, f.rtt_callback.median, msg_tput, msg_cpu);
  print_cost_summary(f);
  std::printf("\n");
}

}  // namespace

void report(const Figures &f) {
  Table t;
  add_rtt(f, t);
  add_echo(f, t);
  add_receive(f, t);
  add_memory(f, t);
  add_idle(f, t);
  add_costs(f, t);
  add_slow(f, t);
  add_stacks(f, t);
  std::printf("\n");
  t.print();
  print_notes(f);
  print_targets(f);
  std::fflush(stdout);
}

}  // namespace bench
