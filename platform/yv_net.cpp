/* Host IP stack: the kernel's. */
#include "yv_net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "yv_net_ctl.h"

namespace {

struct HostRule {
  std::string host;
  uint32_t delay_ms;
  bool answers;
  std::string answer;
};

constexpr int kRules = 8;

/* The test rules, and the generation a reset starts: a lookup waiting under
 * an older one ends. */
struct Resolver {
  std::mutex m;
  std::condition_variable cv;
  HostRule rules[kRules];
  int n = 0;
  uint64_t generation = 0;
  uint32_t running = 0;
  uint32_t lookups = 0;
};

Resolver &resolver() {
  static Resolver *r = new Resolver; /* outlives threads still in a lookup at exit */
  return *r;
}

int copy_answer(const std::string &a, char *addr, size_t addr_size) {
  if (a.size() >= addr_size) return -1;
  std::memcpy(addr, a.c_str(), a.size() + 1);
  return 0;
}

int system_resolve(const char *host, char *addr, size_t addr_size) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return -1;
  const struct addrinfo *pick = res;
  for (const struct addrinfo *a = res; a; a = a->ai_next)
    if (a->ai_family == AF_INET) {
      pick = a;
      break;
    }
  int rc = -1;
  socklen_t size = static_cast<socklen_t>(addr_size);
  if (pick->ai_family == AF_INET) {
    const auto *in = reinterpret_cast<const struct sockaddr_in *>(pick->ai_addr);
    rc = inet_ntop(AF_INET, &in->sin_addr, addr, size) ? 0 : -1;
  } else if (pick->ai_family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(pick->ai_addr);
    rc = inet_ntop(AF_INET6, &in6->sin6_addr, addr, size) ? 0 : -1;
  }
  freeaddrinfo(res);
  return rc;
}

}  // namespace

int yv_net_resolve(const char *host, char *addr, size_t addr_size, uint32_t timeout_ms) {
  /* The system's resolver has its own limits (resolv.conf); a module's
   * resolver takes the bound. */
  (void)timeout_ms;
  if (!host || !addr || addr_size == 0) return -1;
  Resolver &r = resolver();
  std::unique_lock<std::mutex> lk(r.m);
  r.lookups++;
  const HostRule *rule = nullptr;
  for (int i = 0; i < r.n; i++)
    if (r.rules[i].host == host) rule = &r.rules[i];
  if (!rule) {
    lk.unlock();
    return system_resolve(host, addr, addr_size);
  }
  HostRule copy = *rule;
  uint64_t gen = r.generation;
  r.running++;
  auto reset = [&] { return r.generation != gen; };
  bool cut;
  if (copy.delay_ms == YV_NET_CTL_FOREVER) {
    r.cv.wait(lk, reset);
    cut = true;
  } else {
    cut = r.cv.wait_for(lk, std::chrono::milliseconds(copy.delay_ms), reset);
  }
  r.running--;
  if (cut || !copy.answers) return -1;
  return copy_answer(copy.answer, addr, addr_size);
}

int yv_net_ctl_set_host(const char *host, uint32_t delay_ms, const char *answer) {
  if (!host || std::strlen(host) > 255 || (answer && std::strlen(answer) >= 64)) return -1;
  Resolver &r = resolver();
  std::lock_guard<std::mutex> lk(r.m);
  int i = 0;
  while (i < r.n && r.rules[i].host != host) i++;
  if (i == kRules) return -1;
  if (i == r.n) r.n++;
  r.rules[i] = HostRule{host, delay_ms, answer != nullptr, answer ? answer : ""};
  return 0;
}

void yv_net_ctl_reset(void) {
  Resolver &r = resolver();
  std::lock_guard<std::mutex> lk(r.m);
  r.n = 0;
  r.generation++;
  r.cv.notify_all();
}

uint32_t yv_net_ctl_lookups_running(void) {
  Resolver &r = resolver();
  std::lock_guard<std::mutex> lk(r.m);
  return r.running;
}

uint32_t yv_net_ctl_lookups(void) {
  Resolver &r = resolver();
  std::lock_guard<std::mutex> lk(r.m);
  return r.lookups;
}

int lwip_inet_pton(int af, const char *src, void *dst) {
  switch (af) {
    case YV_AF_INET:
      return inet_pton(AF_INET, src, dst) == 1 ? 1 : 0;
    case YV_AF_INET6:
      return inet_pton(AF_INET6, src, dst) == 1 ? 1 : 0;
    default:
      return -1;
  }
}

int yv_socket_peer_open(int fd) {
  if (fd < 0) return 0;
  struct pollfd pfd = {fd, POLLRDHUP, 0};
  if (poll(&pfd, 1, 0) < 0) return 0;
  return (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0 ? 1 : 0;
}

int yv_socket_reset(int fd) {
#ifdef TCP_INFO
  if (fd < 0) return -1;
  struct tcp_info ti;
  socklen_t n = sizeof(ti);
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &n) != 0 || n < 1) return -1;
  /* A FIN leaves the socket in CLOSE_WAIT; a reset closes it at once. */
  return ti.tcpi_state == TCP_CLOSE ? 1 : 0;
#else
  (void)fd;
  return -1;
#endif
}

int yv_socket_readable(int fd) {
  if (fd < 0) return 0;
  struct pollfd pfd = {fd, POLLIN, 0};
  return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) ? 1 : 0;
}

int64_t yv_socket_quiet_ms(int fd) {
#ifdef TCP_INFO
  if (fd < 0) return -1;
  struct tcp_info ti {};
  socklen_t n = sizeof(ti);
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &n) != 0) return -1;
  /* A user-mode emulator answers a few bytes only. */
  if (n < offsetof(struct tcp_info, tcpi_last_data_recv) + sizeof(ti.tcpi_last_data_recv))
    return -1;
  return ti.tcpi_last_data_recv;
#else
  (void)fd;
  return -1;
#endif
}
