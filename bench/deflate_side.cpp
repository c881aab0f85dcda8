#include "deflate_side.h"

#include "telemetry.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "link_emu.h"
#include "ws_test_server.h"
#include "yv_api_websocket.h"
#include "yv_mem_test.h"

namespace bench {

namespace {

constexpr int kClient = 0;
constexpr uint8_t kCfg = 0;

struct Counts {
  std::mutex mu;
  std::condition_variable cv;
  int opens = 0, open_err = 0, closes = 0;
  uint64_t bytes = 0, messages = 0;
};

Counts &counts() {
  static Counts *c = new Counts;
  return *c;
}

int on_event(int, yws_parm_t *p) {
  Counts &c = counts();
  std::lock_guard<std::mutex> lk(c.mu);
  if (p->type == YWS_CB_TYPE_OPEN) {
    c.opens++;
    c.open_err = p->virtual_;
  } else if (p->type == YWS_CB_TYPE_CLOSE) {
    c.closes++;
  } else if (p->type == YWS_CB_TYPE_MESSAGE) {
    c.bytes += static_cast<uint64_t>(p->size);
    c.messages += (p->virtual_ & YWS_MSG_FLAG_FINAL) ? 1 : 0;
  }
  c.cv.notify_all();
  return 0;
}

template <typename P>
bool wait(P pred, int seconds = 10) {
  Counts &c = counts();
  std::unique_lock<std::mutex> lk(c.mu);
  return c.cv.wait_for(lk, std::chrono::seconds(seconds), [&] { return pred(c); });
}

bool open_with(const std::string &url, int bits) {
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_URL, url.c_str());
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_RECV_CB, &on_event);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_PING_INTERVAL, 0);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_BUFFERSZ, 16384);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_WRITE_MESSAGE, 1);
  yv_ws_cfg_set_opt(kCfg, YWS_CFG_READ_MESSAGE, 65536);
  if (yv_ws_cfg_set_opt(kCfg, YWS_CFG_CONN_DEFLATE, bits) != YWS_OK) return false;
  int before;
  {
    std::lock_guard<std::mutex> lk(counts().mu);
    before = counts().opens;
  }
  yws_open_t o{kClient, kCfg, nullptr, 0};
  if (yv_ws_open_proc(&o) != YWS_OK) return false;
  return wait([&](Counts &c) { return c.opens > before; }) && counts().open_err == 0;
}

bool close_client() {
  int before;
  {
    std::lock_guard<std::mutex> lk(counts().mu);
    before = counts().closes;
  }
  yv_ws_close_proc(kClient);
  bool ok = wait([&](Counts &c) { return c.closes > before; });
  // The loop thread and the library context go a moment after CLOSE.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return ok;
}

/* Writes every message (waiting out a full queue) and waits for all echoes. */
bool echo_all(const std::vector<std::string> &msgs) {
  uint64_t want;
  {
    std::lock_guard<std::mutex> lk(counts().mu);
    want = counts().messages + msgs.size();
  }
  for (const auto &m : msgs) {
    yws_parm_t p{YWS_WRITE_PROT_TEXT, reinterpret_cast<uint8_t *>(const_cast<char *>(m.data())),
                 static_cast<int32_t>(m.size()), 0};
    int r;
    while ((r = yv_ws_write_proc(kClient, &p)) == YWS_ERR_NO_MEM)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (r != YWS_OK) return false;
  }
  return wait([&](Counts &c) { return c.messages >= want; }, 60);
}

struct HeapRow {
  int bits;
  double hook_kib, heap_kib;
};

/* Heap of one connected client that has sent and received a message (so that both zlib
 * states exist), above the level before its open. */
bool heap_of(int bits, const std::vector<std::string> &sample, HeapRow *row) {
  ServerProcess server;
  if (!server.start({"--child=deflate-server", "--bits", std::to_string(bits)})) return false;
  size_t hook0 = yv_mem_bytes_in_use(), heap0 = process_heap_bytes();
  if (!open_with(server.url("/"), bits)) return false;
  if (!echo_all({sample.begin(), sample.begin() + 4})) return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  row->bits = bits;
  row->hook_kib = (static_cast<double>(yv_mem_bytes_in_use()) - static_cast<double>(hook0)) / 1024;
  row->heap_kib = (static_cast<double>(process_heap_bytes()) - static_cast<double>(heap0)) / 1024;
  return close_client();
}

struct EchoRow {
  int bits;
  double seconds, cpu_s;
  uint64_t payload, wire_up, wire_down;
  size_t messages;
};

/* The sample echoed through the link emulator (no delay, no rate limit): wire bytes, time and
 * process CPU (the proxy thread included, alike in both rows). */
bool echo_of(int bits, const std::vector<std::string> &sample, EchoRow *row) {
  ServerProcess server;
  if (!server.start({"--child=deflate-server", "--bits", std::to_string(bits)})) return false;
  ywstest::LinkEmu link(server.port());
  if (!open_with("ws://127.0.0.1:" + std::to_string(link.port()) + "/", bits)) return false;
  CpuSample start = cpu_now();
  if (!echo_all(sample)) return false;
  long wakeups;
  since(start, &row->seconds, &row->cpu_s, &wakeups);
  row->bits = bits;
  row->messages = sample.size();
  row->payload = 0;
  for (const auto &m : sample) row->payload += m.size();
  row->wire_up = link.bytes_up();
  row->wire_down = link.bytes_down();
  return close_client();
}

}  // namespace

int deflate_child_server(int bits) {
  ywstest::RawPeer::Options o;
  o.echo = true;
  o.deflate_bits = bits;
  if (bits) {
    std::string n = std::to_string(bits);
    o.extra_response_headers = {
        {"Sec-WebSocket-Extensions",
         "permessage-deflate; server_max_window_bits=" + n + "; client_max_window_bits=" + n}};
  }
  ywstest::RawPeer peer(o);
  std::printf("port=%d\n", peer.port());
  std::fflush(stdout);
  char buf[64];
  while (read(0, buf, sizeof(buf)) > 0) {
  }
  return 0;
}

int deflate_run(bool quick) {
  std::vector<std::string> sample = ywstest::telemetry(quick ? 200 : 1000, 10);
  std::vector<HeapRow> heaps;
  // A first client warms the service and the library's lazily grown tables.
  HeapRow warm;
  if (!heap_of(0, sample, &warm)) return 1;
  for (int bits : {0, 9, 10, 12, 15}) {
    HeapRow r;
    if (!heap_of(bits, sample, &r)) {
      std::fprintf(stderr, "yws-bench: deflate %d: heap run failed\n", bits);
      return 1;
    }
    heaps.push_back(r);
  }
  std::vector<EchoRow> echoes;
  for (int bits : {0, 10, 15}) {
    EchoRow r;
    if (!echo_of(bits, sample, &r)) {
      std::fprintf(stderr, "yws-bench: deflate %d: echo run failed\n", bits);
      return 1;
    }
    echoes.push_back(r);
  }
  std::printf("per-message deflate: heap of one connected client after traffic (KiB)\n");
  std::printf("  %-10s %14s %14s %16s\n", "conn/deflate", "allocator hook", "C heap (all)",
              "extra over off");
  for (const HeapRow &r : heaps)
    std::printf("  %-10d %14.1f %14.1f %16.1f\n", r.bits, r.hook_kib, r.heap_kib,
                r.heap_kib - heaps[0].heap_kib);
  std::printf(
      "JSON telemetry echo, %zu messages of 200 B..4 KiB, message mode, over the link "
      "emulator\n",
      sample.size());
  std::printf("  %-10s %10s %10s %10s %8s %12s %14s\n", "conn/deflate", "payload", "wire up",
              "wire down", "up/pl", "msg/s", "CPU us/msg");
  for (const EchoRow &r : echoes)
    std::printf("  %-10d %10llu %10llu %10llu %8.3f %12.0f %14.1f\n", r.bits,
                (unsigned long long)r.payload, (unsigned long long)r.wire_up,
                (unsigned long long)r.wire_down,
                static_cast<double>(r.wire_up) / static_cast<double>(r.payload),
                static_cast<double>(r.messages) / r.seconds,
                r.cpu_s * 1e6 / static_cast<double>(r.messages));
  std::printf(
      "- allocator hook: blocks of the service and libwebsockets; zlib's own state comes from "
      "malloc and shows in the C heap column only. Echo CPU: this process (client and proxy), "
      "the peer is a child process (zlib level 6, memory level 8, window N on its side).\n");
  std::printf("deflate_heap_extra_kib_n10=%.1f deflate_wire_ratio_n10=%.3f\n",
              heaps[2].heap_kib - heaps[0].heap_kib,
              static_cast<double>(echoes[1].wire_up) / static_cast<double>(echoes[1].payload));
  return 0;
}

}  // namespace bench
