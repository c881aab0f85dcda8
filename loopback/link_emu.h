// A TCP proxy on 127.0.0.1 that behaves like a cellular link: per direction a delay with
// jitter (order kept) and a rate; blackouts that hold bytes without closing, resets, and a
// stall of the reads from the client. Settings may change from any thread while it runs and
// apply to bytes that arrive after the change.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace ywstest {

struct LinkDir {
  int delay_ms = 0;
  int jitter_ms = 0;  // uniform in [-jitter, +jitter], never below zero in total
  uint64_t rate = 0;  // bytes per second, 0 = unlimited
};

struct LinkProfile {
  LinkDir up;    // client -> server
  LinkDir down;  // server -> client
};

constexpr LinkProfile kLink2G{{300, 100, 2500}, {300, 100, 2500}};
constexpr LinkProfile kLink3G{{150, 0, 48000}, {150, 0, 48000}};
constexpr LinkProfile kLinkLTE{{40, 0, 1250000}, {40, 0, 1250000}};

enum class LinkSide { up, down };

class LinkEmu {
 public:
  // listen_port 0: ephemeral. Throws when the port cannot be bound.
  explicit LinkEmu(int target_port, LinkProfile profile = {}, int listen_port = 0);
  ~LinkEmu();
  LinkEmu(const LinkEmu &) = delete;
  LinkEmu &operator=(const LinkEmu &) = delete;

  int port() const { return port_; }
  void set_profile(const LinkProfile &p);
  void set_dir(LinkSide side, const LinkDir &d);
  LinkProfile profile() const;

  void blackout(int ms);  // 0 ends one
  void end_blackout() { blackout(0); }
  bool in_blackout() const;
  void reset();  // RST on both sides of every proxied connection
  void stall_server_reads(bool on);
  // New connections go to this port from now on (a server back on another one).
  void set_target(int port) { target_port_ = port; }

  uint64_t bytes_up() const { return up_bytes_.load(); }
  uint64_t bytes_down() const { return down_bytes_.load(); }
  int accepted() const { return accepted_.load(); }
  int open_connections() const { return open_.load(); }

 private:
  struct Impl;
  void run();
  void poke();

  std::atomic<int> target_port_;
  int port_ = 0;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  mutable std::mutex mu_;
  LinkProfile profile_;
  std::chrono::steady_clock::time_point blackout_until_{};
  bool stall_ = false;
  bool reset_pending_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> up_bytes_{0}, down_bytes_{0};
  std::atomic<int> accepted_{0}, open_{0};
  std::thread thread_;
};

}  // namespace ywstest
