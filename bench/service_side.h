// Drives the service through its public interface, as the command layer would: writes from
// the caller's thread, notifications on the service task.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "bench_util.h"
#include "yv_api_websocket.h"

namespace bench {

struct EchoRate {
  double seconds = 0;
  uint64_t bytes = 0;          // echoed payload bytes inside the window
  uint64_t pieces = 0;         // notifications (service) or messages (bare) inside the window
  size_t heap_peak_extra = 0;  // allocator-hook peak above the level at the start
  bool complete = false;       // every byte written came back
  uint64_t total_bytes = 0;    // echoed over the whole run: warm-up and drain included
  // Process CPU and voluntary context switches (wake-ups) over the whole run; the caller
  // measures them.
  double cpu_s = 0;
  long wakeups = 0;
  // The side's own threads' context switches, and the service task's wake-ups, over the run.
  Switches switches;
  long task_wakeups = 0;
  double bytes_per_s() const { return seconds > 0 ? static_cast<double>(bytes) / seconds : 0; }
};

struct ReceiveRate {
  double seconds = 0;
  uint64_t bytes = 0;
  uint64_t notifications = 0;
  uint64_t reads = 0;
  bool complete = false;
  double cpu_s = 0;  // process CPU and wake-ups while timed
  long wakeups = 0;
  Switches switches;  // the side's threads, open and close included
  long task_wakeups = 0;
  double bytes_per_s() const { return seconds > 0 ? static_cast<double>(bytes) / seconds : 0; }
};

// Waits of the service task that found its queue empty, so far: its wake-ups (counted by
// wrapping the platform's queue wait at link time).
long service_task_wakeups();

class Service {
 public:
  static Service &get();

  // Every RECV and MESSAGE notification busy-waits this long (0: no delay).
  void slow_callback(int us) { slow_us_ = us; }

  // Profile with the URL, our callback and no keepalive pings.
  void profile(int cfg, const std::string &url, bool message = false);
  // Opens and waits for OPEN; its error code, or -100 on timeout.
  int open(int client, int cfg, bool buffered = false);
  int close(int client);

  // Samples of write -> echo -> notification, in microseconds, after `warmup` untimed ones.
  std::vector<double> rtt(int client, size_t size, size_t samples, size_t warmup);
  // The same, but each next write is made inside the RECV notification of the previous echo.
  std::vector<double> rtt_from_callback(int client, size_t size, size_t samples, size_t warmup);
  // Writes whenever the transmit limit allows, on every client, for `seconds`; the window
  // starts after `warm` seconds.
  EchoRate echo(const std::vector<int> &clients, size_t size, double warm, double seconds);
  // Open a profile whose server pushes `total` bytes, time them from OPEN, close. Direct
  // mode counts the notifications' bytes; buffered mode reads with yv_ws_read_proc.
  ReceiveRate receive_direct(int client, int cfg, uint64_t total);
  ReceiveRate receive_buffered(int client, int cfg, uint64_t total);

 private:
  static int callback(int client_id, yws_parm_t *parm);
  void on_note(int client_id, const yws_parm_t *parm);
  uint64_t version();
  // Waits until the notification count moves past `seen` or the timeout passes.
  void wait_change(uint64_t seen, std::chrono::microseconds timeout);

  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t version_ = 0;
  int opens_[YWS_CLIENT_NUM] = {}, open_err_[YWS_CLIENT_NUM] = {};
  int closes_[YWS_CLIENT_NUM] = {}, close_err_[YWS_CLIENT_NUM] = {};
  std::atomic<bool> buffered_{false};
  std::atomic<int> slow_us_{0};
  std::atomic<uint64_t> rx_bytes_[YWS_CLIENT_NUM] = {};
  std::atomic<uint64_t> rx_notes_[YWS_CLIENT_NUM] = {};
  // Non-zero while a receive waits for this many bytes: data notes below it wake nobody, as in
  // an application that consumes in its callback (the bare client wakes no other thread).
  std::atomic<uint64_t> rx_goal_[YWS_CLIENT_NUM] = {};

  // Callback-driven round trips (one client at a time); touched only on the service task
  // while `cb_left_` is non-zero.
  struct CbRtt {
    int client = -1;
    std::string msg;
    uint64_t target = 0;
    size_t left = 0, warmup = 0;
    std::chrono::steady_clock::time_point t0;
    std::vector<double> samples;
  } cb_;
  std::atomic<bool> cb_active_{false};
  void cb_step(int client_id);
};

}  // namespace bench
