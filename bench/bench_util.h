// Measurement plumbing of yws-bench: statistics, child processes, process resources, the table.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

struct Percentiles {
  double median = 0;
  double p99 = 0;
};
Percentiles percentiles(std::vector<double> v);

// Path of the running executable, for re-running it as a child.
std::string self_path();

// A child running `self --child=server` (or the given arguments): the echo server lives outside
// this process so that heap and CPU figures are the client's alone. It exits when we close its
// stdin.
class ServerProcess {
 public:
  ~ServerProcess() { stop(); }
  bool start(const std::vector<std::string> &args = {"--child=server"});
  void stop();
  int port() const { return port_; }
  std::string url(const std::string &path) const;
  long peak_rss_kib() const;  // VmHWM of the server

 private:
  pid_t pid_ = -1;
  int ctl_fd_ = -1;
  int port_ = 0;
};

// Runs `self args...` to completion and returns its standard output; false if it failed.
bool run_self(const std::vector<std::string> &args, std::string *out);
// Value of `key=` in a line of `key=value` words; empty if absent.
std::string field(const std::string &text, const std::string &key);

struct CpuSample {
  double cpu_s = 0;  // user + system of the whole process
  long voluntary_switches = 0;
  Clock::time_point at;
};
CpuSample cpu_now();
// Seconds, CPU seconds and wake-ups since `start`.
void since(const CpuSample &start, double *seconds, double *cpu_s, long *wakeups);
// Voluntary context switches (wake-ups after blocking) per thread name.
std::map<std::string, long> wakeups_by_thread();
int thread_count();
// Microseconds one thread takes to wake another through a mutex and condition variable, as
// the service's tasks do; on a VM it depends on whether the other vCPU sleeps.
double handoff_us(int rounds);
// One-way wake-ups of a sleeping thread, in microseconds: two threads ping-pong through a
// mutex and condition variable and each times the wake-up the other sent.
std::vector<double> wakeup_one_way_samples(int rounds);

// Context switches from the threads' own counters (/proc/self/task/<tid>/status).
struct Switches {
  long voluntary = 0;
  long involuntary = 0;
  long total() const { return voluntary + involuntary; }
};
using ThreadSwitches = std::map<int, Switches>;  // by thread id
ThreadSwitches thread_switches();
// What the threads did between two snapshots: all of them, or the calling thread only (a
// thread started in between counts from zero; one that ended is lost).
Switches switches_between(const ThreadSwitches &a, const ThreadSwitches &b);
Switches own_switches_between(const ThreadSwitches &a, const ThreadSwitches &b);

// Bytes the C heap has handed out (all arenas, mmap'd blocks included).
size_t process_heap_bytes();

std::string fmt(double v, int decimals);
std::string kib(double bytes);

class Table {
 public:
  void heading(const std::string &title);
  void row(const std::string &figure, const std::string &service, const std::string &bare,
           const std::string &ratio);
  // Ratio service / bare; "-" when either is missing.
  void row(const std::string &figure, double service, double bare, int decimals);
  void print() const;

 private:
  std::vector<std::vector<std::string>> rows_;  // one cell: a heading
};

}  // namespace bench
