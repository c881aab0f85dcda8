/* Host IP stack: the kernel's. */
#include "yv_net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

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

int yv_socket_readable(int fd) {
  if (fd < 0) return 0;
  struct pollfd pfd = {fd, POLLIN, 0};
  return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) ? 1 : 0;
}

int64_t yv_socket_quiet_ms(int fd) {
#ifdef TCP_INFO
  if (fd < 0) return -1;
  struct tcp_info ti;
  socklen_t n = sizeof(ti);
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &n) != 0) return -1;
  return ti.tcpi_last_data_recv;
#else
  (void)fd;
  return -1;
#endif
}
