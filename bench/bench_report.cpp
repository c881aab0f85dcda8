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
}

void print_targets(const Figures &f) {
  const Figures::Rtt *w = worst_rtt(f);
  double diff = w ? w->service.median - w->bare.median : NAN;
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
  const Figures::Rtt *r16 = rtt_of(f, 16);
  double cb_diff = r16 ? f.rtt_callback.median - r16->bare.median : NAN;
  std::printf("\ntargets (measured, not asserted):\n");
  std::printf("- echo 2048 B, service/bare >= 0.80: %.2f %s\n", ratio, verdict(ratio >= 0.8));
  std::printf("- RTT median within 100 µs of bare at every size: worst %+.1f µs %s\n", diff,
              verdict(diff <= 100));
  std::printf("- echo 2048 B, 3 clients together/bare >= 0.85: %.2f %s\n", tx3,
              verdict(tx3 >= 0.85));
  std::printf("- receive, direct and buffered/bare >= 0.80: %.2f, %.2f %s\n", rx_direct,
              rx_buffered, verdict(rx_direct >= 0.8 && rx_buffered >= 0.8));
  std::printf("- CPU per 2048 B message <= 1.2 x bare: %.2f %s\n", cpu, verdict(cpu <= 1.2));
  std::printf("- RTT 16 B driven from the callback within 25 µs of bare: %+.1f µs %s\n", cb_diff,
              verdict(cb_diff <= 25));
  std::printf("- one idle client < 64 KiB of heap: %.1f KiB %s\n", f.hook_first / 1024.0,
              verdict(f.hook_first < 64 * 1024));
  std::printf("- 3 idle clients < 1%% of one core: %.3f%% %s\n", f.idle_cpu_pct,
              verdict(f.idle_cpu_pct < 1));
  std::printf(
      "summary: throughput_ratio_2048=%.3f rtt_median_us_service=%.1f "
      "rtt_median_us_bare=%.1f idle_client_heap_kib=%.1f idle_cpu_pct=%.3f "
      "tx_ratio_3clients=%.3f rx_ratio_direct=%.3f rx_ratio_buffered=%.3f "
      "cpu_per_msg_ratio=%.3f rtt_median_us_callback=%.1f msg_mode_throughput_ratio=%.3f "
      "msg_mode_cpu_ratio=%.3f\n",
      ratio, w ? w->service.median : NAN, w ? w->bare.median : NAN, f.hook_first / 1024.0,
      f.idle_cpu_pct, tx3, rx_direct, rx_buffered, cpu, f.rtt_callback.median, msg_tput, msg_cpu);
}

}  // namespace

void report(const Figures &f) {
  Table t;
  add_rtt(f, t);
  add_echo(f, t);
  add_receive(f, t);
  add_memory(f, t);
  add_idle(f, t);
  std::printf("\n");
  t.print();
  print_notes(f);
  print_targets(f);
  std::fflush(stdout);
}

}  // namespace bench
