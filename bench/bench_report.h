// What one yws-bench run measured, and how it is printed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "bench_util.h"
#include "service_side.h"

namespace bench {

struct Figures {
  bool quick = false;
  std::string load_before;
  double handoff_us = 0;

  // Allocator hook (service + library) and whole C heap, in bytes; threads added.
  double hook_first = 0, hook_next = 0, hook_bare = 0;
  double heap_first = 0, heap_next = 0, heap_bare = 0;
  int threads_one = 0, threads_three = 0, threads_bare = 0;

  struct Rtt {
    size_t size;
    Percentiles service, bare;
    double service_wakeups, bare_wakeups;  // per round trip, whole process
    // Per round trip: the side's threads' context switches, the service task's wake-ups.
    double service_vol = 0, service_invol = 0, bare_vol = 0, bare_invol = 0;
    double task_wakeups = 0;
  };
  std::vector<Rtt> rtt;
  // 16 B round trips whose next write is made inside the RECV notification.
  Percentiles rtt_callback;

  struct Echo {
    size_t size;
    EchoRate one, three, bare;
  };
  std::vector<Echo> echo;
  // 2048-byte echo, 1 client, in message mode both ways ("write/message",
  // "read/message" 2048), beside the stream-mode runs of the same rounds.
  EchoRate echo_msg, echo_stream;
  size_t bare_window = 0;

  uint64_t push_bytes = 0;
  size_t push_message = 0;
  ReceiveRate direct, buffered, bare_rx;

  double idle_seconds = 0, idle_cpu_pct = 0, idle_wakeups = 0;
  std::string idle_by_thread;
  double idle_service_wakeups = 0;  // per second, the service's own threads
  long server_peak_rss_kib = 0;

  // Median one-way wake-up of a sleeping thread, measured between the round-trip blocks.
  double wakeup_us = 0;

  // Receive with a callback that spends `slow_us` on each notification.
  struct SlowRx {
    int slow_us = 0;
    uint64_t bytes = 0;
    ReceiveRate direct, buffered;
  } slow;

  // Stack high-water in bytes, each protocol in a process of its own.
  struct Stacks {
    bool measured = false;
    uint32_t service = 0, loop = 0, bare = 0;
    uint32_t floor = 0;    // a task that does nothing: the host's own share of each mark
    uint32_t context = 0;  // a task that only makes and destroys a context as an open does
  } stacks_ws, stacks_wss;
  uint32_t stack_given_service = 0, stack_given_loop = 0;
};

// The table, the notes, the targets, and the summary as the very last line.
void report(const Figures &f);

}  // namespace bench
