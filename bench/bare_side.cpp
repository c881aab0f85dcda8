#include "bare_side.h"

#include <algorithm>
#include <chrono>

#include "bench_util.h"
#include "yv_mem_test.h"

namespace bench {

namespace {
constexpr std::chrono::seconds kWait{10};
}

std::vector<double> bare_rtt(ywstest::BareClient &bc, size_t size, size_t samples, size_t warmup) {
  std::string msg(size, 'r');
  std::vector<double> out;
  out.reserve(samples);
  for (size_t i = 0; i < warmup + samples; i++) {
    size_t want = bc.received_count() + 1;
    auto t0 = Clock::now();
    bc.send_binary(msg);
    if (!bc.wait_messages(want, kWait)) break;
    auto t1 = Clock::now();
    if (i >= warmup) out.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  return out;
}

EchoRate bare_echo(ywstest::BareClient &bc, size_t size, double warm, double seconds,
                   size_t window_bytes) {
  std::string msg(size, 'e');
  const size_t window = std::max<size_t>(1, window_bytes / size);
  const size_t base = bc.received_count();
  size_t sent = 0;
  yv_mem_reset_peak();
  size_t heap_base = yv_mem_bytes_in_use();
  auto t_begin = Clock::now();
  auto wstart =
      t_begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warm));
  auto end =
      wstart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  bool in_window = false;
  uint64_t bytes0 = 0, count0 = 0;
  Clock::time_point t0;
  // The predicate runs between loop passes on this thread: it tops the window up.
  bc.run_until(
      [&] {
        auto now = Clock::now();
        if (!in_window && now >= wstart) {
          bytes0 = bc.received_bytes();
          count0 = bc.received_count();
          t0 = now;
          in_window = true;
        }
        if (now >= end) return true;
        while (sent - (bc.received_count() - base) < window) {
          bc.send_binary(msg);
          sent++;
        }
        return false;
      },
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::duration<double>(warm + seconds + 5)));
  EchoRate r;
  r.seconds = seconds_between(t0, Clock::now());
  r.bytes = bc.received_bytes() - bytes0;
  r.pieces = bc.received_count() - count0;
  r.complete = bc.wait_messages(base + sent, kWait) && bc.received_count() == base + sent;
  r.heap_peak_extra = yv_mem_peak_bytes() - heap_base;
  r.total_bytes = sent * size;
  return r;
}

ReceiveRate bare_receive(const std::string &url, uint64_t total) {
  ReceiveRate r;
  ywstest::BareClient bc;
  ywstest::BareClient::Options o;
  o.keep_messages = false;
  if (!bc.connect(url, o) || !bc.wait_established(kWait)) return r;
  CpuSample c0 = cpu_now();
  r.complete = bc.run_until([&] { return bc.received_bytes() >= total; }, std::chrono::seconds(60));
  since(c0, &r.seconds, &r.cpu_s, &r.wakeups);
  r.bytes = bc.received_bytes();
  r.notifications = bc.received_count();
  bc.close();
  bc.wait_finished(kWait);
  return r;
}

}  // namespace bench
