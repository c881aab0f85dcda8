// The link emulator between two plain TCP ends held by the test, so every byte and its timing
// is observed directly.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "link_emu.h"
#include "sock_util.h"

using namespace ywstest;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

long long ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
}

// A client through the emulator and the accepted server end.
struct Ends {
  int listen_fd = -1, port = 0, client = -1, server = -1;
  Ends() { listen_fd = listen_loopback(port); }
  ~Ends() {
    if (client >= 0) close(client);
    if (server >= 0) close(server);
    close(listen_fd);
  }
  void connect_through(const LinkEmu &emu) {
    client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(emu.port()));
    ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr *>(&sa), sizeof sa));
    pollfd p{listen_fd, POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 5000));
    server = accept(listen_fd, nullptr, nullptr);
    ASSERT_GE(server, 0);
  }
};

// Reads exactly n bytes within timeout_ms; returns what arrived.
std::string read_n(int fd, size_t n, int timeout_ms) {
  std::string out;
  auto start = Clock::now();
  char buf[65536];
  while (out.size() < n) {
    int left = timeout_ms - static_cast<int>(ms_since(start));
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) != 1) break;
    ssize_t r = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

// recv's outcome after at most timeout_ms: >0 bytes, 0 EOF, -errno, or 1000000 for nothing.
int wait_readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return 1000000;
  char c;
  ssize_t r = recv(fd, &c, 1, MSG_PEEK);
  return r < 0 ? -errno : static_cast<int>(r);
}

void send_all(int fd, const std::string &s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t w = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    ASSERT_GT(w, 0);
    off += static_cast<size_t>(w);
  }
}

// One round of a byte up through the emulator, in ms.
long long one_way_ms(Ends &e, int from, int to) {
  auto t = Clock::now();
  send_all(from, "x");
  EXPECT_EQ("x", read_n(to, 1, 5000));
  (void)e;
  return ms_since(t);
}

}  // namespace

TEST(Link, DelayWithinBoundsAndOrderKeptUnderJitter) {
  Ends e;
  LinkEmu emu(e.port, {{100, 60, 0}, {30, 0, 0}});
  e.connect_through(emu);
  for (int i = 0; i < 5; ++i) {
    long long up = one_way_ms(e, e.client, e.server);
    EXPECT_GE(up, 40);
    EXPECT_LE(up, 160 + 150);
    long long down = one_way_ms(e, e.server, e.client);
    EXPECT_GE(down, 30);
    EXPECT_LE(down, 30 + 150);
  }
  // Many small writes with jitter larger than their spacing: still in order.
  std::string all;
  for (int i = 0; i < 300; ++i) {
    std::string s = std::to_string(i) + ",";
    all += s;
    send_all(e.client, s);
    if (i % 30 == 0) usleep(5000);  // spread the writes over several delay draws
  }
  EXPECT_EQ(all, read_n(e.server, all.size(), 10000));
  EXPECT_EQ(emu.accepted(), 1);
  // The counter moves just after the send the reader may already have seen.
  for (int i = 0; i < 500 && emu.bytes_up() < 5 + all.size(); ++i) usleep(1000);
  EXPECT_EQ(emu.bytes_up(), 5 + all.size());
  EXPECT_EQ(emu.bytes_down(), 5u);
}

TEST(Link, RateHonoured) {
  Ends e;
  LinkEmu emu(e.port, {{0, 0, 10000}, {0, 0, 0}});
  e.connect_through(emu);
  std::string data(25000, 'r');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 253);
  auto t = Clock::now();
  std::thread writer([&] { send_all(e.client, data); });
  std::string got = read_n(e.server, data.size(), 10000);
  long long took = ms_since(t);
  writer.join();
  EXPECT_EQ(data, got);
  EXPECT_GE(took, 2500 * 8 / 10 - 100);  // the first bucket is free
  EXPECT_LE(took, 2500 * 2);
}

TEST(Link, BlackoutHoldsThenReleasesWithoutClosing) {
  Ends e;
  LinkEmu emu(e.port);
  e.connect_through(emu);
  emu.blackout(60000);
  EXPECT_TRUE(emu.in_blackout());
  send_all(e.client, "held-up");
  send_all(e.server, "held-down");
  EXPECT_EQ(1000000, wait_readable(e.server, 400));
  EXPECT_EQ(1000000, wait_readable(e.client, 10));
  EXPECT_EQ(0u, emu.bytes_up());
  emu.end_blackout();
  EXPECT_EQ("held-up", read_n(e.server, 7, 5000));
  EXPECT_EQ("held-down", read_n(e.client, 9, 5000));

  // A timed blackout ends by itself.
  emu.blackout(300);
  auto t = Clock::now();
  send_all(e.client, "later");
  EXPECT_EQ("later", read_n(e.server, 5, 5000));
  EXPECT_GE(ms_since(t), 250);
  EXPECT_EQ(emu.open_connections(), 1);
}

TEST(Link, ResetGivesBothPeersAReset) {
  Ends e;
  LinkEmu emu(e.port);
  e.connect_through(emu);
  send_all(e.client, "a");
  ASSERT_EQ("a", read_n(e.server, 1, 5000));
  emu.reset();
  EXPECT_EQ(-ECONNRESET, wait_readable(e.client, 5000));
  EXPECT_EQ(-ECONNRESET, wait_readable(e.server, 5000));
  // The proxy still accepts after a reset.
  close(e.client);
  close(e.server);
  e.connect_through(emu);
  send_all(e.client, "b");
  EXPECT_EQ("b", read_n(e.server, 1, 5000));
  EXPECT_EQ(2, emu.accepted());
}

TEST(Link, SettingsChangedWhileRunningTakeEffect) {
  Ends e;
  LinkEmu emu(e.port);
  e.connect_through(emu);
  EXPECT_LT(one_way_ms(e, e.client, e.server), 100);
  emu.set_dir(LinkSide::up, {250, 0, 0});
  EXPECT_GE(one_way_ms(e, e.client, e.server), 240);
  EXPECT_LT(one_way_ms(e, e.server, e.client), 100);  // the other way unchanged
  emu.set_profile(kLinkLTE);
  long long lte = one_way_ms(e, e.server, e.client);
  EXPECT_GE(lte, 35);
  EXPECT_LT(lte, 200);

  // A stall of the client side's reads holds the client's bytes; the other way still flows.
  emu.set_profile({});
  emu.stall_server_reads(true);
  uint64_t before = emu.bytes_up();
  send_all(e.client, "stalled");
  EXPECT_EQ("y", (send_all(e.server, "y"), read_n(e.client, 1, 5000)));
  EXPECT_EQ(1000000, wait_readable(e.server, 300));
  EXPECT_EQ(before, emu.bytes_up());
  emu.stall_server_reads(false);
  EXPECT_EQ("stalled", read_n(e.server, 7, 5000));
}
