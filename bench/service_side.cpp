#include "service_side.h"

#include <algorithm>
#include <chrono>

#include "yv_rtos.h"

#include "bench_util.h"
#include "yv_mem_test.h"

namespace bench {

namespace {

constexpr std::chrono::seconds kWait{10};

int write_bin(int client, std::string &msg) {
  yws_parm_t p{YWS_WRITE_PROT_BIN, reinterpret_cast<uint8_t *>(msg.data()),
               static_cast<int32_t>(msg.size()), 0};
  return yv_ws_write_proc(client, &p);
}

std::atomic<long> g_task_sleeps{0};

// Spins rather than sleeps: a callback that works, not one that yields the core.
void busy_wait_us(int us) {
  auto until = Clock::now() + std::chrono::microseconds(us);
  while (Clock::now() < until) {
  }
}

}  // namespace

long service_task_wakeups() {
  return g_task_sleeps.load();
}

Service &Service::get() {
  static Service s;
  return s;
}

int Service::callback(int client_id, yws_parm_t *parm) {
  get().on_note(client_id, parm);
  return 0;
}

void Service::on_note(int client_id, const yws_parm_t *parm) {
  if (client_id < 0 || client_id >= YWS_CLIENT_NUM) return;
  if (int us = slow_us_.load();
      us > 0 && (parm->type == YWS_CB_TYPE_RECV || parm->type == YWS_CB_TYPE_MESSAGE))
    busy_wait_us(us);
  uint64_t bytes = rx_bytes_[client_id].load();
  if (parm->type == YWS_CB_TYPE_MESSAGE) {
    bytes = rx_bytes_[client_id] += static_cast<uint64_t>(parm->size);
    rx_notes_[client_id]++;
  } else if (parm->type == YWS_CB_TYPE_RECV) {
    // Buffered mode repeats the first piece in its notification: only reads count there.
    if (!buffered_ && parm->data && parm->size > 0)
      bytes = rx_bytes_[client_id] += static_cast<uint64_t>(parm->size);
    rx_notes_[client_id]++;
    // The round trips chained from the callback wake their waiter only at the end.
    if (cb_active_.load() && client_id == cb_.client) {
      cb_step(client_id);
      if (cb_active_.load()) return;
    }
  }
  uint64_t goal = rx_goal_[client_id].load();
  if (goal && bytes < goal && (parm->type == YWS_CB_TYPE_MESSAGE || parm->type == YWS_CB_TYPE_RECV))
    return;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (parm->type == YWS_CB_TYPE_OPEN) {
      opens_[client_id]++;
      open_err_[client_id] = parm->virtual_;
    } else if (parm->type == YWS_CB_TYPE_CLOSE) {
      closes_[client_id]++;
      close_err_[client_id] = parm->virtual_;
    }
    version_++;
  }
  cv_.notify_all();
}

uint64_t Service::version() {
  std::lock_guard<std::mutex> lk(mu_);
  return version_;
}

void Service::wait_change(uint64_t seen, std::chrono::microseconds timeout) {
  std::unique_lock<std::mutex> lk(mu_);
  cv_.wait_for(lk, timeout, [&] { return version_ != seen; });
}

void Service::profile(int cfg, const std::string &url, bool message) {
  auto id = static_cast<uint8_t>(cfg);
  yv_ws_cfg_set_opt(id, YWS_CFG_CONN_URL, url.c_str());
  yv_ws_cfg_set_opt(id, YWS_CFG_RECV_CB, &Service::callback);
  yv_ws_cfg_set_opt(id, YWS_CFG_PING_INTERVAL, 0);
  yv_ws_cfg_set_opt(id, YWS_CFG_WRITE_MESSAGE, message ? 1 : 0);
  yv_ws_cfg_set_opt(id, YWS_CFG_READ_MESSAGE, message ? 2048 : 0);
}

int Service::open(int client, int cfg, bool buffered) {
  int before;
  {
    std::lock_guard<std::mutex> lk(mu_);
    before = opens_[client];
    buffered_ = buffered;
  }
  yws_open_t o{client, cfg, nullptr, buffered ? YWS_SYS_MODE_BUFFERED : 0};
  int r = yv_ws_open_proc(&o);
  if (r != YWS_OK) return r;
  std::unique_lock<std::mutex> lk(mu_);
  if (!cv_.wait_for(lk, kWait, [&] { return opens_[client] > before; })) return -100;
  return open_err_[client];
}

int Service::close(int client) {
  int before;
  {
    std::lock_guard<std::mutex> lk(mu_);
    before = closes_[client];
  }
  int r = yv_ws_close_proc(client);
  if (r != YWS_OK) return r;
  std::unique_lock<std::mutex> lk(mu_);
  if (!cv_.wait_for(lk, kWait, [&] { return closes_[client] > before; })) return -100;
  return close_err_[client];
}

std::vector<double> Service::rtt(int client, size_t size, size_t samples, size_t warmup) {
  std::string msg(size, 'r');
  std::vector<double> out;
  out.reserve(samples);
  for (size_t i = 0; i < warmup + samples; i++) {
    uint64_t target = rx_bytes_[client] + size;
    auto t0 = Clock::now();
    if (write_bin(client, msg) != YWS_OK) break;
    std::unique_lock<std::mutex> lk(mu_);
    if (!cv_.wait_for(lk, kWait, [&] { return rx_bytes_[client] >= target; })) break;
    auto t1 = Clock::now();
    if (i >= warmup) out.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  return out;
}

void Service::cb_step(int client_id) {
  if (rx_bytes_[client_id] < cb_.target) return;
  auto now = Clock::now();
  if (cb_.warmup > 0)
    cb_.warmup--;
  else
    cb_.samples.push_back(std::chrono::duration<double, std::micro>(now - cb_.t0).count());
  if (--cb_.left == 0) {
    cb_active_ = false;
    return;
  }
  cb_.target = rx_bytes_[client_id] + cb_.msg.size();
  cb_.t0 = Clock::now();
  if (write_bin(client_id, cb_.msg) != YWS_OK) cb_active_ = false;
}

std::vector<double> Service::rtt_from_callback(int client, size_t size, size_t samples,
                                               size_t warmup) {
  cb_ = CbRtt{};
  cb_.client = client;
  cb_.msg.assign(size, 'c');
  cb_.left = samples + warmup;
  cb_.warmup = warmup;
  cb_.samples.reserve(samples);
  cb_.target = rx_bytes_[client] + size;
  cb_active_ = true;
  cb_.t0 = Clock::now();
  if (write_bin(client, cb_.msg) != YWS_OK) cb_active_ = false;
  auto deadline = Clock::now() + kWait;
  while (cb_active_.load() && Clock::now() < deadline) {
    uint64_t seen = version();
    wait_change(seen, std::chrono::microseconds(20000));
  }
  // Stop the chain before reading its samples, whatever happened.
  cb_active_ = false;
  std::lock_guard<std::mutex> lk(mu_);
  return cb_.samples;
}

EchoRate Service::echo(const std::vector<int> &clients, size_t size, double warm, double seconds) {
  std::string msg(size, 'e');
  std::vector<uint64_t> written(clients.size(), 0), start(clients.size());
  for (size_t i = 0; i < clients.size(); i++) start[i] = rx_bytes_[clients[i]];
  auto echoed = [&] {
    uint64_t b = 0, n = 0;
    for (int c : clients) b += rx_bytes_[c], n += rx_notes_[c];
    return std::make_pair(b, n);
  };
  yv_mem_reset_peak();
  size_t heap_base = yv_mem_bytes_in_use();
  auto t_begin = Clock::now();
  auto window =
      t_begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warm));
  auto end =
      window + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  bool in_window = false;
  std::pair<uint64_t, uint64_t> at_start{};
  Clock::time_point t0;
  for (auto now = t_begin; now < end; now = Clock::now()) {
    if (!in_window && now >= window) {
      at_start = echoed();
      t0 = now;
      in_window = true;
    }
    uint64_t seen = version();
    bool wrote = false;
    for (size_t i = 0; i < clients.size(); i++) {
      // Bounded, so the clock is read even when the service drains as fast as we write.
      for (int k = 0; k < 64 && write_bin(clients[i], msg) == YWS_OK; k++) {
        written[i] += size;
        wrote = true;
      }
    }
    // Full everywhere: the next notification means the service has moved.
    if (!wrote) wait_change(seen, std::chrono::microseconds(2000));
  }
  auto at_end = echoed();
  EchoRate r;
  r.seconds = seconds_between(t0, Clock::now());
  r.bytes = at_end.first - at_start.first;
  r.pieces = at_end.second - at_start.second;
  auto drained = [&] {
    for (size_t i = 0; i < clients.size(); i++)
      if (rx_bytes_[clients[i]] - start[i] < written[i]) return false;
    return true;
  };
  std::unique_lock<std::mutex> lk(mu_);
  r.complete = cv_.wait_for(lk, kWait, drained);
  for (size_t i = 0; i < clients.size(); i++)
    r.complete = r.complete && rx_bytes_[clients[i]] - start[i] == written[i];
  r.heap_peak_extra = yv_mem_peak_bytes() - heap_base;
  for (uint64_t w : written) r.total_bytes += w;
  return r;
}

ReceiveRate Service::receive_direct(int client, int cfg, uint64_t total) {
  ReceiveRate r;
  uint64_t base = rx_bytes_[client], notes = rx_notes_[client];
  rx_goal_[client] = base + total;
  if (open(client, cfg) != 0) {
    rx_goal_[client] = 0;
    return r;
  }
  // The push starts with the handshake; the few bytes before OPEN are counted, not timed.
  CpuSample c0 = cpu_now();
  {
    std::unique_lock<std::mutex> lk(mu_);
    r.complete = cv_.wait_for(lk, std::chrono::seconds(60),
                              [&] { return rx_bytes_[client] - base >= total; });
  }
  rx_goal_[client] = 0;
  since(c0, &r.seconds, &r.cpu_s, &r.wakeups);
  r.bytes = rx_bytes_[client] - base;
  r.notifications = rx_notes_[client] - notes;
  close(client);
  return r;
}

ReceiveRate Service::receive_buffered(int client, int cfg, uint64_t total) {
  ReceiveRate r;
  if (open(client, cfg, true) != 0) return r;
  uint64_t notes = rx_notes_[client];
  std::vector<char> buf(16384);
  CpuSample c0 = cpu_now();
  auto deadline = c0.at + std::chrono::seconds(60);
  while (r.bytes < total && Clock::now() < deadline) {
    uint64_t seen = version();
    auto n = static_cast<int32_t>(buf.size());
    int rc = yv_ws_read_proc(client, buf.data(), &n, false);
    r.reads++;
    if (n > 0) {
      r.bytes += static_cast<uint64_t>(n);
    } else {
      if (rc != YWS_OK) break;
      wait_change(seen, std::chrono::microseconds(5000));
    }
  }
  since(c0, &r.seconds, &r.cpu_s, &r.wakeups);
  r.notifications = rx_notes_[client] - notes;
  r.complete = r.bytes == total;
  close(client);
  return r;
}

}  // namespace bench

// Only the service task waits on a platform queue.
extern "C" {
YvOSStatus __real_yv_rtos_queue_wait(yv_queue_t queue, void *item, uint32_t size, uint32_t timeout);
YvOSStatus __wrap_yv_rtos_queue_wait(yv_queue_t queue, void *item, uint32_t size, uint32_t timeout);
}

YvOSStatus __wrap_yv_rtos_queue_wait(yv_queue_t queue, void *item, uint32_t size,
                                     uint32_t timeout) {
  YvOSStatus st = __real_yv_rtos_queue_wait(queue, item, size, 0);
  if (st != YV_OSI_QUEUE_TIMEOUT || timeout == 0) return st;
  bench::g_task_sleeps++;
  return __real_yv_rtos_queue_wait(queue, item, size, timeout);
}
