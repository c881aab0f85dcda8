/* A socket's byte counts from the kernel. Kept apart from the other socket
 * checks: the counts are only in the kernel's own tcp_info, whose header
 * cannot be included beside the C library's. */
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

#include "yv_net.h"

int yv_socket_bytes(int fd, uint64_t *sent, uint64_t *received) {
  if (fd < 0 || !sent || !received) return -1;
  struct tcp_info ti {};
  socklen_t n = sizeof(ti);
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &n) != 0) return -1;
  /* Kernels before 4.19 fill a shorter record without the sent count. */
  if (n < offsetof(struct tcp_info, tcpi_bytes_sent) + sizeof(ti.tcpi_bytes_sent)) return -1;
  *sent = ti.tcpi_bytes_sent;
  *received = ti.tcpi_bytes_received;
  return 0;
}
