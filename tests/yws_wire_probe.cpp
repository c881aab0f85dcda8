/* What this machine's IP stack tells of a socket, probed on a loopback
 * connection that carried a known count: a user-mode emulator or a small
 * stack answers TCP_INFO shortly or not at all. */
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <vector>

#include "yws_test_util.h"

namespace ywst {

namespace {

constexpr size_t kBytesEnd = offsetof(tcp_info, tcpi_bytes_sent) + sizeof(uint64_t);

struct Answer {
  socklen_t length = 0;  // 0: TCP_INFO refused
  bool counted = false;  // byte counts present and right
};

Answer probe() {
  Answer a;
  TcpPair p;
  if (!p.open() || !p.carry(100)) return a;
  tcp_info rx{}, tx{};
  socklen_t n = sizeof rx, m = sizeof tx;
  if (getsockopt(p.server, IPPROTO_TCP, TCP_INFO, &rx, &n) != 0 ||
      getsockopt(p.client, IPPROTO_TCP, TCP_INFO, &tx, &m) != 0)
    return a;
  a.length = n;
  a.counted = n >= kBytesEnd && m >= kBytesEnd && rx.tcpi_bytes_received == 100 &&
              tx.tcpi_bytes_sent >= 100;
  return a;
}

const Answer &answer() {
  static const Answer a = probe();
  return a;
}

}  // namespace

bool TcpPair::open() {
  int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (l < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bool ok = bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(l, 1) == 0 &&
            getsockname(l, reinterpret_cast<sockaddr *>(&a), &len) == 0;
  if (ok) client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ok = ok && client >= 0 && connect(client, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  if (ok) server = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
  close(l);
  timeval bound{5, 0};
  return ok && server >= 0 &&
         setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) == 0;
}

bool TcpPair::carry(size_t n) {
  std::vector<char> buf(n, 'x');
  if (send(client, buf.data(), n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) return false;
  for (size_t got = 0; got < n;) {
    ssize_t r = recv(server, buf.data(), n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

TcpPair::~TcpPair() {
  if (client >= 0) close(client);
  if (server >= 0) close(server);
}

bool stack_counts_bytes() {
  return answer().counted;
}

size_t tcp_info_length() {
  return answer().length;
}

bool wire_counted(const yws_wire_stats_t &w) {
  if (stack_counts_bytes()) {
    EXPECT_EQ(w.wire_counted, 1);
    return w.wire_counted == 1;
  }
  EXPECT_EQ(w.wire_counted, 0) << "the IP stack cannot count here";
  EXPECT_EQ(w.tx_wire, 0u);
  EXPECT_EQ(w.rx_wire, 0u);
  return false;
}

}  // namespace ywst
